#include "testhttpserver.h"

#include <QTcpSocket>
#include <QUrl>

namespace {

QByteArray reasonFor(int status)
{
    static const QHash<int, QByteArray> reasons{
        {200, "OK"}, {301, "Moved Permanently"}, {404, "Not Found"}, {500, "Internal Server Error"}};
    return reasons.value(status, "Status");
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
    routes.insert(path, Route{body, 200, -1, {}, Framing::Length, {}});
}

void TestHttpServer::setStatus(const QString &path, int status, const QString &location)
{
    routes.insert(path,
                  Route{"<html>" + reasonFor(status) + "</html>", status, -1, location.toUtf8(), Framing::Length, {}});
}

void TestHttpServer::setStall(const QString &path, int sentBytes)
{
    routes[path].stallAfter = sentBytes;
}

void TestHttpServer::setFraming(const QString &path, Framing framing)
{
    routes[path].framing = framing;
}

void TestHttpServer::setHeader(const QString &path, const QByteArray &line)
{
    routes[path].extraHeader = line;
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
    if (requestLine.size() < 3 || requestLine.at(0) != "GET") {
        socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    const QString path = QUrl::fromPercentEncoding(requestLine.at(1));
    requestLog.append(path);
    headerLog.insert(path, buffer.left(end + 2).toLower());
    buffer.clear();
    answer(socket, path);
}

void TestHttpServer::answer(QTcpSocket *socket, const QString &path)
{
    const auto found = routes.constFind(path);
    Route route = found != routes.cend() ? found.value()
                                         : Route{"<html>Not Found</html>", 404, -1, {}, Framing::Length, {}};
    QByteArray head;
    if (!route.etag.isEmpty()) {
        head += "ETag: " + route.etag + "\r\n";
        applyRange(&route, &head, headerLog.value(path));
    }
    head.prepend("HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reasonFor(route.status) + "\r\n");
    if (route.framing == Framing::Length)
        head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
    else if (route.framing == Framing::ShortBody)
        head += "Content-Length: " + QByteArray::number(route.body.size() + 100) + "\r\n";
    else if (route.framing == Framing::CutChunked)
        head += "Transfer-Encoding: chunked\r\n";
    if (!route.location.isEmpty())
        head += "Location: " + route.location + "\r\n";
    if (!route.extraHeader.isEmpty())
        head += route.extraHeader + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    if (route.framing == Framing::CutChunked) {
        socket->write(QByteArray::number(route.body.size(), 16) + "\r\n" + route.body + "\r\n");
        socket->disconnectFromHost();
        return;
    }
    if (route.framing == Framing::Endless) {
        sendEndlessly(socket, route.body.isEmpty() ? QByteArray(4096, 'x') : route.body);
        return;
    }
    if (route.stallAfter >= 0) {
        socket->write(route.body.left(route.stallAfter));
        socket->setProperty("sent", route.stallAfter);
        stalled.append(Stalled{socket, path});
        return;
    }
    socket->write(route.body);
    socket->disconnectFromHost();
}

void TestHttpServer::setRanges(const QString &path, const QByteArray &etag)
{
    routes[path].etag = etag;
}

void TestHttpServer::applyRange(Route *route, QByteArray *head, const QByteArray &request)
{
    // The request's header lines are lower-cased; the tag is compared so.
    auto value = [&request](const QByteArray &name) {
        const int at = request.indexOf("\r\n" + name + ':');
        if (at < 0)
            return QByteArray();
        const int start = at + name.size() + 3;
        return request.mid(start, request.indexOf("\r\n", start) - start).trimmed();
    };
    const QByteArray range = value("range");
    const QByteArray ifRange = value("if-range");
    if (!range.startsWith("bytes=") || !range.endsWith('-')
        || (!ifRange.isEmpty() && ifRange != route->etag.toLower()))
        return;
    const int from = range.mid(6, range.size() - 7).toInt();
    const int size = route->body.size();
    if (from >= size) {
        route->status = 416;
        *head += "Content-Range: bytes */" + QByteArray::number(size) + "\r\n";
        route->body.clear();
        return;
    }
    route->status = 206;
    *head += "Content-Range: bytes " + QByteArray::number(from) + '-' + QByteArray::number(size - 1) + '/'
             + QByteArray::number(size) + "\r\n";
    route->body = route->body.mid(from);
}

void TestHttpServer::sendEndlessly(QTcpSocket *socket, const QByteArray &body)
{
    // Topped up as the client reads, so the server holds little and stops
    // only when the client closes the connection.
    const auto topUp = [socket, body] {
        while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < 256 * 1024)
            socket->write(body);
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, topUp);
    topUp();
}
