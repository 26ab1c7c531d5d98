// The port component against a terminal server scripted byte by byte in the test: modem-line and
// line-error notifications reaching the status triggers, servers that refuse the COM port option,
// leave settings unanswered or do not speak Telnet at all, and names that reach no server.

#include "NetFixture.h"

#include "platform/ComMap.h"
#include "platform/QueueHandoff.h"
#include "serial/core/SxDispatcher.h"
#include "serial/device/SxDevices.h"
#include "serial/port/SxComPort.h"

#include <atomic>
#include <condition_variable>
#include <netdb.h>
#include <thread>
#include <mutex>
#include <set>

using namespace std::string_literals;

using namespace sx;
using namespace sxnet;

namespace {

constexpr uint16_t Com = 5;
constexpr int Deadline = 10000;
const std::string IAC = "\xff";

class ScriptedServerTest : public ::testing::Test {
protected:
    void SetUp() override { plat::ClearComDevices(); }
    void TearDown() override
    {
        EXPECT_TRUE(gui.PumpUntil([] { return TSxCustomComPort::PendingReleases() == 0; }, Deadline));
        plat::ClearComDevices();
    }
    void Map(const std::string& scheme, int port) { plat::SetComDevice(Com, scheme + "://127.0.0.1:" + std::to_string(port)); }
    bool PumpUntil(const std::function<bool()>& pred) { return gui.PumpUntil(pred, Deadline); }
    plat::QueueHandoff gui;
};

} // namespace

// The server confirms everything, then reports a CTS drop and a framing error: a status trigger
// on CTS and one on framing errors fire as from a local port, the modem status shows the change,
// and line data around the notifications (0xFF doubled by the server) arrives intact.
TEST_F(ScriptedServerTest, ModemLineAndLineErrorNotificationsFireTheStatusTriggers)
{
    std::atomic<bool> sawData{false};
    std::string fromClient;
    ScriptedServer server([&](int fd) {
        fromClient = ConfirmingServer(fd, [](const ClientStream& c) { return c.Data.find("go") != std::string::npos; });
        sawData = true;
        // CTS off (DSR and DCD on, CTS changed), then data, a framing error and more data.
        SendBytes(fd, "ab" + Sub(107, "\xa1") + "c\xff\xff" "d" + Sub(106, "\x08") + "e");
        ReadUntil(fd, [](const std::string&) { return false; }, Deadline); // until the client closes
    });
    Map("rfc2217", server.Port);
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    std::vector<std::string> seen;
    port.SetOnTriggerModemStatus([&](TSxCustomComPort&) { seen.push_back("modem"); });
    port.SetOnTriggerLineError([&](TSxCustomComPort&, uint16_t error, bool brk) {
        seen.push_back("error " + std::to_string(error) + (brk ? " break" : ""));
    });
    port.SetOpen(true);
    EXPECT_EQ(port.OpenNote(), "");
    EXPECT_TRUE(port.CTS());
    const int32_t modem = port.NewStatusTrigger(1);
    port.ArmStatusTrigger(modem, msCTS, true);
    const int32_t errors = port.NewStatusTrigger(2);
    port.ArmStatusTrigger(errors, 4 /* framing */, true);
    port.PutString("go");

    std::string got;
    ASSERT_TRUE(PumpUntil([&] {
        while (port.InputUsed() > 0) got += static_cast<char>(port.GetChar());
        return got.size() >= 6 && seen.size() >= 2;
    })) << got << " " << seen.size();
    EXPECT_EQ(got, "abc\xff" "de");
    EXPECT_EQ(seen, (std::vector<std::string>{"modem", "error 4"}));
    EXPECT_FALSE(port.CTS());
    EXPECT_TRUE(port.DSR());

    // What the client asked for at open: both state masks, the line at 19200 8N1, DTR and RTS on.
    const ClientStream c = ClientStream::Parse(fromClient);
    std::set<std::pair<int, std::string>> cmds(c.Commands.begin(), c.Commands.end());
    for (const auto& want : std::vector<std::pair<int, std::string>>{
             {10, "\x1e"}, {11, "\xff"}, {1, std::string("\x00\x00\x4b\x00", 4)}, {2, "\x08"}, {3, "\x01"},
             {4, "\x01"}, {5, "\x08"}, {5, "\x0b"}, {5, "\x01"}})
        EXPECT_TRUE(cmds.count(want)) << "command " << want.first;
    EXPECT_NE(c.Negotiation.find("\xff\xfb\x2c"), std::string::npos);
    EXPECT_NE(c.Negotiation.find("\xff\xfd\x00"s), std::string::npos);
    port.SetOpen(false);
}

