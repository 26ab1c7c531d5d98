#include "sim/HayesModem.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sim {

namespace {

constexpr const char* LapM = "PROTOCOL: LAP-M";
constexpr const char* Mnp = "PROTOCOL: ALT";
constexpr const char* V42bis = "COMPRESSION: V.42BIS";
constexpr const char* Class5 = "COMPRESSION: CLASS 5";

TDialOutcome Con(int32_t speed, const char* protocol, const char* compression, TFault fault = TFault::None) {
    return TDialOutcome{TDialOutcome::Connect, speed, protocol, compression, fault};
}
TDialOutcome Fail(TDialOutcome::TKind kind) {
    return TDialOutcome{kind, 0, nullptr, nullptr, TFault::None};
}

// Call-progress timing at the realistic pace (scaled by TOptions::TimeScalePercent).
constexpr int64_t DialToneMs = 700;     // off hook until the dial tone is heard
constexpr int64_t WaitToneMs = 1000;    // 'W' in a dial string: the second dial tone
constexpr int64_t FlashMs = 500;        // '!' hook flash
constexpr int64_t PulseMs = 100;        // one pulse of pulse dialling
constexpr int64_t PulsePauseMs = 700;   // between pulse digits
constexpr int64_t BusyMs = 2500;        // busy tone recognised after dialling
constexpr int64_t RingMs = 2000;        // ring-back until the far end answers
constexpr int64_t VoiceMs = 1500;       // answered by a voice, recognised
constexpr int64_t FailedTrainMs = 3000; // answered by a modem whose handshake fails

int64_t TrainingMs(int32_t speed) {
    if (speed <= 2400) return 1500;
    if (speed <= 14400) return 2500;
    return 3500;
}

// Numeric result codes of the connection speeds.
int ConnectCode(int32_t speed) {
    switch (speed) {
    case 1200:
        return 5;
    case 2400:
        return 10;
    case 4800:
        return 11;
    case 9600:
        return 12;
    case 14400:
        return 13;
    case 19200:
        return 14;
    case 28800:
        return 15;
    case 33600:
        return 16;
    default:
        return 1;
    }
}

std::string Digits(const std::string& s) {
    std::string d;
    for (char c : s)
        if (c >= '0' && c <= '9') d += c;
    return d;
}

bool IsDialDigit(char c) {
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D');
}

// Reads a decimal number of at most three digits at s[i] (after blanks); def when there is none. False
// when it is longer.
bool ReadNumber(const std::string& s, size_t& i, int def, int& value) {
    value = def;
    // Blanks are ignored: "S7= 30" is "S7=30".
    while (i < s.size() && s[i] == ' ')
        ++i;
    size_t n = 0;
    int v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        if (++n > 3) return false;
        v = v * 10 + (s[i] - '0');
        ++i;
    }
    if (n > 0) value = v;
    return true;
}

std::string Three(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03d", v & 0xFF);
    return buf;
}

} // namespace

const std::vector<TNumberEntry>& NumberTable() {
    static const std::vector<TNumberEntry> table = {
        {"10", Fail(TDialOutcome::Busy), "BUSY (line busy)"},
        {"11", Fail(TDialOutcome::NoCarrier), "NO CARRIER (answered, the handshake fails)"},
        {"12", Fail(TDialOutcome::NoDialtone), "NO DIALTONE (no dial tone)"},
        {"13", Fail(TDialOutcome::Voice), "VOICE (a person answers)"},
        {"14", Fail(TDialOutcome::NoAnswer), "no answer: NO CARRIER once S7 has run out"},
        {"20", Con(1200, nullptr, nullptr), "CONNECT 1200"},
        {"21", Con(2400, nullptr, nullptr), "CONNECT 2400"},
        {"22", Con(9600, LapM, nullptr), "PROTOCOL: LAP-M, CONNECT 9600"},
        {"23", Con(14400, LapM, V42bis), "PROTOCOL: LAP-M, COMPRESSION: V.42BIS, CONNECT 14400"},
        {"24", Con(19200, nullptr, nullptr), "CONNECT 19200 (no error correction)"},
        {"25", Con(28800, Mnp, Class5), "PROTOCOL: ALT, COMPRESSION: CLASS 5, CONNECT 28800"},
        {"26", Con(33600, LapM, V42bis), "PROTOCOL: LAP-M, COMPRESSION: V.42BIS, CONNECT 33600"},
        {"30", Con(19200, LapM, V42bis, TFault::NoAnswer), "CONNECT 19200, the far end never answers"},
        {"31", Con(19200, LapM, V42bis, TFault::Nak), "CONNECT 19200, the far end answers NAK"},
        {"32", Con(19200, LapM, V42bis, TFault::BadChecksum),
         "CONNECT 19200, the far end sends bad checksums"},
        {"33", Con(19200, LapM, V42bis, TFault::LateAnswer), "CONNECT 19200, the far end answers too late"},
        {"34", Con(19200, LapM, V42bis, TFault::CarrierDrop),
         "CONNECT 19200, the far end hangs up mid-session"},
        {"", Con(19200, LapM, V42bis),
         "any other number: PROTOCOL: LAP-M, COMPRESSION: V.42BIS, CONNECT 19200"},
    };
    return table;
}

