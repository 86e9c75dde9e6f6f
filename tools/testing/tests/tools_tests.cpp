// The pulse files as the build writes them, and the decoder that the end-to-end test relies on,
// checked against frames worked out by hand and against the program's own encoder.

#include "timecode/timecode.h"
#include "tools/pulse_tone.h"
#include "tools/station_tone.h"
#include "tools/capture/graph_timeline.h"
#include "tools/testing/jjy_decode.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include <sys/wait.h>

namespace {

std::vector<std::int16_t> readShorts(const std::string& path, SF_INFO& info)
{
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<std::int16_t> samples(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_short(f, samples.data(), info.frames);
    sf_close(f);
    return samples;
}

// Amplitude of the best-fitting sine of the given frequency over samples [from, to).
double amplitude(const std::vector<std::int16_t>& s, std::size_t from, std::size_t to,
                 double frequency, unsigned rate)
{
    double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
    for (std::size_t n = from; n < to; ++n) {
        const double w = 2 * M_PI * frequency * static_cast<double>(n) / rate;
        const double si = std::sin(w), co = std::cos(w), x = s[n];
        ss += si * si, cc += co * co, sc += si * co, xs += x * si, xc += x * co;
    }
    const double det = ss * cc - sc * sc;
    return std::hypot((xs * cc - xc * sc) / det, (xc * ss - xs * sc) / det);
}

int peak(const std::vector<std::int16_t>& s, std::size_t from, std::size_t to)
{
    int p = 0;
    for (std::size_t n = from; n < to; ++n) p = std::max(p, std::abs(static_cast<int>(s[n])));
    return p;
}

// The sets the tool makes: carrier, direct rate (0: a third of the carrier at 48 kHz), and the
// rate and tone worked out by hand.
struct SetCase {
    tools::PulseSet set;
    unsigned rate;
    double tone;
};
const SetCase kSets[] = {
    {{40, 0}, 48000, 40000.0 / 3}, {{60, 0}, 48000, 20000},       {{40, 96000}, 96000, 40000},
    {{40, 192000}, 192000, 40000}, {{60, 192000}, 192000, 60000},
};

// Checks one second of pulse samples at `rate`: length, start, levels, the change of level,
// frequency.
void checkPulse(const std::vector<std::int16_t>& s, int highMs, unsigned rate, double tone)
{
    ASSERT_EQ(s.size(), rate) << "exactly one second";
    const auto edge = static_cast<std::size_t>(highMs) * rate / 1000;
    EXPECT_EQ(s[0], 0);
    EXPECT_GT(s[1], 10000) << "starts at a rising zero crossing";
    EXPECT_NEAR(amplitude(s, 0, edge, tone, rate), 32021, 2) << "-0.2 dBFS";
    EXPECT_NEAR(amplitude(s, edge, s.size(), tone, rate), 3202, 2) << "a tenth of the high level";
    EXPECT_LE(peak(s, 0, s.size()), 32021) << "never clipped";
    EXPECT_GT(peak(s, edge - 4, edge), 15000) << "high up to the last sample of the pulse";
    EXPECT_LT(peak(s, edge, edge + 4), 3300) << "low from the first sample after it";
    int rising = 0;
    for (std::size_t n = 1; n < s.size(); ++n) rising += s[n - 1] <= 0 && s[n] > 0;
    EXPECT_NEAR(rising, tone, 1) << "tone frequency";
}

// Seconds 0..59 of a frame written as six rows of ten digits.
std::vector<int> symbols(const std::string& rows)
{
    std::vector<int> out;
    for (char c : rows)
        if (c >= '0' && c <= '2') out.push_back(c - '0');
    return out;
}

// A recording of the previous minute's last marker and then the frame, one pulse a second,
// starting `lead` samples in, optionally without the pulse at second `drop` of the frame, made
// of the given set's files at their rate.
std::vector<float> recording(const std::vector<int>& frame, std::size_t lead, int drop = 60,
                             const tools::PulseSet& set = {})
{
    const std::vector<std::int16_t> files[3] = {tools::pulseSamples(200, set),
                                                tools::pulseSamples(500, set),
                                                tools::pulseSamples(800, set)};
    const std::size_t rate = tools::sampleRate(set);
    std::vector<int> sequence{0};
    sequence.insert(sequence.end(), frame.begin(), frame.end());
    std::vector<float> out(lead + sequence.size() * rate + rate / 10, 0.0f);
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        if (static_cast<int>(i) - 1 == drop) continue;
        const auto& file = files[sequence[i]];
        for (std::size_t n = 0; n < file.size(); ++n)
            out[lead + i * rate + n] = static_cast<float>(file[n]) / 32768.0f;
    }
    return out;
}

}  // namespace

