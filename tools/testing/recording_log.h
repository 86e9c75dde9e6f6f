#pragma once
// The recorder's log (pendrel-record, pendrel-record-pw) read back: when each fragment of the
// recording was heard by the wall clock, and the line that maps a sample index to that clock.

#include "tools/testing/jjy_decode.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tools {

struct Fit {
    double a = 0;                 // wall-clock seconds of sample 0
    double b = 0;                 // seconds per sample
    double residualMedianMs = 0;  // |distance| of the logged points from the line
    double residualMaxMs = 0;
};

using Points = std::vector<std::pair<double, double>>;  // (index, seconds since firstSecond)

struct Timeline {
    Points points;
    bool withLatency = true;
    std::vector<Hole> unheard;  // stretches the recorder lost
};

// Each fragment's first frame was heard at its arrival time less the stream latency logged
// with it. A log without latencies (arrival times only) pairs each arrival with the index just
// past its fragment, since no frame can arrive before it was rendered. Times are seconds since
// `firstSecond`; "hole FIRST COUNT" lines are the stretches the recorder lost.
Timeline readTimeline(const std::string& logPath, double firstSecond);

// time = a + b * index through the points; nothing for fewer than ten. On a busy machine a few
// of the points are off by a scheduling delay, so the fit is repeated without the points far
// from the line; without latencies the line is laid along the earliest arrivals.
std::optional<Fit> fitLine(const Points& points, bool withLatency);

// The time of sample `index` by a line through the points within `halfWidth` samples of it,
// `global` where they are too few: the sink's rate wanders a little against the wall clock over
// minutes.
double localTime(const Timeline& timeline, const Fit& global, double index, double halfWidth);

// The value below which a share `p` (0..1) of `v` lies, by the nearest rank; 0 for none.
double percentile(std::vector<double> v, double p);

// Wall-clock seconds (UTC) as "YYYY-MM-DD hh:mm:ss.mmm".
std::string utcText(double seconds);

}  // namespace tools
