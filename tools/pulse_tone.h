#pragma once
// The three pulse files the program plays: one second of a tone at nearly full scale for 200,
// 500 or 800 ms, then the same tone at a tenth of that level (the carrier's reduced level) up
// to exactly one second. The tone starts at a rising zero crossing and its phase runs on
// across the change of level; there are no fades.
//
// A set is made either for the sound card's distortion or for a fast output:
// - sub-harmonic (48 kHz files): the tone is a third of the carrier, 13,333.3 Hz for the
//   40 kHz clocks and 20,000 Hz for the 60 kHz ones, and the clock hears only the third
//   harmonic that the output stage adds, far below the tone;
// - direct (96 or 192 kHz files): the tone is the carrier itself, at the same level, for an
//   output that runs at the files' rate.

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

inline constexpr unsigned kSubHarmonicRate = 48000;
inline constexpr double kHighLevel = 0.97723722;  // -0.2 dBFS
inline constexpr double kLowLevel = kHighLevel / 10;

struct PulseSet {
    int carrierKHz = 40;      // 40 (JJY Fukushima) or 60 (JJY Kyushu)
    unsigned directRate = 0;  // 0: the sub-harmonic set; 96000 or 192000: the direct set
    bool operator==(const PulseSet&) const = default;
};

// Empty when the set can be made; otherwise why not, in a sentence for the command line
// (a carrier other than 40 or 60, a rate other than 96000 or 192000, or a carrier at or above
// half the rate, which the rate cannot carry).
std::string whyNotMade(const PulseSet& set);

// The files' sample rate: kSubHarmonicRate or the direct rate.
unsigned sampleRate(const PulseSet& set);

// The tone in Hz: a third of the carrier, or the carrier itself.
double toneFrequency(const PulseSet& set);

// Exactly sampleRate(set) samples of 16-bit PCM. The set must be one whyNotMade accepts.
std::vector<std::int16_t> pulseSamples(int highMs, const PulseSet& set);

// Writes a mono 16-bit WAV file at the set's rate; false with a message on failure. The file
// is written beside its final name and renamed into place, so a reader never sees half a file.
bool writePulseFile(const std::string& path, int highMs, const PulseSet& set, std::string* error);

// The same for any samples at any rate: written beside `path`, flushed to the disk, renamed.
bool writeSoundFile(const std::string& path, const std::vector<std::int16_t>& samples,
                    unsigned rate, std::string* error);

}  // namespace tools
