// A stand-in transmitter for checking the sound path without the window: the same clock (run
// ahead by the sound output's lead), the same frame and the same sound output as the program, on a
// plain 1 ms polling loop. It starts at the next minute and plays whole minutes.
//   pendrel-sound-driver [--advance DAYS HOURS MINUTES] [--no-lead] [--seconds N] [--watch] FOLDER
// --watch looks at the output's status once a second, as the window does, and prints on stdout
// each change of the way out ("route: ...") and whatever the window would tell ("tell: problem
// | update | close | back: TEXT", the text on one line).

#include "display/signal_watch.h"
#include "platform/sound/system_sound.h"
#include "runtime/clock.h"
#include "runtime/datetime.h"
#include "timecode/timecode.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

const char* kindName(platform::SoundRoute::Kind kind)
{
    switch (kind) {
    case platform::SoundRoute::Kind::BuiltIn:
        return "built-in";
    case platform::SoundRoute::Kind::Usb:
        return "usb";
    case platform::SoundRoute::Kind::Bluetooth:
        return "bluetooth";
    case platform::SoundRoute::Kind::Hdmi:
        return "hdmi";
    case platform::SoundRoute::Kind::Unknown:
        break;
    }
    return "unknown";
}

std::string oneLine(std::string text)
{
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at))
        text.replace(at, 1, " | ");
    return text;
}

// What the window would show of the status, printed as it changes.
class Watch {
public:
    void look(const platform::SoundStatus& status, runtime::LocalTime now)
    {
        const platform::SoundRoute& r = status.route;
        if (!m_printed || !(r == m_route)) {
            m_printed = true;
            m_route = r;
            std::string others;
            for (const auto& name : r.others) others += (others.empty() ? "" : ",") + name;
            std::printf(
                "route: known=%d kind=%s port=\"%s\" device=%d%s stream=%d%s others=\"%s\"\n",
                r.known ? 1 : 0, kindName(r.kind), r.portName.c_str(), r.deviceVolume,
                r.deviceMuted ? " (muted)" : "", r.streamVolume, r.streamMuted ? " (muted)" : "",
                others.c_str());
        }
        const display::SignalWatch::Look look = m_watch.look(status, true, now);
        using Tell = display::SignalWatch::Tell;
        const char* tell = look.tell == Tell::Problem      ? "problem"
                           : look.tell == Tell::ProblemNow ? "update"
                           : look.tell == Tell::Back       ? (look.text.empty() ? "close" : "back")
                                                           : nullptr;
        // The window sets an open notice's text every second; only a change is news.
        if (tell && !(look.tell == Tell::ProblemNow && look.text == m_told))
            std::printf("tell: %s: %s\n", tell, oneLine(look.text).c_str());
        if (look.tell != Tell::Nothing) m_told = look.text;
        std::fflush(stdout);
    }

private:
    display::SignalWatch m_watch;
    platform::SoundRoute m_route;
    bool m_printed = false;
    std::string m_told;
};

}  // namespace

int main(int argc, char** argv)
{
    std::int16_t advDate = 0, advHour = 0, advMin = 0;
    bool lead = true;
    bool watch = false;
    double seconds = 130;
    std::string folder;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--advance" && i + 3 < argc) {
            advDate = static_cast<std::int16_t>(std::stoi(argv[++i]));
            advHour = static_cast<std::int16_t>(std::stoi(argv[++i]));
            advMin = static_cast<std::int16_t>(std::stoi(argv[++i]));
        } else if (arg == "--no-lead") {
            lead = false;
        } else if (arg == "--watch") {
            watch = true;
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::stod(argv[++i]);
        } else {
            folder = arg;
        }
    }
    if (folder.empty()) {
        std::fprintf(stderr,
                     "usage: %s [--advance D H M] [--no-lead] [--seconds N] [--watch] FOLDER\n",
                     argv[0]);
        return 2;
    }
    const std::string files[3] = {folder + "/200ms.wav", folder + "/500ms.wav",
                                  folder + "/800ms.wav"};
    const auto output = platform::openSystemSound();
    platform::StreamOutput& sound = *output;
    for (const auto& f : files) sound.preload(f);
    sound.setTransmitting(true);

    runtime::SystemClock clock;
    if (lead) clock.setLead(sound.lead());
    timecode::Frame code{};
    bool started = false;
    int lastSec = -1;
    Watch watcher;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        const runtime::LocalTime reading = clock.now();
        const runtime::DateTime now = runtime::toDateTime(reading);
        if (now.second != lastSec) {
            lastSec = now.second;
            if (watch) watcher.look(sound.status(), reading);
            if (now.second == 0) {
                code = timecode::timecode(runtime::transmittedTime(now, advDate, advHour, advMin));
                started = true;
            }
            if (started)
                sound.play(
                    files[static_cast<std::size_t>(code[static_cast<std::size_t>(now.second)])],
                    reading - std::chrono::floor<std::chrono::seconds>(reading));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const platform::SoundStatus status = sound.status();
    std::fprintf(stderr,
                 "%s: lead %lld us, stream running %d, device \"%s\", stream %u Hz, output %u Hz, "
                 "tone %.0f Hz\n",
                 status.server.c_str(), static_cast<long long>(sound.lead().count()),
                 status.streamRunning ? 1 : 0, status.device.c_str(), status.streamRate,
                 status.outputRate, status.carrierHz);
    return 0;
}
