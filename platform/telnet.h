// Telnet with the COM-PORT option, as a network serial server speaks it:
// plain byte work with no OS call, so that the tests and the fuzzer drive it
// directly. The network backend owns one TelnetSession per connection.
#ifndef ZRQ_PLATFORM_TELNET_H
#define ZRQ_PLATFORM_TELNET_H

#include <stddef.h>
#include <stdint.h>

const uint8_t kTelnetIac = 255;
const uint8_t kTelnetDont = 254;
const uint8_t kTelnetDo = 253;
const uint8_t kTelnetWont = 252;
const uint8_t kTelnetWill = 251;
const uint8_t kTelnetSb = 250;
const uint8_t kTelnetSe = 240;

const uint8_t kTelnetOptBinary = 0;
const uint8_t kTelnetOptSuppressGoAhead = 3;
const uint8_t kTelnetOptComPort = 44;

// COM-PORT commands from the client; the server answers each with the same
// command plus kComPortAnswer and the value it has now.
const uint8_t kComPortSetBaud = 1;
const uint8_t kComPortSetDataSize = 2;
const uint8_t kComPortSetParity = 3;
const uint8_t kComPortSetStopSize = 4;
const uint8_t kComPortSetControl = 5;
const uint8_t kComPortAnswer = 100;
const uint8_t kComPortParityNone = 1;
const uint8_t kComPortStopOne = 1;
const uint8_t kComPortNoFlowControl = 1;
const uint8_t kComPortBreakOn = 5;
const uint8_t kComPortBreakOff = 6;

// The longest subnegotiation kept: COM-PORT answers carry at most 4 value
// bytes. Longer ones are read to their end and ignored.
const size_t kTelnetSubMax = 8;
// Room for our answers between two flushes. A read of n bytes can ask for at
// most n answer bytes, so a flood is bounded by the reads, and past this room
// answers are dropped rather than stored.
const size_t kTelnetReplyMax = 512;

enum TelnetState : uint8_t {
    kTelnetData,
    kTelnetCommand,  // after IAC
    kTelnetOption,   // after IAC WILL/WONT/DO/DONT
    kTelnetSub,      // inside IAC SB ... IAC SE
    kTelnetSubIac,   // IAC inside a subnegotiation
};

// Per option: whether it is on at our side or the server's, and whether we
// asked for it and wait for the answer (so that the answer is not answered).
const uint8_t kTelnetLocalOn = 1;
const uint8_t kTelnetRemoteOn = 2;
const uint8_t kTelnetLocalAsked = 4;
const uint8_t kTelnetRemoteAsked = 8;
const uint8_t kTelnetLocalRefused = 16;  // the server said DONT to what we offered

struct TelnetSession {
    TelnetState state = kTelnetData;
    uint8_t verb = 0;
    uint8_t sub[kTelnetSubMax] = {};
    size_t subLength = 0;
    bool subTooLong = false;
    uint8_t options[256] = {};
    uint8_t reply[kTelnetReplyMax] = {};
    size_t replyLength = 0;
    uint32_t repliesDropped = 0;
    // The server's last COM-PORT answers; bit n of answered is set once
    // command n has been answered.
    uint32_t answered = 0;
    uint32_t baud = 0;
    uint8_t dataSize = 0;
    uint8_t parity = 0;
    uint8_t stopSize = 0;
    uint8_t control = 0;
};

// Resets the session and queues our opening requests: BINARY and
// SUPPRESS-GO-AHEAD both ways, COM-PORT at our side.
void TelnetStart(TelnetSession* session);
// Decodes n received bytes: the line's data goes to data (at most n bytes),
// negotiation is answered into session->reply. Returns the data length.
size_t TelnetDecode(TelnetSession* session, const uint8_t* in, size_t n, uint8_t* data);
// Copies in to out with every IAC doubled, as far as room allows; returns
// the bytes written and sets *consumed to the input bytes they carry.
size_t TelnetEncode(const uint8_t* in, size_t n, uint8_t* out, size_t room, size_t* consumed);
// Queues a COM-PORT command with its value (big-endian, IAC doubled).
// Returns 0 when the reply room is full.
int TelnetComPortCommand(TelnetSession* session, uint8_t command, const uint8_t* value, size_t n);
// 1 once BINARY is on both ways and COM-PORT at our side.
int TelnetReady(const TelnetSession* session);
// 1 when the server declined COM-PORT.
int TelnetComPortRefused(const TelnetSession* session);

#endif
