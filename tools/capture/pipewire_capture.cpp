// The moment comes from the graph's own clock, not from a latency the server reports: every
// cycle the stream's time report carries the driver's position (ticks) at the cycle's start
// (now, CLOCK_MONOTONIC), and a sink driven by its own clock plays the frame at that position
// at that moment; that is also what playback streams are told. The sink takes its frames at the
// end of a cycle, and what its monitor puts out then reaches a capture stream in the following
// cycle: the buffer in hand started one buffer length before the reported position (and the
// delay the report names, zero for a monitor, before that). The monotonic moment is carried over
// to CLOCK_REALTIME by reading both clocks back to back in the same callback. Only a callback
// whose report moved on by just the frames in hand places them; one run late finds a newer
// report and keeps its frames unplaced, in sequence. Frames that never reached the stream show
// as a jump in the position at the next steady cycle.

#include "platform/sound/pipewire_client.h"
#include "tools/capture/capture.h"
#include "tools/capture/graph_timeline.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <string>

namespace capture {

namespace {

constexpr unsigned kChannels = 2;

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

// Runs on the stream's data thread: it only appends to vectors reserved (and touched) before.
struct PipeWireRecorder {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    Recording* out = nullptr;
    const Options* options = nullptr;
    long long frames = 0;
    GraphTimeline timeline;
    std::atomic<unsigned> graphRate{0};  // ticks a second in the last report
    bool stopping = false;
    std::atomic<bool> failed{false};

    static void onProcess(void* self)
    {
        auto* r = static_cast<PipeWireRecorder*>(self);
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
        const unsigned rate = r->out->rate;
        // The report counts in the graph's ticks; the frames in hand are at the recording's
        // rate, the same unless the graph runs at another rate than the one asked for.
        std::uint64_t ticks = time.ticks;
        std::int64_t delay = time.delay;
        if (r->graphRate != rate && r->graphRate > 0) {
            ticks = ticks * rate / r->graphRate;
            delay = delay * static_cast<std::int64_t>(rate) / r->graphRate;
        }
        // What is in hand ended at the reported position.
        const auto step = r->timeline.next(ticks, delay, total, 10LL * rate);
        if (step.lost > 0) r->lose(step.lost);
        auto& fragments = r->out->fragments;
        const bool place = step.place || fragments.empty();
        std::int64_t behind = delay + total;
        for (std::size_t k = 0; k < count; ++k) {
            const Chunk c = chunkOf(ready[k]);
            const long long n = c.frames;
            if (n > 0 && c.data) {
                if (place)
                    fragments.push_back(
                        {time.now + toReal, r->frames, n,
                         std::llround(static_cast<double>(behind * 1000000000LL / rate) / 1000)});
                for (long long i = 0; i < n; ++i) r->out->samples.push_back(c.left(i));
                r->frames += n;
            } else if (n > 0) {
                r->lose(n);
            }
            if (!place) ++r->out->unplaced;
            if (r->options->verbose && n > 0 && (r->frames / n) % 500 == 1)
                std::fprintf(
                    stderr,
                    "now %lld ticks %llu delay %lld rate %u/%u queued %llu buffered %llu "
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
            for (long long i = 0; i < c.frames; ++i)
                out->samples.push_back(c.data ? c.left(i) : 0.0f);
            frames += c.frames;
            pw_stream_queue_buffer(stream, ready[k]);
        }
    }

    // Frames the recording does not have, kept as silence and listed as lost.
    void lose(long long n)
    {
        out->lost.push_back({frames, n});
        out->samples.insert(out->samples.end(), static_cast<std::size_t>(n), 0.0f);
        frames += n;
    }

    static void onState(void* self, pw_stream_state, pw_stream_state state, const char* error)
    {
        auto* r = static_cast<PipeWireRecorder*>(self);
        if (r->stopping) return;
        if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
            std::fprintf(stderr, "%s: the recording stream ended%s%s\n", r->options->name.c_str(),
                         error ? ": " : "", error ? error : "");
            r->failed = true;
            pw_main_loop_quit(r->loop);
        }
    }
};

}  // namespace

bool recordPipeWire(const Options& options, Recording& recording)
{
    platform::PipeWireClient client;
    if (!client.ok()) return false;
    PipeWireRecorder r;
    r.options = &options;
    r.out = &recording;
    recording.rate = options.rate;
    // Room for long recordings without growing in the data thread.
    const double reserveSeconds = options.seconds > 0 ? options.seconds + 30 : 900;
    const double rate = options.rate;
    recording.samples.reserve(static_cast<std::size_t>(reserveSeconds * rate));
    recording.fragments.reserve(static_cast<std::size_t>(reserveSeconds * rate / 64));
    recording.lost.reserve(4096);
    // Touch every page now: a first touch in the data thread is a page fault there, and at
    // 192 kHz that is a few hundred a second, each one able to make the recorder miss a cycle.
    recording.samples.resize(recording.samples.capacity());
    recording.samples.clear();
    recording.fragments.resize(recording.fragments.capacity());
    recording.fragments.clear();
    r.loop = client.mainLoop();
    client.quitOnSignals();
    client.quitAfter(options.seconds);

    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_MEDIA_ROLE, "Production", PW_KEY_STREAM_CAPTURE_SINK, "true",
                          PW_KEY_NODE_NAME, options.name.c_str(), nullptr);
    if (!options.target.empty())
        pw_properties_set(props, PW_KEY_TARGET_OBJECT, options.target.c_str());
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = &PipeWireRecorder::onState;
        e.process = &PipeWireRecorder::onProcess;
        return e;
    }();
    pw_core* core = client.connect();
    if (!core) {
        pw_properties_free(props);
        std::fprintf(stderr, "%s: no PipeWire server\n", options.name.c_str());
        return false;
    }
    spa_hook streamListener{};
    r.stream = pw_stream_new(core, options.name.c_str(), props);
    if (!r.stream) {
        std::fprintf(stderr, "%s: no PipeWire stream\n", options.name.c_str());
        return false;
    }
    pw_stream_add_listener(r.stream, &streamListener, &events, &r);

    // The sink's own format: no conversion, no resampling between the sink and the recording.
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[1] = {platform::floatAudioFormat(builder, options.rate, kChannels)};
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(r.stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) < 0) {
        std::fprintf(stderr, "%s: no PipeWire server\n", options.name.c_str());
        pw_stream_destroy(r.stream);
        return false;
    }
    const std::int64_t started = platform::monotonicNs();
    client.run();
    const double ran = static_cast<double>(platform::monotonicNs() - started) / 1e9;
    recording.interrupted = !r.failed && (options.seconds <= 0 || ran < options.seconds - 0.05);
    r.stopping = true;
    pw_stream_disconnect(r.stream);
    pw_stream_destroy(r.stream);
    client.disconnect();
    recording.graphRate = r.graphRate.load();
    return !r.failed;
}

}  // namespace capture
