#include "platform/DateTime.h"

#include <ctime>
#include <locale.h>
#include <time.h>

namespace plat {
namespace {

// The user's LC_TIME, without touching the process-wide locale.
locale_t UserTimeLocale() {
    static locale_t loc = [] {
        locale_t l = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
        if (!l) l = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr));
        return l;
    }();
    return loc;
}

std::string Format(TimePoint t, const char* fmt) {
    const std::tm tm = LocalTime(t);
    char buf[128];
    const std::size_t n = strftime_l(buf, sizeof buf, fmt, &tm, UserTimeLocale());
    return std::string(buf, n);
}

} // namespace

std::tm LocalTime(TimePoint t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&secs, &tm);
    return tm;
}


std::string DateToStr(TimePoint t) { return Format(t, "%x"); }
std::string TimeToStr(TimePoint t) { return Format(t, "%X"); }

std::string DateTimeToStr(TimePoint t) {
    if (MSecsSinceMidnight(t) == 0) return DateToStr(t);
    return DateToStr(t) + " " + TimeToStr(t);
}

std::string DateToStr() { return DateToStr(std::chrono::system_clock::now()); }
std::string TimeToStr() { return TimeToStr(std::chrono::system_clock::now()); }
std::string DateTimeToStr() { return DateTimeToStr(std::chrono::system_clock::now()); }

int MSecsSinceMidnight(TimePoint t) {
    const std::tm tm = LocalTime(t);
    const auto sinceEpoch = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    long long ms = sinceEpoch % 1000;
    if (ms < 0) ms += 1000;
    return static_cast<int>((tm.tm_hour * 3600LL + tm.tm_min * 60LL + tm.tm_sec) * 1000LL + ms);
}

} // namespace plat
