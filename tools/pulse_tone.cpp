#include "tools/pulse_tone.h"

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <numbers>

namespace tools {

std::string whyNotMade(const PulseSet& set)
{
    if (set.carrierKHz != 40 && set.carrierKHz != 60)
        return "the carrier is 40 or 60 (kHz), not " + std::to_string(set.carrierKHz);
    if (set.directRate == 0)
        return {};
    if (set.directRate != 96000 && set.directRate != 192000)
        return "a direct set is made at 96000 or 192000 Hz, not " + std::to_string(set.directRate);
    // The output's filter keeps only what lies below half its rate.
    if (set.carrierKHz * 1000.0 >= set.directRate / 2.0)
        return "a " + std::to_string(set.carrierKHz) + " kHz tone cannot be made at " +
               std::to_string(set.directRate) + " Hz: that rate carries nothing above " +
               std::to_string(set.directRate / 2000) + " kHz; make it at 192000 Hz";
    return {};
}

unsigned sampleRate(const PulseSet& set)
{
    return set.directRate ? set.directRate : kSubHarmonicRate;
}

double toneFrequency(const PulseSet& set)
{
    return set.directRate ? set.carrierKHz * 1000.0 : set.carrierKHz * 1000.0 / 3.0;
}

std::vector<std::int16_t> pulseSamples(int highMs, const PulseSet& set)
{
    const unsigned rate = sampleRate(set);
    const double step = 2 * std::numbers::pi * toneFrequency(set) / rate;
    const auto highEnd = static_cast<std::size_t>(highMs) * rate / 1000;
    std::vector<std::int16_t> out(rate);
    for (std::size_t n = 0; n < out.size(); ++n) {
        const double level = n < highEnd ? kHighLevel : kLowLevel;
        // The phase is reduced per sample so that rounding does not build up over the second.
        const double phase = std::fmod(step * static_cast<double>(n), 2 * std::numbers::pi);
        out[n] = static_cast<std::int16_t>(std::lround(32767.0 * level * std::sin(phase)));
    }
    return out;
}

bool writePulseFile(const std::string& path, int highMs, const PulseSet& set, std::string* error)
{
    return writeSoundFile(path, pulseSamples(highMs, set), sampleRate(set), error);
}

bool writeSoundFile(const std::string& path, const std::vector<std::int16_t>& samples,
                    unsigned rate, std::string* error)
{
    const std::string temp = path + ".part";
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(temp.c_str(), SFM_WRITE, &info);
    if (!file) {
        if (error) *error = temp + ": " + sf_strerror(nullptr);
        return false;
    }
    const auto count = static_cast<sf_count_t>(samples.size());
    const bool written = sf_write_short(file, samples.data(), count) == count;
    // On the disk before it takes the old file's name: a crash leaves the old file or the new.
    sf_write_sync(file);
    const bool closed = sf_close(file) == 0;
    if (!written || !closed || std::rename(temp.c_str(), path.c_str()) != 0) {
        if (error) *error = path + ": could not be written";
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace tools
