// DCF77 (Mainflingen, 77.5 kHz) and MSF (Anthorn, 60 kHz). Both describe the minute that begins
// at the next second-0 mark, in their own civil time, and follow the European summer-time
// switch moments.

#include "station.h"

#include "station_bits.h"

namespace timecode {

using runtime::DateTime;
using namespace stationbits;

namespace {

// The civil time the frame sent at `now` describes, and whether it is summer time: one minute
// after `now`, which may cross a summer-time change. `sentUtc` is the UTC start of `now`.
struct NextMinute {
    DateTime sentUtc;
    DateTime civil;
    bool summer = false;
};

NextMinute nextMinute(const MinuteToSend& m, int standardOffsetHours)
{
    const DateTime now = minuteStart(m.time);
    const bool summerNow =
        summerTimeToSend(m.summerTime, euSummerTimeAtCivil(now, standardOffsetHours));
    NextMinute next;
    next.sentUtc = runtime::addHours(now, -(standardOffsetHours + (summerNow ? 1 : 0)));
    const DateTime nextUtc = runtime::addMinutes(next.sentUtc, 1);
    next.summer = summerTimeToSend(m.summerTime, euSummerTime(nextUtc));
    next.civil = runtime::addHours(nextUtc, standardOffsetHours + (next.summer ? 1 : 0));
    return next;
}

// MSF's second: off for 0.1 s, then 0.1 s more for bit A, then 0.1 s more for bit B.
StationSecond msfSecond(int a, int b)
{
    if (b == 0) return reducedFor(a == 1 ? 200 : 100);
    if (a == 1) return reducedFor(300);
    return StationSecond{{Reduction{0, 100}, Reduction{200, 100}}};
}

}  // namespace

StationMinute dcf77Minute(const MinuteToSend& m)
{
    const NextMinute next = nextMinute(m, 1);
    const DateTime& t = next.civil;

    // Least significant bit first. Seconds 0..15 (civil warnings, call bit) stay zero.
    std::vector<int> bits(58, 0);  // 0..57; the date parity follows
    bits[16] = m.summerTime == SummerTime::Auto && euChangeWithin(next.sentUtc, 60) ? 1 : 0;
    bits[17] = next.summer ? 1 : 0;
    bits[18] = next.summer ? 0 : 1;
    bits[19] = leapSecondWithin(m, next.sentUtc, 60) ? 1 : 0;
    bits[20] = 1;  // start of the encoded time
    bits[28] = evenParity(putBcd(bits, t.minute, {1, 2, 4, 8, 10, 20, 40}, 21));
    bits[35] = evenParity(putBcd(bits, t.hour, {1, 2, 4, 8, 10, 20}, 29));
    const int dateOnes = putBcd(bits, t.day, {1, 2, 4, 8, 10, 20}, 36) +
                         putBcd(bits, isoWeekday(t), {1, 2, 4}, 42) +
                         putBcd(bits, t.month, {1, 2, 4, 8, 10}, 45) +
                         putBcd(bits, t.year % 100, {1, 2, 4, 8, 10, 20, 40, 80}, 50);
    bits.push_back(evenParity(dateOnes));

    StationMinute minute{Station::Dcf77, 15, {}};
    for (int bit : bits) minute.seconds.push_back(reducedFor(bit == 1 ? 200 : 100));
    // A leap second is sent as a zero in second 59; the unreduced mark moves to second 60.
    if (leapSecondWithin(m, next.sentUtc, 1)) minute.seconds.push_back(reducedFor(100));
    minute.seconds.push_back(StationSecond{});
    return minute;
}

StationMinute msfMinute(const MinuteToSend& m)
{
    const NextMinute next = nextMinute(m, 0);
    const DateTime& t = next.civil;

    // Most significant bit first. Bits B 1..16 carry DUT1, sent as zero.
    std::vector<int> a(60, 0), b(60, 0);
    b[54] = oddParity(putBcd(a, t.year % 100, {80, 40, 20, 10, 8, 4, 2, 1}, 17));
    b[55] = oddParity(putBcd(a, t.month, {10, 8, 4, 2, 1}, 25) +
                      putBcd(a, t.day, {20, 10, 8, 4, 2, 1}, 30));
    const int sundayZero = isoWeekday(t) % 7;
    b[56] = oddParity(putBcd(a, sundayZero, {4, 2, 1}, 36));
    b[57] = oddParity(putBcd(a, t.hour, {20, 10, 8, 4, 2, 1}, 39) +
                      putBcd(a, t.minute, {40, 20, 10, 8, 4, 2, 1}, 45));
    for (int s = 53; s <= 58; ++s) a[static_cast<std::size_t>(s)] = 1;  // 01111110 from 52
    b[53] = m.summerTime == SummerTime::Auto && euChangeWithin(next.sentUtc, 61) ? 1 : 0;
    b[58] = next.summer ? 1 : 0;

    StationMinute minute{Station::Msf, 0, {reducedFor(500)}};
    for (std::size_t s = 1; s < 60; ++s) {
        minute.seconds.push_back(msfSecond(a[s], b[s]));
        // A leap second goes in after the DUT1 bits, so the minute's mark still ends it.
        if (s == 16 && leapSecondWithin(m, next.sentUtc, 1))
            minute.seconds.push_back(reducedFor(100));
    }
    return minute;
}

}  // namespace timecode
