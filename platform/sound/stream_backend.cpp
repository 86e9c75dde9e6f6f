#include "platform/sound/stream_backend.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

namespace platform {

void raiseThreadPriority()
{
    sched_param param{};
    param.sched_priority = std::max(sched_get_priority_min(SCHED_FIFO), 5);
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return;
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -11);
}

std::int64_t wallNs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace platform
