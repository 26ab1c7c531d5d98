#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "platform/ComMap.h"
#include "platform/DateTime.h"
#include "platform/Text.h"

using namespace plat;

TEST(AnsiText, CaseInsensitiveInCp1252) {
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const Case cases[] = {
        {"files", "FILES", true},
        {"\xE4\xF6\xFC", "\xC4\xD6\xDC", true}, // äöü / ÄÖÜ
        {"caf\xE9", "CAF\xC9", true},           // é / É
        {"\x9A\x9C\x9E", "\x8A\x8C\x8E", true}, // š œ ž
        {"\xDF", "SS", false},                  // ß stays
        {"\xFF", "\x9F", false},                // ÿ stays
        {"\xF7", "\xD7", false},                // ÷ and × are not letters
        {"key ", "key", false},                 // nothing trimmed
        {"abc", "abd", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AnsiSameText(c.a, c.b), c.same) << c.a << " / " << c.b;
        EXPECT_EQ(AnsiCompareText(c.a, c.b) == 0, c.same) << c.a;
        if (c.same) {
            EXPECT_EQ(AnsiNoCaseHashOf(c.a), AnsiNoCaseHashOf(c.b)) << c.a;
        }
    }
    EXPECT_LT(AnsiCompareText("abc", "ABD"), 0);
    EXPECT_GT(AnsiCompareText("abc", "AB"), 0);
    EXPECT_EQ(AnsiUpperCase("$(base)\\\xE4"), "$(BASE)\\\xC4");
}

TEST(AnsiText, TrimDropsBlanksAndControlCharacters) {
    EXPECT_EQ(Trim(" \t\x01 a b \r\n"), "a b");
    EXPECT_EQ(Trim("   "), "");
}

namespace {
TimePoint LocalTime(int h, int m, int s, int ms) {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 7;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(ms);
}
} // namespace

TEST(DateTimeText, MidnightGivesTheDateOnly) {
    const TimePoint midnight = LocalTime(0, 0, 0, 0);
    EXPECT_EQ(DateTimeToStr(midnight), DateToStr(midnight));
    const TimePoint later = LocalTime(0, 0, 1, 0);
    EXPECT_EQ(DateTimeToStr(later), DateToStr(later) + " " + TimeToStr(later));
    // A few milliseconds past midnight is no longer midnight.
    const TimePoint justAfter = LocalTime(0, 0, 0, 5);
    EXPECT_NE(DateTimeToStr(justAfter), DateToStr(justAfter));
}

TEST(DateTimeText, MillisecondsSinceLocalMidnight) {
    EXPECT_EQ(MSecsSinceMidnight(LocalTime(1, 2, 3, 456)), 3723456);
    EXPECT_EQ(MSecsSinceMidnight(LocalTime(0, 0, 0, 0)), 0);
    EXPECT_EQ(MSecsSinceMidnight(LocalTime(23, 59, 59, 999)), 86399999);
}

TEST(ComMap, DefaultsMappingAndSimulatedLine) {
#ifdef _WIN32
    const std::string com1 = "\\\\.\\COM1", com2 = "\\\\.\\COM2";
#else
    const std::string com1 = "/dev/ttyS0", com2 = "/dev/ttyS1";
#endif
    ClearComDevices();
    EXPECT_EQ(ComDevice(1), com1);
    EXPECT_EQ(ComDevice(2), com2);
    SetComDevice(1, "sim");
    SetComDevice(2, "/dev/ttyUSB0");
    EXPECT_EQ(ComDevice(1), "sim");
    EXPECT_EQ(ComDevice(2), "/dev/ttyUSB0");
    EXPECT_TRUE(IsSimDevice(ComDevice(1)));
    EXPECT_TRUE(IsSimDevice("sim:zweite"));
    EXPECT_FALSE(IsSimDevice("simulator"));
    SetComDevice(1, "");
    EXPECT_EQ(ComDevice(1), com1);
    ClearComDevices();
}
