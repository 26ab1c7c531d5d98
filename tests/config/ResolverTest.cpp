#include "tests/config/ConfigFixture.h"

#include "platform/Paths.h"

namespace {
class ResolverTest : public ConfigFixture {};

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}
} // namespace

TEST_F(ResolverTest, DirectoriesAndFileNamesOfTheProgramIni) {
    PutProgramIni();
    Start();
    ASSERT_TRUE(ConfigOpen());
    EXPECT_EQ(IniFileName(), kProgramIni);
    EXPECT_EQ(ProgramIniFileName(), kProgramIni);
    EXPECT_EQ(Base(), "T:\\tools");
    EXPECT_EQ(ini_DataDir(), "T:\\tools\\data");
    EXPECT_EQ(ini_System(), "T:\\tools\\system"); // $(base) in lower case
    EXPECT_EQ(ini_HelpDir(), "T:\\prog\\help");    // relative: against the current directory
    EXPECT_EQ(ini_DokuDir(), "");                  // missing key: empty
    EXPECT_EQ(ini_FilesDir(), "T:\\tools\\files");
    EXPECT_EQ(ini_telefonbuch(), "T:\\tools\\data\\telefon.txt");
    EXPECT_EQ(ini_SymFile(), "C:\\abs\\sym.txt"); // absolute: unchanged
    EXPECT_EQ(ini_SysMod(), "T:\\tools\\system\\sysmod.sys");
    EXPECT_EQ(ini_language(), "T:\\tools\\system\\deutsch.lng");
    EXPECT_EQ(ini_FehlerFile(), ""); // an empty name stays empty
    EXPECT_EQ(ini_FileName(), kProgramIni);
    EXPECT_EQ(ini_machine(), "QIR");
    EXPECT_EQ(ini_Machines(), "qir");
}

TEST_F(ResolverTest, BaseSubstitutionAndFileNameRule) {
    PutProgramIni();
    Start();
    EXPECT_EQ(SubstituteBase("$(base)\\a$(BASE)"), "T:\\tools\\a$(BASE)"); // only the first
    EXPECT_EQ(SubstituteBase("x$(BaSe)"), "xT:\\tools");
    EXPECT_EQ(SubstituteBase("ohne"), "ohne");
    EXPECT_EQ(ResolveFileName("$(BASE)\\d", "x.txt"), "T:\\tools\\d\\x.txt");
    EXPECT_EQ(ResolveFileName("D:\\d", "$(BASE)\\x.txt"), "T:\\tools\\x.txt");
    EXPECT_EQ(ResolveFileName("D:\\d", "C:\\a\\..\\x.txt"), "D:\\d\\C:\\a\\..\\x.txt"); // not normal: joined
    EXPECT_EQ(ResolveFileName("", "x.txt"), "\\x.txt");
}

TEST_F(ResolverTest, TypedSwitchesCompareExactly) {
    PutProgramIni();
    Start();
    EXPECT_EQ(ini_DialStr(), "ATDP");
    EXPECT_EQ(ini_ComPort(), 1);
    EXPECT_FALSE(ini_Modem());
    EXPECT_FALSE(ini_MuxSet());
    EXPECT_FALSE(ini_401x());
    EXPECT_FALSE(ini_Rpf401x());
    EXPECT_FALSE(ini_HotSpot());
    struct Case {
        const char* section;
        const char* key;
        const char* value;
        bool (*query)();
        bool expected;
    };
    const Case cases[] = {
        {"TEST", "muxset", "FORCE", ini_MuxSet, true},   {"test", "MUXSET", "force", ini_MuxSet, false},
        {"modem", "modem", "TRUE", ini_Modem, true},     {"modem", "modem", "True", ini_Modem, false},
        {"TEST", "rpf401x", "TRUE", ini_401x, true},     {"TEST", "rpf401x", "TRUE", ini_Rpf401x, true},
        {"TEST", "rpf401x", "true", ini_Rpf401x, false}, {"test", "hotspot", "1", ini_HotSpot, true},
        {"test", "hotspot", "TRUE", ini_HotSpot, false}, {"test", "backtree", "0x10", ini_Backtree, true},
    };
    for (const auto& c : cases) {
        ToolIni().WriteString(c.section, c.key, c.value);
        EXPECT_EQ(c.query(), c.expected) << c.section << "/" << c.key << "=" << c.value;
    }
    ToolIni().WriteString("comport", "port", "2");
    ToolIni().WriteString("modem", "dial", "ATDT");
    EXPECT_EQ(ini_ComPort(), 2);
    EXPECT_EQ(ini_DialStr(), "ATDT");
}

