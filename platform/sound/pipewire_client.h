#pragma once
// What every PipeWire client of this project sets up the same way: the library, a main loop
// and a context whose data thread asks for real-time scheduling (through RTKit where the user
// may not set it directly); without it, a busy machine makes a stream miss graph cycles.

#include <pipewire/pipewire.h>
#include <spa/pod/builder.h>

#include <cstdint>

namespace platform {

// PipeWire's graph times are CLOCK_MONOTONIC, in nanoseconds.
std::int64_t monotonicNs();
// What turns a graph time into CLOCK_REALTIME: the wall clock read between two monotonic
// readings, so that a preemption between the readings costs only half of itself.
std::int64_t monotonicToWallNs();

class PipeWireClient {
public:
    PipeWireClient();
    ~PipeWireClient();
    PipeWireClient(const PipeWireClient&) = delete;
    PipeWireClient& operator=(const PipeWireClient&) = delete;

    // False when the loop could not be made (out of memory).
    bool ok() const { return m_mainLoop != nullptr; }
    pw_main_loop* mainLoop() const { return m_mainLoop; }
    pw_loop* loop() const { return m_loop; }

    // The core of the user's PipeWire; null when no server answers. The context is made on the
    // first call, so set up signals before it. Disconnected with the client unless the caller
    // disconnects it first.
    pw_core* connect();
    void disconnect();
    // The loop ends on SIGINT and SIGTERM, and after `seconds` when that is above 0.
    void quitOnSignals();
    void quitAfter(double seconds);
    void run() { pw_main_loop_run(m_mainLoop); }
    void quit() { pw_main_loop_quit(m_mainLoop); }

private:
    pw_main_loop* m_mainLoop = nullptr;
    pw_loop* m_loop = nullptr;
    pw_context* m_context = nullptr;
    pw_core* m_core = nullptr;
};

// The one format our streams offer: interleaved 32-bit float at `rate`, mono or front
// left/right.
const spa_pod* floatAudioFormat(spa_pod_builder& builder, unsigned rate, unsigned channels);

}  // namespace platform
