// The file layer on Windows: native paths, cp1252 names on the wide API, attributes kept by the replace,
// read-only files refused, a writer elsewhere never loses its write, and a writer killed at any moment
// leaves the old or the new file under its name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <vector>
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

// The generation-n content of an INI file: self-describing, so a torn file is recognised.
std::string Generation(int n) {
    std::string s = "[gen]\r\nn=" + std::to_string(n) + "\r\n[body]\r\n";
    for (int i = 0; i < 20000; ++i)
        s += "k" + std::to_string(i) + "=" + std::to_string(i * 31 + n) + "\r\n";
    return s + "[end]\r\nn=" + std::to_string(n) + "\r\n";
}

// The generation a file holds, or -1 when it is no whole generation.
int GenerationOf(const std::string& bytes) {
    const std::size_t at = bytes.find("n=");
    if (at == std::string::npos) return -1;
    const int n = std::atoi(bytes.c_str() + at + 2);
    return bytes == Generation(n) ? n : -1;
}

// Started as the writer of the kill test (the environment names its folder): writes generation after
// generation into big.ini until it is killed, telling on standard output when each one's replace begins
// (its last look), so that the kills can be aimed at the replace.
const bool killTestWriter = [] {
    const char* dir = std::getenv("INI4ZAV_KILLED_WRITER");
    if (!dir) return false;
    SetDriveMapping('K', dir);
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    for (int n = std::atoi(std::getenv("INI4ZAV_KILLED_FROM"));; ++n) {
        WriteFileAtomic("K:\\big.ini", Generation(n), [out] {
            DWORD done = 0;
            if (!::WriteFile(out, "+", 1, &done, nullptr)) ::ExitProcess(3);
            return true;
        });
    }
}();

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

// A writer killed at random moments (also between the steps of the replace): every time the file is one
// whole generation, the one before the kill or the one being written, and no temporary stays behind.
TEST(WinFiles, AKilledWriterLeavesTheOldOrTheNewFileAndNoTemporary) {
    TestDrive drive('T');
    WriteFileAtomic("T:\\big.ini", Generation(0));
    wchar_t self[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::mt19937 random(20261208);
    int generation = 0;
    const int kills = 100;
    int temporaries = 0, complete = 0, missing = 0; // what the kills left: they fell into every step
    for (int round = 0; round < kills; ++round) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE readEnd, writeEnd;
        ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, &inherit, 0));
        ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        ::SetEnvironmentVariableA("INI4ZAV_KILLED_WRITER", drive.Host().c_str());
        ::SetEnvironmentVariableA("INI4ZAV_KILLED_FROM", std::to_string(generation + 1).c_str());
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = writeEnd;
        si.hStdInput = si.hStdError = INVALID_HANDLE_VALUE;
        PROCESS_INFORMATION pi{};
        std::wstring cmd = L"\"" + std::wstring(self) + L"\" --gtest_filter=None";
        ASSERT_TRUE(
            ::CreateProcessW(self, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
        ::SetEnvironmentVariableA("INI4ZAV_KILLED_WRITER", nullptr);
        ::CloseHandle(writeEnd);
        // A few replaces announced, then a random moment soon after the last one began (often within it),
        // or later (within the next generation's writing).
        const int ticks = 1 + int(random() % 3);
        char tick;
        DWORD got = 0;
        for (int i = 0; i < ticks; ++i)
            ASSERT_TRUE(::ReadFile(readEnd, &tick, 1, &got, nullptr) && got == 1);
        volatile unsigned spin = 0;
        for (unsigned i = random() % (round % 2 ? 200000u : 20000000u); i > 0; --i)
            spin = spin + 1;
        ::TerminateProcess(pi.hProcess, 9);
        ::WaitForSingleObject(pi.hProcess, INFINITE);
        ::CloseHandle(pi.hProcess);
        ::CloseHandle(pi.hThread);
        int started = ticks; // the generations it began, also those told but not yet read
        while (::ReadFile(readEnd, &tick, 1, &got, nullptr) && got == 1)
            ++started;
        ::CloseHandle(readEnd);

        for (const auto& e : std::filesystem::directory_iterator(drive.Host())) {
            const std::string name = e.path().filename().string();
            temporaries += name.find(".ini4zav~") != std::string::npos;
            complete += name.find(".ini4zav+") != std::string::npos;
        }
        missing += !std::filesystem::exists(drive.HostOf("big.ini"));
        const int now = GenerationOf(ReadFileBytes("T:\\big.ini"));
        ASSERT_GE(now, generation) << "round " << round;
        ASSERT_LE(now, generation + started) << "round " << round;
        generation = now;
    }
    ::SetEnvironmentVariableA("INI4ZAV_KILLED_FROM", nullptr);
    std::printf("%d kills: %d left a temporary being written, %d a complete one, %d no file under the name\n",
                kills, temporaries, complete, missing);
    WriteFileAtomic("T:\\big.ini", Generation(generation + 1)); // the next save clears what the kills left
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(drive.Host()), {}), 1);
}

// What crashes left in a folder: a complete temporary whose file is missing takes its place (and the user
// is told), one being written whose file is missing stays (it may be the only copy), and the others go
// whatever process id their names hold (ids come again; this process's own here), unless held open.
TEST(WinFiles, CrashLeftoversAreRecoveredKeptOrRemoved) {
    TestDrive drive('T');
    std::vector<std::string> told;
    SetFileNoticeSink([&told](const std::string&, const std::string& text, bool) { told.push_back(text); });
    const std::string pid = std::to_string(::GetCurrentProcessId());
    drive.Put(".a.ini.ini4zav+" + pid + ".Ab12Cd", "[neu]\r\n");
    drive.Put(".a.ini.ini4zav~" + pid + ".Xy34Zw", "[hal");
    drive.Put("b.ini", "[b]\r\n");
    drive.Put(".b.ini.ini4zav~" + pid + ".Ab12Cd", "[b2");
    drive.Put(".b.ini.ini4zav+" + pid + ".Ab12Cd", "[b3]\r\n");
    drive.Put(".c.ini.ini4zav~" + pid + ".Ab12Cd", "[c]\r\n");
    drive.Put("d.ini", "[d]\r\n");
    drive.Put(".d.ini.ini4zav~" + pid + ".Ab12Cd", "[d2");
    const HANDLE held =
        ::CreateFileW(Wide(drive.HostOf(".d.ini.ini4zav~" + pid + ".Ab12Cd")).c_str(), GENERIC_WRITE,
                      FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    EXPECT_EQ(ReadFileBytes("T:\\a.ini"), "[neu]\r\n");
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("\"T:\\a.ini\" fehlte nach einem Abbruch beim Sichern"), std::string::npos)
        << told[0];
    WriteFileAtomic("T:\\e.ini", "[e]\r\n");
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(drive.Host()))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".c.ini.ini4zav~" + pid + ".Ab12Cd",
                                               ".d.ini.ini4zav~" + pid + ".Ab12Cd", "a.ini", "b.ini", "d.ini",
                                               "e.ini"}));
    ::CloseHandle(held);
    SetFileNoticeSink(nullptr);
}
