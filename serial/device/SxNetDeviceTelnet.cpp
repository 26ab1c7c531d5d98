// The network device's Telnet side: control commands onto the wire within a bounded time, the wait for
// the server's confirmations, and the pump that reads the socket and takes the stream apart. Called by
// the open, the COM-port option and the data path of the device.

#include "serial/device/SxNetDevicePrivate.h"

#include "serial/errors/SxErrors.h"

namespace sx::net {

// A control command: waits a bounded time for the transmit lock and the socket. False when it
// did not go out whole (the connection is then treated as lost: the stream is out of step).
bool TSxNetDevice::SendControl(const std::vector<uint8_t>& bytes) {
    if (fd_ < 0 || bytes.empty()) return false;
    TxHold hold(txGate_, ControlSendTimeoutMs);
    if (!hold.Held) {
        std::lock_guard<std::mutex> l(mu_);
        AddNoteLocked("control command not sent: output to " + name_ + " stalled");
        return false;
    }
    size_t sent = 0;
    const int r = SendLocked(bytes.data(), bytes.size(), sent, ControlSendTimeoutMs, false);
    if (r < 0 || sent < bytes.size()) {
        if (sent > 0 || r < 0) MarkHungUp();
        return false;
    }
    return true;
}

// Sends commands and waits (bounded) until the server has answered each of the expected
// commands once. A server that stays silent is noted once and not waited for again.
int TSxNetDevice::SendAndConfirm(const std::vector<std::vector<uint8_t>>& cmds,
                                 const std::vector<uint8_t>& expect, const char* what) {
    if (cmds.empty()) return 0;
    uint32_t need[16] = {};
    uint32_t base[16];
    bool silent = true;
    {
        std::lock_guard<std::mutex> g(mu_);
        for (int i = 0; i < 16; ++i) base[i] = answers_[i];
        for (uint8_t c : expect)
            if (!silent_[c & 15]) {
                ++need[c & 15];
                silent = false;
            }
    }
    std::vector<uint8_t> all;
    for (const auto& c : cmds) all.insert(all.end(), c.begin(), c.end());
    if (!SendControl(all)) return hungUp_ ? ecWriteFault : 0;
    if (silent) return 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ConfirmTimeoutMs);
    const bool ok = WaitFor(deadline, [&] {
        if (hungUp_) return true;
        for (int i = 0; i < 16; ++i)
            if (answers_[i] - base[i] < need[i]) return false;
        return true;
    });
    std::lock_guard<std::mutex> g(mu_);
    if (hungUp_) return ecWriteFault;
    if (!ok) {
        for (int i = 0; i < 16; ++i)
            if (answers_[i] - base[i] < need[i]) silent_[i] = true;
        AddNoteLocked(std::string("server ") + name_ + " did not confirm the " + what + " within " +
                      std::to_string(ConfirmTimeoutMs) + " ms; going on without waiting for confirmations");
    }
    return 0;
}

// Reads what the socket holds without waiting and takes it apart.
void TSxNetDevice::PumpLocked(std::vector<uint8_t>& replies) {
    if (fd_ < 0 || hungUp_) return;
    uint8_t buf[4096];
    for (;;) {
        if (held_ && rx_.size() - rxPos_ >= HeldInputLimit) return;
        const long r = SxRecv(fd_, buf, sizeof buf);
        const int e = r < 0 ? SxSocketError() : 0;
        if (r == 0 || (r < 0 && e != EAGAIN && e != EWOULDBLOCK && e != EINTR)) {
            hungUp_ = true;
            return;
        }
        if (r < 0) {
            if (e == EINTR) continue;
            return;
        }
        if (!telnet_) {
            rx_.insert(rx_.end(), buf, buf + r);
            continue;
        }
        out_.Clear();
        parser_.Feed(buf, static_cast<size_t>(r), out_);
        rx_.insert(rx_.end(), out_.Data.begin(), out_.Data.end());
        replies.insert(replies.end(), out_.Reply.begin(), out_.Reply.end());
        for (const auto& c : out_.ComPort) ApplyLocked(c);
    }
}

} // namespace sx::net