TDialOutcome DialOutcomeFor(const std::string& dialString) {
    const std::string d = Digits(dialString);
    if (d.empty()) return Fail(TDialOutcome::NoAnswer);
    for (const auto& e : NumberTable()) {
        const std::string ending = e.Ending;
        if (ending.empty()) return e.Outcome;
        if (d.size() >= ending.size() && d.compare(d.size() - ending.size(), ending.size(), ending) == 0)
            return e.Outcome;
    }
    return Con(19200, LapM, V42bis);
}

std::vector<std::string> NumberTableText() {
    std::vector<std::string> lines;
    for (const auto& e : NumberTable()) {
        const std::string ending = e.Ending;
        lines.push_back(ending.empty() ? std::string("  else    ") + e.Text
                                       : "  ..." + ending + "   " + e.Text);
    }
    return lines;
}

const char* FaultName(TFault fault) {
    switch (fault) {
    case TFault::None:
        return "keiner";
    case TFault::NoAnswer:
        return "stumm";
    case TFault::Nak:
        return "nak";
    case TFault::BadChecksum:
        return "pruefsumme";
    case TFault::LateAnswer:
        return "spaet";
    case TFault::CarrierDrop:
        return "auflegen";
    }
    return "keiner";
}

std::optional<TFault> FaultFromName(const std::string& name) {
    for (TFault f : {TFault::None, TFault::NoAnswer, TFault::Nak, TFault::BadChecksum, TFault::LateAnswer,
                     TFault::CarrierDrop})
        if (name == FaultName(f)) return f;
    // The names with their umlauts, as a German user types them (UTF-8 on the command line).
    if (name == "pr\u00fcfsumme") return TFault::BadChecksum;
    if (name == "sp\u00e4t") return TFault::LateAnswer;
    return std::nullopt;
}

// ---- THayesModem ---------------------------------------------------------------------------------

THayesModem::TProfile THayesModem::Factory() {
    TProfile p;
    p.Regs.fill(0);
    p.Regs[2] = 43;  // escape character '+'
    p.Regs[3] = 13;  // line end CR
    p.Regs[4] = 10;  // line feed LF
    p.Regs[5] = 8;   // backspace
    p.Regs[6] = 2;   // seconds to wait for the dial tone
    p.Regs[7] = 50;  // seconds to wait for the carrier after dialling
    p.Regs[8] = 2;   // seconds of a ',' pause
    p.Regs[9] = 6;   // tenths: carrier detect response time
    p.Regs[10] = 14; // tenths: carrier loss until hang-up
    p.Regs[11] = 95; // ms: tone dialling digit length and gap
    p.Regs[12] = 50; // fiftieths: escape guard time
    return p;
}

THayesModem::THayesModem(TFarEndFactory farEnds, TOptions options, int64_t nowMs)
    : farEnds_(std::move(farEnds)), options_(options), stored_(Factory()), nowMs_(nowMs) {
    options_.TimeScalePercent = std::clamp(options_.TimeScalePercent, 1, 1000);
    Apply(stored_);
    lines_ = Lines();
}

THayesModem::~THayesModem() {
    if (farEnd_) farEnd_->Disconnected();
}

void THayesModem::Apply(const TProfile& p) {
    regs_ = p.Regs;
    echo_ = p.Echo;
    verbose_ = p.Verbose;
    quiet_ = p.Quiet;
    xLevel_ = p.XLevel;
    dcdMode_ = p.DcdMode;
    dtrMode_ = p.DtrMode;
    errorControl_ = p.ErrorControl;
    compression_ = p.Compression;
}

