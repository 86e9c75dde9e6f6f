// WWVB (Fort Collins, 60 kHz) and BPC (Shangqiu, 68.5 kHz).

#include "station.h"

#include "station_bits.h"

#include <array>

namespace timecode {

using runtime::DateTime;
using namespace stationbits;

namespace {

constexpr int kWwvbMarker = 2;

bool gregorianLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

}  // namespace

StationMinute wwvbMinute(const MinuteToSend& m)
{
    const DateTime utc = minuteStart(m.time);

    // Most significant bit first; each weight of 0 is a spare or a marker position.
    std::vector<int> symbols(60, 0);
    putBcd(symbols, utc.minute, {40, 20, 10, 0, 8, 4, 2, 1}, 1);
    putBcd(symbols, utc.hour, {20, 10, 0, 8, 4, 2, 1}, 12);
    putBcd(symbols, runtime::dayOfYear(utc), {200, 100, 0, 80, 40, 20, 10, 0, 8, 4, 2, 1}, 22);
    symbols[36] = 1;  // DUT1 sign "+" is 101 at 36..38, the value 0.0 at 40..43
    symbols[38] = 1;
    putBcd(symbols, utc.year % 100, {80, 40, 20, 10, 0, 8, 4, 2, 1}, 45);
    symbols[55] = gregorianLeapYear(utc.year) ? 1 : 0;
    symbols[56] = m.leapSecondAtMonthEnd ? 1 : 0;
    // Bit 57 turns at 00:00 UTC on the change day, bit 58 a day later: a clock that sees 57
    // alone knows the change is due tonight.
    const bool today = usSummerTimeAtMidnightUtc(utc);
    const bool tomorrow = usSummerTimeAtMidnightUtc(runtime::addDays(utc, 1));
    symbols[57] = summerTimeToSend(m.summerTime, tomorrow) ? 1 : 0;
    symbols[58] = summerTimeToSend(m.summerTime, today) ? 1 : 0;
    for (int s : {0, 9, 19, 29, 39, 49, 59}) symbols[static_cast<std::size_t>(s)] = kWwvbMarker;
    if (leapSecondWithin(m, utc, 1)) symbols.push_back(kWwvbMarker);

    StationMinute minute{Station::Wwvb, 14, {}};
    for (int symbol : symbols)
        minute.seconds.push_back(reducedFor(symbol == kWwvbMarker ? 800 : symbol == 1 ? 500 : 200));
    return minute;
}

StationMinute bpcMinute(const DateTime& chinaTime)
{
    // Each 20-second frame is 19 base-4 digits after an unreduced second. Numbers are plain
    // binary, two bits a digit, most significant first. Receivers are known to be built two
    // ways on two points, and this takes the reading in which every field is a plain number:
    // second 1 holds the frame's own start second in weights 40 and 20, so the frames count
    // 0, 1, 2 (not 1, 2, 3); the hour field runs 0..11 beside an afternoon bit, so 12:xx goes
    // out as hour 0 with the bit set (not as 12), and hour + 12 x bit is always the hour.
    const DateTime& t = chinaTime;
    const int hour12 = t.hour % 12;
    const int afternoon = t.hour >= 12 ? 1 : 0;
    const int weekday = isoWeekday(t);  // 1 = Monday .. 7 = Sunday
    const int year = t.year % 100;      // 0..99; its 64 bit goes out in the last digit

    const auto ones = [](int digit) { return (digit & 1) + (digit >> 1 & 1); };
    StationMinute minute{Station::Bpc, 10, {}};
    for (int frame = 0; frame < 3; ++frame) {
        std::array<int, 20> d{};
        d[1] = frame;
        d[3] = hour12 >> 2;
        d[4] = hour12 & 3;
        d[5] = t.minute >> 4;
        d[6] = t.minute >> 2 & 3;
        d[7] = t.minute & 3;
        d[8] = weekday >> 2;
        d[9] = weekday & 3;
        d[11] = t.day >> 4;
        d[12] = t.day >> 2 & 3;
        d[13] = t.day & 3;
        d[14] = t.month >> 2;
        d[15] = t.month & 3;
        d[16] = year >> 4 & 3;
        d[17] = year >> 2 & 3;
        d[18] = year & 3;
        // Even parities over the digits before them, each in the low bit of its digit.
        int timeOnes = 0, dateOnes = 0;
        for (int i = 1; i <= 9; ++i) timeOnes += ones(d[static_cast<std::size_t>(i)]);
        for (int i = 11; i <= 18; ++i) dateOnes += ones(d[static_cast<std::size_t>(i)]);
        d[10] = afternoon << 1 | evenParity(timeOnes);
        d[19] = (year >> 6) << 1 | evenParity(dateOnes);

        minute.seconds.push_back(StationSecond{});
        for (int i = 1; i < 20; ++i)
            minute.seconds.push_back(reducedFor((d[static_cast<std::size_t>(i)] + 1) * 100));
    }
    return minute;
}

}  // namespace timecode
