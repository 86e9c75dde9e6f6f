#include "platform/sound/relay/relay.h"

#include "platform/sound/stream_backend.h"

#include <spa/pod/builder.h>

#include <algorithm>
#include <cstring>

#include <unistd.h>

namespace platform {

void Relay::lose(RelayBlock::LossKind kind, std::int64_t wallNs, std::uint64_t frames)
{
    const std::uint32_t n = m_block.lossCount.load(std::memory_order_relaxed);
    RelayBlock::Loss& loss = m_block.losses[n % RelayBlock::kLosses];
    loss.wallNs.store(wallNs, std::memory_order_relaxed);
    loss.frames.store(static_cast<std::uint32_t>(frames), std::memory_order_relaxed);
    loss.kind.store(kind, std::memory_order_relaxed);
    m_block.lossCount.store(n + 1, std::memory_order_release);
}

void Relay::openStream()
{
    if (m_stream || !m_core) return;
    m_streaming = false;
    m_graph = GraphFollower(m_block.rate.load());
    m_fed = false;
    // What is still in the ring was written for the stream before (or before switching
    // off): a new stream starts at what the program writes next.
    m_block.consumed.store(m_block.written.load());
    m_block.epoch.fetch_add(1);
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
        "Music", PW_KEY_APP_NAME, "Pendrel", PW_KEY_NODE_NAME, "pendrel",
        PW_KEY_MEDIA_NAME, "JJY time signal", nullptr);
    // The program finds its stream among the others by the relay's process (PipeWire puts it on
    // the client, not on the stream).
    pw_properties_setf(props, PW_KEY_APP_PROCESS_ID, "%d", static_cast<int>(getpid()));
    // Ask the graph to run at the stream's own rate: where the server allows that rate,
    // the stream is played unconverted and a carrier near its top gets out whole.
    pw_properties_setf(props, PW_KEY_NODE_RATE, "1/%u", m_block.rate.load());
    // Long cycles, the same in time at every rate: a cycle that the relay misses is a
    // hole in the signal, and a busy machine (or a virtual machine's host) holds a thread
    // up for tens of milliseconds now and then. 85 ms (4096 frames at 48 kHz) still leaves
    // more than 100 ms of what the program writes ahead; a graph caps it at its longest
    // cycle (by default 2048 frames, 43 ms), and runs shorter ones where other streams
    // want them.
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", m_block.rate.load() / 375 * 32,
                       m_block.rate.load());
    m_stream = pw_stream_new(m_core, "JJY time signal", props);
    if (!m_stream) return scheduleRetry();
    static const pw_stream_events streamEvents = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = &Relay::onStreamState;
        e.process = &Relay::onProcess;
        return e;
    }();
    pw_stream_add_listener(m_stream, &m_streamListener, &streamEvents, this);

    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    m_streamRate = m_block.rate.load();
    const spa_pod* params[1] = {floatAudioFormat(b, m_streamRate, m_block.channels)};
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(m_stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0)
        scheduleRetry();
}

void Relay::closeStream()
{
    if (!m_stream) return;
    spa_hook_remove(&m_streamListener);
    pw_stream_destroy(m_stream);
    m_stream = nullptr;
    m_streaming = false;
}

void Relay::onStreamState(void* self, pw_stream_state, pw_stream_state state, const char*)
{
    auto* r = static_cast<Relay*>(self);
    r->m_streaming = state == PW_STREAM_STATE_STREAMING;
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)
        r->scheduleRetry();
    r->publish();
}

