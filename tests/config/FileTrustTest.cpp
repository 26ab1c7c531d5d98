// The configuration files as the user meets them: odd but valid files read correctly, files that cannot be
// read or are no INI files are said so once and never overwritten behind his back, another program's
// change is not lost, a failed write-back keeps the edits, and lost log lines are told.

#include "tests/config/ConfigFixture.h"
#include "tests/config/AsNobody.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "config/IniStore.h"
#include "platform/FileGuard.h"
#include "platform/Paths.h"

namespace {

// Collects the messages about files instead of showing them.
struct Notices {
    std::vector<std::pair<std::string, std::string>> seen;
    Notices() {
        plat::SetFileNoticeSink([this](const std::string& file, const std::string& text, bool box) {
            seen.emplace_back(file, text + (box ? "" : " [Statuszeile]"));
        });
    }
    ~Notices() { plat::SetFileNoticeSink(nullptr); }
    // The one message about file, which must contain every part.
    ::testing::AssertionResult SaidOnce(const std::string& file, std::initializer_list<const char*> parts) const {
        std::vector<std::string> texts;
        for (const auto& [f, t] : seen)
            if (f == file) texts.push_back(t);
        if (texts.size() != 1) return ::testing::AssertionFailure() << texts.size() << " messages about " << file;
        for (const char* p : parts)
            if (texts[0].find(p) == std::string::npos || texts[0].find(file) == std::string::npos)
                return ::testing::AssertionFailure() << "\"" << p << "\" missing in: " << texts[0];
        return ::testing::AssertionSuccess();
    }
};

class FileTrustTest : public ConfigFixture {
protected:
    Notices notices;
    ~FileTrustTest() override {
        plat::SetConflictQuestion(nullptr);
        plat::SetConfirmQuestion(nullptr);
    }
};

} // namespace

// CR-only line ends and a byte-order mark before the first header read as the user meant them; both are
// kept on write-back, and each is said once.
TEST_F(FileTrustTest, CrOnlyLineEndsAndAByteOrderMarkAreReadAndKept) {
    drive.Put("cr.ini", "; alt\r[files]\rbase=V:\r\r[modem]\rdial=ATDT\r");
    drive.Put("bom.ini", "\xEF\xBB\xBF[files]\r\nbase=W:\r\n");
    TIniStore cr(drive.Tool("cr.ini"));
    TIniStore bom(drive.Tool("bom.ini"));
    EXPECT_EQ(cr.ReadString("files", "base", "-"), "V:");
    EXPECT_EQ(cr.ReadString("modem", "dial", "-"), "ATDT");
    EXPECT_EQ(bom.ReadString("files", "base", "-"), "W:");
    EXPECT_TRUE(notices.SaidOnce(drive.Tool("cr.ini"), {"nur CR"}));
    EXPECT_TRUE(notices.SaidOnce(drive.Tool("bom.ini"), {"BOM"}));

    cr.WriteString("modem", "dial", "ATDP");
    bom.WriteString("files", "base", "X:");
    cr.UpdateFile();
    bom.UpdateFile();
    EXPECT_EQ(drive.Get("cr.ini"), "; alt\r[files]\rbase=V:\r\r[modem]\rdial=ATDP\r\r");
    EXPECT_EQ(drive.Get("bom.ini"), "\xEF\xBB\xBF[files]\r\nbase=X:\r\n\r\n");
}

