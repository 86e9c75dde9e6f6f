// Writes 200ms.wav, 500ms.wav and 800ms.wav into a folder; see kHelp.

#include "tools/pulse_tone.h"

#include <cstdio>
#include <optional>
#include <string>

namespace {

constexpr const char* kUsage = "usage: pendrel-make-sounds [--carrier 40|60] [--direct [--rate 96000|192000]] FOLDER\n";

constexpr const char* kHelp =
    "Writes the pulse sounds 200ms.wav, 500ms.wav and 800ms.wav into FOLDER, replacing those\n"
    "there. Quit Pendrel first and start it again afterwards.\n"
    "\n"
    "  --carrier 40|60   the transmitter the clock listens to: 40 kHz (Fukushima, the default)\n"
    "                    or 60 kHz (Kyushu)\n"
    "  --direct          send the carrier itself instead of a tone of a third of it; the sound\n"
    "                    output must run at the files' rate (96 or 192 kHz)\n"
    "  --rate RATE       the direct set's sample rate, 96000 or 192000; without it the lowest\n"
    "                    that carries the carrier (96000 for 40, 192000 for 60)\n"
    "  --help            this text\n"
    "\n"
    "The sets:\n"
    "  --carrier 40                          13,333 Hz tone, 48000 Hz files (the default)\n"
    "  --carrier 60                          20,000 Hz tone, 48000 Hz files\n"
    "  --carrier 40 --direct                 40,000 Hz tone, 96000 Hz files\n"
    "  --carrier 40 --direct --rate 192000   40,000 Hz tone, 192000 Hz files\n"
    "  --carrier 60 --direct                 60,000 Hz tone, 192000 Hz files\n"
    "The 13 and 20 kHz tones reach the clock only through the third harmonic that the sound\n"
    "card and amplifier add; the direct sets reach it at full strength. People do not hear a\n"
    "direct set, but dogs and cats may, and tweeters and some amplifiers do not take a loud\n"
    "ultrasonic tone well: start with the volume low.\n"
    "\n"
    "Exit status: 0 written, 1 a file could not be written, 2 wrong arguments.\n";

int refuse(const std::string& why)
{
    std::fprintf(stderr, "pendrel-make-sounds: %s\n%s", why.c_str(), kUsage);
    return 2;
}

// A whole decimal number, nothing before or after it.
std::optional<long> number(const std::string& text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stol(text);
}

}  // namespace

int main(int argc, char** argv)
{
    tools::PulseSet set;
    bool direct = false;
    std::optional<long> rate;
    std::string folder;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "--carrier" || arg == "--rate") {
            if (i + 1 >= argc) return refuse(arg + " needs a value");
            const std::string value = argv[++i];
            const auto n = number(value);
            if (!n) return refuse(arg + " takes a number, not \"" + value + "\"");
            if (arg == "--carrier")
                set.carrierKHz = static_cast<int>(*n);
            else
                rate = n;
        } else if (arg == "--direct") {
            direct = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return refuse("unknown option " + arg);
        } else if (arg.empty() || !folder.empty()) {
            return refuse("give exactly one folder");
        } else {
            folder = arg;
        }
    }
    if (rate && !direct)
        return refuse("--rate goes with --direct: the 13 and 20 kHz sets are always 48000 Hz");
    if (direct)
        set.directRate = rate ? static_cast<unsigned>(*rate) : set.carrierKHz == 60 ? 192000u : 96000u;
    if (const std::string why = tools::whyNotMade(set); !why.empty())
        return refuse(why);
    if (folder.empty())
        return refuse("no folder given");
    for (const int ms : {200, 500, 800}) {
        std::string error;
        if (!tools::writePulseFile(folder + "/" + std::to_string(ms) + "ms.wav", ms, set, &error)) {
            std::fprintf(stderr, "pendrel-make-sounds: %s\n", error.c_str());
            return 1;
        }
    }
    return 0;
}
