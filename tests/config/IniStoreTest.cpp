#include <gtest/gtest.h>

#include <sys/stat.h>

#include "config/IniStore.h"
#include "platform/Files.h"
#include "tests/config/TestDrive.h"

namespace {

using Lines = std::vector<std::string>;

const char* const kSample =
    "; Kopfkommentar\r\n"
    "vorspann=1\r\n"
    "[files]\r\n"
    "Base=D:\\tools\r\n"
    "; im Abschnitt\r\n"
    "key = spaced \r\n"
    "path=a=b=c\r\n"
    "empty=\r\n"
    "\r\n"
    "\r\n"
    "; gehoert zu [\xDC" "bersicht]\r\n"
    "[\xDC" "bersicht]\r\n"
    "Gr\xF6\xDF" "e=5\r\n"
    "ohne gleich\r\n"
    "[FILES]\r\n"
    "base=zweiter\r\n"
    "extra=nur hier\n"
    "[last]\n"
    "x=1";

class IniStoreTest : public ::testing::Test {
protected:
    TestDrive drive{'T'};
    std::string Load(const std::string& text) {
        drive.Put("t.ini", text);
        return drive.Tool("t.ini");
    }
};

} // namespace

TEST_F(IniStoreTest, LookupsIgnoreCaseAndTrimNothing) {
    TIniStore ini(Load(kSample));
    EXPECT_EQ(ini.ReadString("FILES", "base", "-"), "D:\\tools");       // [files]/[FILES], Base/base
    EXPECT_EQ(ini.ReadString("files", "key ", "-"), " spaced ");       // blanks around "=" belong to key/value
    EXPECT_EQ(ini.ReadString("files", "key", "-"), "-");
    EXPECT_EQ(ini.ReadString("files", "path", "-"), "a=b=c");          // whole after the first "="
    EXPECT_EQ(ini.ReadString("files", "empty", "-"), "");              // empty value is not the default
    EXPECT_EQ(ini.ReadString("\xFC" "BERSICHT", "GR\xD6\xDF" "E", "-"), "5"); // ü/Ü, ö/Ö in cp1252
    EXPECT_EQ(ini.ReadString("files", "extra", "-"), "-");             // only in the second [FILES]
    EXPECT_EQ(ini.ReadString("last", "x", "-"), "1");
    EXPECT_EQ(ini.ReadString("fehlt", "x", "def"), "def");
    EXPECT_TRUE(ini.ValueExists("Files", "EMPTY"));
    EXPECT_FALSE(ini.ValueExists("files", "fehlt"));
    EXPECT_FALSE(ini.SectionExists("fehlt"));
}

TEST_F(IniStoreTest, CommentsAndPreambleAreNeverReadOrListed) {
    TIniStore ini(Load(kSample));
    Lines list;
    ini.ReadSections(list);
    EXPECT_EQ(list, (Lines{"files", "\xDC" "bersicht", "FILES", "last"}));
    ini.ReadSection("files", list);
    EXPECT_EQ(list, (Lines{"Base", "key ", "path", "empty"}));
    ini.ReadSectionValues("\xFC" "bersicht", list);
    EXPECT_EQ(list, (Lines{"Gr\xF6\xDF" "e=5", "ohne gleich"}));
    EXPECT_EQ(ini.ReadString("files", "; im Abschnitt", "-"), "-");
    EXPECT_EQ(ini.ReadString("", "vorspann", "-"), "-");
}

