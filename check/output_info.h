#pragma once
// What the sound server says of the output Pendrel plays on, asked once through the PulseAudio
// protocol (PulseAudio itself, or PipeWire's pipewire-pulse): the sink Pendrel's stream (or
// its sound relay's) is connected to while it plays, else the default sink; its rate, its
// mute switch and its volume; where no such protocol answers, PipeWire's own graph (askGraph).
// Asks only; changes nothing.

#include <optional>
#include <string>

namespace check {

struct OutputInfo {
    bool answered = false;    // a server answered the questions
    bool onPipeWire = false;  // the server is PipeWire (its pipewire-pulse, or its own graph)
    std::string sink;         // the sink's name (PipeWire: its node name)
    std::string monitor;      // the sink's monitor source
    unsigned rate = 0;        // the rate the sink runs at
    std::optional<bool> muted;
    std::optional<int> volumePercent;  // the average of its channels
    bool pendrelPlaying = false;       // Pendrel's stream is on this server and not paused
    bool streamsListed = false;        // every stream was listed: pendrelPlaying false means so
};

// `sink`: the sink to ask about; empty for the one Pendrel plays on, else the default. Gives up
// after a few seconds.
OutputInfo askOutput(const std::string& sink);

// Where no PulseAudio protocol answers: PipeWire's own graph, for the sink Pendrel's stream is
// linked to (its name and, when the sink names one, its rate). Says nothing of mute or volume;
// with Pendrel not playing, the sink stays empty (the default one is recorded). Sets `answered`
// and `onPipeWire` when PipeWire answers.
void askGraph(OutputInfo& info);

}  // namespace check
