// pendrel-sound-relay: started by Pendrel, never by hand. It finds the block it shares with the
// program on descriptor 3 and its line to the program on descriptor 4 (see relay_block.h), and
// plays the program's stream on PipeWire until the program ends.

#include "platform/sound/relay/relay.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

int main()
{
    using platform::RelayBlock;
    // The relay ends with the program: its line closes, and should the program be killed
    // outright, the kernel tells the relay too.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    struct stat st {};
    if (::fstat(platform::kRelayBlockFd, &st) != 0
        || st.st_size < static_cast<off_t>(sizeof(std::uint32_t))) {
        std::fprintf(stderr, "%s: started without the program's block\n", platform::kRelayProgram);
        return 1;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    void* mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, platform::kRelayBlockFd, 0);
    if (mem == MAP_FAILED) return 1;
    // The layout comes first whatever the layout: a program from another build is told by it
    // before anything else of its block is read.
    const std::uint32_t layout = *static_cast<const std::uint32_t*>(mem);
    if (layout != platform::kRelayLayout || size < sizeof(RelayBlock)) {
        std::fprintf(stderr, "%s: the program's block has layout %u, this relay reads %u\n",
                     platform::kRelayProgram, layout, platform::kRelayLayout);
        return platform::kRelayRefused;
    }
    auto& block = *static_cast<RelayBlock*>(mem);
    if (block.channels == 0 || block.channels > 8 || block.ringFrames == 0
        || RelayBlock::bytes(block.ringFrames, block.channels) > size)
        return platform::kRelayRefused;
    block.accepted.store(1, std::memory_order_release);
    platform::Relay relay(block);
    return relay.run(platform::kRelayLifeFd);
}
