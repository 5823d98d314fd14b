// A virtual controller box: it consumes the bytes the library writes and
// produces reply bytes, each with the time at which it is due. It makes no OS
// call, so it runs in-process against the fake backend in virtual time
// (tests/support/sim_peer.h) or behind a pseudo-terminal (zrq-boxsim).
//
// Using it
//   BoxConfig config;                 // identity, speeds, pacing, faults
//   Box box(config);
//   box.Receive(bytes, n, nowMicros); // what the library wrote
//   box.NextDue(&due);                // earliest reply byte, if any
//   box.Transmit(nowMicros, out, max);// reply bytes due by now
//   box.Advance(nowMicros);           // lets queued motion finish without I/O
// Times are microseconds on any clock that only moves forward.
//
// In unit tests: `Box* box = AttachSimBox(config);` plugs it into the fake
// backend; then inspect box->Position(kChannelX), box->Param(12),
// box->Log(), box->Counters(), box->Drawn(), or change box->Faults() at any
// time (they take effect from the next byte).
//
// What it answers
// - Framed commands: each is acknowledged with one byte when accepted, except
//   'S'. Ack value: bit value 2 set = not busy at that moment, bit 0 set =
//   failure (homing 'W'/'h', ramp preparation 'p' 1). An incomplete frame is
//   dropped when its next byte is more than frameGapMicros late.
// - Synchronisation: 0x7F resets the frame parser and starts a run; after it
//   each 'i'/'N' n (160..191) pair is one attempt, answered by n + 1.
// - 0x60 x16: emergency stop (motion halts where it is, the pulse train ends,
//   held acknowledgements are dropped).
// - 'n' outside a frame: the run-state byte (2 = not busy, 0 = busy).
// - 'S' sel idx, then '{' '.' '.' '}': the value, most significant byte first,
//   latched when the 'S' frame arrives. Selectors: 2/ch channel position;
//   25/0 slot 1 position; 12/0, 13/0 slot 2, 3 positions after 25/0 (a slot
//   holding no axis reads 0) but identifier characters 5-8, 9-12 after 8/0
//   (8/0 is characters 1-4); 26/ch step word; 27/ch velocity unit; others 0.
// - Axis slots: 'P' a b c fills slots 1..3, 'f' a b slots 1..2, 'w' a slot 2;
//   channel bytes 0..3 (Z, Y, R, X), anything else names no axis. At power-up
//   the slots hold X, Y, Z.
// - Moves: 'a' 'H' '|' 'l' 'z' absolute, 'x' 'y' 'C' 'r' 'L' 'K' 'Z' relative,
//   all in 22.10 counts; relative moves start from where the queued motion
//   ends. Moves queue behind each other. A move takes max(steps) / speed;
//   'z'/'Z' use the channel's 'k' speed once one was set. Speed in steps/s =
//   v * 64 * vunit / 2^20 (vunit of Y for 's', of the channel for 'k'; 16384
//   when the unit is configured as 0), at least 1 step/s.
// - Homing 'W' mask, 'h' mask flag b c: the channels whose bit is set in mask
//   (0xFF = all) travel to 0 at homingSpeed; b and c are recorded only.
// - 'G' outside a pulse train waits for a halt: its acknowledgement comes when
//   the queued motion ends (at once when the box is idle). It is held apart,
//   so every other reply still comes at once. A 'G' straight after a 0x7F
//   run is the liveness probe and is answered at once, moving or not. A 0x7F
//   run and the emergency stop drop held acknowledgements.
// - Pulse train: 't' starts it, 'G' ends it. While it runs, 'p' 12 names the
//   encoder (4 = the axis in slot 1, 5 = the axis in slot 2) and 'p' 24 is the
//   target: that axis travels to target * 4 counts at the vector speed.
// - Every 'p' number/value is stored; 'U'/'D' set the pen; pen-down X/Y
//   travel is recorded as the drawn path (WriteSvg).
// - Prompt: a box at its prompt ignores the protocol; CR '/' CR makes it print
//   a few lines ending in "> " and, unless stuckAtPrompt, start the protocol.
#ifndef ZRQ_SIM_BOX_H
#define ZRQ_SIM_BOX_H

#include <stdint.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

const int kChannelZ = 0;
const int kChannelY = 1;
const int kChannelR = 2;
const int kChannelX = 3;
const int kChannelCount = 4;
const int kNoAxis = 4;

const int32_t kCountsPerStep = 1024;

