#pragma once
// A window wired to a fake clock, a recording sound output and a sleep that moves the clock,
// so tests drive minutes, midnights and leap days without waiting. The sound output reports
// whatever status the test sets (a working one to begin with), and the PC clock is reported
// synchronised unless the test says otherwise. The program folder and its settings file lie in
// a temporary folder unless the test gives one; the messages are kept, not shown.

#include "app/settings/settings_file.h"
#include "app/window/form1.h"
#include "app/window/messages.h"
#include "platform/sound/sound_output.h"
#include "runtime/clock.h"

#include <QTemporaryDir>
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

// Keeps every message the window gives, open until the test closes it as the user would, and
// answers the modal one at once (after `duringModal`, which may close the window).
class FakeMessages final : public app::Messages {
public:
    struct Said {
        app::MessageIcon icon;
        QString text;
        QString name;
        bool modal = false;
        bool open = true;
    };

    Notice notify(QWidget*, app::MessageIcon icon, const QString& text,
                  const QString& name) override
    {
        said.push_back({icon, text, name});
        return said.size();
    }
    bool isOpen(Notice notice) const override
    {
        return notice > 0 && notice <= said.size() && said[notice - 1].open;
    }
    void setText(Notice notice, const QString& text) override
    {
        if (isOpen(notice))
            said[notice - 1].text = text;
    }
    void close(Notice notice) override
    {
        if (isOpen(notice))
            said[notice - 1].open = false;
    }
    void tell(QWidget*, app::MessageIcon icon, const QString& text) override
    {
        said.push_back({icon, text, QStringLiteral("PendrelMessage"), true, false});
        if (duringModal)
            duringModal();
    }

    // What was said under a name, first first; the open ones only when asked.
    std::vector<Said*> named(const char* name, bool openOnly = false)
    {
        std::vector<Said*> found;
        for (Said& s : said)
            if (s.name == QLatin1String(name) && (s.open || !openOnly))
                found.push_back(&s);
        return found;
    }

    std::vector<Said> said;  // notice n is said[n - 1]
    std::function<void()> duringModal;
};

struct Bench {
    // `clock` is the PC clock; the ticker's runs `lead` ahead of it. `folder` is the program
    // folder, holding the settings file; empty: a temporary one.
    explicit Bench(runtime::DateTime start = {2024, 1, 5, 9, 5, 7},
                   std::chrono::microseconds lead = {}, const std::string& folder = {})
        : clock(start),
          ticker(clock, lead),
          programFolder(folder.empty() ? tempDir.path().toStdString() : folder),
          settingsFile({programFolder, false})
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

    QTemporaryDir tempDir;
    std::string programFolder;
    settings::SettingsFile settingsFile;
    FakeMessages messages;

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
        s.settings = &settingsFile;
        s.messages = &messages;
        s.programFolder = programFolder;
        return s;
    }
};

}  // namespace testbench
