// The output Pendrel plays on, asked of PipeWire itself when no PulseAudio protocol answers
// (a PipeWire without pipewire-pulse): the graph's nodes and links, read once.

#include "check/output_info.h"
#include "platform/sound/pipewire_client.h"

#include <pipewire/pipewire.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

namespace check {

namespace {

struct Node {
    std::string name;
    std::string mediaClass;
    std::string application;
    unsigned rate = 0;  // audio.rate, when the node names one
};

struct Graph {
    pw_main_loop* loop = nullptr;
    int syncSeq = 0;
    std::map<std::uint32_t, Node> nodes;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links;  // output node, input node

    static std::string text(const spa_dict* props, const char* key)
    {
        const char* value = props ? spa_dict_lookup(props, key) : nullptr;
        return value ? value : "";
    }

    static void onGlobal(void* self, std::uint32_t id, std::uint32_t, const char* type,
                         std::uint32_t, const spa_dict* props)
    {
        auto* g = static_cast<Graph*>(self);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
            const std::string rate = text(props, "audio.rate");
            g->nodes[id] = {text(props, PW_KEY_NODE_NAME), text(props, PW_KEY_MEDIA_CLASS),
                            text(props, PW_KEY_APP_NAME),
                            static_cast<unsigned>(std::strtoul(rate.c_str(), nullptr, 10))};
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
            const std::string out = text(props, PW_KEY_LINK_OUTPUT_NODE);
            const std::string in = text(props, PW_KEY_LINK_INPUT_NODE);
            if (!out.empty() && !in.empty())
                g->links.emplace_back(
                    static_cast<std::uint32_t>(std::strtoul(out.c_str(), nullptr, 10)),
                    static_cast<std::uint32_t>(std::strtoul(in.c_str(), nullptr, 10)));
        }
    }

    static void onDone(void* self, std::uint32_t id, int seq)
    {
        auto* g = static_cast<Graph*>(self);
        if (id == PW_ID_CORE && seq == g->syncSeq) pw_main_loop_quit(g->loop);
    }
};

}  // namespace

void askGraph(OutputInfo& info)
{
    platform::PipeWireClient client;
    if (!client.ok()) return;
    pw_core* core = client.connect();
    if (!core) return;
    Graph g;
    g.loop = client.mainLoop();
    pw_registry* registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    if (!registry) return;
    static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = &Graph::onGlobal;
        return e;
    }();
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = &Graph::onDone;
        return e;
    }();
    spa_hook registryListener{}, coreListener{};
    pw_registry_add_listener(registry, &registryListener, &registryEvents, &g);
    pw_core_add_listener(core, &coreListener, &coreEvents, &g);
    g.syncSeq = pw_core_sync(core, PW_ID_CORE, 0);
    client.quitAfter(3);
    client.run();
    spa_hook_remove(&coreListener);
    spa_hook_remove(&registryListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));

    info.answered = true;
    info.onPipeWire = true;
    for (const auto& [id, node] : g.nodes) {
        const bool ours = node.mediaClass == "Stream/Output/Audio" &&
                          (node.application == "Pendrel" || node.name == "pendrel");
        if (!ours) continue;
        for (const auto& [out, in] : g.links) {
            const auto sink = g.nodes.find(in);
            if (out != id || sink == g.nodes.end() || sink->second.mediaClass != "Audio/Sink")
                continue;
            info.pendrelPlaying = true;
            info.sink = sink->second.name;
            info.rate = sink->second.rate;
        }
    }
}

}  // namespace check
