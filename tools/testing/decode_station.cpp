#include "tools/testing/decode_station.h"

#include "tools/testing/recording_log.h"
#include "tools/testing/station_decode.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>

namespace tools {

namespace {

using timecode::Station;

std::string minuteText(const runtime::DateTime& t)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute);
    return buffer;
}

runtime::DateTime utcMinute(long long seconds)
{
    const auto whole = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&whole, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, 0};
}

// What the frame says besides the time: the summer-time and leap-second bits, in the station's
// own terms.
std::string flags(Station station, const HeardMinute& m)
{
    std::string text;
    switch (station) {
    case Station::Dcf77:
        text = m.summerTime ? "CEST" : "CET";
        break;
    case Station::Msf:
        text = m.summerTime ? "BST" : "GMT";
        break;
    case Station::Wwvb:
        text = m.summerTime ? "DST" : "standard time";
        break;
    default:
        return "";
    }
    if (m.summerChangeAnnounced) text += ", summer-time change announced";
    if (m.leapSecondAnnounced) text += ", leap second announced";
    return ", " + text;
}

}  // namespace

int checkStation(const StationCheck& check, const std::vector<float>& mono, unsigned rate,
                 const std::string& logPath)
{
    const bool rendered = logPath.empty();
    std::optional<Fit> fit;
    Timeline timeline;
    double baseSecond = 0;
    StationDecodeOptions options;
    if (rendered) {
        options.minuteStartsAt = 0;
    } else {
        std::ifstream probe(logPath);
        double firstSecond = 0;
        probe >> firstSecond;
        baseSecond = std::floor(firstSecond);
        timeline = readTimeline(logPath, baseSecond);
        fit = fitLine(timeline.points, timeline.withLatency);
        if (!fit) {
            std::fprintf(stderr, "pendrel-decode: %s holds too few fragments\n", logPath.c_str());
            return 1;
        }
        options.unheard = timeline.unheard;
    }
    const double secondsPerSample = fit ? fit->b : 1.0 / rate;
    // A rendered file's own clock starts at 0; a recording's is the wall clock (UTC).
    const auto timeOf = [&](std::size_t sample) {
        if (!fit) return static_cast<double>(sample) / rate;
        return baseSecond + localTime(timeline, *fit, static_cast<double>(sample), 3.0 * rate);
    };
    const auto where = [&](std::size_t sample) {
        if (rendered) {
            char text[32];
            std::snprintf(text, sizeof text, "%.3f s", timeOf(sample));
            return std::string(text);
        }
        return utcText(timeOf(sample));
    };
    std::printf("recording %.1f s at %u Hz\n", static_cast<double>(mono.size()) / rate, rate);

    const StationDecode heard = decodeStation(check.station, mono, rate, options);

    // Each second's mark: its place against the clock, the reductions against the layout.
    std::vector<std::string> faults;
    int edgeFaults = 0, widthFaults = 0, missing = 0;
    const double widthLimit = check.maxWidthMs.value_or(rendered ? 10.0 : -1.0);
    std::vector<double> offsets, absOffsets, widthErrors;
    for (const HeardSecond& s : heard.seconds) {
        if (!s.marked) {
            // Only DCF77's last second and BPC's frame starts go without a mark of their own.
            if (s.symbol != '-' && missing++ < 10 && check.failOnMissing)
                faults.push_back("no mark of the second at " + where(s.edge));
            continue;
        }
        const double t = timeOf(s.edge);
        const double offsetMs = (t - std::round(t)) * 1000;
        offsets.push_back(offsetMs);
        absOffsets.push_back(std::abs(offsetMs));
        widthErrors.push_back(s.widthErrorMs);
        if (check.maxEdgeMs && std::abs(offsetMs) > *check.maxEdgeMs && edgeFaults++ < 10) {
            char text[64];
            std::snprintf(text, sizeof text, "edge %+.3f ms off its second at ", offsetMs);
            faults.push_back(text + where(s.edge));
        }
        if (widthLimit >= 0 && s.widthErrorMs > widthLimit && widthFaults++ < 10) {
            char text[64];
            std::snprintf(text, sizeof text, "a reduction %.1f ms off the layout at ",
                          s.widthErrorMs);
            faults.push_back(text + where(s.edge));
        }
        if (check.edges)
            std::printf("edge %s offset %+.3f ms symbol %c\n", where(s.edge).c_str(), offsetMs,
                        s.symbol);
    }
    std::printf("seconds %zu marked %zu without their mark %d\n", heard.seconds.size(),
                offsets.size(), missing);
    if (!offsets.empty()) {
        if (!rendered)
            std::printf("edge offset ms: median %+.3f, median |.| %.3f, p99 |.| %.3f, max |.| "
                        "%.3f\n",
                        percentile(offsets, 0.5), percentile(absOffsets, 0.5),
                        percentile(absOffsets, 0.99), percentile(absOffsets, 1.0));
        std::printf("reduction off the layout ms: median %.3f, max %.3f\n",
                    percentile(widthErrors, 0.5), percentile(widthErrors, 1.0));
    }

    double longestMs = 0;
    for (const Stretch& h : heard.holes) {
        const double ms = static_cast<double>(h.length) * secondsPerSample * 1000;
        longestMs = std::max(longestMs, ms);
        std::printf("hole at %s, %.2f ms\n", where(h.start).c_str(), ms);
    }
    std::printf("holes in the signal %zu longest %.2f ms\n", heard.holes.size(), longestMs);

    // The minutes: each in turn against the one expected, a minute after the one before (for
    // DCF77 and MSF the time the frame before carried, which moves with the summer time).
    int decoded = 0;
    bool allRight = true;
    std::optional<runtime::DateTime> expected = check.expectFirst;
    const HeardMinute* previous = nullptr;
    for (const HeardMinute& m : heard.minutes) {
        const std::size_t edge = heard.seconds[m.firstSecond].edge;
        if (previous && expected) {
            const std::size_t gap = m.firstSecond - previous->firstSecond;
            const bool carriesNext =
                check.station == Station::Dcf77 || check.station == Station::Msf;
            if (gap <= 61 && carriesNext && previous->valid)
                expected = previous->says;
            else
                expected = runtime::addMinutes(
                    *expected, std::max<long>(1, std::lround(static_cast<double>(gap) / 60.0)));
        }
        previous = &m;
        if (!m.valid) {
            std::printf("minute at %s %s not decoded (%s)\n", where(edge).c_str(),
                        m.notation.c_str(), m.problem.c_str());
            allRight = false;
            continue;
        }
        ++decoded;
        std::string verdict;
        std::optional<runtime::DateTime> want = expected;
        if (check.shift && fit) want = utcMinute(std::llround(timeOf(edge)) + *check.shift);
        if (want) {
            const bool right = m.sent == *want;
            allRight = allRight && right;
            verdict = right ? " ok" : " WRONG, expected " + minuteText(*want);
        }
        std::printf("minute %s %s valid (frame %s%s) at %s%s\n", m.text().c_str(),
                    m.notation.c_str(), minuteText(m.says).c_str(), flags(check.station, m).c_str(),
                    where(edge).c_str(), verdict.c_str());
    }
    std::printf("minutes decoded %d\n", decoded);
    if (check.failOnHoles && !heard.holes.empty())
        std::printf("FAIL: %zu holes inside the signal\n", heard.holes.size());
    for (const auto& f : faults) std::printf("FAIL: %s\n", f.c_str());
    if (edgeFaults > 10 || widthFaults > 10 || (check.failOnMissing && missing > 10))
        std::printf("FAIL: in all %d edges, %d reductions and %d marks out of bounds\n", edgeFaults,
                    widthFaults, missing);
    if (decoded < check.minMinutes)
        std::printf("FAIL: %d minutes decoded, fewer than %d\n", decoded, check.minMinutes);
    return decoded >= check.minMinutes && allRight && faults.empty() &&
                   !(check.failOnHoles && !heard.holes.empty())
               ? 0
               : 1;
}

}  // namespace tools
