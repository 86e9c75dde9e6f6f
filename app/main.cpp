#include "app/display_probe.h"
#include "app/settings/settings_file.h"
#include "app/single_instance.h"
#include "app/window/fonts.h"
#include "app/window/form1.h"
#include "app/window/qt_messages.h"
#include "platform/clock/clock_sync.h"
#include "platform/sound/system_sound.h"
#include "runtime/clock.h"
#include "runtime/program_path.h"

#include <QApplication>
#include <QDesktopServices>
#include <QUrl>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

int main(int argc, char** argv)
{
    // --- The display: Qt aborts when it cannot reach it; say so in one line instead. ---------
    if (const auto problem = app::displayProblem(argc, argv)) {
        std::fprintf(stderr, "%s\n", problem->c_str());
        return 1;
    }
    std::optional<app::DisplayGuard> guard(std::in_place, argc, argv);
    QApplication app(argc, argv);
    guard.reset();
    // --- end of the display --------------------------------------------------------------------

    QApplication::setApplicationName(QStringLiteral("Pendrel"));
    QApplication::setApplicationVersion(QStringLiteral(PENDREL_VERSION_TEXT));
    QGuiApplication::setDesktopFileName(QStringLiteral(PENDREL_APP_ID));
    app::installFontSubstitutes();
    app::preferLabelFaceForJapanese();
    const std::string programFolder = runtime::programFolder();

    // --- One copy per program folder: a later start neither sends nor writes. ----------------
    app::SingleInstance instance(QCoreApplication::applicationDirPath());
    if (!instance.first()) {
        const bool raised = instance.raiseRunning(5000);
        std::fprintf(stderr, "pendrel: already running from %s; %s\n",
                     QCoreApplication::applicationDirPath().toLocal8Bit().constData(),
                     raised ? "its window was brought to the front"
                            : "it did not answer, so nothing was done");
        return 0;
    }
    // --- end of one copy per folder -----------------------------------------------------------
    const settings::SettingsFile settingsFile = settings::SettingsFile::forProgram(programFolder);
    app::QtMessages messages;

    // Every pulse is placed on its sample in one continuous stream, heard exactly lead() after
    // the boundary the ticker saw; the ticker's clock runs that much ahead of the PC clock, so
    // each pulse is heard on the PC clock's second boundary. The lead never changes. The
    // read-outs show the PC clock itself, and turn as each pulse is heard.
    runtime::SystemClock pcClock;
    runtime::SystemClock clock;
    const std::unique_ptr<platform::StreamOutput> sound = platform::openSystemSound();
    for (const char* name : {"/200ms.wav", "/500ms.wav", "/800ms.wav"})
        sound->preload(programFolder + name);
    clock.setLead(sound->lead());

    app::Form1Services services;
    services.clock = &clock;
    services.pcClock = &pcClock;
    services.sound = sound.get();
    services.sleep1ms = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    services.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    services.clockSync = platform::queryClockSync;
    services.settings = &settingsFile;
    services.messages = &messages;
    services.programFolder = programFolder;

    app::Form1 window(std::move(services));
    instance.onRaise([&window] {
        window.showNormal();
        window.raise();
        window.activateWindow();
    });
    window.Form_Load();
    if (window.closed())
        return 0;
    return QApplication::exec();
}
