// Records a PulseAudio source (by default the monitor of the default sink) into a mono float
// WAV file at 48 kHz or the rate asked for (up to 192 kHz: record at the sink's own rate, so
// that the server resamples nothing on the way), and logs for every fragment received: the
// wall-clock time of its arrival, the number of frames recorded before it, its length in frames
// and the stream's latency at that moment in microseconds (how long before its arrival the
// fragment's first frame was heard; negative when it arrived before it was heard). The latency
// comes from the server's own timing reports (which frame it was capturing, and the sink's
// delay, on the server's clock), asked for all along; libpulse's interpolation of them learns
// a rate from their arrival and swings by milliseconds on a busy machine, more than what is
// measured here. A stretch the server could not deliver is recorded as silence and logged as
// "hole FIRST COUNT", so that it is not taken for a hole in the signal. pendrel-decode fits
// sample index to wall-clock time from that log.
//   pendrel-record [--device NAME] [--rate HZ] [--seconds N] OUT.wav OUT.log
// Stops after N seconds, or on SIGINT/SIGTERM; the files are complete either way.

#include <pulse/pulseaudio.h>
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <signal.h>
#include <string>

namespace {

struct Recorder {
    pa_mainloop* loop = nullptr;
    pa_mainloop_api* api = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    std::string device = "@DEFAULT_MONITOR@";
    SNDFILE* wav = nullptr;
    FILE* log = nullptr;
    long long frames = 0;
    long long holeFrames = 0;  // frames the server could not deliver, recorded as silence
    bool timingAsked = false;
    double heardFrame = 0;     // this frame (of the recording) was heard at heardNs (wall clock)
    long long heardNs = 0;     // 0: no timing report yet
    int exitCode = 0;
    bool quitting = false;
    pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, 48000, 1};

    void quit(int code)
    {
        if (code) exitCode = code;
        quitting = true;
        api->quit(api, exitCode);
    }

