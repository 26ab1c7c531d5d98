// The network device's connection: the device name, the host lookup with its deadline, the connect,
// the open with the start of the Telnet negotiation, and the close. Called by the dispatcher through
// ISxDevice; the rest of the device is in SxNetDeviceTelnet/ComPort/Data.cpp.

#include "serial/device/SxNetDevicePrivate.h"

#include "serial/device/SxDevices.h"
#include "serial/errors/SxErrors.h"

#include <cstdlib>
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

std::unique_ptr<ISxDevice> SxCreateNetDevice() { return std::make_unique<net::TSxNetDevice>(); }

namespace net {

TSxNetDevice::TSxNetDevice() {
    SxMakeWakePair(waitWake_);
    SxMakeWakePair(writeWake_);
}

TSxNetDevice::~TSxNetDevice() {
    Close();
    SxCloseWakePair(waitWake_);
    SxCloseWakePair(writeWake_);
}

int TSxNetDevice::Open(const std::string& name, uint16_t, uint16_t) {
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

void TSxNetDevice::Close() {
    if (fd_ < 0) return;
    // A break left on would stay on at the server's port after we are gone.
    if (breakOn_.exchange(false)) SendControl(Cmd(tn::cpSetControl, {tn::ctlBreakOff}));
    SxShutdownAndClose(fd_);
    fd_ = -1;
}

std::string TSxNetDevice::OpenNote() const {
    std::lock_guard<std::mutex> g(mu_);
    return note_;
}

void TSxNetDevice::ResetLocked() {
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

void TSxNetDevice::AddNoteLocked(const std::string& line) {
    if (!note_.empty()) note_ += "\n";
    note_ += line;
}

// Connects without blocking longer than the connect time-out. A socket, or ecBadId for an
// unknown host, a refused connection or a server that does not answer.
int TSxNetDevice::Connect(const std::string& host, const std::string& port) {
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

void TSxNetDevice::MarkHungUp() {
    {
        std::lock_guard<std::mutex> g(mu_);
        hungUp_ = true;
    }
    SxPoke(waitWake_[1]);
}

} // namespace net

} // namespace sx
