// The program's serial port side by side with Qt's QSerialPort and libserialport, each reading the
// same stream over a pseudo-terminal pair of its own, in one run. Prints two tables; the first, one port each:
//   MiB/s        the peer thread streams --mb MiB (the same bytes for every library) into the pair;
//                from its first write until the GUI thread has handled the last byte.
//   CPU s/MiB    user+system CPU of the whole process over that span, per MiB: "rx" without the peer
//                thread's own CPU (CLOCK_THREAD_CPUTIME_ID), "all" with it.
//   latency      from the peer's write() of one byte to the handler that sees it on the GUI thread;
//                median and 99th percentile of --samples writes, one at a time, paced so that the
//                receiver is asleep when the byte comes.
//   wakeups/s    voluntary+involuntary context switches of the process (getrusage, every thread,
//                the ones that ended too) per second over --idle seconds, the port open and idle
//                after the traffic above; a baseline row gives the same figure with no port at all.
// Every library has the same eight strings to look for, case-insensitively: ours as the eight data
// triggers of the dispatcher (events on the GUI thread), the others by a search over what they read.
// Each library's received bytes are hashed and its matches counted; both are checked against the
// stream itself, so a library that loses, duplicates or reorders bytes is shown as such.
// The second table, four ports at once (--four 0 leaves it out): four receivers of one library, each on a
// pair of its own with a feeder thread of its own, all fed the stream flat out from one start; MiB/s of the
// four together and CPU s/MiB as above, every port's bytes checked.
// --runs N repeats the whole set in rounds over every library and prints the median of each column.
//
//   ini4zav      sx::TSxComPort on the slave end, avail and data events on the GUI thread through
//                plat::QtGuiHandoff (the dispatch thread waits for each, as in the program).
//   ini4zav rfc2217 / tcp  the same port on a COM number mapped to ser2net on localhost, which
//                serves the slave end through Telnet with the COM port option, or raw TCP.
//   QSerialPort  on the slave end, owned by the GUI thread; readyRead there, readAll, search.
//   libserialport  a reader thread blocked in sp_wait, sp_nonblocking_read, search; each chunk is
//                posted to the GUI thread (not waited for). It opens the master end: it cannot open
//                a pseudo-terminal slave (see PtyMasterModemLines.cpp), so its peer writes the slave.
#include "platform/ComMap.h"
#include "platform/qt/QtTime.h"
#include "serial/core/SxDispatcher.h"
#include "serial/port/SxComPort.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <libserialport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::string> Patterns = {"OK",         "ERROR", "CONNECT", "RING",
                                           "NO CARRIER", "BUSY",  "\r\n",    "\x10\x02"};
constexpr double MiB = 1024.0 * 1024.0;
constexpr int ComNumber = 9; // the COM number our port is mapped to; four at once take 9 to 12
constexpr int FourPorts = 4;

struct Options {
    int Mib = 8;
    int Samples = 2000;
    int IdleSeconds = 10;
    int RealTimeSeconds = 5;
    bool Four = true; // the four-ports-at-once measurement
    int Runs = 1;     // rounds over every library, reported as medians
};

