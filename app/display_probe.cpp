#include "display_probe.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace app {

namespace {

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v == nullptr ? std::string() : std::string(v);
}

// Whether Qt will go for X: its platform named xcb, or none named and no Wayland session.
bool usesX(const std::string& platform)
{
    if (!platform.empty())
        return std::string_view(platform).substr(0, 3) == "xcb";
    return env("WAYLAND_DISPLAY").empty() || env("XDG_SESSION_TYPE") != "wayland";
}

// libxcb is what Qt itself opens the display with; it is loaded only for this question, so the
// program does not depend on it when it runs elsewhere.
bool xDisplayOpens(const std::string& name)
{
    void* lib = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr)
        return true;  // cannot ask; let Qt try
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    const auto connect = reinterpret_cast<Connect>(::dlsym(lib, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(lib, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(lib, "xcb_disconnect"));
    bool opens = true;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        void* c = connect(name.c_str(), nullptr);
        opens = c != nullptr && hasError(c) == 0;
        if (c != nullptr)
            disconnect(c);  // also frees a connection that failed
    }
    ::dlclose(lib);
    return opens;
}

}  // namespace

std::optional<std::string> displayProblem(int argc, char** argv)
{
    std::string platform = env("QT_QPA_PLATFORM");
    std::string display = env("DISPLAY");
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0)
            platform = argv[i + 1];
        else if (std::strcmp(argv[i], "-display") == 0)
            display = argv[i + 1];
    }
    if (!usesX(platform))
        return std::nullopt;
    if (display.empty())
        return std::string("pendrel: no display to open the window on (DISPLAY is not set)");
    if (!xDisplayOpens(display))
        return "pendrel: cannot open the display \"" + display + "\"";
    return std::nullopt;
}

}  // namespace app
