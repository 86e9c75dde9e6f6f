#pragma once
// The sound output the transmission plays its pulses through. Every call returns at once on the
// caller's thread; the sound plays on by itself and a new play replaces the sound before it at
// an exact sample position. Failures (no sound server, no device, a missing or unplayable file)
// never reach the caller as errors and never delay it: they show in status().

#include <chrono>
#include <string>
#include <vector>

namespace platform {

// One sound file as the output last found it.
struct SoundFileState {
    std::string path;
    bool playable = false;
    std::string reason;  // why not, in a few plain words; empty when playable
    bool operator==(const SoundFileState&) const = default;
};

// The way out of the PC for our stream, as the sound server reports it: the device the stream
// plays on, what could keep the signal from reaching a clock beside it, and what else plays
// there. Followed through the server's events while the stream plays.
struct SoundRoute {
    // What carries the sound out. Bluetooth and HDMI/DisplayPort links compress or filter the
    // sound and drop tones as high as the signal's; a built-in analog output or a USB sound
    // card carries them.
    enum class Kind { Unknown, BuiltIn, Usb, Bluetooth, Hdmi };
    // The device's active port, where it has one.
    enum class Port { Unknown, Speaker, Headphones, LineOut };

    bool known = false;      // our stream was found on a device; nothing below counts otherwise
    std::string device;      // its description, as the mixer shows it
    Kind kind = Kind::Unknown;
    Port port = Port::Unknown;
    std::string portName;    // the active port as the mixer names it; empty: none
    bool deviceMuted = false;
    int deviceVolume = -1;   // percent of full as the mixer shows it, the loudest channel; -1: not known
    bool streamMuted = false;
    int streamVolume = -1;   // our stream's own, the same way
    std::vector<std::string> others;  // the programs whose streams play on the same device now
    bool operator==(const SoundRoute&) const = default;
};

// Below this volume (percent) the signal is too weak for a clock a short way from the speaker.
inline constexpr int kLowVolumePercent = 50;

// Whether the output's sound gets out, as far as the output can tell.
struct SoundStatus {
    std::string server;           // the kind of server spoken to ("PipeWire", "PulseAudio")
    bool serverReachable = false; // a sound server answers
    bool streamRunning = false;   // our playback stream is connected and being played
    std::string device;           // description of the device the stream plays on; empty: none
    std::vector<SoundFileState> files;  // every file preloaded or played, first seen first
    unsigned streamRate = 0;      // frames a second our stream is played at; 0: not known
    unsigned outputRate = 0;      // frames a second the device is fed at; 0: not known
    double carrierHz = 0;         // the highest tone the playable files carry; 0: none
    SoundRoute route{};           // the way out; not known while nothing plays
    bool operator==(const SoundStatus&) const = default;
};

class SoundOutput {
public:
    virtual ~SoundOutput() = default;

    // Starts the file so that its first sample is heard at the moment the caller's clock passed
    // a second boundary `late` ago, plus lead(): the caller reads a clock that runs lead() ahead
    // of the wall clock, so a sound for the boundary it has just seen is heard on the wall
    // clock's boundary. A sound asked for too late to be heard whole starts with its first
    // moments left out, so that the rest is still on time.
    virtual void play(const std::string& path, std::chrono::microseconds late) = 0;

    // Decodes the file ahead of its first play. The default does nothing.
    virtual void preload(const std::string& /*path*/) {}

    // How far ahead of the wall clock the caller's clock must run. Fixed for the object's life,
    // so a clock that follows it never steps.
    virtual std::chrono::microseconds lead() const { return {}; }

    // While not transmitting the output may rest (its stream corked or closed, the device free
    // to suspend); switched on again, it is ready before the first pulse can be due. The default
    // does nothing.
    virtual void setTransmitting(bool /*on*/) {}

    // A snapshot, cheap enough to take every second.
    virtual SoundStatus status() const { return {}; }
};

}  // namespace platform
