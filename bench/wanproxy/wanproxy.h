#pragma once

#include "wanlink.h"

#include <QTcpServer>

/// Accepts clients and joins each to a new connection to the target, all of
/// them sharing one simulated link per direction.
class WanProxy : public QTcpServer
{
    Q_OBJECT

public:
    WanProxy(quint32 targetAddress, quint16 targetPort, qint64 delayNs, qint64 bytesPerSecond,
             QObject *parent = nullptr);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    const quint32 address;
    const quint16 port;
    WanLink up;
    WanLink down;
};
