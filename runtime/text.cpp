#include "text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace runtime {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

int digitValue(char c, int base)
{
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    return v >= 0 && v < base ? v : -1;
}

// The text with every blank, tab and line feed taken out: they are skipped wherever they stand.
std::string withoutBlanks(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (!isBlank(c)) out += c;
    return out;
}

// "&H" and "&O" literals: values that fit 16 bits are read as a signed 16-bit integer and
// those that fit 32 bits as a signed 32-bit one, so "&HFFFF" reads as -1, as settings files hold it.
double radixNumber(std::string_view digits, int base)
{
    double value = 0;
    for (char c : digits) {
        const int d = digitValue(c, base);
        if (d < 0) break;
        value = value * base + d;
    }
    if (value <= 0xFFFF) return static_cast<double>(static_cast<std::int16_t>(static_cast<std::uint16_t>(value)));
    if (value <= 0xFFFFFFFFu)
        return static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
    return value;
}

}  // namespace

double leadingNumber(std::string_view text)
{
    const std::string s = withoutBlanks(text);
    if (s.size() >= 2 && s[0] == '&') {
        if (s[1] == 'H' || s[1] == 'h') return radixNumber(std::string_view(s).substr(2), 16);
        if (s[1] == 'O' || s[1] == 'o') return radixNumber(std::string_view(s).substr(2), 8);
        return 0;
    }

    // Collect the longest prefix of the form [sign] digits [. digits] [exponent].
    std::string number;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        if (s[i] == '-') number += '-';
        ++i;
    }
    bool anyDigit = false;
    while (i < s.size() && isDigit(s[i])) {
        number += s[i++];
        anyDigit = true;
    }
    if (i < s.size() && s[i] == '.') {
        number += '.';
        ++i;
        while (i < s.size() && isDigit(s[i])) {
            number += s[i++];
            anyDigit = true;
        }
    }
    if (!anyDigit) return 0;
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
        std::size_t j = i + 1;
        std::string exponent = "e";
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) exponent += s[j++];
        if (j < s.size() && isDigit(s[j])) {
            while (j < s.size() && isDigit(s[j])) exponent += s[j++];
            number += exponent;
        }
    }
    if (number.front() == '-' && number.size() > 1 && number[1] == '.') number.insert(1, "0");
    if (number.front() == '.') number.insert(0, "0");

    double value = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
        // Too large for a double: keep the sign and let the integer conversion overflow.
        const bool tiny = number.find("e-") != std::string::npos;
        if (tiny) return 0;
        return number.front() == '-' ? -std::numeric_limits<double>::infinity()
                                     : std::numeric_limits<double>::infinity();
    }
    return value;
}

namespace {

template <typename Int>
Int toInteger(double value, const char* what)
{
    const double rounded = std::nearbyint(value);  // ties to even in the default rounding mode
    if (std::isnan(rounded) || rounded < static_cast<double>(std::numeric_limits<Int>::min()) ||
        rounded > static_cast<double>(std::numeric_limits<Int>::max()))
        throw OverflowError(what);
    return static_cast<Int>(rounded);
}

}  // namespace

std::int16_t toInt16(double value)
{
    return toInteger<std::int16_t>(value, "overflow: outside -32768 to 32767");
}

std::int32_t toInt32(double value)
{
    return toInteger<std::int32_t>(value, "overflow: outside -2147483648 to 2147483647");
}

std::string int16Text(std::int16_t value)
{
    return std::to_string(value);
}

std::string singleText(float value)
{
    if (value == 0.0f) return "0";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.7G", static_cast<double>(value));
    return buf;
}

bool textLess(std::string_view a, std::string_view b)
{
    return a.compare(b) < 0;  // char_traits<char> compares as unsigned char
}

}  // namespace runtime