THayesModem::TProfile THayesModem::Current() const {
    TProfile p;
    p.Regs = regs_;
    p.Echo = echo_;
    p.Verbose = verbose_;
    p.Quiet = quiet_;
    p.XLevel = xLevel_;
    p.DcdMode = dcdMode_;
    p.DtrMode = dtrMode_;
    p.ErrorControl = errorControl_;
    p.Compression = compression_;
    return p;
}

int64_t THayesModem::Scaled(int64_t ms) const {
    return ms * options_.TimeScalePercent / 100;
}

uint8_t THayesModem::Lines() const {
    uint8_t l = mlCTS | mlDSR; // powered; flow control is not simulated
    if (dcdMode_ == 0 || farEnd_) l |= mlDCD;
    if (riOn_) l |= mlRI;
    return l;
}

void THayesModem::UpdateLines() {
    const uint8_t l = Lines();
    if (l == lines_) return;
    lines_ = l;
    if (onLines_) onLines_(l);
}

void THayesModem::Emit(const std::string& bytes) {
    if (output_ && !bytes.empty()) output_(bytes);
}

void THayesModem::Result(int code, const std::string& text) {
    if (quiet_) return;
    const char cr = static_cast<char>(regs_[3]), lf = static_cast<char>(regs_[4]);
    if (verbose_)
        Emit(std::string{cr, lf} + text + std::string{cr, lf});
    else
        Emit(std::to_string(code) + cr);
}

void THayesModem::Info(const std::vector<std::vector<std::string>>& responses) {
    const std::string crlf{static_cast<char>(regs_[3]), static_cast<char>(regs_[4])};
    std::string out;
    for (const auto& lines : responses) {
        // Verbose: each response framed by CR LF before and after, so a blank line parts it from OK.
        if (verbose_) out += crlf;
        for (size_t k = 0; k < lines.size(); ++k) {
            out += lines[k];
            if (!verbose_ || k + 1 < lines.size()) out += crlf;
        }
        if (verbose_) out += crlf;
    }
    Emit(out);
}

void THayesModem::ConnectResult() {
    // X0 reports a bare CONNECT; from X1 on the line speed follows.
    if (xLevel_ == 0)
        Result(1, "CONNECT");
    else
        Result(ConnectCode(speed_), "CONNECT " + std::to_string(speed_));
}

// ---- Input ---------------------------------------------------------------------------------------

void THayesModem::Receive(const std::string& bytes, int64_t nowMs) {
    Advance(nowMs);
    size_t i = 0;
    while (i < bytes.size()) {
        if (mode_ == TMode::Online) {
            OnlineBytes(bytes.substr(i), nowMs);
            return;
        }
        if (mode_ == TMode::Dialing) {
            // Any keystroke ends the call attempt; the byte itself is taken by the abort.
            EndCall(true);
            ++i;
            continue;
        }
        CommandByte(static_cast<uint8_t>(bytes[i]), nowMs);
        ++i;
    }
}

void THayesModem::OnlineBytes(const std::string& bytes, int64_t nowMs) {
    const int64_t guard = int64_t(regs_[12]) * 20;
    const bool escapeOn = regs_[2] <= 127;
    for (char ch : bytes) {
        if (escapeOn && static_cast<uint8_t>(ch) == regs_[2]) {
            if (plusCount_ == 0 ? nowMs - lastDataMs_ >= guard
                                : (plusCount_ < 3 && nowMs - lastPlusMs_ <= guard)) {
                ++plusCount_;
                lastPlusMs_ = nowMs;
            } else {
                plusCount_ = 0;
            }
        } else {
            plusCount_ = 0;
        }
        lastDataMs_ = nowMs;
    }
    // The escape characters are data like any other: the far end sees them too.
    if (farEnd_) {
        farEnd_->Receive(bytes, nowMs);
        CheckFarEnd(nowMs);
    }
}

