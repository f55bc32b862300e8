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
    qDeleteAll(sessions);
}

void UpdateService::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        const int active = findChildren<ServiceSession *>(QString(), Qt::FindDirectChildrenOnly).size();
        if (active >= offer.limits.maxSessions) {
            logWarn(QStringLiteral("refused client %1:%2: %3 sessions already open")
                        .arg(socket->peerAddress().toString())
                        .arg(socket->peerPort())
                        .arg(active)
                        );
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *session = new ServiceSession(socket, offer, this);
        connect(session, &ServiceSession::finished, session, &QObject::deleteLater);
    }
}
