#include "timecode/station.h"
#include "timecode/timecode.h"

#include <gtest/gtest.h>

#include <span>

using runtime::DateTime;
using timecode::Station;
using timecode::SummerTime;

namespace {

// A frame in the station's own notation (see notation()). The rows are worked out by hand from
// each station's layout, bit by bit, unless a row says where else it comes from.
struct Case {
    DateTime t;
    const char* expected;
    bool leapSecond = false;  // a leap second ends this UTC month
};

void expectFrames(Station station, std::span<const Case> cases)
{
    for (const Case& c : cases) {
        const timecode::MinuteToSend m{c.t, SummerTime::Auto, c.leapSecond};
        EXPECT_EQ(timecode::notation(timecode::stationMinute(station, m)), c.expected)
            << runtime::format(c.t, "yyyy/mm/dd hh:mm");
    }
}

}  // namespace

TEST(Station, Dcf77FramesDescribeTheNextMinute)
{
    const Case cases[] = {
        // Sent at 13:57 CET: Wednesday 31.12.25 13:58, every parity a one but the date's.
        {{2025, 12, 31, 13, 57}, "00000000000000000010100011011110010110001111001001101001000-"},
        // Spring change, 30.3.25 at 02:00 CET: announced from 01:00 CET on, the frame sent at
        // 01:59 already describes 03:00 CEST.
        {{2025, 3, 30, 0, 59}, "00000000000000000010100000000100000100001111111000101001000-"},
        {{2025, 3, 30, 1, 0}, "00000000000000001010110000001100000100001111111000101001000-"},
        {{2025, 3, 30, 1, 59}, "00000000000000001100100000000110000000001111111000101001000-"},
        // Autumn change: the last minute of the first 02:xx CEST announces 02:00 CET.
        {{2025, 10, 26, 2, 59}, "00000000000000001010100000000010000101100111100001101001000-"},
        // New Year: Thursday 1.1.26; and 29 February 2024, a Thursday.
        {{2025, 12, 31, 23, 59}, "00000000000000000010100000000000000010000000110000011001000-"},
        {{2024, 2, 28, 23, 59}, "00000000000000000010100000000000000010010100101000001001001-"},
        // The leap second after 23:59:59 UTC on 31.12.16: announced during the hour before it
        // (00:00..00:59 CET), then sent as a zero in second 59 of a 61-second minute.
        {{2016, 12, 31, 23, 59},
         "00000000000000000010100000000000000010000011110000111010001-",
         true},
        {{2017, 1, 1, 0, 0}, "00000000000000000011110000001000000010000011110000111010001-", true},
        {{2017, 1, 1, 0, 59},
         "000000000000000000111000000001000001100000111100001110100010-",
         true},
    };
    expectFrames(Station::Dcf77, cases);
}

TEST(Station, MsfFramesDescribeTheNextMinute)
{
    const Case cases[] = {
        // Sent at 13:57 GMT: Wednesday 31.12.25 13:58; the odd parities are 0, 0, 1, 1.
        {{2025, 12, 31, 13, 57}, "M00000000000000000010010110010110001011010011101100001113310"},
        // Spring change at 01:00 GMT, warned 61 minutes ahead: not yet at 00:58, and at 00:59
        // the frame describes 02:00 BST with the summer-time bit.
        {{2025, 3, 30, 0, 58}, "M00000000000000000010010100011110000000000000101100103133310"},
        {{2025, 3, 30, 0, 59}, "M00000000000000000010010100011110000000000010000000003133130"},
        // Autumn change: the last minute of the first 01:xx BST describes 01:00 GMT.
        {{2025, 10, 26, 1, 59}, "M00000000000000000010010110000100110000000001000000003133110"},
        {{2024, 2, 28, 23, 59}, "M00000000000000000010010000010101001100000000000000001331310"},
        // The leap second after 23:59:59 UTC on 31.12.16, received after the DUT1 bits (second
        // 17); the frame describes Sunday 1.1.17 00:00.
        {{2016, 12, 31, 23, 58},
         "M00000000000000000001011010010110001110100011101100101113110",
         true},
        {{2016, 12, 31, 23, 59},
         "M000000000000000000001011100001000001000000000000000001333310",
         true},
    };
    expectFrames(Station::Msf, cases);
}

