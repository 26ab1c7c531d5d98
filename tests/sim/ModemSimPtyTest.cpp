// The modem program on a pseudo-terminal: started as a user starts it, its device opened by the port
// component through a COM mapping, a call made, and the program's ways of ending.

#include "SimModemFixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <vector>

extern char** environ;

using namespace simtest;

namespace {

// The running program with its standard output on a pipe.
class ModemSim {
public:
    explicit ModemSim(std::vector<std::string> args) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        posix_spawn_file_actions_addclose(&fa, fds[1]);
        // The program starts with the signals it ends on at their defaults and not blocked, whatever
        // the test's own thread has.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int sig : {SIGINT, SIGTERM, SIGPIPE})
            sigaddset(&defaults, sig);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        args.insert(args.begin(), MODEMSIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, MODEMSIM_PATH, &fa, &attr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
        close(fds[1]);
        out_ = fds[0];
    }
    ~ModemSim() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    // The first line of its output, or empty when none came in time.
    std::string FirstLine(int timeoutMs) {
        std::string line;
        char c;
        while (ReadByte(c, timeoutMs) == 1) {
            if (c == '\n') return line;
            line += c;
        }
        return {};
    }
    // Waits for the program to end; its exit status (as waitpid gives it), or -1 when it did not.
    int Exit(int timeoutMs) {
        char c;
        int r;
        while ((r = ReadByte(c, timeoutMs)) == 1) {
        }
        if (r != 0) return -1; // no end of output in time
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    void Signal(int sig) { kill(pid_, sig); }
    bool Started() const { return pid_ > 0 && out_ >= 0; }

private:
    // 1: a byte, 0: end of output, -1: time ran out.
    int ReadByte(char& c, int timeoutMs) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return -1;
        const ssize_t n = read(out_, &c, 1);
        return n == 1 ? 1 : 0;
    }
    pid_t pid_ = -1;
    int out_ = -1;
};

} // namespace

TEST_F(ModemPortTest, ModemProgramOnAPseudoTerminalConnectsAndEndsWhenThePortCloses) {
    ModemSim sim({"--tempo", "10", "--nachlauf", "0", "--echo"});
    ASSERT_TRUE(sim.Started());
    const std::string path = sim.FirstLine(Deadline);
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;

    OpenOn(23, path);
    EXPECT_EQ(Command("ATE0\r"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(Command("ATI0\r"), "\r\nini4zav SimModem V.34 33600\r\n\r\nOK\r\n");
    EXPECT_EQ(Command("ATDT0623\r", "CONNECT 14400\r\n"),
              "\r\nPROTOCOL: LAP-M\r\n\r\nCOMPRESSION: V.42BIS\r\n\r\nCONNECT 14400\r\n");
    EXPECT_EQ(Command("ping\x01\x06", "\x06"), "ping\x01\x06");

    // Closing the device is what the program sees of DTR; with no grace time it ends at once.
    port.SetOpen(false);
    const int status = sim.Exit(Deadline);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ModemPortTest, ModemProgramEndsCleanlyOnSignalsAndRejectsBadOptions) {
    for (int sig : {SIGTERM, SIGINT}) {
        ModemSim sim({});
        ASSERT_TRUE(sim.Started());
        ASSERT_FALSE(sim.FirstLine(Deadline).empty());
        sim.Signal(sig);
        const int status = sim.Exit(Deadline);
        ASSERT_TRUE(WIFEXITED(status)) << sig << " " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--fehler", "gibtsnicht"}, {"--tempo", "0"}, {"--nachlauf"}, {"--unbekannt"}}) {
        ModemSim sim(bad);
        ASSERT_TRUE(sim.Started());
        const int status = sim.Exit(Deadline);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2) << bad[0];
    }
    ModemSim help({"--help"});
    EXPECT_EQ(help.FirstLine(Deadline), "Aufruf: ini4zav-modemsim [Optionen]");
    EXPECT_EQ(help.Exit(Deadline), 0);
}

// Without --echo the program's calls reach the simulated lift controller, which synchronises once the
// console has sent "AT01" and answers the partner-name request.
TEST_F(ModemPortTest, ModemProgramCallsReachTheSimulatedController) {
    ModemSim sim({"--tempo", "10", "--nachlauf", "0"});
    ASSERT_TRUE(sim.Started());
    const std::string path = sim.FirstLine(Deadline);
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;

    OpenOn(23, path);
    EXPECT_EQ(Command("ATE0\r"), "ATE0\r\r\nOK\r\n");
    Command("ATDT06601234567\r", "V.42BIS\r\n");
    rx.clear();
    port.PutString("AT01\r");
    port.PutString("\x01");
    EXPECT_TRUE(Await("\x06\x15\x15")) << rx;
    rx.clear();
    port.PutString("\x01");
    ASSERT_TRUE(Await("\x06"));
    port.PutString(std::string("\x02\x04\x28\xFF\x90\xBA", 6));
    ASSERT_TRUE(Await(std::string("\x06\x01", 2))) << rx; // the request's ACK, then the answer's SOH
    port.PutString("\x06");
    EXPECT_TRUE(Await(std::string("\x28\xFF\x91SIM-ZAV 1\x00", 13))) << rx;
}
