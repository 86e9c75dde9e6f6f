#pragma once
// Before the window is made: whether the X display the program is about to use can be opened.
// Qt aborts, with a message about reinstalling, when it cannot reach its display; asking first
// lets the program say what is wrong in one line and end with status 1. No Qt here.

#include <optional>
#include <string>

namespace app {

// The problem with the display, in one line fit for stderr, or nullopt when the window can be
// opened (or another platform than X is in use: offscreen, Wayland, which Qt checks itself).
// `args` are the command line, for Qt's "-display NAME" and "-platform NAME".
std::optional<std::string> displayProblem(int argc, char** argv);

}  // namespace app
