#pragma once
// Recording what a sink plays, through its monitor, with the moment every stretch of the
// recording was heard by the wall clock: the capture the test recorders (pendrel-record,
// pendrel-record-pw) and pendrel-check share. The recording is kept in memory, mono (the left
// channel) in 32-bit float, and handed back when it ends.
//
// PulseAudio (recordPulse): each fragment is placed by the server's own timing reports (which
// frame it was capturing, and the monitored sink's delay, on the server's clock), asked for all
// along; libpulse's interpolation of them learns a rate from their arrival and swings by
// milliseconds on a busy machine. PipeWire (recordPipeWire): a native capture stream of the
// sink's monitor, placed on the graph's own clock (see graph_timeline.h).
// Frames the server could not deliver are kept as silence, so the timeline stays whole, and
// listed as lost, so that they are not taken for a hole in the signal.
//
// Both run their server's main loop on the calling thread until `seconds` have passed or
// SIGINT or SIGTERM arrives, and say what went wrong on stderr, after `name`.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace capture {

// One stretch of the recording placed on the wall clock: its first frame was heard at
// arrivalNs - latencyUs microseconds (CLOCK_REALTIME). latencyUs is negative when the stretch
// arrived before it was heard (a sink hands its monitor what it renders, ahead of playing it).
struct Fragment {
    std::int64_t arrivalNs = 0;
    long long first = 0;  // index of its first frame in the recording
    long long count = 0;  // frames
    long long latencyUs = 0;
};

// Frames the recording lost (kept as silence).
struct Lost {
    long long first = 0;
    long long count = 0;
};

struct Recording {
    unsigned rate = 48000;       // frames a second of the samples
    std::vector<float> samples;  // the left channel
    std::vector<Fragment> fragments;
    std::vector<Lost> lost;
    unsigned graphRate = 0;    // PipeWire: the rate the graph ran at (0: not known)
    long long unplaced = 0;    // PipeWire: buffers that came late, kept but placed by others
    bool interrupted = false;  // ended by SIGINT or SIGTERM before `seconds`

    long long lostFrames() const;
};

struct Options {
    // PulseAudio: the source to record (empty: the monitor of the default sink). PipeWire: the
    // node name of the sink whose monitor is recorded (empty: the default sink).
    std::string target;
    unsigned rate = 48000;  // 8000..192000; best the sink's own, so nothing is resampled
    double seconds = 0;     // how long to record; 0: until a signal
    bool verbose = false;   // PipeWire: the stream's time reports on stderr now and then
    std::string name = "pendrel-record";  // the program, for messages and the stream's name
};

// Whether the recording ran to its end (or was stopped by a signal) with something recorded.
// No server, or a stream that failed, gives false and a message on stderr; whatever was
// recorded before a failure is kept.
bool recordPulse(const Options& options, Recording& recording);
bool recordPipeWire(const Options& options, Recording& recording);

// The recorders' log: a line "SECONDS.NANOSECONDS FIRST COUNT LATENCY_US" for every fragment
// placed, then "hole FIRST COUNT" for every stretch lost.
void writeLog(std::FILE* out, const Recording& recording);

// The samples as a mono float WAV file; false when it cannot be written.
bool writeWav(const std::string& path, const Recording& recording);

}  // namespace capture
