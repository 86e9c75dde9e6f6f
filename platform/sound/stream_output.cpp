#include "platform/sound/stream_output.h"

#include <algorithm>

namespace platform {

StreamOutput::StreamOutput(std::unique_ptr<StreamBackend> backend)
    : StreamOutput(std::move(backend), Format{})
{
}

StreamOutput::StreamOutput(std::unique_ptr<StreamBackend> backend, Format format, WallClock wall)
    : m_format(format),
      m_wall(std::move(wall)),
      m_timeline(format.channels),
      m_clock(format.rate),
      m_cache(format.rate, format.channels),
      m_backend(std::move(backend))
{
    m_worker = std::thread([this] { work(); });
    m_server.server = m_backend->serverName();
    m_started = m_backend->start(*this, format.rate, format.channels);
}

// The worker stops first (it may reopen the stream), then the backend and its threads, while
// the timeline and the map they call are still here.
StreamOutput::~StreamOutput()
{
    stopWorker();
    m_backend.reset();
}

void StreamOutput::setTransmitting(bool on)
{
    if (m_started) m_backend->setTransmitting(on);
}

void StreamOutput::stopWorker()
{
    {
        std::lock_guard lock(m_workMutex);
        if (m_workerStop) return;
        m_workerStop = true;
    }
    m_workReady.notify_one();
    if (m_worker.joinable()) m_worker.join();
}

void StreamOutput::play(const std::string& path, std::chrono::microseconds late)
{
    const std::int64_t heardAtNs =
        nowNs() - std::chrono::duration_cast<std::chrono::nanoseconds>(late).count() +
        std::chrono::duration_cast<std::chrono::nanoseconds>(m_format.lead).count();
    remember(path);
    const auto found = m_cache.lookup(path);
    if (found.fresh)
        place(found.pcm, heardAtNs);
    else
        enqueue({path, true, heardAtNs});
}

void StreamOutput::preload(const std::string& path)
{
    remember(path);
    if (!m_cache.lookup(path).fresh) enqueue({path, false, 0});
}

void StreamOutput::loadNow(const std::string& path)
{
    remember(path);
    followFiles(path, m_cache.load(path));
}

void StreamOutput::addSound(const std::string& name, std::vector<float> samples, unsigned rate)
{
    m_cache.add(name, std::move(samples), rate);
    loadNow(name);
}

// A missing or unplayable file places silence: that second's pulse is not heard, and the sound
// before it does not run on into it.
void StreamOutput::place(std::shared_ptr<const Pcm> pcm, std::int64_t heardAtNs)
{
    // Decoded for the rate the stream had before the files changed it: played now it would
    // sound at the wrong speed. The file is read again for its next second.
    if (pcm && pcm->rate != rate()) return;
    if (!m_clock.settled()) {
        // The stream's timing is not known well enough yet (it was opened a moment ago, it
        // started over, or there is no server): keep the latest sound until it is; its own
        // position is most likely still ahead.
        std::lock_guard lock(m_pendingMutex);
        m_pending = Pending{std::move(pcm), heardAtNs};
        m_hasPending = true;
        return;
    }
    m_timeline.schedule(m_clock.frameAt(heardAtNs), std::move(pcm));
}

void StreamOutput::silence()
{
    {
        std::lock_guard lock(m_pendingMutex);
        m_pending.reset();
        m_hasPending = false;
    }
    m_timeline.clear();
}

void StreamOutput::streamOpened(unsigned rate)
{
    m_clock.reset(rate);
    m_timeline.restart();
}

void StreamOutput::timingLost(unsigned rate)
{
    m_clock.reset(rate);
}

void StreamOutput::render(float* out, std::size_t frames)
{
    m_timeline.render(out, frames);
}

void StreamOutput::skip(std::size_t frames)
{
    m_timeline.skip(frames);
}

std::int64_t StreamOutput::written() const
{
    return m_timeline.written();
}

// After each timing report: a play asked for before the stream's timing had settled (just
// after switching on, or after it started over) is placed now.
void StreamOutput::timing(std::int64_t frame, std::int64_t wallNs)
{
    m_clock.observe(frame, wallNs);
    if (!m_hasPending.load(std::memory_order_relaxed) || !m_clock.settled()) return;
    std::optional<Pending> pending;
    {
        std::lock_guard lock(m_pendingMutex);
        pending.swap(m_pending);
        m_hasPending = false;
    }
    if (pending) m_timeline.schedule(m_clock.frameAt(pending->heardAtNs), std::move(pending->pcm));
}

void StreamOutput::remember(const std::string& path)
{
    std::lock_guard lock(m_stateMutex);
    if (std::find(m_paths.begin(), m_paths.end(), path) == m_paths.end()) m_paths.push_back(path);
}

SoundStatus StreamOutput::status() const
{
    SoundStatus s;
    std::vector<std::string> paths;
    {
        std::lock_guard lock(m_stateMutex);
        s = m_server;
        paths = m_paths;
    }
    for (const auto& path : paths) {
        const auto found = m_cache.lookup(path);
        if (!found.fresh) {
            // Changed on disk since it was read: read it now, not when its pulse is next due.
            enqueue({path, false, 0});
        } else if (!found.pcm && !stampOf(path)) {
            // Gone (or never there): a load costs a stat and brings the state up to date.
            m_cache.load(path);
        }
        s.files.push_back(m_cache.state(path));
    }
    s.streamRate = rate();
    {
        std::lock_guard lock(m_stateMutex);
        for (const auto& [name, file] : m_fileSounds) s.carrierHz = std::max(s.carrierHz, file.toneHz);
    }
    return s;
}

void StreamOutput::followFiles(const std::string& path, const std::shared_ptr<const Pcm>& pcm)
{
    unsigned wanted = 0;
    std::vector<std::string> paths;
    {
        std::lock_guard lock(m_stateMutex);
        if (pcm)
            m_fileSounds[path] = FileSound{pcm->fileRate, pcm->toneHz};
        else if (!m_cache.lookup(path).fresh)
            return;  // changed again meanwhile; the next read decides
        else
            m_fileSounds.erase(path);
        for (const auto& [name, file] : m_fileSounds) wanted = std::max(wanted, file.rate);
        paths = m_paths;
    }
    // Rates a sound server plays; anything else is converted to the nearest one above.
    constexpr unsigned kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000,
                                   176400, 192000};
    if (wanted == 0) wanted = m_format.rate;
    unsigned chosen = kRates[std::size(kRates) - 1];
    for (const unsigned r : kRates)
        if (r >= wanted) {
            chosen = r;
            break;
        }
    if (chosen == rate()) return;
    m_cache.setRate(chosen);
    if (m_started) m_backend->setRate(chosen);
    for (const auto& p : paths) enqueue({p, false, 0});
}

void StreamOutput::outputRate(unsigned rate)
{
    std::lock_guard lock(m_stateMutex);
    m_server.outputRate = rate;
}

void StreamOutput::outputRoute(SoundRoute route)
{
    std::lock_guard lock(m_stateMutex);
    m_server.route = std::move(route);
}

void StreamOutput::serverState(bool reachable, bool running, std::string device)
{
    std::lock_guard lock(m_stateMutex);
    m_server.serverReachable = reachable;
    m_server.streamRunning = running;
    m_server.device = std::move(device);
}

void StreamOutput::enqueue(Job job) const
{
    {
        std::lock_guard lock(m_workMutex);
        m_jobs.push_back(std::move(job));
    }
    m_workReady.notify_one();
}

void StreamOutput::work()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_workMutex);
            m_workReady.wait(lock, [&] { return m_workerStop || !m_jobs.empty(); });
            if (m_workerStop) return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        auto pcm = m_cache.load(job.path);
        followFiles(job.path, pcm);
        if (job.play) place(std::move(pcm), job.heardAtNs);
    }
}

}  // namespace platform
