#pragma once
// The one continuous stream of samples a sound output plays, and the map from the wall clock to
// positions in it. No server here: an output feeds the map with what its server reports and
// pulls samples from the timeline as its server asks for them; tests do both by hand.
//
// Frame positions count from the stream's first frame and never go back. A sound scheduled at a
// position replaces the one before it exactly there; until then the one before plays on. Past
// its end, a sound's last periods play on (Pcm::holdFrames) until the next sound's frame: a
// sound placed late costs nothing while its own frame is still ahead. A sound with nothing to
// hold, a missing file's silence and clear() leave the timeline silent.
//
// A sound scheduled at a position already handed to the server cannot be on time. Late by at
// most a fifth of its length, it starts where writing is, whole: a pulse keeps its width, which
// a clock reads the bit from, and only its edge is late. Later than that it is dropped and the
// sound before it plays on: a whole pulse would run into the next second, and a cut one would
// read as another bit. A clock takes a missing second for a bad minute and waits for the next;
// a wrong bit in a field no parity covers would set it wrong. The next sound is on time again.

#include "platform/sound/sound_file.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace platform {

class SampleTimeline {
public:
    explicit SampleTimeline(unsigned channels) : m_channels(channels) {}

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
// for a second (a reconnection, a device change, a stream that ran dry) starts the estimate
// over; a shorter one (a device that stood still and caught up) is waited out.
class StreamClock {
public:
    explicit StreamClock(unsigned rate) : m_rate(rate) {}

    // Frame `frame` is heard at `wallNs` (CLOCK_REALTIME, nanoseconds).
    void observe(std::int64_t frame, std::int64_t wallNs);
    // Forgets everything (a new stream), and with `rate` given the stream's rate changes too.
    void reset(unsigned rate = 0);

    bool known() const;
    // The estimate is fit to place sounds by: reports that agree within 2 ms have come
    // in for a quarter of a second (a stream that has not begun to play yet reports the same
    // frame all along, and fails that).
    bool settled() const;
    // The frame heard at `wallNs`; meaningful only when known().
    std::int64_t frameAt(std::int64_t wallNs) const;
    unsigned rate() const;

private:
    bool settledLocked() const;

    unsigned m_rate;
    mutable std::mutex m_mutex;
    // frame = m_offset + wall seconds * rate, with m_offset in frames (fractional)
    double m_offset = 0;
    int m_reports = 0;
    std::optional<std::int64_t> m_disagreeingSinceNs;  // the first of the reports now disagreeing
    std::int64_t m_firstWallNs = 0;  // of the reports the estimate stands on
    std::int64_t m_lastWallNs = 0;
};

// Which frame of a stream the buffer of a graph cycle starts with, for a server that asks for
// a buffer every cycle (PipeWire). Each buffer is written for the graph tick it is asked at,
// so the frames keep to the graph's own time whatever happens to single cycles: a cycle the
// graph ran without the stream is stepped over (its frames were never heard), and a late
// buffer that the graph asks for again in the same cycle (PipeWire 1.x does that after a
// missed cycle, and drops the late one) gets the same frames again. Buffers that a resampler
// sizes add up to the ticks only within a few frames, so only a difference of more than 2 ms
// moves the count; a jump of seconds is another clock (a new driver), which the timing
// reports follow by themselves. Real-time safe: no locks, no allocation.
class GraphFollower {
public:
    explicit GraphFollower(unsigned streamRate) : m_rate(streamRate) {}

    // `written`: the frame the stream would go on with, counting what it handed out;
    // `ticks` at `graphRate` (0: not known): the graph's position this cycle.
    std::int64_t frameFor(std::int64_t written, std::uint64_t ticks, unsigned graphRate);

private:
    unsigned m_rate;
    std::uint64_t m_ticks = 0;  // of the last cycle
    std::int64_t m_frame = 0;   // its first frame
    unsigned m_graphRate = 0;   // then; 0: no cycle yet
};

}  // namespace platform
