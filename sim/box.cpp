// The box model: frame parser, replies with due times, and a small machine
// of four axes whose moves take time.
#include "sim/box.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace {

const uint8_t kSyncByte = 0x7F;
const uint8_t kStopByte = 0x60;
const int kStopRun = 16;
const uint8_t kRunStateLetter = 'n';
const uint8_t kQueryOpen = '{';
const uint8_t kQueryNext = '.';
const uint8_t kQueryClose = '}';
const uint8_t kAckNotBusy = 0x02;
const uint8_t kAckFailed = 0x01;
const uint16_t kParamRamps = 1;
const uint16_t kParamEncoder = 12;
const uint16_t kParamEncoderTarget = 24;
const uint32_t kDefaultVelocityUnit = 16384;

const char kPromptText[] = "\r\nmotion controller monitor\r\n/ starts the host protocol\r\n> ";

int32_t Long32(const uint8_t* p)
{
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 24
        | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3]);
}

int32_t Word16(const uint8_t* p)
{
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] << 8 | p[1]));
}

uint16_t Unsigned16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

bool IsChannel(int channel)
{
    return channel >= 0 && channel < kChannelCount;
}

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...)
{
    char text[160];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace

int FrameLength(uint8_t letter)
{
    switch (letter) {
    case 'x':
    case 'y':
    case '|':
    case 'l':
    case 'C': return 5;
    case 'z':
    case 'Z': return 6;
    case 'r':
    case 'a': return 9;
    case 'L': return 7;
    case 'K':
    case 'H': return 13;
    case 'U':
    case 'D':
    case 'G':
    case 't': return 1;
    case 'w':
    case 'm':
    case 'T':
    case 'W': return 2;
    case 'f':
    case 's':
    case 'S': return 3;
    case 'P':
    case 'k': return 4;
    case 'p': return 7;
    case 'h': return 11;
    default: return 0;
    }
}

Box::Box(const BoxConfig& config)
    : config_(config)
    , vectorSpeed_(config.defaultSpeed ? config.defaultSpeed : 1)
    , rng_(config.seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull)
{
    if (config_.identifier.size() > 12)
        config_.identifier.resize(12);
}

// ---- input ----

void Box::Receive(const uint8_t* bytes, size_t n, uint64_t nowMicros)
{
    Advance(nowMicros);
    for (size_t i = 0; i < n; ++i) {
        ++counters_.bytesReceived;
        ReceiveByte(bytes[i], nowMicros_);
    }
}

void Box::LineBreak(bool on, uint64_t nowMicros)
{
    Advance(nowMicros);
    if (!on)
        return;
    ++counters_.lineBreaks;
    // A break garbles whatever frame was on its way.
    frameHave_ = 0;
    syncLetter_ = 0;
    Record(nowMicros_, "break");
}

void Box::ReceiveByte(uint8_t b, uint64_t now)
{
    BoxFaults& faults = config_.faults;
    if (faults.silent) {
        ++counters_.ignoredWhileSilent;
        return;
    }
    if (faults.atPrompt) {
        ++counters_.ignoredWhileSilent;
        ReceivePromptByte(b, now);
        return;
    }

    // A frame leaves the library in one write, so a long gap inside one means
    // its tail was lost; dropping it keeps the next frame aligned.
    if (frameHave_ > 0 && config_.frameGapMicros != 0
        && now - lastByteMicros_ > config_.frameGapMicros) {
        ++counters_.truncatedFrames;
        Record(now, Format("dropped incomplete '%c' frame", frame_[0]));
        frameHave_ = 0;
    }
    lastByteMicros_ = now;

    if (frameHave_ > 0) {
        frame_[frameHave_++] = b;
        if (frameHave_ == frameNeed_) {
            frameHave_ = 0;
            ExecuteFrame(now);
        }
        return;
    }

    const bool afterSyncRun = run7F_ > 0;
    run7F_ = b == kSyncByte ? run7F_ + 1 : 0;
    if (b == kSyncByte) {
        if (run7F_ == 1) {
            ++counters_.syncRuns;
            Record(now, "sync run");
            // The host resynchronises to start afresh: an acknowledgement
            // still held back would reach it later as a stray byte.
            DropHeldReplies(now);
        }
        syncMode_ = true;
        syncAttemptsInRun_ = 0;
        syncLetter_ = 0;
        query_ = Query::None;
        run60_ = 0;
        return;
    }

    if (syncLetter_ != 0) {
        uint8_t letter = syncLetter_;
        syncLetter_ = 0;
        if (b >= 160 && b <= 191) {
            ++counters_.syncAttempts;
            ++syncAttemptsInRun_;
            bool answer = syncAttemptsInRun_ >= faults.syncFromAttempt;
            uint8_t echo = faults.echoSequence ? b : static_cast<uint8_t>(b + 1);
            Record(now,
                Format(answer ? "sync %c %d -> %d" : "sync %c %d unanswered", letter, b, echo));
            if (answer) {
                ++counters_.syncEchoes;
                Send(echo, now, faults.syncEchoDelayMicros);
            }
            return;
        }
        // Not a sequence number: take the byte for what it is.
    }

    run60_ = b == kStopByte ? run60_ + 1 : 0;
    if (b == kStopByte) {
        if (run60_ == kStopRun) {
            run60_ = 0;
            EmergencyStop(now);
        }
        return;
    }

    if (b == 'i' || b == 'N') {
        syncLetter_ = b;
        return;
    }
    if (b == kRunStateLetter) {
        ++counters_.runStateQueries;
        uint8_t state = BusyAt(now) ? 0 : kAckNotBusy;
        Record(now, Format("n -> %d", state));
        Send(state, now, 0);
        return;
    }
    if (query_ == Query::Open && (b == kQueryOpen || b == kQueryNext || b == kQueryClose)) {
        int index;
        if (b == kQueryOpen)
            index = 0;
        else if (b == kQueryClose)
            index = 3;
        else
            index = std::min(std::max(queryByte_, 1), 2);
        queryByte_ = index + 1;
        if (b == kQueryClose)
            query_ = Query::None;
        Send(static_cast<uint8_t>(queryValue_ >> (8 * (3 - index))), now, 0);
        return;
    }

    int length = FrameLength(b);
    if (length == 0) {
        ++counters_.unknownBytes;
        return;
    }
    syncMode_ = false;
    frame_[0] = b;
    frameNeed_ = length;
    if (length == 1) {
        ExecuteFrame(now, afterSyncRun);
        return;
    }
    frameHave_ = 1;
}

void Box::ReceivePromptByte(uint8_t b, uint64_t now)
{
    promptTail_[0] = promptTail_[1];
    promptTail_[1] = promptTail_[2];
    promptTail_[2] = b;
    if (!(promptTail_[0] == '\r' && promptTail_[1] == '/' && promptTail_[2] == '\r'))
        return;
    promptTail_[2] = 0;
    ++counters_.promptsShown;
    Record(now, "prompt");
    SendText(kPromptText, now);
    if (!config_.faults.stuckAtPrompt) {
        config_.faults.atPrompt = false;
        frameHave_ = 0;
        syncLetter_ = 0;
        query_ = Query::None;
    }
}

// ---- commands ----

void Box::ExecuteFrame(uint64_t now, bool afterSyncRun)
{
    const uint8_t letter = frame_[0];
    const uint8_t* arg = frame_ + 1;
    ++counters_.frames;
    ++counters_.framesByLetter[letter];
    bool failed = false;
    uint64_t holdAckMicros = 0;

    switch (letter) {
    case 'S': {
        ++counters_.queries;
        if (arg[0] == 8 || arg[0] == 25)
            leadingSelector_ = arg[0];
        queryValue_ = InfoValue(arg[0], arg[1]);
        query_ = Query::Open;
        queryByte_ = 0;
        Record(now, Format("S %d %d -> %d", arg[0], arg[1], static_cast<int32_t>(queryValue_)));
        return;  // the handshake answers, not an acknowledgement
    }
    case 'x':
    case 'y':
    case '|':
    case 'l': {
        int32_t value = Long32(arg);
        Record(now, Format("%c %d", letter, value));
        bool secondSlot = letter == 'y' || letter == 'l';
        int32_t values[2] = {0, 0};
        values[secondSlot ? 1 : 0] = value;
        bool relative = letter == 'x' || letter == 'y';
        // Only the named slot moves: fill the other with where it is headed.
        int other = secondSlot ? 0 : 1;
        values[other] = relative ? 0 : (slots_[other] == kNoAxis ? 0 : Target(slots_[other]));
        MoveSlots(values, 2, relative, now);
        break;
    }
    case 'z':
    case 'Z': {
        int32_t value = Long32(arg + 1);
        Record(now, Format("%c %d %d", letter, arg[0], value));
        MoveChannel(arg[0], value, letter == 'Z', now);
        break;
    }
    case 'C':
    case 'L': {
        int count = letter == 'C' ? 2 : 3;
        int32_t values[3];
        for (int i = 0; i < count; ++i)
            values[i] = Word16(arg + 2 * i);
        Record(now,
            count == 2 ? Format("C %d %d", values[0], values[1])
                       : Format("L %d %d %d", values[0], values[1], values[2]));
        MoveSlots(values, count, true, now);
        break;
    }
    case 'r':
    case 'K':
    case 'a':
    case 'H': {
        int count = (letter == 'r' || letter == 'a') ? 2 : 3;
        int32_t values[3];
        for (int i = 0; i < count; ++i)
            values[i] = Long32(arg + 4 * i);
        Record(now,
            count == 2 ? Format("%c %d %d", letter, values[0], values[1])
                       : Format("%c %d %d %d", letter, values[0], values[1], values[2]));
        MoveSlots(values, count, letter == 'r' || letter == 'K', now);
        break;
    }
    case 'U':
    case 'D':
        penDown_ = letter == 'D';
        Record(now, Format("%c", letter));
        break;
    case 'P':
        for (int i = 0; i < 3; ++i)
            slots_[i] = IsChannel(arg[i]) ? arg[i] : kNoAxis;
        Record(now, Format("P %d %d %d", arg[0], arg[1], arg[2]));
        break;
    case 'f':
        for (int i = 0; i < 2; ++i)
            slots_[i] = IsChannel(arg[i]) ? arg[i] : kNoAxis;
        Record(now, Format("f %d %d", arg[0], arg[1]));
        break;
    case 'w':
        slots_[1] = IsChannel(arg[0]) ? arg[0] : kNoAxis;
        Record(now, Format("w %d", arg[0]));
        break;
    case 'G':
        Record(now, trainRunning_ ? "G (train ends)" : afterSyncRun ? "G (probe)" : "G");
        // Waiting for a halt: the acknowledgement comes once queued motion
        // ends. Straight after a 0x7F run it is the liveness probe, which
        // must be answered while the box moves.
        if (!trainRunning_ && !afterSyncRun && BusyAt(now))
            holdAckMicros = MotionEndMicros() - now;
        trainRunning_ = false;
        break;
    case 't':
        trainRunning_ = true;
        Record(now, "t");
        break;
    case 'm':
        vectorMode_ = arg[0] != 0;
        Record(now, Format("m %d", arg[0]));
        break;
    case 'T':
        testMode_ = arg[0] != 0;
        Record(now, Format("T %d", arg[0]));
        break;
    case 's':
        vectorSpeed_ = SpeedFromValue(Unsigned16(arg), kChannelY);
        Record(now, Format("s %d (%u steps/s)", Unsigned16(arg), vectorSpeed_));
        break;
    case 'k':
        if (IsChannel(arg[0]))
            channelSpeed_[arg[0]] = SpeedFromValue(Unsigned16(arg + 1), arg[0]);
        Record(now, Format("k %d %d", arg[0], Unsigned16(arg + 1)));
        break;
    case 'p': {
        uint16_t number = Unsigned16(arg);
        int32_t value = Long32(arg + 2);
        Record(now, Format("p %d %d", number, value));
        SetParam(number, value, now);
        if (number == kParamRamps)
            failed = config_.faults.rampFails;
        break;
    }
    case 'W':
    case 'h': {
        uint8_t mask = arg[0];
        if (letter == 'W')
            Record(now, Format("W %d", mask));
        else
            Record(now, Format("h %d %d %d %d", mask, arg[1], Long32(arg + 2), Long32(arg + 6)));
        failed = config_.faults.homingFails;
        if (!failed) {
            int32_t target[kChannelCount];
            for (int ch = 0; ch < kChannelCount; ++ch)
                target[ch] = (mask >> ch & 1) ? 0 : Target(ch);
            QueueMove(target, config_.homingSpeed ? config_.homingSpeed : 1, now);
        }
        break;
    }
    default: break;
    }
    Acknowledge(now, failed, holdAckMicros);
}

void Box::SetParam(uint16_t number, int32_t value, uint64_t now)
{
    params_[number] = value;
    if (!trainRunning_ || number != kParamEncoderTarget)
        return;
    // Encoder 4 follows slot 1 (X), encoder 5 the selectable slot 2.
    int32_t encoder = Param(kParamEncoder);
    int slot = encoder == 4 ? 0 : encoder == 5 ? 1 : -1;
    if (slot < 0 || slots_[slot] == kNoAxis)
        return;
    MoveChannel(slots_[slot], static_cast<int32_t>(static_cast<uint32_t>(value) * 4u), false, now);
}

int32_t Box::Param(uint16_t number) const
{
    auto it = params_.find(number);
    return it == params_.end() ? 0 : it->second;
}

void Box::Acknowledge(uint64_t now, bool failed, uint64_t holdMicros)
{
    ++acksCounted_;
    const BoxFaults& faults = config_.faults;
    if (acksCounted_ == faults.dropAckNumber
        || (faults.dropAckProbability > 0.0 && Random() < faults.dropAckProbability)) {
        ++counters_.acksDropped;
        Record(now, "ack dropped");
        return;
    }
    uint8_t ack = static_cast<uint8_t>(
        (BusyAt(now + holdMicros) ? 0 : kAckNotBusy) | (failed ? kAckFailed : 0));
    ++counters_.acksSent;
    if (holdMicros == 0) {
        Send(ack, now, faults.ackDelayMicros);
        return;
    }
    // Held apart from the reply queue, so that later replies (synchronisation
    // echoes, the probe, queries) are not stuck behind it.
    Reply held = {now + faults.ackDelayMicros + holdMicros, ack};
    auto at = std::upper_bound(held_.begin(), held_.end(), held.due,
        [](uint64_t due, const Reply& r) { return due < r.due; });
    held_.insert(at, held);
}

void Box::ReleaseHeldReplies(uint64_t nowMicros)
{
    while (!held_.empty() && held_.front().due <= nowMicros) {
        Reply r = held_.front();
        held_.pop_front();
        Send(r.value, r.due, 0);
    }
}

void Box::DropHeldReplies(uint64_t now)
{
    if (held_.empty())
        return;
    counters_.heldRepliesDropped += held_.size();
    Record(now,
        Format("%lu held repl%s dropped", static_cast<unsigned long>(held_.size()),
            held_.size() == 1 ? "y" : "ies"));
    held_.clear();
}

// ---- output ----

void Box::Send(uint8_t value, uint64_t now, uint64_t extraDelay)
{
    // 10 bits a byte (8N1); a byte is due once its stop bit is on the wire.
    uint64_t byteMicros = config_.baud ? 10000000ull / config_.baud : 0;
    const BoxFaults& faults = config_.faults;
    if (faults.noiseProbability > 0.0 && Random() < faults.noiseProbability) {
        ++counters_.noiseBytes;
        uint64_t start = std::max(now + config_.replyLatencyMicros, lastDue_);
        lastDue_ = start + byteMicros;
        replies_.push_back({lastDue_, static_cast<uint8_t>(Random() * 256.0)});
    }
    uint64_t start = std::max(now + config_.replyLatencyMicros + extraDelay, lastDue_);
    lastDue_ = start + byteMicros;
    replies_.push_back({lastDue_, value});
}

void Box::SendText(const char* text, uint64_t now)
{
    for (const char* c = text; *c != '\0'; ++c)
        Send(static_cast<uint8_t>(*c), now, 0);
}

size_t Box::Transmit(uint64_t nowMicros, uint8_t* out, size_t max)
{
    Advance(nowMicros);
    size_t n = 0;
    while (n < max && !replies_.empty() && replies_.front().due <= nowMicros) {
        out[n++] = replies_.front().value;
        replies_.pop_front();
    }
    return n;
}

bool Box::NextDue(uint64_t* dueMicros) const
{
    bool any = false;
    if (!replies_.empty()) {
        *dueMicros = replies_.front().due;
        any = true;
    }
    if (!held_.empty()) {
        // When released it goes on the wire behind whatever is queued then.
        uint64_t byteMicros = config_.baud ? 10000000ull / config_.baud : 0;
        uint64_t due
            = std::max(held_.front().due + config_.replyLatencyMicros, lastDue_) + byteMicros;
        if (!any || due < *dueMicros)
            *dueMicros = due;
        any = true;
    }
    return any;
}

// ---- motion ----

void Box::Advance(uint64_t nowMicros)
{
    if (nowMicros > nowMicros_)
        nowMicros_ = nowMicros;
    ReleaseHeldReplies(nowMicros_);
    while (!motion_.empty() && motion_.front().end <= nowMicros_) {
        std::copy(motion_.front().to, motion_.front().to + kChannelCount, settled_);
        motion_.pop_front();
    }
}

int32_t Box::PositionAt(int channel, uint64_t atMicros) const
{
    if (!IsChannel(channel))
        return 0;
    int32_t position = settled_[channel];
    for (const Segment& s : motion_) {
        if (atMicros >= s.end) {
            position = s.to[channel];
            continue;
        }
        if (atMicros <= s.start)
            return s.from[channel];
        double part
            = static_cast<double>(atMicros - s.start) / static_cast<double>(s.end - s.start);
        double delta = static_cast<double>(s.to[channel]) - s.from[channel];
        return static_cast<int32_t>(s.from[channel] + static_cast<int64_t>(delta * part));
    }
    return position;
}

int32_t Box::Target(int channel) const
{
    if (!IsChannel(channel))
        return 0;
    return motion_.empty() ? settled_[channel] : motion_.back().to[channel];
}

bool Box::BusyAt(uint64_t atMicros) const
{
    return !motion_.empty() && atMicros < motion_.back().end;
}

uint64_t Box::MotionEndMicros() const
{
    return motion_.empty() ? nowMicros_ : motion_.back().end;
}

uint32_t Box::SpeedFromValue(uint32_t v, int channel) const
{
    uint32_t unit
        = config_.velocityUnit[channel] ? config_.velocityUnit[channel] : kDefaultVelocityUnit;
    uint64_t steps = (static_cast<uint64_t>(v) * 64u * unit) >> 20;
    return steps == 0 ? 1 : static_cast<uint32_t>(std::min<uint64_t>(steps, UINT32_MAX));
}

void Box::QueueMove(const int32_t target[kChannelCount], uint32_t stepsPerSecond, uint64_t now)
{
    Segment s;
    s.start = std::max(now, MotionEndMicros());
    int64_t longest = 0;
    for (int ch = 0; ch < kChannelCount; ++ch) {
        s.from[ch] = Target(ch);
        s.to[ch] = target[ch];
        longest = std::max<int64_t>(longest, llabs(static_cast<int64_t>(s.to[ch]) - s.from[ch]));
    }
    if (longest == 0)
        return;
    double seconds = static_cast<double>(longest) / kCountsPerStep / stepsPerSecond;
    s.end = s.start + std::max<uint64_t>(1, static_cast<uint64_t>(seconds * 1e6 + 0.5));
    s.drawnIndex = -1;
    if (penDown_
        && (s.from[kChannelX] != s.to[kChannelX] || s.from[kChannelY] != s.to[kChannelY])) {
        s.drawnIndex = static_cast<long>(drawn_.size());
        drawn_.push_back({s.from[kChannelX], s.from[kChannelY], s.to[kChannelX], s.to[kChannelY]});
    }
    motion_.push_back(s);
}

void Box::MoveSlots(const int32_t* values, int count, bool relative, uint64_t now)
{
    int32_t target[kChannelCount];
    for (int ch = 0; ch < kChannelCount; ++ch)
        target[ch] = Target(ch);
    for (int i = 0; i < count; ++i) {
        int ch = slots_[i];
        if (ch == kNoAxis)
            continue;
        // Wrap like the box's 32-bit registers rather than overflow.
        target[ch] = relative ? static_cast<int32_t>(
                         static_cast<uint32_t>(target[ch]) + static_cast<uint32_t>(values[i]))
                              : values[i];
    }
    QueueMove(target, vectorSpeed_, now);
}

void Box::MoveChannel(int channel, int32_t value, bool relative, uint64_t now)
{
    if (!IsChannel(channel))
        return;
    int32_t target[kChannelCount];
    for (int ch = 0; ch < kChannelCount; ++ch)
        target[ch] = Target(ch);
    target[channel] = relative ? static_cast<int32_t>(
                          static_cast<uint32_t>(target[channel]) + static_cast<uint32_t>(value))
                               : value;
    uint32_t speed = channelSpeed_[channel] ? channelSpeed_[channel] : vectorSpeed_;
    QueueMove(target, speed, now);
}

void Box::EmergencyStop(uint64_t now)
{
    Advance(now);
    ++counters_.emergencyStops;
    trainRunning_ = false;
    DropHeldReplies(now);
    if (!motion_.empty()) {
        for (int ch = 0; ch < kChannelCount; ++ch)
            settled_[ch] = PositionAt(ch, now);
        // The path drawn so far stays; what was still queued never happened.
        long keep = static_cast<long>(drawn_.size());
        for (const Segment& s : motion_) {
            if (s.drawnIndex >= 0) {
                keep = std::min(keep, s.drawnIndex + (s.start < now ? 1L : 0L));
                if (s.start < now) {
                    drawn_[s.drawnIndex].x1 = settled_[kChannelX];
                    drawn_[s.drawnIndex].y1 = settled_[kChannelY];
                }
            }
        }
        drawn_.resize(static_cast<size_t>(keep));
        motion_.clear();
    }
    Record(now, "emergency stop");
}

// ---- information ----

uint32_t Box::IdentifierWord(int group) const
{
    std::string id = config_.identifier;
    id.resize(12, ' ');
    uint32_t word = 0;
    for (int i = 0; i < 4; ++i)
        word |= static_cast<uint32_t>(static_cast<uint8_t>(id[4 * group + i])) << (8 * i);
    return word;
}

uint32_t Box::InfoValue(uint8_t selector, uint8_t index) const
{
    auto slotPosition = [this](int slot) {
        return slots_[slot] == kNoAxis ? 0u : static_cast<uint32_t>(Position(slots_[slot]));
    };
    switch (selector) {
    case 2: return IsChannel(index) ? static_cast<uint32_t>(Position(index)) : 0;
    case 8: return IdentifierWord(0);
    case 12: return leadingSelector_ == 8 ? IdentifierWord(1) : slotPosition(1);
    case 13: return leadingSelector_ == 8 ? IdentifierWord(2) : slotPosition(2);
    case 25: return slotPosition(0);
    case 26: return IsChannel(index) ? config_.stepInfo[index] : 0;
    case 27: return IsChannel(index) ? config_.velocityUnit[index] : 0;
    default: return 0;
    }
}

// ---- record ----

void Box::Record(uint64_t now, const std::string& text)
{
    log_.push_back({now, text});
    if (onLog != nullptr)
        onLog(onLogContext, log_.back());
}

std::string Box::LogText() const
{
    std::string text;
    for (const BoxLogEntry& e : log_)
        text += Format("%llu ", static_cast<unsigned long long>(e.atMicros)) + e.text + "\n";
    return text;
}

std::string Box::Svg() const
{
    double minX = 0, maxX = 0, minY = 0, maxY = 0;
    bool first = true;
    for (const DrawnSegment& d : drawn_) {
        const double xs[2] = {d.x0 / double(kCountsPerStep), d.x1 / double(kCountsPerStep)};
        const double ys[2] = {d.y0 / double(kCountsPerStep), d.y1 / double(kCountsPerStep)};
        for (int i = 0; i < 2; ++i) {
            if (first || xs[i] < minX)
                minX = xs[i];
            if (first || xs[i] > maxX)
                maxX = xs[i];
            if (first || ys[i] < minY)
                minY = ys[i];
            if (first || ys[i] > maxY)
                maxY = ys[i];
            first = false;
        }
    }
    double margin = std::max(1.0, std::max(maxX - minX, maxY - minY) * 0.02);
    char head[512];
    // Y grows upwards on the machine and downwards in SVG: draw with -y.
    snprintf(head, sizeof head,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"%.3f %.3f %.3f %.3f\">\n"
        "<title>Pen-down path, in motor steps</title>\n",
        minX - margin, -maxY - margin, maxX - minX + 2 * margin, maxY - minY + 2 * margin);
    std::string svg = head;
    std::string path;
    bool haveEnd = false;
    int32_t endX = 0, endY = 0;
    char step[96];
    for (const DrawnSegment& d : drawn_) {
        if (!haveEnd || d.x0 != endX || d.y0 != endY) {
            snprintf(step, sizeof step, "%sM%.3f %.3f", path.empty() ? "" : " ",
                d.x0 / double(kCountsPerStep), 0.0 - d.y0 / double(kCountsPerStep));
            path += step;
        }
        // Negated as doubles (-INT32_MIN is no int32_t), and 0.0 - y keeps 0 unsigned.
        snprintf(step, sizeof step, " L%.3f %.3f", d.x1 / double(kCountsPerStep),
            0.0 - d.y1 / double(kCountsPerStep));
        path += step;
        endX = d.x1;
        endY = d.y1;
        haveEnd = true;
    }
    if (!path.empty())
        svg += "<path fill=\"none\" stroke=\"black\" stroke-width=\"1\" "
               "vector-effect=\"non-scaling-stroke\" d=\""
            + path + "\"/>\n";
    svg += "</svg>\n";
    return svg;
}

double Box::Random()
{
    // xorshift64*: the same sequence on every platform for a given seed.
    rng_ ^= rng_ >> 12;
    rng_ ^= rng_ << 25;
    rng_ ^= rng_ >> 27;
    return static_cast<double>((rng_ * 0x2545F4914F6CDD1Dull) >> 11) / 9007199254740992.0;
}
