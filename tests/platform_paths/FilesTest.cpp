#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include "platform/Files.h"
#include "platform/Paths.h"
#include "tests/config/TestDrive.h"

using namespace plat;

TEST(Files, SplitLines) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitLines("a\r\nb\nc"), (V{"a", "b", "c"}));
    EXPECT_EQ(SplitLines("a\r\n"), (V{"a"}));
    EXPECT_EQ(SplitLines(""), V{});
    EXPECT_EQ(SplitLines("a\n\r\nb"), (V{"a", "", "b"}));
    EXPECT_EQ(SplitLines("a\rb\n"), (V{"a\rb"})); // a lone CR is text
}

TEST(Files, ReadFailuresAreGermanFileErrorsNamingTheFile) {
    TestDrive drive('T');
    drive.MakeDir("dir");
    std::string bytes = "unchanged";
    EXPECT_FALSE(TryReadFileBytes("T:\\fehlt.ini", bytes));
    EXPECT_EQ(bytes, "unchanged");
    for (const char* path : {"T:\\fehlt.ini", "T:\\dir"}) {
        try {
            ReadFileBytes(path);
            FAIL() << path;
        } catch (const FileError& e) {
            const std::string msg = e.what();
            EXPECT_NE(msg.find(std::string("\"") + path + "\""), std::string::npos) << msg;
            EXPECT_NE(msg.find("kann nicht gelesen werden"), std::string::npos) << msg;
        }
    }
}

#ifndef _WIN32 // FIFOs, /dev, symbolic links and file-size limits are POSIX's
TEST(Files, APipeOrADeviceIsRefusedAtOnceInsteadOfBlockingOrNeverEnding) {
    TestDrive drive('T');
    ASSERT_EQ(::mkfifo(drive.HostOf("pipe.ini").c_str(), 0600), 0);
    plat::SetDriveMapping('D', "/dev");
    std::string bytes = "unchanged";
    EXPECT_FALSE(TryReadFileBytes("T:\\pipe.ini", bytes)); // no writer: must not wait for one
    EXPECT_FALSE(TryReadFileBytes("D:\\zero", bytes));     // endless
    EXPECT_EQ(bytes, "unchanged");
    EXPECT_THROW(ReadFileBytes("T:\\pipe.ini"), FileError);
}
#endif

TEST(Files, AtomicWriteReplacesAndKeepsNoTemporary) {
    TestDrive drive('T');
    WriteFileAtomic("T:\\a.ini", "eins");
    EXPECT_EQ(ReadFileBytes("T:\\A.INI"), "eins");
    WriteFileAtomic("T:\\A.ini", std::string("zwei\0drei", 9)); // found without regard to case, bytes exact
    EXPECT_EQ(drive.Get("a.ini"), std::string("zwei\0drei", 9));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(drive.Host()), {}), 1);
    if (kNativeHostPaths) return; // symbolic links need rights that a Windows user rarely has
    // A symbolic link stays a link; its target gets the new content.
    std::filesystem::create_symlink(drive.HostOf("a.ini"), drive.HostOf("link.ini"));
    WriteFileAtomic("T:\\link.ini", "vier");
    EXPECT_TRUE(std::filesystem::is_symlink(drive.HostOf("link.ini")));
    EXPECT_EQ(drive.Get("a.ini"), "vier");
}

TEST(Files, FailedWriteLeavesTheOldFileAndNoTemporary) {
    TestDrive drive('T');
    drive.Put("x.ini", "old content");
    drive.MakeDir("dir");
    EXPECT_THROW(WriteFileAtomic("T:\\dir", "x"), FileError);
    EXPECT_TRUE(std::filesystem::is_directory(drive.HostOf("dir")));
    EXPECT_THROW(WriteFileAtomic("T:\\fehlt\\x.ini", "x"), FileError);
#ifndef _WIN32

    // The write itself fails half-way: the file-size limit stops it after 16 bytes.
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool threw = false;
    std::string message;
    try {
        WriteFileAtomic("T:\\x.ini", std::string(1000, 'n'));
    } catch (const FileError& e) {
        threw = true;
        message = e.what();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(threw);
    EXPECT_NE(message.find("\"T:\\x.ini\" kann nicht geschrieben werden"), std::string::npos) << message;
    EXPECT_EQ(drive.Get("x.ini"), "old content");
#endif
    EXPECT_EQ(drive.Get("x.ini"), "old content");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(drive.Host()), {}), 2); // x.ini and dir
}

TEST(Files, AppendCreatesThenAppends) {
    TestDrive drive('T');
    AppendToFile("T:\\log.txt", "a\r\n");
    AppendToFile("T:\\LOG.txt", "b\r\n");
    EXPECT_EQ(drive.Get("log.txt"), "a\r\nb\r\n");
    EXPECT_THROW(AppendToFile("T:\\fehlt\\log.txt", "x"), FileError);
}