TEST_F(IniStoreTest, NumbersAndBooleans) {
    struct Case {
        const char* value;
        int expected; // with default -7
    };
    const Case cases[] = {
        {"0x1F", 31}, {"0X1f", 31}, {"$1F", 31},  {"-$10", -16}, {"0x", -7},  {"abc", -7},
        {"12", 12},   {"-5", -5},   {" 7", 7},    {"7 ", -7},    {"", -7},    {"0x1G", -7},
        {"2147483647", 2147483647}, {"2147483648", -7}, {"-2147483648", -2147483647 - 1},
        {"$FFFFFFFF", -1}, {"99999999999", -7},
    };
    TIniStore ini("");
    for (const auto& c : cases) {
        ini.WriteString("n", "v", c.value);
        EXPECT_EQ(ini.ReadInteger("n", "v", -7), c.expected) << "\"" << c.value << "\"";
    }
    ini.WriteString("b", "true", "TRUE");
    ini.WriteString("b", "one", "1");
    ini.WriteString("b", "zero", "0");
    for (bool def : {false, true}) {
        EXPECT_EQ(ini.ReadBool("b", "true", def), def); // not a number: the default
        EXPECT_TRUE(ini.ReadBool("b", "one", def));
        EXPECT_FALSE(ini.ReadBool("b", "zero", def));
        EXPECT_EQ(ini.ReadBool("b", "fehlt", def), def);
    }
    ini.WriteBool("b", "w", true);
    EXPECT_EQ(ini.ReadString("b", "w", ""), "1");
    ini.WriteInteger("b", "w", -12);
    EXPECT_EQ(ini.ReadString("b", "W", ""), "-12");
}

TEST_F(IniStoreTest, WritesKeepOrderAndDuplicatesStaySeparate) {
    TIniStore ini(Load(kSample));
    ini.WriteString("FILES", "extra", "neu"); // goes to the first [files]
    ini.WriteString("files", "BASE", "E:\\x"); // replaced in place, with the caller's spelling
    ini.WriteString("neu", "a", "1");
    Lines list;
    ini.ReadSectionValues("files", list);
    EXPECT_EQ(list, (Lines{"BASE=E:\\x", "key = spaced ", "path=a=b=c", "empty=", "extra=neu"}));
    ini.ReadSections(list);
    EXPECT_EQ(list.back(), "neu");

    ini.EraseSection("files"); // the first one; the second now answers
    EXPECT_EQ(ini.ReadString("files", "base", "-"), "zweiter");
    EXPECT_EQ(ini.ReadString("files", "extra", "-"), "nur hier");
    ini.EraseSection("files");
    EXPECT_FALSE(ini.SectionExists("files"));
}

TEST_F(IniStoreTest, DeleteKeyUncoversALaterDuplicateAndSurvivesCompaction) {
    TIniStore ini(Load("[s]\r\nk=1\r\nK=2\r\n"));
    ini.DeleteKey("s", "k");
    EXPECT_EQ(ini.ReadString("s", "k", "-"), "2");
    ini.DeleteKey("s", "k");
    EXPECT_FALSE(ini.ValueExists("s", "k"));

    // Enough deletions to make the section compact itself; the rest must still be found and ordered.
    for (int i = 0; i < 300; ++i) ini.WriteInteger("s", "key" + std::to_string(i), i);
    for (int i = 0; i < 300; ++i)
        if (i % 4 != 0) ini.DeleteKey("s", "KEY" + std::to_string(i));
    Lines keys;
    ini.ReadSection("s", keys);
    ASSERT_EQ(keys.size(), 75u);
    for (int i = 0; i < 300; i += 4) {
        EXPECT_EQ(ini.ReadInteger("s", "key" + std::to_string(i), -1), i);
        EXPECT_EQ(keys[std::size_t(i / 4)], "key" + std::to_string(i));
    }
    ini.WriteString("s", "key5", "back");
    ini.ReadSection("s", keys);
    EXPECT_EQ(keys.back(), "key5");
}

