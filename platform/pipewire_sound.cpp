#include "platform/pipewire_sound.h"

#include "platform/pipewire_context.h"
#include "platform/pulse_sound.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/json.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

extern char** environ;

namespace platform {

namespace {

constexpr std::uint64_t kRetryNs = 500'000'000;
constexpr const char* kSinkClass = "Audio/Sink";
constexpr const char* kRelayArgument = "--sound-relay";
// The descriptors the relay finds its shared block and its line to the program on.
constexpr int kRelayBlockFd = 3;
constexpr int kRelayLifeFd = 4;
// What the program keeps written ahead of the graph, refilled every kFeedInterval: a feeder
// starved for 300 ms still leaves the relay a whole 85 ms cycle. The ring holds one second at
// the highest rate the files can bring.
constexpr double kFillSeconds = 0.450;
constexpr auto kFeedInterval = std::chrono::milliseconds(40);
constexpr std::uint32_t kRingFrames = 192000;

std::int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The node name inside the JSON value PipeWire keeps the default sink in: {"name":"…"}.
std::string nameFromJson(const char* json)
{
    if (!json) return {};
    spa_json it[2];
    spa_json_init(&it[0], json, std::strlen(json));
    if (spa_json_enter_object(&it[0], &it[1]) <= 0) return {};
    char key[64];
    while (spa_json_get_string(&it[1], key, sizeof key) > 0) {
        char value[512];
        if (std::strcmp(key, "name") == 0) {
            if (spa_json_get_string(&it[1], value, sizeof value) > 0) return value;
            return {};
        }
        const char* skip = nullptr;
        if (spa_json_next(&it[1], &skip) <= 0) break;
    }
    return {};
}

struct PipeWireLibrary {
    PipeWireLibrary() { pw_init(nullptr, nullptr); }
};

void initPipeWire()
{
    static PipeWireLibrary library;
    (void)library;
}

}  // namespace


// The block the program and its sound relay share. The program writes the timeline into the
// ring ahead of what the relay has handed to the graph; the relay writes back where the graph
// is and when the next frame will be heard. Positions count frames of one continuous stream.
struct RelayBlock {
    std::uint32_t channels = 0;
    std::uint32_t ringFrames = 0;
    // program -> relay
    std::atomic<std::uint32_t> rate{0};  // the stream's; a change reopens it
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint32_t> wantStream{0};
    // relay -> program
    std::atomic<std::uint64_t> consumed{0};
    std::atomic<std::uint32_t> timingSeq{0};  // odd while the report is being written
    std::atomic<std::int64_t> timingFrame{0};
    std::atomic<std::int64_t> timingWallNs{0};
    std::atomic<std::uint32_t> epoch{0};      // a new stream: the timing starts over
    std::atomic<std::uint32_t> reachable{0};
    std::atomic<std::uint32_t> streaming{0};
    std::atomic<std::uint32_t> graphRate{0};  // what the graph runs at; 0 until known
    std::atomic<std::uint32_t> deviceSeq{0};
    // Stretches the graph played without the program's signal, newest last: the relay was held
    // up past its cycle (the system's doing), or the program had not written the frames in
    // time (it was held up longer than its lead). The relay fills an entry, then counts it;
    // the program reads the entries it has not seen yet.
    enum LossKind : std::uint32_t { kHeldUp = 1, kUnwritten = 2 };
    struct Loss {
        std::atomic<std::int64_t> wallNs{0};  // when its first frame would have been heard
        std::atomic<std::uint32_t> frames{0};
        std::atomic<std::uint32_t> kind{0};
    };
    static constexpr std::uint32_t kLosses = 32;
    std::atomic<std::uint32_t> lossCount{0};
    Loss losses[kLosses];
    char device[256] = {};

