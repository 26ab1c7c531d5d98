// Writing files so that a crash, a permission, a link or another program's change never costs data: the
// replacement keeps what the old file had (owner, group, mode, extended attributes), read-only files and
// folders are refused, links are written through, a killed writer leaves the old or the new file and no
// temporary, and a file changed on disk is not overwritten without the user's word.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <random>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/FileGuard.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "tests/config/AsNobody.h"
#include "tests/config/TestDrive.h"

using namespace plat;

namespace {

std::size_t EntriesIn(const std::string& dir) {
    return std::size_t(std::distance(std::filesystem::directory_iterator(dir), {}));
}

// A drive whose folder the unprivileged user may enter (and own, when root created it).
struct SharedDrive : TestDrive {
    SharedDrive() : TestDrive('T') {
        ::chmod(Host().c_str(), 0755);
        if (::geteuid() == 0) (void)!::chown(Host().c_str(), Nobody, NoGroup);
    }
    void Own(const std::string& rel, uid_t uid, gid_t gid, mode_t mode) const {
        if (::geteuid() == 0) (void)!::chown(HostOf(rel).c_str(), uid, gid);
        ::chmod(HostOf(rel).c_str(), mode);
    }
};

// The generation-n content of a large INI file: self-describing, so a torn file is recognised.
std::string Generation(int n) {
    std::string s = "[gen]\r\nn=" + std::to_string(n) + "\r\n[body]\r\n";
    for (int i = 0; i < 6000; ++i) s += "k" + std::to_string(i) + "=" + std::to_string(i * 31 + n) + "\r\n";
    return s + "[end]\r\nn=" + std::to_string(n) + "\r\n";
}

} // namespace

// A writer killed at random moments: the file is always exactly one whole generation, the one before the
// kill or the one being written, and the next write leaves no temporary behind. The child process kills
// itself when a CPU-time timer of random length runs out (SIGPROF ends a process like a crash), so the
// moment falls anywhere in its writing, without any waiting in the test.
TEST(SafeWrite, AKilledWriterLeavesTheOldOrTheNewFileAndNoTemporary) {
    TestDrive drive('T');
    WriteFileAtomic("T:\\big.ini", Generation(0));
    std::mt19937 random(20261207);
    int generation = 0;
    int torn = 0, whole = 0;
    for (int round = 0; round < 24; ++round) {
        int progress[2];
        ASSERT_EQ(::pipe(progress), 0);
        const long cpuMicros = long(random() % 10000);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(progress[0]);
            struct itimerval timer = {};
            timer.it_value.tv_sec = cpuMicros / 1000000;
            timer.it_value.tv_usec = cpuMicros % 1000000 + 1;
            ::setitimer(ITIMER_PROF, &timer, nullptr);
            for (int n = generation + 1;; ++n) {
                const char tick = 1;
                if (::write(progress[1], &tick, 1) != 1) _exit(3);
                WriteFileAtomic("T:\\big.ini", Generation(n)); // announced, then written
            }
        }
        ::close(progress[1]);
        int announced = 0;
        char tick;
        for (ssize_t r; (r = ::read(progress[0], &tick, 1)) != 0;) // until the child is gone
            if (r == 1) ++announced;
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(progress[0]);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPROF) << "round " << round;

        const std::string got = drive.Get("big.ini");
        const std::size_t at = got.find("n=") + 2;
        const int n = std::atoi(got.c_str() + at);
        ASSERT_TRUE(n == generation + announced - 1 || n == generation + announced || (announced == 0 && n == generation))
            << "round " << round << ": generation " << n << " after " << announced << " announced";
        ASSERT_EQ(got, Generation(n)) << "round " << round << ": a torn file";
        (n == generation + announced ? whole : torn) += 1;

        // The next write into the folder leaves just the file.
        generation = n + 1000;
        WriteFileAtomic("T:\\big.ini", Generation(generation));
        ASSERT_EQ(EntriesIn(drive.Host()), 1u) << "round " << round;
    }
    RecordProperty("killedBeforeTheLastWriteEnded", torn);
}

