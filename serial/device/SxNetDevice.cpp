// A COM port mapped to a terminal server on the network: "rfc2217://host:port" speaks Telnet with
// the COM-PORT-OPTION, so that line settings, DTR/RTS, flow control and the modem lines travel to
// and from the server's serial port; "tcp://host:port" carries the bytes alone, without line control
// (a line that is always ready, like a pseudo-terminal).
//
// Whoever needs the server's answers reads the socket: the dispatch thread while it waits for
// events, a setter while it waits for a confirmation (the dispatch thread is not running yet while
// the port opens). Both read under one lock into the input buffer; a setter that took line data
// wakes the waiting dispatch thread so that the data is announced. Writes go out under a second
// lock, so that a control command never lands between the two bytes of an escaped 0xFF.

#include "serial/device/SxDevices.h"
#include "serial/device/SxSocket.h"
#include "serial/device/SxTelnetParser.h"
#include "serial/errors/SxErrors.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace sx {

namespace {

std::atomic<SxHostLookup> hostLookup{&::getaddrinfo};
constexpr int LookupTimedOut = 1; // beside getaddrinfo's own results (0 and the negative EAI_ codes)

// A name service that does not answer (a dead DNS server, a cable pulled) can keep getaddrinfo
// for tens of seconds, and the port opens on the GUI thread: the lookup runs on a thread of its
// own and is given up at the deadline. A lookup that finishes after that frees its own result.
struct PendingLookup {
    std::mutex M;
    std::condition_variable Cv;
    bool Done = false;
    bool GivenUp = false;
    int Result = EAI_AGAIN;
    addrinfo* List = nullptr;
};

int LookUpHost(const std::string& host, const std::string& port, std::chrono::steady_clock::time_point deadline,
               addrinfo*& list) {
    auto pending = std::make_shared<PendingLookup>();
    const SxHostLookup lookup = hostLookup.load();
    try {
        std::thread([pending, lookup, host, port] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_flags = AI_NUMERICSERV;
            addrinfo* found = nullptr;
            const int r = lookup(host.c_str(), port.c_str(), &hints, &found);
            std::lock_guard<std::mutex> g(pending->M);
            if (pending->GivenUp) {
                if (r == 0 && found) ::freeaddrinfo(found);
                return;
            }
            pending->Result = r;
            pending->List = r == 0 ? found : nullptr;
            pending->Done = true;
            pending->Cv.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return EAI_SYSTEM; // no thread to be had
    }
    std::unique_lock<std::mutex> lk(pending->M);
    if (!pending->Cv.wait_until(lk, deadline, [&] { return pending->Done; })) {
        pending->GivenUp = true;
        list = nullptr;
        return LookupTimedOut;
    }
    list = pending->List;
    return pending->Result;
}

using Clock = std::chrono::steady_clock;

constexpr int ConnectTimeoutMs = 3000;    // a dead server costs the GUI at most this at open
constexpr int NegotiateTimeoutMs = 1500;  // for the server's answer to WILL COM-PORT-OPTION
constexpr int ConfirmTimeoutMs = 1000;    // for a server to confirm line settings
constexpr int ControlSendTimeoutMs = 1000; // for a control command to get onto the wire
constexpr size_t HeldInputLimit = 65536;  // read no further from the socket while input is held

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The right to put bytes on the socket. A plain flag under a mutex rather than a timed mutex, so
// that a control command can give up after a bounded wait (and ThreadSanitizer follows it).
class TxGate {
public:
    bool Enter(int timeoutMs) { // timeoutMs < 0: without limit
        std::unique_lock<std::mutex> lk(m_);
        auto free = [&] { return !busy_; };
        if (timeoutMs < 0)
            cv_.wait(lk, free);
        else if (!cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), free))
            return false;
        busy_ = true;
        return true;
    }
    void Leave() {
        {
            std::lock_guard<std::mutex> g(m_);
            busy_ = false;
        }
        cv_.notify_one();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool busy_ = false;
};

struct TxHold {
    TxHold(TxGate& gate, int timeoutMs) : Gate(gate), Held(gate.Enter(timeoutMs)) {}
    ~TxHold() {
        if (Held) Gate.Leave();
    }
    TxHold(const TxHold&) = delete;
    TxHold& operator=(const TxHold&) = delete;
    TxGate& Gate;
    const bool Held;
};

} // namespace

