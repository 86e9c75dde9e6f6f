#include "platform/sound/pulse_route.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string property(const DeviceFacts& facts, const char* key)
{
    const auto found = facts.properties.find(key);
    return found == facts.properties.end() ? std::string() : lower(found->second);
}

bool mentions(const std::string& text, const char* word)
{
    return lower(text).find(word) != std::string::npos;
}

// The mixer's percentage: the loudest channel against full volume, as pavucontrol and pactl show
// it.
int percentOf(const pa_cvolume& volume)
{
    if (!pa_cvolume_valid(&volume)) return -1;
    return static_cast<int>(std::lround(100.0 * pa_cvolume_max(&volume) / PA_VOLUME_NORM));
}

std::string nameOf(const pa_proplist* props)
{
    for (const char* key : {PA_PROP_APPLICATION_NAME, PA_PROP_MEDIA_NAME})
        if (const char* name = pa_proplist_gets(props, key); name && *name) return name;
    return "?";
}

}  // namespace

SoundRoute::Kind deviceKind(const DeviceFacts& facts)
{
    const std::string api = property(facts, "device.api");
    const std::string bus = property(facts, "device.bus");
    const std::string profile = property(facts, "device.profile.name");
    if (api == "bluez5" || api == "bluez" || bus == "bluetooth" ||
        facts.sinkName.starts_with("bluez_") || facts.portType == PA_DEVICE_PORT_TYPE_BLUETOOTH ||
        facts.portType == PA_DEVICE_PORT_TYPE_HANDSFREE)
        return SoundRoute::Kind::Bluetooth;
    // A sound card's HDMI and DisplayPort outputs are profiles and ports of the card (on the PCI
    // bus like its analog ones), named "hdmi" by the ALSA profiles for both.
    if (bus == "hdmi" || bus == "displayport" || facts.portType == PA_DEVICE_PORT_TYPE_HDMI ||
        mentions(profile, "hdmi") || mentions(facts.portName, "hdmi") ||
        mentions(facts.sinkName, "hdmi") || mentions(profile, "displayport") ||
        mentions(facts.portName, "displayport"))
        return SoundRoute::Kind::Hdmi;
    if (bus == "usb" || facts.portType == PA_DEVICE_PORT_TYPE_USB) return SoundRoute::Kind::Usb;
    if (bus == "pci" || bus == "platform" || bus == "isa" ||
        property(facts, "device.form_factor") == "internal" || profile.starts_with("analog") ||
        lower(facts.portName).starts_with("analog"))
        return SoundRoute::Kind::BuiltIn;
    return SoundRoute::Kind::Unknown;
}

SoundRoute::Port portKind(const DeviceFacts& facts)
{
    switch (facts.portType) {
    case PA_DEVICE_PORT_TYPE_SPEAKER:
        return SoundRoute::Port::Speaker;
    case PA_DEVICE_PORT_TYPE_HEADPHONES:
    case PA_DEVICE_PORT_TYPE_HEADSET:
        return SoundRoute::Port::Headphones;
    case PA_DEVICE_PORT_TYPE_LINE:
        return SoundRoute::Port::LineOut;
    default:
        break;
    }
    // Older servers give no type: the ALSA port names say it ("analog-output-speaker",
    // "[Out] Headphones", "analog-output-lineout").
    const std::string name = lower(facts.portName);
    if (name.find("speaker") != std::string::npos) return SoundRoute::Port::Speaker;
    if (name.find("headphone") != std::string::npos) return SoundRoute::Port::Headphones;
    if (name.find("lineout") != std::string::npos || name.find("line-out") != std::string::npos ||
        name.find("line out") != std::string::npos)
        return SoundRoute::Port::LineOut;
    return SoundRoute::Port::Unknown;
}

PulseRouteWatch::PulseRouteWatch(IsOurs isOurs, Report report)
    : m_isOurs(std::move(isOurs)), m_report(std::move(report))
{
}

void PulseRouteWatch::attach(pa_context* context)
{
    m_context = context;
    m_busy = m_again = false;
}

void PulseRouteWatch::detach()
{
    // Requests in flight die with the context, unanswered.
    m_context = nullptr;
    m_busy = m_again = false;
    m_sink = PA_INVALID_INDEX;
    publish({});
}

void PulseRouteWatch::serverEvent(pa_subscription_event_type_t type, std::uint32_t index)
{
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    // Any stream may start, stop, move or change its volume; of the devices only ours counts.
    if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT ||
        (facility == PA_SUBSCRIPTION_EVENT_SINK && index == m_sink))
        look();
}

void PulseRouteWatch::look()
{
    if (!m_context || pa_context_get_state(m_context) != PA_CONTEXT_READY) return;
    if (m_busy) {
        m_again = true;
        return;
    }
    m_next = {};
    m_playing.clear();
    pa_operation* op =
        pa_context_get_sink_input_info_list(m_context, &PulseRouteWatch::onInput, this);
    if (!op) return;
    pa_operation_unref(op);
    m_busy = true;
}

void PulseRouteWatch::onInput(pa_context* c, const pa_sink_input_info* info, int eol, void* self)
{
    auto* w = static_cast<PulseRouteWatch*>(self);
    if (!eol && info) {
        if (w->m_isOurs(*info)) {
            w->m_next.known = true;
            w->m_next.streamMuted = info->mute != 0;
            w->m_next.streamVolume = info->has_volume ? percentOf(info->volume) : -1;
            w->m_sink = info->sink;
        } else if (!info->corked) {
            w->m_playing.emplace(info->sink, nameOf(info->proplist));
        }
        return;
    }
    if (!w->m_next.known) {
        w->m_sink = PA_INVALID_INDEX;
        w->publish({});
        return w->finish();
    }
    pa_operation* op = pa_context_get_sink_info_by_index(c, w->m_sink, &PulseRouteWatch::onSink, w);
    if (!op) return w->finish();
    pa_operation_unref(op);
}

