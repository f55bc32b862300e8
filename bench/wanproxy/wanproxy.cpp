#include "wanproxy.h"

#include "wanconnection.h"

WanProxy::WanProxy(quint32 targetAddress, quint16 targetPort, qint64 delayNs, qint64 bytesPerSecond, QObject *parent)
    : QTcpServer(parent)
    , address(targetAddress)
    , port(targetPort)
    , up(delayNs, bytesPerSecond)
    , down(delayNs, bytesPerSecond)
{
}

void WanProxy::incomingConnection(qintptr socketDescriptor)
{
    auto *connection = new WanConnection(static_cast<int>(socketDescriptor), address, port, &up, &down, this);
    connect(connection, &WanConnection::closed, connection, &QObject::deleteLater);
}