// Faults that may be changed while the box runs.
struct BoxFaults {
    bool silent = false;               // answers nothing at all
    bool atPrompt = false;             // ignores the protocol until CR '/' CR
    bool stuckAtPrompt = false;        // ...and stays there afterwards
    uint32_t dropAckNumber = 0;        // the Nth acknowledgement (1-based) is not sent; 0 = none
    double dropAckProbability = 0.0;   // each acknowledgement is lost with this chance
    uint64_t ackDelayMicros = 0;       // added to every acknowledgement
    bool echoSequence = false;         // synchronisation answered by n instead of n + 1
    uint32_t syncFromAttempt = 1;      // attempts before this one (per 0x7F run) go unanswered
    uint64_t syncEchoDelayMicros = 0;  // added to every synchronisation echo
    double noiseProbability = 0.0;     // chance of a random byte before each reply byte
    bool homingFails = false;          // homing acknowledged with bit 0 set, axes stay
    bool rampFails = false;            // parameter 1 acknowledged with bit 0 set
};

struct BoxConfig {
    // Twelve characters at most; shorter identifiers are padded with blanks.
    std::string identifier = "ZRQBOX.1";
    // Selector 26 per channel (Z, Y, R, X): step = low16 * 100000 / high16
    // in 1e-8 inch; 0x00080001 is a step of 12500. 0 = not reported.
    uint32_t stepInfo[kChannelCount] = {0x00080001, 0x00080001, 0x00080001, 0x00080001};
    // Selector 27 per channel. 0 = not reported.
    uint32_t velocityUnit[kChannelCount] = {16384, 16384, 16384, 16384};
    uint32_t defaultSpeed = 4000;      // steps/s before any 's'
    uint32_t homingSpeed = 20000;      // steps/s
    uint32_t baud = 38400;             // reply pacing, 10 bits a byte; 0 = no wire time
    uint64_t replyLatencyMicros = 0;   // between a byte's arrival and its reply
    uint64_t frameGapMicros = 100000;  // an incomplete frame older than this is dropped; 0 = never
    uint32_t seed = 1;                 // for the probabilistic faults
    BoxFaults faults;
};

struct BoxCounters {
    uint64_t bytesReceived = 0;
    uint64_t frames = 0;  // complete framed commands, 'S' included
    uint64_t framesByLetter[256] = {};
    uint64_t acksSent = 0;
    uint64_t acksDropped = 0;
    uint64_t unknownBytes = 0;     // outside a frame and meaning nothing
    uint64_t truncatedFrames = 0;  // dropped for a late byte or a 0x7F run
    uint64_t syncRuns = 0;         // runs of 0x7F
    uint64_t syncAttempts = 0;
    uint64_t syncEchoes = 0;
    uint64_t queries = 0;          // 'S' frames
    uint64_t runStateQueries = 0;  // 'n'
    uint64_t emergencyStops = 0;
    uint64_t heldRepliesDropped = 0;  // 'G' acknowledgements dropped by a 0x7F run or a stop
    uint64_t promptsShown = 0;
    uint64_t noiseBytes = 0;
    uint64_t lineBreaks = 0;
    uint64_t ignoredWhileSilent = 0;  // bytes received while silent or at the prompt
};

struct BoxLogEntry {
    uint64_t atMicros;
    std::string text;  // e.g. "a 1024 -2048", "p 12 5", "S 25 0 = 1024", "sync N 160"
};

// One pen-down stretch of X/Y travel, in 22.10 counts.
struct DrawnSegment {
    int32_t x0, y0, x1, y1;
};

class Box {
public:
    explicit Box(const BoxConfig& config = BoxConfig());

    void Receive(const uint8_t* bytes, size_t n, uint64_t nowMicros);
    void LineBreak(bool on, uint64_t nowMicros);
    // Moves out the reply bytes due at or before nowMicros; returns how many.
    size_t Transmit(uint64_t nowMicros, uint8_t* out, size_t max);
    // True when a reply byte is queued; *dueMicros is the earliest.
    bool NextDue(uint64_t* dueMicros) const;
    // Lets motion progress to nowMicros.
    void Advance(uint64_t nowMicros);

