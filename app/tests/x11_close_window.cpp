// Asks an X11 window to close the way a window manager's close box does: a WM_DELETE_WINDOW
// message of the WM_PROTOCOLS kind sent to the window itself. Under a bare X server (no window
// manager) this is the only polite close; xdotool can only destroy the window or kill its
// client, and neither is what a user's close looks like to the program.
//   pendrel-x11-close WINDOW_ID        WINDOW_ID in decimal or 0x hex; DISPLAY names the server
// Exit status 0 once the message is delivered to the server, 1 on any failure.

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: pendrel-x11-close WINDOW_ID\n");
        return 1;
    }
    char* end = nullptr;
    const unsigned long window = std::strtoul(argv[1], &end, 0);
    if (end == argv[1] || *end != '\0' || window == 0) {
        std::fprintf(stderr, "pendrel-x11-close: not a window id: %s\n", argv[1]);
        return 1;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "pendrel-x11-close: cannot open the display\n");
        return 1;
    }

    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = Window(window);
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, Window(window), False, NoEventMask, &event);
    XSync(display, False);
    XCloseDisplay(display);
    if (sent == 0) {
        std::fprintf(stderr, "pendrel-x11-close: the message could not be sent\n");
        return 1;
    }
    return 0;
}
