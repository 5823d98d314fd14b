// Controller protocol internals: the link, the frame being built, the
// acknowledgement discipline and the status words. The Nirek exports in
// include/zrqapi.h are built on these.
#ifndef ZRQ_PROTOCOL_PROTOCOL_H
#define ZRQ_PROTOCOL_PROTOCOL_H

#include <stdint.h>

#include "serial/comport.h"

// A reply read yields a byte 0..255 or NoByte; callers test kReplyMissingBit.
const int32_t NoByte = 0x101;
const int32_t kReplyMissingBit = 0x100;

const uint32_t kCommandBufferSize = 16;
const int32_t kDefaultProtocolTimeout = 600;  // tenths of a second
const int32_t kSyncEchoTimeout = 2;           // tenths
const int32_t kTraceProtocol = 2;             // the only bit of the protocol trace mask

// Bytes written singly, outside frames.
const uint8_t kSyncLead = 0x7F;
const int kSyncLeadCount = 16;
const uint8_t kSyncLetter = 'i';
const uint8_t kSyncLetterN = 'N';
const uint8_t kSyncFirstSequence = 160;
const uint8_t kSyncLastSequence = 191;
const uint8_t kProbeLetter = 'G';
const uint8_t kPromptSlash = '/';
const uint8_t kCarriageReturn = 0x0D;
const uint8_t kEstopByte = 0x60;
const int kEstopCount = 16;
const uint8_t kStateQuery = 'n';
const uint8_t kInfoOpen = '{';
const uint8_t kInfoNext = '.';
const uint8_t kInfoClose = '}';
const int32_t kPromptPair = 0x3E20;  // '>' then ' '

// Command letters.
const uint8_t kCmdXrel = 'x';
const uint8_t kCmdYrel = 'y';
const uint8_t kCmdXabs = '|';
const uint8_t kCmdYabs = 'l';
const uint8_t kCmd1abs = 'z';
const uint8_t kCmd1rel = 'Z';
const uint8_t kCmdXYrelCompact = 'C';
const uint8_t kCmdXYrelLong = 'r';
const uint8_t kCmdXYZrelCompact = 'L';
const uint8_t kCmdXYZrelLong = 'K';
const uint8_t kCmdXYabs = 'a';
const uint8_t kCmdXYZabs = 'H';
const uint8_t kCmdPenUp = 'U';
const uint8_t kCmdPenDown = 'D';
const uint8_t kCmdSelectY = 'w';
const uint8_t kCmdSelectXY = 'f';
const uint8_t kCmdSelectXYZ = 'P';
const uint8_t kCmdWaitHalt = 'G';
const uint8_t kCmdTrainBegin = 't';
const uint8_t kCmdVector = 'm';
const uint8_t kCmdSpeed = 's';
const uint8_t kCmd1Speed = 'k';
const uint8_t kCmdTestMode = 'T';
const uint8_t kCmdParam = 'p';
const uint8_t kCmdInfo = 'S';
const uint8_t kCmdHome = 'W';
const uint8_t kCmdHome1 = 'h';

struct ProtocolState {
    uint8_t commandBuffer[kCommandBufferSize] = {};
    uint32_t frameCursor = 0;
    int32_t ackPending = 0;
    int32_t ackTimeout = 0;
    int32_t* resultSlot = nullptr;  // &homeStatus or &rampStatus, or none
    int32_t protocolTimeout = kDefaultProtocolTimeout;
    int32_t waitMode = 1;
    int32_t traceMask = 0;
    int32_t homeStatus = 0;
    int32_t rampStatus = 0;
    int32_t penWanted = 0;
    int32_t penNow = 0;
    int32_t aborted = 0;       // the abort keys ended a wait since this was cleared
    uint64_t ackLostCall = 0;  // the export call that last found an acknowledgement missing
};

// The controller link and the protocol state; both static for the process.
extern ComPort g_link;
extern ProtocolState g_protocol;

void BeginCommand(uint8_t letter);
void PutByte(int32_t value);
void PutWord16(int32_t value);
void PutLong32(int32_t value);
void SendFrame();
int32_t FinishCommand();
int32_t SimpleCommand(uint8_t letter);
int32_t CollectAck();
int32_t SettlePendingAck();
int32_t ReadReply(int32_t tenths);
int32_t WaitForByte(int32_t tenths);
int32_t QueryRead();
// As QueryRead, but a missing reply stays NoByte.
int32_t QueryReadByte();
int32_t NkGetStatus(int32_t* word);
void DrainInput();
void ProtocolTrace(const char* text);

// Box probe (box state), queries and the pen step.
int32_t WaitForPrompt();
// The four-byte answer of an information request; 0, or ZRQ_ACK_TIMEOUT when
// a byte was missing (*value then holds the bytes that came, zeros for the rest).
int32_t InfoHandshake(uint32_t* value);
// NirekGetInfo with its failure told apart from a value.
int32_t GetInfo(int32_t selector, int32_t index, uint32_t* value);
int32_t StatusSucceeded(int32_t* word);
void SyncPen();

#endif
