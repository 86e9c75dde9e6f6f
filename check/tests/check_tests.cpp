// pendrel-check without a sound server: the command line, the minute each recorded minute must
// carry, and what a run's figures tell the user.

#include "check/check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using check::Server;

TEST(CheckOptions, ParsesWhatTheHelpNamesAndRefusesTheRestInOneLine)
{
    check::Options defaults;
    auto with = [](auto change) {
        check::Options o;
        change(o);
        return o;
    };
    const struct {
        std::vector<std::string> args;
        check::Options expected;
        std::string error;  // a part of the message; empty when the line is good
    } cases[] = {
        {{}, defaults, ""},
        {{"--minutes", "1"}, with([](auto& o) { o.minutes = 1; }), ""},
        {{"--minutes=10"}, with([](auto& o) { o.minutes = 10; }), ""},
        {{"--settings", "/tmp/x/setting.ini", "--sink", "alsa_output.pci"},
         with([](auto& o) { o.settingsPath = "/tmp/x/setting.ini", o.sink = "alsa_output.pci"; }),
         ""},
        {{"--server", "pipewire"}, with([](auto& o) { o.server = Server::PipeWire; }), ""},
        {{"--server=pulseaudio", "-h"},
         with([](auto& o) { o.server = Server::PulseAudio, o.help = true; }),
         ""},
        {{"--minutes", "0"}, defaults, "1 to 10, not \"0\""},
        {{"--minutes", "11"}, defaults, "1 to 10"},
        {{"--minutes", "2x"}, defaults, "not \"2x\""},
        {{"--minutes", ""}, defaults, "1 to 10"},
        {{"--minutes"}, defaults, "--minutes needs a value"},
        {{"--settings"}, defaults, "--settings needs a value"},
        {{"--settings="}, defaults, "--settings needs a file name"},
        {{"--server", "jack"}, defaults, "pulseaudio or pipewire, not \"jack\""},
        {{"--seconds", "5"}, defaults, "unknown option \"--seconds\""},
        {{"setting.ini"}, defaults, "unknown option \"setting.ini\""},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        const auto parsed = check::parseOptions(c.args);
        if (c.error.empty()) {
            EXPECT_EQ(parsed.error, "") << line;
            EXPECT_EQ(parsed.options, c.expected) << line;
        } else {
            EXPECT_NE(parsed.error.find(c.error), std::string::npos)
                << line << "-> " << parsed.error;
            EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << line;
        }
    }
}

// Worked out by hand: the weekday of each expected day from a calendar (0 = Sunday).
TEST(CheckMinutes, EachMinuteMustCarryTheLocalTimeMovedByTheAdvances)
{
    const struct {
        const char* what;
        runtime::DateTime heard;
        check::Advances advances;
        check::SentMinute sent;
        bool matches;
        long offMinutes;
    } cases[] = {
        {"no advances", {2026, 12, 9, 17, 5, 0}, {}, {2026, 12, 9, 17, 5, 3}, true, 0},
        {"across the year", {2026, 12, 31, 23, 59, 0}, {0, 0, 1}, {2027, 1, 1, 0, 0, 5}, true, 0},
        {"days, hours and minutes",
         {2026, 12, 9, 17, 5, 0},
         {2, -5, 17},
         {2026, 12, 11, 12, 22, 5},
         true,
         0},
        {"into a leap day", {2028, 2, 28, 23, 30, 0}, {0, 1, 0}, {2028, 2, 29, 0, 30, 2}, true, 0},
        {"advances not applied",
         {2026, 12, 9, 17, 5, 0},
         {0, 9, 0},
         {2026, 12, 9, 17, 5, 3},
         false,
         -540},
        {"a clock in UTC, not in Japan",
         {2026, 12, 9, 8, 5, 0},
         {},
         {2026, 12, 9, 17, 5, 3},
         false,
         540},
        {"a day behind", {2026, 12, 9, 17, 5, 0}, {1, 0, 0}, {2026, 12, 9, 17, 5, 3}, false, -1440},
        {"a minute late", {2026, 12, 9, 17, 5, 0}, {}, {2026, 12, 9, 17, 6, 3}, false, 1},
        {"the wrong weekday", {2026, 12, 9, 17, 5, 0}, {}, {2026, 12, 9, 17, 5, 4}, false, 0},
    };
    for (const auto& c : cases) {
        const auto got = check::compareMinute(c.sent, c.heard, c.advances);
        EXPECT_EQ(got.matches, c.matches) << c.what;
        EXPECT_EQ(got.offMinutes, c.offMinutes) << c.what;
    }
}

