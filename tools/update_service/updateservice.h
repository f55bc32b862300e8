#pragma once

#include "servicesession.h"

#include <QObject>
#include <QTcpServer>

/// Accepts clients and gives each its own session; any number of clients
/// may be served at the same time, all on one thread.
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
    QTcpServer server;
    ReleaseOffer offer;
};
