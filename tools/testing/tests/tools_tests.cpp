// The pulse files as the build writes them, and the decoder that the end-to-end test relies on,
// checked against frames worked out by hand and against the program's own encoder.

#include "timecode/timecode.h"
#include "tools/pulse_tone.h"
#include "tools/station_tone.h"
#include "tools/testing/graph_timeline.h"
#include "tools/testing/jjy_decode.h"
#include "tools/testing/station_decode.h"

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
    // A station's file: its name and the stretch of the second at the reduced level.
    struct StationFile {
        const char* name;
        int fromMs, lengthMs;
    };
    const struct {
        const char* args;
        int status;
        unsigned rate;  // of the files written; 0 when none may be
        double tone;
        int reducedPercent = 0;            // with --station
        std::vector<StationFile> files{};  // with --station: these instead of the JJY files
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
        // clang-format off
        {"--station jjy60", 0, 48000, 20000, 10,
         {{"jjy60-marker", 200, 800}, {"jjy60-1", 500, 500}, {"jjy60-0", 800, 200}}},
        {"--station dcf77", 0, 48000, 15500, 15,
         {{"dcf77-0", 0, 100}, {"dcf77-1", 0, 200}, {"dcf77-59", 0, 0}}},
        {"--station msf --direct", 0, 192000, 60000, 0,
         {{"msf-minute", 0, 500}, {"msf-00", 0, 100}, {"msf-10", 0, 200}, {"msf-11", 0, 300},
          {"msf-01", 0, 100}}},
        {"--station wwvb", 0, 48000, 20000, 14,
         {{"wwvb-0", 0, 200}, {"wwvb-1", 0, 500}, {"wwvb-marker", 0, 800}}},
        {"--station bpc --direct --rate 192000", 0, 192000, 68500, 10,
         {{"bpc-0", 0, 100}, {"bpc-1", 0, 200}, {"bpc-2", 0, 300}, {"bpc-3", 0, 400},
          {"bpc-frame", 0, 0}}},
        {"--station jjy40 --direct", 0, 96000, 40000, 10,
         {{"jjy40-marker", 200, 800}, {"jjy40-1", 500, 500}, {"jjy40-0", 800, 200}}},
        // clang-format on
        {"--station dcf77 --direct --rate 96000", 2, 0, 0},  // 77.5 kHz is above 48 kHz
        {"--station msf --rate 192000", 2, 0, 0},
        {"--station wwvb --carrier 60", 2, 0, 0},
        {"--station dcf78", 2, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        const std::string command = "'" + tool + "' " + c.args + " '" + folder + "' 2>/dev/null";
        const int result = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(result));
        EXPECT_EQ(WEXITSTATUS(result), c.status);
        if (c.status != 0) {
            EXPECT_TRUE(std::filesystem::is_empty(folder)) << "written though refused";
        }
        for (const auto& f : c.files) {
            SCOPED_TRACE(f.name);
            SF_INFO info{};
            const auto s = readShorts(folder + "/" + f.name + ".wav", info);
            ASSERT_EQ(s.size(), c.rate) << "one second at the set's rate";
            EXPECT_EQ(info.samplerate, static_cast<int>(c.rate));
            const auto at = [&](int ms) { return static_cast<std::size_t>(ms) * c.rate / 1000; };
            const double full = 32767 * tools::kHighLevel;
            const std::size_t from = at(f.fromMs), to = at(f.fromMs + f.lengthMs);
            const double reduced = full * c.reducedPercent / 100;
            if (from > 0) {
                EXPECT_NEAR(amplitude(s, 0, from, c.tone, c.rate), full, 2);
            }
            if (to > from) {
                EXPECT_NEAR(amplitude(s, from, to, c.tone, c.rate), reduced, 2);
            }
            // MSF's bit B: on again for 0.1 s, then off for 0.1 s.
            const bool bitB = std::string(f.name) == "msf-01";
            if (bitB) {
                EXPECT_NEAR(amplitude(s, at(100), at(200), c.tone, c.rate), full, 2);
                EXPECT_NEAR(amplitude(s, at(200), at(300), c.tone, c.rate), reduced, 2);
            }
            const std::size_t on = bitB ? at(300) : to;
            if (on < c.rate) {
                EXPECT_NEAR(amplitude(s, on, c.rate, c.tone, c.rate), full, 2);
            }
        }
        if (!c.files.empty()) {
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                                    std::filesystem::directory_iterator()),
                      static_cast<long>(c.files.size()))
                << "one file for each kind of second, and nothing else";
            continue;
        }
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
        tools::GraphTimeline timeline;
        for (std::size_t i = 0; i < c.callbacks.size(); ++i) {
            const auto& cb = c.callbacks[i];
            const auto step = timeline.next(cb.ticks, 0, cb.frames, 480000);
            EXPECT_EQ(step.lost, cb.lost) << c.what << ", callback " << i;
            EXPECT_EQ(step.place, cb.place) << c.what << ", callback " << i;
        }
    }
}

