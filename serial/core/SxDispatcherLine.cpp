// Line settings, the modem lines and line errors, the break, and flow control (the DTR handshake is run here).
// The port calls these when its properties change; the round refreshes the modem lines.

#include "serial/core/SxDispatcher.h"

#include "serial/core/SxDispatcherPrivate.h"
#include "serial/errors/SxErrors.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace sx {

// ---- Line ------------------------------------------------------------------------------------

int TSxBaseDispatcher::ApplyLineLocked(const TSxLineSettings& settings) {
    TSxLineSettings s = settings;
    s.DtrControl = dtrAuto_ ? 2 : (dtr_ ? 1 : 0);
    if (rs485_)
        s.RtsControl = 3;
    else
        s.RtsControl = rtsAuto_ ? 2 : (rts_ ? 1 : 0);
    const int r = device_->SetLine(s);
    if (r < 0) return r;
    line_ = s;
    // The device raises DTR under handshake; the handshake may be holding it down just now.
    if (dtrAuto_ && dtrHeld_) device_->SetDTR(false);
    return 0;
}

void TSxBaseDispatcher::DtrFlowCheckSlow() {
    std::lock_guard<std::mutex> g(lock_);
    DtrFlowCheckLocked();
}

// The DTR handshake: DTR drops when the input ring holds the full level or more and rises again once
// it is down to the resume level. Decided on the ring's fill under its lock, so a reader and the
// dispatch thread cannot leave DTR down over an emptied ring.
void TSxBaseDispatcher::DtrFlowCheckLocked() {
    if (!dtrAuto_ || !deviceOpen_ || !device_) return;
    bool drop = false, raise = false;
    {
        std::lock_guard<std::mutex> i(inLock_);
        const uint64_t used = inHead_ - inTail_;
        if (!dtrHeld_ && used >= flowFull_) {
            dtrHeld_ = true;
            drop = true;
        } else if (dtrHeld_ && used <= flowResume_) {
            dtrHeld_ = false;
            raise = true;
        }
    }
    if (drop || raise) device_->SetDTR(raise);
}

int TSxBaseDispatcher::SetLine(int32_t baud, uint8_t parity, uint8_t dataBits, uint8_t stopBits) {
    if (baud < 0) return ecBaudRate;
    if (parity > 5 || stopBits < 1 || stopBits > 3) return ecBadArgument;
    if (dataBits < 5 || dataBits > 9) return ecByteSize;
    TSxLineSettings s;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!open_ || !deviceOpen_) return ecCommNotOpen;
        if (device_->GetLine(s) < 0) s = line_;
        s.DtrControl = line_.DtrControl;
        s.RtsControl = line_.RtsControl;
        if (baud != 0) s.Baud = baud;
        if (parity != 5) s.Parity = parity;
        if (dataBits != 9) s.DataBits = dataBits;
        if (stopBits != 3) s.StopBits = stopBits == 1 ? 0 : 2;
        // Five data bits cannot have two stop bits: the UART sends one and a half.
        if (s.DataBits == 5 && s.StopBits == 2) s.StopBits = 1;
        if (s == line_) return 0;
    }
    DrainOutput();
    std::lock_guard<std::mutex> g(lock_);
    if (!deviceOpen_) return ecCommNotOpen;
    return ApplyLineLocked(s);
}

void TSxBaseDispatcher::DrainOutput() {
    bool wrote;
    {
        std::unique_lock<std::mutex> lk(outLock_);
        if (liveThreads_.load() > 0)
            outCv_.wait_for(lk, DrainTimeout, [&] { return OutUsedLocked() == 0 && !outWriting_; });
        wrote = everWritten_;
    }
    if (!wrote) return;
    // Let the driver's last characters leave: 18 character times at the current line settings.
    TSxLineSettings s = LineSettings();
    const int bits = 1 + s.DataBits + (s.Parity ? 1 : 0) + (s.StopBits == 0 ? 1 : 2);
    double ms = 18.0 * bits * 1000.0 / std::max<int32_t>(s.Baud, 1);
    if (ms < 1.0) ms *= 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int64_t>(std::ceil(ms))));
}

