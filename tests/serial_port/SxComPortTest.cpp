// The port over a real pseudo-terminal: open and close, failures, properties while open, trigger
// events on the stand-in GUI thread, close during a delivery, triggers across a reopen.

#include "ChildProcess.h"
#include "PortFixture.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

using namespace sx;
using namespace sxtest;

namespace {

std::string Hex(int v)
{
    std::ostringstream o;
    o << std::hex << std::uppercase << v;
    return o.str();
}

// Records every trigger event of a port as text, and checks each runs on the GUI thread.
struct EventLog {
    std::vector<std::string> Items;
    std::thread::id Gui = std::this_thread::get_id();
    bool OffThread = false;

    void Add(const std::string& s)
    {
        if (std::this_thread::get_id() != Gui) OffThread = true;
        Items.push_back(s);
    }
    void Attach(TSxCustomComPort& port)
    {
        port.SetOnTrigger([this](TSxCustomComPort&, uint16_t msg, uint16_t h, uint16_t d) {
            Add("T" + Hex(msg) + ":" + std::to_string(h) + ":" + std::to_string(d));
        });
        port.SetOnTriggerData([this](TSxCustomComPort&, uint16_t h) { Add("Data " + std::to_string(h)); });
        port.SetOnTriggerTimer([this](TSxCustomComPort&, uint16_t h) { Add("Timer " + std::to_string(h)); });
        port.SetOnTriggerStatus([this](TSxCustomComPort&, uint16_t h) { Add("Status " + std::to_string(h)); });
        port.SetOnTriggerOutSent([this](TSxCustomComPort&) { Add("OutSent"); });
    }
};

std::string ReadFile(const std::string& name)
{
    std::ifstream f(name, std::ios::binary);
    std::ostringstream o;
    o << f.rdbuf();
    return o.str();
}

} // namespace

TEST_F(PortTest, OpensExchangesBytesAndClosesOverAPseudoTerminal)
{
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    int opened = 0, closed = 0;
    port.SetOnPortOpen([&](TSxCustomComPort& p) {
        ++opened;
        EXPECT_EQ(p.PortPhase(), phOpen);
    });
    port.SetOnPortClose([&](TSxCustomComPort&) { ++closed; });
    port.SetOpen(true);
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(opened, 1);
    ASSERT_NE(port.DispatcherIfOpen(), nullptr);

    // 19200 8N1 reaches the device.
    termios t = pty.Attr();
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CSTOPB);

    pty.Send("AT");
    ASSERT_TRUE(PumpUntil([&] { return port.InputUsed() == 2; }));
    EXPECT_EQ(port.GetChar(), 'A');
    EXPECT_EQ(port.GetChar(), 'T');
    EXPECT_THROW(port.GetChar(), EBufferIsEmpty);

    port.PutString("OK\r\n");
    port.PutChar('!');
    EXPECT_EQ(pty.Receive(5), "OK\r\n!");

    port.SetOpen(false);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.PortPhase(), phClosed);
    EXPECT_EQ(port.DispatcherIfOpen(), nullptr);
    EXPECT_EQ(closed, 1);
    // Closed means released: another port takes the device.
    TSxComPort other(&gui);
    other.SetComNumber(Com);
    other.SetOpen(true);
    EXPECT_TRUE(other.Open());
}

TEST_F(PortTest, FailedOpensLeaveThePortClosedWithoutDispatcher)
{
    TSxComPort holder(&gui);
    holder.SetComNumber(Com);
    holder.SetOpen(true);
    ASSERT_TRUE(holder.Open());

    struct Case {
        const char* What;
        std::function<void(TSxComPort&)> Setup;
        int Code;
    };
    const Case cases[] = {
        {"nonexistent device", [](TSxComPort& p) { p.SetComNumber(8); }, ecBadId},
        {"device held by another port", [](TSxComPort& p) { p.SetComNumber(Com); }, ecAlreadyOpen},
        {"no number, no prompt", [](TSxComPort& p) { p.SetPromptForPort(false); }, ecNoPortSelected},
        {"no number, nobody to ask", [](TSxComPort&) {}, ecNoPortSelected},
        {"telephony mode", [](TSxComPort& p) { p.SetComNumber(Com); p.SetTapiMode(tmOn); }, ecNotOpenedByTapi},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TSxComPort port(&gui);
        int opened = 0;
        port.SetOnPortOpen([&](TSxCustomComPort&) { ++opened; });
        c.Setup(port);
        try {
            port.SetOpen(true);
            ADD_FAILURE() << "opened";
        } catch (const ESxException& e) {
            EXPECT_EQ(e.ResultCode, c.Code) << e.what();
            EXPECT_EQ(e.Message(), ErrorMsg(c.Code));
        }
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(port.PortPhase(), phClosed);
        EXPECT_EQ(port.DispatcherIfOpen(), nullptr);
        EXPECT_EQ(opened, 0);
    }
    EXPECT_TRUE(holder.Open());
}

