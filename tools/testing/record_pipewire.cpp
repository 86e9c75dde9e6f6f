// Records what a PipeWire sink plays, through a native capture stream of its monitor, into a
// mono float WAV file (the left channel) at 48 kHz or the rate asked for, up to 192 kHz: the
// graph's own rate, so that nothing is resampled on the way. It writes the same log as pendrel-record:
// per buffer the wall-clock time, the index of its first frame, its length in frames and a
// latency in microseconds, such that time - latency is the moment the first frame was played.
//   pendrel-record-pw [--sink NAME] [--rate HZ] [--seconds N] [--verbose] OUT.wav OUT.log
// At the end it says on stderr the rate the graph ran at ("the graph ran at N Hz"), as its
// clock reports it; the stream does not ask for a rate of its own, so that is the rate the
// sink and its other streams set.
//
// The moment comes from the graph's own clock (see tools/capture/pipewire_capture.cpp, the
// capture shared with pendrel-check). Frames that never reached the stream are recorded as
// silence, so the file's timeline stays the graph's, and logged as "hole FIRST COUNT" so that
// they are not taken for a hole in the signal.
// Stops after N seconds, or on SIGINT/SIGTERM; the files are complete either way.

#include "tools/capture/capture.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    capture::Options options;
    options.name = "pendrel-record";
    std::string wavPath, logPath;
    long rate = 48000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--sink" && i + 1 < argc) options.target = argv[++i];
        else if (arg == "--seconds" && i + 1 < argc) options.seconds = std::stod(argv[++i]);
        else if (arg == "--rate" && i + 1 < argc) rate = std::atol(argv[++i]);
        else if (arg == "--verbose") options.verbose = true;
        else if (wavPath.empty()) wavPath = arg;
        else logPath = arg;
    }
    if (wavPath.empty() || logPath.empty() || rate < 8000 || rate > 192000) {
        std::fprintf(stderr, "usage: %s [--sink NAME] [--rate 8000..192000] [--seconds N] [--verbose] OUT.wav OUT.log\n",
                     argv[0]);
        return 2;
    }
    options.rate = static_cast<unsigned>(rate);
    std::FILE* wavProbe = std::fopen(wavPath.c_str(), "wb");
    std::FILE* log = std::fopen(logPath.c_str(), "w");
    if (wavProbe) std::fclose(wavProbe);
    if (!wavProbe || !log) {
        std::fprintf(stderr, "pendrel-record-pw: cannot write %s or %s\n", wavPath.c_str(), logPath.c_str());
        if (log) std::fclose(log);
        return 1;
    }

    capture::Recording r;
    const bool recorded = capture::recordPipeWire(options, r);
    const bool written = capture::writeWav(wavPath, r);
    capture::writeLog(log, r);
    const bool logged = std::fclose(log) == 0;
    if (!written || !logged)
        std::fprintf(stderr, "pendrel-record-pw: cannot write %s or %s\n", wavPath.c_str(), logPath.c_str());
    if (r.unplaced > 0)
        std::fprintf(stderr, "pendrel-record-pw: %lld buffers came late (kept, placed by their neighbours)\n",
                     r.unplaced);
    if (r.graphRate > 0) {
        std::fprintf(stderr, "pendrel-record-pw: the graph ran at %u Hz\n", r.graphRate);
        if (r.graphRate != r.rate)
            std::fprintf(stderr, "pendrel-record-pw: recorded at %u Hz, resampled from the graph's rate\n", r.rate);
    }
    if (const long long lost = r.lostFrames(); lost > 0)
        std::fprintf(stderr, "pendrel-record-pw: %lld frames were holes in the recording (silence), in %zu places\n",
                     lost, r.lost.size());
    if (r.fragments.empty()) {
        std::fprintf(stderr, "pendrel-record-pw: nothing was recorded\n");
        return 1;
    }
    return recorded && written && logged ? 0 : 1;
}
