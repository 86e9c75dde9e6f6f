#pragma once
// The JJY time code of one minute: sixty pulse kinds, one per second, each a marker (0), a
// binary one (1) or a binary zero (2). The frame describes the minute that begins with its
// second-0 marker; the seconds of the date-time given play no part.

#include "runtime/datetime.h"

#include <array>
#include <cstdint>

namespace timecode {

enum class PulseKind : std::int16_t { Marker = 0, One = 1, Zero = 2 };

// Index = second of the minute.
using Frame = std::array<PulseKind, 60>;

// A pure function of its argument: minute, hour, day of the year, both parities, the last two
// digits of the year and the weekday, in binary-coded decimal, most significant weight first.
// The summer-time, leap-second and spare positions are always binary zero.
Frame timecode(const runtime::DateTime& t);

}  // namespace timecode
