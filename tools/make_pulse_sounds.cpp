// Writes 200ms.wav, 500ms.wav and 800ms.wav into a folder.
//   make-pulse-sounds [--carrier 40|60] FOLDER

#include "tools/pulse_tone.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    int carrier = 40;
    std::string folder;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--carrier" && i + 1 < argc) {
            carrier = std::stoi(argv[++i]);
        } else if (!arg.empty() && arg[0] != '-' && folder.empty()) {
            folder = arg;
        } else {
            folder.clear();
            break;
        }
    }
    if (folder.empty() || (carrier != 40 && carrier != 60)) {
        std::fprintf(stderr, "usage: %s [--carrier 40|60] FOLDER\n", argv[0]);
        return 2;
    }
    for (const int ms : {200, 500, 800}) {
        std::string error;
        if (!tools::writePulseFile(folder + "/" + std::to_string(ms) + "ms.wav", ms, carrier, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    return 0;
}
