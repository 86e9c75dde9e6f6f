#pragma once
// Word from the system that the PC clock was set: by a time server stepping it, by a user, or
// on waking from suspend. A sleep timed for the next second boundary ends at the wrong moment
// after such a step, so whoever sleeps re-aims when told.
//
// On Linux this is a timerfd on the real-time clock armed with TFD_TIMER_CANCEL_ON_SET; the
// descriptor becomes readable when the clock is set. Elsewhere, or when the system refuses,
// fd() is -1 and the caller has to look at the clock often enough by itself.

namespace platform {

class ClockSetWatch {
public:
    ClockSetWatch();
    ~ClockSetWatch();
    ClockSetWatch(const ClockSetWatch&) = delete;
    ClockSetWatch& operator=(const ClockSetWatch&) = delete;

    // The descriptor to watch for reading; -1 when the system cannot tell of clock steps.
    int fd() const { return m_fd; }

    // Call when fd() is readable. True when the clock was set since the last call; the watch
    // is armed again for the next step. Never blocks.
    bool takeStep();

private:
    bool arm();
    int m_fd = -1;
};

}  // namespace platform