double ProcessCpuSeconds() {
    timespec ts;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ThreadCpuSeconds() {
    timespec ts;
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long ContextSwitches() {
    rusage ru;
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_nvcsw + ru.ru_nivcsw;
}

void MakeRaw(int fd) {
    termios t;
    if (::tcgetattr(fd, &t) != 0) return;
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
}

// Case-insensitive search for the eight strings over a stream (bit-parallel, one state word per
// string). A match starts that string afresh, as a data trigger does.
class Matcher {
public:
    Matcher() {
        for (const auto& p : Patterns) {
            Entry e;
            for (size_t i = 0; i < p.size(); ++i)
                e.Masks[Upper(static_cast<uint8_t>(p[i]))] |= 1u << i;
            e.Final = 1u << (p.size() - 1);
            entries_.push_back(e);
        }
    }
    uint64_t Feed(const uint8_t* data, size_t n) {
        uint64_t hits = 0;
        for (size_t k = 0; k < n; ++k) {
            const uint8_t c = Upper(data[k]);
            for (auto& e : entries_) {
                e.State = ((e.State << 1) | 1u) & e.Masks[c];
                if (e.State & e.Final) {
                    ++hits;
                    e.State = 0;
                }
            }
        }
        return hits;
    }

private:
    struct Entry {
        std::array<uint32_t, 256> Masks{};
        uint32_t Final = 0;
        uint32_t State = 0;
    };
    static uint8_t Upper(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; }
    std::vector<Entry> entries_;
};

constexpr uint64_t HashStart = 1469598103934665603ull;
uint64_t Hash(uint64_t h, const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i)
        h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

// What a receiver has handled; touched on the GUI thread only.
struct Sink {
    uint64_t Bytes = 0;
    uint64_t Matches = 0;
    uint64_t HashValue = HashStart;
    bool Stamping = false;
    std::vector<Clock::time_point> Arrivals;
    Clock::time_point LastAt;

    void Reset(bool stamping) {
        *this = Sink{};
        Stamping = stamping;
    }
    void Took(size_t n) {
        Bytes += n;
        LastAt = Clock::now();
        if (Stamping) Arrivals.insert(Arrivals.end(), n, LastAt);
    }
};

// Runs the GUI thread's event loop until done() holds or timeoutMs passed; false on time-out.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    bool expired = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] { expired = true; });
    deadline.start(timeoutMs);
    while (!done() && !expired)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

// Runs the GUI thread's event loop until done() holds, or until progress() has stood still for stallMs;
// false when it stood still.
bool PumpWhileMoving(const std::function<bool()>& done, const std::function<uint64_t()>& progress,
                     int stallMs) {
    bool stalled = false;
    uint64_t seen = progress();
    auto movedAt = Clock::now();
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (const uint64_t now = progress(); now != seen) {
            seen = now;
            movedAt = Clock::now();
        } else if (Clock::now() - movedAt > std::chrono::milliseconds(stallMs)) {
            stalled = true;
        }
    });
    check.start(500);
    while (!done() && !stalled)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

class Receiver {
public:
    virtual ~Receiver() = default;
    virtual const char* Name() const = 0;
    // On the GUI thread; an empty string when the port is open and the peer's end is PeerFd().
    virtual std::string Open() = 0;
    virtual void Close() = 0;
    virtual int PeerFd() const = 0;
    // Whether Got.HashValue runs on from one phase to the next (hashed off the GUI thread, not reset).
    virtual bool HashesAcrossPhases() const { return false; }
    Sink Got;
};

// ---- ini4zav: sx::TSxComPort ----------------------------------------------------------------------

// The same port on a COM number mapped to ser2net on this machine, which serves the pty's slave
// through Telnet with the COM port option (or raw TCP): the path to a terminal server, less the wire.
class Ser2netServer {
public:
    ~Ser2netServer() { Stop(); }
    // Serves slave on a free local port; the device name to map, or empty with why in error.
    std::string Start(const std::string& slave, bool telnet, std::string& error) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                           ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
        ::close(s);
        if (!bound) return error = "no free TCP port", std::string();
        const int port = ntohs(a.sin_port);
        char dir[] = "/tmp/sxbenchXXXXXX";
        if (!::mkdtemp(dir)) return error = "no temporary directory", std::string();
        dir_ = dir;
        config_ = dir_ + "/ser2net.yaml";
        std::FILE* f = std::fopen(config_.c_str(), "w");
        if (!f) return error = "cannot write " + config_, std::string();
        std::fprintf(f, "%%YAML 1.1\n---\nconnection: &bench\n  accepter: %stcp,127.0.0.1,%d\n"
                        "  connector: serialdev,%s,115200n81,local\n",
                     telnet ? "telnet(rfc2217)," : "", port, slave.c_str());
        std::fclose(f);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl("/usr/sbin/ser2net", "ser2net", "-n", "-d", "-c", config_.c_str(), static_cast<char*>(nullptr));
            ::execlp("ser2net", "ser2net", "-n", "-d", "-c", config_.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Listening yet? Asked of the kernel's socket table: a test connection would make ser2net
        // open and close the pty.
        char hex[8];
        std::snprintf(hex, sizeof hex, ":%04X", port);
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            int status = 0;
            if (pid_ < 0 || ::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return error = "ser2net did not start (apt-get install ser2net)", std::string();
            }
            std::ifstream t("/proc/net/tcp");
            std::string line;
            while (std::getline(t, line)) {
                std::istringstream in(line);
                std::string sl, local, remote, state;
                in >> sl >> local >> remote >> state;
                if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == hex)
                    return std::string(telnet ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(port);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return error = "ser2net did not listen", std::string();
    }
    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        if (!config_.empty()) ::unlink(config_.c_str());
        if (!dir_.empty()) ::rmdir(dir_.c_str());
        config_.clear();
        dir_.clear();
    }

private:
    pid_t pid_ = -1;
    std::string dir_, config_;
};

class OurReceiver : public Receiver {
public:
    enum class Route { Local, Rfc2217, RawTcp };
    explicit OurReceiver(Route path = Route::Local, int comNumber = ComNumber)
        : path_(path), comNumber_(comNumber) {}
    const char* Name() const override {
        return path_ == Route::Local ? "ini4zav TSxComPort" : path_ == Route::Rfc2217 ? "ini4zav rfc2217" : "ini4zav tcp";
    }
    std::string Open() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return "no pseudo-terminal";
        if (path_ == Route::Local) {
            plat::SetComDevice(comNumber_, ::ptsname(master_));
        } else {
            // Raw before ser2net opens the slave: it sets its line only once a client has connected,
            // and bytes the feeder writes before that would meet the pty's default line discipline
            // (echo, erase and kill characters, flow control), which eats some of them.
            MakeRaw(master_);
            std::string error;
            const std::string device = server_.Start(::ptsname(master_), path_ == Route::Rfc2217, error);
            if (device.empty()) return error;
            plat::SetComDevice(comNumber_, device);
        }
        port_ = std::make_unique<sx::TSxComPort>(&plat::QtGuiHandoff::Instance());
        port_->SetComNumber(static_cast<uint16_t>(comNumber_));
        port_->SetBaud(115200);
        // One GetBlock per notification, as the program's console takes its bytes.
        port_->SetOnTriggerAvail([this](sx::TSxCustomComPort& p, uint16_t count) {
            buffer_.resize(count);
            // A short take leaves bytes behind: the stream's hash then tells.
            const int n = count > 0 ? p.GetBlock(buffer_.data(), count) : 0;
            Got.HashValue = Hash(Got.HashValue, buffer_.data(), static_cast<size_t>(n));
            Got.Took(static_cast<size_t>(n));
        });
        port_->SetOnTriggerData([this](sx::TSxCustomComPort&, uint16_t) { ++Got.Matches; });
        try {
            port_->SetOpen(true);
            for (const auto& p : Patterns)
                port_->Dispatcher().NewDataTrigger(p, true);
        } catch (const std::exception& e) {
            return e.what();
        }
        return {};
    }
    void Close() override {
        if (port_) {
            port_->SetOpen(false);
            PumpUntil(
                [&] {
                    return port_->PortPhase() == sx::phClosed && sx::TSxCustomComPort::PendingReleases() == 0;
                },
                5000);
            port_.reset();
        }
        server_.Stop();
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    int PeerFd() const override { return master_; }

private:
    Route path_;
    int comNumber_;
    Ser2netServer server_;
    int master_ = -1;
    std::unique_ptr<sx::TSxComPort> port_;
    std::vector<uint8_t> buffer_;
};

// ---- Qt: QSerialPort --------------------------------------------------------------------------------

class QtReceiver : public Receiver {
public:
    const char* Name() const override { return "QSerialPort"; }
    std::string Open() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return "no pseudo-terminal";
        port_ = std::make_unique<QSerialPort>();
        port_->setPortName(QString::fromLocal8Bit(::ptsname(master_)));
        port_->setBaudRate(115200);
        QObject::connect(port_.get(), &QSerialPort::readyRead, [this] {
            const QByteArray b = port_->readAll();
            const auto* p = reinterpret_cast<const uint8_t*>(b.constData());
            const auto n = static_cast<size_t>(b.size());
            Got.Matches += matcher_.Feed(p, n);
            Got.HashValue = Hash(Got.HashValue, p, n);
            Got.Took(n);
        });
        if (!port_->open(QIODevice::ReadWrite)) return port_->errorString().toStdString();
        return {};
    }
    void Close() override {
        if (port_) port_->close();
        port_.reset();
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    int PeerFd() const override { return master_; }

private:
    int master_ = -1;
    std::unique_ptr<QSerialPort> port_;
    Matcher matcher_;
};

// ---- libserialport ----------------------------------------------------------------------------------

class SpReceiver : public Receiver {
public:
    ~SpReceiver() override { Close(); }
    const char* Name() const override { return "libserialport"; }
    std::string Open() override {
        if (sp_get_port_by_name("/dev/ptmx", &port_) != SP_OK) return "sp_get_port_by_name failed";
        if (sp_open(port_, SP_MODE_READ_WRITE) != SP_OK) return Failure("sp_open");
        opened_ = true;
        if (sp_set_baudrate(port_, 115200) != SP_OK || sp_set_bits(port_, 8) != SP_OK ||
            sp_set_parity(port_, SP_PARITY_NONE) != SP_OK || sp_set_stopbits(port_, 1) != SP_OK ||
            sp_set_flowcontrol(port_, SP_FLOWCONTROL_NONE) != SP_OK)
            return Failure("sp_set_*");
        int master = -1;
        if (sp_get_port_handle(port_, &master) != SP_OK || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return "no pseudo-terminal behind /dev/ptmx";
        slave_ = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
        if (slave_ < 0) return "cannot open the slave end";
        MakeRaw(slave_);
        if (sp_new_event_set(&events_) != SP_OK ||
            sp_add_port_events(events_, port_, SP_EVENT_RX_READY) != SP_OK)
            return Failure("sp_new_event_set");
        stop_ = false;
        reader_ = std::thread([this] { ReaderBody(); });
        return {};
    }
    void Close() override {
        if (reader_.joinable()) {
            stop_ = true;
            const char wake = 0; // sp_wait has no time-out: one byte ends the wait
            if (::write(slave_, &wake, 1) != 1) std::fprintf(stderr, "libserialport: wake-up write failed\n");
            reader_.join();
        }
        // Chunks posted before the stop.
        QCoreApplication::processEvents();
        if (events_) sp_free_event_set(events_);
        events_ = nullptr;
        if (port_) {
            if (opened_) sp_close(port_);
            sp_free_port(port_);
        }
        port_ = nullptr;
        opened_ = false;
        if (slave_ >= 0) ::close(slave_);
        slave_ = -1;
    }
    int PeerFd() const override { return slave_; }
    bool HashesAcrossPhases() const override { return true; }

private:
    std::string Failure(const char* what) {
        char* m = sp_last_error_message();
        std::string s = std::string(what) + ": " + (m ? m : "?");
        sp_free_error_message(m);
        return s;
    }
    void ReaderBody() {
        Matcher matcher;
        uint64_t hash = HashStart;
        std::vector<uint8_t> buf(4096);
        for (;;) {
            if (sp_wait(events_, 0) != SP_OK) break;
            if (stop_) break;
            const int n = sp_nonblocking_read(port_, buf.data(), buf.size());
            if (n < 0) break;
            if (n == 0) continue;
            const uint64_t hits = matcher.Feed(buf.data(), static_cast<size_t>(n));
            hash = Hash(hash, buf.data(), static_cast<size_t>(n));
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [this, n, hits, hash] {
                    Got.Matches += hits;
                    Got.HashValue = hash;
                    Got.Took(static_cast<size_t>(n));
                },
                Qt::QueuedConnection);
        }
    }

    sp_port* port_ = nullptr;
    bool opened_ = false;
    sp_event_set* events_ = nullptr;
    int slave_ = -1;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// ---- Measurements -----------------------------------------------------------------------------------

struct Row {
    std::string Name;
    std::string Error;
    double MibPerS = 0, CpuRx = 0, CpuAll = 0;
    uint64_t Matches = 0;
    bool Intact = false;
    double MedianUs = 0, P99Us = 0;
    double WakeupsPerS = 0;
    double RtCpuPerS = 0; // CPU seconds per second at 921600 baud, without the feeder's
    bool RtIntact = false;
    uint64_t ExpectedMatches = 0;
    // Which measurements completed: only those enter the medians over several runs.
    bool HasThroughput = false, HasLatency = false, HasRt = false, HasIdle = false;
};

struct Stream {
    std::vector<uint8_t> Bytes;
    uint64_t HashValue = HashStart;
    uint64_t Matches = 0;
};

Stream MakeStream(int mib) {
    Stream s;
    // Line noise (xorshift) with one of the eight strings, in mixed case, every 1 to 5 KiB: roughly
    // what a modem line carries, and enough matches that the search has work to report.
    const size_t size = static_cast<size_t>(mib) << 20;
    s.Bytes.reserve(size);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    size_t gap = 1024 + next() % 4096;
    while (s.Bytes.size() < size) {
        if (gap-- > 0) {
            s.Bytes.push_back(static_cast<uint8_t>(next() >> 24));
            continue;
        }
        const std::string& p = Patterns[next() % Patterns.size()];
        for (char c : p) {
            const bool lower = c >= 'A' && c <= 'Z' && (next() & 1);
            if (s.Bytes.size() < size) s.Bytes.push_back(static_cast<uint8_t>(lower ? c + 32 : c));
        }
        gap = 1024 + next() % 4096;
    }
    s.HashValue = Hash(HashStart, s.Bytes.data(), s.Bytes.size());
    s.Matches = Matcher().Feed(s.Bytes.data(), s.Bytes.size());
    return s;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, std::min<size_t>(n, 4096));
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// WriteAll for a feeder that must give up when told: a receiver that stops reading would leave a blocking
// write() asleep for good. fd is non-blocking meanwhile (a full buffer is waited out in poll()), then
// blocking again for the receiver's Close (libserialport's wake-up write).
bool FeedAll(int fd, const uint8_t* p, size_t n, const std::atomic<bool>& stop) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    while (n > 0 && !stop) {
        const ssize_t w = ::write(fd, p, std::min<size_t>(n, 4096));
        if (w < 0) {
            if (errno == EAGAIN) {
                pollfd pfd{fd, POLLOUT, 0};
                ::poll(&pfd, 1, 200);
                continue;
            }
            if (errno == EINTR) continue;
            break;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    ::fcntl(fd, F_SETFL, flags);
    return n == 0;
}

void MeasureThroughput(Receiver& r, const Stream& s, Row& row) {
    r.Got.Reset(false);
    std::atomic<double> peerCpu{0};
    std::atomic<bool> peerOk{true};
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    std::thread peer([&] {
        const double c0 = ThreadCpuSeconds();
        peerOk = WriteAll(r.PeerFd(), s.Bytes.data(), s.Bytes.size());
        peerCpu = ThreadCpuSeconds() - c0;
    });
    // A receiver that takes nothing for 10 s has stalled: no use waiting longer.
    const bool complete =
        PumpWhileMoving([&] { return r.Got.Bytes >= s.Bytes.size(); }, [&] { return r.Got.Bytes; }, 10000);
    peer.join();
    const double cpu = ProcessCpuSeconds() - cpu0;
    if (!complete || !peerOk) {
        row.Error = "stream incomplete: " + std::to_string(r.Got.Bytes) + " of " +
                    std::to_string(s.Bytes.size()) + " bytes";
        return;
    }
    const double seconds = std::chrono::duration<double>(r.Got.LastAt - t0).count();
    const double mib = static_cast<double>(s.Bytes.size()) / MiB;
    row.MibPerS = mib / seconds;
    row.CpuAll = cpu / mib;
    row.CpuRx = (cpu - peerCpu.load()) / mib;
    row.Matches = r.Got.Matches;
    row.Intact = r.Got.Bytes == s.Bytes.size() && r.Got.HashValue == s.HashValue;
    row.HasThroughput = true;
}

void MeasureLatency(Receiver& r, int samples, Row& row) {
    r.Got.Reset(true);
    r.Got.Arrivals.reserve(static_cast<size_t>(samples));
    std::vector<Clock::time_point> sent(static_cast<size_t>(samples));
    std::atomic<size_t> handled{0}; // published by the GUI thread for the peer's pacing
    std::atomic<bool> failed{false};
    std::thread peer([&] {
        for (int i = 0; i < samples && !failed; ++i) {
            const auto deadline = Clock::now() + std::chrono::seconds(5);
            while (handled.load() < static_cast<size_t>(i)) {
                if (Clock::now() > deadline) {
                    failed = true;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            // Let the receiver fall asleep again; vary the gap a little so no period locks in.
            std::this_thread::sleep_for(std::chrono::microseconds(400 + (i % 7) * 50));
            const uint8_t b = 'x'; // starts none of the eight strings
            sent[static_cast<size_t>(i)] = Clock::now();
            if (::write(r.PeerFd(), &b, 1) != 1) failed = true;
        }
    });
    PumpUntil(
        [&] {
            handled = r.Got.Arrivals.size();
            return failed.load() || r.Got.Arrivals.size() >= static_cast<size_t>(samples);
        },
        60000);
    failed = failed.load() || r.Got.Arrivals.size() < static_cast<size_t>(samples);
    peer.join();
    if (failed) {
        if (row.Error.empty())
            row.Error = "latency: only " + std::to_string(r.Got.Arrivals.size()) + " bytes arrived";
        return;
    }
    std::vector<double> us;
    for (size_t i = 0; i < sent.size(); ++i)
        us.push_back(std::chrono::duration<double, std::micro>(r.Got.Arrivals[i] - sent[i]).count());
    std::sort(us.begin(), us.end());
    row.MedianUs = us[us.size() / 2];
    row.P99Us = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    row.HasLatency = true;
}

// A line at 921600 baud (8N1: 92160 bytes/s), fed in real time: the feeder writes the stream's bytes in
// 10 ms portions on a fixed schedule for the given seconds. The figure is the process CPU per second of
// line time, without the feeder thread's own.
void MeasureRealTime(Receiver& r, const Stream& s, int seconds, Row& row) {
    constexpr size_t BytesPerSecond = 92160;
    constexpr auto Portion = std::chrono::milliseconds(10);
    const size_t perPortion = BytesPerSecond / 100;
    const size_t total = std::min(s.Bytes.size(), BytesPerSecond * static_cast<size_t>(seconds));
    // A receiver that hashes on a thread of its own carries its hash on from the earlier phases.
    const uint64_t hashFrom = r.HashesAcrossPhases() ? r.Got.HashValue : HashStart;
    r.Got.Reset(false);
    std::atomic<double> peerCpu{0};
    std::atomic<bool> peerOk{true};
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    std::thread peer([&] {
        const double c0 = ThreadCpuSeconds();
        auto due = Clock::now();
        for (size_t pos = 0; pos < total && peerOk; pos += perPortion) {
            std::this_thread::sleep_until(due);
            peerOk = WriteAll(r.PeerFd(), s.Bytes.data() + pos, std::min(perPortion, total - pos));
            due += Portion;
        }
        peerCpu = ThreadCpuSeconds() - c0;
    });
    const bool complete = PumpUntil([&] { return r.Got.Bytes >= total; }, 60000);
    peer.join();
    const double cpu = ProcessCpuSeconds() - cpu0;
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    if (!complete || !peerOk) {
        if (row.Error.empty())
            row.Error = "real time: " + std::to_string(r.Got.Bytes) + " of " + std::to_string(total) + " bytes";
        return;
    }
    row.RtCpuPerS = (cpu - peerCpu.load()) / elapsed;
    row.RtIntact = r.Got.Bytes == total && r.Got.HashValue == Hash(hashFrom, s.Bytes.data(), total);
    row.HasRt = true;
}

double MeasureIdleWakeups(int seconds) {
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    const long s0 = ContextSwitches();
    const auto t0 = Clock::now();
    loop.exec();
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    // The GUI thread's own wait and its timer's wake-up are in every row alike (see the baseline).
    return static_cast<double>(ContextSwitches() - s0) / elapsed;
}

Row Run(Receiver& r, const Stream& s, const Options& o) {
    Row row;
    row.Name = r.Name();
    row.ExpectedMatches = s.Matches;
    row.Error = r.Open();
    if (row.Error.empty()) {
        MeasureThroughput(r, s, row);
        MeasureLatency(r, o.Samples, row);
        MeasureRealTime(r, s, o.RealTimeSeconds, row);
        // Idle last: a port that has carried traffic must settle back to sleep as well.
        row.WakeupsPerS = MeasureIdleWakeups(o.IdleSeconds);
        row.HasIdle = true;
    }
    r.Close();
    return row;
}

// Four receivers of one library open at once, each on a pseudo-terminal pair of its own with a feeder
// thread of its own; the feeders start together and write the whole stream flat out. MiB/s is the four
// streams' bytes from that start to the last byte handled on any port; CPU is the process's over that span,
// "rx" without the four feeders' own.
void MeasureFour(std::vector<std::unique_ptr<Receiver>>& rs, const Stream& s, Row& row) {
    for (auto& r : rs)
        r->Got.Reset(false);
    std::atomic<bool> go{false}, stop{false};
    std::array<double, FourPorts> feederCpu{};
    std::array<bool, FourPorts> fed{};
    std::vector<std::thread> feeders;
    for (size_t i = 0; i < rs.size(); ++i)
        feeders.emplace_back([&, i] {
            go.wait(false);
            const double c0 = ThreadCpuSeconds();
            fed[i] = FeedAll(rs[i]->PeerFd(), s.Bytes.data(), s.Bytes.size(), stop);
            feederCpu[i] = ThreadCpuSeconds() - c0;
        });
    const auto handled = [&] {
        uint64_t n = 0;
        for (const auto& r : rs)
            n += r->Got.Bytes;
        return n;
    };
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    go = true;
    go.notify_all();
    // A port that takes nothing more for 10 s while the others are done counts as stalled.
    const bool complete = PumpWhileMoving(
        [&] {
            return std::all_of(rs.begin(), rs.end(), [&](auto& r) { return r->Got.Bytes >= s.Bytes.size(); });
        },
        handled, 10000);
    stop = true;
    for (auto& f : feeders)
        f.join();
    const double cpu = ProcessCpuSeconds() - cpu0;
    std::string perPort;
    for (size_t i = 0; i < rs.size(); ++i)
        perPort += (i ? ", " : "") + std::to_string(rs[i]->Got.Bytes);
    if (!complete || std::count(fed.begin(), fed.begin() + static_cast<long>(rs.size()), false) > 0) {
        row.Error = std::string(complete ? "a feeder's write failed" : "stalled") + ": bytes per port " +
                    perPort + " of " + std::to_string(s.Bytes.size());
        return;
    }
    Clock::time_point last = t0;
    row.Intact = true;
    for (size_t i = 0; i < rs.size(); ++i) {
        const Sink& got = rs[i]->Got;
        last = std::max(last, got.LastAt);
        row.Matches += got.Matches;
        const bool whole = got.Bytes == s.Bytes.size() && got.HashValue == s.HashValue;
        row.Intact = row.Intact && whole;
        if (!whole || got.Matches != s.Matches)
            row.Error += (row.Error.empty() ? "" : "; ") + std::string("port ") + std::to_string(i + 1) +
                         ": " + std::to_string(got.Bytes) + " bytes" +
                         (whole ? " intact, " : " not intact, ") + std::to_string(got.Matches) + " matches";
    }
    double feeding = 0;
    for (size_t i = 0; i < rs.size(); ++i)
        feeding += feederCpu[i];
    const double mib = static_cast<double>(s.Bytes.size() * rs.size()) / MiB;
    row.MibPerS = mib / std::chrono::duration<double>(last - t0).count();
    row.CpuAll = cpu / mib;
    row.CpuRx = (cpu - feeding) / mib;
    row.HasThroughput = true;
}

using ReceiverFactory = std::function<std::unique_ptr<Receiver>(int index)>; // index: which of four

Row RunFour(const ReceiverFactory& make, const Stream& s) {
    Row row;
    row.ExpectedMatches = s.Matches * FourPorts;
    row.RtIntact = true; // no real-time phase here
    std::vector<std::unique_ptr<Receiver>> rs;
    for (int i = 0; i < FourPorts && row.Error.empty(); ++i) {
        rs.push_back(make(i));
        row.Name = rs.back()->Name();
        if (const std::string e = rs.back()->Open(); !e.empty())
            row.Error = "port " + std::to_string(i + 1) + ": " + e;
    }
    if (row.Error.empty()) MeasureFour(rs, s, row);
    for (auto& r : rs)
        r->Close();
    return row;
}

bool Sound(const Row& r) {
    return r.Error.empty() && r.Intact && r.RtIntact && r.Matches == r.ExpectedMatches;
}

// The median of one column over the runs that measured it; none when no run did.
template <class T>
std::optional<double> MedianOf(const std::vector<Row>& runs, T Row::*field, bool Row::*measured,
                               std::pair<double, double>* range = nullptr) {
    std::vector<double> v;
    for (const auto& r : runs)
        if (r.*measured) v.push_back(static_cast<double>(r.*field));
    if (v.empty()) return std::nullopt;
    std::sort(v.begin(), v.end());
    if (range) *range = {v.front(), v.back()};
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

std::string Cell(std::optional<double> v, const char* format) {
    if (!v) return "-";
    char b[32];
    std::snprintf(b, sizeof b, format, *v);
    return b;
}

bool Measured(const std::vector<Row>& runs) {
    return std::any_of(runs.begin(), runs.end(),
                       [](const Row& r) { return r.HasThroughput || r.HasLatency || r.HasRt || r.HasIdle; });
}

bool AllIntact(const std::vector<Row>& runs) {
    return std::all_of(runs.begin(), runs.end(), [](const Row& r) { return r.Intact && r.RtIntact; });
}

// Under a row: with several runs the spread of MiB/s and CPU s/MiB rx, then what went wrong in which run.
void PrintRowNotes(const std::vector<Row>& runs) {
    std::pair<double, double> mib, cpu;
    const auto measured =
        std::count_if(runs.begin(), runs.end(), [](const Row& r) { return r.HasThroughput; });
    if (runs.size() > 1 && MedianOf(runs, &Row::MibPerS, &Row::HasThroughput, &mib) &&
        MedianOf(runs, &Row::CpuRx, &Row::HasThroughput, &cpu))
        std::printf("%-20s   %td of %zu runs: MiB/s %.1f..%.1f, CPU s/MiB rx %.4f..%.4f\n", "", measured,
                    runs.size(), mib.first, mib.second, cpu.first, cpu.second);
    for (size_t k = 0; k < runs.size(); ++k) {
        const Row& r = runs[k];
        std::string what = r.Error;
        const auto add = [&](const std::string& more) { what += (what.empty() ? "" : "; ") + more; };
        if (r.HasThroughput && !r.Intact) add("stream not intact");
        if (r.HasRt && !r.RtIntact) add("real-time bytes not intact");
        if (r.HasThroughput && r.Matches != r.ExpectedMatches)
            add(std::to_string(r.Matches) + " matches of " + std::to_string(r.ExpectedMatches));
        if (what.empty()) continue;
        if (runs.size() > 1) what = "run " + std::to_string(k + 1) + ": " + what;
        std::printf("%-20s   (%s)\n", "", what.c_str());
    }
}

// A row none of whose runs measured anything.
void PrintFailed(const std::vector<Row>& runs) {
    if (runs.size() == 1) {
        std::printf("%-20s failed: %s\n", runs.front().Name.c_str(), runs.front().Error.c_str());
        return;
    }
    std::printf("%-20s failed in all %zu runs\n", runs.front().Name.c_str(), runs.size());
    PrintRowNotes(runs);
}

void PrintTable(const std::vector<std::vector<Row>>& rows, const Stream& s, const std::vector<Row>& baselines,
                const Options& o) {
    std::printf(
        "\nSerial comparison over pseudo-terminal pairs: %d MiB stream, 8 strings searched (%llu matches "
        "in the stream), %d latency samples, %d s idle",
        o.Mib, static_cast<unsigned long long>(s.Matches), o.Samples, o.IdleSeconds);
    if (o.Runs > 1) std::printf("; medians of %d runs", o.Runs);
    std::printf("\n\n");
    std::printf("%-20s %8s %11s %11s %8s %7s %10s %10s %10s %10s\n", "library", "MiB/s", "CPU s/MiB",
                "CPU s/MiB", "matches", "intact", "lat med", "lat p99", "wakeups/s", "CPU s/s");
    std::printf("%-20s %8s %11s %11s %8s %7s %10s %10s %10s %10s\n", "", "", "(rx)", "(all)", "", "", "(us)",
                "(us)", "(idle)", "(921600)");
    for (const auto& runs : rows) {
        if (!Measured(runs)) {
            PrintFailed(runs);
            continue;
        }
        std::printf("%-20s %8s %11s %11s %8s %7s %10s %10s %10s %10s\n", runs.front().Name.c_str(),
                    Cell(MedianOf(runs, &Row::MibPerS, &Row::HasThroughput), "%.1f").c_str(),
                    Cell(MedianOf(runs, &Row::CpuRx, &Row::HasThroughput), "%.4f").c_str(),
                    Cell(MedianOf(runs, &Row::CpuAll, &Row::HasThroughput), "%.4f").c_str(),
                    Cell(MedianOf(runs, &Row::Matches, &Row::HasThroughput), "%.0f").c_str(),
                    AllIntact(runs) ? "yes" : "NO",
                    Cell(MedianOf(runs, &Row::MedianUs, &Row::HasLatency), "%.0f").c_str(),
                    Cell(MedianOf(runs, &Row::P99Us, &Row::HasLatency), "%.0f").c_str(),
                    Cell(MedianOf(runs, &Row::WakeupsPerS, &Row::HasIdle), "%.2f").c_str(),
                    Cell(MedianOf(runs, &Row::RtCpuPerS, &Row::HasRt), "%.4f").c_str());
        PrintRowNotes(runs);
    }
    std::printf("%-20s %8s %11s %11s %8s %7s %10s %10s %10s\n", "no port (baseline)", "-", "-", "-", "-", "-",
                "-", "-", Cell(MedianOf(baselines, &Row::WakeupsPerS, &Row::HasIdle), "%.2f").c_str());
    std::printf(
        "\nrx: process CPU minus the peer thread's; all: with it. intact: every byte arrived, in order "
        "(hash of the stream).\nmatches should equal the stream's count. wakeups: context switches of the "
        "whole process per second.\nCPU s/s: process CPU (without the feeder's) per second of a 921600-baud "
        "line fed in real time, 10 ms portions, --rt seconds.\n");
}

void PrintFourTable(const std::vector<std::vector<Row>>& rows, const Stream& s, const Options& o) {
    std::printf(
        "\nFour ports at once: four receivers of each library, each on a pseudo-terminal pair of its own "
        "with a feeder\nthread of its own, the %d MiB stream into every port at the same time (%llu "
        "matches in all)",
        o.Mib, static_cast<unsigned long long>(s.Matches * FourPorts));
    if (o.Runs > 1) std::printf("; medians of %d runs", o.Runs);
    std::printf("\n\n");
    std::printf("%-20s %8s %11s %11s %8s %7s\n", "library", "MiB/s", "CPU s/MiB", "CPU s/MiB", "matches",
                "intact");
    std::printf("%-20s %8s %11s %11s %8s %7s\n", "", "(all 4)", "(rx)", "(all)", "(all 4)", "");
    for (const auto& runs : rows) {
        if (!Measured(runs)) {
            PrintFailed(runs);
            continue;
        }
        std::printf("%-20s %8s %11s %11s %8s %7s\n", runs.front().Name.c_str(),
                    Cell(MedianOf(runs, &Row::MibPerS, &Row::HasThroughput), "%.1f").c_str(),
                    Cell(MedianOf(runs, &Row::CpuRx, &Row::HasThroughput), "%.4f").c_str(),
                    Cell(MedianOf(runs, &Row::CpuAll, &Row::HasThroughput), "%.4f").c_str(),
                    Cell(MedianOf(runs, &Row::Matches, &Row::HasThroughput), "%.0f").c_str(),
                    AllIntact(runs) ? "yes" : "NO");
        PrintRowNotes(runs);
    }
    std::printf(
        "\nMiB/s: the four streams' bytes together, from the feeders' common start to the last byte handled "
        "on any port.\nrx: process CPU minus the four feeder threads'. intact: every port got the whole "
        "stream in order.\n");
}

int ArgValue(int argc, char** argv, const char* name, int fallback, int least = 1) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::max(least, std::atoi(argv[i + 1]));
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Options o;
    o.Mib = ArgValue(argc, argv, "--mb", o.Mib);
    o.Samples = ArgValue(argc, argv, "--samples", o.Samples);
    o.IdleSeconds = ArgValue(argc, argv, "--idle", o.IdleSeconds);
    o.RealTimeSeconds = ArgValue(argc, argv, "--rt", o.RealTimeSeconds);
    o.Four = ArgValue(argc, argv, "--four", 1, 0) != 0;
    o.Runs = ArgValue(argc, argv, "--runs", o.Runs);
    sx::TSxCustomComPort::SetExceptionHandler(
        [](const std::exception& e) { std::fprintf(stderr, "serial port: %s\n", e.what()); });

    const Stream s = MakeStream(o.Mib);
    // --only ini4zav|ser2net|qt|libserialport runs one library (for a profiler, say).
    std::string only;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
    std::vector<ReceiverFactory> libraries;
    if (only.empty() || only == "ini4zav")
        libraries.push_back(
            [](int i) { return std::make_unique<OurReceiver>(OurReceiver::Route::Local, ComNumber + i); });
    // --only ser2net: ours through ser2net on localhost, Telnet with the COM port option and raw.
    if (only.empty() || only == "ser2net") {
        libraries.push_back(
            [](int i) { return std::make_unique<OurReceiver>(OurReceiver::Route::Rfc2217, ComNumber + i); });
        libraries.push_back(
            [](int i) { return std::make_unique<OurReceiver>(OurReceiver::Route::RawTcp, ComNumber + i); });
    }
    if (only.empty() || only == "qt") libraries.push_back([](int) { return std::make_unique<QtReceiver>(); });
    if (only.empty() || only == "libserialport")
        libraries.push_back([](int) { return std::make_unique<SpReceiver>(); });

    // Round by round, every library in turn, so that a change in the machine's load falls on all alike.
    std::vector<std::vector<Row>> rows(libraries.size()), fourRows(o.Four ? libraries.size() : 0);
    std::vector<Row> baselines;
    for (int run = 0; run < o.Runs; ++run) {
        Row& baseline = baselines.emplace_back();
        baseline.WakeupsPerS = MeasureIdleWakeups(std::max(1, o.IdleSeconds / 2));
        baseline.HasIdle = true;
        for (size_t k = 0; k < libraries.size(); ++k)
            rows[k].push_back(Run(*libraries[k](0), s, o));
        for (size_t k = 0; k < fourRows.size(); ++k)
            fourRows[k].push_back(RunFour(libraries[k], s));
        if (o.Runs > 1) std::fprintf(stderr, "run %d of %d done\n", run + 1, o.Runs);
    }
    PrintTable(rows, s, baselines, o);
    if (o.Four) PrintFourTable(fourRows, s, o);
    // Any run of any library that lost, reordered or mis-counted bytes fails the whole.
    bool allSound = true;
    for (const auto* table : {&rows, &fourRows})
        for (const auto& runs : *table)
            allSound = allSound && std::all_of(runs.begin(), runs.end(), Sound);
    return allSound ? 0 : 1;
}
