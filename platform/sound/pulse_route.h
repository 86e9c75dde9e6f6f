#pragma once
// The way out of the PC for our stream (SoundRoute), read through libpulse's introspection: the
// device our stream plays on, its volume and mute and those of our stream, what kind of device
// it is, and which other programs play on it. PulseAudio reports it for its own streams, and
// PipeWire's PulseAudio stand-in for every stream of the graph, the sound relay's included.
//
// Nothing here waits: each look is a chain of asynchronous requests on the context's main loop,
// answered in its callbacks, so it may run on the thread that also renders the stream.

#include "platform/sound/sound_output.h"

#include <pulse/pulseaudio.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace platform {

// What a server says of a device, as far as its kind goes: a few of its properties (device.api,
// device.bus, device.form_factor, device.profile.name, the node or sink name) and its active
// port's name and libpulse type (PA_DEVICE_PORT_TYPE_*; 0 when the server gives none).
struct DeviceFacts {
    std::map<std::string, std::string> properties;
    std::string sinkName;
    std::string portName;
    int portType = 0;
};
SoundRoute::Kind deviceKind(const DeviceFacts& facts);
SoundRoute::Port portKind(const DeviceFacts& facts);

// Follows the route on a context its owner keeps. Every call with the main loop's lock held or
// from its callbacks. The owner subscribes the context to kEvents and hands each event to
// serverEvent(); each change of the route goes to `report`, on the main loop's thread.
class PulseRouteWatch {
public:
    static constexpr pa_subscription_mask_t kEvents = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SINK_INPUT);
    using IsOurs = std::function<bool(const pa_sink_input_info&)>;
    using Report = std::function<void(const SoundRoute&)>;

    PulseRouteWatch(IsOurs isOurs, Report report);

    // The context is ready (look() starts the first look) or gone (every look in flight is
    // forgotten; the route is reported unknown).
    void attach(pa_context* context);
    void detach();
    void serverEvent(pa_subscription_event_type_t type, std::uint32_t index);
    // Looks again now: our stream started, moved or ended. A look asked for while one is under
    // way follows it.
    void look();

private:
    static void onInput(pa_context*, const pa_sink_input_info* info, int eol, void* self);
    static void onSink(pa_context*, const pa_sink_info* info, int eol, void* self);
    void finish();
    void publish(const SoundRoute& route);

    IsOurs m_isOurs;
    Report m_report;
    pa_context* m_context = nullptr;
    bool m_busy = false;                      // a look is under way
    bool m_again = false;                     // something changed meanwhile
    std::uint32_t m_sink = PA_INVALID_INDEX;  // the device our stream played on at the last look
    SoundRoute m_next;                        // the look under way
    std::multimap<std::uint32_t, std::string> m_playing;  // other streams playing, by device
    SoundRoute m_last;
    bool m_reported = false;
};

// The route of the sound relay's stream under PipeWire, read from PipeWire's PulseAudio
// stand-in on a main loop of its own; our stream is the one the relay's process plays. Without
// the stand-in the route stays unknown (tried again every few seconds).
class PulseRouteMonitor {
public:
    explicit PulseRouteMonitor(PulseRouteWatch::Report report);
    ~PulseRouteMonitor();
    PulseRouteMonitor(const PulseRouteMonitor&) = delete;
    PulseRouteMonitor& operator=(const PulseRouteMonitor&) = delete;

    // The relay's process id, whenever it is started again; -1 when there is none.
    void setPlayer(int pid);

private:
    struct Loop;
    std::unique_ptr<Loop> m_loop;
};

}  // namespace platform