void PulseRouteWatch::onSink(pa_context*, const pa_sink_info* info, int eol, void* self)
{
    auto* w = static_cast<PulseRouteWatch*>(self);
    if (!eol && info) {
        SoundRoute& r = w->m_next;
        r.device = info->description ? info->description : "";
        r.deviceMuted = info->mute != 0;
        r.deviceVolume = percentOf(info->volume);
        DeviceFacts facts;
        facts.sinkName = info->name ? info->name : "";
        for (const char* key :
             {"device.api", "device.bus", "device.form_factor", "device.profile.name"})
            if (const char* value = pa_proplist_gets(info->proplist, key))
                facts.properties[key] = value;
        if (const pa_sink_port_info* port = info->active_port) {
            facts.portName = port->name ? port->name : "";
            facts.portType = static_cast<int>(port->type);
            r.portName =
                port->description && *port->description ? port->description : facts.portName;
        }
        r.kind = deviceKind(facts);
        r.port = portKind(facts);
        return;
    }
    SoundRoute& r = w->m_next;
    const auto [from, to] = w->m_playing.equal_range(w->m_sink);
    for (auto it = from; it != to; ++it)
        if (std::find(r.others.begin(), r.others.end(), it->second) == r.others.end())
            r.others.push_back(it->second);
    std::sort(r.others.begin(), r.others.end());
    w->publish(r);
    w->finish();
}

void PulseRouteWatch::finish()
{
    m_busy = false;
    if (m_again) {
        m_again = false;
        look();
    }
}

void PulseRouteWatch::publish(const SoundRoute& route)
{
    if (m_reported && route == m_last) return;
    m_last = route;
    m_reported = true;
    m_report(route);
}

// --- The monitor of PipeWire's stand-in --------------------------------------------------------

namespace {

constexpr pa_usec_t kMonitorRetryUs = 5'000'000;

}  // namespace

struct PulseRouteMonitor::Loop {
    explicit Loop(PulseRouteWatch::Report report)
        : watch([this](const pa_sink_input_info& info) { return isOurs(info); }, std::move(report))
    {
    }

    pa_threaded_mainloop* loop = nullptr;
    pa_mainloop_api* api = nullptr;
    pa_context* context = nullptr;
    pa_time_event* retry = nullptr;
    bool stopping = false;
    std::atomic<int> player{-1};
    PulseRouteWatch watch;

    bool isOurs(const pa_sink_input_info& info) const
    {
        const char* pid = pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_ID);
        const int wanted = player.load();
        return pid && wanted > 0 && std::atoi(pid) == wanted;
    }

    void connect()
    {
        context = pa_context_new(api, "Pendrel output watch");
        if (!context) return scheduleRetry();
        pa_context_set_state_callback(context, &Loop::onState, this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            scheduleRetry();
    }

    void disconnect()
    {
        watch.detach();
        if (!context) return;
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }

    void scheduleRetry()
    {
        if (retry || stopping) return;
        timeval tv;
        pa_timeval_add(pa_gettimeofday(&tv), kMonitorRetryUs);
        retry = api->time_new(api, &tv, &Loop::onRetry, this);
    }

    static void onRetry(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* self)
    {
        auto* l = static_cast<Loop*>(self);
        api->time_free(e);
        l->retry = nullptr;
        if (l->stopping) return;
        l->disconnect();
        l->connect();
    }

    static void onState(pa_context* c, void* self)
    {
        auto* l = static_cast<Loop*>(self);
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY:
            pa_context_set_subscribe_callback(c, &Loop::onEvent, l);
            if (pa_operation* op =
                    pa_context_subscribe(c, PulseRouteWatch::kEvents, nullptr, nullptr))
                pa_operation_unref(op);
            l->watch.attach(c);
            l->watch.look();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            l->watch.detach();
            l->scheduleRetry();
            break;
        default:
            break;
        }
    }

    static void onEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                        void* self)
    {
        static_cast<Loop*>(self)->watch.serverEvent(type, index);
    }
};

PulseRouteMonitor::PulseRouteMonitor(PulseRouteWatch::Report report)
    : m_loop(std::make_unique<Loop>(std::move(report)))
{
    m_loop->loop = pa_threaded_mainloop_new();
    if (!m_loop->loop) return;  // out of memory: the route stays unknown
    m_loop->api = pa_threaded_mainloop_get_api(m_loop->loop);
    pa_threaded_mainloop_lock(m_loop->loop);
    m_loop->connect();
    pa_threaded_mainloop_unlock(m_loop->loop);
    pa_threaded_mainloop_start(m_loop->loop);
}

PulseRouteMonitor::~PulseRouteMonitor()
{
    if (!m_loop->loop) return;
    pa_threaded_mainloop_lock(m_loop->loop);
    m_loop->stopping = true;
    if (m_loop->retry) {
        m_loop->api->time_free(m_loop->retry);
        m_loop->retry = nullptr;
    }
    m_loop->disconnect();
    pa_threaded_mainloop_unlock(m_loop->loop);
    pa_threaded_mainloop_stop(m_loop->loop);
    pa_threaded_mainloop_free(m_loop->loop);
}

// No lock: the relay's stream shows up as a new stream a moment after the relay starts, and
// that event brings the next look.
void PulseRouteMonitor::setPlayer(int pid)
{
    m_loop->player.store(pid);
}

}  // namespace platform
