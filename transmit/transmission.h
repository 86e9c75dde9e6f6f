#pragma once
// The transmission state of the window and its two procedures: the minute-start wait
// (`startminute`) and the second ticker (`timer1Tick`, run on every tick of `Timer1`).
//
// Everything runs on the window's event thread. The wait hands control to the event loop
// between its 1 ms polls (Host::sleepAndProcessEvents), so any other handler of the window may
// run nested inside it: the transmit switch, the advance buttons, further waits, further ticks
// and closing. Both procedures tolerate that:
//  - a nested tick within the same second does nothing; a nested tick at second 00 before the
//    new frame is built plays position 0 of the old frame, the marker like in every frame;
//  - setting stopFlag to -1 ends every running wait at its next poll, without a frame built and
//    without touching the timers or the indicator;
//  - a wait that finds a nested wait has already started the minute (built the frame and
//    switched the ticker on) ends as well instead of waiting for another minute start;
//  - destroying the Transmission inside a nested handler is safe: a wait that finds its object
//    gone returns at once without touching it, the host or the sound output again.

#include "platform/sound/sound_output.h"
#include "runtime/clock.h"
#include "timecode/timecode.h"
#include "transmit/host.h"

#include <cstdint>
#include <memory>
#include <string>

namespace transmit {

// The shift of the transmitted time in days, hours and minutes. Owned by the window, which
// changes it by the advance buttons; the wait reads it at the moment a minute starts.
struct Advances {
    std::int16_t advDate = 0;
    std::int16_t advHour = 0;
    std::int16_t advMin = 0;
    bool operator==(const Advances&) const = default;
};

class Transmission {
public:
    // `programFolder` is the folder holding the three pulse sound files, without a trailing
    // separator. All references must outlive the Transmission.
    Transmission(const runtime::Clock& clock, Host& host, platform::SoundOutput& sound,
                 std::string programFolder, const Advances& advances);
    ~Transmission();
    Transmission(const Transmission&) = delete;
    Transmission& operator=(const Transmission&) = delete;

    // Switches the flashing indicator on and polls the clock until second 00 of a minute passes
    // the start gate; then builds `code` for the transmitted time of that minute, switches
    // timTokei off and Timer1 on. Afterwards, unless a stop was requested, stops the flashing
    // and shows the indicator red. Returns at once when stopFlag is -1 at a poll.
    void startminute();

    // One tick of Timer1. On a new second of the clock: plays that second's pulse of `code`
    // through the sound output, has the displays refreshed as it is heard, and at second 59 runs startminute for
    // the next minute. Throws std::out_of_range (before `code` is read) if the seconds text
    // gives an index outside 0..59, which a real clock never does.
    void timer1Tick();

    // 0 = transmission wanted, -1 = stop requested. Written only by the transmit switch.
    std::int16_t stopFlag() const { return m_stopFlag; }
    void setStopFlag(std::int16_t value) { m_stopFlag = value; }

    // The pulse kinds of the current minute, index = second. All markers until the first
    // minute start.
    const timecode::Frame& code() const { return m_code; }
    // Two-character seconds text of the last second the ticker handled; empty at first.
    const std::string& lastSec() const { return m_lastSec; }

    // Full path of the sound file for a pulse kind.
    std::string pulseFile(timecode::PulseKind kind) const;

private:
    const runtime::Clock& m_clock;
    Host& m_host;
    platform::SoundOutput& m_sound;
    std::string m_programFolder;
    const Advances& m_advances;

    timecode::Frame m_code{};
    std::string m_lastSec;
    std::int16_t m_stopFlag = 0;

    // Counts the minutes started; lets a wait see that a nested one has done its work.
    std::uint64_t m_minutesStarted = 0;
    // Cleared by the destructor; a wait keeps its own reference to notice that its object went
    // away while the window processed events.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

}  // namespace transmit