    float* ring() { return reinterpret_cast<float*>(this + 1); }
    static std::size_t bytes(std::uint32_t ringFrames, std::uint32_t channels)
    {
        return sizeof(RelayBlock) + std::size_t(ringFrames) * channels * sizeof(float);
    }
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

namespace {

// ---- the relay: its own process, so that it plays on while the program is held up ----------

struct Relay {
    explicit Relay(RelayBlock& b) : block(b) {}

    RelayBlock& block;
    pw_main_loop* mainLoop = nullptr;
    pw_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_metadata* metadata = nullptr;
    pw_stream* stream = nullptr;
    spa_source* retryTimer = nullptr;
    spa_source* lifeLine = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    spa_hook metadataListener{};
    spa_hook streamListener{};
    bool streaming = false;

    struct Sink {
        std::string name;
        std::string description;
    };
    std::map<std::uint32_t, Sink> sinks;
    std::uint32_t metadataId = SPA_ID_INVALID;
    std::string defaultSink;

    std::uint32_t streamRate = 0;  // what the open stream was opened at

    GraphFollower graph{0};  // data thread only
    bool fed = false;        // the stream has had a whole buffer of the program's; data thread

    void lose(RelayBlock::LossKind kind, std::int64_t wallNs, std::uint64_t frames)
    {
        const std::uint32_t n = block.lossCount.load(std::memory_order_relaxed);
        RelayBlock::Loss& loss = block.losses[n % RelayBlock::kLosses];
        loss.wallNs.store(wallNs, std::memory_order_relaxed);
        loss.frames.store(static_cast<std::uint32_t>(frames), std::memory_order_relaxed);
        loss.kind.store(kind, std::memory_order_relaxed);
        block.lossCount.store(n + 1, std::memory_order_release);
    }

    std::string deviceDescription() const
    {
        for (const auto& [id, sink] : sinks)
            if (sink.name == defaultSink) return sink.description;
        return sinks.empty() ? std::string() : sinks.begin()->second.description;
    }

    void publish()
    {
        const bool running = stream && streaming;
        block.reachable.store(core != nullptr ? 1 : 0);
        block.streaming.store(running ? 1 : 0);
        const std::string device = running ? deviceDescription() : std::string();
        block.deviceSeq.fetch_add(1);
        std::memset(block.device, 0, sizeof block.device);
        std::memcpy(block.device, device.data(), std::min(device.size(), sizeof block.device - 1));
        block.deviceSeq.fetch_add(1);
    }

    void connect()
    {
        core = pw_context_connect(context, nullptr, 0);
        if (!core) return scheduleRetry();
        static const pw_core_events coreEvents = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.error = &Relay::onCoreError;
            return e;
        }();
        pw_core_add_listener(core, &coreListener, &coreEvents, this);
        registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
        static const pw_registry_events registryEvents = [] {
            pw_registry_events e{};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global = &Relay::onGlobal;
            e.global_remove = &Relay::onGlobalRemove;
            return e;
        }();
        pw_registry_add_listener(registry, &registryListener, &registryEvents, this);
        followWish();
        publish();
    }

    void disconnect()
    {
        closeStream();
        if (metadata) {
            spa_hook_remove(&metadataListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata));
            metadata = nullptr;
        }
        if (registry) {
            spa_hook_remove(&registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
            registry = nullptr;
        }
        if (core) {
            spa_hook_remove(&coreListener);
            pw_core_disconnect(core);
            core = nullptr;
        }
        sinks.clear();
        defaultSink.clear();
        metadataId = SPA_ID_INVALID;
        publish();
    }

    void scheduleRetry()
    {
        publish();
        timespec value{};
        value.tv_nsec = static_cast<long>(kRetryNs);
        pw_loop_update_timer(loop, retryTimer, &value, nullptr, false);
    }

    static void onRetry(void* self, std::uint64_t)
    {
        auto* r = static_cast<Relay*>(self);
        if (r->core) {
            r->closeStream();
            r->followWish();
            r->publish();
            return;
        }
        r->disconnect();
        r->connect();
    }

