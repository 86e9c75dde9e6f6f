#include "display/readouts.h"

#include <cstddef>
#include <stdexcept>
#include <string>

namespace display {

namespace {

// The digits of `text` at the given 1-based positions; the formats are fixed-width, so every
// position taken holds a decimal digit.
template <std::size_t N>
std::array<int, N> digitsAt(const std::string& text, const std::array<std::size_t, N>& positions)
{
    std::array<int, N> digits{};
    for (std::size_t k = 0; k < N; ++k)
        digits[k] = text.at(positions[k] - 1) - '0';
    return digits;
}

}  // namespace

ClockDigits clockDigits(const runtime::DateTime& dt)
{
    return digitsAt<6>(runtime::format(dt, "hh:mm:ss"), {1, 2, 4, 5, 7, 8});
}

DateDigits dateDigits(const runtime::DateTime& dt)
{
    return digitsAt<8>(runtime::format(dt, "yyyy/mm/dd"), {1, 2, 3, 4, 6, 7, 9, 10});
}

WeekdayColours weekdayColours(int weekdayNumber)
{
    if (weekdayNumber < 1 || weekdayNumber > 7)
        throw std::out_of_range("weekday number outside 1..7: " + std::to_string(weekdayNumber));

    WeekdayColours colours{};
    colours[0] = weekdayNumber == 1 ? kSundayToday : kSundayOther;
    for (std::size_t i = 1; i < colours.size(); ++i)
        colours[i] = static_cast<int>(i) + 1 == weekdayNumber ? kWeekdayToday : kWeekdayOther;
    return colours;
}

}  // namespace display
