#include "platform/sound_file.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace platform {

namespace {

// Kernel half-width in zero crossings of the lower of the two rates: long enough that the
// 13.3 kHz and 20 kHz carriers pass at full level and their images stay far down.
constexpr int kZeroCrossings = 32;
constexpr int kTableSteps = 512;  // kernel samples per zero crossing

double blackman(double x)  // x in -1 .. 1
{
    return 0.42 + 0.5 * std::cos(std::numbers::pi * x) + 0.08 * std::cos(2 * std::numbers::pi * x);
}

// sinc(t) * window(t / width), for t in zero crossings, tabulated from 0 to the width.
std::vector<double> kernelTable()
{
    std::vector<double> table(kZeroCrossings * kTableSteps + 2);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const double t = static_cast<double>(i) / kTableSteps;
        const double sinc = i == 0 ? 1.0 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
        table[i] = t >= kZeroCrossings ? 0.0 : sinc * blackman(t / kZeroCrossings);
    }
    return table;
}

}  // namespace

std::vector<float> resample(const std::vector<float>& samples, unsigned channels,
                            unsigned fromRate, unsigned toRate)
{
    if (channels == 0 || fromRate == 0 || toRate == 0 || fromRate == toRate) return samples;
    static const std::vector<double> table = kernelTable();

    const std::size_t inFrames = samples.size() / channels;
    const auto outFrames = static_cast<std::size_t>(
        std::llround(static_cast<double>(inFrames) * toRate / fromRate));
    // Cut-off just below the lower Nyquist frequency; going down in rate the kernel widens so
    // that nothing above the new Nyquist folds back.
    const double scale = std::min(1.0, static_cast<double>(toRate) / fromRate) * 0.97;
    const double reach = kZeroCrossings / scale;  // in input frames
    const double step = static_cast<double>(fromRate) / toRate;

    std::vector<float> out(outFrames * channels, 0.0f);
    std::vector<double> acc(channels);
    for (std::size_t n = 0; n < outFrames; ++n) {
        const double centre = static_cast<double>(n) * step;
        const auto first = static_cast<long long>(std::ceil(centre - reach));
        const auto last = static_cast<long long>(std::floor(centre + reach));
        std::fill(acc.begin(), acc.end(), 0.0);
        for (long long k = std::max(0LL, first);
             k <= std::min(last, static_cast<long long>(inFrames) - 1); ++k) {
            const double pos = std::abs(centre - static_cast<double>(k)) * scale * kTableSteps;
            const auto idx = static_cast<std::size_t>(pos);
            const double frac = pos - static_cast<double>(idx);
            if (idx + 1 >= table.size()) continue;
            const double w = (table[idx] + (table[idx + 1] - table[idx]) * frac) * scale;
            const float* frame = &samples[static_cast<std::size_t>(k) * channels];
            for (unsigned c = 0; c < channels; ++c) acc[c] += w * frame[c];
        }
        for (unsigned c = 0; c < channels; ++c)
            out[n * channels + c] = static_cast<float>(acc[c]);
    }
    return out;
}

std::vector<float> convertChannels(const std::vector<float>& samples, unsigned fromChannels,
                                   unsigned toChannels)
{
    if (fromChannels == toChannels || fromChannels == 0 || toChannels == 0) return samples;
    const std::size_t frames = samples.size() / fromChannels;
    std::vector<float> out(frames * toChannels);
    for (std::size_t f = 0; f < frames; ++f) {
        const float* in = &samples[f * fromChannels];
        float mean = 0.0f;
        for (unsigned c = 0; c < fromChannels; ++c) mean += in[c];
        mean /= static_cast<float>(fromChannels);
        for (unsigned c = 0; c < toChannels; ++c) {
            float v = mean;
            if (fromChannels == 1) v = in[0];
            else if (toChannels > 1 && c < fromChannels) v = in[c];
            out[f * toChannels + c] = v;
        }
    }
    return out;
}

std::optional<Pcm> decodeSoundFile(const std::string& path, unsigned rate, unsigned channels,
                                   std::string* error)
{
    auto fail = [&](std::string why) -> std::optional<Pcm> {
        if (error) *error = path + ": " + why;
        return std::nullopt;
    };
    if (rate == 0 || channels == 0) return fail("no output format");

    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return fail(sf_strerror(nullptr));
    struct Closer {
        SNDFILE* f;
        ~Closer() { sf_close(f); }
    } closer{file};

    if (info.channels <= 0 || info.samplerate <= 0) return fail("no channels or no rate");
    // One second of sound is what the program plays; a minute is far more than any pulse file.
    constexpr sf_count_t kMaxFrames = 60LL * 192000;
    if (info.frames > kMaxFrames) return fail("too long");

    const auto inChannels = static_cast<unsigned>(info.channels);
    std::vector<float> samples(static_cast<std::size_t>(info.frames) * inChannels);
    // Integer formats are scaled so that full scale reads as 1.0, which is libsndfile's
    // default for float reads; float files are read as they are.
    const sf_count_t got = sf_readf_float(file, samples.data(), info.frames);
    if (got < 0) return fail(sf_strerror(file));
    samples.resize(static_cast<std::size_t>(got) * inChannels);

    Pcm pcm;
    pcm.rate = rate;
    pcm.channels = channels;
    pcm.samples = resample(convertChannels(samples, inChannels, channels), channels,
                           static_cast<unsigned>(info.samplerate), rate);
    for (float& s : pcm.samples) s = std::clamp(s, -1.0f, 1.0f);
    return pcm;
}

std::optional<FileStamp> stampOf(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    FileStamp stamp;
    stamp.inode = static_cast<std::uint64_t>(st.st_ino);
    stamp.size = static_cast<std::int64_t>(st.st_size);
    stamp.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return stamp;
}

SoundCache::Lookup SoundCache::lookup(const std::string& path) const
{
    const auto stamp = stampOf(path);
    if (!stamp) return {true, nullptr};
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(path);
    if (it == m_entries.end() || !(it->second.stamp == *stamp)) return {false, nullptr};
    return {true, it->second.pcm};
}

std::shared_ptr<const Pcm> SoundCache::load(const std::string& path)
{
    const auto stamp = stampOf(path);
    if (!stamp) {
        std::lock_guard lock(m_mutex);
        m_entries.erase(path);
        return nullptr;
    }
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_entries.find(path);
        if (it != m_entries.end() && it->second.stamp == *stamp) return it->second.pcm;
    }
    std::shared_ptr<const Pcm> pcm;
    if (auto decoded = decodeSoundFile(path, m_rate, m_channels))
        pcm = std::make_shared<const Pcm>(std::move(*decoded));
    // A file rewritten while it was read gets a new stamp, so the next lookup reads it again.
    std::lock_guard lock(m_mutex);
    m_entries[path] = Entry{*stamp, pcm};
    return pcm;
}

}  // namespace platform
