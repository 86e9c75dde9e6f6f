#include "platform/pulse_sound.h"

#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr pa_usec_t kRetryUs = 500'000;
// Head-room above the reported output delay: the server's estimate wobbles by a fraction of
// a millisecond between timing updates.
constexpr std::int64_t kMarginUs = 2'000;
// Granularity of latency(), so that tiny changes do not move the caller's clock.
constexpr std::int64_t kStepUs = 500;

std::int64_t roundUpToStep(std::int64_t us)
{
    return (us + kStepUs - 1) / kStepUs * kStepUs;
}

std::int64_t sinceUs(SteadyClock::time_point from)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - from)
        .count();
}

}  // namespace

struct PulseSound::Impl {
    struct Job {
        std::string path;
        bool play = false;
        std::uint64_t serial = 0;
        SteadyClock::time_point calledAt;
    };

    explicit Impl(Options o)
        : options(std::move(o)), cache(options.rate, options.channels),
          latencyUs(options.bufferLength.count())
    {
        sampleFormat.format = PA_SAMPLE_FLOAT32NE;
        sampleFormat.rate = options.rate;
        sampleFormat.channels = static_cast<std::uint8_t>(options.channels);
    }

    Options options;
    SoundCache cache;
    pa_sample_spec sampleFormat{};

    // Owned by the main loop: touched only with its lock held or from its own callbacks.
    pa_threaded_mainloop* loop = nullptr;
    pa_mainloop_api* api = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_time_event* retry = nullptr;
    bool shuttingDown = false;
    bool priorityRaised = false;
    std::shared_ptr<const Pcm> current;
    std::int64_t position = 0;  // next frame of `current` to write; negative: silence first

    std::atomic<std::uint64_t> latestSerial{0};
    std::atomic<std::int64_t> latencyUs;
    std::atomic<bool> connected{false};

    std::mutex workMutex;
    std::condition_variable workReady;
    std::deque<Job> jobs;
    bool workerStop = false;
    std::thread worker;

    // ---- main loop side -------------------------------------------------------------------