void THayesModem::CommandByte(uint8_t c, int64_t nowMs) {
    const uint8_t cr = regs_[3], bs = regs_[5];
    if (echo_) Emit(std::string(1, static_cast<char>(c)));
    switch (parse_) {
    case TParse::WaitA:
        if (c == 'A' || c == 'a') parse_ = TParse::WaitT;
        return;
    case TParse::WaitT:
        if (c == 'T' || c == 't') {
            parse_ = TParse::Line;
            line_.clear();
            overflow_ = false;
        } else if (c == '/') {
            parse_ = TParse::WaitA;
            Execute(lastLine_, nowMs);
        } else if (c != 'A' && c != 'a') {
            parse_ = TParse::WaitA;
        }
        return;
    case TParse::Line:
        if (c == cr) {
            parse_ = TParse::WaitA;
            if (overflow_) {
                ResultError();
                return;
            }
            lastLine_ = line_;
            Execute(line_, nowMs);
        } else if (c == bs || c == 0x7F) { // DEL is the backspace key of most terminal programs
            if (!line_.empty()) line_.pop_back();
        } else if (c >= 0x20 && c < 0x7F) {
            if (line_.size() < MaxCommandLine)
                line_ += static_cast<char>(c);
            else
                overflow_ = true;
        }
        return;
    }
}

// ---- Commands ------------------------------------------------------------------------------------

void THayesModem::Execute(const std::string& raw, int64_t nowMs) {
    std::string s;
    s.reserve(raw.size());
    for (char c : raw)
        s += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    std::vector<std::vector<std::string>> info; // one entry per command that answers with text
    int selected = 0;
    auto flushInfo = [&] {
        if (!info.empty()) Info(info);
        info.clear();
    };
    auto error = [&] {
        flushInfo();
        ResultError();
    };

    size_t i = 0;
    while (i < s.size()) {
        const char c = s[i++];
        int v = 0;
        switch (c) {
        case ' ':
            continue;
        case 'D': {
            flushInfo();
            if (mode_ == TMode::OnlineCommand) return ResultError();
            std::string rest = s.substr(i);
            if (!rest.empty() && rest[0] == 'L') { // redial the last number
                if (lastNumber_.empty()) return ResultError();
                rest = lastNumber_;
            }
            if (!StartDial(rest, nowMs)) return ResultError();
            return;
        }
        case 'A':
            flushInfo();
            if (mode_ == TMode::OnlineCommand) return ResultError();
            if (ringing_)
                AnswerIncoming(nowMs);
            else
                StartAnswer(nowMs);
            return;
        case 'E':
        case 'V':
        case 'Q':
        case 'H':
        case 'L':
        case 'M':
        case 'X':
        case 'B':
        case 'N':
        case 'O':
        case 'Z':
        case 'I': {
            if (!ReadNumber(s, i, 0, v)) return error();
            switch (c) {
            case 'E':
                if (v > 1) return error();
                echo_ = v == 1;
                break;
            case 'V':
                if (v > 1) return error();
                verbose_ = v == 1;
                break;
            case 'Q':
                if (v > 1) return error();
                quiet_ = v == 1;
                break;
            case 'L':
            case 'M':
                if (v > 3) return error();
                break; // speaker: nothing to hear
            case 'B':
            case 'N':
                if (v > 1) return error();
                break; // modulation choices
            case 'X':
                if (v > 4) return error();
                xLevel_ = v;
                break;
            case 'H':
                if (v > 1) return error();
                if (v == 0 && (farEnd_ || phase_ == TPhase::CarrierLoss)) {
                    DropFarEnd();
                    phase_ = TPhase::None;
                    dueMs_ = -1;
                    mode_ = TMode::Command;
                    UpdateLines();
                }
                break;
            case 'O':
                if (v > 1) return error();
                flushInfo();
                if (phase_ == TPhase::CarrierLoss) return EndCall(true); // the carrier is already gone
                if (!farEnd_ || mode_ != TMode::OnlineCommand) return ResultNoCarrier();
                mode_ = TMode::Online;
                plusCount_ = 0;
                lastDataMs_ = nowMs;
                ConnectResult();
                return;
            case 'Z':
                if (v > 0) return error();
                flushInfo();
                Reset();
                return ResultOk(); // the rest of the line is not read after a reset
            case 'I': {
                auto lines = IdentLines(v);
                if (lines.empty()) return error();
                info.push_back(std::move(lines));
                break;
            }
            }
            break;
        }
        case 'S': {
            if (!ReadNumber(s, i, 0, selected) || selected >= RegisterCount) return error();
            if (i < s.size() && s[i] == '?') {
                ++i;
                info.push_back({Three(regs_[static_cast<size_t>(selected)])});
            } else if (i < s.size() && s[i] == '=') {
                ++i;
                if (!ReadNumber(s, i, 0, v) || v > 255) return error();
                regs_[static_cast<size_t>(selected)] = static_cast<uint8_t>(v);
            }
            break;
        }
        case '?': // the register last selected with Sn
            info.push_back({Three(regs_[static_cast<size_t>(selected)])});
            break;
        case '=':
            if (!ReadNumber(s, i, 0, v) || v > 255) return error();
            regs_[static_cast<size_t>(selected)] = static_cast<uint8_t>(v);
            break;
        case '\\':
        case '%': {
            if (i >= s.size()) return error();
            const char k = s[i++];
            if (!ReadNumber(s, i, 0, v)) return error();
            if (c == '\\' && k == 'N' && v <= 7)
                errorControl_ = v;
            else if (c == '%' && k == 'C' && v <= 3)
                compression_ = v;
            else
                return error();
            break;
        }
        case '&': {
            if (i >= s.size()) return error();
            const char k = s[i++];
            if (!ReadNumber(s, i, 0, v)) return error();
            switch (k) {
            case 'C':
                if (v > 1) return error();
                dcdMode_ = v;
                UpdateLines();
                break;
            case 'D':
                if (v > 3) return error();
                dtrMode_ = v;
                break;
            case 'F':
                if (v > 0) return error();
                Apply(Factory());
                UpdateLines();
                break;
            case 'W':
                if (v > 0) return error();
                stored_ = Current();
                break;
            case 'K':
                if (v > 6) return error();
                break; // flow control: not simulated
            case 'S':
                if (v > 1) return error();
                break; // DSR stays on while powered
            case 'V': {
                char buf[96];
                std::snprintf(buf, sizeof buf, "E%d Q%d V%d X%d &C%d &D%d \\N%d %%C%d", echo_ ? 1 : 0,
                              quiet_ ? 1 : 0, verbose_ ? 1 : 0, xLevel_, dcdMode_, dtrMode_, errorControl_,
                              compression_);
                std::vector<std::string> settings{buf};
                for (int r = 0; r < RegisterCount; r += 8) {
                    std::string l;
                    for (int k2 = r; k2 < std::min(r + 8, RegisterCount); ++k2) {
                        std::snprintf(buf, sizeof buf, "S%02d:%03d ", k2, regs_[static_cast<size_t>(k2)]);
                        l += buf;
                    }
                    l.pop_back();
                    settings.push_back(l);
                }
                info.push_back(std::move(settings));
                break;
            }
            default:
                return error();
            }
            break;
        }
        default:
            return error();
        }
    }
    flushInfo();
    ResultOk();
}

