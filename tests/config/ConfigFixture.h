#pragma once
// A tool family on a temporary drive T: with the program's own INI file at T:\prog\ini4zav.ini. Each test starts
// the configuration itself and the fixture shuts it down again.

#include <gtest/gtest.h>

#include "config/Reports.h"
#include "config/ed_ini.h"
#include "platform/ComMap.h"
#include "platform/Files.h"
#include "tests/config/TestDrive.h"

class ConfigFixture : public ::testing::Test {
protected:
    static constexpr const char* kProgramIni = "T:\\prog\\ini4zav.ini";

    ConfigFixture() {
        drive.MakeDir("tools/log");
        drive.MakeDir("prog");
        drive.Put("tools/system/deutsch.lng", "[Texte]\r\nHallo=Guten Tag\r\n");
        drive.Chdir("prog");
    }
    void SetUp() override {}
    ~ConfigFixture() override {
        ShutdownConfiguration();
        plat::ClearComDevices();
        Reports = TReports{};
    }

    // The program's own INI: the common part plus extra lines.
    void PutProgramIni(const std::string& logfiles = "[logfiles]\r\nmainlogfile=$(BASE)\\log\\main.log\r\nreports=1\r\n"
                                                     "logonfile=$(BASE)\\log\\logon.log\r\n",
                       const std::string& extra = "") {
        drive.Put("prog/ini4zav.ini", "[files]\r\n"
                                      "base=T:\\tools\r\n"
                                      "DataDir=$(BASE)\\data\r\n"
                                      "SystemDir=$(base)\\system\r\n"
                                      "helpdir=help\r\n"
                                      "FilesDir=$(BASE)\\files\r\n"
                                      "language=deutsch.lng\r\n"
                                      "telefonbuch=telefon.txt\r\n"
                                      "symfile=C:\\abs\\sym.txt\r\n"
                                      "[machine]\r\ntype=qir\r\n" +
                                          logfiles + extra);
    }
    void Start(std::vector<std::string> more = {}) {
        std::vector<std::string> args{"/opt/ini4zav/ini4zav", std::string("/i=") + kProgramIni};
        args.insert(args.end(), more.begin(), more.end());
        StartConfiguration(args);
    }
    std::vector<std::string> LogLines(const std::string& rel) { return plat::SplitLines(drive.Get(rel)); }

    TestDrive drive{'T'};
};