    static void onCoreError(void* self, std::uint32_t id, int, int res, const char*)
    {
        auto* r = static_cast<Relay*>(self);
        if (id == PW_ID_CORE || res == -EPIPE) {
            r->disconnect();
            r->scheduleRetry();
        }
    }

    // The program writes a byte whenever it wants the stream opened or closed, and its end of
    // the line closes when it ends, however it ends.
    static void onLifeLine(void* self, int fd, std::uint32_t mask)
    {
        auto* r = static_cast<Relay*>(self);
        char buffer[64];
        const ssize_t got = (mask & SPA_IO_IN) ? ::read(fd, buffer, sizeof buffer) : 0;
        if (got <= 0 && !(got < 0 && errno == EINTR)) {
            pw_main_loop_quit(r->mainLoop);
            return;
        }
        r->followWish();
    }

    void followWish()
    {
        if (stream && streamRate != block.rate.load()) closeStream();
        if (block.wantStream.load() != 0)
            openStream();
        else
            closeStream();
        publish();
    }

    static void onGlobal(void* self, std::uint32_t id, std::uint32_t, const char* type,
                         std::uint32_t, const spa_dict* props)
    {
        auto* r = static_cast<Relay*>(self);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0 && props) {
            const char* cls = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
            if (!cls || std::strcmp(cls, kSinkClass) != 0) return;
            const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
            const char* description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
            r->sinks[id] = Sink{name ? name : "", description ? description : (name ? name : "")};
            r->publish();
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && props && !r->metadata) {
            const char* name = spa_dict_lookup(props, PW_KEY_METADATA_NAME);
            if (!name || std::strcmp(name, "default") != 0) return;
            r->metadata = static_cast<pw_metadata*>(
                pw_registry_bind(r->registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
            if (!r->metadata) return;
            r->metadataId = id;
            static const pw_metadata_events metadataEvents = [] {
                pw_metadata_events e{};
                e.version = PW_VERSION_METADATA_EVENTS;
                e.property = &Relay::onMetadata;
                return e;
            }();
            pw_metadata_add_listener(r->metadata, &r->metadataListener, &metadataEvents, r);
        }
    }

    static void onGlobalRemove(void* self, std::uint32_t id)
    {
        auto* r = static_cast<Relay*>(self);
        if (r->sinks.erase(id) > 0) r->publish();
        if (id == r->metadataId && r->metadata) {
            spa_hook_remove(&r->metadataListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(r->metadata));
            r->metadata = nullptr;
            r->metadataId = SPA_ID_INVALID;
        }
    }

    static int onMetadata(void* self, std::uint32_t, const char* key, const char*, const char* value)
    {
        auto* r = static_cast<Relay*>(self);
        if (key && std::strcmp(key, "default.audio.sink") == 0) {
            r->defaultSink = nameFromJson(value);
            r->publish();
        }
        return 0;
    }

    void openStream()
    {
        if (stream || !core) return;
        streaming = false;
        graph = GraphFollower(block.rate.load());
        fed = false;
        // What is still in the ring was written for the stream before (or before switching
        // off): a new stream starts at what the program writes next.
        block.consumed.store(block.written.load());
        block.epoch.fetch_add(1);
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
            "Music", PW_KEY_APP_NAME, "Pendrel", PW_KEY_NODE_NAME, "pendrel",
            PW_KEY_MEDIA_NAME, "JJY time signal", nullptr);
        // Ask the graph to run at the stream's own rate: where the server allows that rate,
        // the stream is played unconverted and a carrier near its top gets out whole.
        pw_properties_setf(props, PW_KEY_NODE_RATE, "1/%u", block.rate.load());
        // Long cycles, the same in time at every rate: a cycle that the relay misses is a
        // hole in the signal, and a busy machine (or a virtual machine's host) holds a thread
        // up for tens of milliseconds now and then. 85 ms (4096 frames at 48 kHz) still leaves
        // more than 100 ms of what the program writes ahead; a graph caps it at its longest
        // cycle (by default 2048 frames, 43 ms), and runs shorter ones where other streams
        // want them.
        pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", block.rate.load() / 375 * 32,
                           block.rate.load());
        stream = pw_stream_new(core, "JJY time signal", props);
        if (!stream) return scheduleRetry();
        static const pw_stream_events streamEvents = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = &Relay::onStreamState;
            e.process = &Relay::onProcess;
            return e;
        }();
        pw_stream_add_listener(stream, &streamListener, &streamEvents, this);