TEST(Station, WwvbFramesDescribeTheCurrentMinute)
{
    const Case cases[] = {
        // The leap second of 30.6.12, as wwvbgen's published test frames have it but with DUT1
        // +0.0 (101, 0000 at 36..43): leap year, warning bit, summer time, a second marker at 60.
        {{2012, 6, 30, 23, 58},
         "M10101000M001000011M000101000M001000101M000000001M001001111M",
         true},
        {{2012, 6, 30, 23, 59},
         "M10101001M001000011M000101000M001000101M000000001M001001111MM",
         true},
        {{2012, 7, 1, 0, 0}, "M00000000M000000000M000101000M001100101M000000001M001001011M"},
        // The change days of 2025: bit 57 alone on 9 March, bit 58 alone on 2 November.
        {{2025, 3, 9, 12, 0}, "M00000000M000100010M000000110M100000101M000000010M010100010M"},
        {{2025, 11, 2, 12, 0}, "M00000000M000100010M001100000M011000101M000000010M010100001M"},
        // Day 366 at New Year's Eve of a leap year, and 29 February as day 60.
        {{2024, 12, 31, 23, 59}, "M10101001M001000011M001100110M011000101M000000010M010001000M"},
        {{2024, 2, 29, 0, 0}, "M00000000M000000000M000000110M000000101M000000010M010001000M"},
    };
    expectFrames(Station::Wwvb, cases);
}

TEST(Station, BpcFramesRepeatEveryTwentySeconds)
{
    const Case cases[] = {
        // Wednesday 31.12.25 13:58: hour 1 in the afternoon, both parities odd then even.
        {{2025, 12, 31, 13, 58}, "-0001322033133301210-1001322032133301210-2001322032133301210"},
        // 12:05 on 29 February 2024 is hour 0 in the afternoon; midnight at New Year hour 0 in
        // the morning; 2070 needs the year's 64 bit, and Sunday 23:59 the weekday's 4 bit.
        {{2024, 2, 29, 12, 5}, "-0000011103131021201-1000011102131021201-2000011102131021201"},
        {{2026, 1, 1, 0, 0}, "-0000000101001011221-1000000100001011221-2000000100001011221"},
        {{2070, 6, 1, 23, 59}, "-0023323133001120123-1023323132001120123-2023323132001120123"},
    };
    expectFrames(Station::Bpc, cases);
}

TEST(Station, SummerTimeRulesAtTheChangeDays)
{
    using timecode::euSummerTime;
    using timecode::euSummerTimeAtCivil;
    // 2025: 30 March and 26 October at 01:00 UTC.
    EXPECT_FALSE(euSummerTime({2025, 3, 30, 0, 59, 59}));
    EXPECT_TRUE(euSummerTime({2025, 3, 30, 1, 0, 0}));
    EXPECT_TRUE(euSummerTime({2025, 10, 26, 0, 59, 59}));
    EXPECT_FALSE(euSummerTime({2025, 10, 26, 1, 0, 0}));
    EXPECT_FALSE(euSummerTime({2025, 3, 23, 12, 0, 0}));  // a week early: not the last Sunday
    // Civil readings in CET/CEST and in UK time; the missing spring hour and the first pass of
    // the repeated autumn hour read as summer time.
    EXPECT_FALSE(euSummerTimeAtCivil({2025, 3, 30, 1, 59, 0}, 1));
    EXPECT_TRUE(euSummerTimeAtCivil({2025, 3, 30, 2, 30, 0}, 1));
    EXPECT_TRUE(euSummerTimeAtCivil({2025, 10, 26, 2, 59, 0}, 1));
    EXPECT_FALSE(euSummerTimeAtCivil({2025, 10, 26, 3, 0, 0}, 1));
    EXPECT_FALSE(euSummerTimeAtCivil({2025, 3, 30, 0, 59, 0}, 0));
    EXPECT_TRUE(euSummerTimeAtCivil({2025, 3, 30, 1, 0, 0}, 0));
    EXPECT_TRUE(euSummerTimeAtCivil({2025, 10, 26, 1, 59, 0}, 0));
    EXPECT_FALSE(euSummerTimeAtCivil({2025, 10, 26, 2, 0, 0}, 0));

    // US 2024: 10 March to 3 November; at 00:00 UTC the change day still reads the old state.
    using timecode::usSummerTimeAtMidnightUtc;
    EXPECT_FALSE(usSummerTimeAtMidnightUtc({2024, 3, 10, 23, 0, 0}));
    EXPECT_TRUE(usSummerTimeAtMidnightUtc({2024, 3, 11, 0, 0, 0}));
    EXPECT_TRUE(usSummerTimeAtMidnightUtc({2024, 11, 3, 0, 0, 0}));
    EXPECT_FALSE(usSummerTimeAtMidnightUtc({2024, 11, 4, 0, 0, 0}));
    EXPECT_FALSE(usSummerTimeAtMidnightUtc({2024, 3, 3, 0, 0, 0}));  // the first Sunday
}