// "rfc2217://host:port", "tcp://host:port", "[v6-address]:port" allowed. False when malformed.
bool SxParseNetDeviceName(const std::string& name, bool& telnet, std::string& host, std::string& port) {
    std::string rest;
    if (name.rfind("rfc2217://", 0) == 0) {
        telnet = true;
        rest = name.substr(10);
    } else if (name.rfind("tcp://", 0) == 0) {
        telnet = false;
        rest = name.substr(6);
    } else {
        return false;
    }
    size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return false;
        host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        host = rest.substr(0, colon);
        if (host.find(':') != std::string::npos) return false;
    }
    port = rest.substr(colon + 1);
    while (!port.empty() && port.back() == '/') port.pop_back();
    if (host.empty() || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long p = std::strtol(port.c_str(), nullptr, 10);
    return p >= 1 && p <= 65535;
}

SxHostLookup SxSetHostLookup(SxHostLookup lookup) {
    return hostLookup.exchange(lookup ? lookup : &::getaddrinfo);
}

bool SxIsNetDevice(const std::string& name) { return name.rfind("rfc2217://", 0) == 0 || name.rfind("tcp://", 0) == 0; }

class TSxNetDevice : public ISxDevice {
public:
    TSxNetDevice() {
        SxMakeWakePair(waitWake_);
        SxMakeWakePair(writeWake_);
    }
    ~TSxNetDevice() override {
        Close();
        SxCloseWakePair(waitWake_);
        SxCloseWakePair(writeWake_);
    }

    int Open(const std::string& name, uint16_t, uint16_t) override {
        if (waitWake_[0] < 0 || writeWake_[0] < 0) return ecNoHandles;
        std::string host, port;
        bool telnet = false;
        if (!SxParseNetDeviceName(name, telnet, host, port)) return ecBadId;
        {
            std::lock_guard<std::mutex> g(mu_);
            ResetLocked();
            name_ = host + ":" + port;
        }
        SxDrain(waitWake_[0]);
        SxDrain(writeWake_[0]);
        const int fd = Connect(host, port);
        if (fd < 0) return fd;
        fd_ = fd;
        if (!telnet) return 0;

        telnet_ = true;
        SendControl(parser_.Start());
        const auto deadline = Clock::now() + std::chrono::milliseconds(NegotiateTimeoutMs);
        const bool answered = WaitFor(deadline, [&] { return parser_.ComPortAnswered() || hungUp_; });
        std::unique_lock<std::mutex> lk(mu_);
        if (hungUp_) {
            lk.unlock();
            Close();
            return ecBadId;
        }
        if (parser_.ComPortOn()) {
            comPort_ = true;
            lk.unlock();
            // Line errors (overrun, parity, framing, break) and every modem line. Not waited for:
            // servers commonly leave the masks unconfirmed, and nothing depends on the answer.
            std::vector<uint8_t> masks = Cmd(tn::cpSetLineStateMask, {0x1E});
            const std::vector<uint8_t> modem = Cmd(tn::cpSetModemStateMask, {0xFF});
            masks.insert(masks.end(), modem.begin(), modem.end());
            SendControl(masks);
            return hungUp_ ? ecBadId : 0;
        }
        if (!answered) {
            // Not a Telnet server at all: what it sends is line data, and so is what we send.
            telnet_ = false;
            AddNoteLocked("server " + name_ + " did not answer the Telnet negotiation; raw TCP without line control");
        } else {
            AddNoteLocked("server " + name_ + " refused the COM port option; raw data without line control");
        }
        return 0;
    }

    void Close() override {
        if (fd_ < 0) return;
        // A break left on would stay on at the server's port after we are gone.
        if (breakOn_.exchange(false)) SendControl(Cmd(tn::cpSetControl, {tn::ctlBreakOff}));
        SxShutdownAndClose(fd_);
        fd_ = -1;
    }

    std::string OpenNote() const override {
        std::lock_guard<std::mutex> g(mu_);
        return note_;
    }

    int GetLine(TSxLineSettings& s) override {
        std::lock_guard<std::mutex> g(mu_);
        s = requested_;
        s.Baud = confirmed_.Baud;
        s.Parity = confirmed_.Parity;
        s.DataBits = confirmed_.DataBits;
        s.StopBits = confirmed_.StopBits;
        return 0;
    }

