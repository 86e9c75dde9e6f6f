#pragma once
// What the window tells the user, and the one question it waits on. The program passes
// QtMessages (message boxes); tests pass a fake that keeps what was said and answers at once.
// Called on the event thread only.

#include <QString>

#include <cstdint>

class QWidget;

namespace app {

enum class MessageIcon { Information, Warning };

class Messages {
public:
    // One notice; 0 stands for none. A notice keeps its number after it has been closed.
    using Notice = std::uint64_t;

    virtual ~Messages() = default;

    // Shows a notice for `owner` and returns at once: notices may appear while transmitting, so
    // they never hold up the ticker or the minute-start wait. `name` tells the kinds of notice
    // apart ("PendrelMessage" for most; the signal, carrier and clock notices have their own).
    // The user closes it with OK.
    virtual Notice notify(QWidget* owner, MessageIcon icon, const QString& text,
                          const QString& name) = 0;
    // Whether the notice is still open.
    virtual bool isOpen(Notice notice) const = 0;
    // An open notice reads `text` from now on; a closed one stays closed.
    virtual void setText(Notice notice, const QString& text) = 0;
    // Closes the notice if it is open.
    virtual void close(Notice notice) = 0;

    // The one modal message, named "PendrelMessage": returns once the user has closed it. Only
    // where nothing is transmitting yet.
    virtual void tell(QWidget* owner, MessageIcon icon, const QString& text) = 0;
};

}  // namespace app
