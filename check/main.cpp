// pendrel-check: proves that the signal leaving the PC is right. It records what the output
// Pendrel plays on sends, through the server's monitor, for whole minutes, decodes the JJY
// time code in memory and compares each minute with the time Pendrel should send (the PC's
// local time moved by the advances in Pendrel's settings file). See check.h for the verdict
// and --help for the command line. It changes nothing: no settings, no sink.

#include "app/settings/settings_file.h"
#include "check/check.h"
#include "check/output_info.h"
#include "runtime/program_path.h"
#include "tools/capture/capture.h"
#include "tools/testing/jjy_decode.h"
#include "tools/testing/recording_log.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

namespace {

// The tones a pulse set can have: a third of the 40 or 60 kHz carrier, or the carrier itself.
constexpr double kTones[] = {40000.0 / 3, 20000, 40000, 60000};

double median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

runtime::DateTime localDateTime(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

// The strongest of the possible tones over the pulses, and its level; {0, -inf} without pulses.
std::pair<double, double> strongestTone(const std::vector<float>& samples, unsigned rate,
                                        const std::vector<tools::Pulse>& pulses)
{
    std::pair<double, double> best{0, -std::numeric_limits<double>::infinity()};
    for (const double f : kTones) {
        if (2 * f >= rate) continue;
        const double db = tools::toneLevelDb(samples, rate, pulses, f);
        if (db > best.second) best = {f, db};
    }
    return best;
}

// The tone of the pulse files beside the program (their 200 ms file); 0 when not readable.
double filesTone(const std::string& folder)
{
    SF_INFO info{};
    SNDFILE* file = sf_open((folder + "/200ms.wav").c_str(), SFM_READ, &info);
    if (!file) return 0;
    const auto rate = static_cast<unsigned>(info.samplerate);
    // A little silence before the pulse, which the file starts with, so that it is found whole.
    std::vector<float> frames(static_cast<std::size_t>(info.frames) *
                              static_cast<std::size_t>(info.channels));
    sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    std::vector<float> mono(rate / 10, 0.0f);
    for (std::size_t f = 0; f < static_cast<std::size_t>(info.frames); ++f)
        mono.push_back(frames[f * static_cast<std::size_t>(info.channels)]);
    const auto pulses = tools::findPulses(mono, rate);
    return pulses.empty() ? 0 : strongestTone(mono, rate, pulses).first;
}

bool isFolder(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string clockText(double seconds)
{
    return runtime::format(localDateTime(static_cast<std::time_t>(std::floor(seconds))),
                           "hh:mm:ss");
}

}  // namespace

int main(int argc, char** argv)
{
    const auto parsed = check::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "pendrel-check: %s\n", parsed.error.c_str());
        return 2;
    }
    const check::Options& o = parsed.options;
    if (o.help) {
        std::fputs(check::helpText().c_str(), stdout);
        return 0;
    }

    // The advances, from the file the program reads (or the one given).
    const std::string programFolder = runtime::programFolder();
    settings::SettingsFile settingsFile = settings::SettingsFile::findFor(programFolder);
    if (!o.settingsPath.empty()) {
        std::string folder = o.settingsPath;
        if (isFolder(folder) && !isFile(folder + "/setting.ini")) {
            std::fprintf(stderr, "pendrel-check: there is no setting.ini in \"%s\"\n",
                         folder.c_str());
            return 2;
        }
        if (!isFolder(folder)) {
            const auto slash = folder.rfind('/');
            const std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
            folder = slash == std::string::npos ? "." : folder.substr(0, slash);
            if (name != "setting.ini" || !isFile(o.settingsPath)) {
                std::fprintf(stderr,
                             "pendrel-check: --settings takes an existing setting.ini or its "
                             "folder, not \"%s\"\n",
                             o.settingsPath.c_str());
                return 2;
            }
        }
        settingsFile =
            settings::SettingsFile(settings::SettingsPlace{folder.empty() ? "/" : folder});
    }
    const auto stored = settings::readAdvances(settingsFile);
    const check::Advances advances{stored.days.value, stored.hours.value, stored.minutes.value};

    // The output, and the server to record it on.
    check::OutputInfo output = check::askOutput(o.sink);
    if (!output.answered && o.server != check::Server::PulseAudio && o.sink.empty())
        check::askGraph(output);
    if (!o.sink.empty() && output.answered && output.sink.empty()) {
        std::fprintf(stderr, "pendrel-check: the sound server has no sink named \"%s\"\n",
                     o.sink.c_str());
        return 2;
    }
    check::Server server = o.server;
    if (server == check::Server::Automatic)
        server = output.answered && !output.onPipeWire ? check::Server::PulseAudio
                                                       : check::Server::PipeWire;
    const bool onPipeWire = server == check::Server::PipeWire;
    const unsigned rate = output.rate ? std::clamp(output.rate, 8000u, 192000u) : 48000u;

