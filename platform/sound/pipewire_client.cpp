#include "platform/sound/pipewire_client.h"

#include <spa/param/audio/format-utils.h>

#include <csignal>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace platform {

namespace {

std::int64_t clockNs(clockid_t id)
{
    timespec t{};
    clock_gettime(id, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

std::int64_t monotonicNs()
{
    return clockNs(CLOCK_MONOTONIC);
}

std::int64_t monotonicToWallNs()
{
    const std::int64_t before = clockNs(CLOCK_MONOTONIC);
    const std::int64_t wall = clockNs(CLOCK_REALTIME);
    return wall - (before + clockNs(CLOCK_MONOTONIC)) / 2;
}

namespace {

// Before PipeWire 1.0 the real-time module came with the client-rt.conf set-up; from 1.0 on
// the default client.conf loads it, and the old name only draws a warning.
pw_context* newRealtimeContext(pw_loop* loop)
{
    const char* version = pw_get_library_version();  // "1.4.2": only the major number matters
    pw_properties* props = version && std::atoi(version) >= 1
        ? nullptr
        : pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr);
    if (pw_context* context = pw_context_new(loop, props, 0)) return context;
    return pw_context_new(loop, nullptr, 0);
}

struct PipeWireLibrary {
    PipeWireLibrary() { pw_init(nullptr, nullptr); }
};

void onQuit(void* mainLoop, int)
{
    pw_main_loop_quit(static_cast<pw_main_loop*>(mainLoop));
}

void onTimeout(void* mainLoop, std::uint64_t)
{
    pw_main_loop_quit(static_cast<pw_main_loop*>(mainLoop));
}

}  // namespace

PipeWireClient::PipeWireClient()
{
    static PipeWireLibrary library;
    (void)library;
    m_mainLoop = pw_main_loop_new(nullptr);
    if (!m_mainLoop) return;
    m_loop = pw_main_loop_get_loop(m_mainLoop);
}

PipeWireClient::~PipeWireClient()
{
    disconnect();
    if (m_context) pw_context_destroy(m_context);
    if (m_mainLoop) pw_main_loop_destroy(m_mainLoop);
}

// The context starts threads of its own: made only now, after quitOnSignals() has blocked the
// signals it handles, the threads inherit that and a SIGTERM reaches the loop, not a thread.
pw_core* PipeWireClient::connect()
{
    if (!m_context && m_loop) m_context = newRealtimeContext(m_loop);
    if (!m_core && m_context) m_core = pw_context_connect(m_context, nullptr, 0);
    return m_core;
}

void PipeWireClient::disconnect()
{
    if (m_core) pw_core_disconnect(m_core);
    m_core = nullptr;
}

void PipeWireClient::quitOnSignals()
{
    if (!m_loop) return;
    pw_loop_add_signal(m_loop, SIGINT, &onQuit, m_mainLoop);
    pw_loop_add_signal(m_loop, SIGTERM, &onQuit, m_mainLoop);
}

void PipeWireClient::quitAfter(double seconds)
{
    if (seconds <= 0 || !m_loop) return;
    spa_source* timer = pw_loop_add_timer(m_loop, &onTimeout, m_mainLoop);
    timespec value{static_cast<time_t>(seconds), static_cast<long>((seconds - std::floor(seconds)) * 1e9)};
    pw_loop_update_timer(m_loop, timer, &value, nullptr, false);
}

const spa_pod* floatAudioFormat(spa_pod_builder& builder, unsigned rate, unsigned channels)
{
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = rate;
    info.channels = channels;
    if (channels == 2) {
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
    } else if (channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    }
    return spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
}

}  // namespace platform
