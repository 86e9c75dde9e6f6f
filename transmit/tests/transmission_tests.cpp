#include "transmit/transmission.h"
#include "transmit/wake_plan.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using runtime::DateTime;
using runtime::LocalTime;
using transmit::TimerId;

const std::string kFolder = "/opt/pendrel";

LocalTime at(const DateTime& dt, std::chrono::microseconds fraction = 0us)
{
    return runtime::toLocalTime(dt) + fraction;
}

std::string timerName(TimerId id)
{
    switch (id) {
    case TimerId::Timer1:
        return "Timer1";
    case TimerId::timTokei:
        return "timTokei";
    case TimerId::timFlashIndicator:
        return "timFlashIndicator";
    }
    return "?";
}

struct Play {
    LocalTime at;
    std::string path;
    bool operator==(const Play&) const = default;
};

void PrintTo(const Play& p, std::ostream* os)
{
    const DateTime dt = runtime::toDateTime(p.at);
    const auto us = (p.at - runtime::toLocalTime(dt)).count();
    *os << runtime::format(dt, "yyyy/mm/dd hh:mm:ss") << "+" << us << "us " << p.path;
}

// The window as the transmission sees it. Every sleep moves the fake clock on by 1 ms and then
// runs what the test scripted for the event processing.
class FakeHost final : public transmit::Host {
public:
    FakeHost(runtime::FakeClock& clock, std::vector<std::string>& log) : m_clock(clock), m_log(log)
    {
    }

    void setTimerEnabled(TimerId timer, bool on) override
    {
        timers[timer] = on;
        m_log.push_back(timerName(timer) + (on ? " on" : " off"));
    }
    void setIndicatorColour(std::uint32_t c) override
    {
        colour = c;
        m_log.push_back("colour " + std::to_string(c));
    }
    void refreshAt(runtime::LocalTime boundary) override
    {
        m_log.push_back("refresh");
        boundaries.push_back(boundary);
    }
    void sleepAndProcessEvents() override
    {
        ++sleeps;
        m_clock.advance(1ms);
        if (onEvents)
            onEvents();
    }

    std::map<TimerId, bool> timers{
        {TimerId::Timer1, false}, {TimerId::timTokei, true}, {TimerId::timFlashIndicator, false}};
    std::uint32_t colour = display::kDarkRed;
    std::vector<runtime::LocalTime> boundaries;
    long sleeps = 0;
    std::function<void()> onEvents;

private:
    runtime::FakeClock& m_clock;
    std::vector<std::string>& m_log;
};

class FakeSound final : public platform::SoundOutput {
public:
    FakeSound(runtime::FakeClock& clock, std::vector<std::string>& log) : m_clock(clock), m_log(log)
    {
    }
    void play(const std::string& path, std::chrono::microseconds late) override
    {
        plays.push_back({m_clock.now(), path});
        lates.push_back(late);
        m_log.push_back("play " + path);
    }
    std::vector<Play> plays;
    std::vector<std::chrono::microseconds> lates;

private:
    runtime::FakeClock& m_clock;
    std::vector<std::string>& m_log;
};

// A transmission in a fake window, with the window's transmit switch and event loop.
struct Rig {
    explicit Rig(LocalTime start) : clock(start) {}

    bool on(TimerId t) { return host.timers[t]; }

    void switchOn()
    {
        tx->setStopFlag(0);
        tx->startminute();
    }
    void switchOff()
    {
        host.setTimerEnabled(TimerId::Timer1, false);
        host.setTimerEnabled(TimerId::timTokei, true);
        host.setTimerEnabled(TimerId::timFlashIndicator, false);
        host.setIndicatorColour(display::kDarkRed);
        tx->setStopFlag(-1);
    }

    // The event loop: Timer1 ticks once per millisecond while it is on, at once again after a
    // tick that took time (one that waited for the next minute).
    void runUntil(LocalTime end)
    {
        while (clock.now() < end) {
            const LocalTime before = clock.now();
            if (on(TimerId::Timer1))
                tx->timer1Tick();
            if (clock.now() == before)
                clock.advance(1ms);
        }
    }

    std::vector<std::string> log;
    runtime::FakeClock clock;
    FakeHost host{clock, log};
    FakeSound sound{clock, log};
    transmit::Advances advances;
    std::unique_ptr<transmit::Transmission> tx =
        std::make_unique<transmit::Transmission>(clock, host, sound, kFolder, advances);
};

