// The network device's COM-port option: line settings, DTR and RTS, the break, flow control and purges sent to
// the server, and the server's line and modem state taken in. Called by the dispatcher through ISxDevice
// and by the pump (ApplyLocked).

#include "serial/device/SxNetDevicePrivate.h"

#include "serial/errors/SxErrors.h"

namespace sx::net {

int TSxNetDevice::GetLine(TSxLineSettings& s) {
    std::lock_guard<std::mutex> g(mu_);
    s = requested_;
    s.Baud = confirmed_.Baud;
    s.Parity = confirmed_.Parity;
    s.DataBits = confirmed_.DataBits;
    s.StopBits = confirmed_.StopBits;
    return 0;
}

int TSxNetDevice::SetLine(const TSxLineSettings& s) {
    if (s.DataBits < 5 || s.DataBits > 8) return ecByteSize;
    if (s.Parity > 4) return ecBadArgument;
    if (s.Baud <= 0) return ecBaudRate;
    if (s.RtsControl == 3) return ecSettingNotSupported; // no RS-485 turnaround over the network
    TSxLineSettings old;
    bool first;
    {
        std::lock_guard<std::mutex> g(mu_);
        old = requested_;
        first = !lineSent_;
        requested_ = s;
        lineSent_ = true;
        if (!comPort_) {
            // Nothing to tell: the line is whatever the server's port is set to.
            confirmed_ = s;
            return 0;
        }
    }
    std::vector<std::vector<uint8_t>> cmds;
    std::vector<uint8_t> expect;
    auto add = [&](uint8_t c, std::vector<uint8_t> v) {
        cmds.push_back(Cmd(c, std::move(v)));
        expect.push_back(c);
    };
    if (first || s.Baud != old.Baud) add(tn::cpSetBaud, SxBaudValue(static_cast<uint32_t>(s.Baud)));
    if (first || s.DataBits != old.DataBits) add(tn::cpSetDataSize, {s.DataBits});
    if (first || s.Parity != old.Parity) add(tn::cpSetParity, {static_cast<uint8_t>(s.Parity + 1)});
    if (first || s.StopBits != old.StopBits)
        add(tn::cpSetStopSize, {static_cast<uint8_t>(s.StopBits == 0 ? 1 : s.StopBits == 1 ? 3 : 2)});
    const uint8_t flow = FlowValue(s), oldFlow = FlowValue(old);
    if (first || flow != oldFlow) add(tn::cpSetControl, {flow});
    // DTR and RTS go out with the rest but are not waited for: a server whose port has no
    // modem control lines (a pseudo-terminal) never answers them.
    if (first || (s.DtrControl != 0) != (old.DtrControl != 0))
        cmds.push_back(Cmd(tn::cpSetControl, {s.DtrControl != 0 ? tn::ctlDtrOn : tn::ctlDtrOff}));
    const bool rts = s.RtsControl == 1 || s.RtsControl == 2, oldRts = old.RtsControl == 1 || old.RtsControl == 2;
    if ((first || rts != oldRts) && s.RtsControl != 2)
        cmds.push_back(Cmd(tn::cpSetControl, {rts ? tn::ctlRtsOn : tn::ctlRtsOff}));
    return SendAndConfirm(cmds, expect, "line settings");
}

int TSxNetDevice::ModemLines(uint8_t& lines) {
    std::lock_guard<std::mutex> g(mu_);
    lines = lines_;
    return 0;
}

uint8_t TSxNetDevice::TakeErrors() {
    std::lock_guard<std::mutex> g(mu_);
    const uint8_t e = errors_;
    errors_ = 0;
    return e;
}

void TSxNetDevice::PurgeInput() {
    {
        std::lock_guard<std::mutex> g(mu_);
        rx_.clear();
        rxPos_ = 0;
    }
    if (comPort_) SendControl(Cmd(tn::cpPurgeData, {tn::purgeRx}));
}

void TSxNetDevice::PurgeOutput() {
    if (comPort_) SendControl(Cmd(tn::cpPurgeData, {tn::purgeTx}));
}

// SET-CONTROL break on and off, after the data sent before (the stream keeps the order); sent, not
// waited for, like DTR and RTS. Raw TCP has no way to ask for a break.
int TSxNetDevice::SetBreak(bool on) {
    if (!comPort_) return on ? ecBreakNotSupported : 0;
    if (!SendControl(Cmd(tn::cpSetControl, {on ? tn::ctlBreakOn : tn::ctlBreakOff})))
        return hungUp_ || !on ? ecWriteFault : ecOutputStalled;
    breakOn_ = on;
    return 0;
}

uint8_t TSxNetDevice::FlowValue(const TSxLineSettings& s) {
    if (s.RtsControl == 2 || s.OutxCtsFlow) return tn::ctlFlowHardware;
    if (s.OutX || s.InX) return tn::ctlFlowXonXoff;
    return tn::ctlFlowNone;
}

// DTR or RTS: sent, not waited for (see SetLine). The DTR handshake switches DTR from the
// dispatch thread, which must not stall on a server that does not answer.
int TSxNetDevice::SetControlLine(uint8_t value) {
    if (!comPort_) return 0;
    if (!SendControl(Cmd(tn::cpSetControl, {value})) && hungUp_) return ecWriteFault;
    return 0;
}

void TSxNetDevice::ApplyLocked(const TSxComPortReply& c) {
    const uint8_t v = c.Value.empty() ? 0 : c.Value[0];
    switch (c.Command) {
    case tn::cpSetBaud:
        if (const uint32_t b = SxBaudFromValue(c.Value); b > 0 && b <= 0x7FFFFFFF) confirmed_.Baud = static_cast<int32_t>(b);
        break;
    case tn::cpSetDataSize:
        if (v >= 5 && v <= 8) confirmed_.DataBits = v;
        break;
    case tn::cpSetParity:
        if (v >= 1 && v <= 5) confirmed_.Parity = static_cast<uint8_t>(v - 1);
        break;
    case tn::cpSetStopSize:
        if (v >= 1 && v <= 3) confirmed_.StopBits = v == 1 ? 0 : v == 2 ? 2 : 1;
        break;
    case tn::cpNotifyLineState: {
        uint8_t e = 0;
        if (v & 0x02) e |= 2;  // overrun
        if (v & 0x04) e |= 4;  // parity
        if (v & 0x08) e |= 8;  // framing
        if (v & 0x10) e |= 16; // break
        errors_ |= e;
        if (e & 0x0F) pendingEv_ |= evErr;
        if (e & 0x10) pendingEv_ |= evBreak;
        break;
    }
    case tn::cpNotifyModemState: {
        const uint8_t lines = v & 0xF0;
        const uint8_t d = static_cast<uint8_t>(lines ^ lines_);
        if ((d & 0x10) || (v & 0x01)) pendingEv_ |= evCTS;
        if ((d & 0x20) || (v & 0x02)) pendingEv_ |= evDSR;
        if ((d & 0x80) || (v & 0x08)) pendingEv_ |= evRLSD;
        if ((d & 0x40) && (lines & 0x40)) pendingEv_ |= evRing;
        if (((d & 0x40) && !(lines & 0x40)) || (v & 0x04)) pendingEv_ |= evRingTE;
        lines_ = lines;
        break;
    }
    case tn::cpFlowSuspend: suspended_ = true; break;
    case tn::cpFlowResume:
        suspended_ = false;
        SxPoke(writeWake_[1]);
        break;
    default: break;
    }
    if (c.Command < 16) ++answers_[c.Command];
}

} // namespace sx::net
