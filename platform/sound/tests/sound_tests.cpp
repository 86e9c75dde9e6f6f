// Decoding and conversion of sound files, the cache that keeps them, the output with a server
// that lives in the test or with none, and the block the program shares with its PipeWire
// relay. Playback through a real server is tested by the end-to-end scripts.

#include "platform/sound/pipewire_backend.h"
#include "platform/sound/pulse_backend.h"
#include "platform/sound/pulse_route.h"
#include "platform/sound/relay_block.h"
#include "platform/sound/sound_file.h"
#include "platform/sound/stream_output.h"
#include "platform/sound/system_sound.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <random>
#include <thread>

namespace fs = std::filesystem;
using platform::decodeSoundFile;

namespace {

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/pendrel-sound-XXXXXX";
        m_path = ::mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(m_path); }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    fs::path m_path;
};

// Writes `seconds` of a sine of `frequency` Hz: amplitude 0.5 on the first channel, 0.25 on
// the second (in phase), in the given libsndfile sub-format.
void writeTone(const std::string& path, int subFormat, int channels, int rate, double frequency,
               double seconds)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | subFormat;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    const auto frames = static_cast<std::size_t>(seconds * rate);
    std::vector<double> data(frames * static_cast<std::size_t>(channels));
    for (std::size_t n = 0; n < frames; ++n) {
        const double s = std::sin(2 * std::numbers::pi * frequency * static_cast<double>(n) / rate);
        for (int c = 0; c < channels; ++c)
            data[n * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = (c == 0 ? 0.5 : 0.25) * s;
    }
    sf_writef_double(f, data.data(), static_cast<sf_count_t>(frames));
    sf_close(f);
}

struct ToneFit {
    double amplitude = 0;
    double residualDb = 0;  // what is left after taking the tone out, relative to the tone
};

// Least-squares fit of a sine of known frequency to one channel, away from the ends where the
// resampler's kernel runs out of input.
ToneFit fitTone(const platform::Pcm& pcm, unsigned channel, double frequency)
{
    const std::size_t from = pcm.frames() / 10, to = pcm.frames() - pcm.frames() / 10;
    double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
    for (std::size_t n = from; n < to; ++n) {
        const double w = 2 * std::numbers::pi * frequency * static_cast<double>(n) / pcm.rate;
        const double s = std::sin(w), c = std::cos(w), x = pcm.samples[n * pcm.channels + channel];
        ss += s * s, cc += c * c, sc += s * c, xs += x * s, xc += x * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
    double residual = 0, tone = 0;
    for (std::size_t n = from; n < to; ++n) {
        const double w = 2 * std::numbers::pi * frequency * static_cast<double>(n) / pcm.rate;
        const double model = a * std::sin(w) + b * std::cos(w);
        const double e = pcm.samples[n * pcm.channels + channel] - model;
        residual += e * e;
        tone += model * model;
    }
    return {std::hypot(a, b), 10 * std::log10(residual / tone)};
}

struct FormatCase {
    const char* name;
    int subFormat;
    double quantisationDb;  // the residual a clean conversion leaves at this word length
    double amplitudeError;
};

const FormatCase kFormats[] = {
    {"u8", SF_FORMAT_PCM_U8, -35, 0.01},      {"s16", SF_FORMAT_PCM_16, -60, 0.002},
    {"s24", SF_FORMAT_PCM_24, -60, 0.002},    {"s32", SF_FORMAT_PCM_32, -60, 0.002},
    {"float", SF_FORMAT_FLOAT, -60, 0.002},   {"double", SF_FORMAT_DOUBLE, -60, 0.002},
};

}  // namespace

TEST(SoundFile, EveryCommonWavFormatPlaysAtTheStreamFormat)
{
    TempDir dir;
    for (const auto& format : kFormats) {
        for (const int channels : {1, 2}) {
            for (const int rate : {44100, 48000, 96000}) {
                for (const double frequency : {1000.0, 40000.0 / 3}) {
                    SCOPED_TRACE(testing::Message() << format.name << " " << channels << " ch "
                                                    << rate << " Hz, tone " << frequency);
                    const std::string path = dir.file("tone.wav");
                    writeTone(path, format.subFormat, channels, rate, frequency, 0.25);
                    std::string error;
                    const auto pcm = decodeSoundFile(path, 48000, 2, &error);
                    ASSERT_TRUE(pcm) << error;
                    EXPECT_EQ(pcm->rate, 48000u);
                    EXPECT_EQ(pcm->channels, 2u);
                    EXPECT_EQ(pcm->frames(), 12000u);
                    const auto left = fitTone(*pcm, 0, frequency);
                    const auto right = fitTone(*pcm, 1, frequency);
                    EXPECT_NEAR(left.amplitude, 0.5, format.amplitudeError);
                    EXPECT_NEAR(right.amplitude, channels == 1 ? 0.5 : 0.25, format.amplitudeError);
                    EXPECT_LT(left.residualDb, format.quantisationDb);
                }
            }
        }
    }
}

TEST(SoundFile, ChannelsAreCopiedOrMixedDown)
{
    TempDir dir;
    const std::string stereo = dir.file("stereo.wav");
    writeTone(stereo, SF_FORMAT_PCM_16, 2, 48000, 1000, 0.1);
    const auto mono = decodeSoundFile(stereo, 48000, 1);
    ASSERT_TRUE(mono);
    EXPECT_EQ(mono->channels, 1u);
    EXPECT_NEAR(fitTone(*mono, 0, 1000).amplitude, 0.375, 0.002);

    EXPECT_EQ(platform::convertChannels({0.1f, 0.2f}, 1, 2), (std::vector<float>{0.1f, 0.1f, 0.2f, 0.2f}));
    EXPECT_EQ(platform::convertChannels({0.5f, 0.0f, 0.25f}, 3, 2), (std::vector<float>{0.5f, 0.0f}));
}

