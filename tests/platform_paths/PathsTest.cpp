#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "tests/config/TestDrive.h"

using namespace plat;

TEST(ToolPaths, ExpandFileNameAgainstTheCurrentDirectory) {
    TestDrive drive('T');
    drive.MakeDir("work\\sub");
    drive.Chdir("work\\sub");
    ASSERT_EQ(GetCurrentDir(), "T:\\work\\sub");
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"", ""},
        {"x.ini", "T:\\work\\sub\\x.ini"},
        {".", "T:\\work\\sub"},
        {"..\\y", "T:\\work\\y"},
        {"\\z", "T:\\z"},
        {"T:a", "T:\\work\\sub\\a"},   // drive-relative on the current drive
        {"D:a", "D:\\a"},              // another drive: its root
        {"C:\\a\\.\\b\\\\c", "C:\\a\\b\\c"},
        {"C:/a/b", "C:\\a\\b"},
        {"C:\\a\\..\\..\\b", "C:\\b"}, // never above the root
        {"C:\\a\\", "C:\\a\\"},        // a trailing separator stays
        {"C:\\", "C:\\"},
        {"c:\\X\\telefon.txt", "c:\\X\\telefon.txt"},
        {"\\\\server\\share\\a\\..\\b", "\\\\server\\share\\b"},
    };
    for (const auto& c : cases) EXPECT_EQ(ExpandFileName(c.in), c.out) << c.in;
}

TEST(ToolPaths, NameParts) {
    EXPECT_EQ(ExtractFilePath("C:\\dir\\name.ext.txt"), "C:\\dir\\");
    EXPECT_EQ(ExtractFileDir("C:\\dir\\name.ext.txt"), "C:\\dir");
    EXPECT_EQ(ExtractFileDir("C:\\name"), "C:\\");
    EXPECT_EQ(ExtractFileDir("name"), "");
    EXPECT_EQ(ExtractFileName("C:\\dir\\name.ext.txt"), "name.ext.txt");
    EXPECT_EQ(ExtractFileName("C:name"), "name");
    EXPECT_EQ(ExtractFileName("/usr/bin/ini4zav"), "ini4zav");
    EXPECT_EQ(ExtractFileExt("C:\\dir\\name.ext.txt"), ".txt");
    EXPECT_EQ(ExtractFileExt("C:\\dir.d\\name"), "");
    EXPECT_EQ(ChangeFileExt("C:\\dir.d\\name", ".INI"), "C:\\dir.d\\name.INI");
    EXPECT_EQ(ChangeFileExt("ini4zav.exe", ".INI"), "ini4zav.INI");
    EXPECT_EQ(IncludeTrailingBackslash("C:\\x"), "C:\\x\\");
    EXPECT_EQ(IncludeTrailingBackslash("C:\\x\\"), "C:\\x\\");
}

TEST(HostMapping, ComponentsAreFoundWithoutRegardToCase) {
    if (kNativeHostPaths) GTEST_SKIP() << "native host paths: the file system itself ignores case";
    TestDrive drive('T');
    drive.Put("Mon4Vam/Data/File.TXT", "x");
    drive.Put("\xC3\x9C" "bersicht.txt", "y"); // "Übersicht.txt" as the host names it (UTF-8)
    EXPECT_EQ(ToHostPath("T:\\MON4VAM\\data\\file.txt"), drive.Host() + "/Mon4Vam/Data/File.TXT");
    EXPECT_EQ(ToHostPath("t:/Mon4Vam/Data/File.TXT"), drive.Host() + "/Mon4Vam/Data/File.TXT");
    EXPECT_EQ(ToHostPath("T:\\\xFC" "bersicht.TXT"), drive.Host() + "/\xC3\x9C" "bersicht.txt"); // cp1252 ü
    EXPECT_TRUE(FileExists("T:\\MON4VAM\\DATA\\FILE.TXT"));
    // A missing component keeps the case it was given, and so does everything below it.
    EXPECT_EQ(ToHostPath("T:\\mon4vam\\Neu\\A.ini"), drive.Host() + "/Mon4Vam/Neu/A.ini");
    // An unmapped drive is the file-system root.
    EXPECT_EQ(ToHostPath("Q:\\etc\\passwd"), "/etc/passwd");
    // Relative names resolve against the current directory.
    drive.Chdir("Mon4Vam");
    EXPECT_EQ(ToHostPath("data\\file.txt"), drive.Host() + "/Mon4Vam/Data/File.TXT");
}

TEST(HostMapping, FromHostPathChoosesTheLongestMappedPrefix) {
    TestDrive drive('T');
    drive.MakeDir("sub/deeper");
    SetDriveMapping('U', drive.HostOf("sub"));
    EXPECT_EQ(FromHostPath(drive.HostOf("sub/deeper/x.ini")), "U:\\deeper\\x.ini");
    EXPECT_EQ(FromHostPath(drive.HostOf("sub")), "U:\\");
    EXPECT_EQ(FromHostPath(drive.HostOf("subway")), "T:\\subway"); // a prefix must end at a separator
    EXPECT_EQ(FromHostPath(drive.HostOf("a/../b")), "T:\\b");
    if (!kNativeHostPaths) {
        EXPECT_EQ(FromHostPath("/usr/bin"), "C:\\usr\\bin");
        EXPECT_EQ(FromHostPath(drive.HostOf("\xC3\xA4.txt")), "T:\\\xE4.txt"); // ä back to cp1252
    }
    // Round trip through both directions.
    EXPECT_EQ(ToHostPath(FromHostPath(drive.HostOf("sub/deeper"))), drive.HostOf("sub/deeper"));
}

TEST(HostMapping, ExistenceDeleteAndDirectoryChange) {
    TestDrive drive('T');
    drive.Put("d/f.ini", "[a]\r\n");
    EXPECT_TRUE(FileExists("T:\\d\\f.ini"));
    EXPECT_FALSE(FileExists("T:\\d"));  // a directory is not a file
    EXPECT_TRUE(DirectoryExists("T:\\D"));
    EXPECT_FALSE(DirectoryExists("T:\\d\\f.ini"));
    EXPECT_FALSE(FileExists(""));
    EXPECT_TRUE(DeleteFile("T:\\D\\F.INI"));
    EXPECT_FALSE(drive.Exists("d/f.ini"));
    EXPECT_FALSE(DeleteFile("T:\\d\\f.ini"));

    SetCurrentDir("T:\\d");
    EXPECT_EQ(GetCurrentDir(), "T:\\d");
    try {
        SetCurrentDir("T:\\fehlt");
        FAIL() << "no FileError";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("\"T:\\fehlt\" existiert nicht"), std::string::npos) << e.what();
    }
    EXPECT_EQ(GetCurrentDir(), "T:\\d");
}
