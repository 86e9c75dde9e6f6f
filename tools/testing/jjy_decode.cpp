#include "tools/testing/jjy_decode.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

namespace tools {

std::vector<Pulse> findPulses(const std::vector<float>& samples, unsigned rate)
{
    std::vector<Pulse> pulses;
    const std::size_t shortest = rate / 20;
    for (const Stretch& s : highStretches(samples, rate))
        if (!s.cutAtStart && !s.cutAtEnd && s.length >= shortest)
            pulses.push_back({s.start, s.length});
    return pulses;
}

std::vector<Hole> findHoles(const std::vector<float>& samples, unsigned rate,
                            const std::vector<Pulse>& pulses, const std::vector<Hole>& unheard)
{
    if (pulses.empty()) return {};
    const std::size_t end = std::min(samples.size(), pulses.back().start + pulses.back().width);
    return quietRuns(samples, pulses.front().start, end, peakLevel(samples) * 0.03f,
                     rate / 2000 /* 0.5 ms */, unheard);
}

double toneLevelDb(const std::vector<float>& samples, unsigned rate,
                   const std::vector<Pulse>& pulses, double frequency)
{
    double power = 0;
    std::size_t fitted = 0;
    // The sine and cosine run on by rotation, one step a sample, renewed at each pulse.
    const double step = 2 * M_PI * frequency / rate;
    const double cs = std::cos(step), sn = std::sin(step);
    for (const auto& p : pulses) {
        const std::size_t end = std::min(samples.size(), p.start + p.width);
        if (end <= p.start + 16) continue;
        double si = 0, co = 1;
        double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
        for (std::size_t n = p.start; n < end; ++n) {
            const double x = samples[n];
            ss += si * si, cc += co * co, sc += si * co, xs += x * si, xc += x * co;
            const double s2 = si * cs + co * sn;
            co = co * cs - si * sn;
            si = s2;
        }
        const double det = ss * cc - sc * sc;
        if (det <= 0) continue;
        const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
        power += a * a + b * b;
        ++fitted;
    }
    if (fitted == 0) return -std::numeric_limits<double>::infinity();
    return 10 * std::log10(power / static_cast<double>(fitted));
}

int symbolOf(double widthMs)
{
    if (widthMs < 350) return 0;
    if (widthMs < 650) return 1;
    return 2;
}

std::string Minute::text() const
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d", year, month, day, hour,
                  minute);
    return buffer;
}

namespace {

// Sum of weight * bit over the given seconds; -1 if one of them is not a binary digit.
int field(const std::vector<int>& symbols, std::initializer_list<std::pair<int, int>> bits,
          int* ones)
{
    int value = 0;
    for (const auto& [second, weight] : bits) {
        const int s = symbols[static_cast<std::size_t>(second)];
        if (s != 1 && s != 2) return -1;
        if (s == 1) {
            value += weight;
            ++*ones;
        }
    }
    return value;
}

}  // namespace

Minute decodeFrame(const std::vector<int>& symbols)
{
    Minute m;
    if (symbols.size() != 60) {
        m.problem = "not sixty seconds";
        return m;
    }
    for (int s = 0; s < 60; ++s) {
        const bool markerPlace = s == 0 || s % 10 == 9;
        if ((symbols[static_cast<std::size_t>(s)] == 0) != markerPlace) {
            m.problem = "marker out of place at second " + std::to_string(s);
            return m;
        }
    }
    int minuteOnes = 0, hourOnes = 0, unused = 0;
    m.minute =
        field(symbols, {{1, 40}, {2, 20}, {3, 10}, {5, 8}, {6, 4}, {7, 2}, {8, 1}}, &minuteOnes);
    m.hour = field(symbols, {{12, 20}, {13, 10}, {15, 8}, {16, 4}, {17, 2}, {18, 1}}, &hourOnes);
    m.dayOfYear = field(symbols,
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
                        &unused);
    const int yy =
        field(symbols, {{41, 80}, {42, 40}, {43, 20}, {44, 10}, {45, 8}, {46, 4}, {47, 2}, {48, 1}},
              &unused);
    m.weekday = field(symbols, {{50, 4}, {51, 2}, {52, 1}}, &unused);
    const int pa1 = symbols[36] == 1 ? 1 : 0;
    const int pa2 = symbols[37] == 1 ? 1 : 0;

    if (m.minute < 0 || m.minute > 59 || m.hour < 0 || m.hour > 23 || yy < 0 || yy > 99 ||
        m.weekday < 0 || m.weekday > 6 || m.dayOfYear < 1) {
        m.problem = "field out of range";
        return m;
    }
    if ((hourOnes + pa1) % 2 != 0 || (minuteOnes + pa2) % 2 != 0) {
        m.problem = "parity";
        return m;
    }
    using namespace std::chrono;
    m.year = 2000 + yy;
    const year y{m.year};
    if (m.dayOfYear > (y.is_leap() ? 366 : 365)) {
        m.problem = "day of the year out of range";
        return m;
    }
    const sys_days date = sys_days(y / January / 1) + days(m.dayOfYear - 1);
    const year_month_day ymd{date};
    m.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
    m.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
    if (weekday(date).c_encoding() != static_cast<unsigned>(m.weekday)) {
        m.problem = "weekday does not match the date";
        return m;
    }
    m.valid = true;
    return m;
}

std::vector<Minute> decodeMinutes(const std::vector<Pulse>& pulses, double secondsPerSample)
{
    std::vector<Minute> minutes;
    auto ms = [&](std::size_t samples) {
        return static_cast<double>(samples) * secondsPerSample * 1000;
    };
    auto since = [&](std::size_t from, std::size_t to) {
        return (static_cast<double>(pulses[to].start) - static_cast<double>(pulses[from].start)) *
               secondsPerSample;
    };
    for (std::size_t i = 1; i < pulses.size(); ++i) {
        if (symbolOf(ms(pulses[i - 1].width)) != 0 || symbolOf(ms(pulses[i].width)) != 0 ||
            std::abs(since(i - 1, i) - 1) > 0.1)
            continue;
        // A minute cut off by the end of the recording is not a fault of the signal.
        if (since(i, pulses.size() - 1) < 58.9) break;
        std::vector<int> symbols(60, -1);
        bool steady = true;
        for (std::size_t k = i; k < pulses.size() && since(i, k) < 59.5; ++k) {
            const double t = since(i, k);
            const auto second = static_cast<std::size_t>(std::lround(t));
            if (std::abs(t - static_cast<double>(second)) > 0.1 || symbols[second] != -1) {
                steady = false;
                break;
            }
            symbols[second] = symbolOf(ms(pulses[k].width));
        }
        steady = steady && std::find(symbols.begin(), symbols.end(), -1) == symbols.end();
        Minute m = steady ? decodeFrame(symbols) : Minute{};
        if (!steady) m.problem = "pulses missing or out of step";
        m.firstPulse = i;
        minutes.push_back(m);
    }
    return minutes;
}

}  // namespace tools
