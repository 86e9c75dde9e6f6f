#pragma once
// What the transmission logic needs of the window it runs in. The window implements it with its
// timers, its indicator label and the toolkit's event processing; tests implement it with fakes.

#include "display/colours.h"
#include "runtime/datetime.h"

#include <cstdint>

namespace transmit {

enum class TimerId { Timer1, timTokei, timFlashIndicator };

class Host {
public:
    virtual ~Host() = default;
    virtual void setTimerEnabled(TimerId timer, bool on) = 0;
    // Sets the text colour of the transmitting indicator Label4 (display::kRed, ...).
    virtual void setIndicatorColour(std::uint32_t colour) = 0;
    // The ticker has just played the pulse of a new second. `boundary` is that second's boundary
    // on the ticker's clock, which is when the pulse is heard on the PC clock: the host brings
    // every display up to date (weekday rows, then clocks and dates) as the PC clock reaches it.
    virtual void refreshAt(runtime::LocalTime boundary) = 0;
    // Sleeps 1 ms, then lets the toolkit process all pending events (clicks, timer ticks,
    // painting) and returns. Every other handler of the window may run nested inside this call.
    virtual void sleepAndProcessEvents() = 0;
};

}  // namespace transmit
