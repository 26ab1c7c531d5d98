#include "tests/config/ConfigFixture.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>

namespace {

class LogFilesTest : public ConfigFixture {
protected:
    static std::string LogSections(const std::string& reports) {
        // One section: a second [Logfiles] would be a separate section that lookups never reach.
        return "[logfiles]\r\nmainlogfile=$(BASE)\\log\\main.log\r\n" + reports +
               "logonfile=$(BASE)\\log\\logon.log\r\n";
    }
};

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
bool StartsWith(const std::string& s, const std::string& head) { return s.rfind(head, 0) == 0; }

} // namespace

TEST(ReportSwitches, ParsedFromTheFirst21Characters) {
    struct Case {
        std::string raw;
        uint32_t flags;
    };
    const Case cases[] = {
        {"1", 1u << 0},
        {"0001", 1u << 3},
        {std::string(25, '1'), (1u << 21) - 1}, // characters beyond the 21st set nothing
        {"?", 0},
        {"", 0},
        {"0000000001", 1u << 9},
        {"1x1", (1u << 0) | (1u << 2)},
    };
    for (const auto& c : cases) {
        TReports r;
        r.SetReportString(c.raw);
        EXPECT_EQ(r.ReportFlags, c.flags) << c.raw;
        EXPECT_GE(r.ReportString.size(), 21u) << c.raw;
    }
    TReports r;
    r.SetReportString("?");
    EXPECT_EQ(r.ReportString, std::string(21, '0'));
    r.SetReportString("0001");
    EXPECT_TRUE(r.Flag(3));
    EXPECT_FALSE(r.Flag(0));
    EXPECT_FALSE(r.Flag(40));
}

TEST_F(LogFilesTest, HeaderWithSwitchZero) {
    PutProgramIni(LogSections("reports=1\r\n"));
    Start({"/m=x"});
    const std::string text = drive.Get("tools/log/main.log");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), std::count(text.begin(), text.end(), '\r'));
    const auto lines = plat::SplitLines(text);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_TRUE(StartsWith(lines[0], "- auf ** ")) << lines[0];
    EXPECT_FALSE(EndsWith(lines[0], "[no report]"));
    EXPECT_EQ(lines[1], std::string("parameter= /i=") + kProgramIni + " /m=x ");
    EXPECT_EQ(lines[2], std::string("inifile=") + kProgramIni);
    EXPECT_EQ(lines[3], "reports=1");
    EXPECT_EQ(lines[4], "");
}

TEST_F(LogFilesTest, NoReportLineWhenSwitchZeroIsOff) {
    for (const std::string reports : {"reports=?\r\n", "", "reports=01\r\n"}) {
        PutProgramIni(LogSections(reports));
        Start();
        const auto lines = LogLines("tools/log/main.log");
        ASSERT_EQ(lines.size(), 1u) << reports;
        EXPECT_TRUE(StartsWith(lines[0], "- auf ** "));
        EXPECT_TRUE(EndsWith(lines[0], " [no report]")) << lines[0];
        EXPECT_FALSE(Reports.Flag(0));
        ShutdownConfiguration();
    }
}

TEST_F(LogFilesTest, TwoStartsKeepTheLogOnLinesAndOnlyTheLastMainLog) {
    PutProgramIni(LogSections("reports=0\r\n"));
    Start();
    Reports.ReportWriter("erster Lauf");
    ShutdownConfiguration();
    Start();
    Reports.ReportWriter("zweiter Lauf");
    ShutdownConfiguration();

    const auto mainLines = LogLines("tools/log/main.log");
    ASSERT_EQ(mainLines.size(), 3u);
    EXPECT_EQ(mainLines[1], "zweiter Lauf");
    EXPECT_TRUE(StartsWith(mainLines[2], "- zu  ** ")) << mainLines[2];

    const auto logon = LogLines("tools/log/logon.log");
    ASSERT_EQ(logon.size(), 3u);
    EXPECT_TRUE(EndsWith(logon[0], "- logfile kreiiert")) << logon[0];
    EXPECT_FALSE(EndsWith(logon[0], " - logfile kreiiert")); // no blank between date-time and text
    EXPECT_TRUE(EndsWith(logon[1], " - zu  ** ")) << logon[1];
    EXPECT_TRUE(EndsWith(logon[2], " - zu  ** ")) << logon[2];
}

TEST_F(LogFilesTest, SwitchThreeGatesTheSecondWriter) {
    PutProgramIni(LogSections("reports=1\r\n"));
    Start();
    Reports.ReportWriterIfFlag3("nur mit drei");
    Reports.ReportWriter("immer");
    auto lines = LogLines("tools/log/main.log");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "nur mit drei"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "immer"), 1);
    ShutdownConfiguration();
    Reports.ReportWriter("nach dem Ende"); // the log is gone; the writer must not reach it

    PutProgramIni(LogSections("reports=0001\r\n"));
    Start();
    Reports.ReportWriterIfFlag3("nur mit drei");
    lines = LogLines("tools/log/main.log");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "nur mit drei"), 1);
}

TEST_F(LogFilesTest, ReopenClosesBothLogsWithItsMessage) {
    PutProgramIni(LogSections("reports=0\r\n"));
    Start();
    Reports.ReportWriter("vor dem Test");
    ReopenConfiguration("", IniFileName());
    const auto logon = LogLines("tools/log/logon.log");
    ASSERT_EQ(logon.size(), 2u);
    EXPECT_TRUE(EndsWith(logon[1], " schliessen aus \"testini\"")) << logon[1];
    const auto mainLines = LogLines("tools/log/main.log"); // started afresh
    ASSERT_EQ(mainLines.size(), 1u);
    EXPECT_TRUE(EndsWith(mainLines[0], "[no report]"));
    Reports.ReportWriter("nach dem Test");
    EXPECT_EQ(LogLines("tools/log/main.log").back(), "nach dem Test");
}