        std::uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        streamRate = block.rate.load();
        info.rate = streamRate;
        info.channels = block.channels;
        if (info.channels == 2) {
            info.position[0] = SPA_AUDIO_CHANNEL_FL;
            info.position[1] = SPA_AUDIO_CHANNEL_FR;
        } else if (info.channels == 1) {
            info.position[0] = SPA_AUDIO_CHANNEL_MONO;
        }
        const spa_pod* params[1] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
        const auto flags = static_cast<pw_stream_flags>(
            PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
        if (pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0)
            scheduleRetry();
    }

    void closeStream()
    {
        if (!stream) return;
        spa_hook_remove(&streamListener);
        pw_stream_destroy(stream);
        stream = nullptr;
        streaming = false;
    }

    static void onStreamState(void* self, pw_stream_state, pw_stream_state state, const char*)
    {
        auto* r = static_cast<Relay*>(self);
        r->streaming = state == PW_STREAM_STATE_STREAMING;
        if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)
            r->scheduleRetry();
        r->publish();
    }

    // The graph's real-time thread, once a cycle.
    static void onProcess(void* self)
    {
        auto* r = static_cast<Relay*>(self);
        RelayBlock& blk = r->block;
        pw_buffer* b = pw_stream_dequeue_buffer(r->stream);
        if (!b) return;
        spa_data& data = b->buffer->datas[0];
        const std::uint32_t channels = blk.channels;
        const std::uint32_t rate = r->streamRate;
        const std::uint32_t stride = static_cast<std::uint32_t>(sizeof(float)) * channels;
        if (!data.data || stride == 0 || rate == 0) {
            pw_stream_queue_buffer(r->stream, b);
            return;
        }
        const std::uint32_t room = data.maxsize / stride;
        const std::uint32_t frames = b->requested
            ? static_cast<std::uint32_t>(std::min<std::uint64_t>(b->requested, room))
            : std::min<std::uint32_t>(room, 1024);

        std::uint64_t consumed = blk.consumed.load(std::memory_order_relaxed);
        std::int64_t heardWallNs = 0;  // when the first frame of this buffer is heard
        pw_time t{};
        if (pw_stream_get_time_n(r->stream, &t, sizeof t) == 0 && t.rate.denom > 0 && t.now > 0) {
            const std::uint64_t before = consumed;
            consumed = static_cast<std::uint64_t>(r->graph.frameFor(
                static_cast<std::int64_t>(consumed), t.ticks, t.rate.num == 1 ? t.rate.denom : 0));
            if (t.rate.num == 1) blk.graphRate.store(t.rate.denom, std::memory_order_relaxed);
            const double tickNs = 1e9 * t.rate.num / t.rate.denom;
            const double frameNs = 1e9 / rate;
            const double aheadNs = static_cast<double>(t.delay) * tickNs +
                                   (static_cast<double>(t.buffered) +
                                    static_cast<double>(t.queued / stride)) * frameNs;
            const std::int64_t wallMinusMono = TimelineSound::wallNs() - monotonicNs();
            heardWallNs = t.now + static_cast<std::int64_t>(aheadNs) + wallMinusMono;
            blk.timingSeq.fetch_add(1, std::memory_order_acq_rel);
            blk.timingFrame.store(static_cast<std::int64_t>(consumed), std::memory_order_relaxed);
            blk.timingWallNs.store(heardWallNs, std::memory_order_relaxed);
            blk.timingSeq.fetch_add(1, std::memory_order_acq_rel);
            // Cycles the graph ran without the relay; or this one, if it is asked for after the
            // cycle it belongs to has ended: the graph has gone on without it.
            if (consumed > before && r->fed)
                r->lose(RelayBlock::kHeldUp,
                        heardWallNs - static_cast<std::int64_t>(static_cast<double>(consumed - before) * frameNs),
                        consumed - before);
            if (r->fed && static_cast<double>(monotonicNs() - t.now) > frames * frameNs + 1e6)
                r->lose(RelayBlock::kHeldUp, heardWallNs, frames);
        }

        // What the program has written of these frames is played; anything it has not (it was
        // held up longer than the ring holds) is silence.
        const std::uint64_t written = blk.written.load(std::memory_order_acquire);
        const std::uint64_t ready = written > consumed ? std::min<std::uint64_t>(written - consumed, frames) : 0;
        auto* out = static_cast<float*>(data.data);
        const float* ring = blk.ring();
        for (std::uint64_t i = 0; i < ready;) {
            const std::uint64_t at = (consumed + i) % blk.ringFrames;
            const std::uint64_t n = std::min<std::uint64_t>(ready - i, blk.ringFrames - at);
            std::memcpy(out + i * channels, ring + at * channels, n * stride);
            i += n;
        }
        std::memset(out + ready * channels, 0, (frames - ready) * stride);
        if (ready < frames && r->fed)
            r->lose(RelayBlock::kUnwritten,
                    heardWallNs + static_cast<std::int64_t>(1e9 * static_cast<double>(ready) / rate),
                    frames - ready);
        r->fed = r->fed || ready == frames;
        blk.consumed.store(consumed + frames, std::memory_order_release);

        data.chunk->offset = 0;
        data.chunk->stride = static_cast<std::int32_t>(stride);
        data.chunk->size = frames * stride;
        pw_stream_queue_buffer(r->stream, b);
    }

