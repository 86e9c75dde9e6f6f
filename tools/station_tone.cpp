#include "tools/station_tone.h"

#include "timecode/station_names.h"

#include "tools/pulse_tone.h"

#include <cmath>
#include <cstdio>
#include <numbers>

namespace tools {

using timecode::Station;

namespace {

std::string kiloHertz(double hz)
{
    char text[16];
    std::snprintf(text, sizeof text, "%g", hz / 1000);
    return text;
}

}  // namespace

double carrierFrequency(Station station)
{
    switch (station) {
    case Station::Jjy40: return 40000;
    case Station::Dcf77: return 77500;
    case Station::Bpc: return 68500;
    case Station::Jjy60:
    case Station::Msf:
    case Station::Wwvb: break;
    }
    return 60000;
}

int subHarmonicDivisor(Station station)
{
    return station == Station::Dcf77 || station == Station::Bpc ? 5 : 3;
}

std::string whyNotMade(const StationSet& set)
{
    if (set.directRate == 0)
        return {};
    if (set.directRate != 96000 && set.directRate != 192000)
        return "a direct set is made at 96000 or 192000 Hz, not " + std::to_string(set.directRate);
    const double carrier = carrierFrequency(set.station);
    if (carrier >= set.directRate / 2.0)
        return "a " + kiloHertz(carrier) + " kHz carrier cannot be made at " +
               std::to_string(set.directRate) + " Hz: that rate carries nothing above " +
               std::to_string(set.directRate / 2000) + " kHz; make it at 192000 Hz";
    return {};
}

unsigned sampleRate(const StationSet& set)
{
    return set.directRate ? set.directRate : kSubHarmonicRate;
}

double toneFrequency(const StationSet& set)
{
    const double carrier = carrierFrequency(set.station);
    return set.directRate ? carrier : carrier / subHarmonicDivisor(set.station);
}

unsigned lowestDirectRate(Station station)
{
    return carrierFrequency(station) < 48000 ? 96000 : 192000;
}

std::vector<float> stationSecondSamples(const timecode::StationSecond& second,
                                        int reducedLevelPercent, const StationSet& set)
{
    const unsigned rate = sampleRate(set);
    const double step = 2 * std::numbers::pi * toneFrequency(set) / rate;
    const double low = kHighLevel * reducedLevelPercent / 100.0;
    std::vector<float> out(rate);
    const auto sampleAt = [rate](int ms) {
        return static_cast<std::size_t>(ms) * rate / 1000;
    };
    std::size_t next = 0;  // the next reduction
    for (std::size_t n = 0; n < out.size(); ++n) {
        while (next < second.reduced.size() &&
               n >= sampleAt(second.reduced[next].startMs + second.reduced[next].lengthMs))
            ++next;
        const bool reduced = next < second.reduced.size() && n >= sampleAt(second.reduced[next].startMs);
        // The phase is reduced per sample so that rounding does not build up over the second.
        const double phase = std::fmod(step * static_cast<double>(n), 2 * std::numbers::pi);
        out[n] = static_cast<float>((reduced ? low : kHighLevel) * std::sin(phase));
    }
    return out;
}

std::vector<NamedSecond> distinctSeconds(Station station)
{
    using timecode::StationSecond;
    const auto from0 = [](int ms) { return StationSecond{{{0, ms}}}; };
    const std::string prefix = std::string(timecode::stationName(station)) + "-";
    std::vector<NamedSecond> out;
    switch (station) {
    case Station::Jjy40:
    case Station::Jjy60:
        // Full carrier first, reduced for the rest of the second.
        out = {{"marker", StationSecond{{{200, 800}}}},
               {"1", StationSecond{{{500, 500}}}},
               {"0", StationSecond{{{800, 200}}}}};
        break;
    case Station::Dcf77:
        out = {{"0", from0(100)}, {"1", from0(200)}, {"59", StationSecond{}}};
        break;
    case Station::Msf:
        out = {{"minute", from0(500)},
               {"00", from0(100)},
               {"10", from0(200)},
               {"01", StationSecond{{{0, 100}, {200, 100}}}},
               {"11", from0(300)}};
        break;
    case Station::Wwvb:
        out = {{"0", from0(200)}, {"1", from0(500)}, {"marker", from0(800)}};
        break;
    case Station::Bpc:
        out = {{"0", from0(100)},
               {"1", from0(200)},
               {"2", from0(300)},
               {"3", from0(400)},
               {"frame", StationSecond{}}};
        break;
    }
    for (auto& s : out) s.name = prefix + s.name;
    return out;
}

int reducedLevelPercent(Station station)
{
    return timecode::stationMinute(station, {}).reducedLevelPercent;
}

bool writeStationSecondFile(const std::string& path, const timecode::StationSecond& second,
                            const StationSet& set, std::string* error)
{
    const auto floats = stationSecondSamples(second, reducedLevelPercent(set.station), set);
    std::vector<std::int16_t> samples(floats.size());
    for (std::size_t n = 0; n < floats.size(); ++n)
        samples[n] = static_cast<std::int16_t>(std::lround(32767.0 * floats[n]));
    return writeSoundFile(path, samples, sampleRate(set), error);
}

}  // namespace tools
