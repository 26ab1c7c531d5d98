// Exclusive open against other programs, in each of the ways Linux serial programs agree on (exclusive
// mode, a descriptor lock, a lock file), naming the holder, and a user who may not open the device.
// Other programs are child processes; where root would not be kept out (exclusive mode) or would not
// be refused (permissions), the attempt is made by a child running as "nobody".

#include "ChildProcess.h"
#include "PortFixture.h"

#include "serial/device/SxDevices.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace sx;
using namespace sxtest;

namespace {

std::string ReadAll(const std::string& name)
{
    std::ifstream f(name, std::ios::binary);
    std::ostringstream o;
    o << f.rdbuf();
    return o.str();
}

std::string OwnComm()
{
    std::string s = ReadAll("/proc/self/comm");
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

// Opens COM n with a port of its own and reports: "ok" (and the port's note on the open, if any), or
// the exception's class, code and message; a failure outside the serial family says so.
std::string TryOpen(uint16_t com)
{
    plat::QueueHandoff gui;
    TSxComPort port(&gui);
    port.SetComNumber(com);
    auto report = [](const char* cls, const ESxException& e) {
        return std::string(cls) + " " + std::to_string(e.ResultCode) + ": " + e.Message();
    };
    try {
        port.SetOpen(true);
        const std::string note = port.OpenNote();
        port.SetOpen(false);
        return note.empty() ? "ok" : "ok (" + note + ")";
    } catch (const ENoPermission& e) {
        return report("ENoPermission", e);
    } catch (const EAlreadyOpen& e) {
        return report("EAlreadyOpen", e);
    } catch (const EOpenComm& e) {
        return report("EOpenComm", e);
    } catch (const ESxException& e) {
        return report("ESxException", e);
    } catch (const std::exception& e) {
        return std::string("outside the serial family: ") + e.what();
    }
}

class ExclusiveOpenTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        char dir[] = "/tmp/sxlockXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        lockDir = dir;
        chmod(dir, 0777); // the unprivileged children lock here too
        SxSetLockDirectory(lockDir);
        lockFile = SxLockFilePath(pty.SlavePath);
        // Only the device's exclusiveness may keep the unprivileged user out, not its permissions.
        if (geteuid() == 0) {
            ASSERT_EQ(chown(pty.SlavePath.c_str(), Unprivileged().Uid, static_cast<gid_t>(-1)), 0);
        }
    }
    void TearDown() override
    {
        SxSetLockDirectory("/var/lock");
        std::error_code ec;
        std::filesystem::permissions(lockDir, std::filesystem::perms::all, ec);
        std::filesystem::remove_all(lockDir, ec);
        PortTest::TearDown();
    }

    std::string lockDir, lockFile;
};

} // namespace

TEST(LockFiles, AreNamedAfterTheDeviceInTheLockDirectory)
{
    EXPECT_EQ(SxLockDirectory(), "/var/lock");
    EXPECT_EQ(SxLockFilePath("/dev/ttyUSB0"), "/var/lock/LCK..ttyUSB0");
    EXPECT_EQ(SxLockFilePath("/dev/pts/3"), "/var/lock/LCK..pts_3");
    EXPECT_EQ(SxLockFilePath("ttyS1"), "/var/lock/LCK..ttyS1");
}

// Another program holds the device, each way in turn: this port is refused with -2008 (also when run
// by an unprivileged user), the holder is named, and once the holder is gone the port opens.
TEST_F(ExclusiveOpenTest, DeviceHeldByAnotherProgramInEachWayIsBusyAndItsHolderNamed)
{
    const std::string slave = pty.SlavePath;
    const std::string lock = lockFile;
    struct Case {
        const char* Way;
        std::function<bool()> Hold;  // run in the holding child
        bool KeepsOutRoot;           // exclusive mode does not keep out a privileged process
        bool NamedByLockFile;
    };
    const Case cases[] = {
        {"exclusive mode (TIOCEXCL)",
         [slave] {
             const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
             return fd >= 0 && ioctl(fd, TIOCEXCL) == 0;
         },
         false, false},
        {"descriptor lock (flock)",
         [slave] {
             const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
             return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
         },
         true, false},
        {"lock file",
         [lock] {
             FILE* f = std::fopen(lock.c_str(), "wx");
             if (!f) return false;
             std::fprintf(f, "%10d\n", static_cast<int>(getpid()));
             return std::fclose(f) == 0;
         },
         true, true},
    };
    const std::string busy = "EAlreadyOpen -2008: ie_Open - device already open";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Way);
        {
            HoldingChild holder(c.Hold);
            ASSERT_TRUE(holder.Ready);
            EXPECT_EQ(AsUnprivilegedChild([] { return TryOpen(Com); }), busy);
            if (c.KeepsOutRoot || geteuid() != 0) {
                EXPECT_EQ(TryOpen(Com), busy);
            }
            // The lock file names its holder; otherwise the holder is found by its open device.
            EXPECT_EQ(SxPortHolder(slave), "PID " + std::to_string(holder.Pid()) + " (" + OwnComm() + ")");
            if (c.NamedByLockFile) {
                char text[16];
                std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(holder.Pid()));
                EXPECT_EQ(ReadAll(lockFile), text) << "the holder's lock file was touched";
            } else {
                EXPECT_FALSE(std::filesystem::exists(lockFile)) << "a refused open left a lock file";
            }
        }
        // The holder is gone (its lock file, if any, is stale now): the port opens.
        EXPECT_EQ(SxPortHolder(slave), "");
        EXPECT_EQ(TryOpen(Com), "ok");
        EXPECT_FALSE(std::filesystem::exists(lockFile)) << "the lock file outlived the close";
    }
}