    static void onRead(pa_stream* s, std::size_t, void* self)
    {
        auto* r = static_cast<Recorder*>(self);
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        if (!r->timingAsked) {
            if (pa_operation* op = pa_stream_update_timing_info(s, &onTiming, r)) {
                pa_operation_unref(op);
                r->timingAsked = true;
            }
        }
        // How long ago the next frame to read was heard at the sink. Negative for a monitor:
        // a sink hands its monitor what it renders, ahead of playing it.
        const bool timed = r->heardNs != 0;
        long long latencyUs = 0;
        if (timed) {
            const double heardNs = static_cast<double>(r->heardNs) +
                                   (static_cast<double>(r->frames) - r->heardFrame) * 1e9 / r->sampleFormat.rate;
            latencyUs = std::llround((static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec) -
                                      heardNs) / 1000);
        }
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (pa_stream_readable_size(s) > 0) {
            if (pa_stream_peek(s, &data, &bytes) < 0) return r->quit(1);
            if (bytes == 0) break;
            const auto n = static_cast<sf_count_t>(bytes / sizeof(float));
            if (data) {
                sf_writef_float(r->wav, static_cast<const float*>(data), n);
            } else {  // a hole in the recording: keep the timeline with silence
                r->holeFrames += n;
                std::fprintf(r->log, "hole %lld %lld\n", r->frames, static_cast<long long>(n));
                for (sf_count_t i = 0; i < n; ++i) {
                    const float zero = 0;
                    sf_writef_float(r->wav, &zero, 1);
                }
            }
            if (timed)
                std::fprintf(r->log, "%lld.%09ld %lld %lld %lld\n", static_cast<long long>(now.tv_sec),
                             now.tv_nsec, r->frames, static_cast<long long>(n), latencyUs);
            latencyUs -= static_cast<long long>(pa_bytes_to_usec(bytes, &r->sampleFormat));
            r->frames += n;
            pa_stream_drop(s);
        }
    }

    // The frame heard at the report's moment: what the server had captured into the stream,
    // plus what the source held captured, less what the monitored sink held rendered.
    static void onTiming(pa_stream* s, int success, void* self)
    {
        auto* r = static_cast<Recorder*>(self);
        r->timingAsked = false;
        const pa_timing_info* t = success ? pa_stream_get_timing_info(s) : nullptr;
        if (!t || t->write_index_corrupt || t->write_index < 0) return;
        r->heardFrame = static_cast<double>(t->write_index / static_cast<std::int64_t>(sizeof(float))) +
                        (static_cast<double>(t->source_usec) - static_cast<double>(t->sink_usec)) *
                            r->sampleFormat.rate / 1e6;
        r->heardNs = static_cast<long long>(t->timestamp.tv_sec) * 1'000'000'000 +
                     static_cast<long long>(t->timestamp.tv_usec) * 1000;
    }

    static void onStreamState(pa_stream* s, void* self)
    {
        const auto state = pa_stream_get_state(s);
        auto* r = static_cast<Recorder*>(self);
        if (!r->quitting && (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)) {
            std::fprintf(stderr, "pendrel-record: the recording stream ended\n");
            r->quit(1);
        }
    }

    static void onContextState(pa_context* c, void* self)
    {
        auto* r = static_cast<Recorder*>(self);
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY: {
            r->stream = pa_stream_new(c, "pendrel-record", &r->sampleFormat, nullptr);
            pa_stream_set_read_callback(r->stream, &onRead, r);
            pa_stream_set_state_callback(r->stream, &onStreamState, r);
            pa_buffer_attr attr{};
            attr.maxlength = static_cast<std::uint32_t>(-1);
            attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(5000, &r->sampleFormat));
            const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
            if (pa_stream_connect_record(r->stream, r->device.c_str(), &attr, flags) < 0)
                r->quit(1);
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            if (r->quitting) break;
            std::fprintf(stderr, "pendrel-record: no sound server: %s\n",
                         pa_strerror(pa_context_errno(c)));
            r->quit(1);
            break;
        default:
            break;
        }
    }

    static void onStop(pa_mainloop_api*, pa_time_event*, const timeval*, void* self)
    {
        static_cast<Recorder*>(self)->quit(0);
    }

    static void onSignal(pa_mainloop_api*, pa_signal_event*, int, void* self)
    {
        static_cast<Recorder*>(self)->quit(0);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    Recorder r;
    double seconds = 0;
    std::string wavPath, logPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--device" && i + 1 < argc) r.device = argv[++i];
        else if (arg == "--seconds" && i + 1 < argc) seconds = std::stod(argv[++i]);
        else if (arg == "--rate" && i + 1 < argc) r.sampleFormat.rate = static_cast<std::uint32_t>(std::atol(argv[++i]));
        else if (wavPath.empty()) wavPath = arg;
        else logPath = arg;
    }
    if (wavPath.empty() || logPath.empty() || r.sampleFormat.rate < 8000 || r.sampleFormat.rate > 192000) {
        std::fprintf(stderr, "usage: %s [--device NAME] [--rate 8000..192000] [--seconds N] OUT.wav OUT.log\n", argv[0]);
        return 2;
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(r.sampleFormat.rate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    r.wav = sf_open(wavPath.c_str(), SFM_WRITE, &info);
    r.log = std::fopen(logPath.c_str(), "w");
    if (!r.wav || !r.log) {
        std::fprintf(stderr, "pendrel-record: cannot write %s or %s\n", wavPath.c_str(), logPath.c_str());
        return 1;
    }
    r.loop = pa_mainloop_new();
    r.api = pa_mainloop_get_api(r.loop);
    pa_signal_init(r.api);
    pa_signal_new(SIGINT, &Recorder::onSignal, &r);
    pa_signal_new(SIGTERM, &Recorder::onSignal, &r);
    if (seconds > 0) {
        timeval tv;
        pa_timeval_add(pa_gettimeofday(&tv), static_cast<pa_usec_t>(seconds * 1e6));
        r.api->time_new(r.api, &tv, &Recorder::onStop, &r);
    }
    r.context = pa_context_new(r.api, "pendrel-record");
    pa_context_set_state_callback(r.context, &Recorder::onContextState, &r);
    if (pa_context_connect(r.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        std::fprintf(stderr, "pendrel-record: no sound server\n");
        return 1;
    }
    int result = 0;
    pa_mainloop_run(r.loop, &result);
    if (r.stream) pa_stream_disconnect(r.stream);
    pa_context_disconnect(r.context);
    sf_close(r.wav);
    std::fclose(r.log);
    if (r.holeFrames > 0)
        std::fprintf(stderr, "pendrel-record: %lld frames were holes in the recording (silence)\n",
                     r.holeFrames);
    pa_signal_done();
    pa_mainloop_free(r.loop);
    return r.exitCode;
}
