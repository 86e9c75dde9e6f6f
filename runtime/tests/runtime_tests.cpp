#include "runtime/clock.h"
#include "runtime/datetime.h"
#include "runtime/text.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace runtime;

namespace {

DateTime dt(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return DateTime{y, mo, d, h, mi, s};
}

}  // namespace

TEST(CalendarArithmetic, CarriesMonthsYearsAndLeapDays)
{
    struct Case {
        DateTime from;
        long days, hours, minutes;
        DateTime expected;
    } cases[] = {
        {dt(2024, 2, 28, 1, 10), 1, 0, 0, dt(2024, 2, 29, 1, 10)},
        {dt(2023, 2, 28, 1, 10), 1, 0, 0, dt(2023, 3, 1, 1, 10)},
        {dt(2024, 2, 28, 1, 10), 1, -2, 0, dt(2024, 2, 28, 23, 10)},
        {dt(2024, 3, 10, 23, 45), 0, 0, 20, dt(2024, 3, 11, 0, 5)},
        {dt(2025, 1, 1, 0, 30, 15), 0, -1, 0, dt(2024, 12, 31, 23, 30, 15)},
        {dt(2025, 12, 31, 23, 59, 59), 0, 0, 1, dt(2026, 1, 1, 0, 0, 59)},
        {dt(2100, 2, 28, 12), 1, 0, 0, dt(2100, 3, 1, 12)},
        {dt(2000, 2, 28, 12), 1, 0, 0, dt(2000, 2, 29, 12)},
        {dt(2024, 3, 1), -1, 0, 0, dt(2024, 2, 29)},
        {dt(2024, 1, 1), -32768, 0, 0, dt(1934, 4, 15)},
        {dt(2024, 1, 1), 0, 32767, 0, dt(2027, 9, 27, 7)},
        {dt(2024, 1, 1), 0, 0, -32768, dt(2023, 12, 9, 5, 52)},
    };
    for (const auto& c : cases) {
        const auto got = addMinutes(addHours(addDays(c.from, c.days), c.hours), c.minutes);
        EXPECT_EQ(format(got, "yyyy/mm/dd hh:mm:ss"), format(c.expected, "yyyy/mm/dd hh:mm:ss"))
            << format(c.from, "yyyy/mm/dd hh:mm:ss") << " + " << c.days << "d " << c.hours << "h "
            << c.minutes << "m";
        EXPECT_EQ(transmittedTime(c.from, static_cast<std::int16_t>(c.days),
                                  static_cast<std::int16_t>(c.hours),
                                  static_cast<std::int16_t>(c.minutes)),
                  c.expected);
    }
}

TEST(CalendarArithmetic, DayDifferenceCountsDateBoundariesOnly)
{
    EXPECT_EQ(dayDifference(dt(2024, 1, 1), dt(2024, 1, 1, 23, 59, 59)), 0);
    EXPECT_EQ(dayDifference(dt(2024, 1, 1, 23, 59, 59), dt(2024, 1, 2)), 1);
    EXPECT_EQ(dayDifference(dt(2024, 1, 1), dt(2024, 12, 31)), 365);
    EXPECT_EQ(dayDifference(dt(2025, 1, 1), dt(2025, 12, 31)), 364);
    EXPECT_EQ(dayDifference(dt(2024, 1, 2), dt(2024, 1, 1)), -1);
}

TEST(CalendarArithmetic, WeekdayCountsFromSunday)
{
    EXPECT_EQ(weekdayNumber(dt(2000, 1, 1)), 7);    // Saturday
    EXPECT_EQ(weekdayNumber(dt(2025, 12, 31)), 4);  // Wednesday
    EXPECT_EQ(weekdayNumber(dt(2026, 12, 6)), 1);   // Sunday
    EXPECT_EQ(weekdayNumber(dt(2024, 2, 29, 23, 59, 59)), 5);
}

TEST(Formatting, PatternsPadEveryField)
{
    const auto t = dt(2024, 1, 5, 9, 5, 7);
    EXPECT_EQ(format(t, "ss"), "07");
    EXPECT_EQ(format(t, "hh"), "09");
    EXPECT_EQ(format(t, "hh:mm"), "09:05");
    EXPECT_EQ(format(t, "hh:mm:ss"), "09:05:07");
    EXPECT_EQ(format(t, "yyyy"), "2024");
    EXPECT_EQ(format(t, "yyyy/mm/dd"), "2024/01/05");
    EXPECT_EQ(format(dt(812, 12, 31, 23, 59, 58), "yyyy/mm/dd hh:mm:ss"), "0812/12/31 23:59:58");
    EXPECT_EQ(timeOfDayText(t), "9:05:07");
    EXPECT_EQ(timeOfDayText(dt(2024, 1, 5, 13, 0, 0)), "13:00:00");
    EXPECT_EQ(timeOfDayText(dt(2024, 1, 5, 0, 0, 0)), "0:00:00");
}

TEST(Formatting, ReadsBackWholeDateTimes)
{
    EXPECT_EQ(parseDateTime("2024/01/01 00:00:00"), dt(2024, 1, 1));
    EXPECT_EQ(parseDateTime("2023/02/29 00:00:00"), std::nullopt);
    EXPECT_EQ(parseDateTime("2024/01/01"), std::nullopt);
    EXPECT_EQ(parseDateTime("2024/01/01 24:00:00"), std::nullopt);
}