// Servers that do not play along: the open succeeds every time, with a line in the port's log.
TEST_F(ScriptedServerTest, ServersThatRefuseOrIgnoreTheOptionStillGiveAWorkingPort)
{
    struct Case {
        const char* What;
        std::string Greeting;          // sent once the client's request arrived
        bool AnswerSettings;
        const char* Note;              // in the port's log
        std::string WireForFF;         // how the client's 0xFF must arrive
    };
    const Case cases[] = {
        {"refuses the option", "\xff\xfe\x2c\xff\xfb\x00\xff\xfd\x00"s, false, "refused the COM port option", "\xff\xff"},
        {"leaves settings unanswered", "\xff\xfd\x2c\xff\xfb\x00\xff\xfd\x00"s, false, "did not confirm", "\xff\xff"},
        {"is no Telnet server", "", false, "did not answer the Telnet negotiation", "\xff"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.What);
        std::string received;
        ScriptedServer server([&](int fd) {
            ReadUntil(fd, [](const std::string& s) { return s.find("\xff\xfb\x2c") != std::string::npos; });
            if (!k.Greeting.empty()) SendBytes(fd, k.Greeting);
            received = ReadUntil(fd, [](const std::string& s) { return s.find("END") != std::string::npos; });
            SendBytes(fd, "ok\xff\xff");
            ReadUntil(fd, [](const std::string&) { return false; }, Deadline);
        });
        Map("rfc2217", server.Port);
        TSxComPort port(&gui);
        port.SetComNumber(Com);
        port.SetOpen(true);
        EXPECT_NE(port.OpenNote().find(k.Note), std::string::npos) << port.OpenNote();
        port.SetBaud(9600); // does not hang either
        port.PutString("x\xffyEND");
        std::string got;
        EXPECT_TRUE(PumpUntil([&] {
            while (port.InputUsed() > 0) got += static_cast<char>(port.GetChar());
            return got.find("ok") != std::string::npos && got.size() >= (k.WireForFF.size() == 2 ? 3u : 4u);
        })) << got;
        EXPECT_EQ(got, k.WireForFF.size() == 2 ? std::string("ok\xff") : std::string("ok\xff\xff"));
        EXPECT_NE(received.find("x" + k.WireForFF + "yEND"), std::string::npos);
        port.SetOpen(false);
    }
}

// Names that reach no server fail the open as a missing port does; where the device knows why
// (refused, unknown host), the exception says so.
TEST_F(ScriptedServerTest, NamesThatReachNoServerFailLikeAMissingPort)
{
    const std::string closed = "127.0.0.1:" + std::to_string(FreePort());
    const std::pair<std::string, std::string> cases[] = {
        {"rfc2217://" + closed, "server " + closed + ": Connection refused"},
        {"tcp://" + closed, "server " + closed + ": Connection refused"},
        {"rfc2217://no-such-host.invalid:2217", "host no-such-host.invalid: "},
        {"tcp://127.0.0.1", ""},
        {"tcp://:4000", ""},
        {"rfc2217://127.0.0.1:99999", ""},
        {"tcp://[::1:4000", ""},
    };
    for (const auto& [name, why] : cases) {
        SCOPED_TRACE(name);
        plat::SetComDevice(Com, name);
        TSxComPort port(&gui);
        port.SetComNumber(Com);
        try {
            port.SetOpen(true);
            ADD_FAILURE() << "opened";
        } catch (const ESxException& e) {
            EXPECT_EQ(e.ResultCode, -2001);
            if (!why.empty()) {
                EXPECT_EQ(std::string(e.what()).rfind(why, 0), 0u) << e.what();
            }
        }
        EXPECT_FALSE(port.Open());
    }
}

// A name service that does not answer holds the open (on the GUI thread) no longer than a dead
// server does: the open fails after the connect time-out and says why; the lookup, when it
// finally returns, is dropped.
TEST_F(ScriptedServerTest, ANameServiceThatDoesNotAnswerCostsTheOpenOnlyTheConnectTimeOut)
{
    static std::mutex m;
    static std::condition_variable cv;
    static bool released = false;
    static std::atomic<int> finished{0};
    released = false;
    auto slow = [](const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
        {
            std::unique_lock<std::mutex> lk(m);
            cv.wait(lk, [] { return released; });
        }
        const int r = ::getaddrinfo("127.0.0.1", service, hints, result); // a list the port must free
        ++finished;
        (void)host;
        return r;
    };
    const SxHostLookup old = SxSetHostLookup(slow);
    // Released at the latest after 20 s, so that a port that waits for the lookup fails instead of hanging.
    std::thread release([] {
        std::unique_lock<std::mutex> lk(m);
        cv.wait_for(lk, std::chrono::seconds(20), [] { return released; });
        released = true;
        cv.notify_all();
    });
    plat::SetComDevice(Com, "tcp://dead-dns.example:4000");
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    const auto t0 = std::chrono::steady_clock::now();
    try {
        port.SetOpen(true);
        ADD_FAILURE() << "opened";
    } catch (const ESxException& e) {
        EXPECT_EQ(e.ResultCode, -2001);
        EXPECT_EQ(std::string(e.what()), "host dead-dns.example: no answer from the name service in time");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));
    {
        std::lock_guard<std::mutex> g(m);
        released = true;
    }
    cv.notify_all();
    release.join();
    EXPECT_TRUE(gui.PumpUntil([] { return finished.load() == 1; }, Deadline));
    SxSetHostLookup(old);
}

