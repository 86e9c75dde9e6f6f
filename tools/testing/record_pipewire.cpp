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
// The moment comes from the graph's own clock, not from a latency the server reports: every
// cycle the stream's time report carries the driver's position (ticks) at the cycle's start
// (now, CLOCK_MONOTONIC), and a sink driven by its own clock plays the frame at that position
// at that moment; that is also what playback streams are told. The sink takes its frames at the
// end of a cycle, and what its monitor puts out then reaches a capture stream in the following
// cycle: the buffer in hand started one buffer length before the reported position (and the
// delay the report names, zero for a monitor, before that). The monotonic moment is carried over to
// CLOCK_REALTIME by reading both clocks back to back in the same callback. Only a callback
// whose report moved on by just the frames in hand places them (logs a line); one run late
// finds a newer report and keeps its frames unplaced, in sequence. Frames that never reached
// the stream show as a jump in the position at the next steady cycle; they are recorded as
// silence, so the file's timeline stays the graph's, and logged as "hole FIRST COUNT" so that
// they are not taken for a hole in the signal.
// Stops after N seconds, or on SIGINT/SIGTERM; the files are complete either way.

#include "platform/sound/pipewire_client.h"
#include "tools/testing/graph_timeline.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <sndfile.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr unsigned kChannels = 2;

struct Entry {
    std::int64_t realNs;    // CLOCK_REALTIME of the cycle's start
    long long first;        // index of the buffer's first frame in the file
    long long count;
    std::int64_t latencyNs; // how long before realNs the first frame was played
};

// What a buffer the graph handed over holds: its frames, and the left channel of each; data is
// null when the buffer came without its samples.
struct Chunk {
    const float* data = nullptr;
    long long frames = 0;
    std::uint32_t step = kChannels;  // floats from one frame to the next

    float left(long long i) const { return data[i * step]; }
};

Chunk chunkOf(const pw_buffer* b)
{
    const spa_data& d = b->buffer->datas[0];
    const std::uint32_t stride =
        d.chunk->stride ? static_cast<std::uint32_t>(d.chunk->stride) : kChannels * sizeof(float);
    Chunk c;
    c.frames = d.chunk->size / stride;
    c.step = stride / sizeof(float);
    if (d.data) c.data = static_cast<const float*>(SPA_PTROFF(d.data, d.chunk->offset, void));
    return c;
}

struct Recorder {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::vector<float> samples;    // the left channel, filled by the data thread
    std::vector<Entry> entries;
    long long frames = 0;
    long long holeFrames = 0;
    std::vector<std::pair<long long, long long>> holesLost;  // first frame, count
    tools::GraphTimeline timeline;
    unsigned rate = 48000;         // of the file
    std::atomic<unsigned> graphRate{0};  // ticks a second in the last report
    long long unplaced = 0;        // buffers that came late, kept but not placed
    bool verbose = false;
    bool stopping = false;
    std::atomic<bool> failed{false};

