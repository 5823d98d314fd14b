#include "platform/telnet.h"

static void Queue(TelnetSession* s, const uint8_t* bytes, size_t n)
{
    if (kTelnetReplyMax - s->replyLength < n) {
        ++s->repliesDropped;
        return;
    }
    for (size_t i = 0; i < n; ++i)
        s->reply[s->replyLength++] = bytes[i];
}

static void QueueVerb(TelnetSession* s, uint8_t verb, uint8_t option)
{
    const uint8_t bytes[3] = {kTelnetIac, verb, option};
    Queue(s, bytes, 3);
}

// What we do ourselves, and what we let the server do. ECHO and the rest are
// declined: a server echoing our frames would feed them back as replies.
static bool AcceptLocal(uint8_t option)
{
    return option == kTelnetOptBinary || option == kTelnetOptSuppressGoAhead
        || option == kTelnetOptComPort;
}

static bool AcceptRemote(uint8_t option)
{
    return option == kTelnetOptBinary || option == kTelnetOptSuppressGoAhead;
}

void TelnetStart(TelnetSession* session)
{
    *session = TelnetSession();
    static const uint8_t ours[] = {kTelnetOptBinary, kTelnetOptSuppressGoAhead, kTelnetOptComPort};
    static const uint8_t theirs[] = {kTelnetOptBinary, kTelnetOptSuppressGoAhead};
    for (uint8_t option : ours) {
        QueueVerb(session, kTelnetWill, option);
        session->options[option] |= kTelnetLocalAsked;
    }
    for (uint8_t option : theirs) {
        QueueVerb(session, kTelnetDo, option);
        session->options[option] |= kTelnetRemoteAsked;
    }
}

// Answers only what changes an option's state, besides refusals, so that
// two sides that agree never answer each other in a loop.
static void Negotiate(TelnetSession* s, uint8_t verb, uint8_t option)
{
    uint8_t& state = s->options[option];
    switch (verb) {
    case kTelnetDo:
        if (!AcceptLocal(option)) {
            QueueVerb(s, kTelnetWont, option);
        } else if ((state & kTelnetLocalOn) == 0) {
            if ((state & kTelnetLocalAsked) == 0)
                QueueVerb(s, kTelnetWill, option);
            state = static_cast<uint8_t>((state | kTelnetLocalOn) & ~kTelnetLocalRefused);
        }
        state &= static_cast<uint8_t>(~kTelnetLocalAsked);
        break;
    case kTelnetDont:
        if ((state & kTelnetLocalOn) != 0 && (state & kTelnetLocalAsked) == 0)
            QueueVerb(s, kTelnetWont, option);
        state = static_cast<uint8_t>((state & ~(kTelnetLocalOn | kTelnetLocalAsked))
            | (AcceptLocal(option) ? kTelnetLocalRefused : 0));
        break;
    case kTelnetWill:
        if (!AcceptRemote(option)) {
            QueueVerb(s, kTelnetDont, option);
        } else if ((state & kTelnetRemoteOn) == 0) {
            if ((state & kTelnetRemoteAsked) == 0)
                QueueVerb(s, kTelnetDo, option);
            state |= kTelnetRemoteOn;
        }
        state &= static_cast<uint8_t>(~kTelnetRemoteAsked);
        break;
    default:  // WONT
        if ((state & kTelnetRemoteOn) != 0 && (state & kTelnetRemoteAsked) == 0)
            QueueVerb(s, kTelnetDont, option);
        state &= static_cast<uint8_t>(~(kTelnetRemoteOn | kTelnetRemoteAsked));
        break;
    }
}

