#include "updateservice.h"

#include "log/logger.h"

#include <QHostAddress>
#include <QTcpSocket>

UpdateService::UpdateService(const ReleaseOffer &releaseOffer, QObject *parent)
    : QObject(parent)
    , offer(releaseOffer)
{
    connect(&server, &QTcpServer::newConnection, this, &UpdateService::onNewConnection);
}

bool UpdateService::listen(const QString &host, quint16 port, QString *error)
{
    QHostAddress address;
    if (host == QLatin1String("localhost")) {
        address = QHostAddress(QHostAddress::LocalHost);
    } else if (!address.setAddress(host)) {
        *error = QStringLiteral("not an IP address: %1").arg(host);
        return false;
    }
    if (!server.listen(address, port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3").arg(host).arg(port).arg(server.errorString());
        return false;
    }
    return true;
}

QString UpdateService::boundAddress() const
{
    return QStringLiteral("%1:%2").arg(server.serverAddress().toString()).arg(server.serverPort());
}

void UpdateService::stop()
{
    server.close();
    const QList<ServiceSession *> sessions = findChildren<ServiceSession *>(QString(), Qt::FindDirectChildrenOnly);
    for (ServiceSession *session : sessions)
        session->disconnect(this);
    qDeleteAll(sessions);
    active = 0;
    perAddress.clear();
}

void UpdateService::refuse(QTcpSocket *socket, const QString &reason)
{
    logWarn(QStringLiteral("refused client %1:%2: %3")
                .arg(socket->peerAddress().toString())
                .arg(socket->peerPort())
                .arg(reason));
    socket->abort();
    socket->deleteLater();
}

void UpdateService::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        const QHostAddress address = socket->peerAddress();
        if (active >= offer.limits.maxSessions) {
            refuse(socket, QStringLiteral("%1 sessions already open").arg(active));
            continue;
        }
        // Checked apart from the total: one host holding its connections
        // open must not lock every other client out.
        const int fromAddress = perAddress.value(address);
        if (fromAddress >= offer.limits.maxSessionsPerAddress) {
            refuse(socket, QStringLiteral("%1 sessions already open from %2").arg(fromAddress).arg(address.toString()));
            continue;
        }
        auto *session = new ServiceSession(socket, offer, this);
        ++active;
        ++perAddress[address];
        // Counted down when the connection ends, not when the session is
        // deleted later: the place is free for the next client at once.
        connect(session, &ServiceSession::finished, this, [this, address]() {
            --active;
            if (--perAddress[address] <= 0)
                perAddress.remove(address);
        });
        connect(session, &ServiceSession::finished, session, &QObject::deleteLater);
    }
}
