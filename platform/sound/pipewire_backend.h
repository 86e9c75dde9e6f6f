#pragma once
// Sound output through PipeWire's own stream API. PipeWire's PulseAudio stand-in reports a
// latency that leaves out part of the graph's delay and swings by tens of milliseconds; the
// native stream is told, every graph cycle, exactly when the frame it writes next will be
// heard (pw_stream_get_time_n), so each pulse lands on its sample.
//
// A PipeWire stream is filled by its own process at every graph cycle, and a process that is
// held up (swapped out, stopped) misses cycles: a hole in the signal. So the stream lives in a
// small relay process of its own, pendrel-sound-relay beside the program's executable, and the
// program keeps a shared ring written 160 to 200 ms ahead of it: the relay plays on through any
// stall of the program shorter than that. The relay ends with the program.
//
// start() fails when the relay is missing, cannot be started or refuses the block (a relay of
// another build); the caller then plays through PulseAudio. Failures after that never reach
// the caller: with no PipeWire, or when it goes away, the relay reconnects by itself every half
// second, and a relay that dies is started again; the output's status tells.

#include "platform/sound/stream_backend.h"

#include <memory>

namespace platform {

std::unique_ptr<StreamBackend> makePipeWireBackend();

}  // namespace platform