// A path mapped as a port that exists but is no serial line says what it is, rather than "does not exist".
TEST_F(PortTest, PathThatIsNoSerialLineSaysWhatItIs)
{
    char dirName[] = "/tmp/sxportXXXXXX";
    ASSERT_NE(mkdtemp(dirName), nullptr);
    const std::string dir = dirName;
    std::ofstream(dir + "/ttyFile") << "x";
    ASSERT_EQ(mkfifo((dir + "/ttyFifo").c_str(), 0600), 0);
    const struct {
        std::string Path;
        int Code;
        const char* Kind;
    } cases[] = {
        {dir + "/ttyFile", ecIsRegularFile, "gew\xF6hnliche Datei"},
        {dir + "/ttyFifo", ecIsFifo, "Pipe"},
        {dir, ecIsDirectory, "Verzeichnis"},
        {"/dev/null", ecNotSerialDevice, "Ger\xE4t"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        plat::SetComDevice(9, c.Path);
        TSxComPort port(&gui);
        port.SetComNumber(9);
        try {
            port.SetOpen(true);
            ADD_FAILURE() << "opened";
        } catch (const ENotSerialDevice& e) {
            EXPECT_EQ(e.ResultCode, c.Code);
            EXPECT_NE(e.Message().find(c.Kind), std::string::npos) << e.what();
            EXPECT_NE(e.Message().find("keine serielle Schnittstelle"), std::string::npos) << e.what();
        }
        EXPECT_FALSE(port.Open());
    }
    std::filesystem::remove_all(dir);
}

TEST_F(PortTest, DeviceHeldExclusivelyByAnotherProgramIsBusy)
{
    // Another program holds the line in exclusive mode. Exclusive mode does not keep out a privileged
    // process, so when the tests run as root the open is tried by a child running as "nobody" (who
    // is given the device, so that only its exclusive mode stands in the way).
    const int fd = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(pty.SlavePath.c_str(), Unprivileged().Uid, static_cast<gid_t>(-1)), 0);
    }
    const std::string result = AsUnprivilegedChild([] {
        plat::QueueHandoff childGui;
        TSxComPort port(&childGui);
        port.SetComNumber(Com);
        try {
            port.SetOpen(true);
            return std::string("opened a port held exclusively elsewhere");
        } catch (const EAlreadyOpen& e) {
            return std::to_string(e.ResultCode) + (port.Open() ? " but open" : " and closed");
        } catch (const std::exception& e) {
            return std::string("other failure: ") + e.what();
        }
    });
    EXPECT_EQ(result, "-2008 and closed");
    close(fd);
}

TEST_F(PortTest, BaudChangeReachesTheDeviceWhileOpen)
{
    // (A pseudo-terminal keeps 8N1 whatever is asked; the other line settings are checked on the
    // simulated line.)
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    port.SetOpen(true);
    port.SetBaud(9600);
    termios t = pty.Attr();
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_THROW(port.SetBaud(12345), EBaudRate);
    // The port still moves bytes after the change.
    port.PutString("x");
    EXPECT_EQ(pty.Receive(1), "x");
}