TEST(PulseFiles, TheBuildPutsThreeCorrectFilesBesideTheProgram)
{
    const tools::PulseSet built{PENDREL_CARRIER_KHZ, PENDREL_DIRECT_RATE};
    const auto* c = std::find_if(std::begin(kSets), std::end(kSets),
                                 [&](const SetCase& k) { return k.set == built; });
    ASSERT_NE(c, std::end(kSets));
    for (const int ms : {200, 500, 800}) {
        SCOPED_TRACE(ms);
        SF_INFO info{};
        const auto s = readShorts(
            std::string(PENDREL_PROGRAM_DIR) + "/" + std::to_string(ms) + "ms.wav", info);
        EXPECT_EQ(info.samplerate, static_cast<int>(c->rate));
        EXPECT_EQ(info.channels, 1);
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        checkPulse(s, ms, c->rate, c->tone);
    }
}

TEST(PulseFiles, EverySetHasItsRateAndTone)
{
    for (const auto& c : kSets) {
        EXPECT_EQ(tools::whyNotMade(c.set), "");
        EXPECT_EQ(tools::sampleRate(c.set), c.rate);
        for (const int ms : {200, 500, 800}) {
            SCOPED_TRACE(testing::Message()
                         << c.set.carrierKHz << " kHz at " << c.rate << " Hz, " << ms << " ms");
            checkPulse(tools::pulseSamples(ms, c.set), ms, c.rate, c.tone);
        }
    }
}

// The sound tool as a user runs it: the set asked for lands in the folder, and what cannot be
// made is refused with status 2 before anything is written.
TEST(StationSounds, EachSecondCarriesTheStationsLevelsOnItsTone)
{
    using timecode::Station;
    struct Case {
        tools::StationSet set;
        unsigned rate;
        double toneHz;
        int reducedPercent;
    };
    const std::vector<Case> cases = {
        {{Station::Jjy40, 0}, 48000, 40000 / 3.0, 10},  {{Station::Jjy60, 0}, 48000, 20000, 10},
        {{Station::Dcf77, 0}, 48000, 15500, 15},        {{Station::Msf, 0}, 48000, 20000, 0},
        {{Station::Wwvb, 0}, 48000, 20000, 14},         {{Station::Bpc, 0}, 48000, 13700, 10},
        {{Station::Jjy40, 96000}, 96000, 40000, 10},    {{Station::Dcf77, 192000}, 192000, 77500, 15},
        {{Station::Bpc, 192000}, 192000, 68500, 10},
    };
    // Reduced from 100 to 300 ms and from 500 to 600 ms.
    const timecode::StationSecond second{{{100, 200}, {500, 100}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.toneHz);
        ASSERT_EQ(tools::whyNotMade(c.set), "");
        EXPECT_EQ(tools::sampleRate(c.set), c.rate);
        EXPECT_DOUBLE_EQ(tools::toneFrequency(c.set), c.toneHz);
        const auto floats = tools::stationSecondSamples(second, c.reducedPercent, c.set);
        ASSERT_EQ(floats.size(), c.rate);
        std::vector<std::int16_t> s(floats.size());
        std::transform(floats.begin(), floats.end(), s.begin(),
                       [](float f) { return static_cast<std::int16_t>(std::lround(f * 32767)); });
        const auto at = [&](int ms) { return static_cast<std::size_t>(ms) * c.rate / 1000; };
        const double full = 32767 * tools::kHighLevel;
        const double reduced = full * c.reducedPercent / 100;
        EXPECT_NEAR(amplitude(s, 0, at(100), c.toneHz, c.rate), full, 1.5);
        EXPECT_NEAR(amplitude(s, at(100), at(300), c.toneHz, c.rate), reduced, 1.5);
        EXPECT_NEAR(amplitude(s, at(300), at(500), c.toneHz, c.rate), full, 1.5);
        EXPECT_NEAR(amplitude(s, at(500), at(600), c.toneHz, c.rate), reduced, 1.5);
        EXPECT_NEAR(amplitude(s, at(600), c.rate, c.toneHz, c.rate), full, 1.5);
        // The level changes exactly on the sample the millisecond falls on.
        EXPECT_LE(peak(s, at(100), at(300)), reduced + 1);
        EXPECT_GT(std::abs(s[at(300)]) + std::abs(s[at(300) + 1]), reduced + 2);
        EXPECT_EQ(s[0], 0);
        EXPECT_GT(s[1], 0);  // a rising zero crossing
    }
    EXPECT_NE(tools::whyNotMade({Station::Dcf77, 96000}), "");
    EXPECT_NE(tools::whyNotMade({Station::Msf, 44100}), "");
    EXPECT_EQ(tools::lowestDirectRate(Station::Jjy40), 96000u);
    EXPECT_EQ(tools::lowestDirectRate(Station::Wwvb), 192000u);
}