    int run(int lifeFd)
    {
        mainLoop = pw_main_loop_new(nullptr);
        if (!mainLoop) return 1;
        loop = pw_main_loop_get_loop(mainLoop);
        context = newRealtimeContext(loop);
        if (!context) return 1;
        retryTimer = pw_loop_add_timer(loop, &Relay::onRetry, this);
        lifeLine = pw_loop_add_io(loop, lifeFd, SPA_IO_IN | SPA_IO_HUP | SPA_IO_ERR, false,
                                  &Relay::onLifeLine, this);
        connect();
        pw_main_loop_run(mainLoop);
        disconnect();
        pw_context_destroy(context);
        pw_main_loop_destroy(mainLoop);
        return 0;
    }
};

std::string ownExecutable()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = '\0';
    return path;
}

}  // namespace

bool runSoundRelayIfAsked(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], kRelayArgument) != 0) return false;
    // The relay ends with the program: its line closes, and should the program be killed
    // outright, the kernel tells the relay too.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    prctl(PR_SET_NAME, "pendrel-sound");
    struct stat st {};
    if (::fstat(kRelayBlockFd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(RelayBlock)))
        _exit(1);
    void* mem = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ | PROT_WRITE,
                     MAP_SHARED, kRelayBlockFd, 0);
    if (mem == MAP_FAILED) _exit(1);
    auto& block = *static_cast<RelayBlock*>(mem);
    if (RelayBlock::bytes(block.ringFrames, block.channels) > static_cast<std::size_t>(st.st_size))
        _exit(1);
    initPipeWire();
    Relay relay(block);
    _exit(relay.run(kRelayLifeFd));
}

// ---- the program's side ----------------------------------------------------------------------

struct PipeWireSound::Impl {
    explicit Impl(PipeWireSound& o) : owner(o) {}

    PipeWireSound& owner;
    RelayBlock* block = nullptr;
    std::size_t blockBytes = 0;
    int memFd = -1;
    std::atomic<int> lifeFd{-1};  // replaced by the feeder when it starts a new relay
    pid_t relay = -1;
    std::chrono::steady_clock::time_point lastSpawn{};

    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    bool transmitting = false;
    std::thread feeder;