namespace {

using timecode::Station;

// Seconds of a station's minutes, each rendered with its set, after the second half of
// `before` and followed by the first half of `after`: a minute starts half a second in.
std::vector<float> render(const timecode::StationMinute& before,
                          const std::vector<timecode::StationMinute>& minutes,
                          const timecode::StationMinute& after, const tools::StationSet& set)
{
    const std::size_t half = tools::sampleRate(set) / 2;
    std::vector<float> out;
    const auto add = [&](const timecode::StationSecond& second, int level, std::size_t from,
                         std::size_t to) {
        const auto s = tools::stationSecondSamples(second, level, set);
        out.insert(out.end(), s.begin() + static_cast<long>(from),
                   s.begin() + static_cast<long>(to));
    };
    add(before.seconds.back(), before.reducedLevelPercent, half, 2 * half);
    for (const auto& m : minutes)
        for (const auto& second : m.seconds) add(second, m.reducedLevelPercent, 0, 2 * half);
    add(after.seconds.front(), after.reducedLevelPercent, 0, half);
    return out;
}

runtime::DateTime at(const char* text)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0;
    std::sscanf(text, "%d-%d-%d %d:%d", &y, &mo, &d, &h, &mi);
    return {y, mo, d, h, mi, 0};
}

std::string text(const runtime::DateTime& t)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute);
    return buffer;
}

}  // namespace