TEST(Station, OverridesFixTheSummerTimeBits)
{
    // In January, On sends summer time; at the spring change, Off neither announces nor changes.
    timecode::MinuteToSend winter{{2025, 1, 15, 10, 0, 0}, SummerTime::On, false};
    EXPECT_EQ(timecode::notation(timecode::wwvbMinute(winter)).substr(57, 2), "11");
    EXPECT_EQ(timecode::notation(timecode::dcf77Minute(winter)).substr(16, 3), "010");
    EXPECT_EQ(timecode::notation(timecode::msfMinute(winter)).substr(58, 1), "3");  // A 1, B 1
    timecode::MinuteToSend change{{2025, 3, 30, 1, 59, 0}, SummerTime::Off, false};
    const auto dcf = timecode::notation(timecode::dcf77Minute(change));
    EXPECT_EQ(dcf.substr(16, 3), "001");
    EXPECT_EQ(dcf.substr(29, 6), "010000");  // 02:00, the hour that summer time skips
}

TEST(Station, SecondsAsTheCarrierLevel)
{
    using timecode::Reduction;
    const timecode::MinuteToSend m{{2025, 12, 31, 13, 57, 0}, SummerTime::Auto, false};
    struct Expected {
        Station station;
        int level;
        std::size_t second;
        std::vector<Reduction> reduced;
    } cases[] = {
        {Station::Jjy60, 10, 0, {{200, 800}}},  // marker
        {Station::Jjy40, 10, 1, {{500, 500}}},  // one
        {Station::Jjy40, 10, 4, {{800, 200}}},  // zero
        {Station::Dcf77, 15, 0, {{0, 100}}},   {Station::Dcf77, 15, 20, {{0, 200}}},
        {Station::Dcf77, 15, 59, {}},          {Station::Msf, 0, 0, {{0, 500}}},
        {Station::Msf, 0, 1, {{0, 100}}},   // A 0, B 0
        {Station::Msf, 0, 53, {{0, 200}}},  // A 1, B 0
        {Station::Msf, 0, 56, {{0, 300}}},  // A 1, B 1
        {Station::Wwvb, 14, 0, {{0, 800}}},    {Station::Wwvb, 14, 1, {{0, 500}}},
        {Station::Wwvb, 14, 4, {{0, 200}}},    {Station::Bpc, 10, 20, {}},
        {Station::Bpc, 10, 10, {{0, 400}}},
    };
    for (const auto& c : cases) {
        const auto minute = timecode::stationMinute(c.station, m);
        EXPECT_EQ(minute.reducedLevelPercent, c.level);
        EXPECT_EQ(minute.seconds.at(c.second).reduced, c.reduced) << c.second;
    }
    // JJY keeps the window's frame, the same for both carriers and every minute of a day.
    for (int minuteOfDay = 0; minuteOfDay < 24 * 60; minuteOfDay += 7) {
        const DateTime t{2024, 2, 29, minuteOfDay / 60, minuteOfDay % 60, 0};
        std::string frame;
        for (auto kind : timecode::timecode(t))
            frame += kind == timecode::PulseKind::Marker ? 'M'
                     : kind == timecode::PulseKind::One  ? '1'
                                                         : '0';
        ASSERT_EQ(timecode::notation(timecode::jjyMinute(Station::Jjy40, t)), frame);
        ASSERT_EQ(timecode::notation(timecode::jjyMinute(Station::Jjy60, t)), frame);
    }
}
