#pragma once
// The sound output the program plays through: decoded files kept by path, one continuous
// timeline the server pulls from, and the wall-clock map that places each play exactly. The
// server itself (PulseAudio, PipeWire) is a StreamBackend the output owns: it opens the stream,
// feeds the map with the server's timing reports and renders the timeline when asked.
//
// play() returns within microseconds: a stat, a cache lookup and a short lock. A file not yet
// decoded (or changed on disk) is decoded on a worker thread and then placed where it belonged,
// so it starts with its first moments left out if decoding took longer than the lead.

#include "platform/sound/sample_timeline.h"
#include "platform/sound/sound_file.h"
#include "platform/sound/sound_output.h"
#include "platform/sound/stream_backend.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {

class StreamOutput final : public SoundOutput, private StreamEvents {
public:
    struct Format {
        unsigned rate = 48000;
        unsigned channels = 2;
        // How far ahead of the wall clock the caller's clock runs: what the output holds written
        // ahead of what is heard (up to 450 ms and a graph cycle or two, see the backends) plus
        // the time a play may take to reach it: a caller held up by 500 ms, or the timing
        // starting over and settling (a quarter of a second), still places every pulse on time.
        std::chrono::microseconds lead{1'250'000};
    };
    // The wall clock a play is placed by (CLOCK_REALTIME nanoseconds); tests give their own.
    using WallClock = std::function<std::int64_t()>;

    explicit StreamOutput(std::unique_ptr<StreamBackend> backend);
    StreamOutput(std::unique_ptr<StreamBackend> backend, Format format, WallClock wall = {});
    ~StreamOutput() override;
    StreamOutput(const StreamOutput&) = delete;
    StreamOutput& operator=(const StreamOutput&) = delete;

    void play(const std::string& path, std::chrono::microseconds late) override;
    void preload(const std::string& path) override;
    // What preload does, on the caller's thread, done when it returns.
    void loadNow(const std::string& path);
    // A sound made in memory rather than read from a file: mono `samples` at `rate` frames a
    // second (up to 5 s), which play() then accepts under `name` like a file's path, and which
    // counts as a file for the stream's rate and for status(). Converted on the caller's thread,
    // ready when it returns; call it before the plays, not between them.
    void addSound(const std::string& name, std::vector<float> samples, unsigned rate);
    std::chrono::microseconds lead() const override { return m_format.lead; }
    void setTransmitting(bool on) override;
    SoundStatus status() const override;
    // False when the backend could not start (its helper did not run); nothing plays then.
    bool started() const { return m_started; }

private:
    struct Job {
        std::string path;
        bool play = false;
        std::int64_t heardAtNs = 0;
    };
    struct Pending {
        std::shared_ptr<const Pcm> pcm;
        std::int64_t heardAtNs = 0;
    };
    struct FileSound {
        unsigned rate = 0;
        double toneHz = 0;
    };

    // StreamEvents, for the backend.
    void streamOpened(unsigned rate) override;
    void timingLost(unsigned rate) override;
    void timing(std::int64_t frame, std::int64_t wallNs) override;
    void render(float* out, std::size_t frames) override;
    void skip(std::size_t frames) override;
    std::int64_t written() const override;
    void silence() override;
    void serverState(bool reachable, bool running, std::string device) override;
    void outputRate(unsigned rate) override;
    void outputRoute(SoundRoute route) override;

    std::int64_t nowNs() const { return m_wall ? m_wall() : wallNs(); }
    unsigned rate() const { return m_cache.rate(); }
    void place(std::shared_ptr<const Pcm> pcm, std::int64_t heardAtNs);
    void remember(const std::string& path);
    void followFiles(const std::string& path, const std::shared_ptr<const Pcm>& pcm);
    void enqueue(Job job) const;
    void work();
    void stopWorker();

    const Format m_format;
    const WallClock m_wall;
    SampleTimeline m_timeline;
    StreamClock m_clock;
    // status() reads a file that changed or went away, so the state it reports is current.
    mutable SoundCache m_cache;

    std::mutex m_pendingMutex;
    std::optional<Pending> m_pending;  // the latest play that found no settled timing
    std::atomic<bool> m_hasPending{false};

    mutable std::mutex m_stateMutex;
    SoundStatus m_server;              // everything but the files
    std::vector<std::string> m_paths;  // every file preloaded or played, first seen first
    std::map<std::string, FileSound> m_fileSounds;  // the playable files, as last read

    mutable std::mutex m_workMutex;
    mutable std::condition_variable m_workReady;
    mutable std::deque<Job> m_jobs;
    bool m_workerStop = false;
    std::thread m_worker;

    // Last: destroyed first (after the worker has stopped), while everything it calls is there.
    std::unique_ptr<StreamBackend> m_backend;
    std::atomic<bool> m_started{false};
};

}  // namespace platform
