#pragma once
// The minute of each long-wave time station, described as the carrier's level over every second:
// when it is reduced and for how long. Pure functions of the time to send; no clock, no time-zone
// lookup. The station's own summer-time and leap-second rules are computed here from the time
// given, so a caller only says what moment it sends and, where it wants, overrides the
// summer-time state.

#include "runtime/datetime.h"

#include <string>
#include <vector>

namespace timecode {

enum class Station { Jjy40, Jjy60, Dcf77, Msf, Wwvb, Bpc };

// One stretch of a second during which the carrier is reduced, in milliseconds from the start of
// the second. Stretches of a second are in order and never touch.
struct Reduction {
    int startMs = 0;
    int lengthMs = 0;
    bool operator==(const Reduction&) const = default;
};

struct StationSecond {
    std::vector<Reduction> reduced;  // empty: full carrier for the whole second
    bool operator==(const StationSecond&) const = default;
};

struct StationMinute {
    Station station = Station::Jjy40;
    // The carrier's amplitude while reduced, in percent of full: 10 for JJY and BPC, 15 for
    // DCF77, 14 for WWVB (17 dB down), 0 for MSF, which switches the carrier off.
    int reducedLevelPercent = 10;
    // Index = second of the minute; 61 entries when a leap second ends the minute.
    std::vector<StationSecond> seconds;
    bool operator==(const StationMinute&) const = default;
};

enum class SummerTime { Auto, On, Off };

struct MinuteToSend {
    // The station's civil time at the start of the minute being sent: Japan time for JJY, CET or
    // CEST for DCF77, UK time for MSF, UTC for WWVB, China time for BPC. Seconds are ignored.
    runtime::DateTime time;
    // Auto follows the station's rules; On and Off fix the state for every minute (and then no
    // change is announced). Auto reads the repeated autumn hour as its first, summer-time pass.
    SummerTime summerTime = SummerTime::Auto;
    // A leap second is inserted at the end of this UTC month (after 23:59:59 UTC on its last
    // day). Stations that announce it do so by their own rules; the 61-second minute is the last
    // UTC minute of the month, at DCF77, MSF and WWVB. JJY and BPC mark none.
    bool leapSecondAtMonthEnd = false;
};

// The minute `station` sends at `m`: one of the encoders below.
StationMinute stationMinute(Station station, const MinuteToSend& m);

// JJY 40 kHz and 60 kHz send the same frame as timecode(): full carrier for 0.2, 0.5 or 0.8 s,
// then 10 % for the rest of the second. Summer time and leap seconds play no part.
StationMinute jjyMinute(Station station, const runtime::DateTime& japanTime);

// DCF77: the frame describes the next minute, in CET or CEST; 0.1 s (0) or 0.2 s (1) at 15 % at
// the start of each second and none in the last. Announces a summer-time change and a leap
// second during the hour before it.
StationMinute dcf77Minute(const MinuteToSend& m);

// MSF: the frame describes the next minute in UK time; the carrier is off for 0.5 s in second 0
// and for 0.1 s, then per bit A and B 0.1 s more each, in the others. A leap second is sent as an
// extra second after second 16.
StationMinute msfMinute(const MinuteToSend& m);

// WWVB: the frame describes the current minute in UTC; 17 dB down for 0.2 s (0), 0.5 s (1) or
// 0.8 s (marker). DUT1 is sent as +0.0 s. A leap second is an extra marker, second 60.
StationMinute wwvbMinute(const MinuteToSend& m);

// BPC: three 20-second frames, each describing China time at its own start; seconds 0, 20 and 40
// keep full carrier, the others are reduced to 10 % for 0.1 to 0.4 s, a base-4 digit each.
StationMinute bpcMinute(const runtime::DateTime& chinaTime);

// One character a second, as the stations' own tables write them: JJY and WWVB M (marker), 1,
// 0; DCF77 0, 1 and - (no reduction); MSF M (minute mark) and bits A + 2 x B as 0..3; BPC the
// base-4 digit 0..3 and - (frame start).
std::string notation(const StationMinute& minute);

// The summer-time rules, as the stations apply them.
// European Union: summer time from 01:00 UTC on the last Sunday of March to 01:00 UTC on the
// last Sunday of October. `utc` is a UTC reading.
bool euSummerTime(const runtime::DateTime& utc);
// The same for a civil reading in a zone `standardOffsetHours` ahead of UTC: 1 for CET, 0 for UK
// time. The hour that does not exist in spring counts as summer time, the repeated autumn hour
// as its first pass.
bool euSummerTimeAtCivil(const runtime::DateTime& civil, int standardOffsetHours);
// United States: whether summer time is in effect at 00:00 UTC on the date of `utcDate` (the
// time of day is ignored). Summer time runs from 02:00 local on the second Sunday of March to
// 02:00 local on the first Sunday of November; at 00:00 UTC every US zone is still on the
// previous evening, so the change days themselves read as the old state.
bool usSummerTimeAtMidnightUtc(const runtime::DateTime& utcDate);

}  // namespace timecode
