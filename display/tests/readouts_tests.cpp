#include "display/readouts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using runtime::DateTime;

// The label colours the window has always shown, as 0x00BBGGRR.
constexpr std::uint32_t R = 255;       // red: Sunday on a Sunday
constexpr std::uint32_t r = 128;       // dark red: Sunday on another day
constexpr std::uint32_t B = 16761024;  // light blue: today
constexpr std::uint32_t n = 8388608;   // navy: another day

TEST(ClockAndDateDigits, PcReadouts)
{
    struct Case {
        DateTime now;
        display::ClockDigits clock;
        display::DateDigits date;
    };
    const std::vector<Case> cases = {
        {{2024, 1, 5, 9, 5, 7}, {0, 9, 0, 5, 0, 7}, {2, 0, 2, 4, 0, 1, 0, 5}},
        {{2024, 1, 5, 13, 0, 0}, {1, 3, 0, 0, 0, 0}, {2, 0, 2, 4, 0, 1, 0, 5}},
        {{2024, 1, 5, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, {2, 0, 2, 4, 0, 1, 0, 5}},
        {{1999, 12, 31, 23, 59, 59}, {2, 3, 5, 9, 5, 9}, {1, 9, 9, 9, 1, 2, 3, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(runtime::format(c.now, "yyyy/mm/dd hh:mm:ss"));
        EXPECT_EQ(display::clockDigits(c.now), c.clock);
        EXPECT_EQ(display::dateDigits(c.now), c.date);
    }
}

// The transmitted read-outs show the PC time moved by the advances, days first.
TEST(ClockAndDateDigits, TransmittedReadouts)
{
    struct Case {
        const char* what;
        DateTime now;
        std::int16_t advDate, advHour, advMin;
        display::ClockDigits clock;
        display::DateDigits date;
    };
    const std::vector<Case> cases = {
        {"leap day", {2024, 2, 28, 12, 0, 0}, 1, 0, 0, {1, 2, 0, 0, 0, 0}, {2, 0, 2, 4, 0, 2, 2, 9}},
        {"no leap day", {2023, 2, 28, 12, 0, 0}, 1, 0, 0, {1, 2, 0, 0, 0, 0},
         {2, 0, 2, 3, 0, 3, 0, 1}},
        {"back over new year", {2025, 1, 1, 0, 30, 15}, 0, -1, 0, {2, 3, 3, 0, 1, 5},
         {2, 0, 2, 4, 1, 2, 3, 1}},
        {"90 minutes ahead, before the date turns", {2024, 6, 1, 22, 29, 59}, 0, 0, 90,
         {2, 3, 5, 9, 5, 9}, {2, 0, 2, 4, 0, 6, 0, 1}},
        {"90 minutes ahead, date turns at 22:30", {2024, 6, 1, 22, 30, 0}, 0, 0, 90,
         {0, 0, 0, 0, 0, 0}, {2, 0, 2, 4, 0, 6, 0, 2}},
        {"no advances", {2024, 1, 5, 9, 5, 7}, 0, 0, 0, {0, 9, 0, 5, 0, 7},
         {2, 0, 2, 4, 0, 1, 0, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const DateTime sent = runtime::transmittedTime(c.now, c.advDate, c.advHour, c.advMin);
        EXPECT_EQ(display::clockDigits(sent), c.clock);
        EXPECT_EQ(display::dateDigits(sent), c.date);
    }
}

TEST(WeekdayColours, TableForEveryWeekday)
{
    const display::WeekdayColours expected[7] = {
        {R, n, n, n, n, n, n},  // Sunday: bright red, no light blue anywhere
        {r, B, n, n, n, n, n},
        {r, n, B, n, n, n, n},
        {r, n, n, B, n, n, n},
        {r, n, n, n, B, n, n},
        {r, n, n, n, n, B, n},
        {r, n, n, n, n, n, B},  // Saturday
    };
    for (int w = 1; w <= 7; ++w) {
        SCOPED_TRACE(w);
        EXPECT_EQ(display::weekdayColours(w), expected[w - 1]);
    }
    EXPECT_THROW(display::weekdayColours(0), std::out_of_range);
    EXPECT_THROW(display::weekdayColours(8), std::out_of_range);
}

// Both rows through the weekday of the PC time and of the transmitted time.
TEST(WeekdayColours, PcAndTransmittedRows)
{
    struct Case {
        const char* what;
        DateTime now;
        std::int16_t advDate, advHour, advMin;
        display::WeekdayColours pcRow, sentRow;
    };
    const std::vector<Case> cases = {
        {"Saturday 23:30, one hour on", {2024, 3, 9, 23, 30, 0}, 0, 1, 0,
         {r, n, n, n, n, n, B}, {R, n, n, n, n, n, n}},
        {"Sunday 00:10, twenty minutes back", {2024, 3, 10, 0, 10, 0}, 0, 0, -20,
         {R, n, n, n, n, n, n}, {r, n, n, n, n, n, B}},
        {"a week on", {2024, 1, 5, 9, 0, 0}, 7, 0, 0, {r, n, n, n, n, B, n},
         {r, n, n, n, n, B, n}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const DateTime sent = runtime::transmittedTime(c.now, c.advDate, c.advHour, c.advMin);
        EXPECT_EQ(display::weekdayColours(runtime::weekdayNumber(c.now)), c.pcRow);
        EXPECT_EQ(display::weekdayColours(runtime::weekdayNumber(sent)), c.sentRow);
    }
}

}  // namespace
