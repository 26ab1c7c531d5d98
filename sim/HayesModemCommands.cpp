// The modem's command state: the typed line, the AT command parser with its S-registers and profiles,
// the identification texts, and the result codes it answers with. THayesModem::Receive feeds it.

#include "sim/HayesModem.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sim {

namespace {

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

} // namespace sim
