#include "timecode/timecode.h"

#include <gtest/gtest.h>

#include <string>

using runtime::DateTime;

namespace {

std::string digits(const timecode::Frame& code)
{
    std::string s;
    for (auto kind : code) s += static_cast<char>('0' + kind);
    return s;
}

// Published frames are written with M for a marker, 1 for a one and 0 for a zero.
std::string fromMarkerNotation(const std::string& m10)
{
    std::string s;
    for (char c : m10) s += c == 'M' ? '0' : c == '1' ? '1' : '2';
    return s;
}

std::string rows(std::initializer_list<const char*> parts)
{
    std::string s;
    for (const char* p : parts)
        for (const char* c = p; *c; ++c)
            if (*c != ' ') s += *c;
    return s;
}

}  // namespace

TEST(Timecode, FramesWorkedOutByHand)
{
    struct Case {
        DateTime t;
        std::string expected;
    } cases[] = {
        // Wednesday 31 December 2025, 13:58: both parity bits are ones.
        {{2025, 12, 31, 13, 58, 0},
         rows({"0 1 2 1 2 1 2 2 2 0", "2 2 2 1 2 2 2 1 1 0", "2 2 1 1 2 2 1 1 2 0",
               "2 1 2 1 2 2 1 1 2 0", "2 2 2 1 2 2 1 2 1 0", "2 1 1 2 2 2 2 2 2 0"})},
        // Saturday 1 January 2000, midnight: day 1, year 00, weekday 6.
        {{2000, 1, 1, 0, 0, 0},
         rows({"0 2 2 2 2 2 2 2 2 0", "2 2 2 2 2 2 2 2 2 0", "2 2 2 2 2 2 2 2 2 0",
               "2 2 2 1 2 2 2 2 2 0", "2 2 2 2 2 2 2 2 2 0", "1 1 2 2 2 2 2 2 2 0"})},
        // Tuesday 31 December 2024: day 366 of a leap year.
        {{2024, 12, 31, 0, 0, 0},
         rows({"0 2 2 2 2 2 2 2 2 0", "2 2 2 2 2 2 2 2 2 0", "2 2 1 1 2 2 1 1 2 0",
               "2 1 1 2 2 2 2 2 2 0", "2 2 2 1 2 2 1 2 2 0", "2 1 2 2 2 2 2 2 2 0"})},
        // Tuesday 5 March 2024, 14:27: day 65, both parities even.
        {{2024, 3, 5, 14, 27, 0},
         rows({"0 2 1 2 2 2 1 1 1 0", "2 2 2 1 2 2 1 2 2 0", "2 2 2 2 2 2 1 1 2 0",
               "2 1 2 1 2 2 2 2 2 0", "2 2 2 1 2 2 1 2 2 0", "2 1 2 2 2 2 2 2 2 0"})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(digits(timecode::timecode(c.t)), c.expected) << runtime::format(c.t, "yyyy/mm/dd hh:mm");
}

TEST(Timecode, FramesPublishedElsewhere)
{
    EXPECT_EQ(digits(timecode::timecode({2016, 6, 10, 17, 15, 0})),
              fromMarkerNotation("M00100101M000100111M000100110M001000010M000010110M101000000M"));
    EXPECT_EQ(digits(timecode::timecode({2024, 5, 27, 1, 57, 0})),
              fromMarkerNotation("M10100111M000000001M000100100M100000110M000100100M001000000M"));
}

TEST(Timecode, DayOfYearAtTheBoundaries)
{
    // Seconds 22..33 without the marker at 29 and the spare at 24 carry the day.
    const auto dayOf = [](const DateTime& t) {
        const auto code = timecode::timecode(t);
        const int weights[] = {200, 100, 0, 80, 40, 20, 10, 0, 8, 4, 2, 1};
        int day = 0;
        for (int i = 0; i < 12; ++i)
            if (weights[i] != 0 && code[static_cast<std::size_t>(22 + i)] == timecode::One)
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
    for (int s = 41; s <= 48; ++s) EXPECT_EQ(y2100[static_cast<std::size_t>(s)], timecode::Zero);
}

TEST(Timecode, EveryMinuteKeepsTheLayout)
{
    // A whole leap day, minute by minute: markers exactly at the seven positions, only the
    // three pulse kinds, the seconds ignored, the parities even, and minutes 15 and 45 like
    // every other.
    for (int minuteOfDay = 0; minuteOfDay < 24 * 60; ++minuteOfDay) {
        const DateTime t{2024, 2, 29, minuteOfDay / 60, minuteOfDay % 60, 0};
        const auto code = timecode::timecode(t);
        for (std::size_t s = 0; s < 60; ++s) {
            const bool marker = s == 0 || s % 10 == 9;
            ASSERT_EQ(code[s] == timecode::Marker, marker) << s;
            ASSERT_TRUE(code[s] >= 0 && code[s] <= 2);
        }
        DateTime later = t;
        later.second = 30;
        ASSERT_EQ(timecode::timecode(later), code);

        const auto ones = [&](std::initializer_list<int> seconds) {
            int n = 0;
            for (int s : seconds) n += code[static_cast<std::size_t>(s)] == timecode::One;
            return n;
        };
        ASSERT_EQ(ones({12, 13, 15, 16, 17, 18, 36}) % 2, 0);
        ASSERT_EQ(ones({1, 2, 3, 5, 6, 7, 8, 37}) % 2, 0);
        // Thursday, year 24, at seconds 50..52 and 41..48 in every minute.
        ASSERT_EQ(ones({50, 51, 52}), 1);  // weekday 4 is 100
        ASSERT_EQ(code[50], timecode::One);
        ASSERT_EQ(ones({41, 42, 43, 44, 45, 46, 47, 48}), 2);
        for (int s : {4, 10, 11, 14, 20, 21, 24, 34, 35, 38, 40, 53, 54, 55, 56, 57, 58})
            ASSERT_EQ(code[static_cast<std::size_t>(s)], timecode::Zero) << s;
    }
}
