#include "tools/testing/station_decode.h"

#include "tools/testing/jjy_decode.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

namespace tools {

using timecode::Station;
namespace chr = std::chrono;

namespace {

// A reduction as the layout places it in its second, in ms from the second's mark.
struct Place {
    int startMs;
    int lengthMs;
};

struct Shape {
    char symbol;
    std::vector<Place> reductions;
};

// Every second the station sends. JJY's second starts at full carrier and drops for the rest of
// it after 0.2, 0.5 or 0.8 s; the others start with their reductions.
const std::vector<Shape>& shapes(Station station)
{
    static const std::vector<Shape> jjy = {
        {'M', {{200, 800}}}, {'1', {{500, 500}}}, {'0', {{800, 200}}}};
    static const std::vector<Shape> dcf77 = {{'0', {{0, 100}}}, {'1', {{0, 200}}}, {'-', {}}};
    // MSF: off 0.1 s, then 0.1 s more for bit A, then 0.1 s more for bit B; the minute mark 0.5 s.
    static const std::vector<Shape> msf = {{'M', {{0, 500}}},
                                           {'0', {{0, 100}}},
                                           {'1', {{0, 200}}},
                                           {'2', {{0, 100}, {200, 100}}},
                                           {'3', {{0, 300}}}};
    static const std::vector<Shape> wwvb = {
        {'0', {{0, 200}}}, {'1', {{0, 500}}}, {'M', {{0, 800}}}};
    static const std::vector<Shape> bpc = {
        {'0', {{0, 100}}}, {'1', {{0, 200}}}, {'2', {{0, 300}}}, {'3', {{0, 400}}}, {'-', {}}};
    switch (station) {
    case Station::Jjy40:
    case Station::Jjy60:
        return jjy;
    case Station::Dcf77:
        return dcf77;
    case Station::Msf:
        return msf;
    case Station::Wwvb:
        return wwvb;
    case Station::Bpc:
        break;
    }
    return bpc;
}

bool isJjy(Station station)
{
    return station == Station::Jjy40 || station == Station::Jjy60;
}

// The carrier's level while reduced, in percent of full: JJY and BPC 10, DCF77 15, WWVB 17 dB
// down, MSF off.
double reducedPercent(Station station)
{
    switch (station) {
    case Station::Dcf77:
        return 15;
    case Station::Wwvb:
        return 100 * std::pow(10.0, -17.0 / 20);
    case Station::Msf:
        return 0;
    default:
        break;
    }
    return 10;
}

constexpr double kFitMs = 40;  // how far a reduction may lie from its place and still be read

// The best shape for the reductions (ms from the mark), and how far the worst one lies from it.
std::pair<char, double> classify(Station station, const std::vector<Place>& heard)
{
    char best = '?';
    double bestError = 1e9;
    for (const Shape& shape : shapes(station)) {
        if (shape.reductions.size() != heard.size()) continue;
        double error = 0;
        for (std::size_t k = 0; k < heard.size(); ++k)
            error =
                std::max({error, std::abs(double(heard[k].startMs - shape.reductions[k].startMs)),
                          std::abs(double(heard[k].lengthMs - shape.reductions[k].lengthMs))});
        if (error < bestError) best = shape.symbol, bestError = error;
    }
    if (bestError > kFitMs) return {'?', 0};
    return {best, bestError};
}

// Whether a reduction fits any place of the station's seconds.
bool fitsSomePlace(Station station, const Place& p)
{
    for (const Shape& shape : shapes(station))
        for (const Place& q : shape.reductions)
            if (std::abs(p.startMs - q.startMs) <= kFitMs &&
                std::abs(p.lengthMs - q.lengthMs) <= kFitMs)
                return true;
    return false;
}

bool overlaps(const Stretch& a, const Stretch& b)
{
    return a.start < b.end() && b.start < a.end();
}

// Where minutes start, as second indices, by the station's minute mark.
bool minuteMarkAt(Station station, const std::string& sym, const std::vector<HeardSecond>& seconds,
                  std::size_t i)
{
    const auto at = [&](std::size_t k) { return k < sym.size() ? sym[k] : '\0'; };
    switch (station) {
    case Station::Jjy40:
    case Station::Jjy60:
        return i > 0 && at(i - 1) == 'M' && at(i) == 'M';
    case Station::Dcf77:
        return i > 0 && at(i - 1) == '-' && seconds[i].marked;
    case Station::Msf:
        return at(i) == 'M';
    case Station::Wwvb:
        return i > 0 && at(i - 1) == 'M' && at(i) == 'M' && at(i + 1) != 'M';
    case Station::Bpc:
        return at(i) == '-' && at(i + 1) == '0';
    }
    return false;
}

// The length of the minute starting at i when no mark of the next one says it.
int lengthWithoutNextMark(Station station, const std::string& sym, std::size_t i)
{
    const auto at = [&](std::size_t k) { return k < sym.size() ? sym[k] : '\0'; };
    if (station == Station::Dcf77 && at(i + 59) == '0' && at(i + 60) == '-') return 61;
    if (station == Station::Wwvb && at(i + 59) == 'M' && at(i + 60) == 'M') return 61;
    return 60;
}

// Reads binary-coded decimal from the bits at the given (index, weight) pairs; false in `ok`
// when a decimal digit comes out above 9.
int bcd(const std::vector<int>& bits, std::initializer_list<std::pair<int, int>> places, bool& ok)
{
    int digits[3] = {0, 0, 0};
    for (const auto& [index, weight] : places) {
        if (bits[static_cast<std::size_t>(index)] != 1) continue;
        if (weight >= 100)
            digits[2] += weight / 100;
        else if (weight >= 10)
            digits[1] += weight / 10;
        else
            digits[0] += weight;
    }
    for (int d : digits) ok = ok && d <= 9;
    return digits[0] + 10 * digits[1] + 100 * digits[2];
}

int ones(const std::vector<int>& bits, int first, int last)
{
    int n = 0;
    for (int k = first; k <= last; ++k) n += bits[static_cast<std::size_t>(k)];
    return n;
}

// A calendar date and time of day, or a reason why the fields make none.
std::string setTime(HeardMinute& m, int year, int month, int day, int hour, int minute)
{
    const chr::year_month_day ymd{chr::year{year}, chr::month{static_cast<unsigned>(month)},
                                  chr::day{static_cast<unsigned>(day)}};
    if (month < 1 || month > 12 || day < 1 || !ymd.ok()) return "no such date";
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return "no such time of day";
    m.says = runtime::DateTime{year, month, day, hour, minute, 0};
    m.sent = m.says;
    return {};
}

// 0 Sunday .. 6 Saturday.
int weekdayOf(const runtime::DateTime& t)
{
    const chr::year_month_day ymd{chr::year{t.year}, chr::month{static_cast<unsigned>(t.month)},
                                  chr::day{static_cast<unsigned>(t.day)}};
    return static_cast<int>(chr::weekday{chr::sys_days{ymd}}.c_encoding());
}

// The frames of DCF77 and MSF carry the next minute; the minute being sent starts one minute
// earlier, and an hour earlier or later again where the summer time changes at that moment
// (01:00 UTC: 02:00 CET to 03:00 CEST, 03:00 CEST to 02:00 CET; 01:00 GMT to 02:00 BST, 02:00 BST
// to 01:00 GMT). The change is announced in the frame that carries its first minute.
void minuteBefore(HeardMinute& m, int standardOffset)
{
    m.sent = runtime::addMinutes(m.says, -1);
    const int changeHour = 1 + standardOffset + (m.summerTime ? 1 : 0);
    if (m.summerChangeAnnounced && m.says.minute == 0 && m.says.hour == changeHour)
        m.sent = runtime::addHours(m.sent, m.summerTime ? -1 : 1);
}

HeardMinute dcf77Frame(const std::string& sym)
{
    HeardMinute m;
    const std::size_t n = sym.size();
    if (sym[n - 1] != '-' || (n == 61 && sym[59] != '0')) {
        m.problem = "no minute mark (a second without reduction) at its end";
        return m;
    }
    std::vector<int> bits(59);
    for (std::size_t k = 0; k < 59; ++k) bits[k] = sym[k] == '1' ? 1 : 0;
    if (bits[0] != 0) m.problem = "second 0 is not a zero";
    if (bits[20] != 1) m.problem = "bit 20 (start of time) is not set";
    if (bits[17] == bits[18]) m.problem = "summer-time bits 17 and 18 alike";
    if (ones(bits, 21, 28) % 2 != 0) m.problem = "minute parity";
    if (ones(bits, 29, 35) % 2 != 0) m.problem = "hour parity";
    if (ones(bits, 36, 58) % 2 != 0) m.problem = "date parity";
    if (!m.problem.empty()) return m;
    bool ok = true;
    const int minute =
        bcd(bits, {{21, 1}, {22, 2}, {23, 4}, {24, 8}, {25, 10}, {26, 20}, {27, 40}}, ok);
    const int hour = bcd(bits, {{29, 1}, {30, 2}, {31, 4}, {32, 8}, {33, 10}, {34, 20}}, ok);
    const int day = bcd(bits, {{36, 1}, {37, 2}, {38, 4}, {39, 8}, {40, 10}, {41, 20}}, ok);
    const int weekday = bcd(bits, {{42, 1}, {43, 2}, {44, 4}}, ok);  // 1 Monday .. 7 Sunday
    const int month = bcd(bits, {{45, 1}, {46, 2}, {47, 4}, {48, 8}, {49, 10}}, ok);
    const int year =
        bcd(bits, {{50, 1}, {51, 2}, {52, 4}, {53, 8}, {54, 10}, {55, 20}, {56, 40}, {57, 80}}, ok);
    if (!ok) {
        m.problem = "a digit above 9";
        return m;
    }
    if (const std::string why = setTime(m, 2000 + year, month, day, hour, minute); !why.empty()) {
        m.problem = why;
        return m;
    }
    if (weekday < 1 || weekday > 7 || weekday % 7 != weekdayOf(m.says)) {
        m.problem = "weekday does not match the date";
        return m;
    }
    m.summerTime = bits[17] == 1;
    m.summerChangeAnnounced = bits[16] == 1;
    m.leapSecondAnnounced = bits[19] == 1;
    minuteBefore(m, 1);
    m.valid = true;
    return m;
}

HeardMinute msfFrame(const std::string& sym)
{
    HeardMinute m;
    const std::size_t n = sym.size();
    // Bits A and B of each second; a leap second goes in after second 16, so that from 17 on
    // the bits are counted back from the end of the minute.
    std::vector<int> a(60, 0), b(60, 0);
    for (std::size_t s = 1; s < n; ++s) {
        const std::size_t bit = s <= 16 ? s : s - (n - 60);
        if (s > 16 && s <= 16 + (n - 60)) {
            if (sym[s] != '0') {
                m.problem = "the leap second is not a zero";
                return m;
            }
            continue;
        }
        if (sym[s] == 'M') {
            m.problem = "minute mark in second " + std::to_string(s);
            return m;
        }
        a[bit] = sym[s] == '1' || sym[s] == '3' ? 1 : 0;
        b[bit] = sym[s] == '2' || sym[s] == '3' ? 1 : 0;
    }
    if (sym[0] != 'M') {
        m.problem = "no minute mark in second 0";
        return m;
    }
    const int sync[8] = {0, 1, 1, 1, 1, 1, 1, 0};
    for (int k = 0; k < 8; ++k)
        if (a[static_cast<std::size_t>(52 + k)] != sync[k]) {
            m.problem = "bits A 52-59 are not 01111110";
            return m;
        }
    if ((ones(a, 17, 24) + b[54]) % 2 != 1) m.problem = "year parity";
    if ((ones(a, 25, 35) + b[55]) % 2 != 1) m.problem = "date parity";
    if ((ones(a, 36, 38) + b[56]) % 2 != 1) m.problem = "weekday parity";
    if ((ones(a, 39, 51) + b[57]) % 2 != 1) m.problem = "time parity";
    if (!m.problem.empty()) return m;
    bool ok = true;
    const int year =
        bcd(a, {{17, 80}, {18, 40}, {19, 20}, {20, 10}, {21, 8}, {22, 4}, {23, 2}, {24, 1}}, ok);
    const int month = bcd(a, {{25, 10}, {26, 8}, {27, 4}, {28, 2}, {29, 1}}, ok);
    const int day = bcd(a, {{30, 20}, {31, 10}, {32, 8}, {33, 4}, {34, 2}, {35, 1}}, ok);
    const int weekday = bcd(a, {{36, 4}, {37, 2}, {38, 1}}, ok);  // 0 Sunday
    const int hour = bcd(a, {{39, 20}, {40, 10}, {41, 8}, {42, 4}, {43, 2}, {44, 1}}, ok);
    const int minute =
        bcd(a, {{45, 40}, {46, 20}, {47, 10}, {48, 8}, {49, 4}, {50, 2}, {51, 1}}, ok);
    if (!ok) {
        m.problem = "a digit above 9";
        return m;
    }
    if (const std::string why = setTime(m, 2000 + year, month, day, hour, minute); !why.empty()) {
        m.problem = why;
        return m;
    }
    if (weekday != weekdayOf(m.says)) {
        m.problem = "weekday does not match the date";
        return m;
    }
    m.summerTime = b[58] == 1;
    m.summerChangeAnnounced = b[53] == 1;
    minuteBefore(m, 0);
    m.valid = true;
    return m;
}

HeardMinute wwvbFrame(const std::string& sym)
{
    HeardMinute m;
    const std::size_t n = sym.size();
    for (std::size_t s = 0; s < n; ++s) {
        const bool markerPlace = s == 0 || s % 10 == 9 || s == 60;
        if ((sym[s] == 'M') != markerPlace) {
            m.problem = "marker out of place at second " + std::to_string(s);
            return m;
        }
    }
    std::vector<int> bits(60);
    for (std::size_t k = 0; k < 60; ++k) bits[k] = sym[k] == '1' ? 1 : 0;
    bool ok = true;
    const int minute = bcd(bits, {{1, 40}, {2, 20}, {3, 10}, {5, 8}, {6, 4}, {7, 2}, {8, 1}}, ok);
    const int hour = bcd(bits, {{12, 20}, {13, 10}, {15, 8}, {16, 4}, {17, 2}, {18, 1}}, ok);
    const int dayOfYear = bcd(bits,
                              {{22, 200},
                               {23, 100},
                               {25, 80},
                               {26, 40},
                               {27, 20},
                               {28, 10},
                               {30, 8},
                               {31, 4},
                               {32, 2},
                               {33, 1}},
                              ok);
    const int year =
        2000 +
        bcd(bits, {{45, 80}, {46, 40}, {47, 20}, {48, 10}, {50, 8}, {51, 4}, {52, 2}, {53, 1}}, ok);
    if (!ok) {
        m.problem = "a digit above 9";
        return m;
    }
    const bool leapYear = chr::year{year}.is_leap();
    if (bits[55] != (leapYear ? 1 : 0)) {
        m.problem = "leap-year bit does not match the year";
        return m;
    }
    if (dayOfYear < 1 || dayOfYear > (leapYear ? 366 : 365)) {
        m.problem = "day of the year out of range";
        return m;
    }
    const chr::year_month_day ymd{chr::sys_days{chr::year{year} / chr::January / 1} +
                                  chr::days{dayOfYear - 1}};
    if (const std::string why = setTime(m, year, static_cast<int>(unsigned(ymd.month())),
                                        static_cast<int>(unsigned(ymd.day())), hour, minute);
        !why.empty()) {
        m.problem = why;
        return m;
    }
    m.leapSecondAnnounced = bits[56] == 1;
    m.summerTime = bits[58] == 1;
    m.summerChangeAnnounced = bits[57] != bits[58];
    m.valid = true;
    return m;
}

// One 20-second BPC frame from its 19 digits (seconds 1..19); the frame number in `frame`.
HeardMinute bpcFrame(const std::string& digits, int& frame)
{
    HeardMinute m;
    std::vector<int> d(20, 0);
    for (std::size_t k = 1; k < 20; ++k) d[k] = digits[k - 1] - '0';
    const auto bitsOf = [&](int first, int last) {
        int n = 0;
        for (int k = first; k <= last; ++k)
            n += (d[static_cast<std::size_t>(k)] & 1) + (d[static_cast<std::size_t>(k)] >> 1);
        return n;
    };
    // Even parities, each in the low bit of the digit after its fields.
    if ((bitsOf(1, 9) + (d[10] & 1)) % 2 != 0) {
        m.problem = "time parity";
        return m;
    }
    if ((bitsOf(11, 18) + (d[19] & 1)) % 2 != 0) {
        m.problem = "date parity";
        return m;
    }
    frame = d[1];
    const int hour = d[3] * 4 + d[4] + 12 * (d[10] >> 1);
    const int minute = d[5] * 16 + d[6] * 4 + d[7];
    const int weekday = d[8] * 4 + d[9];  // 1 Monday .. 7 Sunday
    const int day = d[11] * 16 + d[12] * 4 + d[13];
    const int month = d[14] * 4 + d[15];
    const int year = 2000 + d[16] * 16 + d[17] * 4 + d[18] + 64 * (d[19] >> 1);
    if (frame > 2 || d[3] * 4 + d[4] > 11) {
        m.problem = frame > 2 ? "frame number above 2" : "hour above 11";
        return m;
    }
    if (const std::string why = setTime(m, year, month, day, hour, minute); !why.empty()) {
        m.problem = why;
        return m;
    }
    if (weekday < 1 || weekday > 7 || weekday % 7 != weekdayOf(m.says)) {
        m.problem = "weekday does not match the date";
        return m;
    }
    m.valid = true;
    return m;
}

HeardMinute bpcMinute(const std::string& sym)
{
    HeardMinute m;
    for (int f = 0; f < 3; ++f) {
        const std::size_t start = static_cast<std::size_t>(20 * f);
        if (sym[start] != '-') {
            m.problem = "no frame start at second " + std::to_string(start);
            return m;
        }
        int number = -1;
        HeardMinute frame = bpcFrame(sym.substr(start + 1, 19), number);
        if (!frame.valid) {
            m.problem = "frame " + std::to_string(f) + ": " + frame.problem;
            return m;
        }
        if (number != f) {
            m.problem = "frame " + std::to_string(f) + " numbered " + std::to_string(number);
            return m;
        }
        if (f > 0 && frame.says != m.says) {
            m.problem = "frames of the minute disagree";
            return m;
        }
        m.says = m.sent = frame.says;
    }
    m.valid = true;
    return m;
}

HeardMinute jjyFrame(const std::string& sym)
{
    HeardMinute m;
    std::vector<int> symbols;
    for (char c : sym) symbols.push_back(c == 'M' ? 0 : c == '1' ? 1 : c == '0' ? 2 : -1);
    const Minute frame = decodeFrame(symbols);
    if (!frame.valid) {
        m.problem = frame.problem;
        return m;
    }
    m.says = m.sent =
        runtime::DateTime{frame.year, frame.month, frame.day, frame.hour, frame.minute, 0};
    m.valid = true;
    return m;
}

}  // namespace

std::string HeardMinute::text() const
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d", sent.year, sent.month,
                  sent.day, sent.hour, sent.minute);
    return buffer;
}

