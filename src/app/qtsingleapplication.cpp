// Single-instance guard: the first instance listens on an abstract-namespace local socket.
#include "qtsingleapplication.h"

#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr int kClaimAttempts = 20;
constexpr int kConnectWaitMs = 200;
constexpr int kRetryPauseMs = 25;

enum class Owner { Nobody, ThisUser, OtherUser };

// Who listens on the name. An abstract name can be bound by any local user, so only a peer
// with our uid counts as a running instance.
Owner nameOwner(const QString &name)
{
    QLocalSocket socket;
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(name);
    if (!socket.waitForConnected(kConnectWaitMs))
        return Owner::Nobody;

    ucred peer {};
    socklen_t size = sizeof(peer);
    const int fd = int(socket.socketDescriptor());
    const bool known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
    socket.abort();
    if (!known)
        return Owner::Nobody;
    return peer.uid == ::getuid() ? Owner::ThisUser : Owner::OtherUser;
}

} // namespace

QString singleInstanceServerName(const QString &id)
{
    return id + QStringLiteral("-uid") + QString::number(::getuid());
}

QtSingleApplication::QtSingleApplication(const QString &id, int &argc, char **argv)
    : QApplication(argc, argv)
    , m_id(id)
{
    m_running = !claimInstance();
}

QtSingleApplication::~QtSingleApplication() = default;

bool QtSingleApplication::isRunning() const { return m_running; }

QString QtSingleApplication::id() const { return m_id; }

// Returns false only when another instance of this user holds the name. The kernel frees an
// abstract name when its holder dies, so a crashed instance never blocks the next start.
bool QtSingleApplication::claimInstance()
{
    const QString name = singleInstanceServerName(m_id);
    auto *server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::AbstractNamespaceOption);

    for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
        if (server->listen(name)) {
            // Later starts only need the connection to succeed; drop them at once.
            connect(server, &QLocalServer::newConnection, server, [server] {
                while (QLocalSocket *peer = server->nextPendingConnection())
                    peer->deleteLater();
            });
            return true;
        }
        if (server->serverError() != QAbstractSocket::AddressInUseError) {
            qDebug() << "single-instance guard unavailable:" << server->errorString();
            return true;
        }
        switch (nameOwner(name)) {
        case Owner::ThisUser:
            return false;
        case Owner::OtherUser:
            qDebug() << "single-instance name" << name
                     << "is held by another user; starting anyway";
            return true;
        case Owner::Nobody:
            // Bound but not yet listening, or its holder just exited: try again.
            QThread::msleep(kRetryPauseMs);
            break;
        }
    }
    qDebug() << "single-instance guard could not settle who runs; starting anyway";
    return true;
}