    int SetLine(const TSxLineSettings& s) override {
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

    int SetDTR(bool on) override { return SetControlLine(on ? tn::ctlDtrOn : tn::ctlDtrOff); }
    int SetRTS(bool on) override { return SetControlLine(on ? tn::ctlRtsOn : tn::ctlRtsOff); }

    int ModemLines(uint8_t& lines) override {
        std::lock_guard<std::mutex> g(mu_);
        lines = lines_;
        return 0;
    }

    uint8_t TakeErrors() override {
        std::lock_guard<std::mutex> g(mu_);
        const uint8_t e = errors_;
        errors_ = 0;
        return e;
    }

    int BytesWaiting() override {
        std::lock_guard<std::mutex> g(mu_);
        return static_cast<int>(rx_.size() - rxPos_);
    }

    int Read(uint8_t* buf, int n) override {
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

    void HoldInput(bool held) override {
        if (held_.exchange(held) == held) return;
        // A server that knows flow control stops sending until we resume; a raw one is held back
        // by TCP once the input limit is reached and the socket is no longer read.
        if (comPort_) SendControl(Cmd(held ? tn::cpFlowSuspend : tn::cpFlowResume, {}));
        if (!held) SxPoke(waitWake_[1]);
    }

    int Write(const uint8_t* buf, int n) override {
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

    void CancelWrite() override {
        cancelWrite_ = true;
        SxPoke(writeWake_[1]);
    }

    uint32_t WaitEvent(int timeoutMs = -1) override {
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

    void CancelWait() override {
        cancelWait_ = true;
        SxPoke(waitWake_[1]);
    }

    void PurgeInput() override {
        {
            std::lock_guard<std::mutex> g(mu_);
            rx_.clear();
            rxPos_ = 0;
        }
        if (comPort_) SendControl(Cmd(tn::cpPurgeData, {tn::purgeRx}));
    }
    void PurgeOutput() override {
        if (comPort_) SendControl(Cmd(tn::cpPurgeData, {tn::purgeTx}));
    }

    // SET-CONTROL break on and off, after the data sent before (the stream keeps the order); sent, not
    // waited for, like DTR and RTS. Raw TCP has no way to ask for a break.
    int SetBreak(bool on) override {
        if (!comPort_) return on ? ecBreakNotSupported : 0;
        if (!SendControl(Cmd(tn::cpSetControl, {on ? tn::ctlBreakOn : tn::ctlBreakOff})))
            return hungUp_ || !on ? ecWriteFault : ecOutputStalled;
        breakOn_ = on;
        return 0;
    }

private:
    static constexpr uint8_t AlwaysReady = 0x10 | 0x20 | 0x80; // CTS, DSR, DCD

    static std::vector<uint8_t> Cmd(uint8_t c, std::vector<uint8_t> v) { return SxComPortCommand(c, v); }

    static uint8_t FlowValue(const TSxLineSettings& s) {
        if (s.RtsControl == 2 || s.OutxCtsFlow) return tn::ctlFlowHardware;
        if (s.OutX || s.InX) return tn::ctlFlowXonXoff;
        return tn::ctlFlowNone;
    }

    // How many source bytes the first `sent` bytes of an escaped chunk carry.
    size_t SourceCountImpl(const std::vector<uint8_t>& wire, size_t sent) const {
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
    int SourceCount(const std::vector<uint8_t>& wire, size_t sent) const {
        return static_cast<int>(SourceCountImpl(wire, sent));
    }
    static bool OddIacTail(const std::vector<uint8_t>& wire, size_t sent) {
        // Escaped data has IACs only in pairs; count the run that ends at sent.
        size_t run = 0;
        for (size_t i = sent; i > 0 && wire[i - 1] == tn::IAC; --i) ++run;
        return run % 2 == 1;
    }

    void ResetLocked() {
        parser_ = TSxTelnetParser();
        telnet_ = comPort_ = false;
        hungUp_ = false;
        hangupReported_ = false;
        cancelWait_ = cancelWrite_ = false;
        held_ = false;
        suspended_ = false;
        breakOn_ = false;
        for (auto& q : silent_) q = false;
        lineSent_ = false;
        rx_.clear();
        rxPos_ = 0;
        pendingEv_ = 0;
        errors_ = 0;
        lines_ = AlwaysReady;
        note_.clear();
        requested_ = confirmed_ = TSxLineSettings{};
        for (auto& a : answers_) a = 0;
    }

    void AddNoteLocked(const std::string& line) {
        if (!note_.empty()) note_ += "\n";
        note_ += line;
    }

    // Connects without blocking longer than the connect time-out. A socket, or ecBadId for an
    // unknown host, a refused connection or a server that does not answer.
    int Connect(const std::string& host, const std::string& port) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ConnectTimeoutMs);
        addrinfo* list = nullptr;
        const int g = LookUpHost(host, port, deadline, list);
        if (g != 0) {
            std::lock_guard<std::mutex> l(mu_);
            AddNoteLocked("host " + host + ": " +
                          (g == LookupTimedOut ? std::string("no answer from the name service in time")
                                               : std::string(::gai_strerror(g))));
            return ecBadId;
        }
        int fd = -1;
        std::string why = "no address";
        for (addrinfo* a = list; a && fd < 0; a = a->ai_next) {
            const int s = SxOpenSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
            if (s < 0) continue;
            int r = ::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen));
            int err = r == 0 ? 0 : SxSocketError();
            if (r != 0 && (err == EINPROGRESS || err == EWOULDBLOCK)) {
                SxPollFd pf{s, POLLOUT, 0};
                int p;
                do p = SxPoll(&pf, 1, MsLeft(deadline));
                while (p < 0 && SxSocketError() == EINTR);
                if (p == 1) {
                    err = SxConnectError(s);
                } else {
                    err = ETIMEDOUT;
                }
            }
            if (err == 0) {
                fd = s;
            } else {
                why = SxSocketErrorText(err);
                SxCloseSocket(s);
            }
        }
        ::freeaddrinfo(list);
        if (fd < 0) {
            std::lock_guard<std::mutex> l(mu_);
            AddNoteLocked("server " + host + ":" + port + ": " + why);
            return ecBadId;
        }
        // A server that vanished without a word (cable pulled) is noticed within about half a minute.
        SxTuneSocket(fd);
        return fd;
    }

    // Sends bytes with the transmit lock held. timeoutMs < 0 waits without limit; cancellable
    // makes CancelWrite end the wait. 0, or a negative code when the connection failed.
    int SendLocked(const uint8_t* p, size_t n, size_t& sent, int timeoutMs, bool cancellable) {
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

    // A control command: waits a bounded time for the transmit lock and the socket. False when it
    // did not go out whole (the connection is then treated as lost: the stream is out of step).
    bool SendControl(const std::vector<uint8_t>& bytes) {
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
    int SendAndConfirm(const std::vector<std::vector<uint8_t>>& cmds, const std::vector<uint8_t>& expect,
                       const char* what) {
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

    // DTR or RTS: sent, not waited for (see SetLine). The DTR handshake switches DTR from the
    // dispatch thread, which must not stall on a server that does not answer.
    int SetControlLine(uint8_t value) {
        if (!comPort_) return 0;
        if (!SendControl(Cmd(tn::cpSetControl, {value})) && hungUp_) return ecWriteFault;
        return 0;
    }

    // Waits until done() holds (checked under mu_) or the deadline passes, reading the socket itself
    // in short slices so that answers arrive before the dispatch thread runs. True when done.
    template <class Pred> bool WaitFor(Clock::time_point deadline, Pred done) {
        for (;;) {
            std::vector<uint8_t> replies;
            bool fin;
            {
                std::unique_lock<std::mutex> lk(mu_);
                const size_t before = rx_.size() - rxPos_;
                const uint32_t evBefore = pendingEv_;
                PumpLocked(replies);
                // Data or line events taken here belong to the dispatch thread's wait: wake it.
                if (rx_.size() - rxPos_ != before || pendingEv_ != evBefore || hungUp_) SxPoke(waitWake_[1]);
                fin = done();
                if (!fin && replies.empty()) {
                    const int left = MsLeft(deadline);
                    if (left == 0) return false;
                    cv_.wait_for(lk, std::chrono::milliseconds(std::min(left, 20)));
                    fin = done();
                }
            }
            if (!replies.empty()) SendControl(replies);
            if (fin) return true;
            if (MsLeft(deadline) == 0) return false;
        }
    }

    // Reads what the socket holds without waiting and takes it apart.
    void PumpLocked(std::vector<uint8_t>& replies) {
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

    void ApplyLocked(const TSxComPortReply& c) {
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

    void MarkHungUp() {
        {
            std::lock_guard<std::mutex> g(mu_);
            hungUp_ = true;
        }
        SxPoke(waitWake_[1]);
    }

    int fd_ = -1;
    int waitWake_[2] = {-1, -1};
    int writeWake_[2] = {-1, -1};
    std::atomic<bool> telnet_{false};  // the stream is Telnet (escaped, with commands)
    std::atomic<bool> comPort_{false}; // the server agreed to the COM port option
    std::atomic<bool> held_{false};
    std::atomic<bool> cancelWait_{false};
    std::atomic<bool> cancelWrite_{false};
    std::atomic<bool> suspended_{false}; // the server asked us to stop sending
    std::atomic<bool> breakOn_{false};   // the server's line is held in the break state
    bool hangupReported_ = false;        // dispatch thread only

    TxGate txGate_;
    mutable std::mutex mu_; // everything below
    std::condition_variable cv_;
    std::atomic<bool> hungUp_{false};
    TSxTelnetParser parser_;
    TSxTelnetOutput out_;
    std::vector<uint8_t> rx_;
    size_t rxPos_ = 0;
    uint32_t pendingEv_ = 0;
    uint8_t errors_ = 0;
    uint8_t lines_ = AlwaysReady;
    bool silent_[16] = {};  // commands the server left unanswered once: not waited for again
    bool lineSent_ = false; // the first SetLine sends everything
    uint32_t answers_[16] = {};
    TSxLineSettings requested_;
    TSxLineSettings confirmed_;
    std::string name_;
    std::string note_;
};

std::unique_ptr<ISxDevice> SxCreateNetDevice() { return std::make_unique<TSxNetDevice>(); }

} // namespace sx
