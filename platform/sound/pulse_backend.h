#pragma once
// Sound output through a PulseAudio server: one playback stream, open while transmitting and
// closed otherwise, so the device can rest. The server holds `buffer` of the stream at all
// times, so a program that stops for up to seven eighths of it (350 ms: a busy machine, a
// stalled disk) leaves no hole; every play is placed by the stream's own timing reports, so a
// larger buffer costs no accuracy.
//
// Failures never reach the caller: with no server, or when the server goes away, the backend
// reconnects by itself (every half second) until a server answers; the output's status tells
// meanwhile.

#include "platform/sound/stream_backend.h"

#include <chrono>
#include <memory>
#include <string>

namespace platform {

struct PulseOptions {
    std::string appName = "Pendrel";
    std::string server;  // empty: PULSE_SERVER or the user's own server
    std::chrono::microseconds buffer{400'000};
};

std::unique_ptr<StreamBackend> makePulseBackend(PulseOptions options = {});

}  // namespace platform
