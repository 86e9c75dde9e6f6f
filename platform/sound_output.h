#pragma once
// Asynchronous playback of a sound file by name: the call returns at once and the sound plays on.
// A new play replaces the one that is playing. Failures (no sound server, a missing or unreadable
// file) are never reported to the caller and never delay it.

#include <string>

namespace platform {

class SoundOutput {
public:
    virtual ~SoundOutput() = default;
    virtual void play(const std::string& path) = 0;
};

}  // namespace platform
