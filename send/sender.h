#pragma once
// The live loop of pendrel-send: one play a second, handed to the sound output just after each
// second boundary of a clock that runs the output's lead ahead of the PC clock, so that every
// second is heard on the PC clock's own boundary. Between boundaries it sleeps; the clock, the
// sleep and the output come in from the caller, so tests drive it with a fake clock.

#include "platform/sound/sound_output.h"
#include "runtime/clock.h"
#include "send/plan.h"

#include <chrono>
#include <optional>

namespace send {

// The loop's sleep. False when the run is to stop now (Ctrl-C, SIGTERM); it then returns early.
class Waiter {
public:
    virtual ~Waiter() = default;
    virtual bool waitFor(std::chrono::microseconds d) = 0;
};

// What the loop tells its caller, on the loop's thread.
class SendEvents {
public:
    virtual ~SendEvents() = default;
    // Before any second of `minute` is played: make the output able to play every second of it
    // under soundName(). Called half a minute ahead, and for the first minute before it starts.
    virtual void prepare(const timecode::StationMinute& minute) = 0;
    // Second 0 of a minute has been handed to the output.
    virtual void minuteStarts(const PlannedMinute& planned, const timecode::StationMinute& sent) = 0;
    // A second has been handed to the output; `left` is the time to the end, if there is one.
    virtual void secondSent(int second, std::optional<std::chrono::seconds> left) = 0;
    // Once a second while sending: the output's state and the clock's reading.
    virtual void status(const platform::SoundStatus& status, runtime::LocalTime now) = 0;
};

enum class RunEnd { Finished, Stopped };

// The sound played on the end boundary, so that the carrier stops there: the caller makes it,
// silence kSilenceLength long (or longer), before the run.
inline constexpr const char* kSilence = "silence";
inline constexpr std::chrono::milliseconds kSilenceLength{100};

// Sends from the first minute boundary of `clock` until `end` (both read on `clock`, which runs
// `sound.lead()` ahead of the PC clock) or until `waiter` says stop. A stall or a step of the
// PC clock goes on at the second the clock shows then. At `end` it plays kSilence; Finished
// returns once that has been heard. Either way the output is switched off
// (setTransmitting(false)) on return.
RunEnd sendLive(const TimePlan& plan, std::optional<runtime::LocalTime> end,
                const runtime::Clock& clock, Waiter& waiter, platform::SoundOutput& sound,
                SendEvents& events);

}  // namespace send