TEST_F(PortTest, TriggerEventsArriveInOrderOnTheGuiThread)
{
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    EventLog log;
    log.Attach(port);
    // The avail handler takes what it is told of.
    std::string taken;
    port.SetOnTriggerAvail([&](TSxCustomComPort& p, uint16_t count) {
        log.Add("Avail " + std::to_string(count));
        for (int i = 0; i < count; ++i) taken += static_cast<char>(p.GetChar());
    });
    port.SetOpen(true);
    const int32_t ok = port.Dispatcher().NewDataTrigger("OK", false);
    ASSERT_GT(ok, 0);

    pty.Send("xxOK");
    ASSERT_TRUE(PumpUntil([&] { return taken.size() == 4; })) << taken;
    const std::string h = std::to_string(ok);
    const std::vector<std::string> want = {"T7E01:2:2", "Avail 2", "T7E02:" + h + ":2", "Data " + h, "T7E01:2:2", "Avail 2"};
    EXPECT_EQ(log.Items, want);
    EXPECT_EQ(taken, "xxOK");
    EXPECT_FALSE(log.OffThread);

    // A status trigger: output sent. OnTrigger, then OnTriggerStatus, then the kind's event.
    log.Items.clear();
    const int32_t sent = port.NewStatusTrigger(stOutSent);
    port.ArmStatusTrigger(sent, 0, true);
    port.PutString("go");
    ASSERT_TRUE(PumpUntil([&] { return log.Items.size() >= 3; }));
    const std::string s = std::to_string(sent);
    EXPECT_EQ(log.Items, (std::vector<std::string>{"T7E04:" + s + ":0", "Status " + s, "OutSent"}));

    // A timer trigger of one tick.
    log.Items.clear();
    const int32_t timer = port.NewTimerTrigger();
    port.ArmTimerTrigger(timer, 1, true);
    ASSERT_TRUE(PumpUntil([&] { return log.Items.size() >= 2; }));
    const std::string tm = std::to_string(timer);
    EXPECT_EQ(log.Items, (std::vector<std::string>{"T7E03:" + tm + ":0", "Timer " + tm}));
    EXPECT_FALSE(log.OffThread);
    EXPECT_THROW(port.DropTrigger(4711 * 8), EBadTriggerHandle);
}

TEST_F(PortTest, CloseFromAHandlerCompletesAfterItAndStopsTheEvents)
{
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    EventLog log;
    log.Attach(port);
    int closes = 0;
    TPortPhase phaseInHandler = phOpen;
    port.SetOnPortClose([&](TSxCustomComPort&) { ++closes; });
    port.SetOnTriggerAvail([&](TSxCustomComPort& p, uint16_t count) {
        log.Add("Avail " + std::to_string(count));
        p.SetOpen(false);
        phaseInHandler = p.PortPhase();
    });
    port.SetOpen(true);
    const int32_t ok = port.Dispatcher().NewDataTrigger("OK", false);

    pty.Send("xxOK");
    ASSERT_TRUE(PumpUntil([&] { return port.PortPhase() == phClosed; }));
    EXPECT_EQ(phaseInHandler, phClosing);
    EXPECT_EQ(log.Items, (std::vector<std::string>{"T7E01:2:2", "Avail 2"}));
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(port.Open());

    // Reopened, the port has its data trigger back under the same handle.
    log.Items.clear();
    port.SetOnTriggerAvail({});
    port.SetOpen(true);
    pty.Send("OK");
    ASSERT_TRUE(PumpUntil([&] { return log.Items.size() >= 2; }));
    EXPECT_EQ(log.Items[1], "Data " + std::to_string(ok));
}

TEST_F(PortTest, OpenAskedForWhileClosingRunsAfterTheClose)
{
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    int opens = 0;
    port.SetOnPortOpen([&](TSxCustomComPort&) { ++opens; });
    port.SetOnTriggerAvail([&](TSxCustomComPort& p, uint16_t) {
        p.SetOpen(false);
        p.SetOpen(true); // remembered: runs once the close has finished
    });
    port.SetOpen(true);
    pty.Send("x");
    ASSERT_TRUE(PumpUntil([&] { return opens == 2; }));
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.PortPhase(), phOpen);
}

TEST_F(PortTest, CloseAskedForAfterAPendingOpenCancelsIt)
{
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    int opens = 0;
    port.SetOnPortOpen([&](TSxCustomComPort&) { ++opens; });
    port.SetOnTriggerAvail([&](TSxCustomComPort& p, uint16_t) {
        p.SetOpen(false);
        p.SetOpen(true);
        p.SetOpen(false); // the last word: the port stays closed
    });
    port.SetOpen(true);
    pty.Send("x");
    ASSERT_TRUE(PumpUntil([&] { return port.PortPhase() == phClosed || opens == 2; }));
    EXPECT_EQ(opens, 1);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.PortPhase(), phClosed);
}

