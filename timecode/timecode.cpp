#include "timecode.h"

#include "runtime/text.h"

#include <initializer_list>
#include <string>

namespace timecode {

namespace {

int lastTwoAsNumber(const std::string& text)
{
    return static_cast<int>(runtime::leadingNumber(text.substr(text.size() - 2)));
}

// Writes the bits of `value` for the given weights, largest first, into the given seconds, and
// returns how many of them are ones. Each bit is what remains after the larger weights, divided
// by this weight: the binary-coded decimal of the value.
int putBits(Frame& code, int value, std::initializer_list<int> weights,
            std::initializer_list<int> seconds)
{
    int ones = 0;
    auto second = seconds.begin();
    for (int weight : weights) {
        const int bit = value / weight;
        value -= bit * weight;
        code[static_cast<std::size_t>(*second++)] = bit == 1 ? One : Zero;
        ones += bit;
    }
    return ones;
}

}  // namespace

Frame timecode(const runtime::DateTime& t)
{
    const int minute = lastTwoAsNumber(runtime::format(t, "hh:mm"));
    const int hour = static_cast<int>(runtime::leadingNumber(runtime::format(t, "hh")));
    const std::string year = runtime::format(t, "yyyy");
    const auto newYear = runtime::parseDateTime(year + "/01/01 00:00:00");
    const int dayOfYear = static_cast<int>(runtime::dayDifference(newYear.value_or(t), t)) + 1;
    const int yearDigits = lastTwoAsNumber(year);
    const int weekday = runtime::weekdayNumber(t) - 1;

    Frame code;
    code.fill(Zero);  // spares, summer-time and leap-second flags are always binary zero
    for (int marker : {0, 9, 19, 29, 39, 49, 59}) code[static_cast<std::size_t>(marker)] = Marker;

    const int minuteOnes = putBits(code, minute, {40, 20, 10, 8, 4, 2, 1}, {1, 2, 3, 5, 6, 7, 8});
    const int hourOnes = putBits(code, hour, {20, 10, 8, 4, 2, 1}, {12, 13, 15, 16, 17, 18});
    putBits(code, dayOfYear, {200, 100, 80, 40, 20, 10, 8, 4, 2, 1},
            {22, 23, 25, 26, 27, 28, 30, 31, 32, 33});
    putBits(code, yearDigits, {80, 40, 20, 10, 8, 4, 2, 1}, {41, 42, 43, 44, 45, 46, 47, 48});
    putBits(code, weekday, {4, 2, 1}, {50, 51, 52});

    // Even parity: the parity bit makes the count of ones in its field even.
    code[36] = hourOnes % 2 == 1 ? One : Zero;
    code[37] = minuteOnes % 2 == 1 ? One : Zero;
    return code;
}

}  // namespace timecode
