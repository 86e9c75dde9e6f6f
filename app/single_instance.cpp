#include "single_instance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

#include <unistd.h>

namespace app {

namespace {

constexpr char kRaise[] = "raise\n";
constexpr char kRaised[] = "raised\n";

}  // namespace

SingleInstance::SingleInstance(const QString& folder)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    const QByteArray key = QString::number(::getuid()).toUtf8() + '\0' +
                           (canonical.isEmpty() ? folder : canonical).toUtf8();
    m_name = QStringLiteral("pendrel-") +
             QString::fromLatin1(
                 QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(24));

    // The lock decides; the socket only carries the request. A copy that died leaves a lock
    // whose process is gone, which QLockFile takes over.
    m_lock = std::make_unique<QLockFile>(QDir::tempPath() + QLatin1Char('/') + m_name +
                                         QStringLiteral(".lock"));
    m_lock->setStaleLockTime(0);
    m_first = m_lock->tryLock(0);
    if (!m_first)
        return;

    QLocalServer::removeServer(m_name);  // left by a copy that died
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    m_server.listen(m_name);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* s = m_server.nextPendingConnection()) {
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            connect(s, &QLocalSocket::readyRead, s, [this, s] {
                if (!s->readAll().contains("raise"))
                    return;
                if (m_raise)
                    m_raise();
                s->write(kRaised);
                s->flush();
            });
        }
    });
}

SingleInstance::~SingleInstance()
{
    m_server.close();
}

bool SingleInstance::raiseRunning(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    // The running copy takes its lock a moment before it listens.
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(m_name);
        if (socket.waitForConnected(int(std::max<qint64>(deadline.remainingTime(), 1)))) {
            socket.write(kRaise);
            if (!socket.waitForBytesWritten(int(std::max<qint64>(deadline.remainingTime(), 1))))
                return false;
            while (socket.bytesAvailable() < qint64(sizeof kRaised - 1) &&
                   socket.waitForReadyRead(int(std::max<qint64>(deadline.remainingTime(), 1)))) {
            }
            return socket.readAll().startsWith("raised");
        }
        QThread::msleep(50);
    }
    return false;
}

}  // namespace app