TEST_F(PortTest, CloseFromTheFirstEventSkipsTheSpecificOne)
{
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    std::vector<std::string> seen;
    port.SetOnTrigger([&](TSxCustomComPort& p, uint16_t msg, uint16_t, uint16_t) {
        seen.push_back("T" + Hex(msg));
        p.SetOpen(false);
    });
    port.SetOnTriggerAvail([&](TSxCustomComPort&, uint16_t) { seen.push_back("Avail"); });
    port.SetOpen(true);
    pty.Send("x");
    ASSERT_TRUE(PumpUntil([&] { return port.PortPhase() == phClosed; }));
    EXPECT_EQ(seen, std::vector<std::string>{"T7E01"});
}

TEST_F(PortTest, ComNumberChangeWhileOpenMovesThePortWithItsTriggers)
{
    Pty second;
    plat::SetComDevice(9, second.SlavePath);
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    EventLog log;
    log.Attach(port);
    port.SetOpen(true);
    const int32_t ok = port.Dispatcher().NewDataTrigger("OK", false);
    port.SetComNumber(9);
    ASSERT_TRUE(port.Open());
    second.Send("OK");
    ASSERT_TRUE(PumpUntil([&] { return log.Items.size() >= 2; }));
    EXPECT_EQ(log.Items[1], "Data " + std::to_string(ok));
    // The first device is free again.
    TSxComPort other(&gui);
    other.SetComNumber(Com);
    other.SetOpen(true);
    EXPECT_TRUE(other.Open());
}

TEST_F(PortTest, OutputIsQueuedWhollyOrNotAtAll)
{
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    port.SetOpen(true);
    EXPECT_THROW(port.PutString(std::string(5000, 'x')), EOutputBufferTooSmall);
    EXPECT_EQ(port.OutputUsed(), 0);
    port.PutString(""); // nothing at all
    port.PutString("END");
    EXPECT_EQ(pty.Receive(3), "END"); // none of the rejected block went out before it
}

TEST_F(PortTest, AutoOpenOnFirstUse)
{
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    // Single-line reads and counters never open.
    EXPECT_FALSE(port.CTS());
    EXPECT_FALSE(port.DCD());
    EXPECT_EQ(port.InputUsed(), 0);
    EXPECT_EQ(port.OutputUsed(), 0);
    EXPECT_FALSE(port.Open());
    port.ModemStatus();
    EXPECT_TRUE(port.Open());

    TSxComPort manual(&gui);
    manual.SetComNumber(9);
    manual.SetAutoOpen(false);
    try {
        manual.PutString("x");
        ADD_FAILURE();
    } catch (const ECommNotOpen& e) {
        EXPECT_EQ(e.ResultCode, -2007);
    }
}

TEST_F(PortTest, ListenersHearOfOpenAndCloseInReverseOrder)
{
    static std::vector<std::string>* calls;
    std::vector<std::string> seen;
    calls = &seen;
    struct Win : ISxWindow {
        void HandleMessage(uint16_t msg, uint32_t, uint32_t) override { calls->push_back("W" + Hex(msg)); }
    } win;
    auto first = [](TSxCustomComPort&, bool opening, void* data) {
        calls->push_back(std::string(static_cast<const char*>(data)) + (opening ? "+" : "-"));
    };
    auto second = [](TSxCustomComPort&, bool opening, void*) { calls->push_back(opening ? "B+" : "B-"); };
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    port.AddOpenCloseListener(first, const_cast<char*>("A"));
    port.AddOpenCloseListener(&win);
    port.AddOpenCloseListener(second, nullptr);
    port.SetOnPortOpen([&](TSxCustomComPort&) { seen.push_back("OnPortOpen"); });
    port.SetOnPortClose([&](TSxCustomComPort&) { seen.push_back("OnPortClose"); });
    port.SetOpen(true);
    port.SetOpen(false);
    EXPECT_EQ(seen, (std::vector<std::string>{"B+", "W7E08", "A+", "OnPortOpen", "B-", "W7E09", "A-", "OnPortClose"}));
    seen.clear();
    port.RemoveOpenCloseListener(second);
    port.RemoveOpenCloseListener(&win);
    port.SetOpen(true);
    EXPECT_EQ(seen, (std::vector<std::string>{"A+", "OnPortOpen"}));
}

