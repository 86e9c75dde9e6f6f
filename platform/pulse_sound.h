#pragma once
// Sound output through a PulseAudio server: one playback stream, open while transmitting and
// closed otherwise, so the device can rest. The server holds `buffer` of the stream at all
// times, so a program that stops for up to seven eighths of it (350 ms: a busy machine, a
// stalled disk) leaves no hole; every play is placed by the stream's own timing reports, so a
// larger buffer costs no accuracy.
//
// Failures never reach the caller: with no server, or when the server goes away, the object
// reconnects by itself (every half second) until a server answers; status() tells meanwhile.

#include "platform/timeline_sound.h"

#include <chrono>
#include <memory>
#include <string>

namespace platform {

class PulseSound final : public TimelineSound {
public:
    struct Options {
        std::string appName = "Pendrel";
        std::string server;  // empty: PULSE_SERVER or the user's own server
        Format format;
        std::chrono::microseconds buffer{400'000};
    };

    PulseSound();
    explicit PulseSound(Options options);
    ~PulseSound() override;
    PulseSound(const PulseSound&) = delete;
    PulseSound& operator=(const PulseSound&) = delete;

    void setTransmitting(bool on) override;

    struct Impl;

protected:
    void rateChanged(unsigned rate) override;

private:
    std::unique_ptr<Impl> m_impl;
};

// What answers on the user's PulseAudio socket: nullopt when nothing does, else the server's
// name ("pulseaudio", or "PulseAudio (on PipeWire 0.3.65)" for PipeWire's stand-in). Waits at
// most `timeout`.
struct PulseServerInfo {
    std::string name;
};
std::unique_ptr<PulseServerInfo> probePulseServer(const std::string& server,
                                                  std::chrono::milliseconds timeout);

}  // namespace platform
