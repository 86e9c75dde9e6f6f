#pragma once
// The sound relay: plays the program's stream on PipeWire from the ring of the block it shares
// with the program (see platform/sound/relay_block.h). Its own small process, so that it plays
// on while the program is held up; it reconnects by itself (every half second) when PipeWire
// goes away, follows the default sink for the status, and ends when the program's line closes.

#include "platform/sound/pipewire_client.h"
#include "platform/sound/relay_block.h"
#include "platform/sound/sample_timeline.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>

#include <cstdint>
#include <map>
#include <string>

namespace platform {

class Relay {
public:
    explicit Relay(RelayBlock& b) : m_block(b) {}
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Runs until the program's line on `lifeFd` closes; 0, or 1 when PipeWire cannot be used.
    int run(int lifeFd);

private:
    void lose(RelayBlock::LossKind kind, std::int64_t wallNs, std::uint64_t frames);
    std::string deviceDescription() const;
    void publish();
    void connect();
    void disconnect();
    void scheduleRetry();
    static void onRetry(void* self, std::uint64_t);
    static void onCoreError(void* self, std::uint32_t id, int, int res, const char*);
    static void onLifeLine(void* self, int fd, std::uint32_t mask);
    void followWish();
    static void onGlobal(void* self, std::uint32_t id, std::uint32_t, const char* type,
                         std::uint32_t, const spa_dict* props);
    static void onGlobalRemove(void* self, std::uint32_t id);
    static int onMetadata(void* self, std::uint32_t, const char* key, const char*,
                          const char* value);
    void openStream();
    void closeStream();
    static void onStreamState(void* self, pw_stream_state, pw_stream_state state, const char*);
    static void onProcess(void* self);

    RelayBlock& m_block;
    PipeWireClient m_client;
    pw_core* m_core = nullptr;
    pw_registry* m_registry = nullptr;
    pw_metadata* m_metadata = nullptr;
    pw_stream* m_stream = nullptr;
    spa_source* m_retryTimer = nullptr;
    spa_source* m_lifeLine = nullptr;
    spa_hook m_coreListener{};
    spa_hook m_registryListener{};
    spa_hook m_metadataListener{};
    spa_hook m_streamListener{};
    bool m_streaming = false;

    struct Sink {
        std::string name;
        std::string description;
    };
    std::map<std::uint32_t, Sink> m_sinks;
    std::uint32_t m_metadataId = SPA_ID_INVALID;
    std::string m_defaultSink;

    std::uint32_t m_streamRate = 0;  // what the open stream was opened at

    GraphFollower m_graph{0};  // data thread only
    bool m_fed = false;        // the stream has had a whole buffer of the program's; data thread
};

// The node name inside the JSON value PipeWire keeps the default sink in: {"name":"…"}.
std::string nameFromJson(const char* json);

}  // namespace platform