std::vector<std::string> THayesModem::IdentLines(int n) const {
    switch (n) {
    case 0:
        return {"ini4zav SimModem V.34 33600"};
    case 1:
        return {"255"};
    case 2:
        return {"OK"};
    case 3:
        return {"ini4zav SimModem Rev. 1.0"};
    case 4:
        return {"V.34 V.32bis V.22bis V.22 V.21 V.42 V.42bis MNP5"};
    case 5:
        return {"Country: 49 Germany"};
    case 6:
        return {"Data pump: simulation, no telephone line"};
    case 7: {
        std::vector<std::string> l{"Dial numbers (the last two digits choose):"};
        auto t = NumberTableText();
        l.insert(l.end(), t.begin(), t.end());
        return l;
    }
    case 8:
        return {"Last number: " + (lastNumber_.empty() ? std::string("-") : lastNumber_)};
    case 9:
        return {"SIM0336 ini4zav SimModem"};
    case 10:
        return {"Last call: " + (lastCall_.empty() ? std::string("-") : lastCall_)};
    default:
        return {};
    }
}

void THayesModem::Reset() {
    StopRinging();
    if (farEnd_) DropFarEnd();
    phase_ = TPhase::None;
    dueMs_ = deadlineMs_ = -1;
    mode_ = TMode::Command;
    Apply(stored_);
    UpdateLines();
}

// ---- Calls ---------------------------------------------------------------------------------------

