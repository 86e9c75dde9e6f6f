#include "platform/pipewire_sound.h"

#include "platform/pulse_sound.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/json.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

namespace platform {

namespace {

constexpr std::uint64_t kRetryNs = 500'000'000;
constexpr const char* kSinkClass = "Audio/Sink";

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

struct PipeWireSound::Impl {
    Impl(PipeWireSound& o, Options opts) : owner(o), options(std::move(opts)) {}

    PipeWireSound& owner;
    Options options;

    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_metadata* metadata = nullptr;
    pw_stream* stream = nullptr;
    spa_source* retryTimer = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    spa_hook metadataListener{};
    spa_hook streamListener{};
    bool transmitting = false;
    bool streaming = false;
    bool shuttingDown = false;

    struct Sink {
        std::string name;
        std::string description;
    };
    std::map<std::uint32_t, Sink> sinks;
    std::uint32_t metadataId = SPA_ID_INVALID;
    std::string defaultSink;

    // ---- state for status() ---------------------------------------------------------------

    std::string deviceDescription() const
    {
        for (const auto& [id, sink] : sinks)
            if (sink.name == defaultSink) return sink.description;
        return sinks.empty() ? std::string() : sinks.begin()->second.description;
    }

    void publish()
    {
        owner.setServerState(core != nullptr, stream && streaming,
                             stream && streaming ? deviceDescription() : std::string());
    }

    // ---- connection -----------------------------------------------------------------------

    void connect()
    {
        core = pw_context_connect(context, nullptr, 0);
        if (!core) return scheduleRetry();
        static const pw_core_events coreEvents = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.error = &Impl::onCoreError;
            return e;
        }();
        pw_core_add_listener(core, &coreListener, &coreEvents, this);

        registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
        static const pw_registry_events registryEvents = [] {
            pw_registry_events e{};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global = &Impl::onGlobal;
            e.global_remove = &Impl::onGlobalRemove;
            return e;
        }();
        pw_registry_add_listener(registry, &registryListener, &registryEvents, this);
        if (transmitting) openStream();
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
        if (shuttingDown) return;
        publish();
        timespec value{};
        value.tv_sec = 0;
        value.tv_nsec = static_cast<long>(kRetryNs);
        pw_loop_update_timer(pw_thread_loop_get_loop(loop), retryTimer, &value, nullptr, false);
    }

    static void onRetry(void* self, std::uint64_t)
    {
        auto* d = static_cast<Impl*>(self);
        if (d->shuttingDown) return;
        if (d->core) {
            d->closeStream();
            if (d->transmitting) d->openStream();
            d->publish();
            return;
        }
        d->disconnect();
        d->connect();
    }

    static void onCoreError(void* self, std::uint32_t id, int, int res, const char*)
    {
        auto* d = static_cast<Impl*>(self);
        // The server went away (or refused us): start over after a pause.
        if (id == PW_ID_CORE || res == -EPIPE) {
            d->disconnect();
            d->scheduleRetry();
        }
    }

    // ---- what the graph holds: the sinks and which one is the default ----------------------

    static void onGlobal(void* self, std::uint32_t id, std::uint32_t, const char* type,
                         std::uint32_t, const spa_dict* props)
    {
        auto* d = static_cast<Impl*>(self);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0 && props) {
            const char* cls = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
            if (!cls || std::strcmp(cls, kSinkClass) != 0) return;
            const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
            const char* description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
            d->sinks[id] = Sink{name ? name : "", description ? description : (name ? name : "")};
            d->publish();
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && props && !d->metadata) {
            const char* name = spa_dict_lookup(props, PW_KEY_METADATA_NAME);
            if (!name || std::strcmp(name, "default") != 0) return;
            d->metadata = static_cast<pw_metadata*>(
                pw_registry_bind(d->registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
            if (!d->metadata) return;
            d->metadataId = id;
            static const pw_metadata_events metadataEvents = [] {
                pw_metadata_events e{};
                e.version = PW_VERSION_METADATA_EVENTS;
                e.property = &Impl::onMetadata;
                return e;
            }();
            pw_metadata_add_listener(d->metadata, &d->metadataListener, &metadataEvents, d);
        }
    }

    static void onGlobalRemove(void* self, std::uint32_t id)
    {
        auto* d = static_cast<Impl*>(self);
        if (d->sinks.erase(id) > 0) d->publish();
        if (id == d->metadataId && d->metadata) {
            spa_hook_remove(&d->metadataListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(d->metadata));
            d->metadata = nullptr;
            d->metadataId = SPA_ID_INVALID;
        }
    }

    static int onMetadata(void* self, std::uint32_t, const char* key, const char*, const char* value)
    {
        auto* d = static_cast<Impl*>(self);
        if (key && std::strcmp(key, "default.audio.sink") == 0) {
            d->defaultSink = nameFromJson(value);
            d->publish();
        }
        return 0;
    }

    // ---- the stream -----------------------------------------------------------------------

    void openStream()
    {
        if (stream || !core) return;
        owner.m_clock.reset();
        owner.m_timeline.restart();
        streaming = false;
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
            "Music", PW_KEY_APP_NAME, options.appName.c_str(), PW_KEY_NODE_NAME, "pendrel",
            PW_KEY_MEDIA_NAME, "JJY time signal", nullptr);
        stream = pw_stream_new(core, "JJY time signal", props);
        if (!stream) return scheduleRetry();
        static const pw_stream_events streamEvents = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = &Impl::onStreamState;
            e.process = &Impl::onProcess;
            return e;
        }();
        pw_stream_add_listener(stream, &streamListener, &streamEvents, this);

