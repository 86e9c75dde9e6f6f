#pragma once
// The one continuous stream of samples a sound output plays, and the map from the wall clock to
// positions in it. No server here: an output feeds the map with what its server reports and
// pulls samples from the timeline as its server asks for them; tests do both by hand.
//
// Frame positions count from the stream's first frame and never go back. A sound scheduled at a
// position replaces the one before it exactly there; until then the one before plays on. A
// sound scheduled at a position already handed to the server starts where writing is, with its
// first frames left out, so that what follows stays on time. Past the end of the last sound
// the timeline is silent.

#include "platform/sound_file.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace platform {

class SoundTimeline {
public:
    explicit SoundTimeline(unsigned channels) : m_channels(channels) {}

    // Any thread. `pcm` null: silence from `start` on.
    void schedule(std::int64_t start, std::shared_ptr<const Pcm> pcm);
    // Silence from the next frame written on, and nothing left scheduled.
    void clear();
    // Nothing scheduled, and the next frame written is frame 0 of a new stream.
    void restart();

    // The output's thread: writes the next `frames` frames (interleaved floats) and moves on.
    void render(float* out, std::size_t frames);
    // Moves on by `frames` without writing them (frames the server dropped or never asked for).
    void skip(std::size_t frames);

    // The next frame render() writes.
    std::int64_t written() const;
    unsigned channels() const { return m_channels; }

private:
    struct Item {
        std::shared_ptr<const Pcm> pcm;
    };
    // The sound that plays at `position`, dropping the ones it has replaced. Lock held.
    const Item* itemAt(std::int64_t position, std::int64_t* start);

    const unsigned m_channels;
    mutable std::mutex m_mutex;
    std::int64_t m_written = 0;
    std::map<std::int64_t, Item> m_items;  // by start position
};

// Where in the stream a wall-clock instant falls, learnt from the server's reports of which
// frame it plays when. Reports jitter by a fraction of a millisecond and now and then by more;
// each position handed out must follow the device's own timeline, so the map keeps a slowly
// moving estimate and lets a report move it only a little. A large disagreement that persists
// (a reconnection, a device change, a stream that ran dry) starts the estimate over.
class StreamClock {
public:
    explicit StreamClock(unsigned rate) : m_rate(rate) {}

    // Frame `frame` is heard at `wallNs` (CLOCK_REALTIME, nanoseconds).
    void observe(std::int64_t frame, std::int64_t wallNs);
    // Forgets everything (a new stream), and with `rate` given the stream's rate changes too.
    void reset(unsigned rate = 0);

    bool known() const;
    // The frame heard at `wallNs`; meaningful only when known().
    std::int64_t frameAt(std::int64_t wallNs) const;
    unsigned rate() const;

private:
    unsigned m_rate;
    mutable std::mutex m_mutex;
    // frame = m_offset + wall seconds * rate, with m_offset in frames (fractional)
    double m_offset = 0;
    int m_reports = 0;
    int m_disagreements = 0;
    std::int64_t m_lastWallNs = 0;
};

}  // namespace platform
