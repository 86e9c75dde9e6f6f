#include "check/check.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace check {

namespace {

// A whole number in [low, high], the whole text and nothing else.
std::optional<long> wholeNumber(const std::string& text, long low, long high)
{
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || n < low || n > high) return std::nullopt;
    return n;
}

std::string printed(const char* format, double a, double b = 0)
{
    char text[256];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// "1 d 19 h 17 min", the parts that are not 0.
std::string span(long minutes)
{
    const long m = std::labs(minutes);
    std::string text;
    const auto part = [&](long n, const char* unit) {
        if (n == 0) return;
        text += (text.empty() ? "" : " ") + std::to_string(n) + " " + unit;
    };
    part(m / (24 * 60), "d");
    part(m / 60 % 24, "h");
    part(m % 60, "min");
    return text;
}

}  // namespace

ParsedOptions parseOptions(const std::vector<std::string>& args)
{
    ParsedOptions parsed;
    Options& o = parsed.options;
    const auto fail = [&](std::string why) {
        parsed.error = std::move(why);
        return parsed;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        bool hasValue = false;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            hasValue = true;
        }
        if (name == "--help" || name == "-h") {
            o.help = true;
            continue;
        }
        if (name != "--minutes" && name != "--settings" && name != "--sink" && name != "--server")
            return fail("unknown option \"" + args[i] + "\" (see --help)");
        if (!hasValue) {
            if (i + 1 >= args.size()) return fail(name + " needs a value (see --help)");
            value = args[++i];
        }
        if (name == "--minutes") {
            const auto n = wholeNumber(value, 1, 10);
            if (!n)
                return fail("--minutes takes a whole number from 1 to 10, not \"" + value + "\"");
            o.minutes = static_cast<int>(*n);
        } else if (name == "--settings") {
            if (value.empty()) return fail("--settings needs a file name");
            o.settingsPath = value;
        } else if (name == "--sink") {
            if (value.empty()) return fail("--sink needs a sink name");
            o.sink = value;
        } else if (value == "pulseaudio") {
            o.server = Server::PulseAudio;
        } else if (value == "pipewire") {
            o.server = Server::PipeWire;
        } else {
            return fail("--server is pulseaudio or pipewire, not \"" + value + "\"");
        }
    }
    return parsed;
}

std::string helpText()
{
    return "usage: pendrel-check [--minutes N] [--settings FILE] [--sink NAME]\n"
           "                     [--server pulseaudio|pipewire]\n"
           "Records what the sound output Pendrel plays on sends, for N whole minutes (default 2)\n"
           "from the next minute start, decodes the time signal and compares every minute with\n"
           "the time Pendrel should send: the PC's local time moved by the advances in Pendrel's\n"
           "settings file. It prints what it found and one line of advice for each problem.\n"
           "It changes nothing, and runs while Pendrel runs. A run takes N minutes and up to one\n"
           "more; Ctrl-C stops it early and reports the minutes recorded so far.\n"
           "  --minutes N      whole minutes to check, 1 to 10\n"
           "  --settings FILE  the setting.ini to take the advances from (or its folder);\n"
           "                   by default the one Pendrel in this folder uses\n"
           "  --sink NAME      record this sink; by default the one Pendrel plays on, else the\n"
           "                   default sink\n"
           "  --server S       pulseaudio or pipewire; by default the one that runs\n"
           "Exit status: 0 when every whole minute recorded carried the right time with no\n"
           "dropout, on an output that is not muted; 1 when the signal is wrong or absent, or\n"
           "no whole minute was recorded (also when stopped early); 2 for a bad command line.\n";
}