// A run that went right, changed one way at a time.
check::Findings rightRun()
{
    check::Findings f;
    f.wholeMinutes = f.decoded = f.matching = 2;
    f.pulses = 122;
    f.edgeMedianMs = 0.4;
    f.edgeMaxMs = 1.1;
    f.worstWidthMs = 0.3;
    f.peakDb = -0.2;
    f.toneHz = 40000.0 / 3;
    f.toneDb = -0.3;
    f.outputRate = 48000;
    f.muted = false;
    f.volumePercent = 100;
    f.pendrelPlaying = true;
    return f;
}

TEST(CheckVerdict, PassesOnlyWholeRightMinutesAndGivesOneLineForEachProblem)
{
    const auto silent = [](check::Findings& f) {
        f.pulses = 0, f.decoded = f.matching = f.wholeMinutes = 0, f.toneDb = f.peakDb = -200;
    };
    const struct {
        const char* what;
        void (*change)(check::Findings&);
        bool pass;
        std::vector<std::string> advice;  // a part of each line, in order
    } cases[] = {
        {"right", [](check::Findings&) {}, true, {}},
        {"muted",
         [](check::Findings& f) { f.pulses = 0, f.decoded = f.matching = 0, f.muted = true; },
         false,
         {"muted"}},
        {"not transmitting",
         [](check::Findings& f) {
             f.pulses = 0, f.decoded = f.matching = 0, f.pendrelPlaying = false, f.peakDb = -200;
         },
         false,
         {"Pendrel is not transmitting"}},
        {"silent at zero volume",
         [](check::Findings& f) { f.pulses = 0, f.decoded = f.matching = 0, f.volumePercent = 0; },
         false,
         {"silent"}},
        {"silent, the server saying nothing of the streams",
         [](check::Findings& f) {
             f.pulses = 0, f.decoded = f.matching = 0, f.pendrelPlaying.reset(), f.peakDb = -200;
         },
         false,
         {"The output is silent: check that Pendrel transmits"}},
        {"other sound only",
         [](check::Findings& f) { f.pulses = 0, f.decoded = f.matching = 0, f.peakDb = -10; },
         false,
         {"no pulse a second"}},
        {"muted, the monitor still hearing it",
         [](check::Findings& f) { f.muted = true; },
         false,
         {"muted"}},
        {"quiet but right",
         [](check::Findings& f) { f.toneDb = -14; },
         true,
         {"quiet (-14.0 dBFS)"}},
        {"a dropout",
         [](check::Findings& f) { f.holes = 1, f.longestHoleMs = 21.3; },
         false,
         {"dropped out 1 time(s), the longest 21.3 ms"}},
        {"hours off",
         [](check::Findings& f) { f.matching = 0, f.offMinutes = -540; },
         false,
         {"differs: it is 9 h behind the time Pendrel should send; check the advances"}},
        {"days, hours and minutes off",
         [](check::Findings& f) { f.matching = 1, f.offMinutes = 2597; },
         false,
         {"it is 1 d 19 h 17 min ahead of"}},
        {"one of two minutes unreadable",
         [](check::Findings& f) { f.decoded = f.matching = 1; },
         false,
         {"could not be read"}},
        {"a direct set on a 48 kHz output",
         [](check::Findings& f) {
             f.pulses = 0, f.decoded = f.matching = 0, f.toneHz = 40000, f.peakDb = -30;
         },
         false,
         {"48000 Hz, too slow for the 40000 Hz tone"}},
        {"late through Bluetooth",
         [](check::Findings& f) { f.edgeMedianMs = 180; },
         true,
         {"180 ms off"}},
        {"stopped before a minute",
         [](check::Findings& f) {
             f.wholeMinutes = f.decoded = f.matching = 0, f.interrupted = true;
         },
         false,
         {"Stopped before a whole minute"}},
        {"stopped after a right minute",
         [](check::Findings& f) {
             f.wholeMinutes = f.decoded = f.matching = 1, f.interrupted = true;
         },
         true,
         {}},
        {"silent while Pendrel plays", silent, false, {"The output is silent"}},
    };
    for (const auto& c : cases) {
        auto f = rightRun();
        c.change(f);
        const auto v = check::judge(f);
        EXPECT_EQ(v.pass, c.pass) << c.what;
        ASSERT_EQ(v.advice.size(), c.advice.size())
            << c.what << ": " << (v.advice.empty() ? "" : v.advice[0]);
        for (std::size_t i = 0; i < c.advice.size(); ++i) {
            EXPECT_NE(v.advice[i].find(c.advice[i]), std::string::npos)
                << c.what << ": " << v.advice[i];
            EXPECT_EQ(v.advice[i].find('\n'), std::string::npos) << c.what;
        }
    }
}

}  // namespace