// Two whole minutes of every station, rendered from the encoders and read back by the station
// decoder, at the moments where the calendar or the clock jumps: the times below are worked
// out by hand (DCF77 and MSF frames carry the next minute, across the summer-time change too).
TEST(StationDecoder, ReadsBackTwoRenderedMinutesOfEveryStation)
{
    using timecode::SummerTime;
    struct Case {
        Station station;
        unsigned directRate;
        bool leapSecond;
        const char* first;  // the minute sent first; the second is sent with `secondSummer`
        const char* second;
        SummerTime secondSummer;
        const char* says[2];  // the time each frame carries
        int lengths[2];
        bool summer[2];
    };
    // clang-format off
    const Case cases[] = {
        {Station::Jjy40, 0, false, "2024-02-29 23:59", "2024-03-01 00:00", SummerTime::Auto,
         {"2024-02-29 23:59", "2024-03-01 00:00"}, {60, 60}, {false, false}},
        {Station::Jjy60, 0, false, "2026-12-31 23:59", "2027-01-01 00:00", SummerTime::Auto,
         {"2026-12-31 23:59", "2027-01-01 00:00"}, {60, 60}, {false, false}},
        // Spring: 01:59 CET is followed by 03:00 CEST.
        {Station::Dcf77, 0, false, "2026-03-29 01:59", "2026-03-29 03:00", SummerTime::Auto,
         {"2026-03-29 03:00", "2026-03-29 03:01"}, {60, 60}, {true, true}},
        // Autumn: 02:59 CEST is followed by the second 02:00, in CET.
        {Station::Dcf77, 0, false, "2026-10-25 02:59", "2026-10-25 02:00", SummerTime::Off,
         {"2026-10-25 02:00", "2026-10-25 02:01"}, {60, 60}, {false, false}},
        // The leap second ends the last UTC minute of the year, 00:59 CET.
        {Station::Dcf77, 192000, true, "2017-01-01 00:59", "2017-01-01 01:00", SummerTime::Auto,
         {"2017-01-01 01:00", "2017-01-01 01:01"}, {61, 60}, {false, false}},
        {Station::Msf, 0, false, "2026-03-29 00:59", "2026-03-29 02:00", SummerTime::Auto,
         {"2026-03-29 02:00", "2026-03-29 02:01"}, {60, 60}, {true, true}},
        {Station::Msf, 0, true, "2016-12-31 23:59", "2017-01-01 00:00", SummerTime::Auto,
         {"2017-01-01 00:00", "2017-01-01 00:01"}, {61, 60}, {false, false}},
        {Station::Wwvb, 0, true, "2016-12-31 23:59", "2017-01-01 00:00", SummerTime::Auto,
         {"2016-12-31 23:59", "2017-01-01 00:00"}, {61, 60}, {false, false}},
        {Station::Wwvb, 0, false, "2024-02-29 23:59", "2024-03-01 00:00", SummerTime::Auto,
         {"2024-02-29 23:59", "2024-03-01 00:00"}, {60, 60}, {false, false}},
        // 12:xx goes out as hour 0 with the afternoon bit.
        {Station::Bpc, 0, false, "2024-02-29 11:59", "2024-02-29 12:00", SummerTime::Auto,
         {"2024-02-29 11:59", "2024-02-29 12:00"}, {60, 60}, {false, false}},
        {Station::Bpc, 192000, false, "2026-12-31 23:59", "2027-01-01 00:00", SummerTime::Auto,
         {"2026-12-31 23:59", "2027-01-01 00:00"}, {60, 60}, {false, false}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.station) << " " << c.first);
        const tools::StationSet set{c.station, c.directRate};
        const timecode::MinuteToSend first{at(c.first), SummerTime::Auto, c.leapSecond};
        const timecode::MinuteToSend second{at(c.second), c.secondSummer, c.leapSecond};
        auto before = first, after = second;
        before.time = runtime::addMinutes(first.time, -1);
        after.time = runtime::addMinutes(second.time, 1);
        const std::vector<timecode::StationMinute> minutes = {
            timecode::stationMinute(c.station, first), timecode::stationMinute(c.station, second)};
        const unsigned rate = tools::sampleRate(set);
        const auto samples = render(timecode::stationMinute(c.station, before), minutes,
                                    timecode::stationMinute(c.station, after), set);
        const auto heard = tools::decodeStation(c.station, samples, rate, {rate / 2, {}});
        EXPECT_TRUE(heard.holes.empty()) << heard.holes.size() << " holes";
        ASSERT_EQ(heard.minutes.size(), 2u);
        for (std::size_t k = 0; k < 2; ++k) {
            const auto& m = heard.minutes[k];
            EXPECT_TRUE(m.valid) << m.problem;
            EXPECT_EQ(m.text(), text(k == 0 ? first.time : second.time));
            EXPECT_EQ(text(m.says), c.says[k]);
            EXPECT_EQ(m.length, c.lengths[k]);
            EXPECT_EQ(m.summerTime, c.summer[k]);
            EXPECT_EQ(m.notation, timecode::notation(minutes[k]));
        }
        for (const auto& s : heard.seconds) EXPECT_LE(s.widthErrorMs, 1.0);
    }
}

