#include "app/fonts.h"
#include "app/form1.h"
#include "app/mod_ini_edit.h"
#include "platform/pulse_sound.h"
#include "runtime/clock.h"

#include <QApplication>
#include <QDesktopServices>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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
    if (!displayAvailable()) {
        std::fprintf(stderr, "pendrel: no display to open the window on (DISPLAY is not set)\n");
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pendrel"));
    QApplication::setApplicationVersion(QStringLiteral(PENDREL_VERSION_TEXT));
    QGuiApplication::setDesktopFileName(QStringLiteral(PENDREL_APP_ID));
    app::installFontSubstitutes();
    app::setProgramFolder(QCoreApplication::applicationDirPath().toStdString());
    app::chooseSettingsLocation();

    // The sound server delays every pulse by its output latency. The program's clock runs ahead
    // of the PC clock by just that much, so each pulse is heard on the PC clock's second
    // boundary (and the read-outs move with the sound).
    runtime::SystemClock clock;
    // A 40 ms buffer rides out a busy machine without a gap in the signal; the delay it adds
    // is taken up by the clock's lead like the rest of the server's latency.
    platform::PulseSound::Options soundOptions;
    soundOptions.bufferLength = std::chrono::milliseconds(40);
    platform::PulseSound sound(soundOptions);
    for (const char* name : {"/200ms.wav", "/500ms.wav", "/800ms.wav"})
        sound.preload(app::programFolder() + name);
    const auto followLatency = [&] { clock.setLead(sound.latency()); };
    followLatency();
    QTimer latencyWatch;
    latencyWatch.setInterval(500);
    QObject::connect(&latencyWatch, &QTimer::timeout, followLatency);
    latencyWatch.start();

    app::Form1Services services;
    services.clock = &clock;
    services.sound = &sound;
    services.sleep1ms = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    services.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };

    app::Form1 window(std::move(services));
    window.Form_Load();
    if (window.closed())
        return 0;
    return QApplication::exec();
}
