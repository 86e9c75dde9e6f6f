#pragma once
// Sound output through PipeWire's own stream API. PipeWire's PulseAudio stand-in reports a
// latency that leaves out part of the graph's delay and swings by tens of milliseconds; the
// native stream is told, every graph cycle, exactly when the frame it writes next will be
// heard (pw_stream_get_time_n), so each pulse lands on its sample.
//
// A PipeWire stream is filled by its own process at every graph cycle, and a process that is
// held up (swapped out, stopped) misses cycles: a hole in the signal. So the stream lives in a
// small relay process of its own, this program started again with one argument, and the program
// keeps a shared ring written 160 to 200 ms ahead of it: the relay plays on through any stall of
// the program shorter than that. The relay ends with the program.
//
// Failures never reach the caller: with no PipeWire, or when it goes away, the relay
// reconnects by itself every half second; status() tells.

#include "platform/timeline_sound.h"

#include <memory>
#include <string>

namespace platform {

class PipeWireSound final : public TimelineSound {
public:
    struct Options {
        Format format;
    };

    PipeWireSound();
    explicit PipeWireSound(Options options);
    ~PipeWireSound() override;
    PipeWireSound(const PipeWireSound&) = delete;
    PipeWireSound& operator=(const PipeWireSound&) = delete;

    void setTransmitting(bool on) override;
    // False when the relay could not be started; nothing plays then.
    bool started() const { return m_started; }

    struct Impl;

protected:
    void rateChanged(unsigned rate) override;

private:
    std::unique_ptr<Impl> m_impl;
    bool m_started = false;
};

// Every program that plays through PipeWireSound calls this first thing in main(): when the
// process was started as a sound relay it runs the relay and never returns; otherwise it
// returns false at once.
bool runSoundRelayIfAsked(int argc, char** argv);

// The sound output for this session: PipeWire's own stream API where PipeWire runs the sound
// (PipeWire's PulseAudio stand-in answers on the PulseAudio socket, or nothing does there and a
// PipeWire socket exists), otherwise PulseAudio. Decided once, within a fraction of a second.
std::unique_ptr<TimelineSound> openSystemSound();

}  // namespace platform
