#include "platform/sound/pulse_backend.h"

#include "platform/sound/pulse_route.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace platform {

namespace {

constexpr pa_usec_t kRetryUs = 500'000;
// The server asks for more whenever this much has been played: the stream stays within this
// of full, so a stall of the program finds at least seven eighths of it to play on, at twenty
// wake-ups a second.
constexpr pa_usec_t kRefillUs = 50'000;
// PulseAudio's own stand-in when it has no real device.
constexpr const char* kNullSinkName = "auto_null";

class PulseBackend final : public StreamBackend {
public:
    explicit PulseBackend(PulseOptions opts)
        : m_options(std::move(opts)),
          m_route([this](const pa_sink_input_info& info) { return isOurs(info); },
                  [this](const SoundRoute& route) { m_owner->outputRoute(route); })
    {
    }
    ~PulseBackend() override;
    PulseBackend(const PulseBackend&) = delete;
    PulseBackend& operator=(const PulseBackend&) = delete;

    std::string serverName() const override { return "PulseAudio"; }
    bool start(StreamEvents& events, unsigned rate, unsigned channels) override;
    void setTransmitting(bool on) override;
    void setRate(unsigned rate) override;

private:
    StreamEvents* m_owner = nullptr;
    PulseOptions m_options;
    pa_sample_spec m_sampleFormat{};

    // Owned by the main loop: touched only with its lock held or from its own callbacks.
    pa_threaded_mainloop* m_loop = nullptr;
    pa_mainloop_api* m_api = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    pa_time_event* m_retry = nullptr;
    bool m_shuttingDown = false;
    bool m_priorityRaised = false;
    bool m_transmitting = false;
    bool m_timingAsked = false;  // a timing report is on its way for the current stream
    std::string m_device;
    std::uint32_t m_sinkIndex = PA_INVALID_INDEX;
    PulseRouteWatch m_route;

    bool isOurs(const pa_sink_input_info& info) const
    {
        return m_stream && pa_stream_get_state(m_stream) == PA_STREAM_READY
            && info.index == pa_stream_get_index(m_stream);
    }

    void publish()
    {
        const bool reachable = m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY;
        const bool running = m_stream && pa_stream_get_state(m_stream) == PA_STREAM_READY;
        m_owner->serverState(reachable, running, running ? m_device : std::string());
    }

