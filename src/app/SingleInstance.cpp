#include "app/SingleInstance.h"

#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QThread>
#include <algorithm>

#include "platform/log/Log.h"

namespace zimlo::app {

namespace {

constexpr char kActivate[] = "activate\n";

QString baseName() { return QStringLiteral("zimlo-%1").arg(::getuid()); }

}  // namespace

QString SingleInstance::defaultDirectory() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists())
        return QString::fromLocal8Bit(runtime);
    return QDir::tempPath();
}

SingleInstance::SingleInstance(const QString& directory)
    : socketPath_(QDir(directory).filePath(baseName() + QStringLiteral(".socket"))),
      lock_(std::make_unique<QLockFile>(
          QDir(directory).filePath(baseName() + QStringLiteral(".lock")))) {
    // The lock decides; a lock whose holder died is stale and taken over.
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) return;
    primary_ = true;
    // A socket left by an instance that died would stop listening; the lock makes it ours.
    QLocalServer::removeServer(socketPath_);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::connectionArrived);
    if (!server_->listen(socketPath_)) {
        ZIMLO_LOG_WARN("app") << "listening on " << socketPath_.toStdString()
                              << " for later starts: " << server_->errorString().toStdString();
    }
}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();
}

void SingleInstance::connectionArrived() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            const QByteArray message = socket->readAll();
            if (message.contains(kActivate) && onActivationRequested) onActivationRequested();
            socket->disconnectFromServer();
        });
    }
}

bool SingleInstance::activatePrimary(int timeoutMs) const {
    // The instance that holds the lock may still be starting up: try until it listens.
    QDeadlineTimer deadline(timeoutMs);
    do {
        QLocalSocket socket;
        socket.connectToServer(socketPath_);
        if (socket.waitForConnected(
                static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)))) {
            socket.write(kActivate);
            const bool sent = socket.waitForBytesWritten(1000);
            socket.disconnectFromServer();
            return sent;
        }
        QThread::msleep(100);
    } while (!deadline.hasExpired());
    return false;
}

}  // namespace zimlo::app