    static void onProcess(void* self)
    {
        auto* r = static_cast<Recorder*>(self);
        // A late cycle finds more than one buffer waiting: the oldest first.
        pw_buffer* ready[16];
        std::size_t count = 0;
        long long total = 0;
        while (count < 16) {
            pw_buffer* b = pw_stream_dequeue_buffer(r->stream);
            if (!b) break;
            total += chunkOf(b).frames;
            ready[count++] = b;
        }
        if (count == 0) return;
        pw_time time{};
        pw_stream_get_time_n(r->stream, &time, sizeof time);
        const std::int64_t m0 = platform::monotonicNs();
        const std::int64_t toReal = platform::monotonicToWallNs();
        const bool rateKnown = time.rate.denom != 0 && time.rate.num != 0;
        if (!rateKnown) return r->keepAll(ready, count);
        r->graphRate = static_cast<unsigned>(time.rate.denom / time.rate.num);
        // The report counts in the graph's ticks; the frames in hand are at the file's rate,
        // the same unless the graph runs at another rate than the one asked for.
        std::uint64_t ticks = time.ticks;
        std::int64_t delay = time.delay;
        if (r->graphRate != r->rate && r->graphRate > 0) {
            ticks = ticks * r->rate / r->graphRate;
            delay = delay * static_cast<std::int64_t>(r->rate) / r->graphRate;
        }
        // What is in hand ended at the reported position (see tools/testing/graph_timeline.h).
        const auto step = r->timeline.next(ticks, delay, total, 10LL * r->rate);
        if (step.lost > 0) r->lose(step.lost);
        const bool place = step.place || r->entries.empty();
        std::int64_t behind = delay + total;
        for (std::size_t k = 0; k < count; ++k) {
            const Chunk c = chunkOf(ready[k]);
            const long long n = c.frames;
            if (n > 0 && c.data) {
                if (place)
                    r->entries.push_back({time.now + toReal, r->frames, n, behind * 1000000000LL / r->rate});
                for (long long i = 0; i < n; ++i) r->samples.push_back(c.left(i));
                r->frames += n;
            } else if (n > 0) {
                r->lose(n);
            }
            if (!place) ++r->unplaced;
            if (r->verbose && n > 0 && (r->frames / n) % 500 == 1)
                std::fprintf(stderr, "now %lld ticks %llu delay %lld rate %u/%u queued %llu buffered %llu "
                             "frames %lld of %zu buffers, callback %+.3f ms after the cycle start\n",
                             static_cast<long long>(time.now), static_cast<unsigned long long>(time.ticks),
                             static_cast<long long>(time.delay), time.rate.num, time.rate.denom,
                             static_cast<unsigned long long>(time.queued),
                             static_cast<unsigned long long>(time.buffered), n, count,
                             static_cast<double>(m0 - time.now) / 1e6);
            behind -= n;
            pw_stream_queue_buffer(r->stream, ready[k]);
        }
    }

    // Without a clock to go by, the frames are kept and nothing is placed.
    void keepAll(pw_buffer** ready, std::size_t count)
    {
        for (std::size_t k = 0; k < count; ++k) {
            const Chunk c = chunkOf(ready[k]);
            for (long long i = 0; i < c.frames; ++i) samples.push_back(c.data ? c.left(i) : 0.0f);
            frames += c.frames;
            pw_stream_queue_buffer(stream, ready[k]);
        }
    }

    // Frames the recording does not have, kept as silence and logged as lost.
    void lose(long long n)
    {
        holesLost.push_back({frames, n});
        samples.insert(samples.end(), static_cast<std::size_t>(n), 0.0f);
        frames += n;
        holeFrames += n;
    }