TEST(SoundFile, ResampledLengthFollowsTheRateRatio)
{
    const struct {
        unsigned from, to;
        std::size_t inFrames, outFrames;
    } cases[] = {{44100, 48000, 44100, 48000}, {96000, 48000, 96000, 48000},
                 {48000, 48000, 480, 480},     {22050, 48000, 441, 960},
                 {44100, 48000, 0, 0}};
    for (const auto& c : cases) {
        const std::vector<float> in(c.inFrames * 2, 0.25f);
        const auto out = platform::resample(in, 2, c.from, c.to);
        EXPECT_EQ(out.size(), c.outFrames * 2) << c.from << " -> " << c.to;
        // A constant level stays constant away from the ends.
        if (out.size() > 400) {
            EXPECT_NEAR(out[out.size() / 2], 0.25f, 1e-3);
        }
    }
}

TEST(SoundFile, FilesThatAreNotSoundGiveNothing)
{
    TempDir dir;
    std::mt19937 random(5);
    std::string noise(4096, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    const std::string wavHeaderOnly = std::string("RIFF\x24\x00\x00\x00WAVEfmt ", 16);
    const struct {
        const char* name;
        std::string content;
        bool create;
    } cases[] = {
        {"missing.wav", "", false},
        {"empty.wav", "", true},
        {"text.wav", "[Show]\r\nMessage=1\r\n", true},
        {"noise.wav", noise, true},
        {"cut-header.wav", wavHeaderOnly, true},
    };
    for (const auto& c : cases) {
        const std::string path = dir.file(c.name);
        if (c.create) std::ofstream(path, std::ios::binary) << c.content;
        std::string error;
        EXPECT_FALSE(decodeSoundFile(path, 48000, 2, &error)) << c.name;
        EXPECT_NE(error.find(c.name), std::string::npos) << error;
    }
    // A folder under a sound file's name is no sound either.
    fs::create_directory(dir.file("folder.wav"));
    EXPECT_FALSE(decodeSoundFile(dir.file("folder.wav"), 48000, 2));
}

// A 16-bit PCM WAV whose header says `rate`, `channels` and a data chunk of `claimedBytes`,
// followed by `actualBytes` of quiet samples.
std::string wavFile(std::uint32_t rate, std::uint16_t channels, std::uint32_t claimedBytes,
                    std::size_t actualBytes)
{
    std::string out;
    const auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    const auto u16 = [&](std::uint16_t v) {
        out += static_cast<char>(v & 0xFF);
        out += static_cast<char>(v >> 8);
    };
    out += "RIFF";
    u32(36 + claimedBytes);
    out += "WAVEfmt ";
    u32(16);
    u16(1);
    u16(channels);
    u32(rate);
    u32(rate * channels * 2u);
    u16(static_cast<std::uint16_t>(channels * 2));
    u16(16);
    out += "data";
    u32(claimedBytes);
    out.append(actualBytes, '\0');
    return out;
}

// Whatever a file beside the program says about itself, decoding it ends in a sound of bounded
// size or in a reason, and never in an exception, an abort or a wait.
TEST(SoundFile, HostileFilesAreRefusedWithAReason)
{
    TempDir dir;
    fs::create_directory(dir.file("folder.wav"));
    // Ten minutes by their headers, their data as long as they say but never written (sparse).
    for (const auto& [name, rate, channels] : {std::tuple{"ten-minutes-16k.wav", 16000u, 1},
                                               std::tuple{"ten-minutes-48k.wav", 48000u, 2}}) {
        const std::uint32_t bytes = 600 * rate * channels * 2;
        std::ofstream(dir.file(name), std::ios::binary)
            << wavFile(rate, static_cast<std::uint16_t>(channels), bytes, 0);
        fs::resize_file(dir.file(name), fs::file_size(dir.file(name)) + bytes);
    }
    writeTone(dir.file("whole.wav"), SF_FORMAT_PCM_16, 1, 48000, 1000, 1.0);
    {
        std::ifstream in(dir.file("whole.wav"), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        std::ofstream(dir.file("truncated.wav"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    }
    const struct {
        std::string path;
        std::string content;  // written when not empty
        const char* reason;   // a part of the reason
    } cases[] = {
        {dir.file("one-hertz.wav"), wavFile(1, 1, 100000, 100000), "サンプリング周波数 1 Hz"},
        {dir.file("huge-rate.wav"), wavFile(0x7FFFFFFF, 1, 100000, 100000), "サンプリング周波数"},
        {dir.file("huge-data.wav"), wavFile(48000, 1, 0xFFFFFFF0u, 4096), "途中で切れて"},
        {dir.file("many-channels.wav"), wavFile(48000, 1000, 200000, 200000), "チャンネル数"},
        {dir.file("eight-channels-384k.wav"), wavFile(384000, 8, 8400000, 8400000), "大きすぎます"},
        {dir.file("truncated.wav"), "", "途中で切れて"},
        {dir.file("ten-minutes-16k.wav"), "", "600.0 秒"},
        {dir.file("ten-minutes-48k.wav"), "", "長すぎます"},
        {dir.file("folder.wav"), "", "普通のファイルではありません"},
        {"/dev/zero", "", "普通のファイルではありません"},
        {dir.file("missing.wav"), "", "ファイルがありません"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (!c.content.empty()) std::ofstream(c.path, std::ios::binary) << c.content;
        std::string error;
        EXPECT_FALSE(decodeSoundFile(c.path, 48000, 2, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;

        platform::SoundCache cache(48000, 2);
        EXPECT_EQ(cache.load(c.path), nullptr);
        const platform::SoundFileState state = cache.state(c.path);
        EXPECT_FALSE(state.playable);
        EXPECT_NE(state.reason.find(c.reason), std::string::npos) << state.reason;
        EXPECT_EQ(state.reason.find(c.path), std::string::npos) << "the path is kept apart";
    }
    // The whole file still plays, and says so.
    platform::SoundCache cache(48000, 2);
    EXPECT_NE(cache.load(dir.file("whole.wav")), nullptr);
    EXPECT_EQ(cache.state(dir.file("whole.wav")),
              (platform::SoundFileState{dir.file("whole.wav"), true, ""}));
}

TEST(SoundCache, KeepsADecodedFileUntilItChanges)
{
    TempDir dir;
    const std::string path = dir.file("800ms.wav");
    platform::SoundCache cache(48000, 2);

    EXPECT_TRUE(cache.lookup(path).fresh);  // missing: nothing to decode, nothing to play
    EXPECT_EQ(cache.lookup(path).pcm, nullptr);

    writeTone(path, SF_FORMAT_PCM_16, 1, 48000, 1000, 0.1);
    EXPECT_FALSE(cache.lookup(path).fresh);
    const auto first = cache.load(path);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->frames(), 4800u);
    EXPECT_EQ(cache.lookup(path).pcm, first);
    EXPECT_EQ(cache.load(path), first);

    // Rewritten with other content (and another time stamp): read again.
    writeTone(path, SF_FORMAT_PCM_16, 1, 48000, 1000, 0.2);
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(2));
    EXPECT_FALSE(cache.lookup(path).fresh);
    const auto second = cache.load(path);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->frames(), 9600u);

    // Replaced by garbage: no sound, and that too is remembered until the file changes.
    std::ofstream(path, std::ios::binary | std::ios::trunc) << "not a sound";
    EXPECT_EQ(cache.load(path), nullptr);
    EXPECT_TRUE(cache.lookup(path).fresh);
    EXPECT_FALSE(cache.state(path).playable);
    EXPECT_NE(cache.state(path).reason.find("音声ファイルとして読めません"), std::string::npos);

    fs::remove(path);
    EXPECT_EQ(cache.load(path), nullptr);
    EXPECT_EQ(cache.lookup(path).pcm, nullptr);

    // One state a path, in the order first loaded, each as last found.
    const std::string other = dir.file("200ms.wav");
    writeTone(other, SF_FORMAT_PCM_16, 1, 48000, 1000, 0.1);
    EXPECT_NE(cache.load(other), nullptr);
    EXPECT_EQ(cache.states(),
              (std::vector<platform::SoundFileState>{{path, false, "ファイルがありません"},
                                                      {other, true, ""}}));
    EXPECT_EQ(cache.state(dir.file("never.wav")).reason, "まだ読み込んでいません");
}

TEST(StreamOutput, WithoutAServerEveryCallReturnsAndNothingPlays)
{
    TempDir dir;
    const std::string good = dir.file("200ms.wav");
    writeTone(good, SF_FORMAT_PCM_16, 1, 48000, 1000, 1.0);
    platform::PulseOptions options;
    options.server = "unix:" + dir.file("no-server-here");
    {
        platform::StreamOutput sound(platform::makePulseBackend(options));
        EXPECT_TRUE(sound.started());
        sound.preload(good);
        sound.setTransmitting(true);
        for (int i = 0; i < 50; ++i) {
            sound.play(good, {});
            sound.play(dir.file("missing.wav"), {});
        }
        sound.setTransmitting(false);
        const platform::SoundStatus status = sound.status();
        EXPECT_FALSE(status.serverReachable);
        EXPECT_FALSE(status.streamRunning);
        EXPECT_EQ(sound.lead(), std::chrono::milliseconds(1250));
        ASSERT_EQ(status.files.size(), 2u);
        EXPECT_EQ(status.files[1].path, dir.file("missing.wav"));
        EXPECT_FALSE(status.files[1].playable);
    }
    // Destroyed while decoding and while retrying: both threads end cleanly.
    platform::StreamOutput another(platform::makePulseBackend(options));
    another.setTransmitting(true);
    another.play(good, {});
    EXPECT_FALSE(platform::probePulseServer(options.server, std::chrono::milliseconds(200)));
    // No relay beside this test: PipeWire cannot start, and the caller falls back.
    platform::StreamOutput relayless(platform::makePipeWireBackend());
    EXPECT_FALSE(relayless.started());
    relayless.setTransmitting(true);
    relayless.play(good, {});
    EXPECT_EQ(relayless.status().server, "PipeWire");
}

namespace {

// A sound of `frames` frames, every sample of frame n being `level + n`, so a rendered frame
// tells which sound it came from and where in it.
std::shared_ptr<const platform::Pcm> ramp(float level, std::size_t frames)
{
    auto pcm = std::make_shared<platform::Pcm>();
    pcm->rate = 1000;
    pcm->channels = 1;
    for (std::size_t n = 0; n < frames; ++n) pcm->samples.push_back(level + static_cast<float>(n));
    return pcm;
}

std::vector<float> renderAll(platform::SampleTimeline& timeline, std::size_t frames,
                             std::size_t chunk)
{
    std::vector<float> out(frames);
    for (std::size_t done = 0; done < frames; done += chunk)
        timeline.render(out.data() + done, std::min(chunk, frames - done));
    return out;
}

}  // namespace

// The stream as the server pulls it, in chunks that do not line up with the sounds.
TEST(SampleTimeline, EachSoundReplacesTheOneBeforeOnItsFrameAndNoSilenceComesBetween)
{
    const struct {
        const char* name;
        std::int64_t secondStart;   // where the second sound is placed
        std::size_t renderedFirst;  // frames already handed to the server when it is placed
        std::vector<float> expected;
        std::size_t hold = 0;       // the first sound's holdFrames
    } cases[] = {
        // The first sound's tail plays on up to the frame the next one belongs on.
        {"on time", 6, 0, {100, 101, 102, 103, 104, 105, 200, 201, 202, 203, 204, 205}},
        // Placed before the first one ended: replaced exactly there.
        {"early", 3, 0, {100, 101, 102, 200, 201, 202, 203, 204, 205, 206, 207, 208}},
        // Placed after its frame was written: whole, from where writing is, when that is at
        // most a fifth of its length late (4 of 20 frames here)...
        {"late", 2, 5, {100, 101, 102, 103, 104, 200, 201, 202, 203, 204, 205, 206}},
        // ...and later than that not at all: the sound before it plays on.
        {"too late", 1, 6, {100, 101, 102, 103, 104, 105, 106, 107, 0, 0, 0, 0}},
        {"too late, held", 1, 6, {100, 101, 102, 103, 104, 105, 106, 107, 105, 106, 107, 105}, 3},
        // Past the end of the first sound, with nothing placed: silence until the next, for a
        // sound that ends on nothing to hold...
        {"gap", 10, 0, {100, 101, 102, 103, 104, 105, 106, 107, 0, 0, 200, 201}},
        // ...and its last periods again and again for one that does (3 frames here), up to
        // the next sound's frame, however late that was placed.
        {"gap held", 11, 0, {100, 101, 102, 103, 104, 105, 106, 107, 105, 106, 107, 200}, 3},
        {"gap held, placed late", 10, 9, {100, 101, 102, 103, 104, 105, 106, 107, 105, 106, 200, 201}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::SampleTimeline timeline(1);
        auto first = std::const_pointer_cast<platform::Pcm>(ramp(100, 8));
        first->holdFrames = c.hold;
        timeline.schedule(0, first);
        std::vector<float> out(12);
        timeline.render(out.data(), c.renderedFirst);
        timeline.schedule(c.secondStart, ramp(200, 20));
        const auto rest = renderAll(timeline, 12 - c.renderedFirst, 5);
        std::copy(rest.begin(), rest.end(), out.begin() + static_cast<long>(c.renderedFirst));
        EXPECT_EQ(out, c.expected);
        EXPECT_EQ(timeline.written(), 12);
    }
}

TEST(SampleTimeline, ASoundDecodedLateNeverRemovesTheOneAfterIt)
{
    platform::SampleTimeline timeline(1);
    timeline.schedule(4, ramp(300, 10));
    timeline.schedule(0, ramp(100, 10));  // for an earlier second, placed after it
    EXPECT_EQ(renderAll(timeline, 7, 3), (std::vector<float>{100, 101, 102, 103, 300, 301, 302}));

    // A missing file places silence: the sound before it stops on that frame.
    timeline.schedule(9, nullptr);
    EXPECT_EQ(renderAll(timeline, 4, 4), (std::vector<float>{303, 304, 0, 0}));

    // Off: nothing more plays; a new stream counts from frame 0 again.
    timeline.schedule(20, ramp(400, 5));
    timeline.clear();
    EXPECT_EQ(renderAll(timeline, 12, 12), std::vector<float>(12, 0));
    timeline.restart();
    timeline.schedule(1, ramp(500, 2));
    EXPECT_EQ(renderAll(timeline, 4, 4), (std::vector<float>{0, 500, 501, 0}));
}

// Each pulse set's tone, held past the end of a pulse, goes on as the same sine: no step in
// level or phase that a clock's receiver would take for the carrier dropping.
TEST(SampleTimeline, HeldCarrierContinuesTheToneOfEverySet)
{
    const struct {
        double toneHz;
        unsigned rate;
        unsigned channels;
    } sets[] = {{40000.0 / 3, 48000, 2}, {20000, 48000, 2}, {40000, 96000, 1},
                {40000, 192000, 2}, {60000, 192000, 2}, {1000, 48000, 1}};
    for (const auto& set : sets) {
        SCOPED_TRACE(std::to_string(set.toneHz) + " Hz at " + std::to_string(set.rate));
        const double step = 2 * std::numbers::pi * set.toneHz / set.rate;
        const auto sine = [&](std::size_t n) {
            return static_cast<float>(0.1 * std::sin(step * static_cast<double>(n)));
        };
        // A tenth of a second: loud at first, then the low level it ends on.
        auto pcm = std::make_shared<platform::Pcm>();
        pcm->rate = set.rate;
        pcm->channels = set.channels;
        const std::size_t frames = set.rate / 10;
        for (std::size_t n = 0; n < frames; ++n)
            for (unsigned ch = 0; ch < set.channels; ++ch)
                pcm->samples.push_back(n < frames / 2 ? 8 * sine(n) : sine(n));
        pcm->holdFrames = platform::seamlessTail(pcm->samples, set.channels, set.rate);
        ASSERT_GT(pcm->holdFrames, 0u);

        platform::SampleTimeline timeline(set.channels);
        timeline.schedule(0, pcm);
        const std::size_t rendered = frames + set.rate / 5;  // 200 ms past its end
        std::vector<float> out(rendered * set.channels);
        for (std::size_t done = 0; done < rendered; done += 997)
            timeline.render(out.data() + done * set.channels, std::min<std::size_t>(997, rendered - done));
        double worst = 0;
        for (std::size_t n = frames; n < rendered; ++n)
            for (unsigned ch = 0; ch < set.channels; ++ch)
                worst = std::max(worst, std::abs(double(out[n * set.channels + ch]) - sine(n)));
        EXPECT_LT(worst, 1e-3);
    }
    // Nothing to hold at a silent end or on noise.
    EXPECT_EQ(platform::seamlessTail(std::vector<float>(4800, 0.0f), 1, 48000), 0u);
    std::vector<float> noise(4800);
    std::uint32_t x = 12345;
    for (float& v : noise) v = static_cast<float>((x = x * 1664525 + 1013904223) >> 8) / 16777216.0f - 0.5f;
    EXPECT_EQ(platform::seamlessTail(noise, 1, 48000), 0u);
}

// A graph that asks for a buffer every cycle, and what happens to single cycles: each buffer
// must start with the frames of the graph tick it is asked at.
TEST(GraphFollower, EachBufferStartsWithTheFramesOfItsGraphTick)
{
    struct Cycle {
        std::uint64_t ticks;    // the graph's position when it asks
        std::uint32_t handed;   // frames the stream then hands out
        std::int64_t expected;  // the frame that buffer must start with
    };
    const struct {
        const char* name;
        unsigned streamRate;
        unsigned graphRate;
        std::vector<Cycle> cycles;
    } cases[] = {
        {"every cycle on time", 48000, 48000,
         {{5000, 1024, 0}, {6024, 1024, 1024}, {7048, 1024, 2048}}},
        // The graph ran a cycle without the stream: those frames were never heard.
        {"a cycle missed", 48000, 48000,
         {{5000, 1024, 0}, {6024, 1024, 1024}, {8072, 1024, 3072}, {9096, 1024, 4096}}},
        // Asked again in the same cycle after a late one: the same frames again.
        {"a cycle asked twice", 48000, 48000,
         {{5000, 1024, 0}, {7048, 1024, 2048}, {7048, 1024, 2048}, {8072, 1024, 3072}}},
        // A resampler asks a frame more or less each cycle: the count is kept as it is.
        {"resampled", 192000, 48000,
         {{0, 4097, 0}, {1024, 4095, 4097}, {2048, 4097, 8192}, {3072, 4096, 12289}}},
        // A new driver with its own count: the stream goes straight on.
        {"another clock", 48000, 48000, {{5000, 1024, 0}, {900'000'000, 1024, 1024}, {900'001'024, 1024, 2048}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::GraphFollower follower(c.streamRate);
        std::int64_t written = 0;
        for (const auto& cycle : c.cycles) {
            const std::int64_t frame = follower.frameFor(written, cycle.ticks, c.graphRate);
            EXPECT_EQ(frame, cycle.expected) << "at tick " << cycle.ticks;
            written = frame + cycle.handed;
        }
    }
    // A graph at another rate, or of unknown rate, is a new start: nothing is stepped over.
    platform::GraphFollower follower(48000);
    EXPECT_EQ(follower.frameFor(0, 1000, 48000), 0);
    EXPECT_EQ(follower.frameFor(1024, 50000, 96000), 1024);
    EXPECT_EQ(follower.frameFor(2048, 99000, 0), 2048);
}

// Reports of which frame is heard when, with the jitter a server's timing has: the frames
// handed out must stay within a fraction of a millisecond of the truth, through a lone wild
// report and a device that stands still for 150 ms and catches up; a stream that really moved
// is followed after a second and a settling.
TEST(StreamClock, FollowsTheStreamThroughJitterAndStartsOverWhenTheStreamMoves)
{
    constexpr unsigned kRate = 48000;
    constexpr std::int64_t kStartNs = 1'700'000'000'000'000'000;
    // The truth: frame 0 was heard 12.5 ms after kStartNs.
    auto truth = [](std::int64_t wallNs, double shiftMs) {
        return static_cast<double>(wallNs - kStartNs) * 1e-9 * kRate - (12.5 + shiftMs) * 48;
    };
    std::mt19937 random(7);
    std::uniform_real_distribution<double> jitterMs(-0.4, 0.4);
    platform::StreamClock clock(kRate);
    EXPECT_FALSE(clock.known());

    double shiftMs = 0;
    double worstMs = 0;
    for (int report = 0; report < 2000; ++report) {
        const std::int64_t wall = kStartNs + report * 10'000'000LL;  // every 10 ms
        if (report == 1000) shiftMs = 30;  // the stream ran dry: 30 ms later from here on
        double noisy = truth(wall, shiftMs) + jitterMs(random) * 48;
        // Stood still from report 700 for 150 ms, then caught up.
        if (report >= 700 && report < 715) noisy = truth(kStartNs + 700 * 10'000'000LL, 0);
        clock.observe(static_cast<std::int64_t>(std::llround(noisy)), wall);
        // A lone wild report (a late reply) must not move it.
        if (report == 500) clock.observe(static_cast<std::int64_t>(truth(wall, 0) + 20 * 48), wall);
        const bool settled = report > 50 && !(report >= 1000 && report < 1130);
        EXPECT_EQ(clock.settled(), report >= 25 && !(report >= 1100 && report < 1125)) << report;
        const std::int64_t ahead = wall + 300'000'000;
        const double errorMs = (static_cast<double>(clock.frameAt(ahead)) - truth(ahead, shiftMs)) / 48;
        if (settled) worstMs = std::max(worstMs, std::abs(errorMs));
    }
    EXPECT_TRUE(clock.known());
    EXPECT_LT(worstMs, 0.2);
    clock.reset();
    EXPECT_FALSE(clock.known());
}

namespace {

// Writes `seconds` of a 1 kHz tone at 48 kHz, mono: at 0.8 for the first `pulseMs`, at 0.1
// after, as a pulse file is made.
void writePulse(const std::string& path, int pulseMs, double seconds)
{
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    std::vector<float> data(static_cast<std::size_t>(seconds * 48000));
    for (std::size_t n = 0; n < data.size(); ++n)
        data[n] = static_cast<float>((n < static_cast<std::size_t>(pulseMs) * 48 ? 0.8 : 0.1) *
                                     std::sin(2 * std::numbers::pi * static_cast<double>(n) / 48));
    sf_writef_float(f, data.data(), static_cast<sf_count_t>(data.size()));
    sf_close(f);
}

// A server that lives in the test: it reports which frame is heard when it is told to, and is
// pulled as far ahead as the test says, all through what the output gives its backend.
class FakeServer final : public platform::StreamBackend {
public:
    explicit FakeServer(std::vector<unsigned>* reopenedAt = nullptr) : m_reopenedAt(reopenedAt) {}
    std::string serverName() const override { return "Fake"; }
    bool start(platform::StreamEvents& events, unsigned, unsigned) override
    {
        m_events = &events;
        return true;
    }
    void setTransmitting(bool on) override
    {
        if (!on) m_events->silence();
    }
    void setRate(unsigned rate) override
    {
        if (m_reopenedAt) m_reopenedAt->push_back(rate);
    }

    // Frame `heard` is heard at `wall`, and the server wants everything up to `until` written.
    void serve(std::int64_t heard, std::int64_t wall, std::int64_t until, std::vector<float>& rendered)
    {
        m_events->timing(heard, wall);
        if (until > m_events->written()) {
            std::vector<float> chunk(static_cast<std::size_t>(until - m_events->written()));
            m_events->render(chunk.data(), chunk.size());
            rendered.insert(rendered.end(), chunk.begin(), chunk.end());
        }
    }

private:
    platform::StreamEvents* m_events = nullptr;
    std::vector<unsigned>* m_reopenedAt;
};

struct LoudRun {
    std::int64_t firstMs;
    std::int64_t widthMs;
    bool operator==(const LoudRun&) const = default;
    friend void PrintTo(const LoudRun& r, std::ostream* os) { *os << r.firstMs << "+" << r.widthMs; }
};

// The stream in 1 ms steps (a whole period of the tone each): where it is loud, and how many
// steps are silent after the first loud one.
std::vector<LoudRun> loudRuns(const std::vector<float>& samples, int* silentAfterFirst)
{
    std::vector<LoudRun> runs;
    *silentAfterFirst = 0;
    for (std::size_t ms = 0; (ms + 1) * 48 <= samples.size(); ++ms) {
        double energy = 0;
        for (std::size_t n = ms * 48; n < (ms + 1) * 48; ++n) energy += samples[n] * samples[n];
        const double rms = std::sqrt(energy / 48);
        const auto at = static_cast<std::int64_t>(ms);
        if (rms > 0.3) {
            if (!runs.empty() && runs.back().firstMs + runs.back().widthMs == at)
                ++runs.back().widthMs;
            else
                runs.push_back({at, 1});
        } else if (rms < 0.03 && !runs.empty()) {
            ++*silentAfterFirst;
        }
    }
    return runs;
}

}  // namespace

// Pulses through a stream whose server is the test's: the first play comes before the stream's
// timing has settled, later ones come late to the output, one after its frame was written and
// one too late to fit whole. Every pulse that is sent starts on its second with its width, or
// late with its width; the carrier never stops in between.
TEST(StreamOutput, LatePlaysKeepTheCarrierAndEveryPulseItsWidth)
{
    TempDir dir;
    const std::string marker = dir.file("200ms.wav"), one = dir.file("500ms.wav"),
                      zero = dir.file("800ms.wav");
    // 0.9 s long: each ends a tenth of a second before the next second begins.
    writePulse(marker, 200, 0.9);
    writePulse(one, 500, 0.9);
    writePulse(zero, 800, 0.9);
    std::int64_t wall = 0;
    auto server = std::make_unique<FakeServer>();
    FakeServer& fake = *server;
    platform::StreamOutput output(std::move(server), {48000, 1, std::chrono::milliseconds(1250)},
                                  [&wall] { return wall; });
    std::vector<float> rendered;
    for (const auto& path : {marker, one, zero}) output.loadNow(path);

    // The stream begins to play 150 ms after it opened: its frame 0 is heard then. Until then
    // it reports frame 0 as heard, and it asks for 400 ms ahead of what is heard.
    constexpr std::int64_t kMs = 1'000'000;
    const std::int64_t opened = 1'700'000'000'000'000'000;
    const std::int64_t frame0 = opened + 150 * kMs;
    const auto heardAt = [&](std::int64_t at) { return std::max<std::int64_t>(0, (at - frame0) * 48 / kMs); };
    // Second boundaries every second from 1.4 s after opening; what is played for each, when
    // (ms after opening) and how late the ticker was (ms).
    const struct {
        std::int64_t callMs;
        const std::string* path;
        std::int64_t lateMs;
    } plays[] = {
        {150, &marker, 0},   // the timing has not settled yet
        {1950, &one, 800},   // the marker's end already written: its carrier is held
        {3100, &zero, 950},  // written 100 ms past its frame: starts late, whole
        {3150, &one, 0},
        {5300, &zero, 1150},  // 300 ms past its frame: dropped
        {5300, &marker, 150},
    };
    std::size_t next = 0;
    for (std::int64_t ms = 0; ms <= 7500; ms += 10) {
        wall = opened + ms * kMs;
        const std::int64_t heard = heardAt(wall);
        fake.serve(heard, wall, heard + 400 * 48, rendered);
        for (; next < std::size(plays) && plays[next].callMs == ms; ++next)
            output.play(*plays[next].path, std::chrono::milliseconds(plays[next].lateMs));
    }

    int silent = 0;
    const std::vector<LoudRun> runs = loudRuns(rendered, &silent);
    // In ms of the stream; the boundaries fall at 1250, 2250, ...
    EXPECT_EQ(runs, (std::vector<LoudRun>{{1250, 200}, {2250, 500}, {3350, 800}, {4250, 500}, {6250, 200}}));
    EXPECT_EQ(silent, 0);
}

// Sounds made in memory play under their names exactly as files do, whatever lies on disk under
// the same name; one at a higher rate takes the stream there and the others follow it.
TEST(StreamOutput, SoundsMadeInMemoryPlayByNameAndFollowTheRate)
{
    TempDir dir;
    const std::string name = dir.file("200ms.wav");
    writePulse(name, 800, 1.0);  // a file of that name that must not be the one heard
    const auto pulse = [](unsigned rate, int loudMs) {
        std::vector<float> samples(rate);
        for (std::size_t n = 0; n < samples.size(); ++n)
            samples[n] = static_cast<float>((n < loudMs * rate / 1000 ? 0.8 : 0.1) *
                                            std::sin(2 * std::numbers::pi * double(n) * 1000 / rate));
        return samples;
    };
    std::int64_t wall = 0;
    auto server = std::make_unique<FakeServer>();
    FakeServer& fake = *server;
    platform::StreamOutput output(std::move(server), {48000, 1, std::chrono::milliseconds(1250)},
                                  [&wall] { return wall; });
    output.addSound(name, pulse(48000, 200), 48000);
    output.addSound("one", pulse(48000, 500), 48000);
    output.addSound("refused", pulse(48000, 500), 500);

    constexpr std::int64_t kMs = 1'000'000;
    const std::int64_t opened = 1'700'000'000'000'000'000;
    std::vector<float> rendered;
    for (std::int64_t ms = 0; ms <= 3500; ms += 10) {
        wall = opened + ms * kMs;
        const std::int64_t heard = ms * 48;
        fake.serve(heard, wall, heard + 400 * 48, rendered);
        if (ms == 200) output.play(name, {});
        if (ms == 1200) output.play("one", {});
    }
    int silent = 0;
    EXPECT_EQ(loudRuns(rendered, &silent), (std::vector<LoudRun>{{1450, 200}, {2450, 500}}));

    platform::SoundStatus status = output.status();
    EXPECT_EQ(status.streamRate, 48000u);
    ASSERT_EQ(status.files.size(), 3u);
    EXPECT_TRUE(status.files[0].playable);
    EXPECT_TRUE(status.files[1].playable);
    EXPECT_FALSE(status.files[2].playable);
    EXPECT_FALSE(status.files[2].reason.empty());

    // The direct set: the stream moves to 192 kHz, the 48 kHz sound is converted for it.
    output.addSound("direct", pulse(192000, 200), 192000);
    status = output.status();
    EXPECT_EQ(status.streamRate, 192000u);
    EXPECT_NEAR(status.carrierHz, 1000, 10);
    EXPECT_TRUE(status.files[0].playable);
    EXPECT_TRUE(status.files[3].playable);
}

// The stream runs at the rate the files were made at, the highest when they differ, so a
// direct 40 kHz set at 96 kHz is played as it is; the files' carrier is told with it.
TEST(StreamOutput, StreamFollowsTheRateAndToneOfTheFiles)
{
    TempDir dir;
    const struct {
        const char* name;
        std::vector<std::pair<int, double>> files;  // rate, tone
        unsigned streamRate;
        double carrierHz;
    } cases[] = {
        {"today's set", {{48000, 40000.0 / 3}, {48000, 40000.0 / 3}}, 48000, 40000.0 / 3},
        {"direct 40 kHz", {{96000, 40000}, {96000, 40000}}, 96000, 40000},
        {"direct 60 kHz", {{192000, 60000}}, 192000, 60000},
        {"mixed: the highest", {{48000, 20000}, {192000, 60000}, {96000, 40000}}, 192000, 60000},
        {"an odd rate: the next a server plays", {{50000, 1000}}, 88200, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned> reopenedAt;
        platform::StreamOutput output(std::make_unique<FakeServer>(&reopenedAt));
        for (std::size_t i = 0; i < c.files.size(); ++i) {
            const std::string path = dir.file(std::to_string(i) + ".wav");
            writeTone(path, SF_FORMAT_PCM_16, 1, c.files[i].first, c.files[i].second, 1.0);
            output.loadNow(path);
        }
        const platform::SoundStatus status = output.status();
        EXPECT_EQ(status.streamRate, c.streamRate);
        EXPECT_NEAR(status.carrierHz, c.carrierHz, c.carrierHz * 0.01);
        if (c.streamRate != 48000) {
            ASSERT_FALSE(reopenedAt.empty());
            EXPECT_EQ(reopenedAt.back(), c.streamRate);
        }
        for (const auto& file : status.files) EXPECT_TRUE(file.playable) << file.path << file.reason;
    }
}

// The kind of device and port, from what PulseAudio and PipeWire's stand-in say of real
// devices (and of the test servers' null sinks dressed up as them).
TEST(SoundRoute, KindOfDeviceAndPortFromWhatTheServerSays)
{
    using Kind = platform::SoundRoute::Kind;
    using Port = platform::SoundRoute::Port;
    const struct {
        const char* what;
        platform::DeviceFacts facts;
        Kind kind;
        Port port;
    } cases[] = {
        {"laptop speaker",
         {{{"device.api", "alsa"}, {"device.bus", "pci"}, {"device.profile.name", "analog-stereo"}},
          "alsa_output.pci-0000_00_1f.3.analog-stereo", "analog-output-speaker", PA_DEVICE_PORT_TYPE_SPEAKER},
         Kind::BuiltIn, Port::Speaker},
        {"headphone jack, no port type (older server)",
         {{{"device.bus", "pci"}}, "alsa_output.pci-0000_00_1b.0.analog-stereo", "analog-output-headphones", 0},
         Kind::BuiltIn, Port::Headphones},
        {"line out, by its UCM-less name", {{}, "alsa_output.platform-snd.analog", "analog-output-lineout", 0},
         Kind::BuiltIn, Port::LineOut},
        {"UCM port names", {{{"device.bus", "pci"}}, "alsa_output.pci.HiFi__hw_sofhdadsp__sink", "[Out] Headphones", 0},
         Kind::BuiltIn, Port::Headphones},
        {"HDMI of the same card",
         {{{"device.bus", "pci"}, {"device.profile.name", "hdmi-stereo"}},
          "alsa_output.pci-0000_00_1f.3.hdmi-stereo", "hdmi-output-0", PA_DEVICE_PORT_TYPE_HDMI},
         Kind::Hdmi, Port::Unknown},
        {"DisplayPort under PipeWire: an hdmi profile, no port",
         {{{"device.bus", "pci"}, {"device.profile.name", "HiFi: HDMI3: sink"}}, "alsa_output.pci.HiFi__HDMI3__sink", "", 0},
         Kind::Hdmi, Port::Unknown},
        {"HDMI by its bus", {{{"device.bus", "hdmi"}}, "tv", "", 0}, Kind::Hdmi, Port::Unknown},
        {"Bluetooth headphones (PulseAudio)",
         {{{"device.api", "bluez"}, {"device.bus", "bluetooth"}, {"device.form_factor", "headphone"}},
          "bluez_sink.00_11_22_33_44_55.a2dp_sink", "headphone-output", PA_DEVICE_PORT_TYPE_HEADPHONES},
         Kind::Bluetooth, Port::Headphones},
        {"Bluetooth headset (PipeWire)",
         {{{"device.api", "bluez5"}, {"device.form_factor", "headset"}}, "bluez_output.00_11_22_33_44_55.1", "", 0},
         Kind::Bluetooth, Port::Unknown},
        {"Bluetooth by its sink name alone", {{}, "bluez_sink.AA_BB.a2dp_sink", "", 0}, Kind::Bluetooth, Port::Unknown},
        {"USB sound card with an analog profile",
         {{{"device.bus", "usb"}, {"device.profile.name", "analog-stereo"}},
          "alsa_output.usb-Generic_USB_Audio-00.analog-stereo", "analog-output", 0},
         Kind::Usb, Port::Unknown},
        {"USB headset with a headphone port",
         {{{"device.bus", "usb"}}, "alsa_output.usb-headset", "analog-output-headphones", PA_DEVICE_PORT_TYPE_HEADPHONES},
         Kind::Usb, Port::Headphones},
        {"an internal card on no bus named", {{{"device.form_factor", "internal"}}, "alsa_output.0.stereo-fallback", "", 0},
         Kind::BuiltIn, Port::Unknown},
        {"a null sink", {{}, "pendrel_test", "", 0}, Kind::Unknown, Port::Unknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(platform::deviceKind(c.facts), c.kind);
        EXPECT_EQ(platform::portKind(c.facts), c.port);
    }
}

// The device's description crosses from the relay while the relay may be writing it: the program
// reads one description whole, never half of two.
TEST(SoundRelay, TheDeviceDescriptionCrossesWhole)
{
    auto block = std::make_unique<platform::RelayBlock>();
    const std::string names[] = {std::string(200, 'a'), "Built-in Audio Analog Stereo", ""};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (std::size_t i = 0; !stop; ++i) block->writeDevice(names[i % 3]);
    });
    int torn = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::string read = block->readDevice();
        if (read != names[0] && read != names[1] && read != names[2]) ++torn;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn, 0);
    // Longer than the block holds: cut at its end.
    block->writeDevice(std::string(300, 'x'));
    EXPECT_EQ(block->readDevice(), std::string(255, 'x'));
    // A relay that ended half way through leaves the count odd: nothing is read (and nothing
    // waits), and the relay started after it writes whole again.
    block->deviceSeq.fetch_add(1);
    EXPECT_EQ(block->readDevice(), "");
    block->writeDevice("USB Audio");
    EXPECT_EQ(block->readDevice(), "USB Audio");
}

// The relay reads the block it is started with only when the block is laid out as it was built
// to read it; otherwise it ends at once, and says so by its status, before touching the block.
TEST(SoundRelay, RefusesABlockOfAnotherLayout)
{
    const struct {
        const char* name;
        std::uint32_t layout;
        std::uint32_t channels;
        bool accepted;
    } cases[] = {
        {"this build's", platform::kRelayLayout, 2, true},
        {"an older build's", platform::kRelayLayout - 1, 2, false},
        {"a newer build's", platform::kRelayLayout + 1, 2, false},
        {"no channels", platform::kRelayLayout, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t bytes = platform::RelayBlock::bytes(4800, 2);
        const int mem = memfd_create("pendrel-relay-test", MFD_CLOEXEC);
        ASSERT_GE(mem, 0);
        ASSERT_EQ(ftruncate(mem, static_cast<off_t>(bytes)), 0);
        void* at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, mem, 0);
        ASSERT_NE(at, MAP_FAILED);
        auto* block = new (at) platform::RelayBlock;
        block->layout = c.layout;
        block->channels = c.channels;
        block->ringFrames = 4800;
        block->rate = 48000;

        int line[2];
        ASSERT_EQ(pipe2(line, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, mem, platform::kRelayBlockFd);
        posix_spawn_file_actions_adddup2(&actions, line[0], platform::kRelayLifeFd);
        std::string program = PENDREL_SOUND_RELAY;
        // No PipeWire to be found: an accepting relay retries, sees the program gone and ends.
        std::string remote = "PIPEWIRE_REMOTE=/nonexistent/pendrel-test";
        char* argv[] = {program.data(), nullptr};
        char* envp[] = {remote.data(), nullptr};
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(line[0]);
        ::close(line[1]);  // the program has ended at once
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.accepted ? 0 : platform::kRelayRefused);
        EXPECT_EQ(block->accepted.load() != 0, c.accepted);
        munmap(at, bytes);
        ::close(mem);
    }
}
