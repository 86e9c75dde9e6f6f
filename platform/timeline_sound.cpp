#include "platform/timeline_sound.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

namespace platform {

void TimelineSound::raiseThreadPriority()
{
    sched_param param{};
    param.sched_priority = std::max(sched_get_priority_min(SCHED_FIFO), 5);
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return;
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -11);
}

std::int64_t TimelineSound::wallNs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

TimelineSound::TimelineSound(Format format)
    : m_format(format),
      m_timeline(format.channels),
      m_clock(format.rate),
      m_cache(format.rate, format.channels)
{
    m_worker = std::thread([this] { work(); });
}

TimelineSound::~TimelineSound()
{
    stopWorker();
}

void TimelineSound::stopWorker()
{
    {
        std::lock_guard lock(m_workMutex);
        if (m_workerStop) return;
        m_workerStop = true;
    }
    m_workReady.notify_one();
    if (m_worker.joinable()) m_worker.join();
}

void TimelineSound::play(const std::string& path, std::chrono::microseconds late)
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

void TimelineSound::preload(const std::string& path)
{
    remember(path);
    if (!m_cache.lookup(path).fresh) enqueue({path, false, 0});
}

void TimelineSound::loadNow(const std::string& path)
{
    remember(path);
    followFiles(path, m_cache.load(path));
}

// A missing or unplayable file places silence: that second's pulse is not heard, and the sound
// before it does not run on into it.
void TimelineSound::place(std::shared_ptr<const Pcm> pcm, std::int64_t heardAtNs)
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

void TimelineSound::dropEverything()
{
    {
        std::lock_guard lock(m_pendingMutex);
        m_pending.reset();
        m_hasPending = false;
    }
    m_timeline.clear();
}

void TimelineSound::timingArrived()
{
    if (!m_hasPending.load(std::memory_order_relaxed) || !m_clock.settled()) return;
    std::optional<Pending> pending;
    {
        std::lock_guard lock(m_pendingMutex);
        pending.swap(m_pending);
        m_hasPending = false;
    }
    if (pending) m_timeline.schedule(m_clock.frameAt(pending->heardAtNs), std::move(pending->pcm));
}

void TimelineSound::remember(const std::string& path)
{
    std::lock_guard lock(m_stateMutex);
    if (std::find(m_paths.begin(), m_paths.end(), path) == m_paths.end()) m_paths.push_back(path);
}

SoundStatus TimelineSound::status() const
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

void TimelineSound::followFiles(const std::string& path, const std::shared_ptr<const Pcm>& pcm)
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
    rateChanged(chosen);
    for (const auto& p : paths) enqueue({p, false, 0});
}

void TimelineSound::setOutputRate(unsigned rate)
{
    std::lock_guard lock(m_stateMutex);
    m_server.outputRate = rate;
}

void TimelineSound::setServerState(bool reachable, bool running, std::string device)
{
    std::lock_guard lock(m_stateMutex);
    m_server.serverReachable = reachable;
    m_server.streamRunning = running;
    m_server.device = std::move(device);
}

void TimelineSound::setServerName(std::string name)
{
    std::lock_guard lock(m_stateMutex);
    m_server.server = std::move(name);
}

void TimelineSound::enqueue(Job job) const
{
    {
        std::lock_guard lock(m_workMutex);
        m_jobs.push_back(std::move(job));
    }
    m_workReady.notify_one();
}

void TimelineSound::work()
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