    bool start()
    {
        const std::uint32_t ringFrames = kRingFrames;
        blockBytes = RelayBlock::bytes(ringFrames, owner.m_format.channels);
        memFd = memfd_create("pendrel-sound", MFD_CLOEXEC);
        if (memFd < 0) return false;
        if (ftruncate(memFd, static_cast<off_t>(blockBytes)) != 0) return false;
        void* mem = mmap(nullptr, blockBytes, PROT_READ | PROT_WRITE, MAP_SHARED, memFd, 0);
        if (mem == MAP_FAILED) return false;
        block = new (mem) RelayBlock;
        block->rate = owner.rate();
        block->channels = owner.m_format.channels;
        block->ringFrames = ringFrames;
        if (!spawnRelay()) return false;
        feeder = std::thread([this] { feed(); });
        return true;
    }

    bool spawnRelay()
    {
        const std::string exe = ownExecutable();
        int line[2];
        if (exe.empty() || pipe2(line, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, memFd, kRelayBlockFd);
        posix_spawn_file_actions_adddup2(&actions, line[0], kRelayLifeFd);
        std::string arg0 = exe;
        std::string arg1 = kRelayArgument;
        char* argv[] = {arg0.data(), arg1.data(), nullptr};
        const int failed = posix_spawn(&relay, exe.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(line[0]);
        if (failed != 0) {
            ::close(line[1]);
            relay = -1;
            return false;
        }
        lifeFd = line[1];
        return true;
    }

    // A relay that died (it should not) is told as no sound server, and started again at most
    // once a second.
    void watchRelay()
    {
        if (relay > 0 && waitpid(relay, nullptr, WNOHANG) != relay) return;
        relay = -1;
        block->reachable.store(0);
        block->streaming.store(0);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastSpawn < std::chrono::seconds(1)) return;
        lastSpawn = now;
        if (lifeFd >= 0) ::close(lifeFd.exchange(-1));
        if (spawnRelay()) poke();
    }

    void shutdown()
    {
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        wake.notify_one();
        if (feeder.joinable()) feeder.join();
        if (lifeFd >= 0) ::close(lifeFd);  // the relay sees its line close and ends
        if (relay > 0) {
            // It ends within a graph cycle or two; a relay that does not is ended for it.
            for (int i = 0; i < 100; ++i) {
                if (waitpid(relay, nullptr, WNOHANG) == relay) {
                    relay = -1;
                    break;
                }
                usleep(2000);
            }
            if (relay > 0) {
                kill(relay, SIGKILL);
                waitpid(relay, nullptr, 0);
            }
        }
        if (block) munmap(block, blockBytes);
        if (memFd >= 0) ::close(memFd);
    }

    void setTransmitting(bool on)
    {
        {
            std::lock_guard lock(mutex);
            if (on == transmitting) return;
            transmitting = on;
        }
        if (!on) owner.dropEverything();
        block->wantStream.store(on ? 1 : 0);
        poke();
        wake.notify_one();
    }

    // Tells the relay to look at what the program wants of its stream.
    void poke()
    {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(lifeFd, &byte, 1);
    }

    // Keeps the ring written ahead of the graph and brings the relay's reports in. Sleeps
    // whenever nothing is transmitted.
    void feed()
    {
        raiseThreadPriority();
        const std::uint32_t channels = owner.m_format.channels;
        std::uint32_t epoch = 0;
        std::uint32_t lastSeq = 0;
        std::uint32_t lossesSeen = block->lossCount.load();
        std::unique_lock lock(mutex);
        while (!stop) {
            wake.wait_for(lock, transmitting ? kFeedInterval : std::chrono::hours(24));
            if (stop) break;
            watchRelay();
            publishState();
            if (!transmitting) continue;

            if (const std::uint32_t e = block->epoch.load(); e != epoch) {
                epoch = e;
                owner.m_clock.reset(block->rate.load());
            }
            const auto fill = static_cast<std::uint64_t>(kFillSeconds * block->rate.load());
            const std::uint64_t consumed = block->consumed.load(std::memory_order_acquire);
            auto written = static_cast<std::uint64_t>(owner.m_timeline.written());
            if (consumed > written) {  // the relay played on past what was written: lost frames
                owner.m_timeline.skip(static_cast<std::size_t>(consumed - written));
                written = consumed;
            }
            const std::uint64_t target = std::min(consumed + fill, consumed + block->ringFrames);
            while (written < target) {
                const std::uint64_t at = written % block->ringFrames;
                const std::uint64_t n = std::min<std::uint64_t>(target - written, block->ringFrames - at);
                owner.m_timeline.render(block->ring() + at * channels, static_cast<std::size_t>(n));
                written += n;
            }
            block->written.store(written, std::memory_order_release);
            reportLosses(lossesSeen);

            const std::uint32_t seq = block->timingSeq.load(std::memory_order_acquire);
            if (seq % 2 == 0 && seq != lastSeq) {
                const std::int64_t frame = block->timingFrame.load(std::memory_order_relaxed);
                const std::int64_t wall = block->timingWallNs.load(std::memory_order_relaxed);
                if (block->timingSeq.load(std::memory_order_acquire) == seq) {
                    lastSeq = seq;
                    owner.m_clock.observe(frame, wall);
                    owner.timingArrived();
                }
            }
        }
    }

    // A stretch the graph played without the program's signal is a hole in it: each is said on
    // stderr, with when it was heard (seconds of the wall clock) and why.
    void reportLosses(std::uint32_t& seen)
    {
        const std::uint32_t count = block->lossCount.load(std::memory_order_acquire);
        if (count - seen > RelayBlock::kLosses) seen = count - RelayBlock::kLosses;
        const double msPerFrame = 1000.0 / block->rate.load();
        for (; seen != count; ++seen) {
            const RelayBlock::Loss& loss = block->losses[seen % RelayBlock::kLosses];
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
        char device[sizeof block->device];
        std::uint32_t before = 0;
        do {
            before = block->deviceSeq.load();
            std::memcpy(device, block->device, sizeof device);
        } while (before % 2 != 0 || block->deviceSeq.load() != before);
        device[sizeof device - 1] = '\0';
        const bool running = block->streaming.load() != 0;
        owner.setOutputRate(running ? block->graphRate.load() : 0);
        owner.setServerState(block->reachable.load() != 0, running, running ? device : "");
    }
};

PipeWireSound::PipeWireSound() : PipeWireSound(Options{}) {}

PipeWireSound::PipeWireSound(Options options)
    : TimelineSound(options.format), m_impl(std::make_unique<Impl>(*this))
{
    setServerName("PipeWire");
    m_started = m_impl->start();
}

PipeWireSound::~PipeWireSound()
{
    stopWorker();
    if (m_started) m_impl->shutdown();
}

void PipeWireSound::setTransmitting(bool on)
{
    if (m_started) m_impl->setTransmitting(on);
}

void PipeWireSound::rateChanged(unsigned rate)
{
    if (!m_started) return;
    m_impl->block->rate.store(rate);
    m_impl->poke();
}

namespace {

bool pipeWireSocketExists()
{
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    std::string path;
    if (remote && *remote == '/') {
        path = remote;
    } else {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (!runtime || !*runtime) return false;
        path = std::string(runtime) + "/" + (remote && *remote ? remote : "pipewire-0");
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

std::unique_ptr<TimelineSound> openSystemSound()
{
    const auto pulse = probePulseServer({}, std::chrono::milliseconds(500));
    const bool pipeWire = pulse ? pulse->name.find("PipeWire") != std::string::npos
                                : pipeWireSocketExists();
    if (pipeWire) {
        auto sound = std::make_unique<PipeWireSound>();
        if (sound->started()) return sound;
    }
    return std::make_unique<PulseSound>();
}

}  // namespace platform
