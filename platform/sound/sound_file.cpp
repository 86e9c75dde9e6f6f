#include "platform/sound/sound_file.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
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

namespace {

// A pulse file holds one second of sound; anything much longer is not a pulse, and refusing it
// before reading keeps a wrong or hostile header from taking the memory or the time of the
// decoding thread.
constexpr double kMaxSeconds = 5.0;
// Beyond these a header is not believed: no sound card plays them, and the rate conversion's
// work grows with the input rate.
constexpr int kMaxRate = 384000;
constexpr int kMinRate = 1000;
constexpr int kMaxChannels = 8;
// 5 s of stereo at the highest rate: 15 MB of samples before conversion, whatever the header.
constexpr double kMaxSamples = kMaxSeconds * kMaxRate * 2;

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

// For a WAV file: whether its data chunk claims more bytes than the file holds. libsndfile then
// quietly plays what is there, and a pulse cut short would be read by a clock as another kind
// of pulse. Other formats, and WAV files it cannot walk, are left to libsndfile.
bool wavDataCutShort(const std::string& path, std::int64_t fileSize)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    struct Closer {
        std::FILE* f;
        ~Closer() { std::fclose(f); }
    } closer{f};
    unsigned char head[12];
    if (std::fread(head, 1, 12, f) != 12 || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0)
        return false;
    std::int64_t offset = 12;
    for (int chunk = 0; chunk < 64 && offset + 8 <= fileSize; ++chunk) {
        unsigned char hdr[8];
        if (std::fseek(f, static_cast<long>(offset), SEEK_SET) != 0 || std::fread(hdr, 1, 8, f) != 8)
            return false;
        const std::int64_t size = std::int64_t(hdr[4]) | std::int64_t(hdr[5]) << 8 |
                                  std::int64_t(hdr[6]) << 16 | std::int64_t(hdr[7]) << 24;
        if (std::memcmp(hdr, "data", 4) == 0) return offset + 8 + size > fileSize;
        offset += 8 + size + (size & 1);
    }
    return false;
}

// The frequency of the tone in the first channel, from its sign changes: a pure tone changes
// sign twice a period. A file's own rate is what it was written at, so a 40 kHz tone at 96 kHz
// is counted before any conversion could take it out.
double toneFrequency(const std::vector<float>& samples, unsigned channels, unsigned rate)
{
    const std::size_t frames = samples.size() / channels;
    if (frames < 2 || rate == 0) return 0;
    std::size_t changes = 0;
    bool positive = samples[0] > 0;
    for (std::size_t n = 1; n < frames; ++n) {
        const float v = samples[n * channels];
        if (v == 0.0f) continue;
        if ((v > 0) != positive) {
            ++changes;
            positive = v > 0;
        }
    }
    return static_cast<double>(changes) / 2.0 * rate / static_cast<double>(frames);
}

// Samples at their own rate and channel count, as the stream plays them.
Pcm converted(const std::vector<float>& samples, unsigned inChannels, unsigned inRate,
              unsigned rate, unsigned channels)
{
    Pcm pcm;
    pcm.rate = rate;
    pcm.channels = channels;
    pcm.fileRate = inRate;
    pcm.toneHz = toneFrequency(samples, inChannels, inRate);
    pcm.samples = resample(convertChannels(samples, inChannels, channels), channels, inRate, rate);
    for (float& s : pcm.samples) {
        if (!std::isfinite(s)) s = 0.0f;  // a float file may hold NaN or infinity
        s = std::clamp(s, -1.0f, 1.0f);
    }
    pcm.holdFrames = seamlessTail(pcm.samples, channels, rate);
    return pcm;
}

