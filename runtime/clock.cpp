#include "clock.h"

#include <ctime>

namespace runtime {

LocalTime SystemClock::now() const
{
    namespace chr = std::chrono;
    const auto utc = chr::time_point_cast<chr::microseconds>(chr::system_clock::now()) + lead();
    // The local offset of that very moment, so a summer-time change is followed at once.
    const std::time_t secs = chr::system_clock::to_time_t(chr::floor<chr::seconds>(utc));
    std::tm local{};
    localtime_r(&secs, &local);
    return LocalTime{utc.time_since_epoch() + chr::seconds{local.tm_gmtoff}};
}

}  // namespace runtime
