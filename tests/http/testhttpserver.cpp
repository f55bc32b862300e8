#include "testhttpserver.h"

#include <QTcpSocket>
#include <QUrl>

namespace {

QByteArray reasonFor(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

} // namespace

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

bool TestHttpServer::start()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(port());
}

void TestHttpServer::setFile(const QString &path, const QByteArray &body)
{
    Route route;
    route.body = body;
    routes.insert(path, route);
}

void TestHttpServer::setStatus(const QString &path, int status)
{
    Route route;
    route.status = status;
    route.body = "<html>" + reasonFor(status) + "</html>";
    routes.insert(path, route);
}

void TestHttpServer::setStall(const QString &path, int sentBytes)
{
    routes[path].stallAfter = sentBytes;
}

void TestHttpServer::setRedirect(const QString &path, const QString &location)
{
    Route route;
    route.status = 301;
    route.body = "<html>moved</html>";
    route.location = location.toUtf8();
    routes.insert(path, route);
}

void TestHttpServer::release(const QString &path)
{
    routes[path].stallAfter = -1;
    for (int i = stalled.size() - 1; i >= 0; --i) {
        if (stalled.at(i).path != path)
            continue;
        const Stalled entry = stalled.takeAt(i);
        if (!entry.socket)
            continue;
        const Route route = routes.value(path);
        const int sent = qMin(entry.socket->property("sent").toInt(), route.body.size());
        entry.socket->write(route.body.mid(sent));
        entry.socket->disconnectFromHost();
    }
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket] { pending.remove(socket); });
    }
}

void TestHttpServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = pending[socket];
    buffer += socket->readAll();
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    buffer.clear();
    if (requestLine.size() < 3 || requestLine.at(0) != "GET") {
        socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    const QString path = QUrl::fromPercentEncoding(requestLine.at(1));
    requestLog.append(path);
    emit requestReceived(path);
    answer(socket, path);
}

void TestHttpServer::answer(QTcpSocket *socket, const QString &path)
{
    const auto found = routes.constFind(path);
    const Route route = found != routes.cend() ? found.value() : Route{"<html>Not Found</html>", 404, -1, {}};
    QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reasonFor(route.status) + "\r\n";
    head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
    if (!route.location.isEmpty())
        head += "Location: " + route.location + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    if (route.stallAfter >= 0) {
        socket->write(route.body.left(route.stallAfter));
        socket->setProperty("sent", route.stallAfter);
        stalled.append(Stalled{socket, path});
        return;
    }
    socket->write(route.body);
    socket->disconnectFromHost();
}