// Temporaries of crashed runs (their process is gone) are removed by the next write into the folder; those
// of a running process and files that only look similar stay.
TEST(SafeWrite, StaleTemporariesOfGoneProcessesAreRemovedOthersStay) {
    TestDrive drive('T');
    const pid_t gone = ::fork();
    if (gone == 0) _exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::string stale = ".a.ini.ini4zav~" + std::to_string(gone) + ".Ab12Cd";
    const std::string running = ".a.ini.ini4zav~1.xyzxyz";
    drive.Put(stale, "half");
    drive.Put(running, "busy");
    drive.Put(".a.ini.tmp", "not ours");
    drive.Put("b.ini.ini4zav~" + std::to_string(gone) + ".Ab12Cd", "no leading dot: not ours");
    WriteFileAtomic("T:\\a.ini", "[a]\r\n");
    EXPECT_FALSE(std::filesystem::exists(drive.HostOf(stale)));
    EXPECT_TRUE(std::filesystem::exists(drive.HostOf(running)));
    EXPECT_TRUE(std::filesystem::exists(drive.HostOf(".a.ini.tmp")));
    EXPECT_EQ(EntriesIn(drive.Host()), 4u);
}

// Links are written through, a dangling one included; a target folder that does not exist, or a loop, is
// refused with a message naming the file.
TEST(SafeWrite, SymbolicLinksAreWrittenThroughAlsoWhenDangling) {
    TestDrive drive('T');
    drive.MakeDir("real");
    std::filesystem::create_symlink("real/ziel.ini", drive.HostOf("rel.ini")); // relative, target missing
    WriteFileAtomic("T:\\rel.ini", "[neu]\r\n");
    EXPECT_TRUE(std::filesystem::is_symlink(drive.HostOf("rel.ini")));
    EXPECT_EQ(drive.Get("real/ziel.ini"), "[neu]\r\n");

    std::filesystem::create_symlink(drive.HostOf("fehlt/ziel.ini"), drive.HostOf("weg.ini"));
    const std::string refused = FileErrorOf([] { WriteFileAtomic("T:\\weg.ini", "x"); });
    EXPECT_NE(refused.find("\"T:\\weg.ini\""), std::string::npos) << refused;
    EXPECT_NE(refused.find("Ordner nicht existiert"), std::string::npos) << refused;
    EXPECT_TRUE(std::filesystem::is_symlink(drive.HostOf("weg.ini")));
    EXPECT_FALSE(std::filesystem::exists(drive.HostOf("fehlt")));

    std::filesystem::create_symlink("schleife2.ini", drive.HostOf("schleife1.ini"));
    std::filesystem::create_symlink("schleife1.ini", drive.HostOf("schleife2.ini"));
    EXPECT_NE(FileErrorOf([] { WriteFileAtomic("T:\\schleife1.ini", "x"); }).find("Verkn\xFCpfungen"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_symlink(drive.HostOf("schleife1.ini")));
}

// Read-only files are refused for everybody (also the administrator); a read-only folder refuses the
// write; nothing changes and no temporary is left.
TEST(SafeWrite, ReadOnlyFilesAndFoldersAreRefusedAlsoForAnUnprivilegedUser) {
    SharedDrive drive;
    drive.Put("ro.ini", "[alt]\r\n");
    drive.Own("ro.ini", Nobody, NoGroup, 0444);
    drive.MakeDir("rodir");
    drive.Put("rodir/x.ini", "[alt]\r\n");
    drive.Own("rodir/x.ini", Nobody, NoGroup, 0644);
    drive.Own("rodir", Nobody, NoGroup, 0555);

    const std::string asRoot = FileErrorOf([] { WriteFileAtomic("T:\\ro.ini", "[neu]\r\n"); });
    EXPECT_NE(asRoot.find("\"T:\\ro.ini\""), std::string::npos) << asRoot;
    EXPECT_NE(asRoot.find("schreibgesch\xFCtzt"), std::string::npos) << asRoot;

    EXPECT_EQ(AsNobody([&] {
                  const std::string file = FileErrorOf([] { WriteFileAtomic("T:\\ro.ini", "[neu]\r\n"); });
                  if (file.find("schreibgesch\xFCtzt") == std::string::npos) return "read-only file: " + file;
                  const std::string folder = FileErrorOf([] { WriteFileAtomic("T:\\rodir\\x.ini", "[neu]\r\n"); });
                  if (folder.find("\"T:\\rodir\\x.ini\"") == std::string::npos) return "read-only folder: " + folder;
                  return std::string();
              }),
              "");
    EXPECT_EQ(drive.Get("ro.ini"), "[alt]\r\n");
    EXPECT_EQ(drive.Get("rodir/x.ini"), "[alt]\r\n");
    EXPECT_EQ(EntriesIn(drive.HostOf("rodir")), 1u);
    EXPECT_EQ(EntriesIn(drive.Host()), 2u);
    ::chmod(drive.HostOf("rodir").c_str(), 0755);
}

// The replacement keeps owner, group, mode and extended attributes; a user who could not give the new file
// the old owner is refused instead of silently taking the file over.
TEST(SafeWrite, OwnerGroupModeAndAttributesAreKeptOrTheWriteIsRefused) {
    SharedDrive drive;
    drive.Put("own.ini", "[alt]\r\n");
    drive.Own("own.ini", Nobody, NoGroup, 0640);
    const bool xattrs = ::setxattr(drive.HostOf("own.ini").c_str(), "user.ini4zav", "merk", 4, 0) == 0;
    struct stat before;
    ASSERT_EQ(::stat(drive.HostOf("own.ini").c_str(), &before), 0);

    WriteFileAtomic("T:\\own.ini", "[neu]\r\n");
    struct stat after;
    ASSERT_EQ(::stat(drive.HostOf("own.ini").c_str(), &after), 0);
    EXPECT_EQ(drive.Get("own.ini"), "[neu]\r\n");
    EXPECT_NE(after.st_ino, before.st_ino); // replaced, not rewritten in place
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    if (xattrs) {
        char value[16] = {};
        EXPECT_EQ(::getxattr(drive.HostOf("own.ini").c_str(), "user.ini4zav", value, sizeof value), 4);
        EXPECT_STREQ(value, "merk");
    }

    if (::geteuid() != 0) GTEST_SKIP() << "a file of another owner needs root to set up";
    // Somebody else's file, writable for all: nobody may write into it but not take it over.
    drive.Put("fremd.ini", "[alt]\r\n");
    drive.Own("fremd.ini", 0, 0, 0666);
    EXPECT_EQ(AsNobody([] {
                  const std::string e = FileErrorOf([] { WriteFileAtomic("T:\\fremd.ini", "[neu]\r\n"); });
                  return e.find("Besitzer") == std::string::npos ? "not refused: " + e : std::string();
              }),
              "");
    EXPECT_EQ(drive.Get("fremd.ini"), "[alt]\r\n");
    struct stat foreign;
    ASSERT_EQ(::stat(drive.HostOf("fremd.ini").c_str(), &foreign), 0);
    EXPECT_EQ(foreign.st_uid, 0u);
    EXPECT_EQ(EntriesIn(drive.Host()), 2u);
}

// Another program saves the file the way most editors do (a file of its own renamed over the name) after
// the last look: its save is not deleted, the write reports the change, and no temporary is left; the
// same when it creates a file that was not there. Without a last look the write is refused.
TEST(SafeWrite, AnotherProgramsRenameSaveDuringTheWriteIsKept) {
    TestDrive drive('T');
    auto saveTheirs = [&drive] {
        drive.Put("theirs.tmp", "[theirs]\r\n");
        std::filesystem::rename(drive.HostOf("theirs.tmp"), drive.HostOf("a.ini"));
        return true;
    };
    drive.Put("a.ini", "[old]\r\n");
    EXPECT_FALSE(WriteFileAtomic("T:\\a.ini", "[ours]\r\n", saveTheirs));
    EXPECT_EQ(drive.Get("a.ini"), "[theirs]\r\n");
    std::filesystem::remove(drive.HostOf("a.ini"));
    EXPECT_FALSE(WriteFileAtomic("T:\\a.ini", "[ours]\r\n", saveTheirs));
    EXPECT_EQ(drive.Get("a.ini"), "[theirs]\r\n");
    EXPECT_EQ(EntriesIn(drive.Host()), 1u);
    EXPECT_TRUE(WriteFileAtomic("T:\\a.ini", "[ours]\r\n", [] { return true; }));
    EXPECT_EQ(drive.Get("a.ini"), "[ours]\r\n");
}
