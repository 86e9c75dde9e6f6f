#include "platform/clock/clock_set_watch.h"

#if defined(__linux__)
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <limits>
#endif

namespace platform {

#if defined(__linux__)

ClockSetWatch::ClockSetWatch()
{
    m_fd = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd >= 0 && !arm()) {
        ::close(m_fd);
        m_fd = -1;
    }
}

ClockSetWatch::~ClockSetWatch()
{
    if (m_fd >= 0) ::close(m_fd);
}

// An expiry that never comes: the timer exists only to be cancelled by a step of the clock.
bool ClockSetWatch::arm()
{
    itimerspec never{};
    never.it_value.tv_sec = std::numeric_limits<std::time_t>::max();
    return timerfd_settime(m_fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &never, nullptr) == 0;
}

bool ClockSetWatch::takeStep()
{
    if (m_fd < 0) return false;
    std::uint64_t expirations = 0;
    if (::read(m_fd, &expirations, sizeof expirations) >= 0 || errno != ECANCELED) return false;
    arm();
    return true;
}

#else

ClockSetWatch::ClockSetWatch() = default;
ClockSetWatch::~ClockSetWatch() = default;
bool ClockSetWatch::arm()
{
    return false;
}
bool ClockSetWatch::takeStep()
{
    return false;
}

#endif

}  // namespace platform
