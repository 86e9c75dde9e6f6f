#pragma once
// What the station encoders share: writing numbers into the bits of a frame, parities, the
// moments the stations change their summer time or insert a leap second. Internal to timecode/.

#include "runtime/datetime.h"
#include "timecode/station.h"

#include <initializer_list>
#include <vector>

namespace timecode::stationbits {

// Writes `value` in binary-coded decimal into `bits` from `first` on, one weight a position in
// the order given; a weight of 0 leaves its position alone (a marker or a spare). Returns how
// many ones were written. Weights are 1, 2, 4, 8 times 1, 10 or 100.
int putBcd(std::vector<int>& bits, int value, std::initializer_list<int> weights, int first);

// The parity bit that makes the count of ones even, or odd.
inline int evenParity(int ones)
{
    return ones % 2;
}
inline int oddParity(int ones)
{
    return 1 - ones % 2;
}

// 1 = Monday .. 7 = Sunday.
int isoWeekday(const runtime::DateTime& t);

// The state to send: the override, or the station's rule.
bool summerTimeToSend(SummerTime setting, bool byRule);

// The reading at the start of its minute.
runtime::DateTime minuteStart(runtime::DateTime t);

// Whether a European summer-time change falls after the start of the UTC minute `utc` and at
// most `minutes` later.
bool euChangeWithin(const runtime::DateTime& utc, int minutes);

// Whether the leap second announced in `m` falls after the start of the UTC minute `utc` and at
// most `minutes` later; with 1, whether the minute `utc` itself ends with it.
bool leapSecondWithin(const MinuteToSend& m, const runtime::DateTime& utc, int minutes);

// A second whose carrier is reduced from its start for `ms` milliseconds.
StationSecond reducedFor(int ms);

}  // namespace timecode::stationbits
