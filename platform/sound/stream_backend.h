#pragma once
// One sound server as StreamOutput sees it: a playback stream opened at a rate while
// transmitting, closed otherwise. The backend owns its own threads; from them it tells the
// output what the server reports and asks it for samples, through StreamEvents.

#include "platform/sound/sound_output.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// What a backend tells its output. Called from the backend's threads (a server's real-time
// thread included), never while the output is being destroyed: the output destroys its backend
// first.
class StreamEvents {
public:
    // A new stream: its frame 0 is the next frame rendered, at `rate`, and its timing is not
    // known yet.
    virtual void streamOpened(unsigned rate) = 0;
    // The timing starts over (the stream closed, or the server began a new one); with `rate`
    // not 0 the stream now runs at that rate.
    virtual void timingLost(unsigned rate) = 0;
    // Frame `frame` is heard at `wallNs` (CLOCK_REALTIME, nanoseconds), as the server said.
    virtual void timing(std::int64_t frame, std::int64_t wallNs) = 0;
    // The next `frames` frames, interleaved floats at the stream's channels; real-time safe.
    virtual void render(float* out, std::size_t frames) = 0;
    // Frames the server played without asking for them: moves on past them.
    virtual void skip(std::size_t frames) = 0;
    // The next frame render() writes.
    virtual std::int64_t written() const = 0;
    // Transmission switched off: everything placed or waiting falls silent.
    virtual void silence() = 0;
    // What the server side knows: a server answers, our stream plays (on `device`).
    virtual void serverState(bool reachable, bool running, std::string device) = 0;
    // The rate the device is fed at; 0 when not known.
    virtual void outputRate(unsigned rate) = 0;
    // The way out of the PC for our stream, whenever it changes; unknown while nothing plays.
    virtual void outputRoute(SoundRoute route) = 0;

protected:
    ~StreamEvents() = default;
};

class StreamBackend {
public:
    virtual ~StreamBackend() = default;

    // The kind of server, as the status shows it ("PipeWire", "PulseAudio").
    virtual std::string serverName() const = 0;
    // Starts talking to the server at `rate` frames a second of `channels` channels; events go
    // to `events` until the backend is destroyed. False when the backend cannot run at all (its
    // helper did not start); a server that is merely away is retried by the backend itself.
    virtual bool start(StreamEvents& events, unsigned rate, unsigned channels) = 0;
    // Opens the stream (on) or closes it so the device can rest (off). Off silences the output
    // through StreamEvents::silence() before the stream closes.
    virtual void setTransmitting(bool on) = 0;
    // The files now want `rate`: the stream is reopened at it. Called on the decoding thread.
    virtual void setRate(unsigned rate) = 0;
};

// For the thread that renders the timeline for the server: it must not wait behind other
// programs' threads for a time slice. Real-time scheduling (or else a higher priority) needs
// rights the user may not have; without them the thread runs as it is.
void raiseThreadPriority();

// The wall clock as the outputs use it: CLOCK_REALTIME in nanoseconds.
std::int64_t wallNs();

}  // namespace platform