    // From now to the end of the last whole minute: the marker pair at the first minute start
    // must be heard, so a minute that starts within 3 s is not the first one.
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    double firstMinute = std::ceil(now / 60) * 60;
    if (firstMinute - now < 3) firstMinute += 60;
    const double end = firstMinute + 60.0 * o.minutes + 1.5;

    capture::Options capturing;
    capturing.name = "pendrel-check";
    capturing.rate = rate;
    capturing.seconds = end - now;
    capturing.target = onPipeWire ? (o.sink.empty() ? output.sink : o.sink) : output.monitor;
    const std::string sinkText =
        output.sink.empty() ? (o.sink.empty() ? "the default sink" : o.sink) : output.sink;
    std::printf("settings: %s (advances %d days, %d hours, %d minutes)\n",
                settingsFile.path().c_str(), advances.days, advances.hours, advances.minutes);
    std::printf(
        "recording %s on %s at %u Hz until %s: %d whole minute(s) from %s; Ctrl-C stops early\n",
        sinkText.c_str(), onPipeWire ? "PipeWire" : "PulseAudio", rate, clockText(end).c_str(),
        o.minutes, clockText(firstMinute).c_str());
    std::fflush(stdout);

    capture::Recording recording;
    const bool recorded = onPipeWire ? capture::recordPipeWire(capturing, recording)
                                     : capture::recordPulse(capturing, recording);

    // The recording's timeline on the wall clock.
    tools::Timeline timeline;
    const double base =
        recording.fragments.empty()
            ? 0
            : std::floor(static_cast<double>(recording.fragments.front().arrivalNs) / 1e9);
    for (const auto& f : recording.fragments)
        timeline.points.emplace_back(static_cast<double>(f.first),
                                     static_cast<double>(f.arrivalNs) / 1e9 - base -
                                         static_cast<double>(f.latencyUs) * 1e-6);
    for (const auto& l : recording.lost)
        timeline.unheard.push_back(
            {static_cast<std::size_t>(l.first), static_cast<std::size_t>(l.count)});
    const auto fit = tools::fitLine(timeline.points, true);
    if (!fit) {
        std::printf("nothing was recorded%s\n",
                    recorded ? "" : ": the output could not be recorded");
        std::printf(
            "advice: check that a sound server runs and that the output exists (see --sink).\n");
        return 1;
    }
    const std::vector<float>& samples = recording.samples;
    const unsigned recRate = recording.rate;
    auto timeOf = [&](std::size_t sample) {
        return base + tools::localTime(timeline, *fit, static_cast<double>(sample), 3.0 * recRate);
    };

    check::Findings f;
    f.interrupted = recording.interrupted;
    if (output.streamsListed || output.pendrelPlaying) f.pendrelPlaying = output.pendrelPlaying;
    f.muted = output.muted;
    f.volumePercent = output.volumePercent;
    f.outputRate = onPipeWire && recording.graphRate ? recording.graphRate : output.rate;
    float loudest = 0;
    for (const float s : samples) loudest = std::max(loudest, std::abs(s));
    f.peakDb = loudest > 0 ? 20 * std::log10(loudest) : -200;

    const auto pulses = tools::findPulses(samples, recRate);
    f.pulses = pulses.size();
    // The whole minutes recorded: the marker before second 0 to the end of second 59. Once
    // pulses are heard, only the minutes from the first one on: Pendrel starts sending at a
    // minute start, without the marker before it, and a clock reads the minute after.
    const double from = timeOf(0), to = timeOf(samples.size());
    const double firstHeard = pulses.empty() ? from : timeOf(pulses.front().start);
    const double firstMinuteHeard = std::ceil((std::max(from + 1.1, firstHeard + 1.5)) / 60) * 60;
    for (double b = firstMinuteHeard; b + 59.5 <= to; b += 60) ++f.wholeMinutes;
    // The pulses judged: those of the whole minutes, from the marker before the first; the
    // start of a recording may hold a stretch the server delivered out of step.
    const double judgedFrom = f.wholeMinutes > 0 ? firstMinuteHeard - 1.5 : from;
    const double judgedTo = f.wholeMinutes > 0 ? firstMinuteHeard + 60.0 * f.wholeMinutes : to;
    std::vector<tools::Pulse> judged;
    for (const auto& p : pulses)
        if (const double t = timeOf(p.start); t >= judgedFrom && t < judgedTo) judged.push_back(p);

