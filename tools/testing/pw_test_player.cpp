// A reference transmitter for checking the recorder and the decoder: a native PipeWire playback
// stream that computes every frame from the moment it will be played, so that what reaches
// the sink is the signal as it should be (edges on the second, exact widths, the low level
// never broken). It starts at the next minute of the UTC clock and sends the real time code.
//   pendrel-pw-test-player [--seconds N] [--shift SECONDS] [--now] [--direct]
// --shift sends the time SECONDS ahead; --now starts at the next second instead; --direct sends
// the 40 kHz carrier itself at 192 kHz instead of its 13,333 Hz sub-harmonic at 48 kHz.
// Prints, per minute, how far ahead of its edge the buffer holding the second-0 edge was
// written: a recorder that places an edge before the moment it was written is wrong.
//
// The moment of a frame: the stream's time report gives the graph's cycle start (now) and the
// delay until the next frame written is played; frames already queued play first.

#include "platform/sound/pipewire_client.h"
#include "runtime/datetime.h"
#include "timecode/timecode.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <numbers>
#include <string>

namespace {

constexpr double kHigh = 0.97723722;

struct Player {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    long long shift = 0;
    long long startSecond = 0;       // the first minute sent, in UTC seconds
    long long codeMinute = -1;
    timecode::Frame code{};
    long long reportedMinute = -1;
    unsigned rate = 48000;
    double tone = 40000.0 / 3;  // the 40 kHz carrier's third sub-harmonic, or the carrier itself

    // One frame of the signal at a wall-clock moment given in whole seconds and nanoseconds.
    float frameAt(long long second, std::int64_t nanos)
    {
        if (second < startSecond) return 0;
        const long long minute = second - ((second % 60) + 60) % 60;
        if (minute != codeMinute) {
            using namespace std::chrono;
            const runtime::LocalTime t{microseconds((minute + shift) * 1000000)};
            code = timecode::timecode(runtime::toDateTime(t));
            codeMinute = minute;
        }
        const int symbol = static_cast<int>(code[static_cast<std::size_t>(second - minute)]);
        const std::int64_t widthNs = symbol == 0 ? 200000000 : symbol == 1 ? 500000000 : 800000000;
        const double level = nanos < widthNs ? kHigh : kHigh / 10;
        const double phase = std::fmod(tone * static_cast<double>(nanos) * 1e-9, 1.0);
        return static_cast<float>(level * std::sin(2 * std::numbers::pi * phase));
    }

    static void onProcess(void* self)
    {
        auto* p = static_cast<Player*>(self);
        pw_buffer* b = pw_stream_dequeue_buffer(p->stream);
        if (!b) return;
        pw_time time{};
        pw_stream_get_time_n(p->stream, &time, sizeof time);
        const std::int64_t toReal = platform::monotonicToWallNs();
        const std::int64_t real = platform::monotonicNs() + toReal;
        spa_data& d = b->buffer->datas[0];
        auto* out = static_cast<float*>(d.data);
        if (!out) return;
        std::uint32_t frames = d.maxsize / (2 * sizeof(float));
        if (b->requested && b->requested < frames) frames = static_cast<std::uint32_t>(b->requested);
        const double nsPerTick = time.rate.denom ? 1e9 * time.rate.num / time.rate.denom : 1e9 / p->rate;
        const std::int64_t aheadTicks = time.delay + static_cast<std::int64_t>(time.queued + time.buffered);
        const std::int64_t firstNs = time.now + toReal + std::llround(static_cast<double>(aheadTicks) * nsPerTick);
        for (std::uint32_t i = 0; i < frames; ++i) {
            const std::int64_t t = firstNs + static_cast<std::int64_t>(std::llround(static_cast<double>(i) * 1e9 / p->rate));
            const long long second = t / 1000000000;
            const std::int64_t nanos = t - second * 1000000000;
            const float v = p->frameAt(second, nanos);
            out[2 * i] = v;
            out[2 * i + 1] = v;
            if (nanos < 1000000000 / p->rate && second >= p->startSecond && second != p->reportedMinute &&
                (second % 60 == 0 || second < p->startSecond + 3)) {
                p->reportedMinute = second;
                std::printf("edge at %lld written %.3f ms ahead (delay %lld, queued %llu, "
                            "buffered %llu, %u frames)\n", second, static_cast<double>(t - real) / 1e6,
                            static_cast<long long>(time.delay), static_cast<unsigned long long>(time.queued),
                            static_cast<unsigned long long>(time.buffered), frames);
                std::fflush(stdout);
            }
        }
        d.chunk->offset = 0;
        d.chunk->stride = 2 * sizeof(float);
        d.chunk->size = frames * 2 * sizeof(float);
        pw_stream_queue_buffer(p->stream, b);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 130;
    bool startNow = false;
    Player p;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) seconds = std::stod(argv[++i]);
        else if (arg == "--shift" && i + 1 < argc) p.shift = std::stoll(argv[++i]);
        else if (arg == "--now") startNow = true;
        else if (arg == "--direct") {
            p.rate = 192000;
            p.tone = 40000;
        }
        else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--shift SECONDS] [--now] [--direct]\n", argv[0]);
            return 2;
        }
    }
    const long long now = static_cast<long long>(std::time(nullptr));
    p.startSecond = startNow ? now + 1 : now - now % 60 + 60;

    platform::PipeWireClient client;
    p.loop = client.mainLoop();
    client.quitOnSignals();
    client.quitAfter(seconds);

    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = &Player::onProcess;
        return e;
    }();
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                             PW_KEY_MEDIA_ROLE, "Music", PW_KEY_NODE_NAME,
                                             "pendrel-test-player", nullptr);
    // The graph runs at the stream's rate where the server allows it, as for the program.
    pw_properties_setf(props, PW_KEY_NODE_RATE, "1/%u", p.rate);
    pw_core* core = client.connect();
    if (!core) {
        std::fprintf(stderr, "%s: no PipeWire server\n", argv[0]);
        return 1;
    }
    spa_hook streamListener{};
    p.stream = pw_stream_new(core, "pendrel-test-player", props);
    pw_stream_add_listener(p.stream, &streamListener, &events, &p);
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[1] = {platform::floatAudioFormat(builder, p.rate, 2)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                    PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(p.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
        std::fprintf(stderr, "pendrel-pw-test-player: no PipeWire server\n");
        return 1;
    }
    client.run();
    pw_stream_destroy(p.stream);
    client.disconnect();
    return 0;
}
