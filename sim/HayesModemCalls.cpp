// The modem's calls: dialling with its call-progress timing, an incoming call ringing and answered, the
// connection to the far end, and the call's end. THayesModem's commands start them, Advance steps them.

#include "sim/HayesModem.h"

#include <algorithm>

namespace sim {

namespace {

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

bool IsDialDigit(char c) {
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D');
}

} // namespace

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

} // namespace sim
