/*
 * zrqapi.h - drive a stepper-motor controller box on a serial port.
 *
 * Two families of functions:
 *   Nirek...  one framed controller command per call (low level);
 *   Kap_...   application units: tenths of a mil, inches per minute.
 *
 * Every function takes and returns 32-bit integers (Kap_GetErrorString returns
 * a pointer to a constant text) and uses the standard calling convention on
 * Windows. The library keeps process-wide state; calls from several threads
 * take turns, each holding one process-wide lock until it returns.
 */
#ifndef ZRQAPI_H
#define ZRQAPI_H

#include <stdint.h>

#if defined(_WIN32)
#define ZRQ_CALL __stdcall
#define ZRQ_EXPORT
#elif defined(ZRQ_BUILDING_LIBRARY)
#define ZRQ_CALL
#define ZRQ_EXPORT __attribute__((visibility("default")))
#else
#define ZRQ_CALL
#define ZRQ_EXPORT
#endif

#define ZRQ_API(type) ZRQ_EXPORT type ZRQ_CALL

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the Kap_ functions (the message is in Kap_GetErrorString). */
#define ZRQ_OK 0
#define ZRQ_COMMAND_FAILED 1
#define ZRQ_NO_PERFORMANCE_COUNTER 2
#define ZRQ_NO_CONFIG 3
#define ZRQ_CANT_READ_MPM 5
#define ZRQ_BAD_MPM 6
#define ZRQ_CANT_OPEN_PORT 7
#define ZRQ_NOT_RESPONDING 8
#define ZRQ_CANT_SYNC 9
#define ZRQ_WRONG_MPM_VERSION 10 /* from Kap_InitOnCom */
#define ZRQ_NOT_INITIALIZED 10   /* from every other call */
#define ZRQ_BAD_MOTION_PARAMETERS 11
#define ZRQ_ACK_TIMEOUT 256 /* a command's acknowledgement timed out (wait mode) */
#define ZRQ_STOP_NOT_SENT 2 /* NirekEstop: not every stop byte reached the line */

/* ---- Link: framing, acknowledgement and synchronisation ---- */
ZRQ_API(int32_t) NirekInstall(int32_t port);
ZRQ_API(int32_t) NirekIsInstalled(void);
ZRQ_API(int32_t) NirekRemove(void);
ZRQ_API(int32_t) NirekSetTimeout(int32_t tenths);
ZRQ_API(int32_t) NirekSetWaitMode(int32_t on);
ZRQ_API(int32_t) NirekSetDebugMask(int32_t mask);
ZRQ_API(int32_t) NirekParam(int32_t number, int32_t value);
ZRQ_API(int32_t) NirekSync(int32_t flag);

/* ---- Box state and emergency stop ---- */
ZRQ_API(int32_t) NirekEstop(void);
ZRQ_API(int32_t) NirekGetBoxState(void);

/* ---- Queries and status ---- */
ZRQ_API(uint32_t) NirekGetInfo(int32_t selector, int32_t index);
ZRQ_API(int32_t) NirekGetSavedID(char* text); /* text: at least 13 bytes */
ZRQ_API(int32_t) NirekGetState(void);
ZRQ_API(int32_t) NirekHome1(int32_t a, int32_t flag, int32_t b, int32_t c);
ZRQ_API(int32_t) NirekHome(int32_t a);
ZRQ_API(int32_t) NirekHomed(void);
ZRQ_API(int32_t) NirekMakeRamps(void);
ZRQ_API(int32_t) NirekMakeRampsWorked(void);

