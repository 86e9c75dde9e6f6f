#include "check/output_info.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <cstring>

namespace check {

namespace {

// One turn of the loop, waiting at most 0.1 s for something to happen.
bool step(pa_mainloop* loop)
{
    return pa_mainloop_prepare(loop, 100000) >= 0 && pa_mainloop_poll(loop) >= 0 &&
           pa_mainloop_dispatch(loop) >= 0;
}

struct Asker {
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    int pending = 0;  // operations under way
    bool failed = false;
    std::string defaultSink;
    std::uint32_t pendrelSink = PA_INVALID_INDEX;
    OutputInfo* out = nullptr;

    // Iterates the loop until nothing is pending, or the deadline; false when it gave up.
    bool settle(std::chrono::steady_clock::time_point deadline)
    {
        while (pending > 0 && !failed) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            if (!step(loop)) return false;
        }
        return !failed;
    }

    void track(pa_operation* op)
    {
        if (!op) {
            failed = true;
            return;
        }
        ++pending;
        pa_operation_unref(op);
    }

    static void onServer(pa_context*, const pa_server_info* info, void* self)
    {
        auto* a = static_cast<Asker*>(self);
        if (info) {
            if (info->default_sink_name) a->defaultSink = info->default_sink_name;
            a->out->onPipeWire = info->server_name && std::strstr(info->server_name, "PipeWire");
        }
        --a->pending;
    }

    // Pendrel's stream, or its relay's: the program names itself "Pendrel" to the server and
    // its stream "JJY time signal".
    static void onInput(pa_context*, const pa_sink_input_info* info, int eol, void* self)
    {
        auto* a = static_cast<Asker*>(self);
        if (eol) {
            --a->pending;
            return;
        }
        if (!info) return;
        const char* app = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME);
        const char* media = pa_proplist_gets(info->proplist, PA_PROP_MEDIA_NAME);
        const bool ours = (app && std::strcmp(app, "Pendrel") == 0) ||
                          (media && std::strcmp(media, "JJY time signal") == 0);
        if (ours && !info->corked) {
            a->pendrelSink = info->sink;
            a->out->pendrelPlaying = true;
        }
    }

    static void onSink(pa_context*, const pa_sink_info* info, int eol, void* self)
    {
        auto* a = static_cast<Asker*>(self);
        if (eol) {
            --a->pending;
            return;
        }
        if (!info) return;
        a->out->sink = info->name ? info->name : "";
        a->out->monitor = info->monitor_source_name ? info->monitor_source_name : "";
        a->out->rate = info->sample_spec.rate;
        a->out->muted = info->mute != 0;
        a->out->volumePercent = static_cast<int>(
            (static_cast<double>(pa_cvolume_avg(&info->volume)) * 100 + PA_VOLUME_NORM / 2) /
            PA_VOLUME_NORM);
    }
};

}  // namespace

OutputInfo askOutput(const std::string& sink)
{
    OutputInfo info;
    Asker a;
    a.out = &info;
    a.loop = pa_mainloop_new();
    if (!a.loop) return info;
    a.context = pa_context_new(pa_mainloop_get_api(a.loop), "pendrel-check");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool ready = false;
    if (a.context && pa_context_connect(a.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        while (std::chrono::steady_clock::now() < deadline) {
            const auto state = pa_context_get_state(a.context);
            if (state == PA_CONTEXT_READY) {
                ready = true;
                break;
            }
            if (!PA_CONTEXT_IS_GOOD(state)) break;
            if (!step(a.loop)) break;
        }
    }
    if (ready) {
        a.track(pa_context_get_server_info(a.context, &Asker::onServer, &a));
        a.track(pa_context_get_sink_input_info_list(a.context, &Asker::onInput, &a));
        if (a.settle(deadline)) {
            info.streamsListed = true;
            if (!sink.empty())
                a.track(
                    pa_context_get_sink_info_by_name(a.context, sink.c_str(), &Asker::onSink, &a));
            else if (a.pendrelSink != PA_INVALID_INDEX)
                a.track(pa_context_get_sink_info_by_index(a.context, a.pendrelSink, &Asker::onSink,
                                                          &a));
            else if (!a.defaultSink.empty())
                a.track(pa_context_get_sink_info_by_name(a.context, a.defaultSink.c_str(),
                                                         &Asker::onSink, &a));
            info.answered = a.settle(deadline);
        }
    }
    if (a.context) {
        pa_context_disconnect(a.context);
        pa_context_unref(a.context);
    }
    pa_mainloop_free(a.loop);
    return info;
}

}  // namespace check
