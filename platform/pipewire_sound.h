#pragma once
// Sound output through PipeWire's own stream API. PipeWire's PulseAudio stand-in reports a
// latency that leaves out part of the graph's delay and swings by tens of milliseconds; the
// native stream is told, every graph cycle, exactly when the frame it writes next will be
// heard (pw_stream_get_time_n), so each pulse lands on its sample.
//
// The stream is filled a graph cycle at a time from a real-time thread of its own, which keeps
// playing while the window thread is busy. Failures never reach the caller: with no PipeWire,
// or when it goes away, the object reconnects by itself every half second; status() tells.

#include "platform/timeline_sound.h"

#include <memory>
#include <string>

namespace platform {

class PipeWireSound final : public TimelineSound {
public:
    struct Options {
        std::string appName = "Pendrel";
        Format format;
    };

    PipeWireSound();
    explicit PipeWireSound(Options options);
    ~PipeWireSound() override;
    PipeWireSound(const PipeWireSound&) = delete;
    PipeWireSound& operator=(const PipeWireSound&) = delete;

    void setTransmitting(bool on) override;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// The sound output for this session: PipeWire's own stream API where PipeWire runs the sound
// (PipeWire's PulseAudio stand-in answers on the PulseAudio socket, or nothing does there and a
// PipeWire socket exists), otherwise PulseAudio. Decided once, within a fraction of a second.
std::unique_ptr<TimelineSound> openSystemSound();

}  // namespace platform
