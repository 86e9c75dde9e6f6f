#pragma once
// What every real sound output shares: decoded files kept by path, one continuous timeline
// the server's callback pulls from, and the wall-clock map that places each play exactly.
// A server's own class (PulseSound, PipeWireSound) opens the stream, feeds the map with the
// server's timing reports and renders the timeline when asked.
//
// play() returns within microseconds: a stat, a cache lookup and a short lock. A file not yet
// decoded (or changed on disk) is decoded on a worker thread and then placed where it belonged,
// so it starts with its first moments left out if decoding took longer than the lead.

#include "platform/sound_file.h"
#include "platform/sound_output.h"
#include "platform/sound_timeline.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {

class TimelineSound : public SoundOutput {
public:
    struct Format {
        unsigned rate = 48000;
        unsigned channels = 2;
        // How far ahead of the wall clock the caller's clock runs: what the output holds written
        // ahead of what is heard (up to 450 ms and a graph cycle or two, see the servers'
        // classes) plus the time a play may take to reach it: a caller held up by 500 ms, or the
        // timing starting over and settling (a quarter of a second), still places every pulse
        // on time.
        std::chrono::microseconds lead{1'250'000};
    };

    ~TimelineSound() override;

    void play(const std::string& path, std::chrono::microseconds late) override;
    void preload(const std::string& path) override;
    // What preload does, on the caller's thread, done when it returns.
    void loadNow(const std::string& path);
    std::chrono::microseconds lead() const override { return m_format.lead; }
    SoundStatus status() const override;

    // The wall clock as the outputs use it: CLOCK_REALTIME in nanoseconds.
    static std::int64_t wallNs();

protected:
    explicit TimelineSound(Format format);
    // The wall clock a play is placed by; tests give their own.
    virtual std::int64_t nowNs() const { return wallNs(); }

    // For the thread that renders the timeline for the server: it must not wait behind other
    // programs' threads for a time slice. Real-time scheduling (or else a higher priority)
    // needs rights the user may not have; without them the thread runs as it is.
    static void raiseThreadPriority();
    // Derived classes call this first in their destructor, before their server threads stop.
    void stopWorker();

    // The server's class calls this after each timing report: a play asked for before the
    // stream's timing had settled (just after switching on, or after it started over) is
    // placed now.
    void timingArrived();
    // Nothing more to play (transmission switched off): the timeline falls silent and a play
    // still waiting for the stream's timing is dropped.
    void dropEverything();

    // What the server side knows; the server's class keeps it up to date.
    void setServerState(bool reachable, bool running, std::string device);
    void setServerName(std::string name);

    // The stream's rate follows the files: the highest rate any of them was written at, so a
    // file is played as it was made. The server's class reopens its stream at the new rate;
    // called on the decoding thread.
    virtual void rateChanged(unsigned /*rate*/) {}
    unsigned rate() const { return m_cache.rate(); }
    void setOutputRate(unsigned rate);

    const Format m_format;
    SoundTimeline m_timeline;
    StreamClock m_clock;

private:
    struct Job {
        std::string path;
        bool play = false;
        std::int64_t heardAtNs = 0;
    };

    void place(std::shared_ptr<const Pcm> pcm, std::int64_t heardAtNs);
    struct Pending {
        std::shared_ptr<const Pcm> pcm;
        std::int64_t heardAtNs = 0;
    };
    void remember(const std::string& path);
    void followFiles(const std::string& path, const std::shared_ptr<const Pcm>& pcm);
    void enqueue(Job job) const;
    void work();

    // status() reads a file that changed or went away, so the state it reports is current.
    mutable SoundCache m_cache;

    std::mutex m_pendingMutex;
    std::optional<Pending> m_pending;  // the latest play that found no settled timing
    std::atomic<bool> m_hasPending{false};

    mutable std::mutex m_stateMutex;
    SoundStatus m_server;              // everything but the files
    std::vector<std::string> m_paths;  // every file preloaded or played, first seen first
    struct FileSound {
        unsigned rate = 0;
        double toneHz = 0;
    };
    std::map<std::string, FileSound> m_fileSounds;  // the playable files, as last read

    mutable std::mutex m_workMutex;
    mutable std::condition_variable m_workReady;
    mutable std::deque<Job> m_jobs;
    bool m_workerStop = false;
    std::thread m_worker;
};

}  // namespace platform
