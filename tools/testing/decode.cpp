// Decodes a recording made by pendrel-record: the pulses, their timing against the wall clock
// and the JJY minutes they carry.
//   pendrel-decode [--expect-shift SECONDS] [--min-minutes N] [--edges] [--fail-on-holes]
//                  [--fail-on-missing] [--max-edge-ms MS] [--max-width-ms MS] [--first-at-minute]
//                  [--reported FILE]
//                  [--tone-db HZ,HZ... [--tone-gap DB]] REC.wav REC.log
// The recording may be at any rate up to 192 kHz; its own rate is read from the file.
// --tone-db: the level of each tone over the pulses, in dB of full scale; with --tone-gap the
// first tone must stand at least DB above each of the others (the carrier of a direct set over
// a third of it, which a resampler or a distorting output would put there).
// --expect-shift: each decoded minute must equal the wall-clock (UTC) minute at which its
// second-0 marker was heard, moved by SECONDS. Exit status 0 when at least N minutes (default
// 1) decoded and every decoded minute met the expectation, and with --fail-on-holes no hole
// was found inside the signal. Every hole (a dropout of the pulse or of the low level between
// the first pulse and the last) is counted and listed whether or not it fails the run; the
// stretches the recorder itself lost (its "hole FIRST COUNT" log lines) are not the signal's.
// Exit status 1 also when --tone-gap is not met.
// Every pulse from the first one heard to the last whole one can be judged too, each failing
// pulse listed: --fail-on-missing, no second without its pulse and none with two;
// --max-edge-ms, no rising edge further than MS from its second; --max-width-ms, no width
// further than MS from the nearest of 200, 500 and 800 ms. --first-at-minute: the first pulse
// heard must be the marker of a second 0 (of the clock moved by --expect-shift), as a
// transmitter's first pulse is when the recording began before it.
// --reported FILE: stretches the transmitter reported the system kept it from sending, one a line,
// START LENGTH_MS (seconds of the real UTC clock): a hole, a pulse or a minute that falls in one
// is marked as reported, so that a failure says whether the transmitter knew of it. It fails all
// the same: what is heard is judged, not what the transmitter says of it.
// "minutes heard" counts the whole minutes in the signal (the marker before their second 0
// and their last second heard), the ones a decoder could read: a long run is summed up as
// minutes decoded out of minutes heard.
//
// Another station's signal:
//   pendrel-decode --station jjy40|jjy60|dcf77|msf|wwvb|bpc [--expect-first "YYYY-MM-DD hh:mm"]
//                  [--min-minutes N] [--fail-on-holes] [--edges] [--max-width-ms MS] FILE.wav
//   pendrel-decode --station NAME [--expect-shift SECONDS] [--min-minutes N] [--edges]
//                  [--fail-on-holes] [--fail-on-missing] [--max-edge-ms MS] [--max-width-ms MS]
//                  REC.wav REC.log
// Without a log, FILE.wav is a rendered file that starts at a minute boundary at sample 0: one
// line a minute, the minute sent in the station's time, one character a second and whether the
// frame is valid; --expect-first is the first minute sent, each next one a minute later; every
// reduction must lie within 10 ms (or --max-width-ms) of its place and length in the layout.
// With a log, the checks above apply, the edges being the starts of the seconds as the station
// marks them (the falling edge of the first reduction; for JJY the rising edge), and
// --expect-shift compares the minute sent with the UTC minute its second 0 was heard in.

#include "timecode/station_names.h"
#include "tools/station_tone.h"
#include "tools/testing/decode_station.h"
#include "tools/testing/jjy_decode.h"
#include "tools/testing/recording_log.h"

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using tools::Fit;
using tools::fitLine;
using tools::localTime;
using tools::readTimeline;
using tools::percentile;
using tools::Timeline;
using tools::utcText;

}  // namespace

