#include "timecode.h"

#include <cstdlib>
#include <initializer_list>

namespace timecode {

namespace {

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
        code[static_cast<std::size_t>(*second++)] = bit == 1 ? PulseKind::One : PulseKind::Zero;
        ones += bit;
    }
    return ones;
}

PulseKind parity(int ones)
{
    // Even parity: the parity bit makes the count of ones in its field even.
    return ones % 2 == 1 ? PulseKind::One : PulseKind::Zero;
}

}  // namespace

Frame timecode(const runtime::DateTime& t)
{
    Frame code;
    code.fill(PulseKind::Zero);  // spares, summer-time and leap-second flags are always zero
    for (int marker : {0, 9, 19, 29, 39, 49, 59})
        code[static_cast<std::size_t>(marker)] = PulseKind::Marker;

    const int minuteOnes =
        putBits(code, t.minute, {40, 20, 10, 8, 4, 2, 1}, {1, 2, 3, 5, 6, 7, 8});
    const int hourOnes = putBits(code, t.hour, {20, 10, 8, 4, 2, 1}, {12, 13, 15, 16, 17, 18});
    putBits(code, runtime::dayOfYear(t), {200, 100, 80, 40, 20, 10, 8, 4, 2, 1},
            {22, 23, 25, 26, 27, 28, 30, 31, 32, 33});
    // The last two digits of the year, without a sign.
    putBits(code, std::abs(t.year % 100), {80, 40, 20, 10, 8, 4, 2, 1},
            {41, 42, 43, 44, 45, 46, 47, 48});
    putBits(code, runtime::weekdayNumber(t) - 1, {4, 2, 1}, {50, 51, 52});

    code[36] = parity(hourOnes);
    code[37] = parity(minuteOnes);
    return code;
}

}  // namespace timecode
