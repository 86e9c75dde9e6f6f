#pragma once
// The few number and text conversions the program relies on. Settings files written by hand or
// by earlier versions hold values like "2.5", "&H10" or "40000"; these rules say what each reads
// as, with the rounding and the overflow made explicit.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace runtime {

// Raised when a number does not fit the integer it is converted to.
class OverflowError : public std::overflow_error {
public:
    using std::overflow_error::overflow_error;
};

// The leading number of a text: blanks, tabs and line feeds anywhere are skipped; an optional
// sign, digits, an optional point with decimals and an optional exponent (E or D) are read;
// "&H" and "&O" introduce a hexadecimal or octal number. The first other character ends it.
// A text with no number gives 0.
double leadingNumber(std::string_view text);

// To the nearest integer, a half going to the even neighbour; OverflowError outside the range.
std::int16_t toInt16(double value);
std::int32_t toInt32(double value);

// Decimal text with a leading minus for negative values and no sign or blank otherwise.
std::string int16Text(std::int16_t value);

// A 32-bit float written with at most 7 significant digits, the last rounded to the nearest,
// trailing zeros after the point dropped and the point dropped when nothing follows it.
std::string singleText(float value);

// Text order by character code, one character after the other; a prefix sorts first.
bool textLess(std::string_view a, std::string_view b);

}  // namespace runtime