    void connectContext()
    {
        m_context = pa_context_new(m_api, m_options.appName.c_str());
        if (!m_context) return scheduleRetry();
        pa_context_set_state_callback(m_context, &PulseBackend::onContextState, this);
        const char* server = m_options.server.empty() ? nullptr : m_options.server.c_str();
        if (pa_context_connect(m_context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            scheduleRetry();
    }

    void openStream()
    {
        // A new stream starts a new timeline: its frame 0 is the first frame written.
        m_owner->streamOpened(m_sampleFormat.rate);
        pa_channel_map map;
        pa_channel_map_init_auto(&map, m_sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
        m_stream = pa_stream_new_with_proplist(m_context, "JJY time signal", &m_sampleFormat, &map, props);
        pa_proplist_free(props);
        if (!m_stream) return scheduleRetry();
        pa_stream_set_state_callback(m_stream, &PulseBackend::onStreamState, this);
        pa_stream_set_write_callback(m_stream, &PulseBackend::onWritable, this);
        pa_stream_set_moved_callback(m_stream, &PulseBackend::onMoved, this);

        pa_buffer_attr attr;
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = static_cast<std::uint32_t>(
            pa_usec_to_bytes(static_cast<pa_usec_t>(m_options.buffer.count()), &m_sampleFormat));
        attr.prebuf = static_cast<std::uint32_t>(-1);
        attr.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(kRefillUs, &m_sampleFormat));
        attr.fragsize = static_cast<std::uint32_t>(-1);
        // The buffer is ours in full: with PA_STREAM_ADJUST_LATENCY the server would split it
        // with the device and leave the stream too little to ride out a late refill. Timing
        // is asked for with each refill and taken as the server reports it (see observe()),
        // not through libpulse's interpolation.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_NOT_MONOTONIC);
        if (pa_stream_connect_playback(m_stream, nullptr, &attr, flags, nullptr, nullptr) < 0)
            scheduleRetry();
    }

    void closeStream()
    {
        if (!m_stream) return;
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_set_write_callback(m_stream, nullptr, nullptr);
        pa_stream_set_moved_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
        m_stream = nullptr;
        m_timingAsked = false;
        m_owner->timingLost(0);
        m_route.look();
        publish();
    }

    void closeAll()
    {
        closeStream();
        if (m_context) {
            m_route.detach();
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
            m_context = nullptr;
        }
        publish();
    }

    void scheduleRetry()
    {
        publish();
        if (m_retry || m_shuttingDown) return;
        timeval tv;
        pa_timeval_add(pa_gettimeofday(&tv), kRetryUs);
        m_retry = m_api->time_new(m_api, &tv, &PulseBackend::onRetry, this);
    }

    static void onRetry(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* self)
    {
        auto* d = static_cast<PulseBackend*>(self);
        api->time_free(e);
        d->m_retry = nullptr;
        if (d->m_shuttingDown) return;
        // A stream lost while its server stays up gets a new stream; anything else starts over.
        if (d->m_context && pa_context_get_state(d->m_context) == PA_CONTEXT_READY) {
            d->closeStream();
            if (d->m_transmitting) d->openStream();
            return;
        }
        d->closeAll();
        d->connectContext();
    }

    static void onContextState(pa_context* c, void* self)
    {
        auto* d = static_cast<PulseBackend*>(self);
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY:
            if (!d->m_priorityRaised) {
                raiseThreadPriority();
                d->m_priorityRaised = true;
            }
            // A device that changes its rate (or its description) is looked at again, and so is
            // the way out whenever a device or a stream changes.
            pa_context_set_subscribe_callback(c, &PulseBackend::onServerEvent, d);
            if (pa_operation* op = pa_context_subscribe(c, PulseRouteWatch::kEvents, nullptr, nullptr))
                pa_operation_unref(op);
            d->m_route.attach(c);
            if (!d->m_stream && d->m_transmitting) d->openStream();
            d->publish();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            d->scheduleRetry();
            break;
        default:
            break;
        }
    }

    static void onStreamState(pa_stream* s, void* self)
    {
        auto* d = static_cast<PulseBackend*>(self);
        switch (pa_stream_get_state(s)) {
        case PA_STREAM_READY:
            d->lookUpDevice();
            d->m_route.look();
            d->publish();
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            d->scheduleRetry();
            break;
        default:
            break;
        }
    }

    static void onServerEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                              void* self)
    {
        auto* d = static_cast<PulseBackend*>(self);
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SINK
            && index == d->m_sinkIndex)
            d->lookUpDevice();
        d->m_route.serverEvent(type, index);
    }

    static void onMoved(pa_stream*, void* self)
    {
        static_cast<PulseBackend*>(self)->lookUpDevice();
        static_cast<PulseBackend*>(self)->m_route.look();
    }

    void lookUpDevice()
    {
        if (!m_stream) return;
        pa_operation* op = pa_context_get_sink_info_by_index(
            m_context, pa_stream_get_device_index(m_stream), &PulseBackend::onSinkInfo, this);
        if (op) pa_operation_unref(op);
    }

