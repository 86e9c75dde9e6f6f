#pragma once
// pendrel-decode --station: the station decoder's report on a rendered file or on a recording
// with its recorder's log. Called from decode.cpp's main once the arguments are read.

#include "runtime/datetime.h"
#include "timecode/station.h"

#include <optional>
#include <string>
#include <vector>

namespace tools {

struct StationCheck {
    timecode::Station station = timecode::Station::Dcf77;
    std::optional<runtime::DateTime> expectFirst;  // rendered file: the first minute sent
    std::optional<long long> shift;                // recording: station time = UTC + shift
    int minMinutes = 1;
    bool edges = false;
    bool failOnHoles = false;
    bool failOnMissing = false;
    std::optional<double> maxEdgeMs;
    std::optional<double> maxWidthMs;  // a rendered file is held to 10 ms without it
};

// Prints the report and returns the exit status: 0 when the checks asked for pass, 1 when not.
// `logPath` empty: a rendered file, starting at a minute boundary at sample 0.
int checkStation(const StationCheck& check, const std::vector<float>& mono, unsigned rate,
                 const std::string& logPath);

}  // namespace tools
