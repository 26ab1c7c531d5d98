// The modem's frame: its profile and output lines, the bytes from the terminal and what the mode makes
// of them (command state, a call being dialled, data mode with the +++ escape guard), the timed steps
// in time order, and the DTR line. Commands, calls and the number table live in HayesModem*.cpp.

#include "sim/HayesModem.h"

#include <algorithm>

namespace sim {

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
