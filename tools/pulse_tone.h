#pragma once
// The three pulse files the program plays: one second of a tone whose third harmonic, from
// the sound card's output stage, falls on the time-signal carrier. The pulse is the tone at
// nearly full scale for 200, 500 or 800 ms, then the same tone at a tenth of that level (the
// carrier's reduced level) up to exactly one second. The tone starts at a rising zero
// crossing and its phase runs on across the change of level; there are no fades.

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

inline constexpr unsigned kPulseRate = 48000;
inline constexpr double kHighLevel = 0.97723722;  // -0.2 dBFS
inline constexpr double kLowLevel = kHighLevel / 10;

// 40 (JJY Fukushima, a 13,333.3 Hz tone) or 60 (JJY Kyushu, a 20,000 Hz tone).
double toneFrequency(int carrierKHz);

// Exactly kPulseRate samples of 16-bit PCM.
std::vector<std::int16_t> pulseSamples(int highMs, int carrierKHz);

// Writes a mono 48 kHz 16-bit WAV file; false with a message on failure. The file is written
// beside its final name and renamed into place, so a reader never sees half a file.
bool writePulseFile(const std::string& path, int highMs, int carrierKHz, std::string* error);

}  // namespace tools