MinuteCheck compareMinute(const SentMinute& sent, const runtime::DateTime& heard,
                          const Advances& advances)
{
    MinuteCheck c;
    c.expected = runtime::transmittedTime(heard, advances.days, advances.hours, advances.minutes);
    const runtime::DateTime& e = c.expected;
    const bool sameTime = sent.year == e.year && sent.month == e.month && sent.day == e.day &&
                          sent.hour == e.hour && sent.minute == e.minute;
    c.matches = sameTime && sent.weekday == runtime::weekdayNumber(e) - 1;
    if (!sameTime && sent.month >= 1 && sent.month <= 12 && sent.day >= 1 && sent.day <= 31) {
        const runtime::DateTime s{sent.year, sent.month, sent.day, sent.hour, sent.minute, 0};
        const runtime::DateTime whole{e.year, e.month, e.day, e.hour, e.minute, 0};
        c.offMinutes = static_cast<long>(std::chrono::duration_cast<std::chrono::minutes>(
                                             runtime::toLocalTime(s) - runtime::toLocalTime(whole))
                                             .count());
    }
    return c;
}

Verdict judge(const Findings& f)
{
    Verdict v;
    auto& a = v.advice;
    const bool carried = !(f.toneHz > 0 && f.outputRate > 0 && 2 * f.toneHz >= f.outputRate);
    // A muted output may still hand its monitor the signal: the speaker is silent all the same.
    const bool muted = f.muted.value_or(false);
    if (muted)
        a.push_back("The output is muted: unmute it (Pendrel tells you when its output is muted).");
    if (f.pulses == 0 && !muted) {
        if (f.pendrelPlaying == false)
            a.push_back("Pendrel is not transmitting: start it and switch transmission on, then "
                        "check again.");
        else if (f.peakDb < -90 || f.volumePercent.value_or(100) == 0)
            a.push_back("The output is silent: check that Pendrel transmits, turn the output's "
                        "volume up to "
                        "100 % and make sure nothing silences Pendrel's stream.");
        else if (carried)
            a.push_back("Sound is playing but no pulse a second is heard in it: stop other sounds "
                        "mixed into "
                        "the output, and turn off effects such as equalisers.");
    }
    if (!carried)
        a.push_back(
            printed("The output runs at %.0f Hz, too slow for the %.0f Hz tone of the sound files: "
                    "set the output to 192000 Hz or make the 13.3/20 kHz set.",
                    f.outputRate, f.toneHz));
    if (f.pulses > 0 && f.toneDb < kQuietDb)
        a.push_back(
            printed("The tone is quiet (%.1f dBFS): turn the output's and the system's volume up "
                    "to 100 %%.",
                    f.toneDb));
    if (f.holes > 0)
        a.push_back(printed(
            "The signal dropped out %.0f time(s), the longest %.1f ms: close other programs "
            "that play sound, avoid Bluetooth and HDMI outputs, and keep heavy work off the PC.",
            f.holes, f.longestHoleMs));
    if (f.decoded > f.matching) {
        if (f.offMinutes == 0)
            a.push_back("The minutes carry the wrong weekday: Pendrel's frames are wrong; please "
                        "report it.");
        else
            a.push_back("The time sent differs: it is " + span(f.offMinutes) +
                        (f.offMinutes > 0 ? " ahead of" : " behind") +
                        " the time Pendrel should send; check the advances (days, hours, minutes) "
                        "in Pendrel "
                        "and the PC clock's time zone.");
    }
    if (f.pulses > 0 && f.wholeMinutes > f.decoded)
        a.push_back(
            "Some minutes could not be read although pulses were heard: other sounds or dropouts "
            "broke their pattern.");
    if (f.pulses > 0 && f.worstWidthMs > 20)
        a.push_back(printed(
            "Pulse lengths are off by up to %.0f ms: an effect or another sound on the output "
            "changes the signal.",
            f.worstWidthMs));
    if (f.pulses > 0 && f.edgeMedianMs > 50)
        a.push_back(printed(
            "The pulses come %.0f ms off the PC clock's seconds: a Bluetooth or HDMI output "
            "delays the signal; use the analogue output.",
            f.edgeMedianMs));
    if (f.wholeMinutes == 0 && f.pulses > 0)
        a.push_back(f.interrupted
                        ? "Stopped before a whole minute was recorded: let it run to the end."
                        : "No whole minute was heard: the pulses did not last through a minute.");
    v.pass = !muted && f.wholeMinutes > 0 && f.decoded == f.wholeMinutes &&
             f.matching == f.decoded && f.holes == 0;
    return v;
}

}  // namespace check