    static void onState(void* self, pw_stream_state, pw_stream_state state, const char* error)
    {
        auto* r = static_cast<Recorder*>(self);
        if (r->stopping) return;
        if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
            std::fprintf(stderr, "pendrel-record-pw: the recording stream ended%s%s\n",
                         error ? ": " : "", error ? error : "");
            r->failed = true;
            pw_main_loop_quit(r->loop);
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    std::string sink, wavPath, logPath;
    double seconds = 0;
    long rate = 48000;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--sink" && i + 1 < argc) sink = argv[++i];
        else if (arg == "--seconds" && i + 1 < argc) seconds = std::stod(argv[++i]);
        else if (arg == "--rate" && i + 1 < argc) rate = std::atol(argv[++i]);
        else if (arg == "--verbose") verbose = true;
        else if (wavPath.empty()) wavPath = arg;
        else logPath = arg;
    }
    if (wavPath.empty() || logPath.empty() || rate < 8000 || rate > 192000) {
        std::fprintf(stderr, "usage: %s [--sink NAME] [--rate 8000..192000] [--seconds N] [--verbose] OUT.wav OUT.log\n",
                     argv[0]);
        return 2;
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* wav = sf_open(wavPath.c_str(), SFM_WRITE, &info);
    FILE* log = std::fopen(logPath.c_str(), "w");
    if (!wav || !log) {
        std::fprintf(stderr, "pendrel-record-pw: cannot write %s or %s\n", wavPath.c_str(), logPath.c_str());
        return 1;
    }

    platform::PipeWireClient client;
    Recorder r;
    r.verbose = verbose;
    r.rate = static_cast<unsigned>(rate);
    // Room for long recordings without growing in the data thread.
    const double reserveSeconds = seconds > 0 ? seconds + 30 : 900;
    r.samples.reserve(static_cast<std::size_t>(reserveSeconds * static_cast<double>(rate)));
    r.entries.reserve(static_cast<std::size_t>(reserveSeconds * static_cast<double>(rate) / 64));
    r.holesLost.reserve(4096);
    // Touch every page now: a first touch in the data thread is a page fault there, and at
    // 192 kHz that is a few hundred a second, each one able to make the recorder miss a cycle.
    r.samples.resize(r.samples.capacity());
    r.samples.clear();
    r.entries.resize(r.entries.capacity());
    r.entries.clear();
    r.loop = client.mainLoop();
    client.quitOnSignals();
    client.quitAfter(seconds);

    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Production", PW_KEY_STREAM_CAPTURE_SINK,
                                             "true", PW_KEY_NODE_NAME, "pendrel-record", nullptr);
    if (!sink.empty()) pw_properties_set(props, PW_KEY_TARGET_OBJECT, sink.c_str());
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = &Recorder::onState;
        e.process = &Recorder::onProcess;
        return e;
    }();
    pw_core* core = client.connect();
    if (!core) {
        std::fprintf(stderr, "%s: no PipeWire server\n", argv[0]);
        return 1;
    }
    spa_hook streamListener{};
    r.stream = pw_stream_new(core, "pendrel-record", props);
    pw_stream_add_listener(r.stream, &streamListener, &events, &r);

    // The sink's own format: no conversion, no resampling between the sink and the file.
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[1] = {platform::floatAudioFormat(builder, r.rate, kChannels)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                    PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(r.stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) < 0) {
        std::fprintf(stderr, "pendrel-record-pw: no PipeWire server\n");
        return 1;
    }
    client.run();
    r.stopping = true;
    pw_stream_disconnect(r.stream);
    pw_stream_destroy(r.stream);
    client.disconnect();

    sf_writef_float(wav, r.samples.data(), static_cast<sf_count_t>(r.samples.size()));
    sf_close(wav);
    for (const Entry& e : r.entries) {
        const std::int64_t secs = e.realNs / 1000000000;
        std::fprintf(log, "%lld.%09lld %lld %lld %lld\n", static_cast<long long>(secs),
                     static_cast<long long>(e.realNs - secs * 1000000000), e.first, e.count,
                     static_cast<long long>(std::llround(static_cast<double>(e.latencyNs) / 1000)));
    }
    for (const auto& [first, count] : r.holesLost) std::fprintf(log, "hole %lld %lld\n", first, count);
    std::fclose(log);
    if (r.unplaced > 0)
        std::fprintf(stderr, "pendrel-record-pw: %lld buffers came late (kept, placed by their neighbours)\n",
                     r.unplaced);
    if (r.graphRate > 0) {
        std::fprintf(stderr, "pendrel-record-pw: the graph ran at %u Hz\n", r.graphRate.load());
        if (r.graphRate != r.rate)
            std::fprintf(stderr, "pendrel-record-pw: recorded at %u Hz, resampled from the graph's rate\n", r.rate);
    }
    if (r.holeFrames > 0)
        std::fprintf(stderr, "pendrel-record-pw: %lld frames were holes in the recording (silence), in %zu places\n",
                     r.holeFrames, r.holesLost.size());
    if (r.entries.empty()) {
        std::fprintf(stderr, "pendrel-record-pw: nothing was recorded\n");
        return 1;
    }
    return r.failed ? 1 : 0;
}