// A COM-PORT answer from the server: the value it has now.
static void Subnegotiation(TelnetSession* s)
{
    if (s->subTooLong || s->subLength < 3 || s->sub[0] != kTelnetOptComPort)
        return;
    uint8_t command = s->sub[1];
    if (command <= kComPortAnswer || command > kComPortAnswer + kComPortSetControl)
        return;
    command = static_cast<uint8_t>(command - kComPortAnswer);
    const uint8_t* value = s->sub + 2;
    if (command == kComPortSetBaud) {
        if (s->subLength != 6)
            return;
        s->baud = static_cast<uint32_t>(value[0]) << 24 | static_cast<uint32_t>(value[1]) << 16
            | static_cast<uint32_t>(value[2]) << 8 | value[3];
    } else if (s->subLength != 3) {
        return;
    } else if (command == kComPortSetDataSize) {
        s->dataSize = value[0];
    } else if (command == kComPortSetParity) {
        s->parity = value[0];
    } else if (command == kComPortSetStopSize) {
        s->stopSize = value[0];
    } else {
        s->control = value[0];
    }
    s->answered |= 1u << command;
}

static void SubByte(TelnetSession* s, uint8_t b)
{
    if (s->subLength < kTelnetSubMax)
        s->sub[s->subLength++] = b;
    else
        s->subTooLong = true;
}

size_t TelnetDecode(TelnetSession* s, const uint8_t* in, size_t n, uint8_t* data)
{
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = in[i];
        switch (s->state) {
        case kTelnetData:
            if (b == kTelnetIac)
                s->state = kTelnetCommand;
            else
                data[out++] = b;
            break;
        case kTelnetCommand:
            if (b == kTelnetIac) {
                data[out++] = b;
                s->state = kTelnetData;
            } else if (b >= kTelnetWill) {
                s->verb = b;
                s->state = kTelnetOption;
            } else if (b == kTelnetSb) {
                s->subLength = 0;
                s->subTooLong = false;
                s->state = kTelnetSub;
            } else {
                // NOP, GO-AHEAD, a stray SE and the like carry nothing for us.
                s->state = kTelnetData;
            }
            break;
        case kTelnetOption:
            Negotiate(s, s->verb, b);
            s->state = kTelnetData;
            break;
        case kTelnetSub:
            if (b == kTelnetIac)
                s->state = kTelnetSubIac;
            else
                SubByte(s, b);
            break;
        case kTelnetSubIac:
            if (b == kTelnetIac) {
                SubByte(s, b);
                s->state = kTelnetSub;
            } else if (b == kTelnetSe) {
                Subnegotiation(s);
                s->state = kTelnetData;
            } else {
                // An unterminated subnegotiation: drop it and take this byte
                // as the command that follows IAC.
                s->state = kTelnetCommand;
                --i;
            }
            break;
        }
    }
    return out;
}

size_t TelnetEncode(const uint8_t* in, size_t n, uint8_t* out, size_t room, size_t* consumed)
{
    size_t at = 0;
    size_t i = 0;
    for (; i < n; ++i) {
        size_t need = in[i] == kTelnetIac ? 2 : 1;
        if (room - at < need)
            break;
        out[at++] = in[i];
        if (need == 2)
            out[at++] = kTelnetIac;
    }
    *consumed = i;
    return at;
}

int TelnetComPortCommand(TelnetSession* session, uint8_t command, const uint8_t* value, size_t n)
{
    // IAC SB COM-PORT command, the value with IAC doubled, IAC SE.
    uint8_t frame[4 + 2 * 4 + 2];
    if (n > 4)
        return 0;
    size_t at = 0;
    frame[at++] = kTelnetIac;
    frame[at++] = kTelnetSb;
    frame[at++] = kTelnetOptComPort;
    frame[at++] = command;
    size_t consumed = 0;
    at += TelnetEncode(value, n, frame + at, 2 * n, &consumed);
    frame[at++] = kTelnetIac;
    frame[at++] = kTelnetSe;
    if (kTelnetReplyMax - session->replyLength < at)
        return 0;
    Queue(session, frame, at);
    return 1;
}

int TelnetReady(const TelnetSession* session)
{
    const uint8_t both = kTelnetLocalOn | kTelnetRemoteOn;
    return (session->options[kTelnetOptBinary] & both) == both
        && (session->options[kTelnetOptComPort] & kTelnetLocalOn) != 0;
}

int TelnetComPortRefused(const TelnetSession* session)
{
    return (session->options[kTelnetOptComPort] & kTelnetLocalRefused) != 0;
}
