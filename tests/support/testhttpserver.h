#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

/// A tiny HTTP/1.1 file server on 127.0.0.1 for the tests.
///
/// It answers GET requests from a table of paths (decoded, as the client
/// sent them) and closes each connection after the answer. A path can be
/// made to answer with another status (a redirect, an error) or to stall
/// after its headers and part of its body until `release()`. Every request
/// is recorded.
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    explicit TestHttpServer(QObject *parent = nullptr);

    /// Listens on 127.0.0.1 with a free port.
    bool start();
    quint16 port() const { return server.serverPort(); }
    /// "http://127.0.0.1:<port>/".
    QString baseUrl() const;

    /// Serves @p body at @p path ("/update.ini", "/R2//a.dll", ...).
    void setFile(const QString &path, const QByteArray &body);
    /// Answers @p path with @p status, a short body and, when given, a
    /// Location header (e.g. 301 to @p location).
    void setStatus(const QString &path, int status, const QString &location = QString());
    /// Sends the headers and the first @p sentBytes of the body, then waits.
    void setStall(const QString &path, int sentBytes);
    /// Sends what a stalled path still owes and closes its connections.
    void release(const QString &path);

    /// How a body goes out: announced by Content-Length (the default); a
    /// Content-Length 100 bytes beyond the body, then the connection closed;
    /// no length, the close ending the body; one chunk of a chunked body and
    /// then the close, without the last chunk; or the body repeated without
    /// end until the client goes away.
    enum class Framing { Length, ShortBody, NoLength, CutChunked, Endless };
    void setFraming(const QString &path, Framing framing);
    /// Sends "ETag: @p etag" with @p path and serves "Range: bytes=N-" with
    /// 206 (or 416 beyond the end) when an If-Range matches the tag or is
    /// absent; a stale If-Range gets the whole body.
    void setRanges(const QString &path, const QByteArray &etag);
    /// Adds @p line (e.g. "Content-Encoding: gzip") to the answer's headers.
    void setHeader(const QString &path, const QByteArray &line);

    /// Paths of all requests so far, in arrival order.
    QStringList requests() const { return requestLog; }
    int requestCount(const QString &path) const { return requestLog.count(path); }
    /// The request line and headers of the last request for @p path,
    /// lower-cased, each line ending with CR LF.
    QByteArray lastHeaders(const QString &path) const { return headerLog.value(path); }

private:
    struct Route
    {
        QByteArray body;
        int status = 200;
        int stallAfter = -1;
        QByteArray location;
        Framing framing = Framing::Length;
        QByteArray extraHeader;
        QByteArray etag = QByteArray();
    };
    struct Stalled
    {
        QPointer<QTcpSocket> socket;
        QString path;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const QString &path);
    void applyRange(Route *route, QByteArray *head, const QByteArray &request);
    void sendEndlessly(QTcpSocket *socket, const QByteArray &body);

    QHash<QString, Route> routes;
    QHash<QTcpSocket *, QByteArray> pending;
    QList<Stalled> stalled;
    QStringList requestLog;
    QHash<QString, QByteArray> headerLog;
    // Last, so that it goes first: its sockets report their destruction to
    // the tables above.
    QTcpServer server;
};