TEST_F(LogFilesTest, ALogThatCannotBeCreatedDoesNotStopTheStart) {
    PutProgramIni("[logfiles]\r\nmainlogfile=T:\\fehlt\\main.log\r\nreports=1\r\n"
                  "logonfile=$(BASE)\\log\\logon.log\r\n");
    Start();
    EXPECT_TRUE(ConfigOpen());
    EXPECT_EQ(LogFile, nullptr);
    ASSERT_NE(LogOnFile, nullptr);
    EXPECT_TRUE(LogOnFile->IsOpen());
    ASSERT_EQ(StartupMessages().size(), 1u);
    EXPECT_NE(StartupMessages()[0].find("T:\\fehlt\\main.log"), std::string::npos) << StartupMessages()[0];
    Reports.ReportWriter("ins Leere");
    // The inspector's reopen is a user action: there the failure reaches the caller.
    EXPECT_THROW(ReopenConfiguration("", IniFileName()), plat::FileError);
}

TEST_F(LogFilesTest, NoFileNamesNoLogs) {
    PutProgramIni("[logfiles]\r\nreports=1\r\n");
    Start();
    ASSERT_NE(LogFile, nullptr);
    EXPECT_FALSE(LogFile->IsOpen());
    EXPECT_FALSE(LogOnFile->IsOpen());
    WriteLogLine("x");
    WriteLogOnLine("y");
    EXPECT_FALSE(drive.Exists("tools/log/main.log"));
}

// A peer that floods the console fills the main log only up to its limit: the report record's lines stop
// there with one line saying so, while the log's own closing line is still written.
TEST_F(LogFilesTest, TheReportRecordsLinesStopAtTheLogsLimit) {
    PutProgramIni(LogSections("reports=0001000001\r\n"));
    Start();
    const std::string line(1 << 20, 'x');
    for (uint64_t i = 0; i < TLogFile::ReportLimit / line.size() + 8; ++i) {
        Reports.ReportWriter(line);
        Reports.ReportWriterIfFlag3(line);
    }
    ShutdownConfiguration();
    const std::string text = drive.Get("tools/log/main.log");
    EXPECT_LE(text.size(), TLogFile::ReportLimit + 1024);
    const auto lines = plat::SplitLines(text);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("32 MB erreicht") != std::string::npos; }),
              1);
    EXPECT_TRUE(StartsWith(lines.back(), "- zu  ** ")) << lines.back().substr(0, 40);
}

#ifndef _WIN32 // pipes and /proc/self/fd are POSIX's
// A log named as a pipe (no reader) or a device holds up no start: it is refused with a message saying
// why, and left as it is. The logs that open are not inherited by programs started from here.
TEST_F(LogFilesTest, LogsAreRegularFilesOpenedWithoutWaitingAndClosedOnExec) {
    drive.MakeDir("tools/log");
    ASSERT_EQ(::mkfifo(drive.HostOf("tools/log/main.log").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(drive.HostOf("tools/log/logon.log").c_str(), 0600), 0);
    PutProgramIni(LogSections("reports=1\r\n"));
    Start();
    EXPECT_EQ(LogFile, nullptr);
    EXPECT_EQ(LogOnFile, nullptr);
    ASSERT_EQ(StartupMessages().size(), 2u);
    for (const std::string& m : StartupMessages())
        EXPECT_NE(m.find("gew\xF6hnliche Datei"), std::string::npos) << m;
    struct stat st;
    ASSERT_EQ(::stat(drive.HostOf("tools/log/main.log").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ShutdownConfiguration();

    std::filesystem::remove(drive.HostOf("tools/log/main.log"));
    std::filesystem::remove(drive.HostOf("tools/log/logon.log"));
    Start();
    ASSERT_TRUE(LogFile && LogFile->IsOpen() && LogOnFile && LogOnFile->IsOpen());
    int open = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code gone;
        const std::string target = std::filesystem::read_symlink(e.path(), gone).string();
        if (target.find("/tools/log/") == std::string::npos) continue;
        ++open;
        EXPECT_TRUE(::fcntl(std::stoi(e.path().filename().string()), F_GETFD) & FD_CLOEXEC) << target;
    }
    EXPECT_EQ(open, 2);
}
#endif

// One line longer than the room left does not stop the log early: what fits of it is written, marked as
// cut, and only then do the report record's lines stop.
TEST_F(LogFilesTest, TheLogsLimitCountsWhatWasWritten) {
    PutProgramIni(LogSections("reports=0\r\n"));
    Start();
    Reports.ReportWriter("vorher");
    Reports.ReportWriter(std::string(TLogFile::ReportLimit + 4096, 'y'));
    Reports.ReportWriter("danach");
    ShutdownConfiguration();
    const auto lines = plat::SplitLines(drive.Get("tools/log/main.log"));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1], "vorher");
    EXPECT_TRUE(StartsWith(lines[2], "yyyy") && EndsWith(lines[2], "y [...]")) << lines[2].substr(0, 40);
    EXPECT_GT(lines[2].size(), TLogFile::ReportLimit - 1024);
    EXPECT_NE(lines[3].find("32 MB erreicht"), std::string::npos);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "danach"), 0);
}