/* ---- Command set (positions in 22.10 counts) ---- */
ZRQ_API(int32_t) NirekXrel(int32_t d);
ZRQ_API(int32_t) NirekYrel(int32_t d);
ZRQ_API(int32_t) NirekXabs(int32_t p);
ZRQ_API(int32_t) NirekYabs(int32_t p);
ZRQ_API(int32_t) Nirek1abs(int32_t channel, int32_t p);
ZRQ_API(int32_t) Nirek1rel(int32_t channel, int32_t d);
ZRQ_API(int32_t) NirekXYrel(int32_t dx, int32_t dy);
ZRQ_API(int32_t) NirekXYZrel(int32_t dx, int32_t dy, int32_t dz);
ZRQ_API(int32_t) NirekXYabs(int32_t x, int32_t y);
ZRQ_API(int32_t) NirekXYZabs(int32_t x, int32_t y, int32_t z);
ZRQ_API(int32_t) NirekPenUpNow(void);
ZRQ_API(int32_t) NirekPenDownNow(void);
ZRQ_API(int32_t) NirekPenUp(void);
ZRQ_API(int32_t) NirekPenDown(void);
ZRQ_API(int32_t) NirekSelectY(int32_t a);
ZRQ_API(int32_t) NirekSelectXY(int32_t a, int32_t b);
ZRQ_API(int32_t) NirekSelectXYZ2(int32_t a, int32_t b, int32_t c);
ZRQ_API(int32_t) NirekWaitHalt(void);
ZRQ_API(int32_t) NirekTrainBegin(void);
ZRQ_API(int32_t) NirekTrainEnd(void);
ZRQ_API(int32_t) NirekVector(int32_t on);
ZRQ_API(int32_t) NirekSpeed(int32_t v);
ZRQ_API(int32_t) Nirek1Speed(int32_t channel, int32_t v);
ZRQ_API(int32_t) NirekTestMode(int32_t on);
ZRQ_API(int32_t) NirekSetMinPulse(int32_t v);
ZRQ_API(int32_t) NirekSetPulseDuty(int32_t v);
ZRQ_API(int32_t) NirekSetPulseEnable(int32_t on);
ZRQ_API(int32_t) NirekSetPulseSpacing(int32_t count, int32_t spacing);
ZRQ_API(int32_t) NirekSetTrainRatio(int32_t a, int32_t b, int32_t c);
/* Exported on Windows only as _NirekSetEncoder@8. */
ZRQ_API(int32_t) NirekSetEncoder(int32_t encoder, int32_t value);

/* ---- Setting up (Kap_) ---- */
ZRQ_API(int32_t) Kap_Init(void);
ZRQ_API(int32_t) Kap_init(void);
ZRQ_API(int32_t) Kap_InitOnCom(int32_t port);
ZRQ_API(int32_t) Kap_Finish(void);
ZRQ_API(int32_t) Kap_GetApiVersion(int32_t* major, int32_t* minor);
ZRQ_API(int32_t) Kap_SetWaitMode(int32_t on);
ZRQ_API(int32_t) Kap_3dMode(void);
ZRQ_API(int32_t) Kap_2dMode(void);
ZRQ_API(int32_t) Kap_SetDebugMask(int32_t mask);
ZRQ_API(const char*) Kap_GetErrorString(void);
ZRQ_API(int32_t) Kap_TestCall(int32_t value);
ZRQ_API(int32_t) Kap_SetSampleSpacing(int32_t count, int32_t tenthMils);
ZRQ_API(int32_t) Kap_Velocity(int32_t ipm);
/* Extension: the path speed in thousandths of an inch a minute. */
ZRQ_API(int32_t) Kap_VelocityMils(int32_t milsPerMinute);

/* ---- Moving (positions in tenths of a mil) ---- */
ZRQ_API(int32_t) Kap_PenUp(void);
ZRQ_API(int32_t) Kap_PenDown(void);
ZRQ_API(int32_t) Kap_Home(void);
ZRQ_API(int32_t) Kap_InMotion(void);
ZRQ_API(int32_t) Kap_LaserOn(int32_t on);
ZRQ_API(int32_t) Kap_MoveXY(int32_t x, int32_t y);
ZRQ_API(int32_t) Kap_MoveXYZ(int32_t x, int32_t y, int32_t z);
ZRQ_API(int32_t) Kap_MoveZ(int32_t z);
ZRQ_API(int32_t) Kap_MoveR(int32_t r);
ZRQ_API(int32_t) Kap_Move4Axis(int32_t r);

/* ---- Jogging ---- */
ZRQ_API(int32_t) Kap_JogBeginX(void);
ZRQ_API(int32_t) Kap_JogBeginY(void);
ZRQ_API(int32_t) Kap_JogBeginZ(void);
ZRQ_API(int32_t) Kap_JogBeginR(void);
ZRQ_API(int32_t) Kap_JogSetPosition(int32_t position);
ZRQ_API(int32_t) Kap_JogEnd(void);

/* ---- Reading positions (outputs may be null) ---- */
ZRQ_API(int32_t) Kap_GetRtPos(int32_t* x, int32_t* y, int32_t* z);
ZRQ_API(int32_t) Kap_GetMachinePosition(int32_t* x, int32_t* y, int32_t* z);
ZRQ_API(int32_t) Kap_GetRotorPosition(int32_t* r);
ZRQ_API(int32_t) Kap_Get4AxisPosition(int32_t* r);

/* ---- Diagnostics ---- */
ZRQ_API(int32_t) Kap_DumbTerminal(int32_t port);

#ifdef __cplusplus
}
#endif

#endif