TEST(Clock, ReadingsSplitIntoWholeSecondsAndCounter)
{
    using namespace std::chrono;
    FakeClock clock(dt(2024, 2, 29, 23, 59, 59));
    clock.advance(milliseconds(999));
    EXPECT_EQ(toDateTime(clock.now()), dt(2024, 2, 29, 23, 59, 59));
    EXPECT_NEAR(secondsSinceMidnight(clock.now()), 86399.999f, 0.01f);
    clock.advance(milliseconds(1));
    EXPECT_EQ(toDateTime(clock.now()), dt(2024, 3, 1));
    EXPECT_EQ(secondsSinceMidnight(clock.now()), 0.0f);

    // The system clock agrees with the C library's idea of local time.
    SystemClock system;
    const auto before = std::time(nullptr);
    const DateTime now = toDateTime(system.now());
    std::tm tm{};
    localtime_r(&before, &tm);
    const DateTime fromLibc{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                           tm.tm_sec};
    EXPECT_GE(toLocalTime(now), toLocalTime(fromLibc));
    EXPECT_LE(toLocalTime(now), toLocalTime(fromLibc) + seconds(2));
    system.setLead(seconds(3600));
    EXPECT_NEAR(duration<double>(system.now() - SystemClock().now()).count(), 3600.0, 1.0);
}

// The minute-start gate reads the last two characters of the counter's text.
TEST(SingleText, CounterTextsOfTheMinuteGate)
{
    struct Case {
        float value;
        const char* text;
    } cases[] = {
        {43200.03f, "43200.03"}, {43200.05f, "43200.05"}, {43200.13f, "43200.13"},
        {43200.1f, "43200.1"},   {43200.0f, "43200"},     {43260.0f, "43260"},
        {3600.04f, "3600.04"},   {3600.031f, "3600.031"}, {0.0f, "0"},
        {0.5f, "0.5"},           {86399.99f, "86399.99"}, {12.25f, "12.25"},
        {1234567.0f, "1234567"}, {-2.5f, "-2.5"},         {1e7f, "1E+07"},
    };
    for (const auto& c : cases) EXPECT_EQ(singleText(c.value), c.text) << c.value;
}

TEST(TextOrder, ComparesByCharacterCode)
{
    EXPECT_TRUE(textLess("03", "05"));
    EXPECT_FALSE(textLess("05", "05"));
    EXPECT_FALSE(textLess("13", "05"));
    EXPECT_TRUE(textLess(".1", "05"));  // the point sorts below every digit
    EXPECT_TRUE(textLess("0", "05"));   // a prefix sorts first
    EXPECT_TRUE(textLess("", "0"));
    EXPECT_FALSE(textLess("\xE3", "0"));  // bytes above 127 sort after ASCII
}

TEST(LeadingNumber, ReadsWhatSettingsFilesHold)
{
    struct Case {
        const char* text;
        double value;
    } cases[] = {
        {"12", 12},         {"-3", -3},        {"+7", 7},        {"2.5", 2.5},
        {"12abc", 12},      {"abc", 0},        {"", 0},          {" 1 2\t3\n", 123},
        {"&H10", 16},       {"&h1f", 31},      {"&O17", 15},     {"&HFFFF", -1},
        {"&H8000", -32768}, {"&H10000", 65536}, {"&Hzz", 0},      {"&", 0},
        {"1e3", 1000},      {"1.5D2", 150},    {"2e", 2},        {"-.5", -0.5},
        {".25x", 0.25},     {"-", 0},          {"1-2", 1},       {"3.4.5", 3.4},
        {"0012", 12},       {"- 4", -4},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(leadingNumber(c.text), c.value) << c.text;
    EXPECT_TRUE(std::isinf(leadingNumber("1e999")));
    EXPECT_EQ(leadingNumber("1e-999"), 0);
}

TEST(IntegerConversion, RoundsHalfToEvenAndOverflowsAtTheBounds)
{
    EXPECT_EQ(toInt16(leadingNumber("2.5")), 2);
    EXPECT_EQ(toInt16(leadingNumber("3.5")), 4);
    EXPECT_EQ(toInt16(leadingNumber("-2.5")), -2);
    EXPECT_EQ(toInt16(leadingNumber("&H10")), 16);
    EXPECT_EQ(toInt16(leadingNumber("12abc")), 12);
    EXPECT_EQ(toInt16(leadingNumber("abc")), 0);
    EXPECT_EQ(toInt16(32767.4), 32767);
    EXPECT_EQ(toInt16(-32768.5), -32768);
    EXPECT_THROW(toInt16(leadingNumber("40000")), OverflowError);
    EXPECT_THROW(toInt16(32767.5), OverflowError);
    EXPECT_THROW(toInt16(-32769), OverflowError);
    EXPECT_THROW(toInt16(leadingNumber("1e999")), OverflowError);
    EXPECT_EQ(toInt32(leadingNumber("59")), 59);
    EXPECT_EQ(toInt32(2147483647.0), 2147483647);
    EXPECT_THROW(toInt32(2147483648.0), OverflowError);

    EXPECT_EQ(int16Text(-3), "-3");
    EXPECT_EQ(int16Text(0), "0");
    EXPECT_EQ(int16Text(12), "12");
    EXPECT_EQ(int16Text(-32768), "-32768");
}
