#include "station.h"

#include "station_bits.h"
#include "timecode.h"

#include <chrono>

namespace timecode {

namespace chr = std::chrono;
using runtime::DateTime;

namespace {

chr::year_month_day dateOf(const DateTime& t)
{
    return {chr::year{t.year}, chr::month{static_cast<unsigned>(t.month)},
            chr::day{static_cast<unsigned>(t.day)}};
}

// The European switch moment of `month` (March or October) in `year`: 01:00 UTC on its last
// Sunday.
runtime::LocalTime euSwitch(int year, unsigned month)
{
    const chr::local_days sunday{chr::year_month_weekday_last{chr::year{year}, chr::month{month},
                                                              chr::weekday_last{chr::Sunday}}};
    return chr::time_point_cast<chr::microseconds>(sunday + chr::hours{1});
}

char symbol(Station station, const StationSecond& second)
{
    if (second.reduced.empty()) return '-';
    const Reduction& first = second.reduced.front();
    switch (station) {
    case Station::Jjy40:
    case Station::Jjy60:
        return first.startMs == 200 ? 'M' : first.startMs == 500 ? '1' : '0';
    case Station::Dcf77:
        return first.lengthMs == 200 ? '1' : '0';
    case Station::Msf:
        if (first.lengthMs == 500) return 'M';
        if (second.reduced.size() == 2) return '2';
        return first.lengthMs == 300 ? '3' : first.lengthMs == 200 ? '1' : '0';
    case Station::Wwvb:
        return first.lengthMs == 800 ? 'M' : first.lengthMs == 500 ? '1' : '0';
    case Station::Bpc:
        return static_cast<char>('0' + first.lengthMs / 100 - 1);
    }
    return '?';
}

}  // namespace

namespace stationbits {

int putBcd(std::vector<int>& bits, int value, std::initializer_list<int> weights, int first)
{
    int ones = 0;
    int position = first;
    for (int weight : weights) {
        if (weight != 0) {
            const int place = weight >= 100 ? 100 : weight >= 10 ? 10 : 1;
            const int bit = (value / place % 10) / (weight / place) % 2;
            bits[static_cast<std::size_t>(position)] = bit;
            ones += bit;
        }
        ++position;
    }
    return ones;
}

int isoWeekday(const DateTime& t)
{
    return static_cast<int>(chr::weekday{chr::local_days{dateOf(t)}}.iso_encoding());
}

bool summerTimeToSend(SummerTime setting, bool byRule)
{
    return setting == SummerTime::Auto ? byRule : setting == SummerTime::On;
}

DateTime minuteStart(DateTime t)
{
    t.second = 0;
    return t;
}

bool euChangeWithin(const DateTime& utc, int minutes)
{
    const auto start = runtime::toLocalTime(minuteStart(utc));
    for (unsigned month : {3u, 10u}) {
        const auto change = euSwitch(utc.year, month);
        if (change > start && change - start <= chr::minutes{minutes}) return true;
    }
    return false;
}

bool leapSecondWithin(const MinuteToSend& m, const DateTime& utc, int minutes)
{
    if (!m.leapSecondAtMonthEnd) return false;
    // The leap second comes right before 00:00 UTC on the first of the next month.
    const auto month = chr::year{utc.year} / chr::month{static_cast<unsigned>(utc.month)};
    const chr::local_days nextMonth{(month + chr::months{1}) / chr::day{1}};
    const auto start = runtime::toLocalTime(minuteStart(utc));
    return nextMonth > start && nextMonth - start <= chr::minutes{minutes};
}

StationSecond reducedFor(int ms)
{
    return StationSecond{{Reduction{0, ms}}};
}

}  // namespace stationbits

bool euSummerTime(const DateTime& utc)
{
    const auto t = runtime::toLocalTime(utc);
    return t >= euSwitch(utc.year, 3) && t < euSwitch(utc.year, 10);
}

bool euSummerTimeAtCivil(const DateTime& civil, int standardOffsetHours)
{
    // Read as standard time for the spring change and as summer time for the autumn one, so
    // that the two doubtful hours both come out as summer time.
    const auto t = runtime::toLocalTime(civil);
    return t - chr::hours{standardOffsetHours} >= euSwitch(civil.year, 3) &&
           t - chr::hours{standardOffsetHours + 1} < euSwitch(civil.year, 10);
}

bool usSummerTimeAtMidnightUtc(const DateTime& utcDate)
{
    const chr::year year{utcDate.year};
    const chr::local_days day{dateOf(utcDate)};
    const chr::local_days start{year / chr::March / chr::Sunday[2]};
    const chr::local_days end{year / chr::November / chr::Sunday[1]};
    return day > start && day <= end;
}

StationMinute jjyMinute(Station station, const DateTime& japanTime)
{
    StationMinute minute{station, 10, {}};
    for (PulseKind kind : timecode(japanTime)) {
        const int fullMs = kind == PulseKind::Marker ? 200 : kind == PulseKind::One ? 500 : 800;
        minute.seconds.push_back(StationSecond{{Reduction{fullMs, 1000 - fullMs}}});
    }
    return minute;
}

std::string notation(const StationMinute& minute)
{
    std::string text;
    for (const StationSecond& second : minute.seconds) text += symbol(minute.station, second);
    return text;
}

StationMinute stationMinute(Station station, const MinuteToSend& m)
{
    switch (station) {
    case Station::Jjy40:
    case Station::Jjy60:
        return jjyMinute(station, m.time);
    case Station::Dcf77:
        return dcf77Minute(m);
    case Station::Msf:
        return msfMinute(m);
    case Station::Wwvb:
        return wwvbMinute(m);
    case Station::Bpc:
        return bpcMinute(m.time);
    }
    return jjyMinute(Station::Jjy40, m.time);
}

}  // namespace timecode