    void connectContext()
    {
        context = pa_context_new(api, options.appName.c_str());
        if (!context) return scheduleRetry();
        pa_context_set_state_callback(context, &Impl::onContextState, this);
        const char* server = options.server.empty() ? nullptr : options.server.c_str();
        if (pa_context_connect(context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            scheduleRetry();
    }

    void openStream()
    {
        pa_channel_map map;
        pa_channel_map_init_auto(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
        stream = pa_stream_new(context, "JJY pulses", &sampleFormat, &map);
        if (!stream) return scheduleRetry();
        pa_stream_set_state_callback(stream, &Impl::onStreamState, this);
        pa_stream_set_write_callback(stream, &Impl::onWritable, this);

        pa_buffer_attr attr;
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = static_cast<std::uint32_t>(
            pa_usec_to_bytes(static_cast<pa_usec_t>(options.bufferLength.count()), &sampleFormat));
        attr.prebuf = static_cast<std::uint32_t>(-1);
        attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(-1);
        // The buffer is ours in full: with PA_STREAM_ADJUST_LATENCY the server would split it
        // with the device and leave the stream so little that a request answered some 40 ms
        // late (which happens now and then on a loaded machine) ran it dry, a hole of silence
        // in the middle of a pulse. The device's own latency comes on top, and every play is
        // placed by the stream's measured latency anyway.
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
        if (pa_stream_connect_playback(stream, nullptr, &attr, flags, nullptr, nullptr) < 0)
            scheduleRetry();
    }

    void closeAll()
    {
        connected = false;
        if (stream) {
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_set_write_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
            stream = nullptr;
        }
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
    }

    void scheduleRetry()
    {
        connected = false;
        if (retry || shuttingDown) return;
        timeval tv;
        pa_timeval_add(pa_gettimeofday(&tv), kRetryUs);
        retry = api->time_new(api, &tv, &Impl::onRetry, this);
    }

    static void onRetry(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* self)
    {
        auto* d = static_cast<Impl*>(self);
        api->time_free(e);
        d->retry = nullptr;
        if (d->shuttingDown) return;
        // A stream lost while its server stays up gets a new stream; anything else starts over.
        if (d->context && pa_context_get_state(d->context) == PA_CONTEXT_READY) {
            if (d->stream) {
                pa_stream_set_state_callback(d->stream, nullptr, nullptr);
                pa_stream_set_write_callback(d->stream, nullptr, nullptr);
                pa_stream_disconnect(d->stream);
                pa_stream_unref(d->stream);
                d->stream = nullptr;
            }
            d->openStream();
            return;
        }
        d->closeAll();
        d->connectContext();
    }

    // The stream holds only a few tens of milliseconds: on a machine busy drawing the window,
    // the thread that refills it must not wait behind other threads for a time slice. Real-time
    // scheduling (or else a higher priority) needs rights the user may not have; without them
    // the thread runs as it is.
    static void raisePriority()
    {
        sched_param param{};
        param.sched_priority = std::max(sched_get_priority_min(SCHED_FIFO), 5);
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return;
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -11);
    }

    static void onContextState(pa_context* c, void* self)
    {
        auto* d = static_cast<Impl*>(self);
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY:
            if (!d->priorityRaised) {
                raisePriority();
                d->priorityRaised = true;
            }
            if (!d->stream) d->openStream();
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
        auto* d = static_cast<Impl*>(self);
        switch (pa_stream_get_state(s)) {
        case PA_STREAM_READY:
            d->latencyUs = d->options.bufferLength.count();
            d->connected = true;
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            d->current.reset();
            d->scheduleRetry();
            break;
        default:
            break;
        }
    }

    static void onWritable(pa_stream*, std::size_t bytes, void* self)
    {
        auto* d = static_cast<Impl*>(self);
        d->write(bytes);
        d->watchLatency();
    }

    // Just after a refill the delay is at its largest; keeping the promise above it means a
    // play is never placed later than it should be.
    void watchLatency()
    {
        pa_usec_t usec = 0;
        int negative = 0;
        if (pa_stream_get_latency(stream, &usec, &negative) != 0 || negative) return;
        const auto us = static_cast<std::int64_t>(usec);
        if (us + kMarginUs > latencyUs.load()) latencyUs = roundUpToStep(us + kMarginUs);
    }

    // Writes `bytes` of the stream: the rest of the current sound, silence around it.
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
            fill(static_cast<float*>(data), chunk / frameBytes);
            if (pa_stream_write(stream, data, chunk, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
            bytes -= chunk;
        }
    }

    void fill(float* out, std::size_t frames)
    {
        const std::size_t ch = sampleFormat.channels;
        std::size_t done = 0;
        while (done < frames) {
            const std::size_t left = frames - done;
            if (!current) {
                std::memset(out + done * ch, 0, left * ch * sizeof(float));
                return;
            }
            if (position < 0) {
                const auto n = std::min<std::size_t>(left, static_cast<std::size_t>(-position));
                std::memset(out + done * ch, 0, n * ch * sizeof(float));
                done += n;
                position += static_cast<std::int64_t>(n);
                continue;
            }
            const std::size_t total = current->frames();
            const auto pos = static_cast<std::size_t>(position);
            if (pos >= total) {
                current.reset();
                continue;
            }
            const std::size_t n = std::min(left, total - pos);
            std::memcpy(out + done * ch, current->samples.data() + pos * ch, n * ch * sizeof(float));
            done += n;
            position += static_cast<std::int64_t>(n);
        }
    }

    // Replaces the sound with `pcm` (null: silence), placed in the stream so that its first
    // sample is heard latency() after calledAt. Main loop lock held.
    void start(std::shared_ptr<const Pcm> pcm, SteadyClock::time_point calledAt,
               std::uint64_t serial)
    {
        if (serial != latestSerial.load()) return;  // a newer play has taken over
        current.reset();
        if (!pcm || !stream || pa_stream_get_state(stream) != PA_STREAM_READY) return;

        pa_usec_t usec = 0;
        int negative = 0;
        std::int64_t outputUs = latencyUs.load();
        if (pa_stream_get_latency(stream, &usec, &negative) == 0)
            outputUs = negative ? -static_cast<std::int64_t>(usec) : static_cast<std::int64_t>(usec);
        const std::int64_t elapsedUs = sinceUs(calledAt);
        // A direct play that finds the server slower than promised raises the promise, so the
        // caller's clock lead follows; a late start from the worker says nothing about that.
        if (elapsedUs < 1000 && outputUs + elapsedUs > latencyUs.load())
            latencyUs = roundUpToStep(outputUs + elapsedUs + kMarginUs);

        const std::int64_t padUs = latencyUs.load() - elapsedUs - outputUs;
        const std::int64_t padFrames = padUs * static_cast<std::int64_t>(sampleFormat.rate) / 1'000'000;
        if (padFrames >= 0) {
            position = -padFrames;
        } else if (-padFrames < static_cast<std::int64_t>(pcm->frames())) {
            position = -padFrames;  // started late: skip what should already have been heard
        } else {
            return;
        }
        current = std::move(pcm);
        // Write the silence and the sound's first moments now rather than at the next request,
        // which may be several milliseconds away.
        const std::size_t frames = static_cast<std::size_t>(std::max<std::int64_t>(-position, 0)) +
                                   sampleFormat.rate / 200;
        write(std::max(frames * sizeof(float) * sampleFormat.channels, pa_stream_writable_size(stream)));
    }

    // ---- worker side ----------------------------------------------------------------------

    void enqueue(Job job)
    {
        {
            std::lock_guard lock(workMutex);
            jobs.push_back(std::move(job));
        }
        workReady.notify_one();
    }

    void work()
    {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(workMutex);
                workReady.wait(lock, [&] { return workerStop || !jobs.empty(); });
                if (workerStop) return;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            auto pcm = cache.load(job.path);
            if (job.play && job.serial == latestSerial.load()) {
                pa_threaded_mainloop_lock(loop);
                start(std::move(pcm), job.calledAt, job.serial);
                pa_threaded_mainloop_unlock(loop);
            }
        }
    }
};

PulseSound::PulseSound() : PulseSound(Options{}) {}

PulseSound::PulseSound(Options options) : m_impl(std::make_unique<Impl>(std::move(options)))
{
    Impl& d = *m_impl;
    d.worker = std::thread([&d] { d.work(); });
    d.loop = pa_threaded_mainloop_new();
    if (!d.loop) return;  // out of memory: every call then plays nothing
    d.api = pa_threaded_mainloop_get_api(d.loop);
    pa_threaded_mainloop_lock(d.loop);
    d.connectContext();
    pa_threaded_mainloop_unlock(d.loop);
    pa_threaded_mainloop_start(d.loop);
}

PulseSound::~PulseSound()
{
    Impl& d = *m_impl;
    {
        std::lock_guard lock(d.workMutex);
        d.workerStop = true;
    }
    d.workReady.notify_one();
    d.worker.join();
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

void PulseSound::play(const std::string& path, std::chrono::microseconds /*late*/)
{
    Impl& d = *m_impl;
    const auto calledAt = SteadyClock::now();
    const std::uint64_t serial = ++d.latestSerial;
    const auto found = d.cache.lookup(path);
    if (!found.fresh) d.enqueue({path, true, serial, calledAt});
    if (!d.loop) return;
    pa_threaded_mainloop_lock(d.loop);
    d.start(found.pcm, calledAt, serial);  // a stale entry stops the old sound until decoded
    pa_threaded_mainloop_unlock(d.loop);
}

void PulseSound::preload(const std::string& path)
{
    if (!m_impl->cache.lookup(path).fresh) m_impl->enqueue({path, false, 0, {}});
}

void PulseSound::stop()
{
    Impl& d = *m_impl;
    const std::uint64_t serial = ++d.latestSerial;
    if (!d.loop) return;
    pa_threaded_mainloop_lock(d.loop);
    d.start(nullptr, SteadyClock::now(), serial);
    pa_threaded_mainloop_unlock(d.loop);
}

std::chrono::microseconds PulseSound::latency() const
{
    return std::chrono::microseconds(m_impl->latencyUs.load());
}

bool PulseSound::isConnected() const
{
    return m_impl->connected.load();
}

}  // namespace platform
