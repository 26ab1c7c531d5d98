// Dates and times in the user's format on Windows: the user's locale formats them (GetDateFormatEx and
// GetTimeFormatEx with the locale's short date and long time), as the tool family shows them there.
#include "platform/DateTime.h"

#include <ctime>
#include <windows.h>

namespace plat {
namespace {

SYSTEMTIME SystemTimeOf(TimePoint t) {
    const std::tm tm = LocalTime(t);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(tm.tm_year + 1900);
    st.wMonth = static_cast<WORD>(tm.tm_mon + 1);
    st.wDay = static_cast<WORD>(tm.tm_mday);
    st.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    st.wHour = static_cast<WORD>(tm.tm_hour);
    st.wMinute = static_cast<WORD>(tm.tm_min);
    st.wSecond = static_cast<WORD>(tm.tm_sec);
    return st;
}

// UTF-16 from the system -> the program's cp1252 text (characters outside it become '?').
std::string Narrow(const wchar_t* w, int len) {
    std::string out;
    const int n = WideCharToMultiByte(1252, 0, w, len, nullptr, 0, "?", nullptr);
    if (n <= 0) return out;
    out.resize(static_cast<std::size_t>(n));
    WideCharToMultiByte(1252, 0, w, len, out.data(), n, "?", nullptr);
    return out;
}

std::string Format(TimePoint t, bool date) {
    const SYSTEMTIME st = SystemTimeOf(t);
    wchar_t buf[128];
    const int n =
        date ? GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buf, 128, nullptr)
             : GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &st, nullptr, buf, 128);
    return n > 0 ? Narrow(buf, n - 1) : std::string();
}

} // namespace

std::tm LocalTime(TimePoint t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_s(&tm, &secs);
    return tm;
}


std::string DateToStr(TimePoint t) {
    return Format(t, true);
}
std::string TimeToStr(TimePoint t) {
    return Format(t, false);
}

std::string DateTimeToStr(TimePoint t) {
    if (MSecsSinceMidnight(t) == 0) return DateToStr(t);
    return DateToStr(t) + " " + TimeToStr(t);
}

std::string DateToStr() {
    return DateToStr(std::chrono::system_clock::now());
}
std::string TimeToStr() {
    return TimeToStr(std::chrono::system_clock::now());
}
std::string DateTimeToStr() {
    return DateTimeToStr(std::chrono::system_clock::now());
}

int MSecsSinceMidnight(TimePoint t) {
    const std::tm tm = LocalTime(t);
    const auto sinceEpoch =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    long long ms = sinceEpoch % 1000;
    if (ms < 0) ms += 1000;
    return static_cast<int>((tm.tm_hour * 3600LL + tm.tm_min * 60LL + tm.tm_sec) * 1000LL + ms);
}

} // namespace plat