// The graph's real-time thread, once a cycle.
void Relay::onProcess(void* self)
{
    auto* r = static_cast<Relay*>(self);
    RelayBlock& blk = r->m_block;
    pw_buffer* b = pw_stream_dequeue_buffer(r->m_stream);
    if (!b) return;
    spa_data& data = b->buffer->datas[0];
    const std::uint32_t channels = blk.channels;
    const std::uint32_t rate = r->m_streamRate;
    const std::uint32_t stride = static_cast<std::uint32_t>(sizeof(float)) * channels;
    if (!data.data || stride == 0 || rate == 0) {
        pw_stream_queue_buffer(r->m_stream, b);
        return;
    }
    const std::uint32_t room = data.maxsize / stride;
    const std::uint32_t frames = b->requested
        ? static_cast<std::uint32_t>(std::min<std::uint64_t>(b->requested, room))
        : std::min<std::uint32_t>(room, 1024);

    std::uint64_t consumed = blk.consumed.load(std::memory_order_relaxed);
    std::int64_t heardWallNs = 0;  // when the first frame of this buffer is heard
    pw_time t{};
    if (pw_stream_get_time_n(r->m_stream, &t, sizeof t) == 0 && t.rate.denom > 0 && t.now > 0) {
        const std::uint64_t before = consumed;
        consumed = static_cast<std::uint64_t>(r->m_graph.frameFor(
            static_cast<std::int64_t>(consumed), t.ticks, t.rate.num == 1 ? t.rate.denom : 0));
        if (t.rate.num == 1) blk.graphRate.store(t.rate.denom, std::memory_order_relaxed);
        const double tickNs = 1e9 * t.rate.num / t.rate.denom;
        const double frameNs = 1e9 / rate;
        const double aheadNs = static_cast<double>(t.delay) * tickNs +
                               (static_cast<double>(t.buffered) +
                                static_cast<double>(t.queued / stride)) * frameNs;
        const std::int64_t wallMinusMono = wallNs() - monotonicNs();
        heardWallNs = t.now + static_cast<std::int64_t>(aheadNs) + wallMinusMono;
        blk.timingSeq.fetch_add(1, std::memory_order_acq_rel);
        blk.timingFrame.store(static_cast<std::int64_t>(consumed), std::memory_order_relaxed);
        blk.timingWallNs.store(heardWallNs, std::memory_order_relaxed);
        blk.timingSeq.fetch_add(1, std::memory_order_acq_rel);
        // Cycles the graph ran without the relay; or this one, if it is asked for after the
        // cycle it belongs to has ended: the graph has gone on without it.
        if (consumed > before && r->m_fed)
            r->lose(RelayBlock::kHeldUp,
                    heardWallNs - static_cast<std::int64_t>(static_cast<double>(consumed - before) * frameNs),
                    consumed - before);
        if (r->m_fed && static_cast<double>(monotonicNs() - t.now) > frames * frameNs + 1e6)
            r->lose(RelayBlock::kHeldUp, heardWallNs, frames);
    }

    // What the program has written of these frames is played; anything it has not (it was
    // held up longer than the ring holds) is silence.
    const std::uint64_t written = blk.written.load(std::memory_order_acquire);
    const std::uint64_t ready = written > consumed ? std::min<std::uint64_t>(written - consumed, frames) : 0;
    auto* out = static_cast<float*>(data.data);
    const float* ring = blk.ring();
    for (std::uint64_t i = 0; i < ready;) {
        const std::uint64_t at = (consumed + i) % blk.ringFrames;
        const std::uint64_t n = std::min<std::uint64_t>(ready - i, blk.ringFrames - at);
        std::memcpy(out + i * channels, ring + at * channels, n * stride);
        i += n;
    }
    std::memset(out + ready * channels, 0, (frames - ready) * stride);
    if (ready < frames && r->m_fed)
        r->lose(RelayBlock::kUnwritten,
                heardWallNs + static_cast<std::int64_t>(1e9 * static_cast<double>(ready) / rate),
                frames - ready);
    r->m_fed = r->m_fed || ready == frames;
    blk.consumed.store(consumed + frames, std::memory_order_release);

    data.chunk->offset = 0;
    data.chunk->stride = static_cast<std::int32_t>(stride);
    data.chunk->size = frames * stride;
    pw_stream_queue_buffer(r->m_stream, b);
}
}  // namespace platform
