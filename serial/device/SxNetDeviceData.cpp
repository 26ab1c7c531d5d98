// The network device's data path: input read from the buffer the pump fills, output escaped and sent in
// chunks, and the dispatch thread's wait for events. Called by the dispatcher's threads through ISxDevice.

#include "serial/device/SxNetDevicePrivate.h"

#include "serial/errors/SxErrors.h"

#include <cstring>

namespace sx::net {

int TSxNetDevice::BytesWaiting() {
    std::lock_guard<std::mutex> g(mu_);
    return static_cast<int>(rx_.size() - rxPos_);
}

int TSxNetDevice::Read(uint8_t* buf, int n) {
    std::lock_guard<std::mutex> g(mu_);
    const size_t have = rx_.size() - rxPos_;
    const size_t take = std::min(have, static_cast<size_t>(n > 0 ? n : 0));
    if (take > 0) std::memcpy(buf, rx_.data() + rxPos_, take);
    rxPos_ += take;
    if (rxPos_ == rx_.size()) {
        rx_.clear();
        rxPos_ = 0;
    } else if (rxPos_ > 65536) {
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(rxPos_));
        rxPos_ = 0;
    }
    return static_cast<int>(take);
}

void TSxNetDevice::HoldInput(bool held) {
    if (held_.exchange(held) == held) return;
    // A server that knows flow control stops sending until we resume; a raw one is held back
    // by TCP once the input limit is reached and the socket is no longer read.
    if (comPort_) SendControl(Cmd(held ? tn::cpFlowSuspend : tn::cpFlowResume, {}));
    if (!held) SxPoke(waitWake_[1]);
}

int TSxNetDevice::Write(const uint8_t* buf, int n) {
    TxHold hold(txGate_, -1);
    int done = 0;
    std::vector<uint8_t> wire;
    while (done < n) {
        const int chunk = std::min(n - done, 4096);
        wire.clear();
        if (telnet_)
            SxTelnetEscape(buf + done, static_cast<size_t>(chunk), wire);
        else
            wire.assign(buf + done, buf + done + chunk);
        size_t sent = 0;
        const int r = SendLocked(wire.data(), wire.size(), sent, -1, true);
        if (r < 0) {
            MarkHungUp();
            const int d = done + SourceCount(wire, sent);
            return d > 0 ? d : ecWriteFault;
        }
        if (sent < wire.size()) { // cancelled
            // Half an escaped 0xFF must not be left on the wire: the next byte would be read
            // as a command.
            if (telnet_ && OddIacTail(wire, sent)) {
                size_t one = 0;
                const uint8_t iac = tn::IAC;
                SendLocked(&iac, 1, one, ControlSendTimeoutMs, false);
                if (one == 1) ++sent;
            }
            return done + SourceCount(wire, sent);
        }
        done += chunk;
    }
    return done;
}

void TSxNetDevice::CancelWrite() {
    cancelWrite_ = true;
    SxPoke(writeWake_[1]);
}

uint32_t TSxNetDevice::WaitEvent(int timeoutMs) {
    if (hangupReported_) return evHangup;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        bool readSocket;
        {
            std::lock_guard<std::mutex> g(mu_);
            uint32_t ev = pendingEv_;
            pendingEv_ = 0;
            const bool haveData = rx_.size() > rxPos_;
            if (haveData && !held_) ev |= evRxChar;
            if (hungUp_) {
                hangupReported_ = true;
                return ev | evHangup;
            }
            if (ev) return ev;
            readSocket = !held_ || rx_.size() - rxPos_ < HeldInputLimit;
        }
        // While input is held at its limit the socket is left out altogether: a hang-up would
        // otherwise wake the poll at once, again and again, until the reader resumes.
        SxPollFd fds[2] = {{readSocket ? fd_ : -1, POLLIN, 0}, {waitWake_[0], POLLIN, 0}};
        const int waitMs = timeoutMs < 0 ? -1 : MsLeft(deadline);
        if (timeoutMs >= 0 && waitMs == 0) return 0;
        const int p = SxPoll(fds, 2, waitMs);
        if (p < 0) {
            if (SxSocketError() == EINTR) continue;
            MarkHungUp();
            continue;
        }
        if (fds[1].revents & POLLIN) {
            SxDrain(waitWake_[0]);
            if (cancelWait_.exchange(false)) return 0;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            std::vector<uint8_t> replies;
            {
                std::lock_guard<std::mutex> g(mu_);
                PumpLocked(replies);
            }
            cv_.notify_all();
            if (!replies.empty()) SendControl(replies);
        }
    }
}

void TSxNetDevice::CancelWait() {
    cancelWait_ = true;
    SxPoke(waitWake_[1]);
}

// How many source bytes the first `sent` bytes of an escaped chunk carry.
size_t TSxNetDevice::SourceCountImpl(const std::vector<uint8_t>& wire, size_t sent) const {
    if (!telnet_) return sent;
    size_t count = 0;
    for (size_t i = 0; i < sent;) {
        if (wire[i] == tn::IAC) {
            if (i + 1 >= sent) break;
            i += 2;
        } else {
            ++i;
        }
        ++count;
    }
    return count;
}

int TSxNetDevice::SourceCount(const std::vector<uint8_t>& wire, size_t sent) const {
    return static_cast<int>(SourceCountImpl(wire, sent));
}

bool TSxNetDevice::OddIacTail(const std::vector<uint8_t>& wire, size_t sent) {
    // Escaped data has IACs only in pairs; count the run that ends at sent.
    size_t run = 0;
    for (size_t i = sent; i > 0 && wire[i - 1] == tn::IAC; --i) ++run;
    return run % 2 == 1;
}

// Sends bytes with the transmit lock held. timeoutMs < 0 waits without limit; cancellable
// makes CancelWrite end the wait. 0, or a negative code when the connection failed.
int TSxNetDevice::SendLocked(const uint8_t* p, size_t n, size_t& sent, int timeoutMs, bool cancellable) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    while (sent < n) {
        const bool wait = cancellable && suspended_;
        if (!wait) {
            const long w = SxSend(fd_, p + sent, n - sent);
            if (w > 0) {
                sent += static_cast<size_t>(w);
                continue;
            }
            const int e = w < 0 ? SxSocketError() : 0;
            if (e == EINTR) continue;
            if (w < 0 && e != EAGAIN && e != EWOULDBLOCK) return ecWriteFault;
        }
        SxPollFd fds[2] = {{fd_, static_cast<short>(wait ? 0 : POLLOUT), 0}, {writeWake_[0], POLLIN, 0}};
        const int left = timeoutMs < 0 ? -1 : MsLeft(deadline);
        if (timeoutMs >= 0 && left == 0) return 0;
        const int r = SxPoll(fds, cancellable ? 2 : 1, left);
        if (r < 0 && SxSocketError() != EINTR) return ecWriteFault;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return ecWriteFault;
        if (cancellable && (fds[1].revents & POLLIN)) {
            SxDrain(writeWake_[0]);
            if (cancelWrite_.exchange(false)) return 0; // else the server resumed
        }
    }
    return 0;
}

} // namespace sx::net
