// The dispatcher over pseudo-terminal pairs: the kernel's tty path through the termios back end.
#include "SxTestSupport.h"

#include "platform/QueueHandoff.h"
#include "serial/errors/SxErrors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <random>
#include <thread>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace sx;
using namespace sxtest;

namespace {

constexpr int Deadline = 20000;

// A pseudo-terminal: the test holds the master, the dispatcher opens the slave by its path.
class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) slave_ = ::ptsname(master_);
    }
    ~Pty() {
        if (holder_ >= 0) ::close(holder_);
        CloseMaster();
    }
    bool Ok() const { return master_ >= 0 && !slave_.empty(); }
    const std::string& Slave() const { return slave_; }
    // A descriptor of the slave's own, taken before the port opens it (the port then makes it
    // exclusive): through it the far end stops the slave's output and lets it go again, as flow
    // control does. While stopped the kernel takes not a single byte from the port.
    bool TakeFlowControl() {
        holder_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return holder_ >= 0;
    }
    bool StopOutput() { return ::tcflow(holder_, TCOOFF) == 0; }
    bool ResumeOutput() { return ::tcflow(holder_, TCOON) == 0; }
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    void Write(const std::string& s) {
        size_t done = 0;
        while (done < s.size()) {
            const ssize_t w = ::write(master_, s.data() + done, s.size() - done);
            if (w <= 0) return;
            done += static_cast<size_t>(w);
        }
    }
    // Reads n bytes; gives up when nothing came for timeoutMs (a long stream on a busy machine takes
    // what it takes).
    std::string Read(size_t n, int timeoutMs) {
        std::string s;
        char buf[65536];
        while (s.size() < n) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) break;
            const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - s.size()));
            if (r <= 0) break;
            s.append(buf, static_cast<size_t>(r));
        }
        return s;
    }

private:
    int master_ = -1;
    int holder_ = -1;
    std::string slave_;
};

// A thread that writes s to the pty's far end in chunks of 1 to 6000 bytes (sizes drawn from seed).
std::thread WriteInChunks(Pty& pty, const std::string& s, unsigned seed) {
    return std::thread([&pty, &s, seed] {
        std::mt19937 rng(seed);
        for (size_t pos = 0; pos < s.size();) {
            const size_t n = std::min<size_t>(1 + rng() % 6000, s.size() - pos);
            pty.Write(s.substr(pos, n));
            pos += n;
        }
    });
}

std::string Pattern(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

// Voluntary context switches (each a wake-up after a wait) of the ports' threads, in all.
long PortThreadWakeups() {
    long n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            const std::string task = std::string("/proc/self/task/") + e->d_name;
            std::string name;
            std::getline(std::ifstream(task + "/comm"), name);
            if (name.rfind("sx-", 0) != 0) continue;
            std::ifstream status(task + "/status");
            for (std::string line; std::getline(status, line);)
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0) n += std::atol(line.c_str() + 24);
        }
        ::closedir(dir);
    }
    return n;
}

int Open(TSxBaseDispatcher& d, const std::string& path) {
    return d.Open(path, 115200, 0, 8, 1, 4096, 4096, true, true);
}

// Whether a status trigger fired, for a log's wait.
std::function<bool(const std::vector<Msg>&)> Fired(int32_t handle) {
    return [handle](const std::vector<Msg>& msgs) {
        return std::any_of(msgs.begin(), msgs.end(), [&](const Msg& m) {
            return m.Code == smStatus && m.First == static_cast<uint32_t>(handle);
        });
    };
}

// Stops the far end's intake (the pseudo-terminal's output stopped) and fills the port's output ring
// behind it: all of it stays in the ring until the far end lets it go. Returns what was queued.
std::string QueueWhileHeldBack(Pty& pty, TSxBaseDispatcher& d) {
    if (!pty.StopOutput()) return {};
    const std::string block = Pattern(static_cast<size_t>(d.OutputFree()), 7);
    if (d.PutBlock(block.data(), static_cast<int>(block.size())) != 0) return {};
    return block;
}

} // namespace

