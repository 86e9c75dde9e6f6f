#pragma once
// pendrel-send without its sound and its terminal: the command line read into options, the time
// each minute sends, where a run starts and ends, and how the sound output's state is told in
// English. Plain functions of their arguments; the clock, the time zone and the sound output come
// in from the caller.

#include "platform/sound/sound_output.h"
#include "runtime/datetime.h"
#include "timecode/station.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace send {

struct Options {
    timecode::Station station = timecode::Station::Jjy40;
    unsigned directRate = 0;  // 0: the sub-harmonic set at 48 kHz; else --direct at this rate
    // --for: how long to send, whole seconds; --until: the time of day (PC clock) to stop at.
    // Neither: live it sends until stopped, --wav writes kDefaultWavLength.
    std::optional<std::chrono::seconds> length;
    std::optional<std::chrono::minutes> until;  // minutes after midnight, 0 .. 1439
    // The advances of the time to show over the PC's time, as the window keeps them.
    std::int16_t days = 0, hours = 0, minutes = 0;
    std::string settingsPath;  // --settings: read the advances from there instead
    timecode::SummerTime summer = timecode::SummerTime::Auto;
    std::optional<int> clockZoneMinutes;  // --clock-zone, minutes east of UTC (WWVB only)
    std::string wavPath;                  // --wav
    std::optional<runtime::DateTime> at;  // --at: the PC's local time of the first minute
    bool help = false;
    bool version = false;
    bool operator==(const Options&) const = default;
};

inline constexpr std::chrono::seconds kDefaultWavLength{120};

struct Parsed {
    Options options;
    std::string error;  // one line; non-empty: the command line is refused (status 2)
};

// Reads the arguments after the program's name.
Parsed parseOptions(const std::vector<std::string>& args);

// What a minute sends: the time the clock is to show at its start, and what the station
// encodes for it.
struct PlannedMinute {
    runtime::DateTime shown;       // the PC's time plus the advances, at the minute's start
    timecode::MinuteToSend toSend;  // in the station's own time (UTC for WWVB)
    bool operator==(const PlannedMinute&) const = default;
};

// How the minutes are worked out, from the options and what the caller read of the PC.
struct TimePlan {
    timecode::Station station = timecode::Station::Jjy40;
    std::int16_t days = 0, hours = 0, minutes = 0;
    timecode::SummerTime summer = timecode::SummerTime::Auto;
    int clockZoneMinutes = 0;  // WWVB: the clock's standard offset, minutes east of UTC
};

// The minute that starts at the PC's local time `pcMinute` (seconds ignored). Stations that
// send civil time send the time to show as their own; their summer-time bits follow their
// rules for that time (or the forced state). WWVB sends the UTC at which a clock in the plan's
// zone, following the US summer-time rules, shows that time.
PlannedMinute planMinute(const TimePlan& plan, const runtime::DateTime& pcMinute);

// The UTC at which a WWVB clock whose standard offset is `standardOffsetMinutes` east of UTC
// shows the civil time `shown`. With `summer` Auto the clock keeps US summer time (from 02:00
// on the second Sunday of March to 02:00 summer time on the first Sunday of November): a time
// in the skipped spring hour reads as standard time, the repeated autumn hour as its first,
// summer-time pass. On and Off fix the clock's state.
runtime::DateTime wwvbUtcFor(const runtime::DateTime& shown, int standardOffsetMinutes,
                             timecode::SummerTime summer);

// The PC zone's standard offset in minutes east of UTC in `year`: the smaller of its offsets at
// the start of January and of July (summer time is always the larger one). `offsetAt` gives the
// zone's offset in seconds east of UTC at a moment; systemOffsetAt reads the PC's zone.
int standardOffsetMinutes(int year, const std::function<long(std::time_t)>& offsetAt);
long systemOffsetAt(std::time_t t);

// The first minute a run sends: the next minute boundary after `now` (a reading of the clock
// the plays are placed by). A run that starts on a boundary exactly sends that minute.
runtime::LocalTime firstMinute(runtime::LocalTime now);

// The boundary a live run stops at (the last second sent ends there), on the same clock, or
// nullopt to send until stopped. `start` is when the command started on the PC clock: --for
// counts from there, rounded up to a whole second; --until is the next such time after it
// (tomorrow's when today's is past, or is now).
std::optional<runtime::LocalTime> liveEnd(const Options& options, runtime::LocalTime start);

// One second as a name for the sound output: the same name for the same level pattern.
std::string soundName(const timecode::StationSecond& second);

// The line a minute is told by: the time to show, what the station sends when that differs,
// and the minute in the station's notation.
//   "2026-12-09 17:05  DCF77  --0-1...-"
//   "2026-12-09 09:05  WWVB as 2026-12-09 17:05 UTC  M01..."
std::string minuteLine(const PlannedMinute& minute, const timecode::StationMinute& sent);

// What keeps the signal from getting out, as the window tells it, in English, one line each;
// empty when nothing does. Includes an output rate too low for the tone.
std::vector<std::string> problemsOf(const platform::SoundStatus& status);

// What on the way out may keep the signal from a clock although it goes out, as the window tells
// it, in English, one line each: a mute, a volume below 50 %, a Bluetooth or HDMI/DisplayPort
// device, other programs playing on the same device. Empty while our stream does not play.
std::vector<std::string> routeProblemsOf(const platform::SoundStatus& status);

// The terminal's view of the signal's state, told once a second: a problem that lasts two
// seconds is told (again when it changes), and its end once. What keeps the signal from getting
// out is told as "no signal: ...", what may keep it from a clock as "may not reach the clock: ...";
// only the first counts as trouble for everTold().
class TroubleWatch {
public:
    // The lines to print now (problems, or that the signal goes out again); usually none.
    std::vector<std::string> look(const platform::SoundStatus& status, runtime::LocalTime now);
    // Whether the signal has been in trouble at any time so far.
    bool everTold() const { return m_everTold; }

private:
    std::vector<std::string> m_seen;  // the problems as last seen
    std::optional<runtime::LocalTime> m_since;
    std::vector<std::string> m_told;  // what was told, while an episode lasts
    bool m_everTold = false;
};

}  // namespace send