TEST(PulseFiles, TheSoundToolWritesTheSetAskedForAndRefusesTheRest)
{
    const std::string folder = testing::TempDir() + "pendrel-sets";
    const std::string tool = std::string(PENDREL_PROGRAM_DIR) + "/pendrel-make-sounds";
    const struct {
        const char* args;
        int status;
        unsigned rate;  // of the files written; 0 when none may be
        double tone;
    } cases[] = {
        {"", 0, 48000, 40000.0 / 3},
        {"--carrier 60", 0, 48000, 20000},
        {"--carrier 40 --direct", 0, 96000, 40000},
        {"--direct --rate 192000", 0, 192000, 40000},
        {"--carrier 60 --direct", 0, 192000, 60000},
        {"--rate 192000 --carrier 60 --direct", 0, 192000, 60000},
        {"--carrier 60 --direct --rate 96000", 2, 0, 0},  // above what 96 kHz carries
        {"--carrier 40 --direct --rate 48000", 2, 0, 0},
        {"--carrier 40 --direct --rate 44100", 2, 0, 0},
        {"--carrier 60 --rate 192000", 2, 0, 0},  // a rate is only for the direct sets
        {"--carrier 77", 2, 0, 0},
        {"--carrier sixty", 2, 0, 0},
        {"--carrier", 2, 0, 0},
        {"--loud", 2, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        const std::string command = "'" + tool + "' " + c.args + " '" + folder + "' 2>/dev/null";
        const int result = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(result));
        EXPECT_EQ(WEXITSTATUS(result), c.status);
        for (const int ms : {200, 500, 800}) {
            SF_INFO info{};
            const auto s = readShorts(folder + "/" + std::to_string(ms) + "ms.wav", info);
            if (c.rate == 0) {
                EXPECT_TRUE(s.empty()) << ms << " ms written though refused";
                continue;
            }
            EXPECT_EQ(info.samplerate, static_cast<int>(c.rate)) << ms;
            checkPulse(s, ms, c.rate, c.tone);
        }
    }
    EXPECT_EQ(std::system(("'" + tool + "' --help >/dev/null").c_str()), 0);
    std::filesystem::remove_all(folder);
}

