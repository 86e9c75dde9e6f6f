// Writes 200ms.wav, 500ms.wav and 800ms.wav into a folder, or with --station the set of
// second sounds of a long-wave station; see kHelp.

#include "timecode/station_names.h"
#include "tools/pulse_tone.h"
#include "tools/station_tone.h"

#include <cstdio>
#include <optional>
#include <string>

namespace {

constexpr const char* kUsage =
    "usage: pendrel-make-sounds [--carrier 40|60] [--direct [--rate 96000|192000]] FOLDER\n"
    "       pendrel-make-sounds --station jjy40|jjy60|dcf77|msf|wwvb|bpc [--direct [--rate R]] "
    "FOLDER\n";

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
    "With --station NAME, the station's seconds instead, one file each, one second long, the\n"
    "carrier full and reduced as the station sends it (reduced to 10 % for JJY and BPC, 15 %\n"
    "for DCF77, 14 % for WWVB, off for MSF):\n"
    "  jjy40, jjy60  jjy40-marker.wav (0.2 s full), jjy40-1.wav (0.5 s), jjy40-0.wav (0.8 s)\n"
    "  dcf77         dcf77-0.wav (reduced 0.1 s), dcf77-1.wav (0.2 s), dcf77-59.wav (none)\n"
    "  msf           msf-minute.wav (off 0.5 s), msf-00.wav, msf-10.wav, msf-01.wav and\n"
    "                msf-11.wav (bits A and B: off 0.1 s, 0.2 s, 0.1 + 0.1 s after 0.1 s, 0.3 s)\n"
    "  wwvb          wwvb-0.wav (reduced 0.2 s), wwvb-1.wav (0.5 s), wwvb-marker.wav (0.8 s)\n"
    "  bpc           bpc-0.wav .. bpc-3.wav (reduced 0.1 .. 0.4 s), bpc-frame.wav (none)\n"
    "At 48000 Hz the tone is a fraction of the carrier: 13,333 Hz for JJY 40, 20,000 Hz for\n"
    "JJY 60, MSF and WWVB (a third), 15,500 Hz for DCF77 and 13,700 Hz for BPC (a fifth). With\n"
    "--direct the tone is the carrier itself, at 96000 Hz (JJY 40 only) or 192000 Hz, the\n"
    "lowest that carries it unless --rate says otherwise.\n"
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
    std::optional<timecode::Station> station;
    bool carrierGiven = false;
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
        if (arg == "--station") {
            if (i + 1 >= argc) return refuse(arg + " needs a value");
            const std::string value = argv[++i];
            station = timecode::stationNamed(value);
            if (!station)
                return refuse("--station is jjy40, jjy60, dcf77, msf, wwvb or bpc, not \"" + value +
                              "\"");
        } else if (arg == "--carrier" || arg == "--rate") {
            if (i + 1 >= argc) return refuse(arg + " needs a value");
            const std::string value = argv[++i];
            const auto n = number(value);
            if (!n) return refuse(arg + " takes a number, not \"" + value + "\"");
            if (arg == "--carrier")
                set.carrierKHz = static_cast<int>(*n), carrierGiven = true;
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
    if (station) {
        if (carrierGiven)
            return refuse("--carrier is for the JJY pulse files; --station names the carrier");
        tools::StationSet stationSet{*station, 0};
        if (direct)
            stationSet.directRate =
                rate ? static_cast<unsigned>(*rate) : tools::lowestDirectRate(*station);
        if (const std::string why = tools::whyNotMade(stationSet); !why.empty()) return refuse(why);
        if (folder.empty()) return refuse("no folder given");
        for (const auto& [name, second] : tools::distinctSeconds(*station)) {
            std::string error;
            if (!tools::writeStationSecondFile(folder + "/" + name + ".wav", second, stationSet,
                                               &error)) {
                std::fprintf(stderr, "pendrel-make-sounds: %s\n", error.c_str());
                return 1;
            }
        }
        return 0;
    }
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
