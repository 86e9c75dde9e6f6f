#include "send/plan.h"

#include "timecode/station_names.h"
#include "tools/station_tone.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace send {

namespace {

using namespace std::chrono;

bool readInt(std::string_view text, long long& value)
{
    if (text.empty()) return false;
    const char* first = text.data();
    if (*first == '+') ++first;
    const auto [end, error] = std::from_chars(first, text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// "10m", "90s", "2h", or a bare number of seconds; at most a year.
std::optional<seconds> readLength(std::string_view text)
{
    long long scale = 1;
    if (!text.empty()) {
        switch (text.back()) {
        case 's': scale = 1, text.remove_suffix(1); break;
        case 'm': scale = 60, text.remove_suffix(1); break;
        case 'h': scale = 3600, text.remove_suffix(1); break;
        default: break;
        }
    }
    long long n = 0;
    if (text.starts_with('+') || !readInt(text, n) || n <= 0 || n > 366LL * 86400 / scale)
        return std::nullopt;
    return seconds(n * scale);
}

// "hh:mm", 00:00 .. 23:59.
std::optional<minutes> readTimeOfDay(std::string_view text)
{
    long long h = 0, m = 0;
    if (text.size() != 5 || text[2] != ':' || !readInt(text.substr(0, 2), h) ||
        !readInt(text.substr(3, 2), m) || text[0] == '+' || text[3] == '+' || h > 23 || m > 59 ||
        h < 0 || m < 0)
        return std::nullopt;
    return minutes(h * 60 + m);
}

// "+09:00", "-05:00", "+05:30": -12:00 .. +14:00.
std::optional<int> readZone(std::string_view text)
{
    if (text.size() != 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':') return std::nullopt;
    long long h = 0, m = 0;
    if (text[1] == '+' || text[4] == '+' || !readInt(text.substr(1, 2), h) ||
        !readInt(text.substr(4, 2), m) || h < 0 || m < 0 || m > 59)
        return std::nullopt;
    const int east = static_cast<int>((h * 60 + m) * (text[0] == '-' ? -1 : 1));
    if (east < -12 * 60 || east > 14 * 60) return std::nullopt;
    return east;
}

// "YYYY-MM-DD hh:mm".
std::optional<runtime::DateTime> readMinute(std::string_view text)
{
    long long y = 0, mo = 0, d = 0;
    if (text.size() != 16 || text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
        text.find('+') != std::string_view::npos || !readInt(text.substr(0, 4), y) ||
        !readInt(text.substr(5, 2), mo) || !readInt(text.substr(8, 2), d))
        return std::nullopt;
    const auto time = readTimeOfDay(text.substr(11));
    if (!time || y < 1 || mo < 1 || mo > 12 || d < 1 || d > 31) return std::nullopt;
    const year_month_day ymd{year{static_cast<int>(y)}, month{static_cast<unsigned>(mo)},
                             day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return std::nullopt;
    return runtime::DateTime{static_cast<int>(y), static_cast<int>(mo), static_cast<int>(d),
                             static_cast<int>(time->count() / 60), static_cast<int>(time->count() % 60),
                             0};
}

// US summer time at a reading of local standard time: from 02:00 on the second Sunday of March
// to 01:00 standard (02:00 summer) time on the first Sunday of November.
bool usSummerTimeAtStandard(const runtime::DateTime& standard)
{
    const year y{standard.year};
    const local_days start{y / March / Sunday[2]};
    const local_days end{y / November / Sunday[1]};
    const auto t = runtime::toLocalTime(standard);
    return t >= start + 2h && t < end + 1h;
}

}  // namespace

Parsed parseOptions(const std::vector<std::string>& args)
{
    Parsed p;
    Options& o = p.options;
    bool haveStation = false, direct = false, rateGiven = false, advance = false;
    const auto fail = [&](std::string text) {
        p.error = std::move(text);
        return p;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--direct") {
            direct = true;
        } else if (arg == "--station" || arg == "--rate" || arg == "--for" || arg == "--until" ||
                   arg == "--days" || arg == "--hours" || arg == "--minutes" ||
                   arg == "--settings" || arg == "--summer" || arg == "--clock-zone" ||
                   arg == "--wav" || arg == "--at") {
            if (!value(v)) return fail(arg + " needs a value (see --help)");
            if (arg == "--station") {
                const auto station = timecode::stationNamed(v);
                if (!station)
                    return fail("--station " + v + ": not a station; one of " +
                                std::string(timecode::kStationNames));
                o.station = *station;
                haveStation = true;
            } else if (arg == "--rate") {
                long long r = 0;
                if (!readInt(v, r) || r <= 0 || r > 1'000'000)
                    return fail("--rate " + v + ": not a sample rate in Hz");
                o.directRate = static_cast<unsigned>(r);
                rateGiven = true;
            } else if (arg == "--for") {
                o.length = readLength(v);
                if (!o.length)
                    return fail("--for " + v + ": not a length such as 90s, 10m or 2h (up to a year)");
            } else if (arg == "--until") {
                o.until = readTimeOfDay(v);
                if (!o.until) return fail("--until " + v + ": not a time of day hh:mm");
            } else if (arg == "--days" || arg == "--hours" || arg == "--minutes") {
                long long n = 0;
                if (!readInt(v, n) || n < INT16_MIN || n > INT16_MAX)
                    return fail(arg + " " + v + ": not a whole number from -32768 to 32767");
                (arg == "--days" ? o.days : arg == "--hours" ? o.hours : o.minutes) =
                    static_cast<std::int16_t>(n);
                advance = true;
            } else if (arg == "--settings") {
                if (v.empty()) return fail("--settings needs a file");
                o.settingsPath = v;
            } else if (arg == "--summer") {
                if (v == "on") o.summer = timecode::SummerTime::On;
                else if (v == "off") o.summer = timecode::SummerTime::Off;
                else if (v == "auto") o.summer = timecode::SummerTime::Auto;
                else return fail("--summer " + v + ": on, off or auto");
            } else if (arg == "--clock-zone") {
                o.clockZoneMinutes = readZone(v);
                if (!o.clockZoneMinutes)
                    return fail("--clock-zone " + v + ": not an offset from -12:00 to +14:00 such as -05:00");
            } else if (arg == "--wav") {
                if (v.empty()) return fail("--wav needs a file");
                o.wavPath = v;
            } else {
                o.at = readMinute(v);
                if (!o.at) return fail("--at " + v + ": not a date and time \"YYYY-MM-DD hh:mm\"");
            }
        } else {
            return fail(arg + ": unknown " + (arg.starts_with("-") ? "option" : "argument") +
                        " (see --help)");
        }
    }
    if (o.help || o.version) return p;
    if (!haveStation) return fail("--station is missing; one of " + std::string(timecode::kStationNames));
    if (rateGiven && !direct) return fail("--rate is the rate of the direct set: give --direct with it");
    if (direct) {
        if (!rateGiven) o.directRate = tools::lowestDirectRate(o.station);
        const std::string why = tools::whyNotMade({o.station, o.directRate});
        if (!why.empty()) return fail("--direct: " + why);
    }
    if (o.length && o.until) return fail("--for and --until: give one of them");
    if (advance && !o.settingsPath.empty())
        return fail("--settings and --days/--hours/--minutes: give one of them");
    if (o.clockZoneMinutes && o.station != timecode::Station::Wwvb)
        return fail("--clock-zone is for wwvb, whose clocks add their own zone");
    if (o.wavPath.empty() && o.at) return fail("--at is the start of a --wav file");
    if (!o.wavPath.empty() && o.until) return fail("--until is for sending live; --wav takes --for");
    if (!o.wavPath.empty()) {
        // A WAV file holds at most 4 GiB of samples, 16 bits each.
        const long long rate = tools::sampleRate({o.station, o.directRate});
        const long long most = 0xFFFF'F000LL / (2 * rate);
        if (o.length.value_or(kDefaultWavLength).count() > most)
            return fail("--for with --wav: at most " + std::to_string(most) + " s at " +
                        std::to_string(rate) + " Hz (a WAV file holds 4 GiB)");
    }
    return p;
}

runtime::DateTime wwvbUtcFor(const runtime::DateTime& shown, int standardOffsetMinutes,
                             timecode::SummerTime summer)
{
    const runtime::DateTime standard = runtime::addMinutes(shown, -60);  // if summer time
    bool inSummer = summer == timecode::SummerTime::On;
    if (summer == timecode::SummerTime::Auto) inSummer = usSummerTimeAtStandard(standard);
    return runtime::addMinutes(inSummer ? standard : shown, -standardOffsetMinutes);
}

PlannedMinute planMinute(const TimePlan& plan, const runtime::DateTime& pcMinute)
{
    runtime::DateTime start = pcMinute;
    start.second = 0;
    PlannedMinute m;
    m.shown = runtime::transmittedTime(start, plan.days, plan.hours, plan.minutes);
    m.toSend.time = plan.station == timecode::Station::Wwvb
                        ? wwvbUtcFor(m.shown, plan.clockZoneMinutes, plan.summer)
                        : m.shown;
    m.toSend.summerTime = plan.summer;
    return m;
}

long systemOffsetAt(std::time_t t)
{
    std::tm local{};
    if (!localtime_r(&t, &local)) return 0;
    return local.tm_gmtoff;
}

int standardOffsetMinutes(int y, const std::function<long(std::time_t)>& offsetAt)
{
    const auto at = [&](month m) {
        const sys_seconds t{sys_days{year{y} / m / 1}};
        return offsetAt(static_cast<std::time_t>(t.time_since_epoch().count()));
    };
    return static_cast<int>(std::min(at(January), at(July)) / 60);
}

runtime::LocalTime firstMinute(runtime::LocalTime now)
{
    return ceil<minutes>(now);
}

std::optional<runtime::LocalTime> liveEnd(const Options& options, runtime::LocalTime start)
{
    if (options.length) return ceil<seconds>(start) + *options.length;
    if (!options.until) return std::nullopt;
    const auto midnight = floor<days>(start);
    runtime::LocalTime end = midnight + *options.until;
    if (end <= start) end += days(1);
    return end;
}

std::string soundName(const timecode::StationSecond& second)
{
    std::string name = "second:";
    if (second.reduced.empty()) return name + "full";
    for (const auto& r : second.reduced)
        name += std::to_string(r.startMs) + "+" + std::to_string(r.lengthMs) + ",";
    name.pop_back();
    return name;
}

std::string minuteLine(const PlannedMinute& minute, const timecode::StationMinute& sent)
{
    std::string line = runtime::format(minute.shown, "yyyy/mm/dd hh:mm");
    std::replace(line.begin(), line.end(), '/', '-');
    line += "  " + std::string(timecode::stationTitle(sent.station));
    if (sent.station == timecode::Station::Wwvb) {
        std::string utc = runtime::format(minute.toSend.time, "yyyy/mm/dd hh:mm");
        std::replace(utc.begin(), utc.end(), '/', '-');
        line += " as " + utc + " UTC";
    }
    return line + "  " + timecode::notation(sent);
}

std::vector<std::string> problemsOf(const platform::SoundStatus& s)
{
    std::vector<std::string> found;
    const std::string server = s.server.empty() ? "PipeWire or PulseAudio" : s.server;
    if (!s.serverReachable) {
        found.push_back("cannot reach the sound server (" + server +
                        "): run this in your desktop session, or start the server "
                        "(e.g. systemctl --user start pipewire pipewire-pulse)");
    } else if (s.device.empty()) {
        found.push_back("the sound server has no output (speaker or headphones): connect one "
                        "or choose one in the sound settings");
    } else if (!s.streamRunning) {
        found.push_back("cannot start the sound on \"" + s.device + "\" (" + server +
                        "): check in the sound settings that it can be used");
    }
    for (const platform::SoundFileState& f : s.files)
        if (!f.playable) found.push_back("cannot play the sound " + f.path);
    // A device passes tones only up to a little below half its rate.
    if (s.outputRate != 0 && s.carrierHz > 0.45 * s.outputRate)
        found.push_back("the sound output runs at " + std::to_string(s.outputRate) +
                        " Hz, too slow for the " + std::to_string(std::lround(s.carrierHz)) +
                        " Hz tone: run the sound server at 96 or 192 kHz, or leave out --direct");
    return found;
}

std::vector<std::string> routeProblemsOf(const platform::SoundStatus& s)
{
    using Kind = platform::SoundRoute::Kind;
    const platform::SoundRoute& r = s.route;
    std::vector<std::string> found;
    if (!s.streamRunning || !r.known) return found;
    const std::string device = r.device.empty() ? s.device : r.device;
    const std::string output = device.empty() ? "the output" : "the output \"" + device + "\"";
    if (r.deviceMuted || r.streamMuted)
        found.push_back((r.deviceMuted ? output : std::string("pendrel-send's sound")) +
                        " is muted: unmute it in the sound settings");
    const auto low = [](int percent) { return percent >= 0 && percent < platform::kLowVolumePercent; };
    if (low(r.deviceVolume) || low(r.streamVolume))
        found.push_back("the volume is " +
                        std::to_string(low(r.deviceVolume) ? r.deviceVolume : r.streamVolume) +
                        " %: turn it up to 50 % or more (best 100 %)");
    if (r.kind == Kind::Bluetooth || r.kind == Kind::Hdmi)
        found.push_back(output + " is " +
                        (r.kind == Kind::Bluetooth ? "Bluetooth" : "HDMI/DisplayPort") +
                        ", which does not carry the tone: use the headphone or line output");
    if (!r.others.empty()) {
        std::string names;
        for (const auto& n : r.others) names += (names.empty() ? "" : ", ") + n;
        found.push_back("other sound is mixed in (" + names +
                        "): stop it, or send to another output");
    }
    return found;
}

std::vector<std::string> TroubleWatch::look(const platform::SoundStatus& status,
                                            runtime::LocalTime now)
{
    // An output that reports nothing at all cannot be judged.
    if (status == platform::SoundStatus{}) return {};
    const std::vector<std::string> noSignal = problemsOf(status);
    std::vector<std::string> problems;
    for (const auto& p : noSignal) problems.push_back("no signal: " + p);
    for (const auto& p : routeProblemsOf(status)) problems.push_back("may not reach the clock: " + p);
    std::vector<std::string> lines;
    if (problems.empty()) {
        if (!m_told.empty()) {
            lines.push_back("the signal goes out again" +
                            (status.device.empty() ? std::string() : " (" + status.device + ")"));
        }
        m_told.clear();
        m_seen.clear();
        m_since.reset();
        return lines;
    }
    if (problems != m_seen) {
        m_seen = problems;
        if (m_told.empty()) m_since = now;
    }
    if (m_since && now - *m_since >= seconds(2) && problems != m_told) {
        lines = problems;
        m_told = problems;
        m_everTold = m_everTold || !noSignal.empty();
    }
    return lines;
}

}  // namespace send
