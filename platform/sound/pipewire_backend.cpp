#include "platform/sound/pipewire_backend.h"

#include "platform/sound/pulse_route.h"
#include "platform/sound/relay_block.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

extern char** environ;

namespace platform {

namespace {

// What the program keeps written ahead of the graph, refilled every kFeedInterval: a feeder
// starved for 300 ms still leaves the relay a whole 85 ms cycle. The ring holds one second at
// the highest rate the files can bring.
constexpr double kFillSeconds = 0.450;
constexpr auto kFeedInterval = std::chrono::milliseconds(40);
constexpr std::uint32_t kRingFrames = 192000;

// The relay lies beside the program's own executable.
std::string relayPath()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = '\0';
    std::string exe = path;
    const auto slash = exe.rfind('/');
    if (slash == std::string::npos) return {};
    return exe.substr(0, slash + 1) + kRelayProgram;
}

class PipeWireBackend final : public StreamBackend {
public:
    PipeWireBackend() = default;
    ~PipeWireBackend() override { shutdown(); }
    PipeWireBackend(const PipeWireBackend&) = delete;
    PipeWireBackend& operator=(const PipeWireBackend&) = delete;

    std::string serverName() const override { return "PipeWire"; }

    bool start(StreamEvents& events, unsigned rate, unsigned channels) override
    {
        m_owner = &events;
        const std::uint32_t ringFrames = kRingFrames;
        m_blockBytes = RelayBlock::bytes(ringFrames, channels);
        m_memFd = memfd_create("pendrel-sound", MFD_CLOEXEC);
        if (m_memFd < 0) return false;
        if (ftruncate(m_memFd, static_cast<off_t>(m_blockBytes)) != 0) return false;
        void* mem = mmap(nullptr, m_blockBytes, PROT_READ | PROT_WRITE, MAP_SHARED, m_memFd, 0);
        if (mem == MAP_FAILED) return false;
        m_block = new (mem) RelayBlock;
        m_block->rate = rate;
        m_block->channels = channels;
        m_block->ringFrames = ringFrames;
        if (!spawnRelay() || !relayAccepted()) return false;
        m_route = std::make_unique<PulseRouteMonitor>(
            [this](const SoundRoute& route) { m_owner->outputRoute(route); });
        m_route->setPlayer(m_relay);
        m_feeder = std::thread([this] { feed(); });
        return true;
    }

    void setRate(unsigned rate) override
    {
        if (!m_feeder.joinable()) return;
        m_block->rate.store(rate);
        poke();
    }

    void setTransmitting(bool on) override
    {
        if (!m_feeder.joinable()) return;
        {
            std::lock_guard lock(m_mutex);
            if (on == m_transmitting) return;
            m_transmitting = on;
        }
        if (!on) m_owner->silence();
        m_block->wantStream.store(on ? 1 : 0);
        poke();
        m_wake.notify_one();
    }

private:
    StreamEvents* m_owner = nullptr;
    RelayBlock* m_block = nullptr;
    std::size_t m_blockBytes = 0;
    int m_memFd = -1;
    std::atomic<int> m_lifeFd{-1};  // replaced by the feeder when it starts a new relay
    pid_t m_relay = -1;
    std::chrono::steady_clock::time_point m_lastSpawn{};

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_transmitting = false;
    std::thread m_feeder;
    // The relay's stream as PipeWire's PulseAudio stand-in reports it: there it is one stream
    // among the others, with its device's volume, mute and kind, in one asynchronous
    // question, which the graph's native API would need a proxy per device and per stream for.
    std::unique_ptr<PulseRouteMonitor> m_route;

    bool spawnRelay()
    {
        const std::string exe = relayPath();
        int line[2];
        if (exe.empty() || pipe2(line, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, m_memFd, kRelayBlockFd);
        posix_spawn_file_actions_adddup2(&actions, line[0], kRelayLifeFd);
        std::string arg0 = exe;
        char* argv[] = {arg0.data(), nullptr};
        const int failed = posix_spawn(&m_relay, exe.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(line[0]);
        if (failed != 0) {
            ::close(line[1]);
            m_relay = -1;
            return false;
        }
        m_lifeFd = line[1];
        return true;
    }

    // A relay that died (it should not) is told as no sound server, and started again at most
    // once a second.
    void watchRelay()
    {
        if (m_relay > 0 && waitpid(m_relay, nullptr, WNOHANG) != m_relay) return;
        m_relay = -1;
        if (m_route) m_route->setPlayer(-1);
        m_block->reachable.store(0);
        m_block->streaming.store(0);
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastSpawn < std::chrono::seconds(1)) return;
        m_lastSpawn = now;
        if (m_lifeFd >= 0) ::close(m_lifeFd.exchange(-1));
        if (spawnRelay()) {
            if (m_route) m_route->setPlayer(m_relay);
            poke();
        }
    }

    // A relay that starts says it read the block within milliseconds; one from another build
    // ends at once instead, and then the program plays through PulseAudio.
    bool relayAccepted()
    {
        for (int ms = 0; ms < 2000; ++ms) {
            if (m_block->accepted.load(std::memory_order_acquire) != 0) return true;
            if (waitpid(m_relay, nullptr, WNOHANG) == m_relay) {
                m_relay = -1;
                return false;
            }
            usleep(1000);
        }
        return false;
    }

    void shutdown()
    {
        m_route.reset();
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        if (m_feeder.joinable()) m_feeder.join();
        if (m_lifeFd >= 0) ::close(m_lifeFd.exchange(-1));  // the relay sees its line close and ends
        if (m_relay > 0) {
            // It ends within a graph cycle or two; a relay that does not is ended for it.
            for (int i = 0; i < 100; ++i) {
                if (waitpid(m_relay, nullptr, WNOHANG) == m_relay) {
                    m_relay = -1;
                    break;
                }
                usleep(2000);
            }
            if (m_relay > 0) {
                kill(m_relay, SIGKILL);
                waitpid(m_relay, nullptr, 0);
            }
        }
        if (m_block) munmap(m_block, m_blockBytes);
        if (m_memFd >= 0) ::close(m_memFd);
    }

    // Tells the relay to look at what the program wants of its stream.
    void poke()
    {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_lifeFd, &byte, 1);
    }

