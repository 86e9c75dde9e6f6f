#include "transmit/wake_plan.h"

#include <algorithm>
#include <string>

namespace transmit {

std::chrono::milliseconds timer1Wait(runtime::LocalTime reading, std::string_view lastSec,
                                     std::chrono::milliseconds cap)
{
    namespace chr = std::chrono;
    // The ticker compares the last two characters of the time-of-day text; so does the plan, so
    // that it polls exactly when a tick would find something to do.
    const std::string text = runtime::timeOfDayText(runtime::toDateTime(reading));
    if (std::string_view(text).substr(text.size() - 2) != lastSec)
        return kPoll;

    const auto boundary = chr::floor<chr::seconds>(reading) + chr::seconds{1};
    chr::milliseconds wait = std::max(chr::floor<chr::milliseconds>(boundary - kWakeMargin - reading),
                                      kPoll);
    if (cap > chr::milliseconds::zero())
        wait = std::min(wait, cap);
    return wait;
}

}  // namespace transmit
