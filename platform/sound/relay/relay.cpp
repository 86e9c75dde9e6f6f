#include "platform/sound/relay/relay.h"

#include "platform/sound/pipewire_client.h"

#include <spa/utils/json.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace platform {

namespace {

constexpr std::uint64_t kRetryNs = 500'000'000;
constexpr const char* kSinkClass = "Audio/Sink";

}  // namespace

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

std::string Relay::deviceDescription() const
{
    for (const auto& [id, sink] : m_sinks)
        if (sink.name == m_defaultSink) return sink.description;
    return m_sinks.empty() ? std::string() : m_sinks.begin()->second.description;
}

void Relay::publish()
{
    const bool running = m_stream && m_streaming;
    m_block.reachable.store(m_core != nullptr ? 1 : 0);
    m_block.streaming.store(running ? 1 : 0);
    m_block.writeDevice(running ? deviceDescription() : std::string());
}

void Relay::connect()
{
    m_core = m_client.connect();
    if (!m_core) return scheduleRetry();
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.error = &Relay::onCoreError;
        return e;
    }();
    pw_core_add_listener(m_core, &m_coreListener, &coreEvents, this);
    m_registry = pw_core_get_registry(m_core, PW_VERSION_REGISTRY, 0);
    static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = &Relay::onGlobal;
        e.global_remove = &Relay::onGlobalRemove;
        return e;
    }();
    pw_registry_add_listener(m_registry, &m_registryListener, &registryEvents, this);
    followWish();
    publish();
}

void Relay::disconnect()
{
    closeStream();
    if (m_metadata) {
        spa_hook_remove(&m_metadataListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(m_metadata));
        m_metadata = nullptr;
    }
    if (m_registry) {
        spa_hook_remove(&m_registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(m_registry));
        m_registry = nullptr;
    }
    if (m_core) {
        spa_hook_remove(&m_coreListener);
        m_client.disconnect();
        m_core = nullptr;
    }
    m_sinks.clear();
    m_defaultSink.clear();
    m_metadataId = SPA_ID_INVALID;
    publish();
}

void Relay::scheduleRetry()
{
    publish();
    timespec value{};
    value.tv_nsec = static_cast<long>(kRetryNs);
    pw_loop_update_timer(m_client.loop(), m_retryTimer, &value, nullptr, false);
}

void Relay::onRetry(void* self, std::uint64_t)
{
    auto* r = static_cast<Relay*>(self);
    if (r->m_core) {
        r->closeStream();
        r->followWish();
        r->publish();
        return;
    }
    r->disconnect();
    r->connect();
}

void Relay::onCoreError(void* self, std::uint32_t id, int, int res, const char*)
{
    auto* r = static_cast<Relay*>(self);
    if (id == PW_ID_CORE || res == -EPIPE) {
        r->disconnect();
        r->scheduleRetry();
    }
}

// The program writes a byte whenever it wants the stream opened or closed, and its end of
// the line closes when it ends, however it ends.
void Relay::onLifeLine(void* self, int fd, std::uint32_t mask)
{
    auto* r = static_cast<Relay*>(self);
    char buffer[64];
    const ssize_t got = (mask & SPA_IO_IN) ? ::read(fd, buffer, sizeof buffer) : 0;
    if (got <= 0 && !(got < 0 && errno == EINTR)) {
        r->m_client.quit();
        return;
    }
    r->followWish();
}

void Relay::followWish()
{
    if (m_stream && m_streamRate != m_block.rate.load()) closeStream();
    if (m_block.wantStream.load() != 0)
        openStream();
    else
        closeStream();
    publish();
}

void Relay::onGlobal(void* self, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t, const spa_dict* props)
{
    auto* r = static_cast<Relay*>(self);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0 && props) {
        const char* cls = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
        if (!cls || std::strcmp(cls, kSinkClass) != 0) return;
        const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
        const char* description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
        r->m_sinks[id] = Sink{name ? name : "", description ? description : (name ? name : "")};
        r->publish();
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && props && !r->m_metadata) {
        const char* name = spa_dict_lookup(props, PW_KEY_METADATA_NAME);
        if (!name || std::strcmp(name, "default") != 0) return;
        r->m_metadata = static_cast<pw_metadata*>(
            pw_registry_bind(r->m_registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
        if (!r->m_metadata) return;
        r->m_metadataId = id;
        static const pw_metadata_events metadataEvents = [] {
            pw_metadata_events e{};
            e.version = PW_VERSION_METADATA_EVENTS;
            e.property = &Relay::onMetadata;
            return e;
        }();
        pw_metadata_add_listener(r->m_metadata, &r->m_metadataListener, &metadataEvents, r);
    }
}

void Relay::onGlobalRemove(void* self, std::uint32_t id)
{
    auto* r = static_cast<Relay*>(self);
    if (r->m_sinks.erase(id) > 0) r->publish();
    if (id == r->m_metadataId && r->m_metadata) {
        spa_hook_remove(&r->m_metadataListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(r->m_metadata));
        r->m_metadata = nullptr;
        r->m_metadataId = SPA_ID_INVALID;
    }
}

int Relay::onMetadata(void* self, std::uint32_t, const char* key, const char*, const char* value)
{
    auto* r = static_cast<Relay*>(self);
    if (key && std::strcmp(key, "default.audio.sink") == 0) {
        r->m_defaultSink = nameFromJson(value);
        r->publish();
    }
    return 0;
}

int Relay::run(int lifeFd)
{
    if (!m_client.ok()) return 1;
    m_retryTimer = pw_loop_add_timer(m_client.loop(), &Relay::onRetry, this);
    m_lifeLine = pw_loop_add_io(m_client.loop(), lifeFd, SPA_IO_IN | SPA_IO_HUP | SPA_IO_ERR, false,
                              &Relay::onLifeLine, this);
    connect();
    m_client.run();
    disconnect();
    return 0;
}

}  // namespace platform