bool THayesModem::StartDial(const std::string& dialString, int64_t nowMs) {
    std::string plan;
    bool pulse = false, back = false;
    for (size_t i = 0; i < dialString.size(); ++i) {
        const char c = dialString[i];
        if (IsDialDigit(c) || c == ',' || c == 'W' || c == '!') {
            plan += c;
        } else if (c == 'T') {
            pulse = false;
        } else if (c == 'P') {
            pulse = true;
        } else if (c == ';') {
            back = true;
            break;
        } else if (c == ' ' || c == '-' || c == '(' || c == ')' || c == '/' || c == '@' || c == 'R') {
            continue;
        } else {
            return false;
        }
    }
    StopRinging(); // dialling out takes the line from a caller
    lastNumber_ = dialString.substr(0, dialString.find(';'));
    // Leading blanks and dial-mode letters are not part of the number shown by ATI8.
    while (!lastNumber_.empty() && (lastNumber_[0] == ' ' || lastNumber_[0] == 'T' || lastNumber_[0] == 'P'))
        lastNumber_.erase(0, 1);
    outcome_ = DialOutcomeFor(plan);
    if (outcome_.Kind == TDialOutcome::Connect && options_.Fault) outcome_.Fault = *options_.Fault;
    dialDigits_ = plan;
    pulse_ = pulse;
    returnAfterDial_ = back;
    mode_ = TMode::Dialing;
    deadlineMs_ = -1;
    // Without dial-tone detection (X0, X1) the modem waits S6 seconds and dials blind.
    phase_ = TPhase::DialTone;
    const int64_t wait =
        (outcome_.Kind == TDialOutcome::NoDialtone || xLevel_ < 2) ? int64_t(regs_[6]) * 1000 : DialToneMs;
    dueMs_ = nowMs + Scaled(std::max<int64_t>(wait, 1));
    return true;
}

bool THayesModem::IncomingCall(int64_t nowMs, TFault fault, int32_t speed) {
    Advance(nowMs);
    if (ringing_ || mode_ != TMode::Command || farEnd_ || phase_ != TPhase::None) return false;
    ringing_ = true;
    riOn_ = false;
    ringsSent_ = 0;
    ringDueMs_ = nowMs;
    incoming_ = TDialOutcome{TDialOutcome::Connect, speed, nullptr, nullptr, options_.Fault.value_or(fault)};
    Advance(nowMs); // the first ring starts at once
    return true;
}

void THayesModem::RingStep(int64_t at) {
    if (riOn_) {
        riOn_ = false;
        ringDueMs_ = at + Scaled(RingCycleMs - RingOnMs);
        UpdateLines();
        return;
    }
    if (ringsSent_ >= MaxRings) { // the caller gives up
        StopRinging();
        return;
    }
    ++ringsSent_;
    riOn_ = true;
    regs_[1] = static_cast<uint8_t>(std::min(255, regs_[1] + 1));
    ringDueMs_ = at + Scaled(RingOnMs);
    UpdateLines();
    Result(2, "RING");
    if (regs_[0] > 0 && regs_[1] >= regs_[0] && mode_ == TMode::Command) AnswerIncoming(at);
}

void THayesModem::StopRinging() {
    if (!ringing_) return;
    ringing_ = riOn_ = false;
    ringDueMs_ = -1;
    regs_[1] = 0;
    UpdateLines();
}

void THayesModem::AnswerIncoming(int64_t at) {
    StopRinging();
    outcome_ = incoming_;
    mode_ = TMode::Dialing;
    phase_ = TPhase::Ringback; // the handshake with the caller's modem
    dueMs_ = at + Scaled(TrainingMs(outcome_.Speed));
    deadlineMs_ = at + std::max<int64_t>(regs_[7], 1) * 1000;
}

void THayesModem::StartAnswer(int64_t nowMs) {
    // Nobody is calling: the modem sends its answer tone until S7 runs out.
    mode_ = TMode::Dialing;
    phase_ = TPhase::Answering;
    deadlineMs_ = nowMs + std::max<int64_t>(regs_[7], 1) * 1000;
    dueMs_ = deadlineMs_;
}

int64_t THayesModem::NextDueMs() const {
    int64_t due = -1;
    auto take = [&](int64_t t) {
        if (t >= 0 && (due < 0 || t < due)) due = t;
    };
    take(dueMs_);
    if (mode_ == TMode::Dialing) take(deadlineMs_);
    if (mode_ == TMode::Online && plusCount_ == 3) take(lastPlusMs_ + int64_t(regs_[12]) * 20);
    if (farEnd_) take(farEndStepMs_);
    if (ringing_) take(ringDueMs_);
    return due;
}

