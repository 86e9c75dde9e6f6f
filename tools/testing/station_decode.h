#pragma once
// Reads the time code of any of the long-wave stations back out of a recording of the sound
// output: the envelope gives per second the stretches where the carrier is reduced, their
// places and lengths the station's symbol, the station's minute mark the frame, and the frame
// the time it carries. Written from the stations' published layouts, independently of the
// encoders, so that it can check them. JJY is read as by the JJY decoder (decodeFrame).

#include "runtime/datetime.h"
#include "timecode/station.h"
#include "tools/testing/envelope.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tools {

struct StationDecodeOptions {
    // A sample known to start a minute (a rendered file starts one at sample 0): the seconds are
    // counted from it, and a minute starts there even without the station's mark before it.
    std::optional<std::size_t> minuteStartsAt;
    // Stretches the recording itself lost: no hole of the signal is counted there.
    std::vector<Stretch> unheard;
};

// One second as heard.
struct HeardSecond {
    // Where the second starts, as the station marks it: the rising edge of full carrier for JJY,
    // the falling edge of the first reduction for the others. For a second without its own mark
    // (DCF77's last second, BPC's frame starts, or one the signal lost) it is a whole second
    // after the mark before, and `marked` is false.
    std::size_t edge = 0;
    bool marked = false;
    std::vector<Stretch> reductions;  // in the order heard, each one starting in this second
    char symbol = '?';                // as timecode::notation writes it; '?' fits no symbol
    double widthErrorMs = 0;  // the largest distance of a reduction's place or length from it
};

struct HeardMinute {
    std::size_t firstSecond = 0;  // index into the seconds: second 0 of the minute
    int length = 60;              // seconds: 61 with a leap second
    // The minute being sent, in the station's own time, as timecode::MinuteToSend::time gives
    // it: the time the frame carries, less a minute for DCF77 and MSF, whose frames carry the
    // next minute (across a summer-time change the clock moves by an hour as well).
    runtime::DateTime sent;
    runtime::DateTime says;   // the time the frame itself carries
    std::string notation;     // one character a second
    bool summerTime = false;  // DCF77 Z1, MSF B58, WWVB bit 58 (in effect at 00:00 UTC today)
    bool summerChangeAnnounced = false;  // DCF77 A1, MSF B53, WWVB bit 57 differing from 58
    bool leapSecondAnnounced = false;    // DCF77 A2, WWVB bit 56
    bool valid = false;
    std::string problem;       // why not valid
    std::string text() const;  // the minute sent: "YYYY-MM-DD hh:mm"
};

struct StationDecode {
    std::vector<HeardSecond> seconds;
    std::vector<HeardMinute> minutes;
    // Stretches where the signal dropped out: a reduction that is none of the station's own
    // (wrong place or length), and, for stations that keep a reduced carrier, any stretch below
    // 3 % of full carrier for longer than 0.5 ms.
    std::vector<Stretch> holes;
};

// Decodes a mono recording at any rate up to 192 kHz. A second's reductions are read within
// 40 ms of their places and lengths; a minute is reported when it lies whole in the recording.
StationDecode decodeStation(timecode::Station station, const std::vector<float>& samples,
                            unsigned rate, const StationDecodeOptions& options = {});

// The frame of one minute from its symbols (notation characters, 60 or 61 of them), for every
// station but JJY, whose frame decodeFrame reads. `symbols` may hold fewer than a minute only
// where that is said to be wrong.
HeardMinute decodeStationFrame(timecode::Station station, const std::string& symbols);

}  // namespace tools
