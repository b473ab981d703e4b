#include "ui/SingleInstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <unistd.h>

namespace orvane {

namespace {

constexpr int answerTimeout = 3000; // milliseconds

// $XDG_RUNTIME_DIR, private to the user; else a private folder of our own in the temporary folder.
QString runtimeFolder() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(QString::fromLocal8Bit(runtime)))
        return QString::fromLocal8Bit(runtime);
    const QString folder = QDir::tempPath() + "/orvane-" + QString::number(getuid());
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return folder;
}

} // namespace

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance() {
    if (viaBus_) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterObject(objectPath);
        bus.unregisterService(serviceName);
    }
}

SingleInstance::Outcome SingleInstance::claim() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return claimWithLock();
    bus.registerObject(objectPath, this, QDBusConnection::ExportScriptableSlots);
    const auto reply =
        bus.interface()->registerService(serviceName, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        viaBus_ = true;
        return Outcome::first;
    }
    bus.unregisterObject(objectPath);
    auto call = QDBusMessage::createMethodCall(serviceName, objectPath, "org.orvane.Orvane", "ShowSettings");
    const QDBusMessage answer = bus.call(call, QDBus::Block, answerTimeout);
    return answer.type() == QDBusMessage::ReplyMessage ? Outcome::askedRunning : Outcome::failed;
}

SingleInstance::Outcome SingleInstance::claimWithLock() {
    const QString folder = runtimeFolder();
    lock_ = std::make_unique<QLockFile>(folder + "/orvane.lock");
    lock_->setStaleLockTime(0); // a lock whose process is gone is stale whatever its age
    const QString socket = folder + "/orvane.socket";
    if (lock_->tryLock(0)) {
        QLocalServer::removeServer(socket); // left behind by an instance that crashed
        server_ = std::make_unique<QLocalServer>();
        server_->setSocketOptions(QLocalServer::UserAccessOption);
        connect(server_.get(), &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* peer = server_->nextPendingConnection()) {
                connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                    if (peer->readAll().contains("show-settings")) ShowSettings();
                    peer->disconnectFromServer();
                });
                connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            }
        });
        server_->listen(socket);
        return Outcome::first;
    }
    lock_.reset();
    QLocalSocket peer;
    peer.connectToServer(socket);
    if (!peer.waitForConnected(answerTimeout)) return Outcome::failed;
    peer.write("show-settings\n");
    const bool sent = peer.waitForBytesWritten(answerTimeout);
    peer.waitForDisconnected(answerTimeout);
    return sent ? Outcome::askedRunning : Outcome::failed;
}

void SingleInstance::ShowSettings() {
    if (onShowSettings) QMetaObject::invokeMethod(this, onShowSettings, Qt::QueuedConnection);
}

} // namespace orvane
