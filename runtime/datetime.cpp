#include "datetime.h"

#include <charconv>
#include <cmath>

namespace runtime {

namespace chr = std::chrono;

namespace {

chr::year_month_day dateOf(const DateTime& dt)
{
    return {chr::year{dt.year}, chr::month{static_cast<unsigned>(dt.month)},
            chr::day{static_cast<unsigned>(dt.day)}};
}

chr::local_seconds toLocalSeconds(const DateTime& dt)
{
    return chr::local_days{dateOf(dt)} + chr::hours{dt.hour} + chr::minutes{dt.minute} +
           chr::seconds{dt.second};
}

void appendPadded(std::string& out, int value, int width)
{
    char buf[16];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value < 0 ? -value : value);
    (void)ec;
    if (value < 0) out += '-';
    for (auto n = static_cast<int>(end - buf); n < width; ++n) out += '0';
    out.append(buf, end);
}

// A field of a format pattern: its value and its width, which is also the length of its letters
// in the pattern. Width 0: the pattern has a character to copy here.
struct Field {
    int value = 0;
    int width = 0;
};

// "mm" is the minute right after an hour and the month otherwise.
Field fieldAt(const DateTime& dt, std::string_view rest, bool afterHour)
{
    if (rest.starts_with("yyyy")) return {dt.year, 4};
    if (rest.starts_with("hh")) return {dt.hour, 2};
    if (rest.starts_with("mm")) return {afterHour ? dt.minute : dt.month, 2};
    if (rest.starts_with("dd")) return {dt.day, 2};
    if (rest.starts_with("ss")) return {dt.second, 2};
    return {};
}

}  // namespace

DateTime toDateTime(LocalTime t)
{
    const auto secs = chr::floor<chr::seconds>(t);
    const auto days = chr::floor<chr::days>(secs);
    const chr::year_month_day ymd{days};
    const chr::hh_mm_ss hms{secs - days};
    return DateTime{static_cast<int>(ymd.year()),         static_cast<int>(unsigned(ymd.month())),
                    static_cast<int>(unsigned(ymd.day())), static_cast<int>(hms.hours().count()),
                    static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count())};
}

LocalTime toLocalTime(const DateTime& dt)
{
    return chr::time_point_cast<chr::microseconds>(toLocalSeconds(dt));
}

DateTime addDays(const DateTime& dt, long days)
{
    return toDateTime(toLocalTime(dt) + chr::days{days});
}

DateTime addHours(const DateTime& dt, long hours)
{
    return toDateTime(toLocalTime(dt) + chr::hours{hours});
}

DateTime addMinutes(const DateTime& dt, long minutes)
{
    return toDateTime(toLocalTime(dt) + chr::minutes{minutes});
}

DateTime transmittedTime(const DateTime& now, std::int16_t advDate, std::int16_t advHour,
                         std::int16_t advMin)
{
    return addMinutes(addHours(addDays(now, advDate), advHour), advMin);
}

long dayDifference(const DateTime& from, const DateTime& to)
{
    const auto a = chr::floor<chr::days>(toLocalSeconds(from));
    const auto b = chr::floor<chr::days>(toLocalSeconds(to));
    return static_cast<long>((b - a).count());
}

int weekdayNumber(const DateTime& dt)
{
    const chr::weekday wd{chr::floor<chr::days>(toLocalSeconds(dt))};
    return static_cast<int>(wd.c_encoding()) + 1;
}

int dayOfYear(const DateTime& dt)
{
    const chr::year_month_day newYear{chr::year{dt.year}, chr::January, chr::day{1}};
    const auto day = chr::floor<chr::days>(toLocalSeconds(dt));
    return static_cast<int>((day - chr::local_days{newYear}).count()) + 1;
}

std::string format(const DateTime& dt, std::string_view pattern)
{
    std::string out;
    out.reserve(pattern.size() + 4);
    bool afterHour = false;
    for (std::size_t i = 0; i < pattern.size();) {
        const std::string_view rest = pattern.substr(i);
        const Field field = fieldAt(dt, rest, afterHour);
        if (field.width == 0) {
            out += pattern[i++];
            continue;
        }
        appendPadded(out, field.value, field.width);
        afterHour = rest.starts_with("hh");
        i += static_cast<std::size_t>(field.width);
    }
    return out;
}

std::optional<DateTime> parseDateTime(std::string_view text)
{
    // yyyy/mm/dd hh:mm:ss
    if (text.size() != 19 || text[4] != '/' || text[7] != '/' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':')
        return std::nullopt;
    const auto field = [&](std::size_t pos, std::size_t len, int& out) {
        const char* first = text.data() + pos;
        auto [end, ec] = std::from_chars(first, first + len, out);
        return ec == std::errc{} && end == first + len;
    };
    DateTime dt;
    if (!field(0, 4, dt.year) || !field(5, 2, dt.month) || !field(8, 2, dt.day) ||
        !field(11, 2, dt.hour) || !field(14, 2, dt.minute) || !field(17, 2, dt.second))
        return std::nullopt;
    if (!dateOf(dt).ok() || dt.hour > 23 || dt.minute > 59 || dt.second > 59) return std::nullopt;
    return dt;
}

std::string timeOfDayText(const DateTime& dt)
{
    std::string out;
    appendPadded(out, dt.hour, 1);
    out += ':';
    appendPadded(out, dt.minute, 2);
    out += ':';
    appendPadded(out, dt.second, 2);
    return out;
}

float secondsSinceMidnight(LocalTime t)
{
    const auto sinceMidnight = t - chr::floor<chr::days>(t);
    return static_cast<float>(chr::duration<double>(sinceMidnight).count());
}

}  // namespace runtime