// Every set, each at its own rate: the pulses to the sample (the width to within a cycle of the
// tone, where the last high sample may sit near a zero), the minute they carry, and the tone's
// level against another one that is not there (a third of a direct carrier, which a resampler
// or a distorting output would put there).
TEST(JjyDecoder, FindsEachPulseAndTheToneAtEveryRate)
{
    const auto frame = symbols("0121212220 2221222110 2211221120 2121221120 2221221210 2112222220");
    for (const auto& c : kSets) {
        SCOPED_TRACE(testing::Message() << c.tone << " Hz at " << c.rate << " Hz");
        const std::size_t lead = 1234 * c.rate / 48000;
        const auto samples = recording(frame, lead, 60, c.set);
        const auto pulses = tools::findPulses(samples, c.rate);
        ASSERT_EQ(pulses.size(), 61u);
        for (std::size_t i = 0; i < pulses.size(); ++i) {
            const double widthMs[] = {200, 500, 800};
            const int kind = i == 0 ? 0 : frame[i - 1];
            EXPECT_EQ(pulses[i].start, lead + i * c.rate) << i;
            EXPECT_NEAR(static_cast<double>(pulses[i].width), widthMs[kind] * c.rate / 1000.0,
                        c.rate / c.tone + 1)
                << i;
        }
        const auto minutes = tools::decodeMinutes(pulses, 1.0 / c.rate);
        ASSERT_EQ(minutes.size(), 1u);
        EXPECT_EQ(minutes[0].text(), "2025-12-31 13:58") << minutes[0].problem;
        EXPECT_NEAR(tools::toneLevelDb(samples, c.rate, pulses, c.tone), -0.2, 0.05);
        const double other = c.tone > 20001 ? c.tone / 3 : c.tone < 19999 ? 20000 : 40000.0 / 3;
        EXPECT_LT(tools::toneLevelDb(samples, c.rate, pulses, other), -60);
    }
}

TEST(JjyDecoder, IgnoresPulsesCutByTheEndsOfTheRecording)
{
    const auto frame = symbols("0121212220 2221222110 2211221120 2121221120 2221221210 2112222220");
    const auto whole = recording(frame, 0);
    // From the middle of the first pulse to the middle of the ninth (second 7, a zero).
    const std::vector<float> cut(whole.begin() + 4800, whole.begin() + 8 * 48000 + 20000);
    const auto pulses = tools::findPulses(cut, 48000);
    ASSERT_EQ(pulses.size(), 7u);
    EXPECT_EQ(pulses.front().start, 48000u - 4800);
    EXPECT_EQ(pulses.back().width, 800u * 48);  // second 6 of the frame: a zero
}

TEST(JjyDecoder, DecodesFramesWorkedOutByHand)
{
    const struct {
        const char* frame;
        const char* text;
        int weekday;
    } cases[] = {
        {"0121212220 2221222110 2211221120 2121221120 2221221210 2112222220", "2025-12-31 13:58",
         3},
        {"0222222220 2222222220 2222222220 2221222220 2222222220 1122222220", "2000-01-01 00:00",
         6},
        {"0222222220 2222222220 2211221120 2112222220 2221221220 2122222220", "2024-12-31 00:00",
         2},
        {"0212221110 2221221220 2222221120 2121222220 2221221220 2122222220", "2024-03-05 14:27",
         2},
    };
    for (const auto& c : cases) {
        const auto minutes = tools::decodeMinutes(
            tools::findPulses(recording(symbols(c.frame), 500), 48000), 1.0 / 48000);
        ASSERT_EQ(minutes.size(), 1u) << c.text;
        EXPECT_TRUE(minutes[0].valid) << c.text << ": " << minutes[0].problem;
        EXPECT_EQ(minutes[0].text(), c.text);
        EXPECT_EQ(minutes[0].weekday, c.weekday);
        EXPECT_EQ(minutes[0].firstPulse, 1u);
    }
}

TEST(JjyDecoder, RefusesBrokenMinutes)
{
    const auto good = symbols("0121212220 2221222110 2211221120 2121221120 2221221210 2112222220");
    auto parity = good;
    parity[37] = 2;  // minute parity flipped
    auto weekday = good;
    weekday[52] = 2;  // Tuesday on a Wednesday
    auto marker = good;
    marker[29] = 2;
    const struct {
        const char* name;
        std::vector<int> frame;
        int drop;
        const char* problem;
    } cases[] = {
        {"parity", parity, 60, "parity"},
        {"weekday", weekday, 60, "weekday does not match the date"},
        {"marker", marker, 60, "marker out of place at second 29"},
        {"missing pulse", good, 30, "pulses missing or out of step"},
    };
    for (const auto& c : cases) {
        const auto minutes = tools::decodeMinutes(
            tools::findPulses(recording(c.frame, 300, c.drop), 48000), 1.0 / 48000);
        ASSERT_EQ(minutes.size(), 1u) << c.name;
        EXPECT_FALSE(minutes[0].valid) << c.name;
        EXPECT_EQ(minutes[0].problem, c.problem) << c.name;
    }
}

