#pragma once
// A Hayes-style modem as a pure state machine: bytes come in from the terminal side (the DTE) with the
// current millisecond time, bytes for the terminal go out through a callback, the modem's output lines
// (CTS, DSR, DCD, RI) are reported through another, and Advance lets time pass. It does no I/O, runs no
// thread and reads no clock; the caller owns all three (the simulated line's host in the program, the
// pseudo-terminal program, or a test on virtual time). Only differences between time readings count.
//
// What it does, as such modems do:
//   - command state: "AT" (or "at") lines ended by S3 (CR), edited with S5 (backspace) or DEL, echoed
//     with E1, blanks ignored,
//     several commands on one line, "A/" repeats the last line; results verbose (V1: CR LF text CR LF)
//     or numeric (V0: code CR), none with Q1; ERROR for what it does not know and for overlong lines;
//     information text (ATI, ATSn?, AT&V) is CR LF, its lines, CR LF, so a blank line parts it from OK and
//     the last text line before OK is the answer; texts in English;
//   - E, V, Q, X, H, L, M, B, N, O, Z, I0..I10, Sn?, Sn=v, &C, &D, &F, &K, &S, &V, &W, \N, %C, A, D;
//     \N0 or \N1 connect without error correction (no PROTOCOL line, and then no compression either),
//     %C0 without compression (no COMPRESSION line);
//   - dialling (ATD, ATDT, ATDP, ATDL) with dial tone, digit and ring-back timing; the outcome is chosen
//     by the dialled number (NumberTable below); any byte from the terminal while dialling aborts the
//     call with NO CARRIER; no answer within S7 seconds after dialling gives NO CARRIER;
//   - on a connection: DCD on (with &C1), the error-correction and compression lines, then
//     "CONNECT <speed>"; data mode passes bytes both ways to the far end (sim/SimPeer.h) made for the call;
//   - escape "+++" (S2) with S12 guard time before and after, ATO back online, ATH hangs up;
//   - an incoming call rings (RING, RI, S1) until ATA or S0 rings answer it;
//   - DTR drop with &D2 hangs up with NO CARRIER (&D0 ignores it, &D1 goes to command state, &D3 also
//     resets); a far end that wants the call dropped loses the carrier, S10 tenths later NO CARRIER.
//   - a break from the terminal goes to the far end in data mode, in order with the data (as with the
//     usual break setting \K5); in command state, while dialling and escaped from a call it is ignored.

#include "sim/SimPeer.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The modem's output lines in the serial layer's status-byte form.
constexpr uint8_t mlCTS = 0x10;
constexpr uint8_t mlDSR = 0x20;
constexpr uint8_t mlRI = 0x40;
constexpr uint8_t mlDCD = 0x80;

// What a dialled number leads to.
struct TDialOutcome {
    enum TKind { Connect, Busy, NoCarrier, NoDialtone, Voice, NoAnswer };
    TKind Kind = Connect;
    int32_t Speed = 0;                 // line speed of a connection
    const char* Protocol = nullptr;    // error-correction line ("PROTOCOL: LAP-M") or none
    const char* Compression = nullptr; // data-compression line ("COMPRESSION: V.42BIS") or none
    TFault Fault = TFault::None;       // what the far end of the connection shows
};

// One row of the number table: numbers whose digits end in Ending lead to Outcome.
struct TNumberEntry {
    const char* Ending;
    TDialOutcome Outcome;
    const char* Text; // German description for help texts
};

// The number table, in the order it is documented. The last row has an empty ending and is the rule
// for every other number.
const std::vector<TNumberEntry>& NumberTable();
// The outcome for a dial string: only its digits count, the last two of them choose the row; a dial
// string without digits is not answered.
TDialOutcome DialOutcomeFor(const std::string& dialString);
// The table as German text lines (help text, ATI7).
std::vector<std::string> NumberTableText();
// Name of a fault as the program's options spell it, and back.
const char* FaultName(TFault fault);
std::optional<TFault> FaultFromName(const std::string& name);

struct TModemOptions {
    // Scales the call-progress delays (dial tone, digits, ring-back, training) in percent; the
    // time-outs the terminal sets (S7, S10, S12) are kept as set. 100 is the realistic pace.
    int TimeScalePercent = 100;
    // When set, every connection's far end shows this fault instead of the number's.
    std::optional<TFault> Fault;
};

class THayesModem {
public:
    using TOutput = std::function<void(const std::string& bytes)>;
    using TLinesChanged = std::function<void(uint8_t lines)>;

    enum class TMode {
        Command,       // waiting for AT commands, no call
        Dialing,       // dialling, ringing, training, or answering: a byte from the terminal aborts
        Online,        // data mode: bytes pass to and from the far end
        OnlineCommand, // escaped from a call with +++: commands; ATO returns, ATH hangs up
    };

    using TOptions = TModemOptions;

    static constexpr size_t MaxCommandLine = 80; // characters after "AT"
    static constexpr int RegisterCount = 38;     // S0..S37
    static constexpr int FarEndStepMs = 10;      // how often a connected far end is given time

    // farEnds makes the far end of each connection. The modem starts powered, in command state with
    // the factory settings, at time nowMs.
    explicit THayesModem(TFarEndFactory farEnds, TOptions options = {}, int64_t nowMs = 0);
    ~THayesModem();
    THayesModem(const THayesModem&) = delete;
    THayesModem& operator=(const THayesModem&) = delete;