TEST_F(ResolverTest, CommandLineParameters) {
    PutProgramIni();
    Start({"/m=abc", "-x/y=" + std::string(300, 'z')});
    EXPECT_EQ(ini_machine(), "ABC");
    EXPECT_EQ(ini_Machines(), "qir"); // not overridden
    EXPECT_EQ(FindParameter("/i="), kProgramIni);
    EXPECT_EQ(FindParameter("/M="), ""); // case-sensitive
    EXPECT_EQ(FindParameter("ini4zav"), "i4zav/ini4zav"); // argument 0 counts; taken from past the prefix length
    EXPECT_EQ(FindParameter("/y=").size(), 255u);        // at most 255 characters
    EXPECT_EQ(FindParameter("/y=").substr(0, 3), "y=z");  // position is the prefix length, wherever it was found
}

TEST_F(ResolverTest, NoConfigurationFileStillStarts) {
    for (const char* path : {"T:\\fehlt.ini", "T:\\prog"}) { // missing, and a directory
        StartConfiguration({"ini4zav", std::string("/i=") + path});
        EXPECT_FALSE(ConfigOpen()) << path;
        EXPECT_EQ(IniFileName(), "");
        EXPECT_EQ(Base(), "");
        EXPECT_EQ(ini_DataDir(), "");
        EXPECT_EQ(LogFile, nullptr);
        EXPECT_EQ(LogOnFile, nullptr);
        EXPECT_EQ(ToolIni().FileName(), "");
        EXPECT_EQ(ini_DialStr(), "ATDP");
        EXPECT_EQ(ini_ComPort(), 1);
        EXPECT_EQ(ReadLanguageText("Texte", "Hallo"), "");
        Reports.ReportWriter("geht ins Leere");
        ToolIni().WriteString("a", "b", "c"); // kept in memory only, never written
        EXPECT_NO_THROW(ReleaseToolIni());
        EXPECT_NO_THROW(ShutdownConfiguration());
    }
    EXPECT_FALSE(drive.Exists("fehlt.ini"));
    EXPECT_TRUE(std::filesystem::is_directory(drive.HostOf("prog")));
}

TEST_F(ResolverTest, ProgramIniFoundByTheProgramsOwnName) {
    PutProgramIni();
    StartConfiguration({"/opt/bin/INI4ZAV"}); // "INI4ZAV.INI" in the current directory
    ASSERT_TRUE(ConfigOpen());
    EXPECT_EQ(IniFileName(), "T:\\prog\\INI4ZAV.INI");
    ToolIni().WriteString("neu", "k", "v");
    ReleaseToolIni();
    EXPECT_NE(drive.Get("prog/ini4zav.ini").find("[neu]\r\nk=v\r\n"), std::string::npos);
    // The existing file was written, no second one.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(drive.HostOf("prog")), {}), 1);
}

TEST_F(ResolverTest, DriveAndDeviceMappingsFromTheProgramIni) {
    const std::string absolute = kNativeHostPaths ? "D:\\abs" : "/srv/abs";
    const std::string com1 = kNativeHostPaths ? "\\\\.\\COM1" : "/dev/ttyS0";
    drive.MakeDir("prog/sub/data");
    PutProgramIni("", "[drives]\r\nW=sub\r\nx:=" + absolute + "\r\nlang=nein\r\n"
                      "[devices]\r\nCOM3=sim\r\ncom12=/dev/ttyUSB1\r\nCOMX=falsch\r\nCOM100=zu gross\r\n");
    Start();
    EXPECT_EQ(plat::DriveMapping('W'), drive.HostOf("prog/sub"));
    EXPECT_EQ(plat::DriveMapping('X'), absolute);
    EXPECT_TRUE(plat::DirectoryExists("W:\\DATA"));
    EXPECT_EQ(plat::ComDevice(3), "sim");
    EXPECT_EQ(plat::ComDevice(12), "/dev/ttyUSB1");
    EXPECT_EQ(plat::ComDevice(1), com1);
}