TEST(JjyDecoder, ReadsBackWhatTheProgramEncodes)
{
    // Every 7 hours 13 minutes across 2024 (a leap year) and into 2025.
    runtime::DateTime t{2024, 1, 1, 0, 0, 0};
    for (int i = 0; i < 1500; ++i, t = runtime::addMinutes(t, 433)) {
        std::vector<int> symbols;
        for (timecode::PulseKind kind : timecode::timecode(t))
            symbols.push_back(static_cast<int>(kind));
        const auto m = tools::decodeFrame(symbols);
        ASSERT_TRUE(m.valid) << runtime::format(t, "yyyy/mm/dd hh:mm") << ": " << m.problem;
        char text[32];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour,
                      t.minute);
        EXPECT_EQ(m.text(), text);
        EXPECT_EQ(m.weekday, runtime::weekdayNumber(t) - 1);
    }
}

TEST(JjyDecoder, FindsEveryHoleInsideTheSignal)
{
    const auto frame = symbols("0121212220 2221222110 2211221120 2121221120 2221221210 2112222220");
    const struct {
        const char* what;
        std::size_t at, length;  // samples at 48 kHz silenced, from the start of the recording
        bool lost;               // lost by the recording, not the signal
        std::size_t holes;
    } cases[] = {
        {"nothing silenced", 0, 0, false, 0},
        {"1 ms of the low level", 48000 + 3 * 48000 + 30000, 48, false, 1},
        {"0.3 ms of the low level: the tone's own zeros are shorter", 48000 + 3 * 48000 + 30000, 14,
         false, 0},
        {"0.6 ms of the low level", 48000 + 3 * 48000 + 30000, 29, false, 1},
        {"2 ms inside a pulse", 48000 + 5 * 48000 + 4800, 96, false, 1},
        {"the last 5 ms before the first pulse", 48000 - 240, 240, false, 0},
        {"a stretch the recording lost", 48000 + 7 * 48000 + 30000, 480, true, 0},
    };
    // The 13 kHz set at 48 kHz, and the direct 40 kHz set at 192 kHz, where each case is four
    // times the samples.
    for (const tools::PulseSet set : {tools::PulseSet{40, 0}, tools::PulseSet{40, 192000}}) {
        const std::size_t scale = tools::sampleRate(set) / 48000;
        const auto clean = recording(frame, 48000 * scale, 60,
                                     set);  // silence before the first pulse is not a hole
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.what << " at " << tools::sampleRate(set) << " Hz");
            auto samples = clean;
            const std::size_t at = c.at * scale, length = c.length * scale;
            std::fill_n(samples.begin() + static_cast<std::ptrdiff_t>(at), length, 0.0f);
            const std::vector<tools::Hole> lost =
                c.lost ? std::vector<tools::Hole>{{at, length}} : std::vector<tools::Hole>{};
            const unsigned rate = tools::sampleRate(set);
            const auto holes =
                tools::findHoles(samples, rate, tools::findPulses(samples, rate), lost);
            ASSERT_EQ(holes.size(), c.holes);
            if (c.holes) {
                // The tone's own zero crossings may add a sample at either end.
                EXPECT_NEAR(static_cast<double>(holes[0].start), static_cast<double>(at), 1);
                EXPECT_NEAR(static_cast<double>(holes[0].length), static_cast<double>(length), 2);
            }
        }
    }
}

