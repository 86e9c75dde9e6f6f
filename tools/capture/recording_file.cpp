#include "tools/capture/capture.h"

#include <sndfile.h>

namespace capture {

void writeLog(std::FILE* out, const Recording& recording)
{
    for (const Fragment& f : recording.fragments) {
        const std::int64_t secs = f.arrivalNs / 1000000000;
        std::fprintf(out, "%lld.%09lld %lld %lld %lld\n", static_cast<long long>(secs),
                     static_cast<long long>(f.arrivalNs - secs * 1000000000), f.first, f.count,
                     f.latencyUs);
    }
    for (const Lost& l : recording.lost) std::fprintf(out, "hole %lld %lld\n", l.first, l.count);
}

bool writeWav(const std::string& path, const Recording& recording)
{
    SF_INFO info{};
    info.samplerate = static_cast<int>(recording.rate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* wav = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!wav) return false;
    const auto n = static_cast<sf_count_t>(recording.samples.size());
    const bool whole = sf_writef_float(wav, recording.samples.data(), n) == n;
    return sf_close(wav) == 0 && whole;
}

}  // namespace capture