TEST_F(IniStoreTest, WrittenInNormalFormWithCommentsInPlace) {
    TIniStore ini(Load(kSample));
    const std::string expected =
        "; Kopfkommentar\r\n"
        "vorspann=1\r\n"
        "[files]\r\n"
        "Base=D:\\tools\r\n"
        "; im Abschnitt\r\n"
        "key = spaced \r\n"
        "path=a=b=c\r\n"
        "empty=\r\n"
        "\r\n"
        "; gehoert zu [\xDC" "bersicht]\r\n"
        "[\xDC" "bersicht]\r\n"
        "Gr\xF6\xDF" "e=5\r\n"
        "ohne gleich\r\n"
        "\r\n"
        "[FILES]\r\n"
        "base=zweiter\r\n"
        "extra=nur hier\r\n"
        "\r\n"
        "[last]\r\n"
        "x=1\r\n"
        "\r\n";
    EXPECT_EQ(ini.GetText(), expected);
    Lines lines;
    ini.GetStrings(lines);
    EXPECT_EQ(lines, plat::SplitLines(expected));
    const std::string asRead = drive.Get("t.ini");
    ini.UpdateFile(); // nothing edited: the file stays as it is
    EXPECT_EQ(drive.Get("t.ini"), asRead);
    ini.WriteString("last", "x", "2");
    ini.WriteString("last", "x", "1"); // edited, but back as it was: still nothing to write
    ini.UpdateFile();
    EXPECT_EQ(drive.Get("t.ini"), asRead);
    ini.WriteString("last", "x", "3"); // edited: written in the normal form
    ini.UpdateFile();
    std::string edited = expected;
    edited.replace(edited.find("[last]\r\nx=1"), 11, "[last]\r\nx=3");
    EXPECT_EQ(drive.Get("t.ini"), edited);
    ini.WriteString("last", "x", "1");
    ini.UpdateFile();
    EXPECT_EQ(drive.Get("t.ini"), expected);
    // The normal form reads back to itself.
    TIniStore again(drive.Tool("t.ini"));
    EXPECT_EQ(again.GetText(), expected);

    // A file with LF line ends keeps them.
    TIniStore lf(Load("[a]\nx=1\r\n; c\n"));
    EXPECT_EQ(lf.GetText(), "[a]\nx=1\n; c\n\n");
}