TEST_F(ResolverTest, SwitchingFilesWritesTheOldOneBack) {
    PutProgramIni();
    drive.Put("tools/tool.ini", "; Werkzeug\r\n[files]\r\nbase=T:\\tools\r\nDataDir=tdata\r\n[modem]\r\ndial=ATDT\r\n\r\n\r\n");
    Start();
    ToolIni().WriteString("machine", "type", "VAM");
    // The file switch releases first; a caller that forgets must not lose the old store's changes.
    OpenConfiguration("", "T:\\tools\\tool.ini", false);
    EXPECT_NE(drive.Get("prog/ini4zav.ini").find("[machine]\r\ntype=VAM\r\n"), std::string::npos);
    ASSERT_TRUE(ConfigOpen());
    EXPECT_EQ(IniFileName(), "T:\\tools\\tool.ini");
    EXPECT_EQ(ini_DialStr(), "ATDT");
    EXPECT_EQ(ini_DataDir(), "T:\\prog\\tdata");
    EXPECT_EQ(ini_machine(), "QIR"); // only start-up sets it
    ReleaseToolIni();
    EXPECT_FALSE(ConfigOpen());
    EXPECT_EQ(ToolIni().FileName(), "");
    // Nothing edited in it: the tool's file is left in its own form.
    EXPECT_EQ(drive.Get("tools/tool.ini"),
              "; Werkzeug\r\n[files]\r\nbase=T:\\tools\r\nDataDir=tdata\r\n[modem]\r\ndial=ATDT\r\n\r\n\r\n");
    EXPECT_NO_THROW(ReleaseToolIni());
}

TEST_F(ResolverTest, ReopenResolvesInTheIniDirectoryAndReturns) {
    PutProgramIni();
    drive.Put("other/x.ini", "[files]\r\nDataDir=data\r\n");
    Start();
    ReopenConfiguration("T:\\other\\x.exe", "T:\\other\\x.ini");
    EXPECT_EQ(ini_DataDir(), "T:\\other\\data");
    EXPECT_EQ(plat::GetCurrentDir(), "T:\\prog");
    // The name's directory must exist.
    EXPECT_THROW(ReopenConfiguration("T:\\fehlt\\x.exe", "T:\\other\\x.ini"), plat::FileError);
    EXPECT_EQ(plat::GetCurrentDir(), "T:\\prog");
    // The inspector's own call: the current file again, without a name.
    ReopenConfiguration("", IniFileName());
    EXPECT_TRUE(ConfigOpen());
    EXPECT_EQ(IniFileName(), "T:\\other\\x.ini");
}

TEST_F(ResolverTest, LanguageTexts) {
    PutProgramIni();
    Start();
    EXPECT_EQ(ReadLanguageText("texte", "HALLO"), "Guten Tag");
    EXPECT_EQ(ReadLanguageText("Texte", "Fehlt"), "Fehlt");
    EXPECT_EQ(ReopenLanguageStore(), "T:\\tools\\system\\deutsch.lng");
    ToolIni().WriteString("files", "language", "fehlt.lng");
    EXPECT_EQ(ReopenLanguageStore(), "T:\\tools\\system\\fehlt.lng");
    EXPECT_EQ(ReadLanguageText("Texte", "Hallo"), "Hallo");
}

TEST_F(ResolverTest, TraceLinesWithSwitchZero) {
    PutProgramIni();
    Start();
    ini_telefonbuch();
    ReadLanguageText("Texte", "Hallo");
    const auto lines = LogLines("tools/log/main.log");
    EXPECT_TRUE(Contains(lines, "   IniFileName=T:\\prog\\ini4zav.ini"));
    EXPECT_TRUE(Contains(lines, "   ini_machine=QIR"));
    EXPECT_TRUE(Contains(lines, "       Helpdir=T:\\prog\\help"));
    EXPECT_TRUE(Contains(lines, "       Dokudir="));
    EXPECT_TRUE(Contains(lines, "     Systemdir=T:\\tools\\system"));
    EXPECT_TRUE(Contains(lines, "*** TestAbsolute: T:\\tools\\data\\telefon.txt"));
    EXPECT_TRUE(Contains(lines, "*** language>[Texte,Hallo]=Guten Tag"));
}
