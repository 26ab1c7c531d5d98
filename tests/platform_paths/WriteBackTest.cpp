#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "platform/FileGuard.h"
#include "platform/Files.h"
#include "tests/config/TestDrive.h"

using namespace plat;

// The write-back rule: unchanged disk is written; a change on disk wins when nothing was edited here; when
// both changed the user decides, and without a question installed nothing is decided.
TEST(SafeWrite, WriteBackRespectsAChangeOnDisk) {
    TestDrive drive('T');
    drive.Put("w.ini", "[a]\r\nx=1\r\n");
    std::string loaded = ReadFileBytes("T:\\w.ini");
    FileStamp stamp = StampFile("T:\\w.ini", loaded);
    std::string disk;

    // A touch that leaves the bytes alone is no change.
    std::filesystem::last_write_time(drive.HostOf("w.ini"), std::filesystem::file_time_type::clock::now() +
                                                                std::chrono::hours(1));
    EXPECT_FALSE(ChangedOnDisk("T:\\w.ini", stamp));
    EXPECT_EQ(WriteBack("T:\\w.ini", "[a]\r\nx=2\r\n", stamp, true, disk), WriteBackResult::Written);
    EXPECT_EQ(drive.Get("w.ini"), "[a]\r\nx=2\r\n");

    // Another program writes: not edited here, so its version is taken and nothing is written.
    drive.Put("w.ini", "[a]\r\nx=fremd\r\n");
    EXPECT_TRUE(ChangedOnDisk("T:\\w.ini", stamp));
    EXPECT_EQ(WriteBack("T:\\w.ini", "[a]\r\nx=2\r\n", stamp, false, disk), WriteBackResult::TakeFromDisk);
    EXPECT_EQ(disk, "[a]\r\nx=fremd\r\n");
    EXPECT_EQ(drive.Get("w.ini"), "[a]\r\nx=fremd\r\n");

    // Both changed: each answer does what it says; no question installed means cancel.
    int asked = 0;
    for (Conflict answer : {Conflict::Cancel, Conflict::TakeFromDisk, Conflict::Overwrite}) {
        SetConflictQuestion([&](const std::string& file) {
            ++asked;
            EXPECT_EQ(file, "T:\\w.ini");
            return answer;
        });
        FileStamp old = stamp; // as loaded before the other program's write
        if (answer == Conflict::Cancel) {
            EXPECT_THROW(WriteBack("T:\\w.ini", "[a]\r\nx=hier\r\n", old, true, disk), WriteCancelled);
            EXPECT_EQ(drive.Get("w.ini"), "[a]\r\nx=fremd\r\n");
        } else if (answer == Conflict::TakeFromDisk) {
            EXPECT_EQ(WriteBack("T:\\w.ini", "[a]\r\nx=hier\r\n", old, true, disk), WriteBackResult::TakeFromDisk);
            EXPECT_EQ(disk, "[a]\r\nx=fremd\r\n");
        } else {
            EXPECT_EQ(WriteBack("T:\\w.ini", "[a]\r\nx=hier\r\n", old, true, disk), WriteBackResult::Written);
            EXPECT_EQ(drive.Get("w.ini"), "[a]\r\nx=hier\r\n");
            EXPECT_FALSE(ChangedOnDisk("T:\\w.ini", old)); // the stamp now describes the written file
        }
    }
    EXPECT_EQ(asked, 3);
    SetConflictQuestion(nullptr);
    FileStamp stale = StampFile("T:\\w.ini", "[a]\r\nx=anders\r\n");
    drive.Put("w.ini", "[a]\r\nx=wieder fremd\r\n");
    EXPECT_THROW(WriteBack("T:\\w.ini", "[a]\r\nx=meins\r\n", stale, true, disk), WriteCancelled);
    // A file deleted by another program while edits wait here is a change as well.
    std::filesystem::remove(drive.HostOf("w.ini"));
    EXPECT_THROW(WriteBack("T:\\w.ini", "[a]\r\nx=meins\r\n", stale, true, disk), WriteCancelled);
    EXPECT_FALSE(std::filesystem::exists(drive.HostOf("w.ini")));
}