// The port selection dialog lists a port on a terminal server without connecting to it: a probe would
// take seconds on a dead server and could push an engineer's running session off the server.
TEST_F(ScriptedServerTest, ThePortProbeListsANetworkPortWithoutConnecting)
{
    plat::SetComDevice(Com, "tcp://127.0.0.1:" + std::to_string(FreePort()));
    EXPECT_EQ(SxProbePort(Com), 0);
}

// The server asks the port to stop sending (FLOWCONTROL-SUSPEND): output waits, without being lost,
// until the server resumes. The server looks for the held bytes for a while before it resumes; a
// port that ignored the request would have sent them by then.
TEST_F(ScriptedServerTest, OutputWaitsWhileTheServerHasSuspendedIt)
{
    std::atomic<bool> done{false};
    std::string early, later;
    ScriptedServer server([&](int fd) {
        ConfirmingServer(fd, [](const ClientStream& c) { return c.Data.find("go") != std::string::npos; });
        SendBytes(fd, Sub(108, "") + "s");
        early = ReadUntil(fd, [](const std::string& s) { return s.find("abc") != std::string::npos; }, 300);
        SendBytes(fd, Sub(109, ""));
        later = ReadUntil(fd, [](const std::string& s) { return s.find("abc") != std::string::npos; });
        done = true;
        ReadUntil(fd, [](const std::string&) { return false; }, Deadline);
    });
    Map("rfc2217", server.Port);
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    port.SetOpen(true);
    port.PutString("go");
    ASSERT_TRUE(PumpUntil([&] { return port.InputUsed() > 0; }));
    EXPECT_EQ(port.GetChar(), 's');
    port.PutString("abc");
    ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
    EXPECT_EQ(early.find("abc"), std::string::npos) << "sent while suspended";
    EXPECT_NE(later.find("abc"), std::string::npos) << "not sent after the resume";
    port.SetOpen(false);
}

// A break on a terminal server travels as SET-CONTROL break on (5) and off (6), in order with the data
// around it; a port closed during a break lets the server's line go first. A raw TCP port cannot ask for
// a break: refused with a German text, the line goes on.
TEST_F(ScriptedServerTest, BreakTravelsAsSetControlInOrderWithTheData)
{
    std::string fromClient;
    {
        ScriptedServer server([&](int fd) {
            fromClient = ConfirmingServer(fd, [](const ClientStream&) { return false; }); // until the close
        });
        Map("rfc2217", server.Port);
        TSxComPort port(&gui);
        port.SetComNumber(Com);
        port.SetOpen(true);
        port.PutString("ab");
        port.SetBreak(true);
        port.SetBreak(false);
        port.PutString("cd");
        port.SetBreak(true);
        port.SetOpen(false);
    }
    const std::string on = Sub(5, "\x05"), off = Sub(5, "\x06");
    const size_t ab = fromClient.find("ab"), on1 = fromClient.find(on), off1 = fromClient.find(off);
    const size_t cd = fromClient.find("cd"), on2 = fromClient.find(on, on1 + 1), off2 = fromClient.find(off, off1 + 1);
    ASSERT_NE(off2, std::string::npos) << "no break off at the close";
    EXPECT_TRUE(ab < on1 && on1 < off1 && off1 < cd && cd < on2 && on2 < off2);

    std::atomic<bool> rawDone{false};
    std::string rawGot;
    ScriptedServer raw([&](int fd) {
        rawGot = ReadUntil(fd, [](const std::string& s) { return s == "xy"; });
        rawDone = true;
        ReadUntil(fd, [](const std::string&) { return false; }, Deadline);
    });
    Map("tcp", raw.Port);
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    port.SetOpen(true);
    port.PutString("x");
    try {
        port.SetBreak(true);
        ADD_FAILURE() << "a break on raw TCP was taken";
    } catch (const EBreakNotSupported& e) {
        EXPECT_EQ(e.Message(), "\xFC" "ber diese Verbindung kann kein Break gesendet werden");
    }
    port.PutString("y");
    ASSERT_TRUE(PumpUntil([&] { return rawDone.load(); }));
    EXPECT_EQ(rawGot, "xy");
    port.SetOpen(false);
}