TEST_F(IniStoreTest, UpdateFileSkipsIdenticalBytesAndCreatesMissingFiles) {
    TIniStore fresh(drive.Tool("neu\\..\\neu.ini"));
    fresh.WriteString("a", "b", "c");
    fresh.UpdateFile();
    EXPECT_EQ(drive.Get("neu.ini"), "[a]\r\nb=c\r\n\r\n");

    struct stat before, after;
    ASSERT_EQ(stat(drive.HostOf("neu.ini").c_str(), &before), 0);
    TIniStore same(drive.Tool("neu.ini"));
    same.UpdateFile();
    ASSERT_EQ(stat(drive.HostOf("neu.ini").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino); // not replaced
    same.WriteString("a", "b", "d");
    same.UpdateFile();
    EXPECT_EQ(drive.Get("neu.ini"), "[a]\r\nb=d\r\n\r\n");

    TIniStore nameless("");
    nameless.WriteString("a", "b", "c");
    EXPECT_NO_THROW(nameless.UpdateFile());
}

TEST_F(IniStoreTest, UnreadableFileIsEmptyAndNeverOverwritten) {
    drive.MakeDir("dir.ini");
    TIniStore ini(drive.Tool("dir.ini"));
    EXPECT_FALSE(ini.Loaded());
    EXPECT_EQ(ini.SectionCount(), 0u);
    EXPECT_NO_THROW(ini.UpdateFile()); // unchanged: nothing to save, nothing said
    ini.WriteString("a", "b", "c");
    try {
        ini.UpdateFile();
        FAIL() << "no FileError";
    } catch (const plat::FileError& e) {
        EXPECT_NE(std::string(e.what()).find("dir.ini"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(std::filesystem::is_directory(drive.HostOf("dir.ini")));
}

TEST_F(IniStoreTest, BinaryContentAndHugeLinesRoundTrip) {
    std::string binary("[bin]\r\nz=\0\x01\xFF", 12);
    binary += "\r\n[long]\r\nv=" + std::string(10 * 1024 * 1024, 'x') + "\r\n";
    TIniStore ini(Load(binary));
    EXPECT_EQ(ini.ReadString("bin", "z", "-"), std::string("\0\x01\xFF", 3));
    EXPECT_EQ(ini.ReadString("long", "v", "").size(), 10u * 1024 * 1024);
    ini.UpdateFile();
    TIniStore again(drive.Tool("t.ini"));
    EXPECT_EQ(again.ReadString("bin", "z", "-"), std::string("\0\x01\xFF", 3));
    EXPECT_EQ(again.ReadString("long", "v", ""), std::string(10 * 1024 * 1024, 'x'));
}

// A line that ends in CR keeps it through any number of write-backs, also in a file with LF line ends (the
// file is then written with CR LF, the only line end after which that CR reads back).
TEST_F(IniStoreTest, TrailingCrSurvivesWriteBack) {
    struct Case {
        const char* file;
        const char* value; // of [a] k after loading
        bool keepsLf;
    };
    const Case cases[] = {
        {"[a]\nx=1\nk=v\r", "v\r", false},        // CR at the end of the file
        {"[a]\nk=v\r\r\nx=1\n", "v\r", false},    // a stray CR before CR LF
        {"[a]\nk=v\r\nx=1\n", "v", true},          // a CR LF line in an LF file is just a line end
        {"[a]\r\nk=v\r\r\nx=1\r\n", "v\r", false}, // CR LF files were never affected
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        TIniStore ini(Load(c.file));
        ASSERT_EQ(ini.ReadString("a", "k", "-"), c.value);
        EXPECT_EQ(ini.GetText().find("\r\n") == std::string::npos, c.keepsLf);
        const std::string text = ini.GetText();
        ini.UpdateFile();
        for (int round = 0; round < 2; ++round) { // read back and written again: unchanged each time
            TIniStore again(drive.Tool("t.ini"));
            EXPECT_EQ(again.ReadString("a", "k", "-"), c.value);
            EXPECT_EQ(again.ReadString("a", "x", "-"), "1");
            EXPECT_EQ(again.GetText(), text);
            again.WriteString("a", "x", "1"); // modified, so that it is written
            again.UpdateFile();
        }
    }
    // The same for a value written with a trailing CR.
    TIniStore ini(Load("[a]\nx=1\n"));
    ini.WriteString("a", "w", "y\r");
    ini.UpdateFile();
    TIniStore again(drive.Tool("t.ini"));
    EXPECT_EQ(again.ReadString("a", "w", "-"), "y\r");
    EXPECT_EQ(again.GetText(), ini.GetText());
}

// A save changes nothing a load reads of the parts not edited: the bytes of a byte-order mark after a
// leading blank line stay part of their line (that "[sec]" is no section, and stays none).
TEST_F(IniStoreTest, ASaveKeepsWhatALoadReadsOfUneditedParts) {
    for (const char* file : {"\r\n\xEF\xBB\xBF[sec]\r\nkey=v\r\n[other]\r\nx=1\r\n",
                             "\n\n\xEF\xBB\xBF[sec]\nkey=v\n[other]\nx=1\n",
                             "\xEF\xBB\xBF\xEF\xBB\xBF[sec]\r\nkey=v\r\n[other]\r\nx=1\r\n"}) {
        SCOPED_TRACE(file);
        TIniStore ini(Load(file));
        ASSERT_EQ(ini.SectionCount(), 1u);
        ini.WriteString("other", "x", "2");
        ini.UpdateFile();
        for (int round = 0; round < 2; ++round) {
            TIniStore again(drive.Tool("t.ini"));
            EXPECT_EQ(again.SectionCount(), 1u);
            EXPECT_FALSE(again.SectionExists("sec"));
            EXPECT_EQ(again.ReadString("other", "x", "-"), "2");
            again.WriteString("other", "y", "3");
            again.UpdateFile();
        }
    }
}