int main(int argc, char** argv)
{
    std::optional<long long> shift;
    int minMinutes = 1;
    bool edges = false;
    bool failOnHoles = false;
    bool failOnMissing = false;
    bool firstAtMinute = false;
    std::optional<double> maxEdgeMs, maxWidthMs;
    std::vector<std::pair<double, double>> reported;  // from, to: UTC seconds
    std::vector<double> tones;
    std::optional<double> toneGap;
    std::string wavPath, logPath;
    std::optional<tools::StationCheck> station;
    std::optional<runtime::DateTime> expectFirst;
    bool jjyOnly = false;  // an option the station decoder does not take
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--station" && i + 1 < argc) {
            const auto named = timecode::stationNamed(argv[++i]);
            if (!named) {
                std::fprintf(stderr,
                             "pendrel-decode: --station is jjy40, jjy60, dcf77, msf, wwvb or bpc, "
                             "not \"%s\"\n",
                             argv[i]);
                return 2;
            }
            station = tools::StationCheck{};
            station->station = *named;
        } else if (arg == "--expect-first" && i + 1 < argc) {
            int y = 0, mo = 0, d = 0, h = 0, mi = 0;
            char end = 0;
            const std::string text = argv[++i];
            // The date is checked as a date: no 30 February.
            if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d%c", &y, &mo, &d, &h, &mi, &end) !=
                    5 ||
                text.size() != 16 ||
                !runtime::parseDateTime(text.substr(0, 4) + "/" + text.substr(5, 2) + "/" +
                                        text.substr(8, 2) + " " + text.substr(11, 5) + ":00")) {
                std::fprintf(
                    stderr,
                    "pendrel-decode: --expect-first takes \"YYYY-MM-DD hh:mm\", not \"%s\"\n",
                    text.c_str());
                return 2;
            }
            expectFirst = runtime::DateTime{y, mo, d, h, mi, 0};
        } else if (arg == "--expect-shift" && i + 1 < argc)
            shift = std::stoll(argv[++i]);
        else if (arg == "--min-minutes" && i + 1 < argc)
            minMinutes = std::stoi(argv[++i]);
        else if (arg == "--edges")
            edges = true;
        else if (arg == "--fail-on-holes")
            failOnHoles = true;
        else if (arg == "--fail-on-missing")
            failOnMissing = true;
        else if (arg == "--first-at-minute")
            firstAtMinute = jjyOnly = true;
        else if (arg == "--max-edge-ms" && i + 1 < argc)
            maxEdgeMs = std::stod(argv[++i]);
        else if (arg == "--max-width-ms" && i + 1 < argc)
            maxWidthMs = std::stod(argv[++i]);
        else if (arg == "--reported" && i + 1 < argc) {
            std::ifstream list(argv[++i]);
            double start = 0, lengthMs = 0;
            while (list >> start >> lengthMs) reported.emplace_back(start, start + lengthMs / 1000);
            jjyOnly = true;
        } else if (arg == "--tone-db" && i + 1 < argc) {
            jjyOnly = true;
            std::istringstream list(argv[++i]);
            std::string hz;
            while (std::getline(list, hz, ',')) {
                char* end = nullptr;
                const double f = std::strtod(hz.c_str(), &end);
                if (end == hz.c_str() || *end != '\0' || !(f > 0)) {
                    std::fprintf(stderr,
                                 "pendrel-decode: --tone-db takes frequencies in Hz, not \"%s\"\n",
                                 hz.c_str());
                    return 2;
                }
                tones.push_back(f);
            }
        } else if (arg == "--tone-gap" && i + 1 < argc)
            toneGap = std::stod(argv[++i]);
        else if (wavPath.empty())
            wavPath = arg;
        else
            logPath = arg;
    }
    if (wavPath.empty() || (logPath.empty() && !station)) {
        std::fprintf(
            stderr,
            "usage: %s [--expect-shift S] [--min-minutes N] [--edges] [--fail-on-holes] "
            "[--fail-on-missing] [--max-edge-ms MS] [--max-width-ms MS] [--first-at-minute] "
            "[--reported FILE] [--tone-db HZ,HZ... [--tone-gap DB]] REC.wav REC.log\n"
            "       %s --station jjy40|jjy60|dcf77|msf|wwvb|bpc [--expect-first \"YYYY-MM-DD "
            "hh:mm\"] [--min-minutes N] [--fail-on-holes] FILE.wav\n"
            "       %s --station NAME [--expect-shift S] [--min-minutes N] [--edges] "
            "[--fail-on-holes] [--fail-on-missing] [--max-edge-ms MS] [--max-width-ms MS] "
            "REC.wav REC.log\n",
            argv[0], argv[0], argv[0]);
        return 2;
    }
    if (expectFirst && (!station || !logPath.empty())) {
        std::fprintf(stderr, "pendrel-decode: --expect-first goes with --station and a rendered "
                             "file without a log\n");
        return 2;
    }
    if (station && (jjyOnly || toneGap)) {
        std::fprintf(stderr, "pendrel-decode: --tone-db, --tone-gap, --reported and "
                             "--first-at-minute are not for --station\n");
        return 2;
    }

    SF_INFO info{};
    SNDFILE* file = sf_open(wavPath.c_str(), SFM_READ, &info);
    if (!file) {
        std::fprintf(stderr, "pendrel-decode: %s: %s\n", wavPath.c_str(), sf_strerror(nullptr));
        return 1;
    }
    std::vector<float> frames(static_cast<std::size_t>(info.frames) *
                              static_cast<std::size_t>(info.channels));
    sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    std::vector<float> mono(static_cast<std::size_t>(info.frames));
    for (std::size_t f = 0; f < mono.size(); ++f)
        mono[f] = frames[f * static_cast<std::size_t>(info.channels)];
    const auto rate = static_cast<unsigned>(info.samplerate);

    if (station) {
        station->expectFirst = expectFirst;
        station->shift = shift;
        station->minMinutes = minMinutes;
        station->edges = edges;
        station->failOnHoles = failOnHoles;
        station->failOnMissing = failOnMissing;
        station->maxEdgeMs = maxEdgeMs;
        station->maxWidthMs = maxWidthMs;
        return tools::checkStation(*station, mono, rate, logPath);
    }

    std::ifstream probe(logPath);
    double firstSecond = 0;
    probe >> firstSecond;
    const double baseSecond = std::floor(firstSecond);
    const Timeline timeline = readTimeline(logPath, baseSecond);
    const auto fit = fitLine(timeline.points, timeline.withLatency);
    if (!fit) {
        std::fprintf(stderr, "pendrel-decode: %s holds too few fragments\n", logPath.c_str());
        return 1;
    }
    std::printf(
        "recording %.1f s, rate %.2f Hz (nominal %u), fit residual median %.3f ms, max %.3f ms\n",
        static_cast<double>(mono.size()) / rate, 1 / fit->b, rate, fit->residualMedianMs,
        fit->residualMaxMs);

    float loudest = 0;
    for (const float s : mono) loudest = std::max(loudest, std::abs(s));
    std::printf("peak level %.1f dB\n", loudest > 0 ? 20 * std::log10(loudest) : -999.0);

    const auto pulses = tools::findPulses(mono, rate);
    const double window = 3.0 * rate;  // samples either side of a moment for its local line
    auto timeOf = [&](std::size_t sample) {
        return baseSecond + localTime(timeline, *fit, static_cast<double>(sample), window);
    };

    // Whether a reported stretch overlaps the seconds from..to.
    int reportedPulses = 0;
    const auto isReported = [&](double from, double to) {
        for (const auto& [a, b] : reported)
            if (a < to && b > from) return true;
        return false;
    };
    const std::string kReported = " (reported by the transmitter)";

    // Timing against the wall clock's second boundaries. Each pulse outside the bounds asked
    // for is listed (the first few of each kind), so that a failure says where it happened.
    std::vector<double> offsets, absOffsets, widthErrors;
    long long missing = 0, extra = 0;
    long long previousSecond = 0;
    std::vector<std::string> faults;
    int edgeFaults = 0, widthFaults = 0, stepFaults = 0;
    for (std::size_t i = 0; i < pulses.size(); ++i) {
        const double t = timeOf(pulses[i].start);
        const auto second = std::llround(t);
        const double offsetMs = (t - static_cast<double>(second)) * 1000;
        const double widthMs = static_cast<double>(pulses[i].width) * fit->b * 1000;
        const double nominal = tools::symbolOf(widthMs) == 0   ? 200
                               : tools::symbolOf(widthMs) == 1 ? 500
                                                               : 800;
        offsets.push_back(offsetMs);
        absOffsets.push_back(std::abs(offsetMs));
        widthErrors.push_back(std::abs(widthMs - nominal));
        const std::string at = utcText(t);
        // A pulse cut or moved by a reported stretch, in its own second or since the last one.
        const std::string known =
            isReported((i > 0 ? timeOf(pulses[i - 1].start) : t) - 0.1, t + 1.0) ? kReported : "";
        if (!known.empty()) ++reportedPulses;
        if (i > 0) {
            const long long skipped = std::max(0LL, second - previousSecond - 1);
            if (second == previousSecond)
                ++extra;
            else
                missing += skipped;
            if (failOnMissing && (second == previousSecond || skipped > 0) && stepFaults++ < 10)
                faults.push_back(
                    (second == previousSecond
                         ? "a second pulse in the second of the pulse at " + at
                         : std::to_string(skipped) + " pulse(s) missing before " + at) +
                    known);
        }
        previousSecond = second;
        if (maxEdgeMs && std::abs(offsetMs) > *maxEdgeMs && edgeFaults++ < 10) {
            char text[96];
            std::snprintf(text, sizeof text, "edge %+.3f ms off its second at %s", offsetMs,
                          at.c_str());
            faults.push_back(text + known);
        }
        if (maxWidthMs && std::abs(widthMs - nominal) > *maxWidthMs && widthFaults++ < 10) {
            char text[96];
            std::snprintf(text, sizeof text, "width %.2f ms, not %.0f, at %s", widthMs, nominal,
                          at.c_str());
            faults.push_back(text + known);
        }
        if (edges)
            std::printf("edge %s offset %+.3f ms width %.1f ms\n", at.c_str(), offsetMs, widthMs);
    }
    std::printf("pulses %zu missing %lld extra %lld\n", pulses.size(), missing, extra);
    if (firstAtMinute) {
        // The recording starts before the transmitter: its first pulse, the marker of second 0,
        // must be heard whole (one cut by the start of the recording is not found at all).
        const double t = pulses.empty() ? 0 : timeOf(pulses.front().start);
        const long long second = std::llround(t) + shift.value_or(0);
        if (pulses.empty() ||
            tools::symbolOf(static_cast<double>(pulses.front().width) * fit->b * 1000) != 0 ||
            (second % 60 + 60) % 60 != 0)
            faults.push_back("the first pulse heard" +
                             (pulses.empty() ? std::string() : ", at " + utcText(t)) +
                             ", is not the marker of a second 0 (the recording began at " +
                             utcText(timeOf(0)) + ")");
    }
    if (!pulses.empty()) {
        std::printf(
            "rising edge offset ms: median %+.3f, median |.| %.3f, p99 |.| %.3f, max |.| %.3f\n",
            percentile(offsets, 0.5), percentile(absOffsets, 0.5), percentile(absOffsets, 0.99),
            percentile(absOffsets, 1.0));
        std::printf("width error ms: median %.3f, max %.3f\n", percentile(widthErrors, 0.5),
                    percentile(widthErrors, 1.0));
    }

    // Holes inside the signal, each one, however the time code reads.
    std::vector<tools::Hole> holes;
    double longestMs = 0;
    for (const auto& h : tools::findHoles(mono, rate, pulses, timeline.unheard)) {
        const double ms = static_cast<double>(h.length) * fit->b * 1000;
        const double from = timeOf(h.start), to = timeOf(h.start + h.length);
        holes.push_back(h);
        longestMs = std::max(longestMs, ms);
        std::printf("hole at %s, %.2f ms%s\n", utcText(from).c_str(), ms,
                    isReported(from - 0.1, to + 0.1) ? kReported.c_str() : "");
    }
    std::printf("holes in the signal %zu longest %.2f ms\n", holes.size(), longestMs);
    if (!timeline.unheard.empty()) {
        std::size_t lost = 0;
        for (const auto& u : timeline.unheard) lost += u.length;
        std::printf("stretches the recorder lost %zu (%.1f ms), not counted as holes\n",
                    timeline.unheard.size(), static_cast<double>(lost) * fit->b * 1000);
    }

    // Each tone's level over the pulses; a tone above half the rate cannot be in the file.
    bool tonesRight = true;
    std::vector<double> levels;
    for (const double f : tones) {
        const double db = 2 * f < rate ? tools::toneLevelDb(mono, rate, pulses, f)
                                       : -std::numeric_limits<double>::infinity();
        levels.push_back(db);
        std::printf("tone %.0f Hz %.2f dB\n", f, db);
    }
    for (std::size_t k = 1; k < levels.size(); ++k) {
        const double gap = levels[0] - levels[k];
        std::printf("tone %.0f Hz over %.0f Hz %.2f dB\n", tones[0], tones[k], gap);
        if (toneGap && !(gap >= *toneGap)) {
            std::printf("FAIL: %.0f Hz stands less than %.1f dB above %.0f Hz\n", tones[0],
                        *toneGap, tones[k]);
            tonesRight = false;
        }
    }
    if (toneGap && (levels.empty() || !std::isfinite(levels[0]))) {
        std::printf("FAIL: no %s to measure\n", levels.empty() ? "tone given" : "pulse or tone");
        tonesRight = false;
    }

    int decoded = 0, reportedMinutes = 0;
    bool allRight = true;
    // For reading the time code, a pulse interrupted by a dropout of under 30 ms is taken as
    // one pulse. The figures above count such a dropout as it is (an extra pulse, a width
    // error); this only keeps one dropout from hiding whether the minute carried the right time.
    std::vector<tools::Pulse> bridged;
    const auto maxGap = static_cast<std::size_t>(0.030 / fit->b);
    for (const auto& p : pulses) {
        if (!bridged.empty() && p.start - (bridged.back().start + bridged.back().width) < maxGap)
            bridged.back().width = p.start + p.width - bridged.back().start;
        else
            bridged.push_back(p);
    }
    if (bridged.size() != pulses.size())
        std::printf("dropouts bridged for decoding: %zu\n", pulses.size() - bridged.size());

    const auto minutes = tools::decodeMinutes(bridged, fit->b);
    // The whole minutes in the signal lie whole minutes from the first one found, or, when no
    // minute was found, from the first pulse (a transmitter starts at a minute start).
    int wholeMinutes = 0;
    if (!pulses.empty()) {
        const double first = timeOf(pulses.front().start), last = timeOf(pulses.back().start);
        const double phase =
            minutes.empty() ? first : timeOf(bridged[minutes.front().firstPulse].start);
        const double lowest = std::ceil((first - 0.5 + 1 - phase) / 60);
        const double highest = std::floor((last + 0.5 - 59 - phase) / 60);
        wholeMinutes = static_cast<int>(std::max(0.0, highest - lowest + 1));
    }
    for (const auto& m : minutes) {
        const double heard = timeOf(bridged[m.firstPulse].start);
        if (!m.valid) {
            const bool known = isReported(heard - 1, heard + 60);
            std::printf("minute at %s: not decoded (%s)%s\n", utcText(heard).c_str(),
                        m.problem.c_str(), known ? kReported.c_str() : "");
            if (known) ++reportedMinutes;
            allRight = false;
            continue;
        }
        ++decoded;
        std::string verdict;
        if (shift) {
            const auto expected = static_cast<std::time_t>(std::llround(heard) + *shift);
            std::tm tm{};
            gmtime_r(&expected, &tm);
            char text[32];
            std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
            const bool right = m.text() == text && tm.tm_sec == 0;
            allRight = allRight && right;
            verdict = right ? " ok" : std::string(" WRONG, expected ") + text;
        }
        std::printf("minute %s (weekday %d, day %d) heard at %s%s\n", m.text().c_str(), m.weekday,
                    m.dayOfYear, utcText(heard).c_str(), verdict.c_str());
    }
    std::printf("minutes decoded %d\n", decoded);
    std::printf("minutes heard %d\n", wholeMinutes);
    if (!reported.empty())
        std::printf(
            "reported by the transmitter: %zu stretches it was kept from sending, in %d pulses' "
            "seconds and %d undecoded minutes\n",
            reported.size(), reportedPulses, reportedMinutes);
    if (failOnHoles && !holes.empty())
        std::printf("FAIL: %zu holes inside the signal\n", holes.size());
    for (const auto& f : faults) std::printf("FAIL: %s\n", f.c_str());
    if (edgeFaults > 10 || widthFaults > 10 || stepFaults > 10)
        std::printf("FAIL: in all %d edges, %d widths and %d steps out of bounds\n", edgeFaults,
                    widthFaults, stepFaults);
    return decoded >= minMinutes && allRight && tonesRight && !(failOnHoles && !holes.empty()) &&
                   faults.empty()
               ? 0
               : 1;
}
