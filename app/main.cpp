#include "app/fonts.h"
#include "app/form1.h"
#include "app/mod_ini_edit.h"
#include "platform/pipewire_sound.h"
#include "runtime/clock.h"

#include <QApplication>
#include <QDesktopServices>
#include <QUrl>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

namespace {

// Qt aborts when it cannot reach a display; say so plainly instead.
bool displayAvailable()
{
    const auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr && *v != '\0';
    };
    return set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv)
{
    if (platform::runSoundRelayIfAsked(argc, argv))
        return 0;
    if (!displayAvailable()) {
        std::fprintf(stderr, "pendrel: no display to open the window on (DISPLAY is not set)\n");
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pendrel"));
    QApplication::setApplicationVersion(QStringLiteral(PENDREL_VERSION_TEXT));
    app::installFontSubstitutes();
    app::setProgramFolder(QCoreApplication::applicationDirPath().toStdString());

    // Every pulse is placed on its sample in one continuous stream, heard exactly lead() after
    // the boundary the ticker saw; the program's clock runs that much ahead of the PC clock, so
    // each pulse is heard on the PC clock's second boundary. The lead never changes.
    runtime::SystemClock clock;
    const std::unique_ptr<platform::TimelineSound> sound = platform::openSystemSound();
    for (const char* name : {"/200ms.wav", "/500ms.wav", "/800ms.wav"})
        sound->preload(app::programFolder() + name);
    clock.setLead(sound->lead());

    app::Form1Services services;
    services.clock = &clock;
    services.sound = sound.get();
    services.sleep1ms = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    services.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };

    app::Form1 window(std::move(services));
    window.Form_Load();
    if (window.closed())
        return 0;
    return QApplication::exec();
}
