#pragma once
// Sound output through a PulseAudio server: one playback stream, opened when the object is
// made and kept for its whole life, with a short (about 20 ms) buffer. Between sounds the
// stream plays silence, so starting a sound never waits for a stream to open.
//
// play() returns within a few microseconds on the caller's thread: it stats the file and hands
// the decoded sound to the stream. A file not yet decoded (or changed on disk since) is decoded
// on a worker thread and then started as if it had started on time (its first moments are
// skipped), so preload() the files before the first play for exact timing.
//
// Timing: a sound played at moment t is heard from t + latency() on. latency() is the output
// delay the server reports plus a small margin, rounded and held steady; each play pads the
// stream with silence so that the delay is exactly latency(), whatever the fill of the buffer
// at that moment. A caller that must be heard on the clock's boundaries reads its clock ahead
// by latency() (runtime::SystemClock::setLead).
//
// Failures never reach the caller: with no server, or when the server goes away, the sound is
// dropped and the object reconnects by itself (every half second) until a server answers; a
// missing or unreadable file plays nothing and stops the sound that was playing.

#include "platform/sound_file.h"
#include "platform/sound_output.h"

#include <chrono>
#include <memory>
#include <string>

namespace platform {

class PulseSound final : public SoundOutput {
public:
    struct Options {
        std::string appName = "Pendrel";
        std::string server;  // empty: PULSE_SERVER or the user's own server
        unsigned rate = 48000;
        unsigned channels = 2;
        std::chrono::microseconds bufferLength{20000};
    };

    PulseSound();
    explicit PulseSound(Options options);
    ~PulseSound() override;
    PulseSound(const PulseSound&) = delete;
    PulseSound& operator=(const PulseSound&) = delete;

    // Starts the file from its beginning, replacing whatever plays.
    void play(const std::string& path, std::chrono::microseconds late) override;
    // Decodes the file on the worker thread so that a later play() starts it at once.
    void preload(const std::string& path) override;
    // Silence from now on.
    void stop();

    // The delay from play() to the first sample being heard; changes only when the server's
    // own latency grows past it or after a reconnection. Before the first connection it is the
    // buffer length.
    std::chrono::microseconds latency() const;
    bool isConnected() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace platform
