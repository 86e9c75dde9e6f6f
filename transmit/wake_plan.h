#pragma once
// When Timer1 should next wake. The ticker only has work on a new second of the clock it reads,
// so between second boundaries it sleeps: it wakes a short margin before the next boundary and
// then polls at 1 ms until it sees the new second. Plain arithmetic on one clock reading, in that
// clock's own time (a clock that runs ahead of the PC clock by a lead has its boundaries there).

#include "runtime/datetime.h"

#include <chrono>
#include <string_view>

namespace transmit {

// How long before the next second boundary the aimed wake-up falls; it covers a timer that fires
// a little late and a clock that runs a little fast against the timer's own.
inline constexpr std::chrono::milliseconds kWakeMargin{2};
// The poll interval close to a boundary and while a new second waits for its tick.
inline constexpr std::chrono::milliseconds kPoll{1};
// The longest sleep when the system cannot tell that the PC clock was set: a step then delays
// the next pulse by at most this much.
inline constexpr std::chrono::milliseconds kStepCheck{250};

// The interval Timer1 should wait after a tick (or after being switched on) that left the
// ticker's `lastSec` as it is now, `reading` being the clock read after that tick:
//  - kPoll when the seconds text of `reading` differs from `lastSec` (a new second the ticker
//    has not handled yet, at first, after the minute-start wait or after a clock step);
//  - otherwise until kWakeMargin before the next boundary of `reading`'s clock, whole
//    milliseconds rounded down, but at least kPoll;
//  - never longer than `cap` when `cap` is above zero.
std::chrono::milliseconds timer1Wait(runtime::LocalTime reading, std::string_view lastSec,
                                     std::chrono::milliseconds cap = {});

}  // namespace transmit
