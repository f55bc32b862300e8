#pragma once

#include "servicesession.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

/// Accepts clients and gives each its own session, all on one thread. The
/// number of sessions, in all and from one peer address, is bounded by the
/// offer's limits; a client beyond either bound is turned away with a log
/// line, while others are still served.
class UpdateService : public QObject
{
    Q_OBJECT

public:
    explicit UpdateService(const ReleaseOffer &offer, QObject *parent = nullptr);

    /// Starts listening on @p host / @p port (0 picks a free port). False
    /// with @p error set (naming the address and the toolkit's reason).
    bool listen(const QString &host, quint16 port, QString *error);
    /// "address:port" actually bound.
    QString boundAddress() const;
    /// Closes the listener and every client connection.
    void stop();

private slots:
    void onNewConnection();

private:
    void refuse(QTcpSocket *socket, const QString &reason);

    QTcpServer server;
    ReleaseOffer offer;
    int active = 0;
    QHash<QHostAddress, int> perAddress; ///< open sessions by peer address
};