std::string pulsePath(timecode::PulseKind kind)
{
    static const char* const names[] = {"/200ms.wav", "/500ms.wav", "/800ms.wav"};
    return kFolder + names[static_cast<std::size_t>(kind)];
}

// The plays a correct transmission makes from second `from` of `minute` on, `count` seconds,
// each at the start of its second.
std::vector<Play> expectedPlays(DateTime minute, int from, int count)
{
    std::vector<Play> plays;
    for (int i = 0; i < count; ++i) {
        const DateTime sec = runtime::addMinutes(minute, (from + i) / 60);
        const int s = (from + i) % 60;
        const timecode::Frame frame = timecode::timecode(sec);
        plays.push_back({at({sec.year, sec.month, sec.day, sec.hour, sec.minute, s}),
                         pulsePath(frame[static_cast<std::size_t>(s)])});
    }
    return plays;
}

// Every pulse starts on its second's boundary; a minute's first one may come the few
// milliseconds late that the start gate takes to open.
void expectPlaysOnTime(const std::vector<Play>& actual, const std::vector<Play>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE(testing::PrintToString(expected[i]));
        EXPECT_EQ(actual[i].path, expected[i].path);
        const auto late = actual[i].at - expected[i].at;
        if (runtime::toDateTime(expected[i].at).second == 0) {
            EXPECT_GE(late, 0us);
            EXPECT_LT(late, 10ms);
        } else {
            EXPECT_EQ(late, 0us);
        }
    }
}

// The start gate on the seconds-since-midnight counter, each case the first poll of a wait that
// is switched off if that poll does not start the minute.
TEST(StartMinute, StartGate)
{
    struct Case {
        DateTime time;
        std::chrono::microseconds fraction;
        bool opens;
    };
    const std::vector<Case> cases = {
        {{2024, 5, 1, 12, 0, 0}, 30000us, true},    // 43200.03
        {{2024, 5, 1, 12, 0, 0}, 50000us, false},   // 43200.05
        {{2024, 5, 1, 12, 0, 0}, 130000us, false},  // 43200.13
        {{2024, 5, 1, 12, 0, 0}, 100000us, true},   // 43200.1: the point sorts below the digits
        {{2024, 5, 1, 12, 0, 0}, 0us, true},        // 43200
        {{2024, 5, 1, 12, 1, 0}, 0us, false},       // 43260
        {{2024, 5, 1, 1, 0, 0}, 40000us, true},     // 3600.04
        {{2024, 5, 1, 1, 0, 0}, 31000us, false},    // 3600.031
        {{2024, 5, 1, 0, 0, 0}, 0us, true},         // 0: a single character
        {{2024, 5, 1, 12, 0, 1}, 20000us, false},   // 43201.02, but not second 00
        {{2024, 5, 1, 12, 0, 59}, 999000us, false}, // the last moment before the minute
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(runtime::format(c.time, "hh:mm:ss") + "+" + std::to_string(c.fraction.count()));
        Rig rig(at(c.time, c.fraction));
        rig.host.onEvents = [&] { rig.switchOff(); };
        rig.switchOn();
        if (c.opens) {
            EXPECT_EQ(rig.tx->code(), timecode::timecode(c.time));
            EXPECT_EQ(rig.host.sleeps, 0);
            EXPECT_TRUE(rig.on(TimerId::Timer1));
            EXPECT_EQ(rig.host.colour, display::kRed);
        } else {
            EXPECT_EQ(rig.tx->code(), timecode::Frame{});
            EXPECT_EQ(rig.host.sleeps, 1);
            EXPECT_FALSE(rig.on(TimerId::Timer1));
            EXPECT_EQ(rig.host.colour, display::kDarkRed);
        }
    }
}

TEST(StartMinute, SwitchedOnAtSecond30)
{
    Rig rig(at({2024, 5, 1, 12, 34, 30}, 250000us));
    bool steadyWait = true;
    rig.host.onEvents = [&] {
        steadyWait = steadyWait && rig.on(TimerId::timFlashIndicator) && rig.on(TimerId::timTokei)
                     && !rig.on(TimerId::Timer1);
    };
    rig.switchOn();

    EXPECT_TRUE(steadyWait);
    EXPECT_EQ(rig.clock.now(), at({2024, 5, 1, 12, 35, 0}));
    EXPECT_EQ(rig.host.sleeps, 29750);
    EXPECT_EQ(rig.tx->code(), timecode::timecode({2024, 5, 1, 12, 35, 0}));
    EXPECT_THAT(rig.log, testing::ElementsAre("timFlashIndicator on", "timTokei off", "Timer1 on",
                                              "timFlashIndicator off", "colour 255"));
}

