#pragma once
// Where the buffers a PipeWire capture stream receives sit on the graph's clock. Each callback
// brings the frames in hand and the stream's time report: the driver's position (ticks) at the
// start of the current cycle and the delay between the device and the stream. The frames in
// hand end at that position less the delay, since a sink's monitor reaches a capture stream in
// the cycle after the sink rendered them. That only holds when the report moved on by just
// the frames in hand: a callback run late finds a report already a cycle on (and the one after
// it the same report again); their frames simply follow the ones before. Frames that never
// arrived show at the next steady callback as a position beyond the frames counted so far.

#include <cstdint>

namespace capture {

class GraphTimeline {
public:
    struct Step {
        long long lost =
            0;  // frames that never arrived, to keep as silence before the ones in hand
        bool place = false;  // the report says where the frames in hand were played
    };

    // One callback: the report's position and delay, and the frames in hand. A jump of maxGap
    // frames or more is not taken for a loss (a restarted graph).
    Step next(std::uint64_t ticks, std::int64_t delay, long long frames, long long maxGap)
    {
        Step step;
        const std::uint64_t first = ticks - static_cast<std::uint64_t>(delay + frames);
        if (!m_started) {
            m_started = true;
            m_next = first;
            step.place = true;
        } else {
            step.place = ticks - m_last == static_cast<std::uint64_t>(frames);
            if (step.place && first > m_next && first - m_next < static_cast<std::uint64_t>(maxGap))
                step.lost = static_cast<long long>(first - m_next);
            if (step.place) m_next = first;
        }
        m_next += static_cast<std::uint64_t>(frames);
        m_last = ticks;
        return step;
    }

private:
    bool m_started = false;
    std::uint64_t m_next = 0;  // position of the next frame expected
    std::uint64_t m_last = 0;  // position in the previous report
};

}  // namespace capture