TEST(PtyDispatcher, DataBothWaysAndAPtyCountsAsAlwaysReady) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    plat::QueueHandoff gui;
    MsgLog log; // outlives the dispatcher's threads
    std::string received;
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d, pty.Slave()), 0);
    // No modem lines on a pseudo-terminal: CTS, DSR and DCD read as on.
    EXPECT_EQ(d.ModemStatus() & 0xF0, msCTS | msDSR | msDCD);
    EXPECT_EQ(d.SetDTR(false), 0);
    // The program's own flow settings: RTS/CTS handshake, which a pseudo-terminal accepts and ignores.
    ASSERT_EQ(d.SetHardFlow(3686, 409, hwfUseRTS | hwfRequireCTS), 0);
    EXPECT_EQ(d.SetRTS(false), 1);

    const int32_t ok = d.NewDataTrigger("OK", false);
    d.AddProcedureHandler([&](uint16_t msg, uint32_t first, uint32_t second) {
        if (msg == smAvail) {
            std::lock_guard<std::mutex> g(log.Lock());
            uint8_t c;
            for (uint32_t i = 0; i < first && d.GetChar(c) == 0; ++i) received.push_back(static_cast<char>(c));
        }
        log.Add(msg, first, second);
    });
    d.SetAvailLevel(1);
    pty.Write("xxOK");
    ASSERT_TRUE(log.WaitFor([&](const auto&) { return received == "xxOK"; }, Deadline)) << received;
    const auto msgs = log.Snapshot();
    EXPECT_NE(std::find(msgs.begin(), msgs.end(), Msg{smData, static_cast<uint32_t>(ok), 2}), msgs.end());

    ASSERT_EQ(d.PutBlock("ATZ\r", 4), 0);
    EXPECT_EQ(pty.Read(4, Deadline), "ATZ\r");
    // Line settings reach the device.
    EXPECT_EQ(d.SetLine(9600, 2, 7, 2), 0);
    int32_t baud;
    uint8_t parity, bits, stop;
    EXPECT_EQ(d.GetLine(baud, parity, bits, stop), 0);
    EXPECT_EQ(baud, 9600);
    EXPECT_EQ(parity, 2);
    EXPECT_EQ(bits, 7);
    EXPECT_EQ(stop, 2);
    EXPECT_EQ(d.SetLine(12345, 5, 9, 3), ecBaudRate);
}

TEST(PtyDispatcher, OpenFailuresBecomeResultCodes) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    plat::QueueHandoff gui;
    TSxBaseDispatcher a(nullptr, &gui), b(nullptr, &gui);
    ASSERT_EQ(Open(a, pty.Slave()), 0);
    EXPECT_EQ(Open(b, pty.Slave()), ecAlreadyOpen);
    EXPECT_FALSE(b.IsOpen());
    EXPECT_EQ(Open(b, "/dev/ini4zav-no-such-port"), ecBadId);
    // A file that is not a terminal is no port either, and is said to be a file, whatever its mode.
    char tmpl[] = "/tmp/ini4zav-notatty-XXXXXX";
    const int fd = ::mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(Open(b, tmpl), ecIsRegularFile);
    ::chmod(tmpl, 0);
    EXPECT_EQ(Open(b, tmpl), ecIsRegularFile);
    ::unlink(tmpl);
    a.Close();
    EXPECT_EQ(Open(b, pty.Slave()), 0);
}

TEST(PtyDispatcher, HangupClosesThePortFromTheGuiThread) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    plat::QueueHandoff gui;
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d, pty.Slave()), 0);
    bool lost = false;
    std::string last;
    d.SetOnDeviceLost([&] {
        uint8_t c;
        while (d.GetChar(c) == 0) last.push_back(static_cast<char>(c));
        lost = true;
        d.Close();
    });
    pty.Write("bye");
    ASSERT_TRUE(Eventually([&] { return d.InputUsed() == 3; }, Deadline));
    pty.CloseMaster(); // the kernel drops what the slave had not read yet; what we read stays
    ASSERT_TRUE(gui.PumpUntil([&] { return lost && !d.ThreadsRunning(); }, Deadline));
    EXPECT_EQ(last, "bye");
    EXPECT_TRUE(d.DeviceLost());
    EXPECT_FALSE(d.IsOpen());
}