    // Where an axis is now (the latest time the box has seen), in counts.
    int32_t Position(int channel) const { return PositionAt(channel, nowMicros_); }
    int32_t PositionAt(int channel, uint64_t atMicros) const;
    // Where it will be when the queued motion ends.
    int32_t Target(int channel) const;
    bool Busy() const { return BusyAt(nowMicros_); }
    bool BusyAt(uint64_t atMicros) const;
    uint64_t MotionEndMicros() const;
    bool PenDown() const { return penDown_; }
    bool TrainRunning() const { return trainRunning_; }
    int Slot(int slot) const { return slots_[slot]; }  // slot 0..2; kNoAxis when empty
    bool HasParam(uint16_t number) const { return params_.count(number) != 0; }
    int32_t Param(uint16_t number) const;
    uint32_t Speed() const { return vectorSpeed_; }  // steps/s
    bool VectorMode() const { return vectorMode_; }
    bool TestMode() const { return testMode_; }
    bool AtPrompt() const { return config_.faults.atPrompt; }
    size_t RepliesQueued() const { return replies_.size() + held_.size(); }
    // Value the information query would answer now, with the current leading selector.
    uint32_t InfoValue(uint8_t selector, uint8_t index) const;

    BoxFaults& Faults() { return config_.faults; }
    const BoxConfig& Config() const { return config_; }
    const BoxCounters& Counters() const { return counters_; }
    const std::vector<BoxLogEntry>& Log() const { return log_; }
    std::string LogText() const;  // one entry a line, "time_us text"
    const std::vector<DrawnSegment>& Drawn() const { return drawn_; }
    // The drawn path as a standalone SVG document, in motor steps, Y up.
    std::string Svg() const;

    // Optional: called with every new log entry (zrq-boxsim streams them).
    void (*onLog)(void* context, const BoxLogEntry& entry) = nullptr;
    void* onLogContext = nullptr;

private:
    struct Segment {
        uint64_t start, end;
        int32_t from[kChannelCount], to[kChannelCount];
        long drawnIndex;  // into drawn_, -1 when nothing was drawn
    };
    struct Reply {
        uint64_t due;
        uint8_t value;
    };
    enum class Query { None, Open };

    void ReceiveByte(uint8_t b, uint64_t now);
    void ReceivePromptByte(uint8_t b, uint64_t now);
    void ExecuteFrame(uint64_t now, bool afterSyncRun = false);
    void Acknowledge(uint64_t now, bool failed, uint64_t holdMicros = 0);
    void Send(uint8_t value, uint64_t now, uint64_t extraDelay);
    void ReleaseHeldReplies(uint64_t nowMicros);
    void DropHeldReplies(uint64_t now);
    void SendText(const char* text, uint64_t now);
    void QueueMove(const int32_t target[kChannelCount], uint32_t stepsPerSecond, uint64_t now);
    void MoveSlots(const int32_t* values, int count, bool relative, uint64_t now);
    void MoveChannel(int channel, int32_t value, bool relative, uint64_t now);
    void EmergencyStop(uint64_t now);
    void SetParam(uint16_t number, int32_t value, uint64_t now);
    uint32_t SpeedFromValue(uint32_t v, int channel) const;
    uint32_t IdentifierWord(int group) const;
    void Record(uint64_t now, const std::string& text);
    double Random();

    BoxConfig config_;
    BoxCounters counters_;
    uint64_t nowMicros_ = 0;

    // Frame parser.
    uint8_t frame_[16] = {};
    int frameHave_ = 0;
    int frameNeed_ = 0;
    uint64_t lastByteMicros_ = 0;
    int run7F_ = 0;
    int run60_ = 0;
    bool syncMode_ = false;
    uint32_t syncAttemptsInRun_ = 0;
    uint8_t syncLetter_ = 0;  // 'i' or 'N' waiting for its sequence number
    uint8_t promptTail_[3] = {};

    // Information query.
    Query query_ = Query::None;
    uint32_t queryValue_ = 0;
    int queryByte_ = 0;
    uint8_t leadingSelector_ = 25;

    // Machine.
    int slots_[3] = {kChannelX, kChannelY, kChannelZ};
    int32_t settled_[kChannelCount] = {};  // positions at the end of finished segments
    std::deque<Segment> motion_;
    uint32_t vectorSpeed_;
    uint32_t channelSpeed_[kChannelCount] = {};  // 0 = not set, use the vector speed
    bool penDown_ = false;
    bool trainRunning_ = false;
    bool vectorMode_ = false;
    bool testMode_ = false;
    std::map<uint16_t, int32_t> params_;

    // Output.
    std::deque<Reply> replies_;
    std::deque<Reply> held_;  // 'G' acknowledgements, by release time
    uint64_t lastDue_ = 0;
    uint64_t acksCounted_ = 0;
    uint64_t rng_;
    std::vector<BoxLogEntry> log_;
    std::vector<DrawnSegment> drawn_;
};

// Frame length, letter included, of a framed command; 0 when b is no command letter.
int FrameLength(uint8_t letter);

#endif
