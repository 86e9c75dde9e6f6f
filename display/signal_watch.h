#pragma once
// Whether the signal gets out, judged from the sound output's status: what keeps it from
// getting out or from reaching a clock (the way out of the PC: muted, turned down, a Bluetooth or
// HDMI device, another program's sound mixed in), the state for the transmitting indicator's
// tooltip, and when the user is to be told. The window looks once a second while transmitting (and as the tooltip is about
// to show) and does what the look says; the texts are UTF-8, ready to be shown.

#include "platform/sound/sound_output.h"
#include "runtime/clock.h"

#include <string>
#include <vector>

namespace display {

struct SignalProblem {
    std::string brief;   // for the tooltip: one line
    std::string detail;  // for the message: what is wrong and what to do
    // The signal leaves the PC, but the way it goes out may keep it from the clock; otherwise
    // no signal leaves at all.
    bool goesOut = false;
    // A setting the user made (a mute, a volume, the device chosen) is told at the first look
    // that sees it; anything that may pass by itself (a server restarting, a file being
    // replaced, another program's short sound) only once it has lasted two seconds.
    bool tellAtOnce = false;

    bool operator==(const SignalProblem&) const = default;
};

// What keeps the signal from getting out, the server first, then each unplayable file; then,
// while our stream plays, what on its way out keeps it from a clock: a mute, a volume below
// 50 %, a Bluetooth or HDMI/DisplayPort device, other programs playing on the same device, in
// that order. Empty when nothing does.
std::vector<SignalProblem> problemsOf(const platform::SoundStatus& status);

// The way out as the tooltip lists it, a line for each of: the kind of device and its port, the
// volumes and mutes, the other programs playing there. Empty while the route is not known.
std::string routeLines(const platform::SoundStatus& status);

// A trouble episode: a problem that lasts two seconds while transmitting (or, told at once, a
// setting the user made) is told once, and its
// end is told once. Within an episode the message follows what is wrong now; switching off ends
// an episode without a word. An episode in which the signal always went out (only the way out
// was wrong) ends by closing its message without a word. An output whose status is all empty (it
// reports nothing at all) is shown as unknown and changes nothing.
class SignalWatch {
public:
    enum class Tell {
        Nothing,
        Problem,        // open the trouble message with `text`
        ProblemNow,     // the trouble message, if still open, now reads `text`
        Back,           // close the trouble message if open; say the signal is back in
                        // `text`, unless it is empty
    };
    struct Look {
        std::string tooltip;
        Tell tell = Tell::Nothing;
        std::string text;

        bool operator==(const Look&) const = default;
    };

    // `now` is on the program's clock; `transmitting` is whether the switch is on.
    Look look(const platform::SoundStatus& status, bool transmitting, runtime::LocalTime now);

private:
    std::string m_problem;           // what is wrong now; empty when nothing is
    runtime::LocalTime m_since{};    // when the problem began
    bool m_inEpisode = false;        // the user has been told of the current problem
    bool m_toldNoSignal = false;     // ... and was told, in this episode, that no signal went out
};

}  // namespace display