// Megabytes in both directions at once, in random chunks, with data triggers armed: every byte
// arrives once and in order.
TEST(PtyDispatcher, StreamsMegabytesWithoutLosingOrDuplicatingAByte) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    plat::QueueHandoff gui;
    MsgLog log; // outlives the dispatcher's threads
    std::string received;
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d, pty.Slave()), 0);
    for (const char* t : {"OK", "ERROR", "CONNECT", "RING", "NO CARRIER", "BUSY", "\r\n", "\x10\x02"})
        ASSERT_GT(d.NewDataTrigger(t, true), 0);

    const std::string in = Pattern(3 << 20, 1);
    const std::string out = Pattern(1 << 20, 2);
    received.reserve(in.size());
    d.AddProcedureHandler([&](uint16_t msg, uint32_t first, uint32_t) {
        if (msg != smAvail) return;
        {
            std::lock_guard<std::mutex> g(log.Lock());
            uint8_t c;
            for (uint32_t i = 0; i < first && d.GetChar(c) == 0; ++i) received.push_back(static_cast<char>(c));
        }
        log.Notify();
    });
    d.SetAvailLevel(1);

    std::thread writer = WriteInChunks(pty, in, 3);
    std::string echoed;
    std::thread reader([&] { echoed = pty.Read(out.size(), Deadline); });

    std::mt19937 rng(4);
    for (size_t pos = 0; pos < out.size();) {
        const int n = static_cast<int>(std::min<size_t>(1 + rng() % 4096, out.size() - pos));
        ASSERT_TRUE(Eventually([&] { return d.PutBlock(out.data() + pos, n) == 0; }, Deadline));
        pos += static_cast<size_t>(n);
    }
    writer.join();
    reader.join();
    // received is the handler's, guarded by the log's lock, under which the log's waits look.
    const auto logWait = [&](const std::function<bool()>& pred, int ms) {
        return log.WaitFor([&](const auto&) { return pred(); }, ms);
    };
    ASSERT_TRUE(WaitWhileProgressing(
        logWait, [&] { return received.size() >= in.size(); }, [&] { return received.size(); }, Deadline))
        << received.size();
    EXPECT_TRUE(received == in) << "received bytes differ from the bytes sent";
    EXPECT_EQ(echoed.size(), out.size());
    EXPECT_TRUE(echoed == out) << "bytes written differ from the bytes queued";
}

// A stream through the GUI thread's path: a window takes each notification's bytes in one block and
// counts the strings found, while the dispatch thread reads ahead and the runs go on with what it
// read. Every byte arrives once and in order, and each string is found as often as a trigger fed
// the whole stream at once finds it.
TEST(PtyDispatcher, StreamsMegabytesToAWindowWithEveryStringFound) {
    struct Counter : ISxWindow {
        TSxBaseDispatcher* D = nullptr;
        std::string Received;
        std::map<uint32_t, int> Found;
        void HandleMessage(uint16_t msg, uint32_t first, uint32_t) override {
            if (msg == smData) {
                ++Found[first];
                return;
            }
            std::string bytes(first, '\0');
            const int n = D->GetBlock(reinterpret_cast<uint8_t*>(bytes.data()), static_cast<int>(first));
            Received.append(bytes, 0, static_cast<size_t>(std::max(n, 0)));
        }
    };
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    plat::QueueHandoff gui;
    Counter w;
    TSxBaseDispatcher d(nullptr, &gui);
    w.D = &d;
    ASSERT_EQ(Open(d, pty.Slave()), 0);
    std::string in = Pattern(2 << 20, 5);
    std::mt19937 rng(6);
    const std::vector<std::string> texts = {"OK", "ERROR", "CONNECT", "RING", "NO CARRIER", "\r\n"};
    for (size_t pos = 0; pos + 16 < in.size(); pos += 200 + rng() % 3000) // plant them, some in lower case
        for (char c : texts[rng() % texts.size()]) in[pos++] = (rng() % 2) ? c : static_cast<char>(std::tolower(c));
    std::map<uint32_t, int> expected;
    for (const auto& t : texts) {
        const int32_t handle = d.NewDataTrigger(t, true);
        ASSERT_GT(handle, 0);
        TSxDataTrigger reference(handle, t, true);
        for (char c : in) expected[static_cast<uint32_t>(handle)] += reference.Offer(static_cast<uint8_t>(c));
    }
    d.AddWindowHandler(&w);
    d.NotePortHandlers(1);
    d.SetAvailLevel(1);
    std::thread writer = WriteInChunks(pty, in, 7);
    const bool all = WaitWhileProgressing(
        [&](const std::function<bool()>& pred, int ms) { return gui.PumpUntil(pred, ms); },
        [&] { return w.Received.size() >= in.size(); }, [&] { return w.Received.size(); }, Deadline);
    writer.join();
    ASSERT_TRUE(all) << w.Received.size() << " of " << in.size();
    EXPECT_TRUE(w.Received == in) << "received bytes differ from the bytes sent";
    EXPECT_EQ(w.Found, expected);
}