std::optional<Pcm> decode(const std::string& path, unsigned rate, unsigned channels,
                          std::string& why)
{
    auto fail = [&](std::string reason) -> std::optional<Pcm> {
        why = std::move(reason);
        return std::nullopt;
    };
    if (rate == 0 || channels == 0) return fail("出力の形式が決まっていません");

    // Only regular files: a folder, a device such as /dev/zero or a pipe is never opened, so
    // nothing can block on it or read from it without end.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return fail("ファイルがありません");
    if (!S_ISREG(st.st_mode)) return fail("普通のファイルではありません（フォルダや装置など）");
    if (st.st_size == 0) return fail("ファイルが空です");

    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        return fail(std::string("音声ファイルとして読めません（") + sf_strerror(nullptr) + "）");
    struct Closer {
        SNDFILE* f;
        ~Closer() { sf_close(f); }
    } closer{file};

    if (info.channels <= 0 || info.channels > kMaxChannels)
        return fail("チャンネル数 " + std::to_string(info.channels) + " は扱えません（1〜" +
                    std::to_string(kMaxChannels) + "）");
    if (info.samplerate < kMinRate || info.samplerate > kMaxRate)
        return fail("サンプリング周波数 " + std::to_string(info.samplerate) +
                    " Hz は扱えません（" + std::to_string(kMinRate) + "〜" +
                    std::to_string(kMaxRate) + " Hz）");
    if (info.frames <= 0) return fail("音が入っていません");
    if (wavDataCutShort(path, static_cast<std::int64_t>(st.st_size)))
        return fail("データが途中で切れています");
    const double seconds = static_cast<double>(info.frames) / info.samplerate;
    if (seconds > kMaxSeconds)
        return fail("長さ " + secondsText(seconds) + " 秒はパルスの音として長すぎます（" +
                    secondsText(kMaxSeconds) + " 秒まで）");

    if (static_cast<double>(info.frames) * info.channels > kMaxSamples)
        return fail("データが大きすぎます（" + std::to_string(info.channels) + " チャンネル、" +
                    secondsText(seconds) + " 秒）");

    // Bounded by the checks above: at most kMaxSamples before conversion, 5 s at the stream's
    // rate after it.
    const auto inChannels = static_cast<unsigned>(info.channels);
    std::vector<float> samples(static_cast<std::size_t>(info.frames) * inChannels);
    // Integer formats are scaled so that full scale reads as 1.0, which is libsndfile's
    // default for float reads; float files are read as they are.
    const sf_count_t got = sf_readf_float(file, samples.data(), info.frames);
    if (got < 0) return fail(std::string("読み込みに失敗しました（") + sf_strerror(file) + "）");
    if (got < info.frames)
        return fail("データが途中で切れています（" + secondsText(seconds) + " 秒のうち " +
                    secondsText(static_cast<double>(got) / info.samplerate) + " 秒）");

    return converted(samples, inChannels, static_cast<unsigned>(info.samplerate), rate, channels);
}

}  // namespace

std::size_t seamlessTail(const std::vector<float>& samples, unsigned channels, unsigned rate)
{
    if (channels == 0 || rate == 0) return 0;
    const std::size_t frames = samples.size() / channels;
    // Compared over the last 5 ms, for stretches of up to 20 ms: whole periods of any tone
    // from a few hundred hertz up, and of a 13.3 kHz tone at 48 kHz (5 periods in 18 frames).
    const std::size_t window = std::max<std::size_t>(rate / 200, 8);
    const std::size_t longest = std::min<std::size_t>(rate / 50, frames > window ? (frames - window) / 2 : 0);
    if (longest == 0) return 0;
    const auto at = [&](std::size_t frame) { return static_cast<double>(samples[frame * channels]); };
    double energy = 0;
    for (std::size_t k = 0; k < window; ++k) energy += at(frames - 1 - k) * at(frames - 1 - k);
    // A silent end needs nothing held: the stream is silent past it anyway.
    if (energy < 1e-9 * static_cast<double>(window)) return 0;
    // The first length at which the end matches itself to -40 dB; failing that, the best
    // one if it matches to -20 dB (a tone a little off its nominal frequency).
    std::size_t best = 0;
    double bestError = 1e-2;
    for (std::size_t length = 1; length <= longest; ++length) {
        double error = 0;
        for (std::size_t k = 0; k < window && error <= bestError * energy; ++k) {
            const double d = at(frames - 1 - k) - at(frames - 1 - k - length);
            error += d * d;
        }
        error /= energy;
        if (error < 1e-4) return length;
        if (error < bestError) {
            bestError = error;
            best = length;
        }
    }
    return best;
}

std::optional<Pcm> decodeSoundFile(const std::string& path, unsigned rate, unsigned channels,
                                   std::string* error)
{
    std::string why;
    std::optional<Pcm> pcm;
    // The decoder runs on the output's own thread, which has nobody above it to catch: every
    // failure, down to memory running out, ends here as a reason.
    try {
        pcm = decode(path, rate, channels, why);
    } catch (const std::bad_alloc&) {
        why = "メモリが足りません";
    } catch (const std::exception& e) {
        why = std::string("読み込みに失敗しました（") + e.what() + "）";
    } catch (...) {
        why = "読み込みに失敗しました";
    }
    if (!pcm && error) *error = path + ": " + why;
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
    {
        std::lock_guard lock(m_mutex);
        if (m_made.contains(path)) {
            const auto it = m_entries.find(path);
            if (it == m_entries.end()) return {false, nullptr};
            return {true, it->second.pcm};
        }
    }
    const auto stamp = stampOf(path);
    if (!stamp) return {true, nullptr};
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(path);
    if (it == m_entries.end() || !(it->second.stamp == *stamp)) return {false, nullptr};
    return {true, it->second.pcm};
}

