#pragma once
// One second of a long-wave station's signal as sound: the carrier's level pattern (see
// timecode/station.h) on a tone. As with the JJY files, a set is either a sub-harmonic at
// 48 kHz, an odd fraction of the carrier below 20 kHz whose harmonic the output stage makes
// (JJY 40: 13,333 Hz, a third; JJY 60, MSF, WWVB: 20,000 Hz, a third; DCF77: 15,500 Hz and
// BPC: 13,700 Hz, a fifth), or the carrier itself at 96 or 192 kHz for an output that runs at
// that rate. Full carrier is kHighLevel; a reduction plays the station's reduced level of it
// (0 for MSF, which switches off). The tone starts each second at a rising zero crossing and
// its phase runs on across every change of level; there are no fades.

#include "timecode/station.h"

#include <string>
#include <vector>

namespace tools {

struct StationSet {
    timecode::Station station = timecode::Station::Jjy40;
    unsigned directRate = 0;  // 0: the sub-harmonic at 48000 Hz; 96000 or 192000: direct
    bool operator==(const StationSet&) const = default;
};

// The station's carrier in Hz: 40,000, 60,000, 77,500 (DCF77) or 68,500 (BPC).
double carrierFrequency(timecode::Station station);

// The fraction of the carrier the sub-harmonic set plays: 3, or 5 for DCF77 and BPC.
int subHarmonicDivisor(timecode::Station station);

// Empty when the set can be made; otherwise why not, in a sentence for the command line (a rate
// other than 96000 or 192000, or a carrier at or above half the rate).
std::string whyNotMade(const StationSet& set);

// The set's sample rate: 48000 or the direct rate.
unsigned sampleRate(const StationSet& set);

// The tone in Hz: the sub-harmonic or the carrier itself.
double toneFrequency(const StationSet& set);

// The lowest direct rate that carries the station's carrier: 96000 for JJY 40, else 192000.
unsigned lowestDirectRate(timecode::Station station);

// The station's distinct seconds, each with the plain name of its file (without ".wav"):
// jjy40-marker, jjy40-1, jjy40-0 (and jjy60-...); dcf77-0, dcf77-1 and dcf77-59 (no
// reduction); msf-minute and msf-AB for bits A and B (msf-00, msf-10, msf-01, msf-11);
// wwvb-0, wwvb-1, wwvb-marker; bpc-0 .. bpc-3 and bpc-frame (no reduction, seconds 0, 20, 40).
struct NamedSecond {
    std::string name;
    timecode::StationSecond second;
};
std::vector<NamedSecond> distinctSeconds(timecode::Station station);

// The carrier's reduced level in percent of full (see timecode::StationMinute).
int reducedLevelPercent(timecode::Station station);

// Writes one second as a mono 16-bit WAV file at the set's rate, as writePulseFile does.
bool writeStationSecondFile(const std::string& path, const timecode::StationSecond& second,
                            const StationSet& set, std::string* error);

// Exactly sampleRate(set) mono samples of one second, the reductions of `second` played at
// `reducedLevelPercent` of full. The set must be one whyNotMade accepts.
std::vector<float> stationSecondSamples(const timecode::StationSecond& second,
                                        int reducedLevelPercent, const StationSet& set);

}  // namespace tools