TEST_F(PortTest, AssignCopiesSettingsEventsAndTheTriggersOfAnOpenPort)
{
    TSxComPort source(&gui);
    source.SetComNumber(Com);
    source.SetBaud(38400);
    source.SetStopBits(2);
    source.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
    source.SetLogHex(false);
    EventLog log;
    log.Attach(source);
    source.SetOpen(true);
    const int32_t ok = source.Dispatcher().NewDataTrigger("OK", false);

    TSxComPort copy(&gui);
    copy.Assign(source);
    EXPECT_FALSE(copy.Open());
    EXPECT_EQ(copy.ComNumber(), Com);
    EXPECT_EQ(copy.Baud(), 38400);
    EXPECT_EQ(copy.StopBits(), 2);
    EXPECT_EQ(copy.HWFlowOptions(), hwfUseRTS | hwfRequireCTS);
    EXPECT_EQ(copy.BufferFull(), 3686);
    EXPECT_FALSE(copy.LogHex());

    source.SetOpen(false);
    copy.SetOpen(true);
    termios t = pty.Attr();
    EXPECT_EQ(cfgetospeed(&t), B38400);
    pty.Send("OK");
    ASSERT_TRUE(PumpUntil([&] { return log.Items.size() >= 2; }));
    EXPECT_EQ(log.Items[1], "Data " + std::to_string(ok));
}

TEST_F(PortTest, TraceAndLogAreWrittenOnClose)
{
    char dir[] = "/tmp/sxtraceXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string traceName = std::string(dir) + "/SERX.TRC", logName = std::string(dir) + "/SERX.LOG";
    TSxComPort port(&gui);
    EXPECT_EQ(port.TraceName(), "SERX.TRC");
    EXPECT_EQ(port.LogName(), "SERX.LOG");
    port.SetComNumber(Com);
    port.SetTraceName(traceName);
    port.SetLogName(logName);
    port.SetTracing(tlOn);
    port.SetLogging(tlOn);
    port.SetOpen(true);
    port.PutString("AT\r");
    pty.Send("OK");
    ASSERT_TRUE(PumpUntil([&] { return port.InputUsed() == 2; }));
    port.GetChar();
    port.GetChar();
    port.SetOpen(false);
    EXPECT_EQ(port.Tracing(), tlOff);

    EXPECT_EQ(ReadFile(traceName), "Transmit: AT[0D]\nReceive: OK\n");
    const std::string logText = ReadFile(logName);
    EXPECT_EQ(logText.rfind("Time      Type      SubType       Data      OtherData\n"
                            "--------  --------  ------------  --------  ---------\n", 0), 0u) << logText;
    EXPECT_NE(logText.find("Open"), std::string::npos) << logText;
    EXPECT_NE(logText.find("Close"), std::string::npos) << logText;

    // Off: nothing is recorded, nothing written.
    std::remove(traceName.c_str());
    port.SetOpen(true);
    port.PutString("x");
    port.SetOpen(false);
    EXPECT_EQ(ReadFile(traceName), "");
    std::remove(logName.c_str());
    rmdir(dir);
}

TEST_F(PortTest, CloseFinishesWhenSomethingOnTheWayFails)
{
    struct Case {
        const char* What;
        std::function<void(TSxComPort&)> Setup;
    };
    const Case cases[] = {
        {"trace file cannot be written", [](TSxComPort& p) {
             p.SetTraceName("/nonexistent/dir/SERX.TRC");
             p.SetTracing(tlOn);
         }},
        {"close handler raises", [](TSxComPort& p) {
             p.SetOnPortClose([](TSxCustomComPort&) { throw ESxException("handler failed"); });
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TSxComPort port(&gui);
        port.SetComNumber(Com);
        c.Setup(port);
        port.SetOpen(true);
        EXPECT_THROW(port.SetOpen(false), ESxException);
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(port.PortPhase(), phClosed);
        // The device was released.
        TSxComPort other(&gui);
        other.SetComNumber(Com);
        other.SetOpen(true);
        EXPECT_TRUE(other.Open());
    }
}

TEST_F(PortTest, OutputFromTheDispatchThreadAsTheModemEngineSendsIt)
{
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    port.SetTraceName(::testing::TempDir() + "/SERX-modem.TRC"); // written at close, not into the working directory
    port.SetTracing(tlOn);
    port.SetOpen(true);
    TSxBaseDispatcher& d = port.Dispatcher();
    const int32_t ring = d.NewDataTrigger("RING", false);
    const int id = d.AddProcedureHandler([&](uint16_t msg, uint32_t first, uint32_t) {
        if (msg == smData && static_cast<int32_t>(first) == ring) port.PutString("ATA\r");
    });
    pty.Send("RING\r\n");
    EXPECT_EQ(pty.Receive(4), "ATA\r");
    d.RemoveProcedureHandler(id);
}