std::shared_ptr<const Pcm> SoundCache::load(const std::string& path)
{
    {
        std::unique_lock lock(m_mutex);
        if (const auto made = m_made.find(path); made != m_made.end()) {
            if (const auto it = m_entries.find(path); it != m_entries.end()) return it->second.pcm;
            const Made sound = made->second;
            if (!sound.samples) {
                m_entries[path] = Entry{FileStamp{}, nullptr};
                return nullptr;
            }
            const unsigned rate = m_rate;
            lock.unlock();
            std::shared_ptr<const Pcm> pcm;
            try {
                pcm = std::make_shared<const Pcm>(converted(*sound.samples, 1, sound.rate, rate,
                                                            m_channels));
            } catch (...) {
            }
            lock.lock();
            // Replaced, or the rate changed, meanwhile: the next lookup converts it again.
            const auto now = m_made.find(path);
            if (rate == m_rate && now != m_made.end() && now->second.samples == sound.samples)
                m_entries[path] = Entry{FileStamp{}, pcm};
            remember(path, pcm, pcm ? std::string() : "メモリが足りません");
            return pcm;
        }
    }
    const auto stamp = stampOf(path);
    if (!stamp) {
        std::lock_guard lock(m_mutex);
        m_entries.erase(path);
        struct stat st {};
        remember(path, nullptr, ::stat(path.c_str(), &st) == 0
                                    ? "普通のファイルではありません（フォルダや装置など）"
                                    : "ファイルがありません");
        return nullptr;
    }
    unsigned rate = 0;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_entries.find(path);
        if (it != m_entries.end() && it->second.stamp == *stamp) return it->second.pcm;
        rate = m_rate;
    }
    std::shared_ptr<const Pcm> pcm;
    std::string error;
    try {
        if (auto decoded = decodeSoundFile(path, rate, m_channels, &error))
            pcm = std::make_shared<const Pcm>(std::move(*decoded));
    } catch (...) {
        error = path + ": メモリが足りません";
    }
    // decodeSoundFile puts the path in front; the state carries the path on its own.
    std::string reason = error.starts_with(path + ": ") ? error.substr(path.size() + 2) : error;
    // A file rewritten while it was read gets a new stamp, so the next lookup reads it again.
    std::lock_guard lock(m_mutex);
    // Decoded for a rate the output has since left: the next lookup reads it again.
    if (rate == m_rate) m_entries[path] = Entry{*stamp, pcm};
    remember(path, pcm, pcm ? std::string() : std::move(reason));
    return pcm;
}

void SoundCache::add(const std::string& name, std::vector<float> samples, unsigned rate)
{
    std::lock_guard lock(m_mutex);
    m_entries.erase(name);
    const double seconds = rate == 0 ? 0 : static_cast<double>(samples.size()) / rate;
    if (rate < static_cast<unsigned>(kMinRate) || rate > static_cast<unsigned>(kMaxRate) || samples.empty() || seconds > kMaxSeconds) {
        // Kept as refused, so that the name does not fall through to a file of that name.
        m_made[name] = Made{nullptr, rate};
        m_entries[name] = Entry{FileStamp{}, nullptr};
        remember(name, nullptr, "サンプリング周波数か長さが扱えません");
        return;
    }
    m_made[name] = Made{std::make_shared<const std::vector<float>>(std::move(samples)), rate};
}

void SoundCache::remember(const std::string& path, const std::shared_ptr<const Pcm>& pcm,
                          std::string reason)
{
    SoundFileState state{path, pcm != nullptr, pcm ? std::string() : std::move(reason)};
    for (SoundFileState& known : m_states)
        if (known.path == path) {
            known = std::move(state);
            return;
        }
    m_states.push_back(std::move(state));
}

unsigned SoundCache::rate() const
{
    std::lock_guard lock(m_mutex);
    return m_rate;
}

void SoundCache::setRate(unsigned rate)
{
    std::lock_guard lock(m_mutex);
    if (rate == m_rate) return;
    m_rate = rate;
    m_entries.clear();
}

SoundFileState SoundCache::state(const std::string& path) const
{
    std::lock_guard lock(m_mutex);
    for (const SoundFileState& known : m_states)
        if (known.path == path) return known;
    return {path, false, "まだ読み込んでいません"};
}

std::vector<SoundFileState> SoundCache::states() const
{
    std::lock_guard lock(m_mutex);
    return m_states;
}

}  // namespace platform
