// The file layer on Windows: native paths, cp1252 names on the wide API, attributes kept by the replace,
// read-only files refused, and a writer elsewhere never loses its write.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <windows.h>
#undef DeleteFile

#include "platform/FileGuard.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "tests/config/TestDrive.h"

using namespace plat;

namespace {

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

DWORD Attributes(const TestDrive& drive, const std::string& rel) {
    return ::GetFileAttributesW(Wide(drive.HostOf(rel)).c_str());
}

} // namespace

TEST(WinFiles, DriveLettersAreNativeUnlessMappedAndNamesTravelAsCp1252) {
    TestDrive drive('T');
    EXPECT_EQ(ToHostPath("Q:\\Daten\\a.ini"), "Q:\\Daten\\a.ini");
    EXPECT_EQ(ToHostPath("t:/Sub/A.ini"), drive.Host() + "\\Sub\\A.ini");
    EXPECT_EQ(FromHostPath(drive.Host() + "\\Sub\\A.ini"), "T:\\Sub\\A.ini");
    EXPECT_EQ(DriveMapping('Q'), "Q:\\");

    // "Übersicht.ini" in cp1252 is the file the system knows by its UTF-16 name, found without regard to case.
    WriteFileAtomic("T:\\\xDC" "bersicht.ini", "[\xE4]\r\n");
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(Wide(drive.Host()) + L"\\\u00DCbersicht.ini")));
    EXPECT_EQ(ReadFileBytes("T:\\\xFC" "BERSICHT.INI"), "[\xE4]\r\n");
    AppendToFile("T:\\\xDC" "bersicht.ini", "x=1\r\n");
    EXPECT_EQ(ReadFileBytes("T:\\\xDC" "bersicht.ini"), "[\xE4]\r\nx=1\r\n");
    EXPECT_TRUE(FileExists("T:\\\xDC" "bersicht.ini"));
    EXPECT_TRUE(DeleteFile("T:\\\xDC" "bersicht.ini"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(drive.Host()), {}), 0);
}

TEST(WinFiles, TheReplaceKeepsAttributesAndAReadOnlyFileIsRefused) {
    TestDrive drive('T');
    drive.Put("hidden.ini", "alt");
    drive.Put("plain.ini", "alt");
    ASSERT_TRUE(::SetFileAttributesW(Wide(drive.HostOf("hidden.ini")).c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(::SetFileAttributesW(Wide(drive.HostOf("plain.ini")).c_str(), FILE_ATTRIBUTE_NORMAL));
    WriteFileAtomic("T:\\hidden.ini", "neu");
    WriteFileAtomic("T:\\plain.ini", "neu");
    EXPECT_EQ(drive.Get("hidden.ini"), "neu");
    EXPECT_TRUE(Attributes(drive, "hidden.ini") & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(Attributes(drive, "plain.ini") & FILE_ATTRIBUTE_HIDDEN);

    drive.Put("ro.ini", "alt");
    ASSERT_TRUE(::SetFileAttributesW(Wide(drive.HostOf("ro.ini")).c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string error = FileErrorOf([] { WriteFileAtomic("T:\\ro.ini", "neu"); });
    EXPECT_NE(error.find("\"T:\\ro.ini\" kann nicht geschrieben werden: sie ist schreibgesch\xFCtzt"),
              std::string::npos) << error;
    EXPECT_EQ(drive.Get("ro.ini"), "alt");
    ::SetFileAttributesW(Wide(drive.HostOf("ro.ini")).c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(drive.Host()), {}), 3); // no temporary left
}

TEST(WinFiles, AFileHeldOpenForWritingElsewhereIsNotReplaced) {
    TestDrive drive('T');
    drive.Put("w.ini", "alt");
    std::string loaded = ReadFileBytes("T:\\w.ini");
    FileStamp stamp = StampFile("T:\\w.ini", loaded);
    {
        // Another program has the file open for writing (and lets others read and write, as editors do).
        const HANDLE writer = ::CreateFileW(Wide(drive.HostOf("w.ini")).c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(writer, INVALID_HANDLE_VALUE);
        const std::string error = FileErrorOf([] { WriteFileAtomic("T:\\w.ini", "neu"); });
        EXPECT_NE(error.find("ein anderes Programm schreibt gerade"), std::string::npos) << error;
        EXPECT_FALSE(WriteFileAtomic("T:\\w.ini", "neu", [] { return true; }));
        DWORD done = 0;
        ASSERT_TRUE(::WriteFile(writer, "fremd", 5, &done, nullptr));
        ::CloseHandle(writer);
    }
    EXPECT_EQ(drive.Get("w.ini"), "fremd");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(drive.Host()), {}), 1);
    // The guard sees that write and takes it instead of writing over it.
    std::string disk;
    EXPECT_EQ(WriteBack("T:\\w.ini", "neu", stamp, false, disk), WriteBackResult::TakeFromDisk);
    EXPECT_EQ(disk, "fremd");
}
