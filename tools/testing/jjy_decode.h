#pragma once
// Reads the JJY time code back out of a recording of the sound output: the envelope of the
// tone gives one pulse a second, its width the symbol (200 ms marker, 500 ms one, 800 ms
// zero), and the two markers back to back at the end and start of a minute the frame sync.
// Written from the published layout of the signal, independently of the encoder, so that it
// can check it.

#include "tools/testing/envelope.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tools {

struct Pulse {
    std::size_t start = 0;  // first sample of the pulse (the tone's rising zero crossing)
    std::size_t width = 0;  // samples at the high level
};

// Pulses in a mono recording at any rate up to 192 kHz, of a tone up to a little below half the
// rate (13.3 kHz at 48 kHz, 40 or 60 kHz at 192 kHz). The high level is taken from the loudest
// sample; a pulse is a stretch above half of it, ended by at least 1 ms below. Stretches
// shorter than 50 ms are ignored as clicks, and so are pulses cut off by either end of the
// recording.
std::vector<Pulse> findPulses(const std::vector<float>& samples, unsigned rate);

// A stretch where the signal dropped out: neither the pulse nor the low level between pulses.
using Hole = Stretch;

// Every stretch between the start of the first pulse and the end of the last where the signal
// stays below 3 % of the loudest sample for longer than 0.5 ms (the low level is a tenth of
// it, and a tone of at least a tenth of the rate never sits that low for more than a sample
// or two: 0.5 ms is 24 samples at 48 kHz, 96 at 192 kHz). Samples
// in `unheard` (stretches the recording itself lost) are no fault of the signal and are left
// out.
std::vector<Hole> findHoles(const std::vector<float>& samples, unsigned rate,
                            const std::vector<Pulse>& pulses,
                            const std::vector<Hole>& unheard = {});

// The level of a tone of `frequency` Hz over the high part of the pulses, in dB of full scale:
// the amplitude of the sine (with its phase) that best fits each pulse, its power averaged
// over the pulses. Another tone in the recording adds next to nothing to it, so the carrier
// and, say, a third of it can each be measured in the same recording. -inf without pulses.
double toneLevelDb(const std::vector<float>& samples, unsigned rate,
                   const std::vector<Pulse>& pulses, double frequency);

// 0 marker, 1 one, 2 zero, by the nearest of the three widths.
int symbolOf(double widthMs);

struct Minute {
    std::size_t firstPulse = 0;  // index into the pulses: the second-0 marker
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    int weekday = 0;  // 0 Sunday .. 6 Saturday, as sent
    int dayOfYear = 0;
    bool valid = false;        // markers in place, parities right, fields in range
    std::string problem;       // why not valid
    std::string text() const;  // "YYYY-MM-DD hh:mm"
};

// Every minute that starts with two back-to-back markers, a second apart (within 100 ms), and
// that the recording holds to its end. A minute whose sixty pulses do not each fall on their
// second (within 100 ms) comes back not valid. secondsPerSample converts sample positions to
// seconds.
std::vector<Minute> decodeMinutes(const std::vector<Pulse>& pulses, double secondsPerSample);

// The sixty symbols of one minute, decoded.
Minute decodeFrame(const std::vector<int>& symbols);

}  // namespace tools
