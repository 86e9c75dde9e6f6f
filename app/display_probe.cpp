#include "display_probe.h"

#include <QString>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace app {

namespace {

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v == nullptr ? std::string() : std::string(v);
}

struct Target {
    std::string platform;
    std::string display;
};

Target target(int argc, char** argv)
{
    Target t{env("QT_QPA_PLATFORM"), env("DISPLAY")};
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0)
            t.platform = argv[i + 1];
        else if (std::strcmp(argv[i], "-display") == 0)
            t.display = argv[i + 1];
    }
    return t;
}

// Whether Qt will go for X: its platform named xcb, or none named and no Wayland session.
bool usesX(const std::string& platform)
{
    if (!platform.empty())
        return std::string_view(platform).substr(0, 3) == "xcb";
    return env("WAYLAND_DISPLAY").empty() || env("XDG_SESSION_TYPE") != "wayland";
}

// The guard's state: one guard at a time, made and ended on the main thread.
struct Held {
    QtMessageHandler previous = nullptr;
    std::string displayLine;
    std::string otherLine;
    struct Message {
        QtMsgType type;
        const char* file;  // the context's strings are Qt's own literals: they outlive the guard
        int line;
        const char* function;
        const char* category;
        QString text;
    };
    std::vector<Message> messages;
};
Held* g_held = nullptr;

void holdMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type != QtFatalMsg) {
        g_held->messages.push_back(
            {type, context.file, context.line, context.function, context.category, text});
        return;
    }
    // Qt could not make its platform. When it is the display that did not answer, that is all
    // there is to say; anything else (a plugin that would not load) is told in Qt's words.
    bool display = false;
    for (const auto& m : g_held->messages)
        display = display || m.text.contains(QLatin1String("could not connect to display"));
    if (!display) {
        for (const auto& m : g_held->messages)
            std::fprintf(stderr, "%s\n", m.text.toLocal8Bit().constData());
    }
    std::fprintf(stderr, "%s\n", display ? g_held->displayLine.c_str() : g_held->otherLine.c_str());
    std::fflush(stderr);
    ::_exit(1);
}

}  // namespace

std::optional<std::string> displayProblem(int argc, char** argv)
{
    const Target t = target(argc, argv);
    if (usesX(t.platform) && t.display.empty())
        return std::string("pendrel: no display to open the window on (DISPLAY is not set)");
    return std::nullopt;
}

DisplayGuard::DisplayGuard(int argc, char** argv)
{
    const Target t = target(argc, argv);
    g_held = new Held;
    g_held->displayLine = "pendrel: cannot open the display \"" + t.display + "\"";
    g_held->otherLine = "pendrel: the window system could not be started (Qt platform \"" +
                        (t.platform.empty() ? std::string("default") : t.platform) + "\")";
    g_held->previous = qInstallMessageHandler(holdMessage);
}

DisplayGuard::~DisplayGuard()
{
    qInstallMessageHandler(g_held->previous);
    for (const auto& m : g_held->messages)
        qt_message_output(m.type, QMessageLogContext(m.file, m.line, m.function, m.category),
                          m.text);
    delete g_held;
    g_held = nullptr;
}

}  // namespace app