void THayesModem::Advance(int64_t nowMs) {
    for (;;) {
        // The earliest step due by nowMs runs at its own time, so that what it schedules is exact.
        int64_t at = -1;
        int which = 0;
        auto take = [&](int64_t t, int w) {
            if (t >= 0 && t <= nowMs && (at < 0 || t < at)) {
                at = t;
                which = w;
            }
        };
        take(dueMs_, 1);
        if (mode_ == TMode::Dialing) take(deadlineMs_, 2);
        if (mode_ == TMode::Online && plusCount_ == 3) take(lastPlusMs_ + int64_t(regs_[12]) * 20, 3);
        if (farEnd_) take(farEndStepMs_, 4);
        if (ringing_) take(ringDueMs_, 5);
        if (at < 0) break;
        nowMs_ = std::max(nowMs_, at);
        switch (which) {
        case 1:
            StepCall(at);
            break;
        case 2: // S7 ran out before a carrier came
            EndCall(true);
            break;
        case 3: // guard time after +++ passed quietly
            plusCount_ = 0;
            mode_ = TMode::OnlineCommand;
            parse_ = TParse::WaitA;
            ResultOk();
            break;
        case 4:
            // After a long gap (the host was not running) the far end is not walked through every
            // step it missed: at most the last hundred.
            farEndStepMs_ = std::max(at + FarEndStepMs, nowMs - 100 * FarEndStepMs);
            farEnd_->Advance(at);
            CheckFarEnd(at);
            break;
        case 5:
            RingStep(at);
            break;
        }
    }
    nowMs_ = std::max(nowMs_, nowMs);
}

void THayesModem::StepCall(int64_t at) {
    dueMs_ = -1;
    switch (phase_) {
    case TPhase::None:
        return;
    case TPhase::DialTone:
        if (outcome_.Kind == TDialOutcome::NoDialtone) {
            phase_ = TPhase::None;
            mode_ = TMode::Command;
            if (xLevel_ == 2 || xLevel_ == 4)
                Result(6, "NO DIALTONE");
            else
                ResultNoCarrier();
            return;
        }
        phase_ = TPhase::Digits;
        dueMs_ = at;
        return;
    case TPhase::Digits: {
        if (dialDigits_.empty()) {
            if (returnAfterDial_) { // "ATD...;": back to commands once dialled
                phase_ = TPhase::None;
                mode_ = TMode::Command;
                ResultOk();
                return;
            }
            deadlineMs_ = at + std::max<int64_t>(regs_[7], 1) * 1000;
            int64_t wait = 0;
            switch (outcome_.Kind) {
            case TDialOutcome::Busy:
                wait = BusyMs;
                break;
            case TDialOutcome::NoCarrier:
                wait = RingMs + FailedTrainMs;
                break;
            case TDialOutcome::Voice:
                wait = RingMs + VoiceMs;
                break;
            case TDialOutcome::NoAnswer:
                wait = -1;
                break; // rings until S7 runs out
            case TDialOutcome::Connect:
                wait = RingMs + TrainingMs(outcome_.Speed);
                break;
            case TDialOutcome::NoDialtone:
                wait = 0;
                break;
            }
            phase_ = TPhase::Ringback;
            dueMs_ = wait < 0 ? -1 : at + Scaled(wait);
            return;
        }
        const char c = dialDigits_[0];
        dialDigits_.erase(0, 1);
        int64_t ms = 0;
        if (c == ',')
            ms = int64_t(regs_[8]) * 1000;
        else if (c == 'W')
            ms = WaitToneMs;
        else if (c == '!')
            ms = FlashMs;
        else if (pulse_ && c >= '0' && c <= '9')
            ms = (c == '0' ? 10 : c - '0') * PulseMs + PulsePauseMs;
        else
            ms = int64_t(regs_[11]) * 2;
        dueMs_ = at + Scaled(std::max<int64_t>(ms, 1));
        return;
    }
    case TPhase::Ringback:
        phase_ = TPhase::None;
        switch (outcome_.Kind) {
        case TDialOutcome::Connect:
            Connect(at);
            return;
        case TDialOutcome::Busy:
            mode_ = TMode::Command;
            if (xLevel_ >= 3)
                Result(7, "BUSY");
            else
                ResultNoCarrier();
            return;
        case TDialOutcome::Voice:
            mode_ = TMode::Command;
            if (xLevel_ >= 1)
                Result(9, "VOICE");
            else
                ResultNoCarrier();
            return;
        default:
            EndCall(true);
            return;
        }
    case TPhase::Answering:
        EndCall(true);
        return;
    case TPhase::CarrierLoss:
        phase_ = TPhase::None;
        mode_ = TMode::Command;
        parse_ = TParse::WaitA;
        UpdateLines();
        ResultNoCarrier();
        return;
    }
}

