#pragma once
// One running copy per program folder. Two copies in one folder would both send (the tones
// cancel at the clock) and both write the one settings file. The first start in a folder holds
// a lock named after the folder and listens on a socket beside it; a later start finds the
// lock, asks the running copy to bring its window to the front, and ends before it sends or
// writes anything. Copies in different folders do not see each other.
//
// The socket is a plain local stream socket in the temporary folder, readable and writable by
// the user alone; its requests are one line ("raise"), answered with one line ("raised").

#include <QLockFile>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace app {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `folder` is the program folder; the key is its canonical path and the user.
    explicit SingleInstance(const QString& folder);
    ~SingleInstance() override;

    // True for the first copy in the folder. It then calls `raise` for every later start.
    bool first() const { return m_first; }
    void onRaise(std::function<void()> raise) { m_raise = std::move(raise); }

    // For a later copy: asks the running one to bring its window to the front. True when it
    // answered within `timeoutMs`.
    bool raiseRunning(int timeoutMs);

private:
    void accept();
    void serve(int fd);

    QString m_socketPath;
    std::unique_ptr<QLockFile> m_lock;
    int m_listenFd = -1;
    QSocketNotifier* m_listening = nullptr;
    bool m_first = false;
    std::function<void()> m_raise;
};

}  // namespace app