    // Where bytes for the terminal go, and who hears of line changes (called only on a change).
    void SetOutput(TOutput output) { output_ = std::move(output); }
    void SetOnLines(TLinesChanged onLines) { onLines_ = std::move(onLines); }

    // Bytes from the terminal at time nowMs (earlier timed steps run first).
    void Receive(const std::string& bytes, int64_t nowMs);
    // The terminal's DTR line at time nowMs. The modem starts with DTR on.
    void SetDTR(bool on, int64_t nowMs);
    // A break of lengthMs from the terminal, ended at time nowMs.
    void ReceiveBreak(int lengthMs, int64_t nowMs);
    // Runs every timed step due up to nowMs, in time order.
    void Advance(int64_t nowMs);
    // Somebody calls the modem: it rings (RING, RI on for two seconds of every six, S1 counting) until
    // ATA answers, S0 rings answer by themselves, or the caller gives up after MaxRings rings. The call
    // runs at speed and its far end shows fault. False (the caller hears busy) while the modem is in a
    // call, dials or already rings.
    bool IncomingCall(int64_t nowMs, TFault fault = TFault::None, int32_t speed = 19200);
    bool Ringing() const { return ringing_; }
    static constexpr int MaxRings = 10;
    static constexpr int64_t RingCycleMs = 6000;
    static constexpr int64_t RingOnMs = 2000;

    // When the next timed step is due (absolute, on the caller's clock), or -1 when nothing is timed.
    int64_t NextDueMs() const;

    uint8_t Lines() const;
    TMode Mode() const { return mode_; }
    bool CarrierOn() const { return farEnd_ != nullptr; }
    int32_t ConnectSpeed() const { return speed_; }
    int Register(int n) const { return n >= 0 && n < RegisterCount ? regs_[static_cast<size_t>(n)] : -1; }
    const std::string& LastNumber() const { return lastNumber_; }
    bool DTR() const { return dtr_; }

private:
    struct TProfile {
        std::array<uint8_t, RegisterCount> Regs{};
        bool Echo = true;
        bool Verbose = true;
        bool Quiet = false;
        int XLevel = 4;
        int DcdMode = 1;      // &C
        int DtrMode = 2;      // &D
        int ErrorControl = 3; // \N: 0 and 1 without, 2 to 7 with error correction
        int Compression = 1;  // %C: 0 without, 1 to 3 with data compression
    };
    enum class TPhase { None, DialTone, Digits, Ringback, Answering, CarrierLoss };
    enum class TParse { WaitA, WaitT, Line };

    static TProfile Factory();
    void Apply(const TProfile& p);
    TProfile Current() const;

    void Emit(const std::string& bytes);
    void Result(int code, const std::string& text);
    void ResultOk() { Result(0, "OK"); }
    void ResultError() { Result(4, "ERROR"); }
    void ResultNoCarrier() { Result(3, "NO CARRIER"); }
    void ConnectResult();
    void Info(const std::vector<std::vector<std::string>>& responses);
    void UpdateLines();

    void CommandByte(uint8_t c, int64_t nowMs);
    void OnlineBytes(const std::string& bytes, int64_t nowMs);
    void Execute(const std::string& line, int64_t nowMs);
    bool StartDial(const std::string& dialString, int64_t nowMs);
    void StartAnswer(int64_t nowMs);
    void AnswerIncoming(int64_t atMs);
    void RingStep(int64_t atMs);
    void StopRinging();
    void StepCall(int64_t atMs);
    void Connect(int64_t atMs);
    void EndCall(bool noCarrier);
    void DropFarEnd();
    void CheckFarEnd(int64_t nowMs);
    void Reset();
    int64_t Scaled(int64_t ms) const;
    std::vector<std::string> IdentLines(int n) const;

    TFarEndFactory farEnds_;
    TOptions options_;
    TOutput output_;
    TLinesChanged onLines_;

    TProfile stored_;
    std::array<uint8_t, RegisterCount> regs_{};
    bool echo_ = true, verbose_ = true, quiet_ = false;
    int xLevel_ = 4, dcdMode_ = 1, dtrMode_ = 2, errorControl_ = 3, compression_ = 1;
    bool dtr_ = true;
    uint8_t lines_ = 0;
    int64_t nowMs_ = 0;

    // Command line being typed.
    TParse parse_ = TParse::WaitA;
    std::string line_;
    bool overflow_ = false;
    std::string lastLine_; // for A/

    // The call.
    TMode mode_ = TMode::Command;
    TPhase phase_ = TPhase::None;
    int64_t dueMs_ = -1;      // next step of the phase
    int64_t deadlineMs_ = -1; // S7 wait for carrier, counted from the end of dialling
    std::string dialDigits_;  // what remains to dial (digits and modifiers)
    bool pulse_ = false;
    bool returnAfterDial_ = false; // ';' at the end of the dial string
    TDialOutcome outcome_;
    std::string lastNumber_;
    std::unique_ptr<IFarEnd> farEnd_;
    uint64_t callId_ = 0; // a far end's send function is bound to its call
    int32_t speed_ = 0;
    std::string lastCall_; // speed, protocol and compression of the last connection (ATI10)
    int64_t farEndStepMs_ = -1;

    // An incoming call.
    bool ringing_ = false;
    bool riOn_ = false;
    int ringsSent_ = 0;
    int64_t ringDueMs_ = -1;
    TDialOutcome incoming_;

    // Escape detection in data mode.
    int64_t lastDataMs_ = 0; // last byte from the terminal (or the start of data mode)
    int64_t lastPlusMs_ = 0;
    int plusCount_ = 0;
};

} // namespace sim
