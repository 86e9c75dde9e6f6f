#include "timecode/timecode.h"

#include <gtest/gtest.h>

#include <string>

using runtime::DateTime;

namespace {

using timecode::PulseKind;

// Frames are written as they are published: M for a marker, 1 for a one and 0 for a zero.
std::string markerNotation(const timecode::Frame& code)
{
    std::string s;
    for (PulseKind kind : code)
        s += kind == PulseKind::Marker ? 'M' : kind == PulseKind::One ? '1' : '0';
    return s;
}

}  // namespace

TEST(Timecode, FramesWorkedOutByHandOrPublished)
{
    struct Case {
        DateTime t;
        const char* expected;
    } cases[] = {
        // Wednesday 31 December 2025, 13:58: both parity bits are ones.
        {{2025, 12, 31, 13, 58, 0}, "M10101000M000100011M001100110M010100110M000100101M011000000M"},
        // Saturday 1 January 2000, midnight: day 1, year 00, weekday 6.
        {{2000, 1, 1, 0, 0, 0}, "M00000000M000000000M000000000M000100000M000000000M110000000M"},
        // Tuesday 31 December 2024: day 366 of a leap year.
        {{2024, 12, 31, 0, 0, 0}, "M00000000M000000000M001100110M011000000M000100100M010000000M"},
        // Tuesday 5 March 2024, 14:27: day 65, both parities even.
        {{2024, 3, 5, 14, 27, 0}, "M01000111M000100100M000000110M010100000M000100100M010000000M"},
        // Two frames published elsewhere.
        {{2016, 6, 10, 17, 15, 0}, "M00100101M000100111M000100110M001000010M000010110M101000000M"},
        {{2024, 5, 27, 1, 57, 0}, "M10100111M000000001M000100100M100000110M000100100M001000000M"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(markerNotation(timecode::timecode(c.t)), c.expected)
            << runtime::format(c.t, "yyyy/mm/dd hh:mm");
}

TEST(Timecode, DayOfYearAtTheBoundaries)
{
    // Seconds 22..33 without the marker at 29 and the spare at 24 carry the day.
    const auto dayOf = [](const DateTime& t) {
        const auto code = timecode::timecode(t);
        const int weights[] = {200, 100, 0, 80, 40, 20, 10, 0, 8, 4, 2, 1};
        int day = 0;
        for (int i = 0; i < 12; ++i)
            if (weights[i] != 0 && code[static_cast<std::size_t>(22 + i)] == PulseKind::One)
                day += weights[i];
        return day;
    };
    EXPECT_EQ(dayOf({2025, 1, 1, 23, 59, 0}), 1);
    EXPECT_EQ(dayOf({2025, 1, 2, 0, 0, 0}), 2);
    EXPECT_EQ(dayOf({2024, 2, 29, 12, 0, 0}), 60);
    EXPECT_EQ(dayOf({2024, 3, 1, 0, 0, 0}), 61);
    EXPECT_EQ(dayOf({2023, 3, 1, 0, 0, 0}), 60);
    EXPECT_EQ(dayOf({2100, 12, 31, 0, 0, 0}), 365);  // 2100 is no leap year
    EXPECT_EQ(dayOf({2000, 12, 31, 0, 0, 0}), 366);  // 2000 is one

    // 2100's year digits are 00, like 2000's.
    const auto y2100 = timecode::timecode({2100, 12, 31, 0, 0, 0});
    for (int s = 41; s <= 48; ++s) EXPECT_EQ(y2100[static_cast<std::size_t>(s)], PulseKind::Zero);
}

TEST(Timecode, EveryMinuteKeepsTheLayout)
{
    // A whole leap day, minute by minute: markers exactly at the seven positions, the seconds
    // ignored, the parities even, and minutes 15 and 45 like every other.
    for (int minuteOfDay = 0; minuteOfDay < 24 * 60; ++minuteOfDay) {
        const DateTime t{2024, 2, 29, minuteOfDay / 60, minuteOfDay % 60, 0};
        const auto code = timecode::timecode(t);
        for (std::size_t s = 0; s < 60; ++s) {
            const bool marker = s == 0 || s % 10 == 9;
            ASSERT_EQ(code[s] == PulseKind::Marker, marker) << s;
        }
        DateTime later = t;
        later.second = 30;
        ASSERT_EQ(timecode::timecode(later), code);

        const auto ones = [&](std::initializer_list<int> seconds) {
            int n = 0;
            for (int s : seconds) n += code[static_cast<std::size_t>(s)] == PulseKind::One;
            return n;
        };
        ASSERT_EQ(ones({12, 13, 15, 16, 17, 18, 36}) % 2, 0);
        ASSERT_EQ(ones({1, 2, 3, 5, 6, 7, 8, 37}) % 2, 0);
        // Thursday, year 24, at seconds 50..52 and 41..48 in every minute.
        ASSERT_EQ(ones({50, 51, 52}), 1);  // weekday 4 is 100
        ASSERT_EQ(code[50], PulseKind::One);
        ASSERT_EQ(ones({41, 42, 43, 44, 45, 46, 47, 48}), 2);
        for (int s : {4, 10, 11, 14, 20, 21, 24, 34, 35, 38, 40, 53, 54, 55, 56, 57, 58})
            ASSERT_EQ(code[static_cast<std::size_t>(s)], PulseKind::Zero) << s;
    }
}