// Output levels are looked at when output moves, not by polling: with output triggers armed, an idle
// port's threads sleep; queued output fires "output sent" at once, and "output used <= 0" fires when
// the far end, which held the output back, takes the last byte.
TEST(PtyDispatcher, OutputTriggersFireWhenOutputMovesAndAnIdlePortSleeps) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    ASSERT_TRUE(pty.TakeFlowControl());
    plat::QueueHandoff gui;
    MsgLog log;
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d, pty.Slave()), 0);
    d.AddProcedureHandler([&](uint16_t msg, uint32_t first, uint32_t second) { log.Add(msg, first, second); });
    const int32_t sent = d.NewStatusTrigger(stOutSent);
    const int32_t drained = d.NewStatusTrigger(stOutBuffUsed);
    ASSERT_EQ(d.ArmStatusTrigger(sent, 0, true), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the arming's round is over
    const long before = PortThreadWakeups();
    ASSERT_GT(before, 0) << "the port's threads are not to be found by name";
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_LT(PortThreadWakeups() - before, 3) << "the dispatch thread polls (one wake-up every 50 ms would be 12)";

    ASSERT_EQ(d.PutBlock("AT\r", 3), 0);
    ASSERT_TRUE(log.WaitFor(Fired(sent), Deadline));

    const std::string queued = "AT\r" + QueueWhileHeldBack(pty, d);
    ASSERT_GT(queued.size(), 3u);
    ASSERT_EQ(d.ArmStatusTrigger(drained, 0, true), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(Fired(drained)(log.Snapshot()));
    ASSERT_TRUE(pty.ResumeOutput());
    EXPECT_EQ(pty.Read(queued.size(), Deadline), queued);
    EXPECT_TRUE(log.WaitFor(Fired(drained), Deadline));
}

// A pseudo-terminal takes the kernel's break calls and sends nothing, not even a byte: a break there is
// refused with its own code instead of being reported as sent. A break also waits for the output queued
// before it; output the far end holds back refuses it. The line goes on unchanged after both.
TEST(PtyDispatcher, BreakGoesAfterTheQueuedOutputOrIsRefused) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    ASSERT_TRUE(pty.TakeFlowControl());
    plat::QueueHandoff gui;
    MsgLog log; // outlives the dispatcher's threads
    TSxBaseDispatcher d(nullptr, &gui);
    ASSERT_EQ(Open(d, pty.Slave()), 0);
    d.AddProcedureHandler([&](uint16_t msg, uint32_t first, uint32_t second) { log.Add(msg, first, second); });
    const std::string queued = QueueWhileHeldBack(pty, d);
    ASSERT_FALSE(queued.empty());
    EXPECT_EQ(d.SetBreak(true), ecOutputStalled);
    const int32_t drained = d.NewStatusTrigger(stOutBuffUsed);
    ASSERT_EQ(d.ArmStatusTrigger(drained, 0, true), 0);
    ASSERT_TRUE(pty.ResumeOutput());
    EXPECT_EQ(pty.Read(queued.size(), Deadline), queued);
    // The far end has every byte once the last write returned; the output thread counts them as gone
    // only after that, so the room for the next block is there when the ring says it is empty.
    ASSERT_TRUE(log.WaitFor(Fired(drained), Deadline));

    ASSERT_EQ(d.PutBlock("ab", 2), 0);
    EXPECT_EQ(d.SetBreak(true), ecBreakNotSupported);
    EXPECT_EQ(d.SetBreak(false), 0);
    ASSERT_EQ(d.PutBlock("cd", 2), 0);
    EXPECT_EQ(pty.Read(4, Deadline), "abcd");
    d.Close();
    EXPECT_EQ(d.SetBreak(true), ecCommNotOpen);
}

