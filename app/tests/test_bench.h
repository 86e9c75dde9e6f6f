#pragma once
// A window wired to a fake clock, a recording sound output and a sleep that moves the clock,
// so tests drive minutes, midnights and leap days without waiting. The sound output reports
// whatever status the test sets (a working one to begin with), and the PC clock is reported
// synchronised unless the test says otherwise.

#include "app/form1.h"
#include "platform/sound/sound_output.h"
#include "runtime/clock.h"

#include <QUrl>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testbench {

struct Play {
    runtime::LocalTime at;
    std::string path;
    std::chrono::microseconds late{};  // how long after its second boundary it was asked for
};

class RecordingSound final : public platform::SoundOutput {
public:
    explicit RecordingSound(const runtime::Clock& clock) : m_clock(clock) {}
    void play(const std::string& path, std::chrono::microseconds late) override
    {
        plays.push_back({m_clock.now(), path, late});
        if (transmitting.empty() || !transmitting.back())
            ++playsWhileResting;
    }
    void setTransmitting(bool on) override { transmitting.push_back(on); }
    platform::SoundStatus status() const override { return soundStatus; }

    std::vector<Play> plays;
    // Every setTransmitting call, first first, and the plays asked for while not transmitting.
    std::vector<bool> transmitting;
    int playsWhileResting = 0;
    platform::SoundStatus soundStatus = working();

    static platform::SoundStatus working()
    {
        return {"PulseAudio", true, true, "Test speakers", {}};
    }

private:
    const runtime::Clock& m_clock;
};

// Another clock's reading moved ahead by a fixed lead, as the ticker's clock runs ahead of
// the PC clock by the sound output's lead.
class AheadClock final : public runtime::Clock {
public:
    AheadClock(const runtime::Clock& base, std::chrono::microseconds lead)
        : m_base(base), m_lead(lead)
    {
    }
    runtime::LocalTime now() const override { return m_base.now() + m_lead; }

private:
    const runtime::Clock& m_base;
    std::chrono::microseconds m_lead;
};

struct Bench {
    // `clock` is the PC clock; the ticker's runs `lead` ahead of it.
    explicit Bench(runtime::DateTime start = {2024, 1, 5, 9, 5, 7},
                   std::chrono::microseconds lead = {})
        : clock(start), ticker(clock, lead)
    {
    }

    runtime::FakeClock clock;
    AheadClock ticker;
    RecordingSound sound{ticker};
    // How far one 1 ms sleep of the minute-start wait moves the clock, and what else happens
    // then (a click, a close).
    std::chrono::microseconds sleepStep{1000};
    std::function<void()> duringSleep;
    std::vector<QUrl> opened;
    bool browserAvailable = true;
    int sleeps = 0;
    platform::ClockSync clockSync{true, true, std::chrono::microseconds(20000)};
    int clockQueries = 0;

    app::Form1 form{services()};

private:
    app::Form1Services services()
    {
        app::Form1Services s;
        s.clock = &ticker;
        s.pcClock = &clock;
        s.sound = &sound;
        s.sleep1ms = [this] {
            ++sleeps;
            clock.advance(sleepStep);
            if (duringSleep)
                duringSleep();
        };
        s.openUrl = [this](const QUrl& url) {
            opened.push_back(url);
            return browserAvailable;
        };
        s.clockSync = [this] {
            ++clockQueries;
            return clockSync;
        };
        return s;
    }
};

}  // namespace testbench