// Files that are plainly no INI file (NUL bytes, no section at all) are never rewritten unless edited here,
// and then only when the user says yes; files that cannot be read at all are never replaced.
TEST_F(FileTrustTest, NoIniFileIsRewrittenWithoutTheUsersWord) {
    static const char kBinary[] = "\x7F" "ELF\x02\x01\x00\x00[x]\r\nk=v\r\n";
    const std::string binary(kBinary, sizeof kBinary - 1);
    drive.Put("bin.ini", binary);
    drive.Put("text.ini", "Das ist ein Brief,\r\nkein Einstellungsblatt.\r\n");
    for (const char* name : {"bin.ini", "text.ini"}) {
        SCOPED_TRACE(name);
        const std::string before = drive.Get(name);
        TIniStore store(drive.Tool(name));
        EXPECT_FALSE(store.NotIniReason().empty());
        EXPECT_EQ(store.UpdateFile(), UpdateResult::Nothing); // unedited: left alone, not "normalised"
        EXPECT_EQ(drive.Get(name), before);

        store.WriteString("neu", "k", "1");
        int asked = 0;
        plat::SetConfirmQuestion([&](const std::string& text) {
            ++asked;
            EXPECT_NE(text.find(drive.Tool(name)), std::string::npos);
            return false;
        });
        EXPECT_THROW(store.UpdateFile(), plat::WriteCancelled);
        EXPECT_EQ(drive.Get(name), before);
        EXPECT_EQ(store.ReadString("neu", "k", "-"), "1"); // the edit is still here
        plat::SetConfirmQuestion([&](const std::string&) { return ++asked > 0; });
        EXPECT_EQ(store.UpdateFile(), UpdateResult::Written);
        EXPECT_EQ(asked, 2);
        EXPECT_NE(drive.Get(name).find("[neu]\r\nk=1\r\n"), std::string::npos);
    }
    EXPECT_TRUE(notices.SaidOnce(drive.Tool("bin.ini"), {"keine INI-Datei", "NUL"}));
    EXPECT_TRUE(notices.SaidOnce(drive.Tool("text.ini"), {"keine INI-Datei", "keinen einzigen Abschnitt"}));
}

