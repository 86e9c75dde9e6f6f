#pragma once
// pendrel-check's reasoning, apart from the sound server: its command line, what the
// transmitted minutes should read, and what the figures measured on a recording of the output
// mean to the user. Plain functions of their arguments; main.cpp records and measures.

#include "runtime/datetime.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace check {

enum class Server { Automatic, PulseAudio, PipeWire };

struct Options {
    int minutes = 2;           // whole minutes to record, 1..10 (a recording is held in memory)
    std::string settingsPath;  // a setting.ini (or its folder); empty: the program's own
    std::string sink;          // the sink to record; empty: the one Pendrel plays on
    Server server = Server::Automatic;
    bool help = false;

    bool operator==(const Options&) const = default;
};

struct ParsedOptions {
    Options options;
    std::string error;  // one line for the user; empty when the command line is good
};

// The arguments after the program's name.
ParsedOptions parseOptions(const std::vector<std::string>& args);
std::string helpText();

// The advances as the program applies them.
struct Advances {
    std::int16_t days = 0;
    std::int16_t hours = 0;
    std::int16_t minutes = 0;
};

// One minute as the recording carried it (fields as decoded: full year, weekday 0 = Sunday).
struct SentMinute {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, weekday = 0;
};

struct MinuteCheck {
    bool matches = false;
    runtime::DateTime expected;  // the PC's local time of its second 0, moved by the advances
    long offMinutes = 0;         // sent minus expected, in minutes (0 when it matches)
};

// The minute whose second-0 marker was heard at the PC's local time `heard` must carry
// `heard` moved by the advances (days, then hours, then minutes), weekday included.
MinuteCheck compareMinute(const SentMinute& sent, const runtime::DateTime& heard,
                          const Advances& advances);

// What the recording showed, as main.cpp measured it.
struct Findings {
    int wholeMinutes = 0;  // minutes the recording held whole, marker pair included
    int decoded = 0;       // minutes whose time code read right
    int matching = 0;      // of those, the ones carrying the expected time
    long offMinutes = 0;   // how far the first wrong minute was off (sent - expected)
    std::size_t pulses = 0;
    double edgeMedianMs = 0;  // |rising edge - PC second boundary|
    double edgeMaxMs = 0;
    int holes = 0;
    double longestHoleMs = 0;
    double worstWidthMs = 0;    // furthest from 200, 500 or 800 ms
    double peakDb = -200;       // loudest sample, dB of full scale
    double toneHz = 0;          // the pulse files' tone (0: not known)
    double toneDb = -200;       // its level in the recording, dB of full scale
    unsigned outputRate = 0;    // the rate the output runs at (0: not known)
    std::optional<bool> muted;  // the output's mute switch, when the server says
    std::optional<int> volumePercent;
    std::optional<bool> pendrelPlaying;  // a stream of Pendrel's plays, when the server says
    bool interrupted = false;
};

struct Verdict {
    // Every whole minute recorded (at least one) carried the expected time, with no hole, on an
    // output that is not muted. A run stopped early is judged on the minutes it holds.
    bool pass = false;
    std::vector<std::string> advice;  // one line for each problem found
};

// Lowest level of the tone that counts as loud enough: the clock hears a sub-harmonic set
// only through the output's distortion, which needs the volume near full.
inline constexpr double kQuietDb = -6.0;

Verdict judge(const Findings& f);

}  // namespace check