namespace {

// Frames worked out by hand from the stations' layouts, one character a second, in rows of ten.
// DCF77, sent at 01:59 CET on 29 March 2026: 03:00 CEST, Sunday, summer time announced.
const char* const kDcf77Frame = "0000000000 0000001100 1000000001 1000001001 0111111000 011001001-";
// MSF, sent at 00:59 GMT the same day: 02:00 BST, Sunday, change warned (B53), BST (B58).
const char* const kMsfFrame = "M000000000 0000000001 0011000011 1010010000 0001000000 0003113130";
// WWVB, 23:59 UTC on 29 February 2024: day 060, leap year, DUT1 +0.0, standard time.
const char* const kWwvbFrame = "M10101001M 001000011M 000000110M 000000101M 000000010M 010001000M";
// BPC, 12:00 China time on 29 February 2024 (Thursday): hour 0 with the afternoon bit.
const char* const kBpcFrame = "-0000000103131021201 -1000000102131021201 -2000000102131021201";

std::string compact(std::string rows, std::size_t change = std::string::npos, char to = 0)
{
    rows.erase(std::remove(rows.begin(), rows.end(), ' '), rows.end());
    if (change != std::string::npos) rows[change] = to;
    return rows;
}

// One second as the layouts give it, for the hand-written frames.
timecode::StationSecond secondOf(Station station, char symbol)
{
    const auto from0 = [](int ms) { return timecode::StationSecond{{{0, ms}}}; };
    switch (station) {
    case Station::Dcf77:
        return symbol == '-' ? timecode::StationSecond{} : from0(symbol == '1' ? 200 : 100);
    case Station::Msf:
        if (symbol == 'M') return from0(500);
        if (symbol == '2') return timecode::StationSecond{{{0, 100}, {200, 100}}};
        return from0(symbol == '3' ? 300 : symbol == '1' ? 200 : 100);
    case Station::Wwvb:
        return from0(symbol == 'M' ? 800 : symbol == '1' ? 500 : 200);
    case Station::Bpc:
        return symbol == '-' ? timecode::StationSecond{} : from0((symbol - '0' + 1) * 100);
    default:
        break;
    }
    return {};
}

}  // namespace

// The frame layer on the hand-worked frames, and one fault each: a parity, the minute's mark.
TEST(StationDecoder, DecodesFramesWorkedOutByHand)
{
    struct Case {
        Station station;
        std::string symbols;
        const char* problem;  // empty: valid
        const char* sent;
        const char* says;
    };
    const Case cases[] = {
        {Station::Dcf77, compact(kDcf77Frame), "", "2026-03-29 01:59", "2026-03-29 03:00"},
        {Station::Dcf77, compact(kDcf77Frame, 21, '1'), "minute parity", "", ""},
        {Station::Dcf77, compact(kDcf77Frame, 58, '0'), "date parity", "", ""},
        {Station::Dcf77, compact(kDcf77Frame, 20, '0'), "bit 20 (start of time) is not set", "",
         ""},
        {Station::Dcf77, compact(kDcf77Frame, 59, '0'),
         "no minute mark (a second without reduction) at its end", "", ""},
        {Station::Msf, compact(kMsfFrame), "", "2026-03-29 00:59", "2026-03-29 02:00"},
        {Station::Msf, compact(kMsfFrame, 45, '1'), "time parity", "", ""},
        {Station::Msf, compact(kMsfFrame, 56, '1'), "weekday parity", "", ""},
        {Station::Msf, compact(kMsfFrame, 58, '2'), "bits A 52-59 are not 01111110", "", ""},
        {Station::Msf, compact(kMsfFrame, 0, '0'), "no minute mark in second 0", "", ""},
        {Station::Wwvb, compact(kWwvbFrame), "", "2024-02-29 23:59", "2024-02-29 23:59"},
        {Station::Wwvb, compact(kWwvbFrame, 55, '0'), "leap-year bit does not match the year", "",
         ""},
        {Station::Wwvb, compact(kWwvbFrame, 59, '0'), "marker out of place at second 59", "", ""},
        {Station::Bpc, compact(kBpcFrame), "", "2024-02-29 12:00", "2024-02-29 12:00"},
        {Station::Bpc, compact(kBpcFrame, 25, '1'), "frame 1: time parity", "", ""},
        {Station::Bpc, compact(kBpcFrame, 20, '0'), "no frame start at second 20", "", ""},
        {Station::Bpc, compact(kBpcFrame, 41, '1'), "frame 2 numbered 1", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.symbols);
        const auto m = tools::decodeStationFrame(c.station, c.symbols);
        EXPECT_EQ(m.problem, c.problem);
        EXPECT_EQ(m.valid, *c.problem == '\0');
        if (!m.valid) continue;
        EXPECT_EQ(m.text(), c.sent);
        EXPECT_EQ(text(m.says), c.says);
    }
    // The encoders send the same frames.
    using timecode::stationMinute;
    EXPECT_EQ(timecode::notation(stationMinute(Station::Dcf77, {at("2026-03-29 01:59")})),
              compact(kDcf77Frame));
    EXPECT_EQ(timecode::notation(stationMinute(Station::Msf, {at("2026-03-29 00:59")})),
              compact(kMsfFrame));
    EXPECT_EQ(timecode::notation(stationMinute(Station::Wwvb, {at("2024-02-29 23:59")})),
              compact(kWwvbFrame));
    EXPECT_EQ(timecode::notation(stationMinute(Station::Bpc, {at("2024-02-29 12:00")})),
              compact(kBpcFrame));
}