// pendrel-decode as the end-to-end test runs it, on a recording of one minute sent from its
// first pulse on, written as the recorder writes it (the samples, and the time of every
// 480-frame fragment): each fault that the per-pulse bounds are there for fails the run and
// says where, the first pulse included, and a pulse a few milliseconds late, as on a busy
// machine, does not.
TEST(JjyDecoder, TheDecoderJudgesEveryPulseFromTheFirst)
{
    using namespace std::chrono;
    const auto frame = symbols("0121212220 2221222110 2211221120 2121221120 2221221210 2112222220");
    const auto minute = static_cast<double>(
        duration_cast<seconds>((sys_days(2025y / 12 / 31) + 13h + 58min).time_since_epoch())
            .count());
    constexpr std::size_t rate = 48000, lead = 1234;
    constexpr std::ptrdiff_t cycle = 1008;   // a graph cycle at 48 kHz, 21 ms
    constexpr std::size_t s0 = lead + rate;  // the first pulse, second 0; silence before it
    auto clean = recording(frame, lead);
    std::fill_n(clean.begin(), s0, 0.0f);
    // Second k of the frame: its pulse moved by `by` samples, later or (negative) earlier, the
    // low level kept whole; or the stretch [from, from + count) of it scaled (0.1: high to low,
    // 10: low to a pulse).
    auto moved = [](std::vector<float>& v, int k, std::ptrdiff_t by) {
        const std::ptrdiff_t length = rate;
        const auto at = v.begin() + static_cast<std::ptrdiff_t>(s0) + k * length +
                        std::min<std::ptrdiff_t>(by, 0);
        std::rotate(at, at + (by > 0 ? length - by : -by), at + length);
    };
    auto scaled = [](std::vector<float>& v, int k, std::size_t from, std::size_t count, float by) {
        const auto at =
            v.begin() + static_cast<std::ptrdiff_t>(s0 + static_cast<std::size_t>(k) * rate + from);
        std::for_each(at, at + static_cast<std::ptrdiff_t>(count), [by](float& x) { x *= by; });
    };
    const struct {
        const char* what;
        std::function<void(std::vector<float>&)> fault;
        std::size_t begin;  // first sample recorded
        const char* says;   // in the run's FAIL lines; nullptr: the run passes
        // A stretch the transmitter said it was kept from sending: seconds after the minute
        // start, and its length in ms; none when the length is 0. It fails all the same; the
        // faults it covers are marked.
        double reportedAt = 0, reportedMs = 0;
        bool marked = false;
    } cases[] = {
        {"as sent", [](auto&) {}, 0, nullptr},
        {"a pulse 4 ms late", [&](auto& v) { moved(v, 30, 192); }, 0, nullptr},
        {"the first pulse a cycle late", [&](auto& v) { moved(v, 0, cycle); }, 0,
         "edge +21.000 ms off its second at 2025-12-31 13:58:00"},
        {"a pulse a cycle early", [&](auto& v) { moved(v, 19, -cycle); }, 0,
         "edge -21.000 ms off its second at 2025-12-31 13:58:18"},
        {"an 800 ms pulse a cycle short",
         [&](auto& v) { scaled(v, 2, 800 * 48 - cycle, cycle, 0.1f); }, 0,
         "width 779.00 ms, not 800, at 2025-12-31 13:58:02"},
        {"a pulse missing", [&](auto& v) { scaled(v, 3, 0, 500 * 48, 0.1f); }, 0,
         "1 pulse(s) missing before 2025-12-31 13:58:04"},
        {"a second pulse in a second", [&](auto& v) { scaled(v, 9, 300 * 48, 60 * 48, 10); }, 0,
         "a second pulse in the second of the pulse at 2025-12-31 13:58:09"},
        {"the first pulse missing", [&](auto& v) { scaled(v, 0, 0, 200 * 48, 0.1f); }, 0,
         "the first pulse heard, at 2025-12-31 13:58:01"},
        {"the recording begun inside the first pulse", [](auto&) {}, s0 + 4800,
         "the first pulse heard, at 2025-12-31 13:58:01"},
        // A graph cycle dropped inside a pulse: a hole, and a pulse split in two, whether or not
        // the transmitter said it was kept from sending just then.
        {"a cycle dropped", [&](auto& v) { scaled(v, 5, 100 * 48, cycle, 0); }, 0,
         "1 holes inside the signal"},
        {"a cycle dropped, the transmitter held up then",
         [&](auto& v) { scaled(v, 5, 100 * 48, cycle, 0); }, 0, "1 holes inside the signal", 5.1,
         21, true},
        {"held up at another time", [&](auto& v) { scaled(v, 5, 100 * 48, cycle, 0); }, 0,
         "1 holes inside the signal", 40.1, 21},
    };
    const std::string wav = testing::TempDir() + "pendrel-judge.wav",
                      log = testing::TempDir() + "pendrel-judge.log",
                      reports = testing::TempDir() + "pendrel-judge.reported";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto samples = clean;
        c.fault(samples);
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(c.begin));
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* f = sf_open(wav.c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        sf_writef_float(f, samples.data(), static_cast<sf_count_t>(samples.size()));
        sf_close(f);
        std::ofstream times(log);
        times.precision(17);
        for (std::size_t n = 0; n + 480 <= samples.size(); n += 480)
            times << minute + (static_cast<double>(n + c.begin) - static_cast<double>(s0)) / rate
                  << ' ' << n << " 480 0\n";
        times.close();
        std::ofstream report(reports);
        report.precision(17);
        if (c.reportedMs > 0) report << minute + c.reportedAt << ' ' << c.reportedMs << '\n';
        report.close();

        const std::string command =
            std::string("'") + PENDREL_DECODE +
            "' --min-minutes 0 --expect-shift 0 "
            "--fail-on-missing --max-edge-ms 5 --max-width-ms 3 --first-at-minute "
            "--fail-on-holes --reported '" +
            reports + "' '" + wav + "' '" + log + "'";
        FILE* run = popen(command.c_str(), "r");
        ASSERT_NE(run, nullptr);
        std::string output;
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, run)) output += buffer;
        const int status = pclose(run);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.says ? 1 : 0) << output;
        if (c.says)
            EXPECT_NE(output.find(std::string("FAIL: ") + c.says), std::string::npos) << output;
        else
            EXPECT_EQ(output.find("FAIL"), std::string::npos) << output;
        EXPECT_EQ(output.find("(reported by the transmitter)") != std::string::npos, c.marked)
            << output;
    }
    std::filesystem::remove(wav);
    std::filesystem::remove(log);
    std::filesystem::remove(reports);
}

