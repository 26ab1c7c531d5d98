// The bundled example tool family must start the program as the README promises: its own INI file maps drive V:
// to the family's directory, the four tool INI files the buttons look for exist (the Decoder's does not), and the
// default system module loads whole.

#include "config/SysMod.h"
#include "config/ed_ini.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "tests/config/TestDrive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

class ExampleFamily : public ::testing::Test {
protected:
    ExampleFamily() {
        std::filesystem::copy(INI4ZAV_EXAMPLES, copy.Host(), std::filesystem::copy_options::recursive);
        copy.Chdir("");
        StartConfiguration({"/usr/bin/ini4zav", "/i=ini4zav.ini"});
    }
    ~ExampleFamily() override {
        EndSysMod();
        ShutdownConfiguration();
    }
    TestDrive copy{'X'}; // a scratch copy, so the test does not rewrite the repository's files
};

TEST_F(ExampleFamily, OwnIniMapsDriveVAndNamesTheToolsBelowIt) {
    ASSERT_TRUE(ConfigOpen());
    EXPECT_EQ(Base(), "V:");
    EXPECT_EQ(plat::ToHostPath("V:\\ini4zav.ini"), copy.HostOf("ini4zav.ini"));
    for (const char* tool : {"ed4vam\\ed4vam.ini", "ed4vam\\ed4qir.ini", "mon4vam\\mon4vam.ini", "Reader\\reader.ini"})
        EXPECT_TRUE(plat::FileExists(Base() + "\\" + tool)) << tool;
    EXPECT_FALSE(plat::FileExists(Base() + "\\Reader\\decode.ini"));
    EXPECT_TRUE(plat::FileExists(ini_language()));
    EXPECT_EQ(ReadLanguageText("monitor_49", "10").empty(), false);
}

TEST_F(ExampleFamily, DefaultSystemModuleIsAStampedImageThatLoadsWhole) {
    StartSysMod();
    TSysMod* module = SysModule();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->BytesRead, 1040);
    // The file is already stamped and summed, so the loaded image is the file byte for byte.
    const std::string file = plat::ReadFileBytes(ini_DefaultFile());
    ASSERT_EQ(file.size(), 1040u);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), module->Image.begin(),
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
}

} // namespace