// The program's or a tool's INI file that is a folder, a pipe or a link loop, or that lies on a drive
// without mapping, is said once with its cause; none of them ends the start or is written to.
TEST_F(FileTrustTest, FilesThatCannotBeOpenedAreSaidOnceWithTheirCause) {
    drive.MakeDir("ordner.ini");
    ASSERT_EQ(::mkfifo(drive.HostOf("pipe.ini").c_str(), 0600), 0);
    std::filesystem::create_symlink("kreis2.ini", drive.HostOf("kreis1.ini"));
    std::filesystem::create_symlink("kreis1.ini", drive.HostOf("kreis2.ini"));
    struct Case {
        std::string path;
        const char* cause;
    };
    const Case cases[] = {{drive.Tool("ordner.ini"), "Ordner"},
                          {drive.Tool("pipe.ini"), "Pipe"},
                          {drive.Tool("kreis1.ini"), "Verkn\xFCpfungen"},
                          {"Q:\\tools\\tool.ini", "Laufwerk Q:"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        StartConfiguration({"/opt/ini4zav/ini4zav", "/i=" + c.path});
        EXPECT_FALSE(ConfigOpen() && ToolIni().Loaded()); // nothing read, nothing that could be written back
        EXPECT_TRUE(notices.SaidOnce(plat::ExpandFileName(c.path), {c.cause}));
        ShutdownConfiguration();
    }
    EXPECT_TRUE(std::filesystem::is_directory(drive.HostOf("ordner.ini")));
    EXPECT_TRUE(std::filesystem::is_fifo(drive.HostOf("pipe.ini")));
    EXPECT_FALSE(std::filesystem::exists("/tools/tool.ini"));
}

// Another program changes the open tool INI file: with nothing edited here the switch takes its version;
// with edits on both sides the user is asked, and "cancel" keeps file, store and edits as they are.
TEST_F(FileTrustTest, AnotherProgramsChangeToTheToolIniIsNotLost) {
    PutProgramIni();
    drive.Put("tools/tool.ini", "[modem]\r\ndial=ATDT\r\n");
    Start();
    OpenConfiguration("", "T:\\tools\\tool.ini", false);
    drive.Put("tools/tool.ini", "; vom Monitor\r\n[modem]\r\ndial=ATDP\r\nneu=1\r\n");
    ReleaseToolIni(); // nothing edited here: nothing written
    EXPECT_EQ(drive.Get("tools/tool.ini"), "; vom Monitor\r\n[modem]\r\ndial=ATDP\r\nneu=1\r\n");

    OpenConfiguration("", "T:\\tools\\tool.ini", false);
    ToolIni().WriteString("modem", "dial", "ATX");
    drive.Put("tools/tool.ini", "[modem]\r\ndial=fremd\r\n");
    std::vector<std::string> asked;
    plat::SetConflictQuestion([&](const std::string& file) {
        asked.push_back(file);
        return plat::Conflict::Cancel;
    });
    EXPECT_THROW(ReleaseToolIni(), plat::WriteCancelled);
    EXPECT_TRUE(ConfigOpen()); // still open, edits and all
    EXPECT_EQ(ini_DialStr(), "ATX");
    EXPECT_EQ(drive.Get("tools/tool.ini"), "[modem]\r\ndial=fremd\r\n");
    // The next open does not go past it either.
    EXPECT_THROW(OpenConfiguration("", kProgramIni, false), plat::WriteCancelled);
    EXPECT_EQ(IniFileName(), "T:\\tools\\tool.ini");

    plat::SetConflictQuestion([&](const std::string& file) {
        asked.push_back(file);
        return plat::Conflict::TakeFromDisk;
    });
    ToolIni().WriteString("modem", "x", "1");
    EXPECT_EQ(ToolIni().UpdateFile(), UpdateResult::TakenFromDisk);
    EXPECT_EQ(ini_DialStr(), "fremd"); // the store now holds the file from disk, edits dropped
    EXPECT_FALSE(ToolIni().ValueExists("modem", "x"));

    ToolIni().WriteString("modem", "dial", "ATZ");
    drive.Put("tools/tool.ini", "[modem]\r\ndial=nochmal fremd\r\n");
    plat::SetConflictQuestion([&](const std::string& file) {
        asked.push_back(file);
        return plat::Conflict::Overwrite;
    });
    ReleaseToolIni();
    EXPECT_EQ(drive.Get("tools/tool.ini"), "[modem]\r\ndial=ATZ\r\n\r\n");
    EXPECT_EQ(asked, std::vector<std::string>(4, "T:\\tools\\tool.ini"));
}

// A read-only or unreadable tool INI file: the write-back is refused with a message naming the file, the
// store stays open with its edits, and giving them up is the user's explicit step.
TEST_F(FileTrustTest, ARefusedWriteBackKeepsTheStoreAndItsEdits) {
    PutProgramIni();
    drive.Put("tools/ro.ini", "[modem]\r\ndial=ATDT\r\n");
    ::chmod(drive.HostOf("tools/ro.ini").c_str(), 0444);
    Start();
    OpenConfiguration("", "T:\\tools\\ro.ini", false);
    ToolIni().WriteString("modem", "dial", "ATDP");
    try {
        ReleaseToolIni();
        FAIL() << "written over a read-only file";
    } catch (const plat::FileError& e) {
        EXPECT_NE(std::string(e.what()).find("\"T:\\tools\\ro.ini\""), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("schreibgesch\xFCtzt"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(ConfigOpen());
    EXPECT_EQ(ini_DialStr(), "ATDP");
    EXPECT_EQ(drive.Get("tools/ro.ini"), "[modem]\r\ndial=ATDT\r\n");
    ::chmod(drive.HostOf("tools/ro.ini").c_str(), 0644);
    ReleaseToolIni(); // the user made it writable and tried again
    EXPECT_EQ(drive.Get("tools/ro.ini"), "[modem]\r\ndial=ATDP\r\n\r\n");

    OpenConfiguration("", "T:\\tools\\ro.ini", false);
    ToolIni().WriteString("modem", "dial", "verworfen");
    ::chmod(drive.HostOf("tools/ro.ini").c_str(), 0444);
    EXPECT_THROW(ReleaseToolIni(), plat::FileError);
    DiscardToolIni();
    EXPECT_FALSE(ConfigOpen());
    EXPECT_EQ(drive.Get("tools/ro.ini"), "[modem]\r\ndial=ATDP\r\n\r\n");
    ::chmod(drive.HostOf("tools/ro.ini").c_str(), 0644);
}

// A log that can take no more (a full disk; here the process's file size limit) loses lines: the user is
// told once, and the program goes on writing (and trying).
TEST_F(FileTrustTest, LostLogLinesAreToldOnceAndTheProgramGoesOn) {
    PutProgramIni("[logfiles]\r\nreports=0\r\nlogonfile=T:\\full.log\r\n");
    Start();
    ASSERT_TRUE(LogOnFile && LogOnFile->IsOpen());
    struct rlimit before;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const struct rlimit full = {rlim_t(drive.Get("full.log").size()), before.rlim_max};
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
    for (int i = 0; i < 5; ++i) WriteLogOnLine("Zeile " + std::to_string(i));
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_GE(LogOnFile->LostLines(), 5u);
    EXPECT_TRUE(notices.SaidOnce("T:\\full.log",
                                 {"gehen verloren", "zu gro\xDF", "l\xE4uft weiter", "[Statuszeile]"}));
}

// A tool INI file the user may not read (run as an unprivileged user, also when the suite runs as root):
// said once with its cause, the store is empty, and an edit is never written over the unread file.
TEST_F(FileTrustTest, AnUnreadableFileIsSaidAndNeverReplaced) {
    ::chmod(drive.Host().c_str(), 0777);
    drive.Put("geheim.ini", "[modem]\r\ndial=ATDT\r\n");
    ::chmod(drive.HostOf("geheim.ini").c_str(), 0600); // root's own, or (not root) made unreadable below
    if (::geteuid() != 0) ::chmod(drive.HostOf("geheim.ini").c_str(), 0200);
    EXPECT_EQ(AsNobody([&] {
                  std::string said;
                  plat::SetFileNoticeSink([&](const std::string&, const std::string& text, bool) { said += text; });
                  TIniStore store(drive.Tool("geheim.ini"));
                  if (store.Loaded() || store.SectionCount() != 0) return std::string("read anyway");
                  if (said.find("\"T:\\geheim.ini\"") == std::string::npos || said.find("Zugriff verweigert") == std::string::npos)
                      return "message: " + said;
                  store.WriteString("modem", "dial", "ATDP");
                  try {
                      store.UpdateFile();
                      return std::string("written");
                  } catch (const plat::WriteCancelled&) {
                  }
                  return std::string();
              }),
              "");
    ::chmod(drive.HostOf("geheim.ini").c_str(), 0600);
    EXPECT_EQ(drive.Get("geheim.ini"), "[modem]\r\ndial=ATDT\r\n");
}

// Nothing edited here, nothing written: a file not in the written form stays as it is, also a read-only
// one (no "not saved" for changes nobody made); a missing file or a link whose target is missing is not
// made, and where the settings name the file its absence is said.
TEST_F(FileTrustTest, UneditedStoresTouchNoFileAndMissingNamedFilesAreSaid) {
    drive.Put("ro.ini", "; Beispiel\r\n[modem]\r\ndial=ATDP"); // no blank line at the end
    ::chmod(drive.HostOf("ro.ini").c_str(), 0444);
    std::filesystem::create_symlink(drive.HostOf("weg/modems.ini"), drive.HostOf("link.ini"));
    {
        TIniStore ro(drive.Tool("ro.ini"));
        ro.WriteString("modem", "dial", "ATDP"); // the same value again
        EXPECT_EQ(ro.UpdateFile(), UpdateResult::Nothing);
        EXPECT_EQ(drive.Get("ro.ini"), "; Beispiel\r\n[modem]\r\ndial=ATDP");
        ro.WriteString("modem", "dial", "ATDT");
        EXPECT_THROW(ro.UpdateFile(), plat::FileError); // a real edit is refused as before
    }
    for (const char* name : {"fehlt.ini", "link.ini"}) {
        TIniStore named(drive.Tool(name), TIniStore::IfMissing::Say);
        EXPECT_EQ(named.UpdateFile(), UpdateResult::Nothing);
    }
    EXPECT_FALSE(drive.Exists("fehlt.ini"));
    EXPECT_FALSE(drive.Exists("weg"));
    TIniStore quiet(drive.Tool("fehlt.ini")); // the program's own INI file may be missing without a word
    EXPECT_TRUE(notices.SaidOnce(drive.Tool("fehlt.ini"), {"nicht vorhanden"}));
    EXPECT_TRUE(notices.SaidOnce(drive.Tool("link.ini"), {"Verkn\xFCpfung", "Ziel fehlt"}));
}

// A huge file named as an INI file is refused before it is read: no memory taken, a German message with
// the limit, and never overwritten.
TEST_F(FileTrustTest, AnOversizedIniFileIsRefusedUnread) {
    drive.Put("gross.ini", "[a]\r\nb=c\r\n");
    ASSERT_EQ(::truncate(drive.HostOf("gross.ini").c_str(), off_t(2) << 30), 0); // 2 GB, sparse
    TIniStore big(drive.Tool("gross.ini"));
    EXPECT_FALSE(big.Loaded());
    EXPECT_EQ(big.SectionCount(), 0u);
    EXPECT_TRUE(notices.SaidOnce(drive.Tool("gross.ini"), {"2048 MB zu gro\xDF", "32 MB"}));
    EXPECT_NE(TIniStore::WhyNotReadable(drive.Tool("gross.ini")).find("zu gro\xDF"), std::string::npos);
    big.WriteString("a", "b", "d");
    EXPECT_THROW(big.UpdateFile(), plat::WriteCancelled);
    EXPECT_EQ(std::filesystem::file_size(drive.HostOf("gross.ini")), uintmax_t(2) << 30);
}

// Another program's change is seen whatever the file's size, also when it kept size, time and inode, and
// up to the moment the new version replaces the file.
TEST_F(FileTrustTest, ChangesOnDiskAreSeenAtAnySizeAndUpToTheReplace) {
    const std::string body = "[big]\r\nfill=" + std::string(5 << 20, 'x') + "\r\n";
    drive.Put("big.ini", body);
    TIniStore store(drive.Tool("big.ini"));
    struct stat before;
    ASSERT_EQ(::stat(drive.HostOf("big.ini").c_str(), &before), 0);
    {
        // Rewritten in place: same size, same inode, and the time set back.
        std::string other = body;
        other[7] = 'F';
        std::FILE* f = std::fopen(drive.HostOf("big.ini").c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fwrite(other.data(), 1, other.size(), f);
        std::fclose(f);
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, drive.HostOf("big.ini").c_str(), times, 0), 0);
    }
    store.WriteString("big", "neu", "1");
    plat::SetConflictQuestion([](const std::string&) { return plat::Conflict::Cancel; });
    EXPECT_THROW(store.UpdateFile(), plat::WriteCancelled);
    plat::SetConflictQuestion(nullptr);
    EXPECT_EQ(drive.Get("big.ini")[7], 'F');

    // The last look before the replace says no: the file stays, no temporary is left.
    drive.Put("small.ini", "[a]\r\n");
    EXPECT_FALSE(plat::WriteFileAtomic(drive.Tool("small.ini"), "[b]\r\n", [] { return false; }));
    EXPECT_EQ(drive.Get("small.ini"), "[a]\r\n");
    for (const auto& e : std::filesystem::directory_iterator(drive.HostOf("")))
        EXPECT_EQ(e.path().filename().string().find("ini4zav~"), std::string::npos);
}

// Where the file system has leases: a program that has the file open for writing keeps it from being
// replaced (its later writes would go into the replaced file), and so does one that opens it for writing
// while it is being replaced. Nothing it writes is lost, and the store keeps its edits.
TEST_F(FileTrustTest, AFileBeingWrittenByAnotherProgramIsNotReplaced) {
    drive.Put("w.ini", "[a]\r\nk=1\r\n");
    const std::string host = drive.HostOf("w.ini");
    {
        const int probe = ::open(host.c_str(), O_RDONLY);
        const bool leases = ::fcntl(probe, F_SETLEASE, F_RDLCK) == 0;
        ::fcntl(probe, F_SETLEASE, F_UNLCK);
        ::close(probe);
        if (!leases) GTEST_SKIP() << "no leases on this file system";
    }
    TIniStore store(drive.Tool("w.ini"));
    store.WriteString("a", "k", "2");
    const int writer = ::open(host.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);
    EXPECT_THROW(store.UpdateFile(), plat::WriteCancelled);
    ASSERT_EQ(::write(writer, "x=1\r\n", 5), 5);
    ::close(writer);
    EXPECT_EQ(drive.Get("w.ini"), "[a]\r\nk=1\r\nx=1\r\n");
    EXPECT_EQ(store.ReadString("a", "k", "-"), "2");

    // A program opens the file for writing while it is being replaced: the kernel holds its open until
    // the old file is back in place, and it appends there.
    std::thread late;
    auto breaking = [] {
        std::ifstream locks("/proc/locks");
        return std::string(std::istreambuf_iterator<char>(locks), {}).find("BREAKING") != std::string::npos;
    };
    const bool replaced = plat::WriteFileAtomic(drive.Tool("w.ini"), "[neu]\r\n", [&] {
        late = std::thread([&] {
            const int fd = ::open(host.c_str(), O_WRONLY | O_APPEND);
            (void)!::write(fd, "y=2\r\n", 5);
            ::close(fd);
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!breaking() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        return true;
    });
    late.join();
    EXPECT_FALSE(replaced);
    EXPECT_EQ(drive.Get("w.ini"), "[a]\r\nk=1\r\nx=1\r\ny=2\r\n");
}
