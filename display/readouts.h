#pragma once
// What the window's read-outs show, worked out from a date-time: the digits of the two clocks
// (`tokei`, `tokei2`) and the two dates (`hiduke`, `hiduke2`), and the label colours of the two
// weekday rows (`youbi`, `youbi2`). The window reads the clock itself for each read-out and
// moves the transmitted twins by the advances with runtime::transmittedTime.

#include "display/colours.h"
#include "runtime/datetime.h"

#include <array>
#include <cstdint>

namespace display {

// Hour tens, hour units, minute tens, minute units, second tens, second units; 24-hour clock,
// leading zeros kept. Each 0..9, the element of the clock digit pictures a slot shows.
using ClockDigits = std::array<int, 6>;
ClockDigits clockDigits(const runtime::DateTime& dt);

// Year thousands, hundreds, tens, units, month tens, units, day tens, units.
using DateDigits = std::array<int, 8>;
DateDigits dateDigits(const runtime::DateTime& dt);

// The weekday labels' colours: which label stands for today, and which for any other day.
inline constexpr std::uint32_t kSundayToday = kRed;
inline constexpr std::uint32_t kSundayOther = kDarkRed;
inline constexpr std::uint32_t kWeekdayToday = kLightBlue;
inline constexpr std::uint32_t kWeekdayOther = kNavy;

// Colours of the seven weekday labels, Sunday first, for weekday number 1 (Sunday) .. 7
// (Saturday): the Sunday label is always one of the reds, bright on a Sunday; the label of any
// other day is light blue on that day and navy otherwise. Throws std::out_of_range outside 1..7.
using WeekdayColours = std::array<std::uint32_t, 7>;
WeekdayColours weekdayColours(int weekdayNumber);

}  // namespace display