    // Keeps the ring written ahead of the graph and brings the relay's reports in. Sleeps
    // whenever nothing is transmitted.
    void feed()
    {
        raiseThreadPriority();
        const std::uint32_t channels = m_block->channels;
        std::uint32_t epoch = 0;
        std::uint32_t lastSeq = 0;
        std::uint32_t lossesSeen = m_block->lossCount.load();
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            m_wake.wait_for(lock, m_transmitting ? kFeedInterval : std::chrono::hours(24));
            if (m_stop) break;
            watchRelay();
            publishState();
            if (!m_transmitting) continue;

            if (const std::uint32_t e = m_block->epoch.load(); e != epoch) {
                epoch = e;
                m_owner->timingLost(m_block->rate.load());
            }
            const auto fill = static_cast<std::uint64_t>(kFillSeconds * m_block->rate.load());
            const std::uint64_t consumed = m_block->consumed.load(std::memory_order_acquire);
            auto written = static_cast<std::uint64_t>(m_owner->written());
            if (consumed > written) {  // the relay played on past what was written: lost frames
                m_owner->skip(static_cast<std::size_t>(consumed - written));
                written = consumed;
            }
            const std::uint64_t target = std::min(consumed + fill, consumed + m_block->ringFrames);
            while (written < target) {
                const std::uint64_t at = written % m_block->ringFrames;
                const std::uint64_t n = std::min<std::uint64_t>(target - written, m_block->ringFrames - at);
                m_owner->render(m_block->ring() + at * channels, static_cast<std::size_t>(n));
                written += n;
            }
            m_block->written.store(written, std::memory_order_release);
            reportLosses(lossesSeen);

            const std::uint32_t seq = m_block->timingSeq.load(std::memory_order_acquire);
            if (seq % 2 == 0 && seq != lastSeq) {
                const std::int64_t frame = m_block->timingFrame.load(std::memory_order_relaxed);
                const std::int64_t wall = m_block->timingWallNs.load(std::memory_order_relaxed);
                std::atomic_thread_fence(std::memory_order_acquire);
                if (m_block->timingSeq.load(std::memory_order_relaxed) == seq) {
                    lastSeq = seq;
                    m_owner->timing(frame, wall);
                }
            }
        }
    }

    // A stretch the graph played without the program's signal is a hole in it: each is said on
    // stderr, with when it was heard (seconds of the wall clock) and why.
    void reportLosses(std::uint32_t& seen)
    {
        const std::uint32_t count = m_block->lossCount.load(std::memory_order_acquire);
        if (count - seen > RelayBlock::kLosses) seen = count - RelayBlock::kLosses;
        const double msPerFrame = 1000.0 / m_block->rate.load();
        for (; seen != count; ++seen) {
            const RelayBlock::Loss& loss = m_block->losses[seen % RelayBlock::kLosses];
            const std::int64_t atMs = loss.wallNs.load(std::memory_order_relaxed) / 1'000'000;
            std::fprintf(stderr, "pendrel: the sound server played %.1f ms without the signal, heard from %lld.%03lld s: %s\n",
                         loss.frames.load(std::memory_order_relaxed) * msPerFrame,
                         static_cast<long long>(atMs / 1000), static_cast<long long>(atMs % 1000),
                         loss.kind.load(std::memory_order_relaxed) == RelayBlock::kHeldUp
                             ? "the system held the sound relay up for a graph cycle"
                             : "the program was held up longer than its lead");
        }
    }

    void publishState()
    {
        const std::string device = m_block->readDevice();
        const bool running = m_block->streaming.load() != 0;
        m_owner->outputRate(running ? m_block->graphRate.load() : 0);
        m_owner->serverState(m_block->reachable.load() != 0, running, running ? device : "");
    }
};

}  // namespace

std::unique_ptr<StreamBackend> makePipeWireBackend()
{
    return std::make_unique<PipeWireBackend>();
}

}  // namespace platform