HeardMinute decodeStationFrame(Station station, const std::string& symbols)
{
    HeardMinute m;
    m.notation = symbols;
    m.length = static_cast<int>(symbols.size());
    const bool leapAllowed =
        station == Station::Dcf77 || station == Station::Msf || station == Station::Wwvb;
    if (symbols.size() != 60 && !(leapAllowed && symbols.size() == 61)) {
        m.problem = "a minute of " + std::to_string(symbols.size()) + " seconds";
        return m;
    }
    if (const auto unread = symbols.find('?'); unread != std::string::npos) {
        m.problem = "second " + std::to_string(unread) + " fits none of the station's seconds";
        return m;
    }
    switch (station) {
    case Station::Jjy40:
    case Station::Jjy60:
        m = jjyFrame(symbols);
        break;
    case Station::Dcf77:
        m = dcf77Frame(symbols);
        break;
    case Station::Msf:
        m = msfFrame(symbols);
        break;
    case Station::Wwvb:
        m = wwvbFrame(symbols);
        break;
    case Station::Bpc:
        m = bpcMinute(symbols);
        break;
    }
    m.notation = symbols;
    m.length = static_cast<int>(symbols.size());
    return m;
}

StationDecode decodeStation(Station station, const std::vector<float>& samples, unsigned rate,
                            const StationDecodeOptions& options)
{
    StationDecode out;
    const std::size_t click = rate / 50;  // 20 ms: shorter bursts of full carrier are clicks
    std::vector<Stretch> highs;
    for (const Stretch& s : highStretches(samples, rate))
        if (s.length >= click || s.cutAtStart || s.cutAtEnd) highs.push_back(s);
    if (highs.empty()) return out;

    // The stretches below full carrier between them. The one before the first full carrier is
    // cut by the start of the recording, unless a minute is known to start there, or the
    // recording is silent until the transmitter starts: then it starts at the carrier.
    const bool startIsEdge = options.minuteStartsAt && *options.minuteStartsAt == 0;
    std::vector<Stretch> lows;
    std::optional<std::size_t> startAfterSilence;  // the transmitter's first mark
    if (!highs.front().cutAtStart && highs.front().start > 0) {
        const std::size_t first = highs.front().start;
        Stretch leading{0, first, !startIsEdge, false};
        const auto quiet =
            quietRuns(samples, 0, first, peakLevel(samples) * 0.03f, rate / 2000, {});
        if (!options.minuteStartsAt && quiet.size() == 1 && quiet.front().start == 0 &&
            quiet.front().length >= rate / 10) {
            const std::size_t carrier = quiet.front().end() - 1;  // its rising zero crossing
            if (isJjy(station)) {
                startAfterSilence = first;
            } else if (station != Station::Msf && first - carrier >= rate / 20) {
                // MSF starts with its carrier off, which no silence tells apart.
                startAfterSilence = carrier;
                leading = {carrier, first - carrier};
            }
        }
        lows.push_back(leading);
    }
    for (std::size_t k = 1; k < highs.size(); ++k)
        lows.push_back({highs[k - 1].end(), highs[k].start - highs[k - 1].end()});
    if (!highs.back().cutAtEnd && highs.back().end() < samples.size())
        lows.push_back({highs.back().end(), samples.size() - highs.back().end(), false, true});

    // The marks: where each second may start.
    std::vector<std::size_t> marks;
    if (isJjy(station)) {
        for (const Stretch& h : highs)
            if (!h.cutAtStart || startIsEdge) marks.push_back(h.start);
    } else {
        for (const Stretch& l : lows)
            if (!l.cutAtStart) marks.push_back(l.start);
    }

    // Seconds on a grid of whole seconds from mark to mark; a mark more than 0.1 s off it is a
    // reduction inside a second, and a second without a mark is filled in.
    const double tolerance = 0.1 * rate;
    auto& seconds = out.seconds;
    if (options.minuteStartsAt) seconds.push_back({*options.minuteStartsAt, false, {}, '?', 0});
    const auto fill = [&](std::size_t count) {
        for (std::size_t j = 0; j < count; ++j)
            seconds.push_back({seconds.back().edge + rate, false, {}, '?', 0});
    };
    for (const std::size_t mark : marks) {
        if (seconds.empty()) {
            seconds.push_back({mark, true, {}, '?', 0});
            continue;
        }
        const double d = (double(mark) - double(seconds.back().edge)) / rate;
        if (d * rate < -tolerance) continue;  // before the counted seconds
        const double k = std::round(d);
        if (std::abs(d - k) * rate <= tolerance) {
            if (k == 0) {
                if (!seconds.back().marked)
                    seconds.back().edge = mark, seconds.back().marked = true;
                continue;
            }
            fill(static_cast<std::size_t>(k) - 1);
            seconds.push_back({mark, true, {}, '?', 0});
        } else if (d > 1.5) {
            // Far off the grid after a long silence: the seconds start again from here.
            fill(static_cast<std::size_t>(k) - 1);
            seconds.push_back({mark, true, {}, '?', 0});
        }
    }
    if (seconds.empty()) return out;
    // Seconds after the last mark that the carrier still covers (DCF77's last second).
    while (seconds.back().edge + 2 * std::size_t{rate} <=
           highs.back().end() + std::size_t(tolerance))
        fill(1);

    // Each reduction to the second it starts in.
    std::vector<Stretch> misplaced;
    for (const Stretch& l : lows) {
        if (l.cutAtStart) continue;
        auto it =
            std::upper_bound(seconds.begin(), seconds.end(), l.start + rate / 500,
                             [](std::size_t at, const HeardSecond& s) { return at < s.edge; });
        if (it == seconds.begin()) continue;
        --it;
        if (l.start >= it->edge + rate) {
            misplaced.push_back(l);  // in no counted second
            continue;
        }
        it->reductions.push_back(l);
    }

    // Each second's symbol; a reduction that fits no place in the station's seconds is a
    // dropout, not part of the signal, and the second is read without it.
    const auto ms = [rate](double count) { return std::lround(count * 1000 / rate); };
    std::string symbols;
    for (HeardSecond& s : seconds) {
        std::vector<Place> kept;
        std::vector<const Stretch*> keptStretches;
        bool dropped = false, cut = false;
        for (Stretch& r : s.reductions) {
            // JJY's reduction runs to the end of its second: one that the end of the recording
            // cuts after that is whole.
            if (r.cutAtEnd && isJjy(station) && r.end() >= s.edge + rate) {
                r.length = s.edge + rate - r.start;
                r.cutAtEnd = false;
            }
            const Place p{static_cast<int>(ms(double(r.start) - double(s.edge))),
                          static_cast<int>(ms(double(r.length)))};
            if (r.cutAtEnd) {
                cut = true;
                continue;
            }
            if (!fitsSomePlace(station, p)) {
                misplaced.push_back(r);
                dropped = true;
                continue;
            }
            kept.push_back(p);
            keptStretches.push_back(&r);
        }
        const auto [symbol, error] = classify(station, kept);
        s.symbol = cut || (dropped && kept.empty()) ? '?' : symbol;
        // Reductions that each fit a place but together make no second.
        if (symbol == '?' && !cut)
            for (const Stretch* r : keptStretches) misplaced.push_back(*r);
        s.widthErrorMs = error;
        symbols += s.symbol;
    }

    // Holes: the misplaced reductions, and where the station keeps a reduced carrier, any
    // stretch that falls below it (below 70 % of it: a tone at that level never stays there for
    // half a millisecond; for JJY below 3 % of full, as the JJY decoder counts).
    const auto isUnheard = [&](const Stretch& h) {
        for (const Stretch& u : options.unheard)
            if (overlaps(h, u)) return true;
        return false;
    };
    for (const Stretch& h : misplaced)
        if (!isUnheard(h)) out.holes.push_back({h.start, h.length});
    if (station != Station::Msf) {
        const std::size_t from = highs.front().cutAtStart ? 0 : highs.front().start;
        const double floor = isJjy(station) ? 0.03 : 0.7 * reducedPercent(station) / 100;
        for (const Stretch& q : quietRuns(samples, from, highs.back().end(),
                                          static_cast<float>(peakLevel(samples) * floor),
                                          rate / 2000, options.unheard)) {
            bool known = false;
            for (const Stretch& h : out.holes) known = known || overlaps(h, q);
            if (!known) out.holes.push_back(q);
        }
    }
    std::sort(out.holes.begin(), out.holes.end(),
              [](const Stretch& a, const Stretch& b) { return a.start < b.start; });

    // Minutes from each minute mark, whole in the recording.
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < seconds.size(); ++i)
        if ((options.minuteStartsAt && i == 0) || minuteMarkAt(station, symbols, seconds, i))
            starts.push_back(i);
    // A transmitter that started after the silence may have started at a minute: that minute
    // counts when it reads as one (one that started elsewhere would read as nothing).
    const bool tryFirst = startAfterSilence && seconds.front().marked &&
                          seconds.front().edge == *startAfterSilence &&
                          (starts.empty() || starts.front() != 0);
    if (tryFirst) starts.insert(starts.begin(), 0);
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t i = starts[k];
        const std::size_t toNext = k + 1 < starts.size() ? starts[k + 1] - i : 0;
        const int length = toNext == 60 || toNext == 61
                               ? static_cast<int>(toNext)
                               : lengthWithoutNextMark(station, symbols, i);
        if (i + static_cast<std::size_t>(length) > seconds.size()) break;
        HeardMinute m =
            decodeStationFrame(station, symbols.substr(i, static_cast<std::size_t>(length)));
        m.firstSecond = i;
        if (tryFirst && k == 0 && !m.valid) continue;
        out.minutes.push_back(m);
    }
    return out;
}

}  // namespace tools