// Switched off during the wait, and the window closed (its transmission destroyed) during the
// wait: the wait ends at its next poll and touches nothing after the switch handler.
TEST(StartMinute, StoppedDuringTheWait)
{
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "closed" : "switched off");
        Rig rig(at({2024, 5, 1, 12, 34, 30}));
        long sleepsAtStop = -1;
        rig.host.onEvents = [&] {
            if (rig.clock.now() == at({2024, 5, 1, 12, 34, 45})) {
                rig.switchOff();
                sleepsAtStop = rig.host.sleeps;
                if (destroy)
                    rig.tx.reset();
            }
        };
        const std::size_t logBefore = rig.log.size();
        auto* tx = rig.tx.get();
        tx->startminute();

        EXPECT_EQ(rig.host.sleeps, sleepsAtStop);
        EXPECT_THAT(std::vector(rig.log.begin() + logBefore, rig.log.end()),
                    testing::ElementsAre("timFlashIndicator on", "Timer1 off", "timTokei on",
                                         "timFlashIndicator off", "colour 128"));
        if (!destroy) {
            EXPECT_EQ(rig.tx->code(), timecode::Frame{});
        }
    }
}

// The transmitted time is read with the advances as they stand when the minute starts.
TEST(StartMinute, FrameOfTheTransmittedTime)
{
    struct Case {
        const char* what;
        DateTime minute;
        transmit::Advances advances;
        DateTime sent;
    };
    const std::vector<Case> cases = {
        {"no advances", {2024, 5, 1, 12, 0, 0}, {0, 0, 0}, {2024, 5, 1, 12, 0, 0}},
        {"minutes over midnight", {2024, 3, 10, 23, 45, 0}, {0, 0, 20}, {2024, 3, 11, 0, 5, 0}},
        {"over a leap day and back", {2024, 2, 28, 1, 10, 0}, {1, -2, 0}, {2024, 2, 28, 23, 10, 0}},
        {"month end", {2023, 4, 30, 23, 59, 0}, {0, 0, 1}, {2023, 5, 1, 0, 0, 0}},
        {"back over new year", {2025, 1, 1, 0, 0, 0}, {-1, 0, 0}, {2024, 12, 31, 0, 0, 0}},
        {"leap day forward", {2024, 2, 28, 0, 0, 0}, {1, 0, 0}, {2024, 2, 29, 0, 0, 0}},
        {"no leap day", {2023, 2, 28, 0, 0, 0}, {1, 0, 0}, {2023, 3, 1, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(at(c.minute) - 500ms);
        rig.advances = c.advances;
        rig.switchOn();
        EXPECT_EQ(rig.tx->code(), timecode::timecode(c.sent));
    }

    // An advance changed while the program waits reaches the frame.
    Rig rig(at({2024, 5, 1, 12, 34, 30}));
    rig.host.onEvents = [&] {
        if (rig.clock.now() == at({2024, 5, 1, 12, 34, 55}))
            rig.advances.advHour = 3;
    };
    rig.switchOn();
    EXPECT_EQ(rig.tx->code(), timecode::timecode({2024, 5, 1, 15, 35, 0}));
}

// Started at 12:35:00, the ticker plays each second once, on the second's first tick.
TEST(Ticker, OnePulsePerSecond)
{
    Rig rig(at({2024, 5, 1, 12, 34, 59}, 900000us));
    rig.switchOn();
    rig.log.clear();

    for (int i = 0; i < 500; ++i)
        rig.tx->timer1Tick();
    EXPECT_THAT(rig.log, testing::ElementsAre("play " + pulsePath(rig.tx->code()[0]), "refresh"));
    EXPECT_EQ(rig.tx->lastSec(), "00");

    rig.runUntil(at({2024, 5, 1, 12, 35, 10}));
    EXPECT_EQ(rig.sound.plays, expectedPlays({2024, 5, 1, 12, 35, 0}, 0, 10));
    EXPECT_EQ(std::count(rig.log.begin(), rig.log.end(), "refresh"), 10);
    // Each refresh is aimed at the boundary its pulse belongs to, however late the tick was.
    ASSERT_EQ(rig.host.boundaries.size(), 10u);
    for (std::size_t i = 0; i < rig.host.boundaries.size(); ++i)
        EXPECT_EQ(rig.host.boundaries[i], at({2024, 5, 1, 12, 35, 0}) + std::chrono::seconds(i));
}

TEST(Ticker, SecondFiftyNineStartsTheNextMinute)
{
    Rig rig(at({2024, 5, 1, 12, 34, 59}, 900000us));
    rig.switchOn();
    rig.runUntil(at({2024, 5, 1, 12, 35, 59}));
    rig.log.clear();

    rig.tx->timer1Tick();
    EXPECT_THAT(rig.log,
                testing::ElementsAre("play " + pulsePath(timecode::PulseKind::Marker), "refresh",
                                     "timFlashIndicator on", "timTokei off", "Timer1 on",
                                     "timFlashIndicator off", "colour 255"));
    EXPECT_GE(rig.clock.now(), at({2024, 5, 1, 12, 36, 0}));
    EXPECT_LT(rig.clock.now(), at({2024, 5, 1, 12, 36, 0}, 10ms));
    EXPECT_EQ(rig.tx->code(), timecode::timecode({2024, 5, 1, 12, 36, 0}));
}

// Switched off during second 00 after its tick and on again later: second 00 of the new start
// counts as handled, so the first pulse is that of second 01.
TEST(Ticker, SecondZeroAlreadyHandled)
{
    Rig rig(at({2024, 5, 1, 12, 34, 59}, 900000us));
    rig.switchOn();
    rig.runUntil(at({2024, 5, 1, 12, 35, 0}, 500000us));
    rig.switchOff();
    rig.runUntil(at({2024, 5, 1, 12, 37, 20}));
    rig.sound.plays.clear();

    rig.switchOn();
    rig.runUntil(at({2024, 5, 1, 12, 38, 2}, 500000us));
    EXPECT_EQ(rig.sound.plays, expectedPlays({2024, 5, 1, 12, 38, 0}, 1, 2));
}

// The files are only named: whether they exist is the sound output's business.
TEST(Ticker, PlaysFromTheProgramFolder)
{
    runtime::FakeClock clock(at({2024, 5, 1, 12, 34, 59}, 999000us));
    std::vector<std::string> log;
    FakeHost host(clock, log);
    FakeSound sound(clock, log);
    transmit::Advances advances;
    transmit::Transmission tx(clock, host, sound, "/no/such folder", advances);
    tx.startminute();
    for (int i = 0; i < 3000; ++i) {
        tx.timer1Tick();
        clock.advance(1ms);
    }
    ASSERT_EQ(sound.plays.size(), 3u);
    const std::string names[] = {"/200ms.wav", "/500ms.wav", "/800ms.wav"};
    for (std::size_t s = 0; s < 3; ++s)
        EXPECT_EQ(sound.plays[s].path,
                  "/no/such folder" + names[static_cast<std::size_t>(tx.code()[s])]);
    EXPECT_EQ(tx.pulseFile(timecode::PulseKind::One), "/no/such folder/500ms.wav");
}

// Across the new year, with and without a toolkit that delivers Timer1 ticks nested inside the
// wait at second 59: every second gets the pulse of the right minute's frame, on time.
TEST(Ticker, RunAcrossNewYear)
{
    for (const bool nestedTicks : {false, true}) {
        SCOPED_TRACE(nestedTicks ? "nested ticks" : "no nested ticks");
        Rig rig(at({2024, 12, 31, 23, 58, 50}));
        if (nestedTicks)
            rig.host.onEvents = [&] {
                if (rig.on(TimerId::Timer1))
                    rig.tx->timer1Tick();
            };
        rig.switchOn();
        rig.runUntil(at({2025, 1, 1, 0, 1, 0}, 500000us));
        expectPlaysOnTime(rig.sound.plays, expectedPlays({2024, 12, 31, 23, 59, 0}, 0, 121));
    }
}

// Timer1's wake-up plan: aimed just before the next boundary of the reading's clock, polled at
// 1 ms within the margin and whenever the reading's second is not the one the ticker handled.
TEST(WakePlan, AimsBeforeTheBoundaryAndPollsAtIt)
{
    struct Case {
        const char* what;
        DateTime time;
        std::chrono::microseconds fraction;
        const char* lastSec;
        std::chrono::milliseconds cap;
        std::chrono::milliseconds wait;
    };
    const std::vector<Case> cases = {
        {"just handled", {2024, 5, 1, 12, 0, 5}, 400us, "05", 0ms, 997ms},
        {"handled on the boundary", {2024, 5, 1, 12, 0, 5}, 0us, "05", 0ms, 998ms},
        {"a late tick", {2024, 5, 1, 12, 0, 5}, 995000us, "05", 0ms, 3ms},
        {"a little outside the margin", {2024, 5, 1, 12, 0, 5}, 996900us, "05", 0ms, 1ms},
        {"on the margin", {2024, 5, 1, 12, 0, 5}, 998000us, "05", 0ms, 1ms},
        {"inside the margin", {2024, 5, 1, 12, 0, 5}, 999900us, "05", 0ms, 1ms},
        {"a new second", {2024, 5, 1, 12, 0, 6}, 100us, "05", 0ms, 1ms},
        {"nothing handled yet", {2024, 5, 1, 9, 5, 7}, 200000us, "", 0ms, 1ms},
        {"single-digit hour", {2024, 5, 1, 9, 5, 7}, 200000us, "07", 0ms, 798ms},
        {"before midnight", {2024, 5, 1, 23, 59, 59}, 500000us, "59", 0ms, 498ms},
        {"after the minute wait at midnight", {2024, 5, 2, 0, 0, 0}, 300us, "59", 0ms, 1ms},
        {"midnight handled", {2024, 5, 2, 0, 0, 0}, 300us, "00", 0ms, 997ms},
        {"set back a whole minute", {2024, 5, 1, 11, 59, 5}, 300000us, "05", 0ms, 698ms},
        {"set back into an earlier second", {2024, 5, 1, 12, 0, 3}, 300000us, "05", 0ms, 1ms},
        {"set forward within the second", {2024, 5, 1, 12, 0, 5}, 900000us, "05", 0ms, 98ms},
        {"capped", {2024, 5, 1, 12, 0, 5}, 400us, "05", 250ms, 250ms},
        {"under the cap", {2024, 5, 1, 12, 0, 5}, 900000us, "05", 250ms, 98ms},
        {"polling under the cap", {2024, 5, 1, 12, 0, 6}, 0us, "05", 250ms, 1ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(transmit::timer1Wait(at(c.time, c.fraction), c.lastSec, c.cap), c.wait);
    }
}

// The ticker woken by the plan, as the window's event loop runs it, across a midnight, with the
// PC clock set forwards and backwards while Timer1 sleeps (the window re-aims at once when told
// of a step). Every new second is played within one poll of its boundary, or of the step that
// landed in it; the first of a minute once the start gate has opened; and Timer1 wakes
// a few times a second, not a thousand. Without word of a step, sleeps capped short delay the
// pulse after a step by at most the cap.
TEST(WakePlan, TickerWokenByThePlanKeepsEverySecond)
{
    struct Step {
        LocalTime when;
        std::chrono::microseconds by;
    };
    const std::vector<Step> steps = {
        {at({2024, 12, 31, 23, 59, 20}, 400300us), 2500300us},   // forwards over two seconds
        {at({2024, 12, 31, 23, 59, 40}, 700000us), -1700000us},  // back into an earlier second
        {at({2025, 1, 1, 0, 0, 30}, 200000us), -60s},            // back a whole minute
        {at({2025, 1, 1, 0, 0, 45}, 100000us), 400000us},        // forwards within the second
    };
    for (const bool capped : {false, true}) {
        SCOPED_TRACE(capped ? "no word of steps: capped sleeps" : "steps told at once");
        Rig rig(at({2024, 12, 31, 23, 58, 50}));
        rig.switchOn();
        const auto cap = capped ? transmit::kStepCheck : 0ms;

        struct Landing {
            LocalTime at;
            std::size_t playsBefore;
        };
        std::vector<Landing> landings;
        auto next = steps.begin();
        long ticks = 0;
        const LocalTime end = at({2025, 1, 1, 0, 1, 0}, 500000us);
        while (rig.clock.now() < end) {
            ASSERT_TRUE(rig.on(TimerId::Timer1));
            const LocalTime wake = rig.clock.now() + transmit::timer1Wait(rig.clock.now(),
                                                                          rig.tx->lastSec(), cap);
            if (next != steps.end() && next->when < wake) {
                rig.clock.set(next->when + next->by);
                landings.push_back({rig.clock.now(), rig.sound.plays.size()});
                ++next;
                if (!capped)
                    continue;  // re-aimed from the new reading
                // Unaware of the step, Timer1 sleeps on by the same amount of its own time.
                rig.clock.advance(wake - next[-1].when);
            } else {
                rig.clock.set(wake);
            }
            rig.tx->timer1Tick();
            ++ticks;
        }
        ASSERT_EQ(next, steps.end());

        const auto& plays = rig.sound.plays;
        ASSERT_GE(plays.size(), 120u);
        // A step goes unnoticed for at most a quarter of a second of capped sleep.
        const auto tolerance = capped ? 250000us : 1000us;
        for (std::size_t i = 0; i < plays.size(); ++i) {
            SCOPED_TRACE(testing::PrintToString(plays[i]));
            const LocalTime boundary = std::chrono::floor<std::chrono::seconds>(plays[i].at);
            std::optional<Landing> landing;
            for (const Landing& l : landings)
                if (l.playsBefore <= i)
                    landing = l;
            const bool afterStep = landing && landing->playsBefore == i;
            const LocalTime due = afterStep ? std::max(boundary, landing->at) : boundary;
            const auto late = plays[i].at - due;
            EXPECT_GE(late, 0us);
            if (afterStep) {
                EXPECT_LE(late, tolerance);
            } else if (runtime::toDateTime(plays[i].at).second == 0) {
                // The minute starts when the start gate opens, a few milliseconds into it.
                EXPECT_LT(late, 10ms);
            } else {
                EXPECT_LE(late, 1000us);
            }
            // Between steps no second is left out.
            if (i > 0 && !afterStep) {
                EXPECT_EQ(boundary - std::chrono::floor<std::chrono::seconds>(plays[i - 1].at), 1s);
            }
        }
        // Ticks per second played: the aimed one and the polls at the boundary.
        EXPECT_LE(ticks, long(plays.size()) * (capped ? 8 : 4));
    }
}

// Switched off and on again while the ticker waits at second 59: the inner wait starts the
// minute. The outer one, back late from the event processing (a slow repaint), leaves as well
// instead of rebuilding the frame at a later opening of the start gate or, back after second 00,
// holding the ticker up for a whole minute.
TEST(Ticker, SwitchedOffAndOnDuringTheMinuteWait)
{
    for (const auto delay : {60ms, 990ms}) {
        SCOPED_TRACE(delay.count());
        Rig rig(at({2024, 5, 1, 12, 34, 59}, 900000us));
        rig.switchOn();
        rig.runUntil(at({2024, 5, 1, 12, 35, 59}));

        bool toggled = false;
        LocalTime backFromEvents{};
        long sleepsAtToggle = 0;
        rig.host.onEvents = [&] {
            if (!toggled && rig.clock.now() >= at({2024, 5, 1, 12, 35, 59}, 500000us)) {
                toggled = true;
                rig.switchOff();
                rig.switchOn();
                rig.clock.advance(delay);
                backFromEvents = rig.clock.now();
                sleepsAtToggle = rig.host.sleeps;
            }
        };
        rig.tx->timer1Tick();
        rig.host.onEvents = nullptr;

        ASSERT_TRUE(toggled);
        EXPECT_EQ(rig.host.sleeps, sleepsAtToggle);
        EXPECT_EQ(rig.clock.now(), backFromEvents);
        EXPECT_EQ(rig.tx->code(), timecode::timecode({2024, 5, 1, 12, 36, 0}));
        EXPECT_TRUE(rig.on(TimerId::Timer1));
        EXPECT_FALSE(rig.on(TimerId::timFlashIndicator));
        EXPECT_EQ(rig.host.colour, display::kRed);

        rig.sound.plays.clear();
        rig.runUntil(at({2024, 5, 1, 12, 36, 2}, 500000us));
        std::vector<Play> expected = expectedPlays({2024, 5, 1, 12, 36, 0}, 0, 3);
        expected[0].at = backFromEvents;
        EXPECT_EQ(rig.sound.plays, expected);
    }
}

// The window closed while the ticker waits at second 59: neither the wait nor the tick touches
// the destroyed transmission or the window again.
TEST(Ticker, ClosedDuringTheMinuteWait)
{
    Rig rig(at({2024, 5, 1, 12, 34, 59}, 900000us));
    rig.switchOn();
    rig.runUntil(at({2024, 5, 1, 12, 35, 59}));
    rig.host.onEvents = [&] {
        rig.tx->setStopFlag(-1);
        rig.tx.reset();
        rig.log.push_back("closed");
    };
    const long sleepsBefore = rig.host.sleeps;
    auto* tx = rig.tx.get();
    tx->timer1Tick();
    EXPECT_EQ(rig.log.back(), "closed");
    EXPECT_EQ(rig.host.sleeps, sleepsBefore + 1);
}

}  // namespace
