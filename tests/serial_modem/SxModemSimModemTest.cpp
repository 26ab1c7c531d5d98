// The modem component against the simulated Hayes modem, in real time: once inside the program on
// the simulated line ("simmodem"), once through the kernel's pseudo-terminal with the modem program on
// the other end. Both hold the same conversation: initialise, a busy number, a call with its speed and
// both tag replies, a hang-up.

#include "platform/ComMap.h"
#include "platform/QueueHandoff.h"
#include "serial/modem/SxModem.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

extern char** environ;

using namespace sx;

namespace {

constexpr int Deadline = 30000; // a call takes seconds of real time

class ModemAgainstSimModem : public ::testing::Test {
protected:
    void SetUp() override
    {
        // As the console binds it: events handed to the GUI thread, pauses keeping it alive.
        modem.SetEventPoster([this](std::function<void()> e) { gui.PostToGuiThread(std::move(e)); });
        modem.SetPump([this] {
            gui.Pump();
            return true;
        });
        modem.SetInitCmd("AT^M");
        modem.SetDialTimeout(45);
        TTagSet ec, dc;
        ec.String1 = "LAP-M";
        dc.String1 = "V.42BIS";
        modem.SetErrorCorrectionTags(ec);
        modem.SetDataCompressionTags(dc);
        modem.SetOnModemEvent([this](TSxCustomModem&, uint16_t what, int32_t data) { events.emplace_back(what, data); });
    }
    void TearDown() override
    {
        port.SetOpen(false);
        EXPECT_TRUE(gui.PumpUntil([] { return TSxCustomComPort::PendingReleases() == 0; }, Deadline));
        plat::ClearComDevices();
    }
    using Events = std::vector<std::pair<uint16_t, int32_t>>;
    // Waits for the event; then returns what came since the last look.
    Events Until(uint16_t what)
    {
        EXPECT_TRUE(gui.PumpUntil(
            [&] {
                for (const auto& e : events)
                    if (e.first == what) return true;
                return false;
            },
            Deadline))
            << "no event " << what;
        // The dial countdown runs while the modem dials at its real pace: 44, 43, ... apart.
        Events got;
        for (const auto& e : events) {
            if (e.first != meDialCount) {
                got.push_back(e);
                continue;
            }
            EXPECT_EQ(e.second, 44 - counted) << "countdown";
            ++counted;
        }
        events.clear();
        return got;
    }
    // Initialise, a busy line, a call.
    void Converse()
    {
        modem.Initialize();
        EXPECT_EQ(Until(meCommandProcessed), (Events{{meModemOk, 0}, {meCommandProcessed, meModemOk}}));
        counted = 0;
        modem.Dial("0610");
        EXPECT_TRUE(modem.IsConnecting());
        EXPECT_EQ(Until(meModemBusy), (Events{{meConnectFailed, 0}, {meModemBusy, 0}}));
        EXPECT_FALSE(modem.IsConnecting());
        counted = 0;
        modem.Dial("0623");
        const Events call = Until(meModemIsConnected);
        // The modem reports protocol and compression before CONNECT, as real modems do.
        const Events expected = {{meGotErrCorrection, 0},
                                 {meGotDataCompression, 0},
                                 {meModemConnect, 0},
                                 {meGotLineSpeed, 14400},
                                 {meModemIsConnected, 0}};
        EXPECT_EQ(call, expected);
        EXPECT_EQ(modem.State(), esIdle);
    }

    plat::QueueHandoff gui;
    TSxComPort port{&gui};
    TSxModem modem{&port};
    Events events;
    int counted = 0;
};

// The modem program with its standard output on a pipe.
class ModemProgram {
public:
    explicit ModemProgram(std::vector<std::string> args)
    {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        posix_spawn_file_actions_addclose(&fa, fds[1]);
        args.insert(args.begin(), MODEMSIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, MODEMSIM_PATH, &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        out_ = fds[0];
    }
    ~ModemProgram()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    // The first line it prints (its device path), or empty when none came in time.
    std::string FirstLine(int timeoutMs)
    {
        std::string line;
        for (;;) {
            pollfd p{out_, POLLIN, 0};
            char c;
            if (poll(&p, 1, timeoutMs) <= 0 || read(out_, &c, 1) != 1) return {};
            if (c == '\n') return line;
            line += c;
        }
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

} // namespace

TEST_F(ModemAgainstSimModem, OnTheSimulatedLineWithADtrHangup)
{
    plat::SetComDevice(31, "simmodem:modem-component");
    port.SetComNumber(31);
    modem.SetHangupCmd("DTR");
    Converse();
    ASSERT_TRUE(gui.PumpUntil([&] { return port.DCD(); }, Deadline));
    // Dropping DTR for eight ticks makes the modem hang up: the carrier goes.
    modem.Hangup();
    EXPECT_TRUE(port.DTR());
    EXPECT_TRUE(gui.PumpUntil([&] { return !port.DCD(); }, Deadline));
    // Idle and usable again.
    modem.Initialize();
    EXPECT_EQ(Until(meCommandProcessed), (Events{{meModemOk, 0}, {meCommandProcessed, meModemOk}}));
}

TEST_F(ModemAgainstSimModem, OverAPseudoTerminalToTheModemProgram)
{
    ModemProgram program({"--tempo", "10", "--nachlauf", "0", "--echo"});
    const std::string path = program.FirstLine(Deadline);
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;
    plat::SetComDevice(32, path);
    port.SetComNumber(32);
    // A pseudo-terminal has no DTR: hang up with the escape, its guard times made by tilde pauses.
    modem.SetHangupCmd("~~+++~~~ATH0^M");
    Converse();
    modem.Hangup();
    EXPECT_EQ(Until(meCommandProcessed), (Events{{meModemOk, 0}, {meCommandProcessed, meModemOk}}));
}

TEST_F(ModemAgainstSimModem, AnEscapeHangupSendsTheWholeCommand) {
    plat::SetComDevice(33, "simmodem:modem-escape-hangup");
    port.SetComNumber(33);
    // The modem answers "+++" with OK during the pauses; only the OK to ATH0 ends the command.
    modem.SetHangupCmd("~~+++~~~ATH0^M");
    Converse();
    ASSERT_TRUE(gui.PumpUntil([&] { return port.DCD(); }, Deadline));
    modem.Hangup();
    EXPECT_EQ(Until(meCommandProcessed), (Events{{meModemOk, 0}, {meCommandProcessed, meModemOk}}));
    EXPECT_TRUE(gui.PumpUntil([&] { return !port.DCD(); }, Deadline));
}