int TSxBaseDispatcher::GetLine(int32_t& baud, uint8_t& parity, uint8_t& dataBits, uint8_t& stopBits) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_) return ecCommNotOpen;
    baud = line_.Baud;
    parity = line_.Parity;
    dataBits = line_.DataBits;
    stopBits = line_.StopBits == 0 ? 1 : 2;
    return 0;
}

TSxLineSettings TSxBaseDispatcher::LineSettings() const {
    std::lock_guard<std::mutex> g(lock_);
    return line_;
}

int TSxBaseDispatcher::SetDTR(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    if (dtrAuto_) return 1;
    if (device_->SetDTR(on) < 0) return ecBadArgument;
    dtr_ = on;
    line_.DtrControl = on ? 1 : 0;
    return 0;
}

// A break starts once the output queued before it has left the ring (within 2000 ms) and the device's
// driver (the device's own bound); output held back by flow control refuses it with ecOutputStalled.
int TSxBaseDispatcher::SetBreak(bool on) {
    if (!IsOpen()) return ecCommNotOpen;
    if (on) {
        std::unique_lock<std::mutex> lk(outLock_);
        const auto drained = [&] { return OutUsedLocked() == 0 && !outWriting_; };
        if (liveThreads_.load() > 0 && !outCv_.wait_for(lk, std::chrono::milliseconds(2000), drained))
            return ecOutputStalled;
    }
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    return device_->SetBreak(on);
}

int TSxBaseDispatcher::SetRTS(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    if (rtsAuto_ || rs485_) return 1;
    if (device_->SetRTS(on) < 0) return ecBadArgument;
    rts_ = on;
    line_.RtsControl = on ? 1 : 0;
    return 0;
}

// The line settings with the flow levels of the input ring (full: stop the sender; resume: let it go on),
// or why they cannot be had: the port is closed or the levels do not fit the ring.
int TSxBaseDispatcher::FlowLineLocked(uint16_t fullLevel, uint16_t resumeLevel, TSxLineSettings& s) const {
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    if (resumeLevel > fullLevel || fullLevel > inSize_) return ecBadArgument;
    s = line_;
    s.XoffLim = static_cast<uint16_t>(inSize_ - fullLevel);
    s.XonLim = resumeLevel;
    return 0;
}

int TSxBaseDispatcher::SetHardFlow(uint16_t fullLevel, uint16_t resumeLevel, uint16_t options) {
    std::lock_guard<std::mutex> g(lock_);
    TSxLineSettings s;
    if (const int refused = FlowLineLocked(fullLevel, resumeLevel, s)) return refused;
    const bool oldDtrAuto = dtrAuto_, oldRtsAuto = rtsAuto_;
    dtrAuto_ = (options & hwfUseDTR) != 0;
    rtsAuto_ = (options & hwfUseRTS) != 0;
    s.OutxDsrFlow = (options & hwfRequireDSR) != 0;
    s.OutxCtsFlow = (options & hwfRequireCTS) != 0;
    if (!dtrAuto_) dtrHeld_ = false; // DTR returns to its requested state with the line below
    const int r = ApplyLineLocked(s);
    if (r < 0) {
        // Refused: nothing of it is in force.
        dtrAuto_ = oldDtrAuto;
        rtsAuto_ = oldRtsAuto;
        return r;
    }
    flowFull_ = fullLevel;
    flowResume_ = resumeLevel;
    dtrFlow_ = dtrAuto_;
    {
        std::lock_guard<std::mutex> o(outLock_);
        dsrGate_ = s.OutxDsrFlow;
    }
    outCv_.notify_all();
    DtrFlowCheckLocked();
    return 0;
}