        std::uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = owner.m_format.rate;
        info.channels = owner.m_format.channels;
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
        owner.m_clock.reset();
        publish();
    }

    static void onStreamState(void* self, pw_stream_state, pw_stream_state state, const char*)
    {
        auto* d = static_cast<Impl*>(self);
        d->streaming = state == PW_STREAM_STATE_STREAMING;
        if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)
            d->scheduleRetry();
        d->publish();
    }

    // The graph's real-time thread, once a cycle: the time report says when the next frame
    // written will be heard; the timeline gives the frames.
    static void onProcess(void* self)
    {
        auto* d = static_cast<Impl*>(self);
        pw_buffer* b = pw_stream_dequeue_buffer(d->stream);
        if (!b) return;
        spa_data& data = b->buffer->datas[0];
        const std::uint32_t channels = d->owner.m_format.channels;
        const std::uint32_t stride = static_cast<std::uint32_t>(sizeof(float)) * channels;
        if (!data.data || stride == 0) {
            pw_stream_queue_buffer(d->stream, b);
            return;
        }
        const std::uint32_t room = data.maxsize / stride;
        std::uint32_t frames = b->requested ? static_cast<std::uint32_t>(std::min<std::uint64_t>(b->requested, room))
                                            : std::min<std::uint32_t>(room, 1024);

        pw_time t{};
        if (pw_stream_get_time_n(d->stream, &t, sizeof t) == 0 && t.rate.denom > 0 && t.now > 0) {
            const double tickNs = 1e9 * t.rate.num / t.rate.denom;
            const double frameNs = 1e9 / d->owner.m_format.rate;
            const double aheadNs = static_cast<double>(t.delay) * tickNs +
                                   (static_cast<double>(t.buffered) +
                                    static_cast<double>(t.queued / stride)) * frameNs;
            const std::int64_t wallMinusMono = TimelineSound::wallNs() - monotonicNs();
            d->owner.m_clock.observe(d->owner.m_timeline.written(),
                                     t.now + static_cast<std::int64_t>(aheadNs) + wallMinusMono);
        }
        d->owner.m_timeline.render(static_cast<float*>(data.data), frames);
        data.chunk->offset = 0;
        data.chunk->stride = static_cast<std::int32_t>(stride);
        data.chunk->size = frames * stride;
        pw_stream_queue_buffer(d->stream, b);
    }
};

PipeWireSound::PipeWireSound() : PipeWireSound(Options{}) {}

PipeWireSound::PipeWireSound(Options options)
    : TimelineSound(options.format), m_impl(std::make_unique<Impl>(*this, std::move(options)))
{
    setServerName("PipeWire");
    initPipeWire();
    Impl& d = *m_impl;
    d.loop = pw_thread_loop_new("pendrel-sound", nullptr);
    if (!d.loop) return;
    d.context = pw_context_new(pw_thread_loop_get_loop(d.loop), nullptr, 0);
    if (!d.context) return;
    d.retryTimer = pw_loop_add_timer(pw_thread_loop_get_loop(d.loop), &Impl::onRetry, &d);
    pw_thread_loop_lock(d.loop);
    d.connect();
    pw_thread_loop_unlock(d.loop);
    pw_thread_loop_start(d.loop);
}

PipeWireSound::~PipeWireSound()
{
    stopWorker();
    Impl& d = *m_impl;
    if (!d.loop) return;
    pw_thread_loop_lock(d.loop);
    d.shuttingDown = true;
    d.disconnect();
    pw_thread_loop_unlock(d.loop);
    pw_thread_loop_stop(d.loop);
    if (d.retryTimer) pw_loop_destroy_source(pw_thread_loop_get_loop(d.loop), d.retryTimer);
    if (d.context) pw_context_destroy(d.context);
    pw_thread_loop_destroy(d.loop);
}

void PipeWireSound::setTransmitting(bool on)
{
    Impl& d = *m_impl;
    if (!d.loop || !d.context) return;
    pw_thread_loop_lock(d.loop);
    if (on != d.transmitting) {
        d.transmitting = on;
        if (on) {
            d.openStream();
        } else {
            m_timeline.clear();
            d.closeStream();
        }
    }
    pw_thread_loop_unlock(d.loop);
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
    if (pipeWire) return std::make_unique<PipeWireSound>();
    return std::make_unique<PulseSound>();
}

}  // namespace platform
