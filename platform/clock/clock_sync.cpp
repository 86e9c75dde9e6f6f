#include "platform/clock/clock_sync.h"

#include <sys/timex.h>

namespace platform {

ClockSync queryClockSync()
{
    timex tx{};
    tx.modes = 0;  // read only
    const int state = ::ntp_adjtime(&tx);
    ClockSync sync;
    if (state == -1) return sync;
    sync.known = true;
    sync.synchronised = state != TIME_ERROR && (tx.status & STA_UNSYNC) == 0;
    sync.estimatedError = std::chrono::microseconds(tx.esterror);
    return sync;
}

bool clockUntrustworthy(const ClockSync& sync)
{
    using namespace std::chrono_literals;
    return sync.known && (!sync.synchronised || sync.estimatedError > 500ms);
}

}  // namespace platform
