#include "single_instance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace app {

namespace {

constexpr char kRaise[] = "raise\n";
constexpr char kRaised[] = "raised\n";

// The socket's address; false when the path does not fit one.
bool addressOf(const QString& path, sockaddr_un& address)
{
    const QByteArray bytes = QFile::encodeName(path);
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (bytes.size() >= qsizetype(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path, bytes.constData(), std::size_t(bytes.size()));
    return true;
}

// Waits until `fd` is ready for `events` or the deadline passes.
bool waitFor(int fd, short events, const QDeadlineTimer& deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int ms = int(std::max<qint64>(deadline.remainingTime(), 0));
        const int n = ::poll(&p, 1, ms);
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

}  // namespace

SingleInstance::SingleInstance(const QString& folder)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    const QByteArray key = QString::number(::getuid()).toUtf8() + '\0' +
                           (canonical.isEmpty() ? folder : canonical).toUtf8();
    const QString name =
        QStringLiteral("pendrel-") +
        QString::fromLatin1(
            QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(24));
    const QString base = QDir::tempPath() + QLatin1Char('/') + name;
    m_socketPath = base;

    // The lock decides; the socket only carries the request. A copy that died leaves a lock
    // whose process is gone, which QLockFile takes over.
    m_lock = std::make_unique<QLockFile>(base + QStringLiteral(".lock"));
    m_lock->setStaleLockTime(0);
    m_first = m_lock->tryLock(0);
    if (!m_first)
        return;

    sockaddr_un address{};
    if (!addressOf(m_socketPath, address))
        return;  // the lock still keeps a second copy out; it just cannot raise this window
    const QByteArray path = QFile::encodeName(m_socketPath);
    ::unlink(path.constData());  // left by a copy that died
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0)
        return;
    // Made with no access for anyone, then opened to the user alone.
    const mode_t mask = ::umask(0777);
    const bool bound =
        ::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::umask(mask);
    if (!bound || ::chmod(path.constData(), 0600) != 0 || ::listen(m_listenFd, 8) != 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
        return;
    }
    m_listening = new QSocketNotifier(m_listenFd, QSocketNotifier::Read, this);
    connect(m_listening, &QSocketNotifier::activated, this, &SingleInstance::accept);
}

SingleInstance::~SingleInstance()
{
    if (m_listenFd >= 0) {
        delete m_listening;
        ::close(m_listenFd);
        ::unlink(QFile::encodeName(m_socketPath).constData());
    }
}

void SingleInstance::accept()
{
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        serve(fd);
    }
}

// One caller: a line asking to raise the window, answered once. A caller that sends nothing
// useful is dropped when it closes; nothing it sends is kept beyond a few bytes.
void SingleInstance::serve(int fd)
{
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    auto received = std::make_shared<QByteArray>();
    connect(notifier, &QSocketNotifier::activated, this, [this, notifier, fd, received] {
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        bool done = n <= 0;
        if (n > 0) {
            received->append(buffer, n);
            if (received->contains("raise")) {
                if (m_raise)
                    m_raise();
                [[maybe_unused]] const ssize_t w = ::write(fd, kRaised, sizeof kRaised - 1);
                done = true;
            } else if (received->size() > 256) {
                done = true;
            }
        }
        if (done) {
            notifier->setEnabled(false);
            notifier->deleteLater();
            ::close(fd);
        }
    });
}

bool SingleInstance::raiseRunning(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    sockaddr_un address{};
    if (!addressOf(m_socketPath, address))
        return false;
    // The running copy takes its lock a moment before it listens.
    while (!deadline.hasExpired()) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            bool answered = false;
            if (::write(fd, kRaise, sizeof kRaise - 1) == ssize_t(sizeof kRaise - 1)) {
                QByteArray reply;
                while (!reply.contains('\n') && waitFor(fd, POLLIN, deadline)) {
                    char buffer[64];
                    const ssize_t n = ::read(fd, buffer, sizeof buffer);
                    if (n <= 0 && !(n < 0 && errno == EINTR))
                        break;
                    if (n > 0)
                        reply.append(buffer, n);
                }
                answered = reply.startsWith("raised");
            }
            ::close(fd);
            return answered;
        }
        ::close(fd);
        QThread::msleep(50);
    }
    return false;
}

}  // namespace app