int TSxBaseDispatcher::SetSoftFlow(uint16_t fullLevel, uint16_t resumeLevel, uint16_t directions) {
    std::lock_guard<std::mutex> g(lock_);
    TSxLineSettings s;
    if (const int refused = FlowLineLocked(fullLevel, resumeLevel, s)) return refused;
    s.InX = (directions & sfReceive) != 0;
    s.OutX = (directions & sfTransmit) != 0;
    s.XonChar = 17;
    s.XoffChar = 19;
    return ApplyLineLocked(s);
}

int TSxBaseDispatcher::SoftFlowOff() {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    TSxLineSettings s = line_;
    s.InX = s.OutX = false;
    return ApplyLineLocked(s);
}

int TSxBaseDispatcher::SetFlowChars(uint8_t xonChar, uint8_t xoffChar) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    TSxLineSettings s = line_;
    s.XonChar = xonChar;
    s.XoffChar = xoffChar;
    return ApplyLineLocked(s);
}

int TSxBaseDispatcher::SetRS485Mode(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_ || !deviceOpen_) return ecCommNotOpen;
    const bool old = rs485_;
    rs485_ = on;
    const int r = ApplyLineLocked(line_);
    if (r < 0) rs485_ = old; // refused by the device: not in force
    return r;
}

std::string TSxBaseDispatcher::FailedOpenNote() const {
    std::lock_guard<std::mutex> g(lock_);
    return failedOpenNote_;
}

std::string TSxBaseDispatcher::DeviceNote() const {
    std::lock_guard<std::mutex> g(lock_);
    return device_ && deviceOpen_ ? device_->OpenNote() : std::string();
}

bool TSxBaseDispatcher::RS485Mode() const {
    std::lock_guard<std::mutex> g(lock_);
    return rs485_;
}

int TSxBaseDispatcher::RaiseThreadPriority(int n) {
    std::lock_guard<std::mutex> g(lock_);
    priorityBoost_ = n;
    return 0;
}

// ---- Status ----------------------------------------------------------------------------------

uint8_t TSxBaseDispatcher::ModemStatus(uint8_t clearMask) {
    std::lock_guard<std::mutex> g(lock_);
    if (!open_) return 0;
    RefreshModemLocked();
    const uint8_t result = modemStatus_;
    modemStatus_ &= static_cast<uint8_t>(~(clearMask & 0x0F));
    return result;
}

bool TSxBaseDispatcher::CTS() { return (ModemStatus(msDeltaCTS) & msCTS) != 0; }
bool TSxBaseDispatcher::DSR() { return (ModemStatus(msDeltaDSR) & msDSR) != 0; }
bool TSxBaseDispatcher::DCD() { return (ModemStatus(msDeltaDCD) & msDCD) != 0; }
bool TSxBaseDispatcher::Ring() { return (ModemStatus(msRingChange) & msRingChange) != 0; }

int TSxBaseDispatcher::LineError() {
    std::lock_guard<std::mutex> g(lock_);
    if (device_ && deviceOpen_) errorBits_ |= device_->TakeErrors();
    int code = 0;
    if (errorBits_ & leOverflow)
        code = 1;
    else if (errorBits_ & leOverrun)
        code = 2;
    else if (errorBits_ & leParity)
        code = 3;
    else if (errorBits_ & leFraming)
        code = 4;
    else if (errorBits_ & leBreak)
        return 9;
    if (code) errorBits_ &= static_cast<uint8_t>(~0x0F);
    return code;
}

bool TSxBaseDispatcher::LineBreak() {
    std::lock_guard<std::mutex> g(lock_);
    if (device_ && deviceOpen_) errorBits_ |= device_->TakeErrors();
    const bool b = (errorBits_ & leBreak) != 0;
    errorBits_ &= static_cast<uint8_t>(~leBreak);
    return b;
}

uint8_t TSxBaseDispatcher::LineErrorBits() const {
    std::lock_guard<std::mutex> g(lock_);
    return errorBits_;
}

} // namespace sx
