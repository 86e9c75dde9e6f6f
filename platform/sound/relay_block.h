#pragma once
// The block the program and its sound relay (pendrel-sound-relay) share. The program writes the
// timeline into the ring ahead of what the relay has handed to the graph; the relay writes back
// where the graph is and when the next frame will be heard. Positions count frames of one
// continuous stream.
//
// The program makes the block and starts the relay with it on descriptor kRelayBlockFd, and
// with a line on kRelayLifeFd: a byte on it means "look at what the program wants", its end
// means the program has ended. A relay from another build lays the block out otherwise: it
// finds another kRelayLayout in `layout`, refuses, and ends with kRelayRefused; a relay that
// accepts the block says so in `accepted` before it does anything else.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace platform {

// Raise with every change to RelayBlock below.
constexpr std::uint32_t kRelayLayout = 2;
constexpr int kRelayBlockFd = 3;
constexpr int kRelayLifeFd = 4;
constexpr int kRelayRefused = 3;  // the relay's exit status for a block it cannot read
constexpr const char* kRelayProgram = "pendrel-sound-relay";

struct RelayBlock {
    // Written once by the program before the relay starts.
    std::uint32_t layout = kRelayLayout;
    std::uint32_t channels = 0;
    std::uint32_t ringFrames = 0;
    std::atomic<std::uint32_t> accepted{0};  // relay -> program: 1 once the block is read
    // program -> relay
    std::atomic<std::uint32_t> rate{0};  // the stream's; a change reopens it
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint32_t> wantStream{0};
    // relay -> program
    std::atomic<std::uint64_t> consumed{0};
    std::atomic<std::uint32_t> timingSeq{0};  // odd while the report is being written
    std::atomic<std::int64_t> timingFrame{0};
    std::atomic<std::int64_t> timingWallNs{0};
    std::atomic<std::uint32_t> epoch{0};      // a new stream: the timing starts over
    std::atomic<std::uint32_t> reachable{0};
    std::atomic<std::uint32_t> streaming{0};
    std::atomic<std::uint32_t> graphRate{0};  // what the graph runs at; 0 until known
    // Stretches the graph played without the program's signal, newest last: the relay was held
    // up past its cycle (the system's doing), or the program had not written the frames in
    // time (it was held up longer than its lead). The relay fills an entry, then counts it;
    // the program reads the entries it has not seen yet.
    enum LossKind : std::uint32_t { kHeldUp = 1, kUnwritten = 2 };
    struct Loss {
        std::atomic<std::int64_t> wallNs{0};  // when its first frame would have been heard
        std::atomic<std::uint32_t> frames{0};
        std::atomic<std::uint32_t> kind{0};
    };
    static constexpr std::uint32_t kLosses = 32;
    std::atomic<std::uint32_t> lossCount{0};
    Loss losses[kLosses];
    // The description of the device the stream plays on, NUL-terminated, written by the relay
    // under a sequence count: odd while it is being written.
    static constexpr std::size_t kDeviceWords = 32;
    std::atomic<std::uint32_t> deviceSeq{0};
    std::atomic<std::uint64_t> device[kDeviceWords];

    float* ring() { return reinterpret_cast<float*>(this + 1); }
    const float* ring() const { return reinterpret_cast<const float*>(this + 1); }
    static std::size_t bytes(std::uint32_t ringFrames, std::uint32_t channels)
    {
        return sizeof(RelayBlock) + std::size_t(ringFrames) * channels * sizeof(float);
    }

    // The relay's side; one writer.
    void writeDevice(const std::string& text)
    {
        char bytes[kDeviceWords * 8] = {};
        std::memcpy(bytes, text.data(), std::min(text.size(), sizeof bytes - 1));
        // Even to begin with, also after a relay that ended half way through.
        const std::uint32_t seq = (deviceSeq.load(std::memory_order_relaxed) + 1) & ~1u;
        deviceSeq.store(seq + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (std::size_t i = 0; i < kDeviceWords; ++i) {
            std::uint64_t word = 0;
            std::memcpy(&word, bytes + i * 8, 8);
            device[i].store(word, std::memory_order_relaxed);
        }
        deviceSeq.store(seq + 2, std::memory_order_release);
    }

    // The program's side: a whole description, never one half written over; empty when the
    // relay is stuck half way (it ended while writing).
    std::string readDevice() const
    {
        char bytes[kDeviceWords * 8] = {};
        for (int tries = 0;; ++tries) {
            if (tries == 1000) return {};
            const std::uint32_t before = deviceSeq.load(std::memory_order_acquire);
            for (std::size_t i = 0; i < kDeviceWords; ++i) {
                const std::uint64_t word = device[i].load(std::memory_order_relaxed);
                std::memcpy(bytes + i * 8, &word, 8);
            }
            std::atomic_thread_fence(std::memory_order_acquire);
            if (before % 2 == 0 && deviceSeq.load(std::memory_order_relaxed) == before) break;
        }
        bytes[sizeof bytes - 1] = '\0';
        return bytes;
    }
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

}  // namespace platform
