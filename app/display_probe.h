#pragma once
// Qt ends the program, with a message about reinstalling, when it cannot reach its display.
// While the application object is made, a DisplayGuard holds Qt's messages back; should Qt give
// up there, the program says what is wrong in one line and ends with status 1 instead, without
// a core file. The display is opened once, by Qt itself, so a start costs one connection.

#include <QtGlobal>

#include <optional>
#include <string>

namespace app {

// What is wrong before anything is tried: no display named at all for a platform that needs
// one. nullopt when Qt should go ahead. `args` are the command line, for Qt's "-display NAME"
// and "-platform NAME".
std::optional<std::string> displayProblem(int argc, char** argv);

// Made just before the QApplication and ended just after it: the messages Qt gave meanwhile
// are passed on as they would have been, unless Qt gave up. Then the program exits with status
// 1 after `pendrel: cannot open the display "NAME"` when the display did not answer, or else
// after Qt's own explanation and a line naming the platform that could not be started.
class DisplayGuard {
public:
    DisplayGuard(int argc, char** argv);
    ~DisplayGuard();
    DisplayGuard(const DisplayGuard&) = delete;
    DisplayGuard& operator=(const DisplayGuard&) = delete;
};

}  // namespace app