    std::vector<double> edges;
    for (const auto& p : judged) {
        const double t = timeOf(p.start);
        edges.push_back(std::abs(t - std::round(t)) * 1000);
        const double widthMs = static_cast<double>(p.width) * fit->b * 1000;
        const int symbol = tools::symbolOf(widthMs);
        const double nominal = symbol == 0 ? 200 : symbol == 1 ? 500 : 800;
        f.worstWidthMs = std::max(f.worstWidthMs, std::abs(widthMs - nominal));
    }
    f.edgeMedianMs = median(edges);
    f.edgeMaxMs = edges.empty() ? 0 : *std::max_element(edges.begin(), edges.end());
    for (const auto& h : tools::findHoles(samples, recRate, judged, timeline.unheard)) {
        ++f.holes;
        f.longestHoleMs = std::max(f.longestHoleMs, static_cast<double>(h.length) * fit->b * 1000);
    }

    // The tone: the files' own when they can be read, measured in the recording.
    f.toneHz = filesTone(programFolder);
    if (f.toneHz > 0 && 2 * f.toneHz < recRate && !pulses.empty())
        f.toneDb = tools::toneLevelDb(samples, recRate, pulses, f.toneHz);
    else if (!pulses.empty()) {
        const auto [hz, db] = strongestTone(samples, recRate, pulses);
        if (f.toneHz == 0) f.toneHz = hz;
        f.toneDb = f.toneHz == hz ? db : -200;
    }

    std::vector<std::string> minuteLines;
    for (const auto& m : tools::decodeMinutes(pulses, fit->b)) {
        const double heard = timeOf(pulses[m.firstPulse].start);
        const auto second = static_cast<std::time_t>(std::llround(heard));
        const std::string at = clockText(static_cast<double>(second));
        if (!m.valid) {
            minuteLines.push_back("minute from " + at + ": not readable (" + m.problem + ")");
            continue;
        }
        ++f.decoded;
        const auto c = check::compareMinute({m.year, m.month, m.day, m.hour, m.minute, m.weekday},
                                            localDateTime(second), advances);
        if (c.matches)
            ++f.matching;
        else if (f.offMinutes == 0)
            f.offMinutes = c.offMinutes;
        minuteLines.push_back("minute from " + at + ": sent " + m.text() +
                              (c.matches ? ", right"
                                         : ", WRONG: Pendrel should send " +
                                               runtime::format(c.expected, "yyyy-mm-dd hh:mm")));
    }
    f.wholeMinutes = std::max(f.wholeMinutes, f.decoded);

    const auto verdict = check::judge(f);
    if (f.interrupted) std::printf("stopped early: the minutes recorded so far\n");
    if (!pulses.empty() && firstHeard > from + 1.5)
        std::printf("the signal began at %s, after the recording\n",
                    clockText(std::round(firstHeard)).c_str());
    for (const auto& line : minuteLines) std::printf("%s\n", line.c_str());
    std::printf("%d of %d minutes decoded, %d match the time Pendrel should send\n", f.decoded,
                f.wholeMinutes, f.matching);
    std::printf("pulses %zu; edges against the PC clock's seconds: median %.1f ms, max %.1f ms\n",
                f.pulses, f.edgeMedianMs, f.edgeMaxMs);
    std::printf("holes %d, longest %.1f ms\n", f.holes, f.longestHoleMs);
    std::printf("widths: worst %.1f ms from 200/500/800 ms\n", f.worstWidthMs);
    if (f.toneHz > 0) {
        if (f.toneDb > -200)
            std::printf("tone %.0f Hz at %.1f dBFS", f.toneHz, f.toneDb);
        else
            std::printf("tone %.0f Hz not heard", f.toneHz);
        if (f.outputRate)
            std::printf("; the output runs at %u Hz, which %s carry it", f.outputRate,
                        2 * f.toneHz < f.outputRate ? "can" : "cannot");
        std::printf("\n");
    }
    if (output.muted)
        std::printf("output %s: %s, volume %d %%%s\n", output.sink.c_str(),
                    *output.muted ? "muted" : "not muted", output.volumePercent.value_or(0),
                    output.pendrelPlaying ? ", Pendrel playing on it" : "");
    for (const auto& line : verdict.advice) std::printf("advice: %s\n", line.c_str());
    std::printf("%s\n", verdict.pass ? "the signal is right" : "the signal is NOT right");
    return verdict.pass ? 0 : 1;
}
