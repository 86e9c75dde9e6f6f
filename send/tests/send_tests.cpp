#include "send/plan.h"
#include "send/sender.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono;
using runtime::DateTime;
using timecode::Station;
using timecode::SummerTime;

std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> out;
    std::string word;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        else if (c == ' ' && !quoted) {
            if (!word.empty()) out.push_back(word);
            word.clear();
        } else word += c;
    }
    if (!word.empty()) out.push_back(word);
    return out;
}

// Command lines refused with a one-line reason that names the fault, and those read as meant.
TEST(SendOptions, BadLinesAreRefusedAndGoodOnesRead)
{
    using O = const send::Options&;
    const struct {
        const char* line;
        const char* error;  // a part of the reason; empty: accepted and `check` holds
        bool (*check)(O);
    } cases[] = {
        {"", "--station is missing", {}},
        {"--station dcf", "not a station", {}},
        {"--station jjy40 --for", "needs a value", {}},
        {"--station jjy40 --for 0s", "--for 0s", {}},
        {"--station jjy40 --for -5m", "--for -5m", {}},
        {"--station jjy40 --for 367d", "--for 367d", {}},
        {"--station jjy40 --until 5:00", "--until 5:00", {}},
        {"--station jjy40 --until 24:00", "--until 24:00", {}},
        {"--station jjy40 --for 10m --until 05:00", "give one of them", {}},
        {"--station jjy40 --days 40000", "--days 40000", {}},
        {"--station jjy40 --days 1 --settings s/setting.ini", "give one of them", {}},
        {"--station jjy40 --summer maybe", "on, off or auto", {}},
        {"--station jjy40 --clock-zone -05:00", "for wwvb", {}},
        {"--station wwvb --clock-zone +15:00", "--clock-zone +15:00", {}},
        {"--station wwvb --clock-zone +05:60", "--clock-zone +05:60", {}},
        {"--station jjy40 --rate 192000", "give --direct", {}},
        {"--station jjy60 --direct --rate 96000", "--direct", {}},
        {"--station jjy40 --at \"2026-01-01 00:00\"", "--wav", {}},
        {"--station jjy40 --wav a.wav --at \"2026-02-30 00:00\"", "--at", {}},
        {"--station jjy40 --wav a.wav --until 05:00", "--until is for sending live", {}},
        {"--station jjy60 --direct --wav a.wav --for 4h", "at most 11184 s at 192000 Hz", {}},
        {"--station jjy40 --fast", "unknown option", {}},
        {"--station msf", "", [](O o) { return o.station == Station::Msf && !o.length && !o.until; }},
        {"--station jjy60 --direct", "", [](O o) { return o.directRate == 192000; }},
        {"--station jjy40 --direct", "", [](O o) { return o.directRate == 96000; }},
        {"--station bpc --for 10m", "", [](O o) { return o.length == minutes(10); }},
        {"--station bpc --for 45", "", [](O o) { return o.length == seconds(45); }},
        {"--station bpc --wav a.wav --for 12h", "", [](O o) { return o.length == hours(12); }},
        {"--station dcf77 --until 00:05", "", [](O o) { return o.until == minutes(5); }},
        {"--station jjy40 --days -1 --hours +2 --minutes -30", "",
         [](O o) { return o.days == -1 && o.hours == 2 && o.minutes == -30; }},
        {"--station dcf77 --summer off", "", [](O o) { return o.summer == SummerTime::Off; }},
        {"--station wwvb --clock-zone -03:30", "", [](O o) { return o.clockZoneMinutes == -210; }},
        {"--station wwvb --wav a.wav --at \"2024-02-29 23:59\"", "",
         [](O o) { return o.wavPath == "a.wav" && o.at == DateTime{2024, 2, 29, 23, 59, 0}; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const send::Parsed p = send::parseOptions(words(c.line));
        if (*c.error) {
            EXPECT_NE(p.error.find(c.error), std::string::npos) << p.error;
            EXPECT_EQ(p.error.find('\n'), std::string::npos);
        } else {
            EXPECT_EQ(p.error, "");
            EXPECT_TRUE(c.check(p.options));
        }
    }
}

// The UTC a WWVB clock needs to show a time, worked out by hand for New York (-05:00) in 2026:
// summer time from 8 March 02:00 to 1 November 02:00.
TEST(SendPlan, WwvbSendsTheUtcThatMakesTheClockShowTheTime)
{
    const struct {
        DateTime shown;
        int offset;
        SummerTime summer;
        DateTime utc;
    } cases[] = {
        {{2026, 1, 15, 12, 0, 0}, -300, SummerTime::Auto, {2026, 1, 15, 17, 0, 0}},
        {{2026, 7, 15, 12, 0, 0}, -300, SummerTime::Auto, {2026, 7, 15, 16, 0, 0}},
        {{2026, 3, 8, 1, 59, 0}, -300, SummerTime::Auto, {2026, 3, 8, 6, 59, 0}},
        {{2026, 3, 8, 3, 0, 0}, -300, SummerTime::Auto, {2026, 3, 8, 7, 0, 0}},
        {{2026, 3, 8, 2, 30, 0}, -300, SummerTime::Auto, {2026, 3, 8, 7, 30, 0}},  // skipped hour
        {{2026, 11, 1, 1, 30, 0}, -300, SummerTime::Auto, {2026, 11, 1, 5, 30, 0}},  // first pass
        {{2026, 11, 1, 2, 30, 0}, -300, SummerTime::Auto, {2026, 11, 1, 7, 30, 0}},
        {{2026, 1, 15, 12, 0, 0}, -300, SummerTime::On, {2026, 1, 15, 16, 0, 0}},
        {{2026, 7, 15, 12, 0, 0}, -300, SummerTime::Off, {2026, 7, 15, 17, 0, 0}},
        {{2026, 12, 31, 20, 0, 0}, -480, SummerTime::Auto, {2027, 1, 1, 4, 0, 0}},
        {{2026, 1, 1, 8, 0, 0}, 540, SummerTime::Off, {2025, 12, 31, 23, 0, 0}},
        {{2026, 1, 1, 0, 15, 0}, -210, SummerTime::Auto, {2026, 1, 1, 3, 45, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(runtime::format(c.shown, "yyyy/mm/dd hh:mm") + " " + std::to_string(c.offset));
        EXPECT_EQ(send::wwvbUtcFor(c.shown, c.offset, c.summer), c.utc);
    }
}

// The zone's standard offset is the smaller of its January and July offsets, north or south.
TEST(SendPlan, StandardOffsetOfThePcZone)
{
    const struct {
        long january, july;  // seconds east of UTC
        int standard;        // minutes
    } cases[] = {{-18000, -14400, -300}, {39600, 36000, 600}, {20700, 20700, 345}, {0, 0, 0}};
    for (const auto& c : cases) {
        const auto offsetAt = [&](std::time_t t) {
            std::tm utc{};
            gmtime_r(&t, &utc);
            return utc.tm_mon == 0 ? c.january : c.july;
        };
        EXPECT_EQ(send::standardOffsetMinutes(2026, offsetAt), c.standard);
    }
}

runtime::LocalTime at(const DateTime& dt, milliseconds fraction = {})
{
    return runtime::toLocalTime(dt) + fraction;
}

// The first minute after a reading, what it sends, and where a run ends.
TEST(SendPlan, FirstMinuteAndItsTimeAndTheEnd)
{
    const struct {
        const char* name;
        runtime::LocalTime now;
        send::TimePlan plan;
        DateTime first;  // on the PC clock
        DateTime shown;
        DateTime sent;
        SummerTime summer;
    } cases[] = {
        {"JJY over the new year, a day ahead", at({2026, 12, 31, 23, 59, 58}, 500ms),
         {Station::Jjy40, 1, 0, 0, SummerTime::Auto, 0},
         {2027, 1, 1, 0, 0, 0}, {2027, 1, 2, 0, 0, 0}, {2027, 1, 2, 0, 0, 0}, SummerTime::Auto},
        {"on a boundary: that minute", at({2026, 6, 1, 12, 0, 0}),
         {Station::Dcf77, 0, -2, 5, SummerTime::On, 0},
         {2026, 6, 1, 12, 0, 0}, {2026, 6, 1, 10, 5, 0}, {2026, 6, 1, 10, 5, 0}, SummerTime::On},
        {"WWVB for a clock in Denver", at({2026, 2, 28, 23, 59, 59}, 999ms),
         {Station::Wwvb, 0, 0, 0, SummerTime::Auto, -420},
         {2026, 3, 1, 0, 0, 0}, {2026, 3, 1, 0, 0, 0}, {2026, 3, 1, 7, 0, 0}, SummerTime::Auto},
        {"MSF going back an hour", at({2026, 3, 29, 1, 30, 1}),
         {Station::Msf, 0, -1, 0, SummerTime::Auto, 0},
         {2026, 3, 29, 1, 31, 0}, {2026, 3, 29, 0, 31, 0}, {2026, 3, 29, 0, 31, 0}, SummerTime::Auto},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const runtime::LocalTime first = send::firstMinute(c.now);
        EXPECT_EQ(runtime::toDateTime(first), c.first);
        const send::PlannedMinute m = send::planMinute(c.plan, runtime::toDateTime(first));
        EXPECT_EQ(m.shown, c.shown);
        EXPECT_EQ(m.toSend.time, c.sent);
        EXPECT_EQ(m.toSend.summerTime, c.summer);
    }

    const auto endOf = [](const char* line, runtime::LocalTime start) {
        return send::liveEnd(send::parseOptions(words(line)).options, start);
    };
    EXPECT_EQ(endOf("--station jjy40", at({2026, 1, 1, 12, 0, 0})), std::nullopt);
    EXPECT_EQ(endOf("--station jjy40 --for 90s", at({2026, 1, 1, 12, 0, 0}, 300ms)),
              at({2026, 1, 1, 12, 1, 31}));
    EXPECT_EQ(endOf("--station jjy40 --until 05:00", at({2026, 12, 31, 23, 10, 0})),
              at({2027, 1, 1, 5, 0, 0}));
    EXPECT_EQ(endOf("--station jjy40 --until 05:00", at({2026, 1, 1, 4, 59, 59}, 900ms)),
              at({2026, 1, 1, 5, 0, 0}));
    EXPECT_EQ(endOf("--station jjy40 --until 05:00", at({2026, 1, 1, 5, 0, 0})),
              at({2026, 1, 2, 5, 0, 0}));
}

// --- The live loop on a fake clock ----------------------------------------------------------

struct Play {
    DateTime label;  // the second of the lead clock it was handed over for
    std::string name;
    microseconds late;
};

class FakeOutput final : public platform::SoundOutput {
public:
    explicit FakeOutput(runtime::FakeClock& clock) : m_clock(clock) {}
    void play(const std::string& path, microseconds late) override
    {
        plays.push_back({runtime::toDateTime(m_clock.now()), path, late});
    }
    microseconds lead() const override { return milliseconds(1250); }
    void setTransmitting(bool on) override { switches.push_back(on); }
    platform::SoundStatus status() const override { return {"Fake", true, true, "null", {}, 48000, 48000, 15500}; }

    std::vector<Play> plays;
    std::vector<bool> switches;

private:
    runtime::FakeClock& m_clock;
};

// Sleeps by moving the clock a little past what it was asked (a timer is never early); at
// `jumpAt` the clock jumps (a stall, or the PC clock set back); says stop from `stopAt` on.
class FakeWaiter final : public send::Waiter {
public:
    explicit FakeWaiter(runtime::FakeClock& clock) : m_clock(clock) {}
    bool waitFor(microseconds d) override
    {
        m_clock.advance(d + microseconds(150));
        if (jumpAt && m_clock.now() >= *jumpAt) {
            m_clock.advance(jump);
            jumpAt.reset();
        }
        return !stopAt || m_clock.now() < *stopAt;
    }
    std::optional<runtime::LocalTime> jumpAt, stopAt;
    microseconds jump{};

private:
    runtime::FakeClock& m_clock;
};

class Events final : public send::SendEvents {
public:
    void prepare(const timecode::StationMinute& minute) override
    {
        for (const auto& s : minute.seconds) prepared.push_back(send::soundName(s));
    }
    void minuteStarts(const send::PlannedMinute& planned, const timecode::StationMinute&) override
    {
        minutes.push_back(planned.toSend.time);
    }
    void secondSent(int, std::optional<seconds> left) override { lastLeft = left; }
    void status(const platform::SoundStatus&, runtime::LocalTime) override { ++statuses; }

    std::vector<std::string> prepared;
    std::vector<DateTime> minutes;
    std::optional<seconds> lastLeft;
    int statuses = 0;
};

// A run across midnight on New Year's Eve: it starts at the minute boundary, plays each second
// once just after its boundary with what it was late by, prepares every sound before its play,
// goes on at the second the clock shows after a stall or a step back, and ends when the last
// second has been heard.
TEST(SendLive, PlaysEverySecondFromTheMinuteOnToTheEnd)
{
    const struct {
        const char* name;
        Station station;
        microseconds jump;  // at 00:00:20.0
        std::optional<DateTime> stopAt;
        std::size_t plays;
        microseconds mostLate;
    } cases[] = {
        {"to the end", Station::Dcf77, {}, {}, 90, 1ms},
        {"a stall of 2.4 s", Station::Bpc, 2400ms, {}, 88, 401ms},
        {"set back an hour", Station::Wwvb, -hours(1), {}, 20 + 3670, 1ms},
        {"stopped", Station::Msf, {}, DateTime{2027, 1, 1, 0, 0, 30}, 30, 1ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        runtime::FakeClock clock(at({2026, 12, 31, 23, 59, 41}, 700ms));
        FakeOutput output(clock);
        FakeWaiter waiter(clock);
        if (c.jump.count()) waiter.jumpAt = at({2027, 1, 1, 0, 0, 20}), waiter.jump = c.jump;
        if (c.stopAt) waiter.stopAt = at(*c.stopAt);
        Events events;
        const runtime::LocalTime end = at({2027, 1, 1, 0, 1, 30});
        const send::RunEnd how = send::sendLive({c.station}, end, clock, waiter, output, events);
        EXPECT_EQ(how, c.stopAt ? send::RunEnd::Stopped : send::RunEnd::Finished);

        // Finished: the silence on the end boundary, after the last second.
        if (!c.stopAt) {
            ASSERT_FALSE(output.plays.empty());
            EXPECT_EQ(output.plays.back().name, send::kSilence);
            EXPECT_EQ(output.plays.back().label, (DateTime{2027, 1, 1, 0, 1, 30}));
            output.plays.pop_back();
        }
        ASSERT_EQ(output.plays.size(), c.plays);
        EXPECT_EQ(output.plays.front().label, (DateTime{2027, 1, 1, 0, 0, 0}));
        EXPECT_EQ(output.switches, (std::vector<bool>{true, false}));
        EXPECT_EQ(events.statuses, static_cast<int>(c.plays));
        for (std::size_t i = 0; i < output.plays.size(); ++i) {
            const Play& p = output.plays[i];
            EXPECT_NE(std::find(events.prepared.begin(), events.prepared.end(), p.name), events.prepared.end());
            EXPECT_TRUE(p.late >= microseconds(0) && p.late < c.mostLate) << i << " " << p.late.count();
            if (i > 0 && c.jump >= microseconds(0)) {
                EXPECT_GT(runtime::toLocalTime(p.label), runtime::toLocalTime(output.plays[i - 1].label));
            }
        }
        if (!c.stopAt) {
            EXPECT_EQ(output.plays.back().label, (DateTime{2027, 1, 1, 0, 1, 29}));
            EXPECT_GE(clock.now(), end + milliseconds(1350));  // the silence heard
            EXPECT_EQ(events.lastLeft, seconds(0));
        }
        if (c.jump < microseconds(0)) {
            EXPECT_EQ(output.plays[20].label, (DateTime{2026, 12, 31, 23, 0, 20}));
            EXPECT_EQ(events.minutes.at(1), (DateTime{2026, 12, 31, 23, 1, 0}));
        }
    }

    // An end before the first minute: nothing to play, and nothing to wait for.
    runtime::FakeClock clock(at({2026, 12, 31, 23, 59, 41}, 700ms));
    FakeOutput output(clock);
    FakeWaiter waiter(clock);
    Events events;
    EXPECT_EQ(send::sendLive({}, at({2026, 12, 31, 23, 59, 50}), clock, waiter, output, events),
              send::RunEnd::Finished);
    EXPECT_TRUE(output.plays.empty());
    EXPECT_LT(clock.now(), at({2026, 12, 31, 23, 59, 50}));
}

// The sound output's state, as the terminal is told it: after two seconds, once, and its end;
// the way out (a mute, a Bluetooth device) as a signal that may not reach the clock.
TEST(SendLive, TroubleIsToldOnceAfterTwoSecondsAndItsEndOnce)
{
    const platform::SoundStatus good{"PulseAudio", true, true, "Speakers", {}, 48000, 48000, 13333};
    platform::SoundStatus gone = good;
    gone.serverReachable = false;
    platform::SoundStatus slow = good;
    slow.carrierHz = 40000;
    platform::SoundStatus muted = good;
    muted.route.known = true;
    muted.route.device = "Speakers";
    muted.route.deviceMuted = true;
    platform::SoundStatus bluetooth = good;
    bluetooth.route.known = true;
    bluetooth.route.device = "Headset";
    bluetooth.route.kind = platform::SoundRoute::Kind::Bluetooth;
    const struct {
        const platform::SoundStatus* status;
        const char* told;  // a part of the one line told; empty: nothing
    } steps[] = {
        {&good, ""}, {&gone, ""}, {&gone, ""}, {&gone, "cannot reach the sound server (PulseAudio)"},
        {&gone, ""}, {&good, "goes out again (Speakers)"}, {&good, ""}, {&slow, ""}, {&slow, ""},
        {&slow, "48000 Hz, too slow for the 40000 Hz tone"}, {&slow, ""}, {&good, "goes out again"},
        {&muted, ""}, {&muted, ""}, {&muted, "may not reach the clock: the output \"Speakers\" is muted"},
        {&bluetooth, "is Bluetooth, which does not carry the tone"},  // within the episode: at once
    };
    send::TroubleWatch watch;
    runtime::LocalTime now = at({2026, 1, 1, 0, 0, 0});
    for (std::size_t i = 0; i < std::size(steps); ++i, now += seconds(1)) {
        SCOPED_TRACE(i);
        const auto lines = watch.look(*steps[i].status, now);
        if (!*steps[i].told) {
            EXPECT_TRUE(lines.empty()) << lines.front();
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find(steps[i].told), std::string::npos) << lines[0];
        }
    }
    EXPECT_TRUE(watch.everTold());

    // A signal that goes out all along was never in trouble, whatever the way out.
    send::TroubleWatch wayOutOnly;
    for (int i = 0; i < 4; ++i, now += seconds(1)) wayOutOnly.look(muted, now);
    EXPECT_FALSE(wayOutOnly.everTold());
}

}  // namespace
