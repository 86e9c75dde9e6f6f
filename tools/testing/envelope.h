#pragma once
// The envelope of a recorded long-wave tone, as the decoders read it: the stretches where the
// tone stands at full carrier and the stretches where it has dropped below the station's
// reduced level. Shared by the JJY decoder and the station decoder.

#include <cstddef>
#include <vector>

namespace tools {

// A run of samples: [start, start + length).
struct Stretch {
    std::size_t start = 0;
    std::size_t length = 0;
    bool cutAtStart = false;  // already running where the recording starts: no edge of its own
    bool cutAtEnd = false;    // still running where the recording ends: no length of its own
    std::size_t end() const { return start + length; }
};

// The loudest |sample|: full carrier, the level the others are judged against.
float peakLevel(const std::vector<float>& samples);

// Every stretch at full carrier, in order: it starts one sample before the first sample above a
// quarter of the peak (the tone's rising zero crossing), holds samples above half of it and ends
// after its last such sample once at least 1 ms passes below half. Any reduced level below a
// quarter of full (10 to 15 %, or the carrier off) lies between these stretches. No length is
// required: callers drop what they take as clicks.
std::vector<Stretch> highStretches(const std::vector<float>& samples, unsigned rate);

// Every run of samples in [from, to) below `floor` for longer than `longest` samples, leaving
// out samples in `unheard` (stretches the recording itself lost).
std::vector<Stretch> quietRuns(const std::vector<float>& samples, std::size_t from, std::size_t to,
                               float floor, std::size_t longest,
                               const std::vector<Stretch>& unheard);

}  // namespace tools
