#pragma once
// Whether the kernel believes the PC clock, which is the reference of the whole signal. Plain
// C++, no Qt; the window gets the query as a function so tests can pass a fake one.

#include <chrono>

namespace platform {

struct ClockSync {
    bool known = false;         // the kernel answered
    bool synchronised = false;  // STA_UNSYNC is clear: something (NTP, chrony) keeps it set
    std::chrono::microseconds estimatedError{};  // the kernel's estimate of the clock's error
    bool operator==(const ClockSync&) const = default;
};

// One ntp_adjtime call in read-only mode; cheap, never blocks.
ClockSync queryClockSync();

// True when the clock should not be trusted as a time signal's reference: the kernel says it
// is not synchronised, or puts its error above half a second. An unknown state is not called
// untrustworthy: there is nothing useful to tell the user then.
bool clockUntrustworthy(const ClockSync& sync);

}  // namespace platform