// The hand-worked frames as sound, twice over, with dropouts: what counts as a hole, and what
// a dropout does to the minutes.
TEST(StationDecoder, CountsDropoutsThatAreNotTheStationsOwnReductions)
{
    struct Case {
        const char* what;
        Station station;
        const char* frame;
        int level;   // the reduced level, percent
        int second;  // of the first minute, where the dropout is; -1: none
        int fromMs, lengthMs;
        float to;  // level in the dropout, a fraction of full
        int holes, valid;
    };
    const Case cases[] = {
        {"clean", Station::Dcf77, kDcf77Frame, 15, -1, 0, 0, 0, 0, 2},
        {"silent in full carrier", Station::Dcf77, kDcf77Frame, 15, 30, 500, 20, 0, 1, 2},
        {"silent in a reduction", Station::Dcf77, kDcf77Frame, 15, 30, 20, 30, 0, 1, 2},
        {"below the reduced level", Station::Dcf77, kDcf77Frame, 15, 30, 20, 30, 0.1f, 1, 2},
        {"at the reduced level", Station::Dcf77, kDcf77Frame, 15, 30, 20, 30, 0.15f, 0, 2},
        {"reduced too long", Station::Dcf77, kDcf77Frame, 15, 30, 0, 350, 0.15f, 1, 1},
        {"a reduction in the last second", Station::Dcf77, kDcf77Frame, 15, 59, 0, 100, 0.15f, 0,
         0},
        {"the off stretches are the signal", Station::Msf, kMsfFrame, 0, -1, 0, 0, 0, 0, 2},
        {"off too long", Station::Msf, kMsfFrame, 0, 12, 0, 400, 0, 1, 1},
        {"off inside full carrier", Station::Msf, kMsfFrame, 0, 12, 600, 50, 0, 1, 2},
        {"silent in a reduction", Station::Wwvb, kWwvbFrame, 14, 3, 100, 10, 0, 1, 2},
        {"a marker lost", Station::Wwvb, kWwvbFrame, 14, 9, 200, 600, 1, 0, 1},
        {"silent in full carrier", Station::Bpc, kBpcFrame, 10, 45, 700, 5, 0, 1, 2},
    };
    const unsigned rate = 48000;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.station) << " " << c.what);
        const std::string symbols = compact(c.frame);
        const tools::StationSet set{c.station, 0};
        std::vector<float> samples;
        // Half a second of the minute's last second, the minute twice, half its first second.
        const auto add = [&](char symbol, std::size_t from, std::size_t to) {
            const auto s = tools::stationSecondSamples(secondOf(c.station, symbol), c.level, set);
            samples.insert(samples.end(), s.begin() + long(from), s.begin() + long(to));
        };
        add(symbols.back(), rate / 2, rate);
        for (int k = 0; k < 2; ++k)
            for (char symbol : symbols) add(symbol, 0, rate);
        add(symbols.front(), 0, rate / 2);
        if (c.second >= 0) {
            const std::size_t from =
                rate / 2 + std::size_t(c.second) * rate + std::size_t(c.fromMs) * rate / 1000;
            // The tone at full level, in phase with the seconds, scaled down to `to`.
            const auto reduced = tools::stationSecondSamples({{{0, 1000}}}, 100, set);
            for (std::size_t n = from; n < from + std::size_t(c.lengthMs) * rate / 1000; ++n)
                samples[n] = reduced[(n - rate / 2) % rate] * c.to;
        }
        const auto heard = tools::decodeStation(c.station, samples, rate, {rate / 2, {}});
        EXPECT_EQ(heard.holes.size(), std::size_t(c.holes));
        int valid = 0;
        for (const auto& m : heard.minutes) valid += m.valid;
        EXPECT_EQ(valid, c.valid);
    }
}

