#pragma once
// The choice of sound server for this session, and the question it is decided by.

#include "platform/sound/stream_output.h"

#include <chrono>
#include <memory>
#include <string>

namespace platform {

// What answers on the user's PulseAudio socket: null when nothing does within `timeout`, else
// the server's name ("pulseaudio", or "PulseAudio (on PipeWire 0.3.65)" for PipeWire's
// stand-in). `server` empty: PULSE_SERVER or the user's own server.
struct PulseServerInfo {
    std::string name;
};
std::unique_ptr<PulseServerInfo> probePulseServer(const std::string& server,
                                                  std::chrono::milliseconds timeout);

// The sound output for this session: PipeWire's own stream API where PipeWire runs the sound
// (PipeWire's PulseAudio stand-in answers on the PulseAudio socket, or nothing does there and a
// PipeWire socket exists) and its relay runs, otherwise PulseAudio (through PipeWire's stand-in
// where that is what answers). Decided once, within a fraction of a second.
std::unique_ptr<StreamOutput> openSystemSound();

}  // namespace platform
