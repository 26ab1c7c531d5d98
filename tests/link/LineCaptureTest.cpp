// The console's capture file: only a regular file is opened, without waiting on a pipe and not inherited
// by programs started from here; a file deleted under a running capture stops it with its reason.

#include <gtest/gtest.h>

#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "link/LineCapture.h"
#include "tests/config/TestDrive.h"

namespace {

// The descriptor flags of this process's open descriptor for path; -1 when none is open.
int DescriptorFlagsOf(const std::string& path) {
    const std::string want = std::filesystem::canonical(path).string();
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink(e.path().c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, std::size_t(n)) == want)
            return ::fcntl(std::stoi(e.path().filename().string()), F_GETFD);
    }
    return -1;
}

} // namespace

TEST(LineCapture, OnlyARegularFileClosedOnExecAndADeletedOneStopsTheCapture) {
    TestDrive drive('T');
    TLineCapture capture;
    ASSERT_EQ(::mkfifo(drive.HostOf("pipe").c_str(), 0600), 0);
    EXPECT_FALSE(capture.Start(drive.HostOf("pipe"))); // no reader: refused, not waited for
    EXPECT_EQ(capture.LastError(), ENODEV);
    EXPECT_NE(FileErrorText(capture.LastError()).find("keine gew\xF6hnliche Datei"), std::string::npos);
    EXPECT_FALSE(capture.Start("/dev/null"));
    EXPECT_EQ(capture.LastError(), ENODEV);
    EXPECT_EQ(WriteTextFile(drive.HostOf("pipe"), {"x"}), ENODEV);

    drive.MakeDir("sub");
    ASSERT_TRUE(capture.Start(drive.HostOf("sub/cap.txt")));
    ASSERT_TRUE(capture.Write('>', "AT"));
    const int flags = DescriptorFlagsOf(drive.HostOf("sub/cap.txt"));
    ASSERT_GE(flags, 0);
    EXPECT_TRUE(flags & FD_CLOEXEC);
    std::filesystem::remove_all(drive.HostOf("sub"));
    EXPECT_FALSE(capture.Write('<', "OK"));
    EXPECT_FALSE(capture.Active());
    EXPECT_NE(FileErrorText(capture.LastError()).find("gel\xF6scht"), std::string::npos);
}
