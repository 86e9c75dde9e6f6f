#include "tools/pulse_tone.h"

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <numbers>

namespace tools {

double toneFrequency(int carrierKHz)
{
    return carrierKHz * 1000.0 / 3.0;
}

std::vector<std::int16_t> pulseSamples(int highMs, int carrierKHz)
{
    const double step = 2 * std::numbers::pi * toneFrequency(carrierKHz) / kPulseRate;
    const auto highEnd = static_cast<std::size_t>(highMs) * kPulseRate / 1000;
    std::vector<std::int16_t> out(kPulseRate);
    for (std::size_t n = 0; n < out.size(); ++n) {
        const double level = n < highEnd ? kHighLevel : kLowLevel;
        // The phase is reduced per sample so that rounding does not build up over the second.
        const double phase = std::fmod(step * static_cast<double>(n), 2 * std::numbers::pi);
        out[n] = static_cast<std::int16_t>(std::lround(32767.0 * level * std::sin(phase)));
    }
    return out;
}

bool writePulseFile(const std::string& path, int highMs, int carrierKHz, std::string* error)
{
    const auto samples = pulseSamples(highMs, carrierKHz);
    const std::string temp = path + ".part";
    SF_INFO info{};
    info.samplerate = static_cast<int>(kPulseRate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(temp.c_str(), SFM_WRITE, &info);
    if (!file) {
        if (error) *error = temp + ": " + sf_strerror(nullptr);
        return false;
    }
    const auto count = static_cast<sf_count_t>(samples.size());
    const bool written = sf_write_short(file, samples.data(), count) == count;
    const bool closed = sf_close(file) == 0;
    if (!written || !closed || std::rename(temp.c_str(), path.c_str()) != 0) {
        if (error) *error = path + ": could not be written";
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace tools
