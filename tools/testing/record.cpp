// Records a PulseAudio source (by default the monitor of the default sink) into a mono float
// WAV file at 48 kHz or the rate asked for (up to 192 kHz: record at the sink's own rate, so
// that the server resamples nothing on the way), and logs for every fragment received: the
// wall-clock time of its arrival, the number of frames recorded before it, its length in frames
// and the stream's latency at that moment in microseconds (how long before its arrival the
// fragment's first frame was heard; negative when it arrived before it was heard). The latency
// comes from the server's own timing reports (which frame it was capturing, and the sink's
// delay, on the server's clock), asked for all along; libpulse's interpolation of them learns
// a rate from their arrival and swings by milliseconds on a busy machine, more than what is
// measured here. A stretch the server could not deliver is recorded as silence and logged as
// "hole FIRST COUNT", so that it is not taken for a hole in the signal. pendrel-decode fits
// sample index to wall-clock time from that log.
//   pendrel-record [--device NAME] [--rate HZ] [--seconds N] OUT.wav OUT.log
// Stops after N seconds, or on SIGINT/SIGTERM; the files are complete either way. The capture
// itself is tools/capture's, shared with pendrel-check.

#include "tools/capture/capture.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    capture::Options options;
    options.name = "pendrel-record";
    long rate = 48000;
    std::string wavPath, logPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--device" && i + 1 < argc) options.target = argv[++i];
        else if (arg == "--seconds" && i + 1 < argc) options.seconds = std::stod(argv[++i]);
        else if (arg == "--rate" && i + 1 < argc) rate = std::atol(argv[++i]);
        else if (wavPath.empty()) wavPath = arg;
        else logPath = arg;
    }
    if (wavPath.empty() || logPath.empty() || rate < 8000 || rate > 192000) {
        std::fprintf(stderr, "usage: %s [--device NAME] [--rate 8000..192000] [--seconds N] OUT.wav OUT.log\n", argv[0]);
        return 2;
    }
    options.rate = static_cast<unsigned>(rate);
    std::FILE* wavProbe = std::fopen(wavPath.c_str(), "wb");
    std::FILE* log = std::fopen(logPath.c_str(), "w");
    if (wavProbe) std::fclose(wavProbe);
    if (!wavProbe || !log) {
        std::fprintf(stderr, "pendrel-record: cannot write %s or %s\n", wavPath.c_str(), logPath.c_str());
        if (log) std::fclose(log);
        return 1;
    }
    capture::Recording recording;
    const bool recorded = capture::recordPulse(options, recording);
    const bool written = capture::writeWav(wavPath, recording);
    capture::writeLog(log, recording);
    const bool logged = std::fclose(log) == 0;
    if (!written || !logged)
        std::fprintf(stderr, "pendrel-record: cannot write %s or %s\n", wavPath.c_str(), logPath.c_str());
    if (const long long lost = recording.lostFrames(); lost > 0)
        std::fprintf(stderr, "pendrel-record: %lld frames were holes in the recording (silence)\n", lost);
    return recorded && written && logged ? 0 : 1;
}