    static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self)
    {
        auto* d = static_cast<PulseBackend*>(self);
        if (eol || !info) return;
        const bool none = info->name && std::strcmp(info->name, kNullSinkName) == 0;
        d->m_device = none ? std::string() : std::string(info->description ? info->description : "");
        d->m_sinkIndex = info->index;
        // The rate the device is fed at: the server resamples our stream to it when they differ
        // (it switches the device to our rate itself only where it is allowed to).
        d->m_owner->outputRate(info->sample_spec.rate);
        d->publish();
    }

    static void onWritable(pa_stream* s, std::size_t bytes, void* self)
    {
        auto* d = static_cast<PulseBackend*>(self);
        d->write(bytes);
        if (!d->m_timingAsked) {
            if (pa_operation* op = pa_stream_update_timing_info(s, &PulseBackend::onTiming, d)) {
                pa_operation_unref(op);
                d->m_timingAsked = true;
            }
        }
    }

    static void onTiming(pa_stream* s, int success, void* self)
    {
        auto* d = static_cast<PulseBackend*>(self);
        if (s != d->m_stream) return;
        d->m_timingAsked = false;
        if (success) d->observe();
    }

    // Which frame was heard when, from the server's own report: the frame it was reading and
    // the device's latency behind it, stamped with the server's clock as it answered. Nothing
    // on this side is in it, so a report that reaches a busy program late is still exact.
    // (libpulse's interpolation learns a rate from the reports' arrival; on a busy machine it
    // can be a few milliseconds a second off for the first seconds of a stream.)
    void observe()
    {
        const pa_timing_info* t = pa_stream_get_timing_info(m_stream);
        if (!t || !t->playing || t->read_index_corrupt || t->read_index < 0) return;
        const std::int64_t frameBytes =
            static_cast<std::int64_t>(sizeof(float)) * m_sampleFormat.channels;
        const double frame = static_cast<double>(t->read_index / frameBytes) -
                             static_cast<double>(t->sink_usec) * m_sampleFormat.rate / 1e6;
        const std::int64_t at =
            static_cast<std::int64_t>(t->timestamp.tv_sec) * 1'000'000'000 +
            static_cast<std::int64_t>(t->timestamp.tv_usec) * 1000;
        m_owner->timing(std::llround(frame), at);
    }

    void write(std::size_t bytes)
    {
        const std::size_t frameBytes = sizeof(float) * m_sampleFormat.channels;
        bytes -= bytes % frameBytes;
        while (bytes > 0) {
            void* data = nullptr;
            std::size_t chunk = bytes;
            if (pa_stream_begin_write(m_stream, &data, &chunk) < 0 || !data) return;
            chunk -= chunk % frameBytes;
            if (chunk == 0) {
                pa_stream_cancel_write(m_stream);
                return;
            }
            m_owner->render(static_cast<float*>(data), chunk / frameBytes);
            if (pa_stream_write(m_stream, data, chunk, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
            bytes -= chunk;
        }
    }
};

bool PulseBackend::start(StreamEvents& events, unsigned rate, unsigned channels)
{
    m_owner = &events;
    m_sampleFormat.format = PA_SAMPLE_FLOAT32NE;
    m_sampleFormat.rate = rate;
    m_sampleFormat.channels = static_cast<std::uint8_t>(channels);
    m_loop = pa_threaded_mainloop_new();
    if (!m_loop) return true;  // out of memory: every call then plays nothing
    m_api = pa_threaded_mainloop_get_api(m_loop);
    pa_threaded_mainloop_lock(m_loop);
    connectContext();
    pa_threaded_mainloop_unlock(m_loop);
    pa_threaded_mainloop_start(m_loop);
    return true;
}

PulseBackend::~PulseBackend()
{
    if (!m_loop) return;
    pa_threaded_mainloop_lock(m_loop);
    m_shuttingDown = true;
    if (m_retry) {
        m_api->time_free(m_retry);
        m_retry = nullptr;
    }
    closeAll();
    pa_threaded_mainloop_unlock(m_loop);
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
}

void PulseBackend::setRate(unsigned rate)
{
    if (!m_loop) return;
    pa_threaded_mainloop_lock(m_loop);
    m_sampleFormat.rate = rate;
    if (m_stream) {
        closeStream();
        if (m_transmitting) openStream();
    }
    pa_threaded_mainloop_unlock(m_loop);
}

// Off, the stream is closed so the device can rest; on, a new one opens at once. It plays
// within a few tens of milliseconds, well inside the lead the first pulse is placed with.
void PulseBackend::setTransmitting(bool on)
{
    if (!m_loop) return;
    pa_threaded_mainloop_lock(m_loop);
    if (on != m_transmitting) {
        m_transmitting = on;
        if (!on) {
            m_owner->silence();
            closeStream();
        } else if (m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY && !m_stream) {
            openStream();
        }
    }
    pa_threaded_mainloop_unlock(m_loop);
}

}  // namespace

std::unique_ptr<StreamBackend> makePulseBackend(PulseOptions options)
{
    return std::make_unique<PulseBackend>(std::move(options));
}

}  // namespace platform