// A lock file whose process is gone is removed; ours holds our PID as ten characters and a newline
// while the port is open, names us, and goes with the close.
TEST_F(ExclusiveOpenTest, StaleLockFileIsReplacedAndOursRemovedAtClose)
{
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_GT(gone, 0);
    waitpid(gone, nullptr, 0);
    {
        std::ofstream f(lockFile);
        f << std::string(10 - std::to_string(gone).size(), ' ') << gone << "\n";
    }
    EXPECT_EQ(SxPortHolder(pty.SlavePath), "");

    TSxComPort port(&gui);
    port.SetComNumber(Com);
    port.SetOpen(true);
    EXPECT_EQ(port.OpenNote(), "");
    char expected[16];
    std::snprintf(expected, sizeof expected, "%10d\n", static_cast<int>(getpid()));
    EXPECT_EQ(ReadAll(lockFile), expected);
    EXPECT_EQ(SxPortHolder(pty.SlavePath), "PID " + std::to_string(getpid()) + " (" + OwnComm() + ")");
    port.SetOpen(false);
    EXPECT_FALSE(std::filesystem::exists(lockFile));

    // A lock file that another program left but that names a live process is not ours to remove,
    // even when a close of ours runs while it is there.
    {
        std::ofstream f(lockFile);
        f << "         1\n";
    }
    EXPECT_EQ(TryOpen(Com), "EAlreadyOpen -2008: ie_Open - device already open");
    EXPECT_TRUE(std::filesystem::exists(lockFile));
}

// Without a lock directory, or without the right to write there, the port still opens exclusively by
// the other two ways and says so in its log.
TEST_F(ExclusiveOpenTest, WithoutALockFileThePortOpensAndSaysSoInItsLog)
{
    SxSetLockDirectory(lockDir + "/missing");
    const std::string logName = lockDir + "/port.log";
    {
        TSxComPort port(&gui);
        port.SetComNumber(Com);
        port.SetLogName(logName);
        port.SetLogging(tlOn);
        port.SetOpen(true);
        EXPECT_NE(port.OpenNote().find("no lock file " + lockDir + "/missing/LCK.."), std::string::npos) << port.OpenNote();
        EXPECT_NE(port.OpenNote().find("No such file or directory"), std::string::npos) << port.OpenNote();
        // Still exclusive: a second port is refused.
        EXPECT_EQ(TryOpen(Com), "EAlreadyOpen -2008: ie_Open - device already open");
        port.SetOpen(false);
    }
    EXPECT_NE(ReadAll(logName).find("no lock file"), std::string::npos) << ReadAll(logName);

    // A lock directory the user may not write to (root may write anywhere: an unprivileged user).
    const std::string readOnly = lockDir + "/ro";
    ASSERT_EQ(mkdir(readOnly.c_str(), 0555), 0);
    SxSetLockDirectory(readOnly);
    const std::string result = AsUnprivilegedChild([] { return TryOpen(Com); });
    EXPECT_EQ(result.rfind("ok (no lock file " + readOnly + "/LCK..", 0), 0u) << result;
    EXPECT_NE(result.find("Permission denied"), std::string::npos) << result;
}

// A user without the right to open the device (not in its group) gets an error of the serial family,
// with the system's text and the device, so that every caller handling serial errors handles it.
TEST_F(ExclusiveOpenTest, PermissionDeniedIsAnOpenFailureOfTheSerialFamily)
{
    ASSERT_EQ(chmod(pty.SlavePath.c_str(), 0), 0);
    EXPECT_EQ(AsUnprivilegedChild([] { return TryOpen(Com); }),
              "ENoPermission -2013: Permission denied: " + pty.SlavePath);
    // The probe of the port selection dialog sees the same code.
    EXPECT_EQ(AsUnprivilegedChild([] { return std::to_string(SxProbePort(Com)); }), "-2013");
}

// RS-485 turnaround on a device whose driver has none is refused, not pretended; the port keeps
// working with the mode off.
TEST_F(ExclusiveOpenTest, Rs485OnADeviceWithoutItIsRefused)
{
    TSxComPort port(&gui);
    port.SetComNumber(Com);
    port.SetOpen(true);
    try {
        port.SetRS485Mode(true);
        ADD_FAILURE() << "RS-485 accepted by a pseudo-terminal";
    } catch (const ESettingNotSupported& e) {
        EXPECT_EQ(e.ResultCode, ecSettingNotSupported);
        EXPECT_EQ(e.Message(), ErrorMsg(ecSettingNotSupported));
    }
    EXPECT_FALSE(port.RS485Mode());
    EXPECT_FALSE(port.Dispatcher().RS485Mode());
    port.PutString("still");
    EXPECT_EQ(pty.Receive(5), "still");
    port.SetOpen(false);

    // Asked for before the open, it makes the open fail the same way.
    port.SetRS485Mode(true);
    EXPECT_THROW(port.SetOpen(true), ESettingNotSupported);
    EXPECT_FALSE(port.Open());
}
