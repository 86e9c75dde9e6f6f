#include "tools/capture/capture.h"

#include <pulse/pulseaudio.h>

#include <cmath>
#include <cstdint>
#include <ctime>
#include <signal.h>

namespace capture {

namespace {

struct PulseRecorder {
    pa_mainloop_api* api = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    const Options* options = nullptr;
    Recording* out = nullptr;
    long long frames = 0;
    bool timingAsked = false;
    double heardFrame = 0;  // this frame (of the recording) was heard at heardNs (wall clock)
    long long heardNs = 0;  // 0: no timing report yet
    bool failed = false;
    bool quitting = false;
    pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, 48000, 1};

    void quit(bool failure)
    {
        if (failure) failed = true;
        quitting = true;
        api->quit(api, 0);
    }

    static void onRead(pa_stream* s, std::size_t, void* self)
    {
        auto* r = static_cast<PulseRecorder*>(self);
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        if (!r->timingAsked) {
            if (pa_operation* op = pa_stream_update_timing_info(s, &onTiming, r)) {
                pa_operation_unref(op);
                r->timingAsked = true;
            }
        }
        // How long ago the next frame to read was heard at the sink.
        const bool timed = r->heardNs != 0;
        long long latencyUs = 0;
        if (timed) {
            const double heardNs =
                static_cast<double>(r->heardNs) +
                (static_cast<double>(r->frames) - r->heardFrame) * 1e9 / r->sampleFormat.rate;
            latencyUs = std::llround((static_cast<double>(now.tv_sec) * 1e9 +
                                      static_cast<double>(now.tv_nsec) - heardNs) /
                                     1000);
        }
        const std::int64_t arrivalNs =
            static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (pa_stream_readable_size(s) > 0) {
            if (pa_stream_peek(s, &data, &bytes) < 0) return r->quit(true);
            if (bytes == 0) break;
            const auto n = static_cast<long long>(bytes / sizeof(float));
            auto& samples = r->out->samples;
            if (data) {
                const auto* f = static_cast<const float*>(data);
                samples.insert(samples.end(), f, f + n);
            } else {  // a hole in the recording: keep the timeline with silence
                r->out->lost.push_back({r->frames, n});
                samples.insert(samples.end(), static_cast<std::size_t>(n), 0.0f);
            }
            if (timed) r->out->fragments.push_back({arrivalNs, r->frames, n, latencyUs});
            latencyUs -= static_cast<long long>(pa_bytes_to_usec(bytes, &r->sampleFormat));
            r->frames += n;
            pa_stream_drop(s);
        }
    }

    // The frame heard at the report's moment: what the server had captured into the stream,
    // plus what the source held captured, less what the monitored sink held rendered.
    static void onTiming(pa_stream* s, int success, void* self)
    {
        auto* r = static_cast<PulseRecorder*>(self);
        r->timingAsked = false;
        const pa_timing_info* t = success ? pa_stream_get_timing_info(s) : nullptr;
        if (!t || t->write_index_corrupt || t->write_index < 0) return;
        r->heardFrame =
            static_cast<double>(t->write_index / static_cast<std::int64_t>(sizeof(float))) +
            (static_cast<double>(t->source_usec) - static_cast<double>(t->sink_usec)) *
                r->sampleFormat.rate / 1e6;
        r->heardNs = static_cast<long long>(t->timestamp.tv_sec) * 1'000'000'000 +
                     static_cast<long long>(t->timestamp.tv_usec) * 1000;
    }

    static void onStreamState(pa_stream* s, void* self)
    {
        const auto state = pa_stream_get_state(s);
        auto* r = static_cast<PulseRecorder*>(self);
        if (!r->quitting && (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)) {
            std::fprintf(stderr, "%s: the recording stream ended\n", r->options->name.c_str());
            r->quit(true);
        }
    }

    static void onContextState(pa_context* c, void* self)
    {
        auto* r = static_cast<PulseRecorder*>(self);
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY: {
            r->stream = pa_stream_new(c, r->options->name.c_str(), &r->sampleFormat, nullptr);
            if (!r->stream) return r->quit(true);
            pa_stream_set_read_callback(r->stream, &onRead, r);
            pa_stream_set_state_callback(r->stream, &onStreamState, r);
            pa_buffer_attr attr{};
            attr.maxlength = static_cast<std::uint32_t>(-1);
            attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(5000, &r->sampleFormat));
            const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
            const std::string& target = r->options->target;
            if (pa_stream_connect_record(r->stream,
                                         target.empty() ? "@DEFAULT_MONITOR@" : target.c_str(),
                                         &attr, flags) < 0) {
                std::fprintf(stderr, "%s: cannot record %s\n", r->options->name.c_str(),
                             target.empty() ? "the default sink's monitor" : target.c_str());
                r->quit(true);
            }
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            if (r->quitting) break;
            std::fprintf(stderr, "%s: no sound server: %s\n", r->options->name.c_str(),
                         pa_strerror(pa_context_errno(c)));
            r->quit(true);
            break;
        default:
            break;
        }
    }

    static void onStop(pa_mainloop_api*, pa_time_event*, const timeval*, void* self)
    {
        static_cast<PulseRecorder*>(self)->quit(false);
    }

    static void onSignal(pa_mainloop_api*, pa_signal_event*, int, void* self)
    {
        auto* r = static_cast<PulseRecorder*>(self);
        r->out->interrupted = true;
        r->quit(false);
    }
};

}  // namespace

bool recordPulse(const Options& options, Recording& recording)
{
    PulseRecorder r;
    r.options = &options;
    r.out = &recording;
    r.sampleFormat.rate = options.rate;
    recording.rate = options.rate;
    // Room for the whole recording (or ten minutes), so that it is not copied while it runs.
    const double reserveSeconds = options.seconds > 0 ? options.seconds + 5 : 600;
    recording.samples.reserve(static_cast<std::size_t>(reserveSeconds * options.rate));
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop) return false;
    r.api = pa_mainloop_get_api(loop);
    pa_signal_init(r.api);
    pa_signal_new(SIGINT, &PulseRecorder::onSignal, &r);
    pa_signal_new(SIGTERM, &PulseRecorder::onSignal, &r);
    if (options.seconds > 0) {
        timeval tv;
        pa_timeval_add(pa_gettimeofday(&tv), static_cast<pa_usec_t>(options.seconds * 1e6));
        r.api->time_new(r.api, &tv, &PulseRecorder::onStop, &r);
    }
    r.context = pa_context_new(r.api, options.name.c_str());
    pa_context_set_state_callback(r.context, &PulseRecorder::onContextState, &r);
    if (pa_context_connect(r.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        if (!r.failed) std::fprintf(stderr, "%s: no sound server\n", options.name.c_str());
        r.failed = true;
    } else {
        int result = 0;
        pa_mainloop_run(loop, &result);
    }
    if (r.stream) {
        pa_stream_disconnect(r.stream);
        pa_stream_unref(r.stream);
    }
    pa_context_disconnect(r.context);
    pa_context_unref(r.context);
    pa_signal_done();  // frees the signal events too
    pa_mainloop_free(loop);
    return !r.failed;
}

long long Recording::lostFrames() const
{
    long long n = 0;
    for (const Lost& l : lost) n += l.count;
    return n;
}

}  // namespace capture
