#pragma once
// Local calendar date-times to the whole second, with no time zone and no summer time, and the
// calendar arithmetic the program does on them. Carries of months, years and leap days follow
// the proleptic Gregorian calendar.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace runtime {

// A local wall-clock reading with sub-second precision, as the clock seam delivers it.
using LocalTime = std::chrono::local_time<std::chrono::microseconds>;

struct DateTime {
    int year = 2000;   // four digits in every use the program makes of it
    int month = 1;     // 1..12
    int day = 1;       // 1..31
    int hour = 0;      // 0..23
    int minute = 0;    // 0..59
    int second = 0;    // 0..59
    bool operator==(const DateTime&) const = default;
};

// The whole-second part of a local reading (the fraction is dropped, never rounded).
DateTime toDateTime(LocalTime t);
LocalTime toLocalTime(const DateTime& dt);

// Calendar addition of a signed number of days, hours or minutes.
DateTime addDays(const DateTime& dt, long days);
DateTime addHours(const DateTime& dt, long hours);
DateTime addMinutes(const DateTime& dt, long minutes);

// The time the radio clock is told: `now` moved by the three advances, days first, then hours,
// then minutes.
DateTime transmittedTime(const DateTime& now, std::int16_t advDate, std::int16_t advHour,
                         std::int16_t advMin);

// Number of calendar-date boundaries crossed going from `from` to `to` (negative when `to`
// lies on an earlier date). The times of day play no part.
long dayDifference(const DateTime& from, const DateTime& to);

// 1 = Sunday .. 7 = Saturday.
int weekdayNumber(const DateTime& dt);

// 1 on 1 January .. 365, or 366 on 31 December of a Gregorian leap year.
int dayOfYear(const DateTime& dt);

// Formats with the patterns the program uses: "yyyy" year, "hh" 24-hour hour, "mm" minutes
// after "hh:" and the month after "yyyy/", "dd" day, "ss" seconds; ':' and '/' are copied.
// Every number is written with leading zeros to its field width.
std::string format(const DateTime& dt, std::string_view pattern);

// Reads "yyyy/mm/dd hh:mm:ss" back; nullopt when the text is not a valid date-time of that
// form.
std::optional<DateTime> parseDateTime(std::string_view text);

// Time of day with an unpadded hour, e.g. "9:05:07": the seconds are always the last two
// characters.
std::string timeOfDayText(const DateTime& dt);

// Seconds since local midnight including the fraction of the current second, as the 32-bit
// float the minute-start gate reads.
float secondsSinceMidnight(LocalTime t);

}  // namespace runtime
