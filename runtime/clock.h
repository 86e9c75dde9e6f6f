#pragma once
// The one way the program reads the PC clock. The window gets a clock at construction; tests
// pass a FakeClock and move it by hand across minutes, midnights and leap days.

#include "datetime.h"

#include <atomic>
#include <chrono>

namespace runtime {

class Clock {
public:
    virtual ~Clock() = default;
    // The PC's local wall-clock time, with the fraction of the current second.
    virtual LocalTime now() const = 0;
};

// The system's local time. A lead makes the readings run ahead of the PC clock by that much,
// so that work started on a reading's second boundary (a pulse through a sound server with a
// known latency) reaches its destination on the real boundary.
class SystemClock final : public Clock {
public:
    LocalTime now() const override;
    void setLead(std::chrono::microseconds lead) { m_leadUs.store(lead.count()); }
    std::chrono::microseconds lead() const { return std::chrono::microseconds(m_leadUs.load()); }

private:
    std::atomic<std::int64_t> m_leadUs{0};
};

// A clock for tests: stands still until moved.
class FakeClock final : public Clock {
public:
    explicit FakeClock(LocalTime start = {}) : m_now(start) {}
    explicit FakeClock(const DateTime& start) : m_now(toLocalTime(start)) {}
    LocalTime now() const override { return m_now; }
    void set(LocalTime t) { m_now = t; }
    void set(const DateTime& dt) { m_now = toLocalTime(dt); }
    void advance(std::chrono::microseconds d) { m_now += d; }

private:
    LocalTime m_now;
};

}  // namespace runtime