// The PipeWire recorder's placing of buffers on the graph's clock, through the ways callbacks
// come: on time, late (a report already a cycle on, then the same report again), after frames
// were lost, and with two buffers at once.
TEST(GraphTimeline, PlacesOnlyWhatTheReportPlacesAndFindsEachLossOnce)
{
    struct Callback {
        std::uint64_t ticks;
        long long frames;
        long long lost;
        bool place;
    };
    const struct {
        const char* what;
        std::vector<Callback> callbacks;
    } cases[] = {
        {"on time", {{256, 256, 0, true}, {512, 256, 0, true}, {768, 256, 0, true}}},
        // clang-format off
        {"one callback late",
         {{256, 256, 0, true}, {512, 256, 0, true}, {1024, 256, 0, false}, {1024, 256, 0, false},
          {1280, 256, 0, true}, {1536, 256, 0, true}}},
        {"a cycle lost, found once",
         {{256, 256, 0, true}, {512, 256, 0, true}, {1024, 256, 0, false}, {1280, 256, 256, true},
          {1536, 256, 0, true}, {1792, 256, 0, true}}},
        {"two buffers at once", {{256, 256, 0, true}, {512, 256, 0, true}, {1024, 512, 0, true}}},
        {"a restarted graph is no loss",
         {{256, 256, 0, true}, {10000000, 256, 0, false}, {10000256, 256, 0, true}}},
        // clang-format on
    };
    for (const auto& c : cases) {
        capture::GraphTimeline timeline;
        for (std::size_t i = 0; i < c.callbacks.size(); ++i) {
            const auto& cb = c.callbacks[i];
            const auto step = timeline.next(cb.ticks, 0, cb.frames, 480000);
            EXPECT_EQ(step.lost, cb.lost) << c.what << ", callback " << i;
            EXPECT_EQ(step.place, cb.place) << c.what << ", callback " << i;
        }
    }
}