namespace {

void writeWav(const std::string& path, const std::vector<float>& samples, unsigned rate)
{
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    sf_writef_float(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
}

// Status and output of a command.
std::pair<int, std::string> run(const std::string& command)
{
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    std::string output;
    char buffer[256];
    while (p && std::fgets(buffer, sizeof buffer, p)) output += buffer;
    const int status = p ? pclose(p) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

}  // namespace

// pendrel-decode --station on a rendered file (minutes from sample 0) and on a recording with
// its log: the minutes expected, a hole, an edge off its second, and what it refuses.
TEST(StationDecoder, TheDecodeToolChecksRenderedFilesAndRecordings)
{
    using namespace std::chrono;
    const unsigned rate = 48000;
    const std::string wav = testing::TempDir() + "pendrel-station.wav",
                      log = testing::TempDir() + "pendrel-station.log";
    // Three DCF77 minutes across the spring change, and two MSF ones, from sample 0.
    const auto rendered = [&](Station station, const char* first, int count) {
        std::vector<float> out;
        runtime::DateTime t = at(first);
        for (int k = 0; k < count; ++k) {
            const auto m = timecode::stationMinute(station, {t});
            for (const auto& s : m.seconds) {
                const auto second =
                    tools::stationSecondSamples(s, m.reducedLevelPercent, {station, 0});
                out.insert(out.end(), second.begin(), second.end());
            }
            t = runtime::addMinutes(t, 1);
            // The hour that the clocks skip in spring.
            if (station == Station::Dcf77 && t == at("2026-03-29 02:00"))
                t = at("2026-03-29 03:00");
            if (station == Station::Msf && t == at("2026-03-29 01:00")) t = at("2026-03-29 02:00");
        }
        return out;
    };
    const auto dcf77 = rendered(Station::Dcf77, "2026-03-29 01:58", 3);
    auto dropout = dcf77;
    std::fill_n(dropout.begin() + 100 * rate + rate / 2, rate / 100, 0.0f);
    // A recording: the second DCF77 minute starts at 12:58:00 UTC (13:58 CET) by its log, after
    // half a second of the minute before; `late` moves the signal against the log.
    const auto minute = static_cast<double>(
        duration_cast<seconds>((sys_days(2025y / 12 / 31) + 12h + 58min).time_since_epoch())
            .count());
    const auto recording = [&](std::size_t late, bool fromSilence = false) {
        const timecode::MinuteToSend a{at("2025-12-31 13:57")}, b{at("2025-12-31 13:58")};
        auto samples = render(timecode::stationMinute(Station::Dcf77, {at("2025-12-31 13:56")}),
                              {timecode::stationMinute(Station::Dcf77, a),
                               timecode::stationMinute(Station::Dcf77, b)},
                              timecode::stationMinute(Station::Dcf77, {at("2025-12-31 13:59")}),
                              {Station::Dcf77, 0});
        // The transmitter starting at the minute, after the recorder.
        if (fromSilence) std::fill_n(samples.begin(), rate / 2, 0.0f);
        samples.insert(samples.begin(), late, 0.0f);
        std::ofstream times(log);
        times.precision(17);
        for (std::size_t n = 0; n + 480 <= samples.size(); n += 480)
            times << minute - 60.5 + static_cast<double>(n) / rate << ' ' << n << " 480 0\n";
        return samples;
    };
    const struct {
        const char* what;
        std::vector<float> samples;
        bool withLog;
        const char* args;
        int status;
        const char* says;  // in the output
    } cases[] = {
        {"as sent", dcf77, false,
         "--station dcf77 --expect-first '2026-03-29 01:58' --min-minutes 3 --fail-on-holes", 0,
         "minute 2026-03-29 01:59 00000000000000001100100000000110000010010111111000011001001- "
         "valid "
         "(frame 2026-03-29 03:00, CEST, summer-time change announced) at 60.000 s ok"},
        {"another start", dcf77, false, "--station dcf77 --expect-first '2026-03-29 01:57'", 1,
         "WRONG, expected 2026-03-29 01:57"},
        {"too few minutes", dcf77, false, "--station dcf77 --min-minutes 4", 1,
         "FAIL: 3 minutes decoded"},
        {"a dropout", dropout, false, "--station dcf77 --min-minutes 3 --fail-on-holes", 1,
         "FAIL: 1 holes inside the signal"},
        {"the dropout allowed", dropout, false, "--station dcf77 --min-minutes 3", 0,
         "hole at 100.500 s, 10.00 ms"},
        {"the wrong station", dcf77, false, "--station msf --min-minutes 1", 1,
         "minutes decoded 0"},
        {"MSF", rendered(Station::Msf, "2026-03-29 00:59", 2), false,
         "--station msf --expect-first '2026-03-29 00:59' --min-minutes 2 --fail-on-holes", 0,
         "minute 2026-03-29 02:00"},
        {"recorded", recording(0), true,
         "--station dcf77 --expect-shift 3600 --max-edge-ms 2 --fail-on-holes", 0,
         "minute 2025-12-31 13:58"},
        {"recorded from the transmitter's start", recording(0, true), true,
         "--station dcf77 --expect-shift 3600 --min-minutes 2 --max-edge-ms 2 --fail-on-holes", 0,
         "minute 2025-12-31 13:57 "},
        {"recorded 5 ms late", recording(240), true,
         "--station dcf77 --expect-shift 3600 --max-edge-ms 2", 1,
         "FAIL: edge +5.000 ms off its second at 2025-12-31 12:57:01.005"},
        {"in the wrong zone", recording(0), true, "--station dcf77 --expect-shift 7200", 1,
         "WRONG, expected 2025-12-31 14:58"},
        {"no such station", dcf77, false, "--station dcf78", 2, "not \"dcf78\""},
        {"no such day", dcf77, false, "--station dcf77 --expect-first '2026-02-30 10:00'", 2,
         "--expect-first takes"},
        {"a JJY option", dcf77, false, "--station dcf77 --tone-db 15500", 2, "not for --station"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeWav(wav, c.samples, rate);
        const auto [status, output] = run(std::string("'") + PENDREL_DECODE + "' " + c.args + " '" +
                                          wav + "'" + (c.withLog ? " '" + log + "'" : ""));
        EXPECT_EQ(status, c.status) << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << output;
    }
    std::filesystem::remove(wav);
    std::filesystem::remove(log);
}
