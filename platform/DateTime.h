#pragma once
// Date and time texts in the user's locale: short date (%x) and long time (%X) of LC_TIME from the environment.

#include <chrono>
#include <ctime>
#include <string>

namespace plat {

using TimePoint = std::chrono::system_clock::time_point;

std::string DateToStr(TimePoint t);
std::string TimeToStr(TimePoint t);
// Date, a blank and the time; at exactly midnight (00:00:00.000 local) the date only.
std::string DateTimeToStr(TimePoint t);

std::string DateToStr();
std::string TimeToStr();
std::string DateTimeToStr();

// The local calendar time of t.
std::tm LocalTime(TimePoint t);

// Milliseconds since local midnight.
int MSecsSinceMidnight(TimePoint t);

} // namespace plat
