#include "platform/sound/system_sound.h"

#include "platform/sound/pipewire_backend.h"
#include "platform/sound/pulse_backend.h"

#include <pulse/pulseaudio.h>
#include <sys/stat.h>

#include <cstdlib>

namespace platform {

namespace {

struct Probe {
    pa_mainloop* loop = nullptr;
    std::string name;
    bool done = false;
    bool ok = false;
};

void onProbeInfo(pa_context*, const pa_server_info* info, void* userdata)
{
    auto* p = static_cast<Probe*>(userdata);
    if (info && info->server_name) p->name = info->server_name;
    p->ok = info != nullptr;
    p->done = true;
}

void onProbeState(pa_context* c, void* userdata)
{
    auto* p = static_cast<Probe*>(userdata);
    switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY:
        if (pa_operation* op = pa_context_get_server_info(c, &onProbeInfo, p))
            pa_operation_unref(op);
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        p->done = true;
        break;
    default:
        break;
    }
}

}  // namespace

std::unique_ptr<PulseServerInfo> probePulseServer(const std::string& server,
                                                  std::chrono::milliseconds timeout)
{
    Probe p;
    p.loop = pa_mainloop_new();
    if (!p.loop) return nullptr;
    pa_context* c = pa_context_new(pa_mainloop_get_api(p.loop), "Pendrel");
    if (c) {
        pa_context_set_state_callback(c, &onProbeState, &p);
        if (pa_context_connect(c, server.empty() ? nullptr : server.c_str(),
                               PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
            const auto end = std::chrono::steady_clock::now() + timeout;
            while (!p.done) {
                const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                    end - std::chrono::steady_clock::now());
                if (left.count() <= 0 || pa_mainloop_prepare(p.loop, static_cast<int>(left.count())) < 0
                    || pa_mainloop_poll(p.loop) < 0 || pa_mainloop_dispatch(p.loop) < 0)
                    break;
            }
        }
        pa_context_set_state_callback(c, nullptr, nullptr);
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
    pa_mainloop_free(p.loop);
    if (!p.ok) return nullptr;
    auto info = std::make_unique<PulseServerInfo>();
    info->name = p.name;
    return info;
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

std::unique_ptr<StreamOutput> openSystemSound()
{
    const auto pulse = probePulseServer({}, std::chrono::milliseconds(500));
    const bool pipeWire = pulse ? pulse->name.find("PipeWire") != std::string::npos
                                : pipeWireSocketExists();
    if (pipeWire) {
        auto sound = std::make_unique<StreamOutput>(makePipeWireBackend());
        if (sound->started()) return sound;
    }
    return std::make_unique<StreamOutput>(makePulseBackend());
}

}  // namespace platform