void THayesModem::Connect(int64_t at) {
    phase_ = TPhase::None;
    deadlineMs_ = -1;
    auto farEnd = farEnds_ ? farEnds_(outcome_.Fault) : nullptr;
    if (!farEnd) { // nobody to talk to: the handshake fails
        EndCall(true);
        return;
    }
    farEnd_ = std::move(farEnd);
    speed_ = outcome_.Speed;
    mode_ = TMode::Online;
    plusCount_ = 0;
    lastDataMs_ = at;
    farEndStepMs_ = at + FarEndStepMs;
    UpdateLines();
    // Compression runs only over an error-corrected link.
    const bool corrected = outcome_.Protocol && errorControl_ >= 2;
    const bool compressed = corrected && outcome_.Compression && compression_ > 0;
    // The error-correction and compression lines come before CONNECT, while the terminal still reads
    // modem lines (verbose only); after CONNECT every byte is the far end's.
    if (verbose_ && !quiet_ && xLevel_ > 0) {
        const std::string crlf{static_cast<char>(regs_[3]), static_cast<char>(regs_[4])};
        if (corrected) Emit(crlf + outcome_.Protocol + crlf);
        if (compressed) Emit(crlf + outcome_.Compression + crlf);
    }
    ConnectResult();
    auto afterColon = [](const char* tag) {
        return std::string(tag).substr(std::string(tag).find(": ") + 2);
    };
    lastCall_ = std::to_string(speed_) + " bps";
    if (corrected) lastCall_ += ", " + afterColon(outcome_.Protocol);
    if (compressed) lastCall_ += ", " + afterColon(outcome_.Compression);
    const uint64_t id = ++callId_;
    farEnd_->Connected(
        [this, id](const std::string& bytes) {
            // Bytes of a call that has ended, or sent while the terminal gives commands, are lost.
            if (id == callId_ && farEnd_ && mode_ == TMode::Online) Emit(bytes);
        },
        at);
    CheckFarEnd(at);
}

void THayesModem::DropFarEnd() {
    if (!farEnd_) return;
    ++callId_;
    auto f = std::move(farEnd_);
    farEnd_.reset();
    farEndStepMs_ = -1;
    plusCount_ = 0;
    f->Disconnected();
}

void THayesModem::CheckFarEnd(int64_t nowMs) {
    if (!farEnd_ || !farEnd_->WantsHangup()) return;
    // The far end dropped its carrier: the modem notices after S10 tenths of a second.
    // DCD follows the carrier at once (&C1); the result waits for the loss delay.
    DropFarEnd();
    phase_ = TPhase::CarrierLoss;
    dueMs_ = nowMs + int64_t(regs_[10]) * 100;
    UpdateLines();
}

void THayesModem::EndCall(bool noCarrier) {
    DropFarEnd();
    phase_ = TPhase::None;
    dueMs_ = deadlineMs_ = -1;
    mode_ = TMode::Command;
    parse_ = TParse::WaitA;
    UpdateLines();
    if (noCarrier) ResultNoCarrier();
}

void THayesModem::SetDTR(bool on, int64_t nowMs) {
    Advance(nowMs);
    if (on == dtr_) return;
    dtr_ = on;
    if (on || dtrMode_ == 0) return;
    const bool inCall = farEnd_ || mode_ == TMode::Dialing || phase_ == TPhase::CarrierLoss;
    if (dtrMode_ == 1) {
        if (mode_ == TMode::Online) {
            mode_ = TMode::OnlineCommand;
            plusCount_ = 0;
            parse_ = TParse::WaitA;
            ResultOk();
        }
        return;
    }
    if (inCall) EndCall(true);
    if (dtrMode_ == 3) Reset();
}

void THayesModem::ReceiveBreak(int lengthMs, int64_t nowMs) {
    Advance(nowMs);
    if (mode_ != TMode::Online || !farEnd_) return;
    farEnd_->ReceiveBreak(lengthMs, nowMs);
    CheckFarEnd(nowMs);
}

} // namespace sim
