#include "platform/sound/pulse_backend.h"

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
    explicit PulseBackend(PulseOptions opts) : options(std::move(opts)) {}
    ~PulseBackend() override;
    PulseBackend(const PulseBackend&) = delete;
    PulseBackend& operator=(const PulseBackend&) = delete;

    std::string serverName() const override { return "PulseAudio"; }
    bool start(StreamEvents& events, unsigned rate, unsigned channels) override;
    void setTransmitting(bool on) override;
    void setRate(unsigned rate) override;

private:
    StreamEvents* owner = nullptr;
    PulseOptions options;
    pa_sample_spec sampleFormat{};

    // Owned by the main loop: touched only with its lock held or from its own callbacks.
    pa_threaded_mainloop* loop = nullptr;
    pa_mainloop_api* api = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_time_event* retry = nullptr;
    bool shuttingDown = false;
    bool priorityRaised = false;
    bool transmitting = false;
    bool timingAsked = false;  // a timing report is on its way for the current stream
    std::string device;
    std::uint32_t sinkIndex = PA_INVALID_INDEX;

    void publish()
    {
        const bool reachable = context && pa_context_get_state(context) == PA_CONTEXT_READY;
        const bool running = stream && pa_stream_get_state(stream) == PA_STREAM_READY;
        owner->serverState(reachable, running, running ? device : std::string());
    }

    void connectContext()
    {
        context = pa_context_new(api, options.appName.c_str());
        if (!context) return scheduleRetry();
        pa_context_set_state_callback(context, &PulseBackend::onContextState, this);
        const char* server = options.server.empty() ? nullptr : options.server.c_str();
        if (pa_context_connect(context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            scheduleRetry();
    }

    void openStream()
    {
        // A new stream starts a new timeline: its frame 0 is the first frame written.
        owner->streamOpened(sampleFormat.rate);
        pa_channel_map map;
        pa_channel_map_init_auto(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
        stream = pa_stream_new_with_proplist(context, "JJY time signal", &sampleFormat, &map, props);
        pa_proplist_free(props);
        if (!stream) return scheduleRetry();
        pa_stream_set_state_callback(stream, &PulseBackend::onStreamState, this);
        pa_stream_set_write_callback(stream, &PulseBackend::onWritable, this);
        pa_stream_set_moved_callback(stream, &PulseBackend::onMoved, this);

        pa_buffer_attr attr;
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = static_cast<std::uint32_t>(
            pa_usec_to_bytes(static_cast<pa_usec_t>(options.buffer.count()), &sampleFormat));
        attr.prebuf = static_cast<std::uint32_t>(-1);
        attr.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(kRefillUs, &sampleFormat));
        attr.fragsize = static_cast<std::uint32_t>(-1);
        // The buffer is ours in full: with PA_STREAM_ADJUST_LATENCY the server would split it
        // with the device and leave the stream too little to ride out a late refill. Timing
        // is asked for with each refill and taken as the server reports it (see observe()),
        // not through libpulse's interpolation.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_NOT_MONOTONIC);
        if (pa_stream_connect_playback(stream, nullptr, &attr, flags, nullptr, nullptr) < 0)
            scheduleRetry();
    }

    void closeStream()
    {
        if (!stream) return;
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_write_callback(stream, nullptr, nullptr);
        pa_stream_set_moved_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
        timingAsked = false;
        owner->timingLost(0);
        publish();
    }

    void closeAll()
    {
        closeStream();
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
        publish();
    }

    void scheduleRetry()
    {
        publish();
        if (retry || shuttingDown) return;
        timeval tv;
        pa_timeval_add(pa_gettimeofday(&tv), kRetryUs);
        retry = api->time_new(api, &tv, &PulseBackend::onRetry, this);
    }

    static void onRetry(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* self)
    {
        auto* d = static_cast<PulseBackend*>(self);
        api->time_free(e);
        d->retry = nullptr;
        if (d->shuttingDown) return;
        // A stream lost while its server stays up gets a new stream; anything else starts over.
        if (d->context && pa_context_get_state(d->context) == PA_CONTEXT_READY) {
            d->closeStream();
            if (d->transmitting) d->openStream();
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
            if (!d->priorityRaised) {
                raiseThreadPriority();
                d->priorityRaised = true;
            }
            // A device that changes its rate (or its description) is looked at again.
            pa_context_set_subscribe_callback(c, &PulseBackend::onServerEvent, d);
            if (pa_operation* op = pa_context_subscribe(c, PA_SUBSCRIPTION_MASK_SINK, nullptr, nullptr))
                pa_operation_unref(op);
            if (!d->stream && d->transmitting) d->openStream();
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
            && index == d->sinkIndex)
            d->lookUpDevice();
    }

    static void onMoved(pa_stream*, void* self)
    {
        static_cast<PulseBackend*>(self)->lookUpDevice();
    }

    void lookUpDevice()
    {
        if (!stream) return;
        pa_operation* op = pa_context_get_sink_info_by_index(
            context, pa_stream_get_device_index(stream), &PulseBackend::onSinkInfo, this);
        if (op) pa_operation_unref(op);
    }

    static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self)
    {
        auto* d = static_cast<PulseBackend*>(self);
        if (eol || !info) return;
        const bool none = info->name && std::strcmp(info->name, kNullSinkName) == 0;
        d->device = none ? std::string() : std::string(info->description ? info->description : "");
        d->sinkIndex = info->index;
        // The rate the device is fed at: the server resamples our stream to it when they differ
        // (it switches the device to our rate itself only where it is allowed to).
        d->owner->outputRate(info->sample_spec.rate);
        d->publish();
    }

    static void onWritable(pa_stream* s, std::size_t bytes, void* self)
    {
        auto* d = static_cast<PulseBackend*>(self);
        d->write(bytes);
        if (!d->timingAsked) {
            if (pa_operation* op = pa_stream_update_timing_info(s, &PulseBackend::onTiming, d)) {
                pa_operation_unref(op);
                d->timingAsked = true;
            }
        }
    }

    static void onTiming(pa_stream* s, int success, void* self)
    {
        auto* d = static_cast<PulseBackend*>(self);
        if (s != d->stream) return;
        d->timingAsked = false;
        if (success) d->observe();
    }

    // Which frame was heard when, from the server's own report: the frame it was reading and
    // the device's latency behind it, stamped with the server's clock as it answered. Nothing
    // on this side is in it, so a report that reaches a busy program late is still exact.
    // (libpulse's interpolation learns a rate from the reports' arrival; on a busy machine it
    // can be a few milliseconds a second off for the first seconds of a stream.)
    void observe()
    {
        const pa_timing_info* t = pa_stream_get_timing_info(stream);
        if (!t || !t->playing || t->read_index_corrupt || t->read_index < 0) return;
        const std::int64_t frameBytes =
            static_cast<std::int64_t>(sizeof(float)) * sampleFormat.channels;
        const double frame = static_cast<double>(t->read_index / frameBytes) -
                             static_cast<double>(t->sink_usec) * sampleFormat.rate / 1e6;
        const std::int64_t at =
            static_cast<std::int64_t>(t->timestamp.tv_sec) * 1'000'000'000 +
            static_cast<std::int64_t>(t->timestamp.tv_usec) * 1000;
        owner->timing(std::llround(frame), at);
    }

    void write(std::size_t bytes)
    {
        const std::size_t frameBytes = sizeof(float) * sampleFormat.channels;
        bytes -= bytes % frameBytes;
        while (bytes > 0) {
            void* data = nullptr;
            std::size_t chunk = bytes;
            if (pa_stream_begin_write(stream, &data, &chunk) < 0 || !data) return;
            chunk -= chunk % frameBytes;
            if (chunk == 0) {
                pa_stream_cancel_write(stream);
                return;
            }
            owner->render(static_cast<float*>(data), chunk / frameBytes);
            if (pa_stream_write(stream, data, chunk, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
            bytes -= chunk;
        }
    }
};

bool PulseBackend::start(StreamEvents& events, unsigned rate, unsigned channels)
{
    owner = &events;
    sampleFormat.format = PA_SAMPLE_FLOAT32NE;
    sampleFormat.rate = rate;
    sampleFormat.channels = static_cast<std::uint8_t>(channels);
    PulseBackend& d = *this;
    d.loop = pa_threaded_mainloop_new();
    if (!d.loop) return true;  // out of memory: every call then plays nothing
    d.api = pa_threaded_mainloop_get_api(d.loop);
    pa_threaded_mainloop_lock(d.loop);
    d.connectContext();
    pa_threaded_mainloop_unlock(d.loop);
    pa_threaded_mainloop_start(d.loop);
    return true;
}

PulseBackend::~PulseBackend()
{
    PulseBackend& d = *this;
    if (!d.loop) return;
    pa_threaded_mainloop_lock(d.loop);
    d.shuttingDown = true;
    if (d.retry) {
        d.api->time_free(d.retry);
        d.retry = nullptr;
    }
    d.closeAll();
    pa_threaded_mainloop_unlock(d.loop);
    pa_threaded_mainloop_stop(d.loop);
    pa_threaded_mainloop_free(d.loop);
}

void PulseBackend::setRate(unsigned rate)
{
    PulseBackend& d = *this;
    if (!d.loop) return;
    pa_threaded_mainloop_lock(d.loop);
    d.sampleFormat.rate = rate;
    if (d.stream) {
        d.closeStream();
        if (d.transmitting) d.openStream();
    }
    pa_threaded_mainloop_unlock(d.loop);
}

// Off, the stream is closed so the device can rest; on, a new one opens at once. It plays
// within a few tens of milliseconds, well inside the lead the first pulse is placed with.
void PulseBackend::setTransmitting(bool on)
{
    PulseBackend& d = *this;
    if (!d.loop) return;
    pa_threaded_mainloop_lock(d.loop);
    if (on != d.transmitting) {
        d.transmitting = on;
        if (!on) {
            owner->silence();
            d.closeStream();
        } else if (d.context && pa_context_get_state(d.context) == PA_CONTEXT_READY && !d.stream) {
            d.openStream();
        }
    }
    pa_threaded_mainloop_unlock(d.loop);
}

}  // namespace

std::unique_ptr<StreamBackend> makePulseBackend(PulseOptions options)
{
    return std::make_unique<PulseBackend>(std::move(options));
}

}  // namespace platform
