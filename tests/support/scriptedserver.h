#pragma once

#include "tcp/packetassembler.h"
#include "tcp/tcpmessages.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <map>

/// An in-process update service for tests: listens on 127.0.0.1 with a free
/// port, frames what each connection sends and hands every request to the
/// handler the test set for its type (or to the general handler).
class ScriptedServer
{
public:
    using Handler = std::function<void(QTcpSocket *connection, const Packet &request)>;

    ScriptedServer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this]() {
            while (QTcpSocket *connection = server.nextPendingConnection()) {
                connections.append(connection);
                QObject::connect(connection, &QTcpSocket::readyRead, connection,
                                 [this, connection]() { onData(connection); });
            }
        });
    }

    quint16 port() const { return server.serverPort(); }
    /// Hands every request without a handler of its own type to @p handler.
    void setHandler(Handler handler) { fallback = std::move(handler); }
    /// Answers requests of @p type through @p handler.
    void on(quint32 type, Handler handler) { handlers[type] = std::move(handler); }
    /// Answers requests of @p type with @p bytes, written @p delay ms later.
    void answer(quint32 type, const QByteArray &bytes, int delay = 0)
    {
        on(type, [bytes, delay](QTcpSocket *c, const Packet &) { write(c, bytes, delay); });
    }
    /// Requests of @p type received so far, over all connections.
    int count(quint32 type) const
    {
        return static_cast<int>(std::count_if(requests.begin(), requests.end(),
                                              [type](const Packet &p) { return p.type == type; }));
    }

    /// Writes @p bytes, if any, to @p connection: at once, or @p delay ms later.
    static void write(QTcpSocket *connection, const QByteArray &bytes, int delay = 0)
    {
        auto doWrite = [connection, bytes]() {
            connection->write(bytes);
            connection->flush();
        };
        if (bytes.isEmpty())
            return;
        if (delay > 0)
            QTimer::singleShot(delay, connection, doWrite);
        else
            doWrite();
    }
    static void send(QTcpSocket *connection, quint32 type, const QByteArray &body)
    {
        write(connection, TcpProtocol::buildPacket(type, body, 1));
    }
    /// The file a FileDownload request asks for.
    static FileItem requested(const Packet &request)
    {
        FileItem item;
        TcpMessages::parseFileDownload(request.body, &item);
        return item;
    }
    static QByteArray fileData(const FileItem &item, quint32 total, const QByteArray &chunk, bool isLast)
    {
        return TcpProtocol::buildPacket(
            TcpProtocol::FileData, TcpMessages::buildFileData(item.path, item.name, total, isLast, 0, chunk), 1);
    }
    /// Sends @p content as chunks of @p chunkSize bytes, all in one write.
    static void sendFile(QTcpSocket *connection, const FileItem &item, const QByteArray &content, int chunkSize)
    {
        QByteArray stream;
        int offset = 0;
        do {
            const QByteArray piece = content.mid(offset, chunkSize);
            offset += piece.size();
            stream += fileData(item, static_cast<quint32>(content.size()), piece, offset >= content.size());
        } while (offset < content.size());
        write(connection, stream);
    }

    QTcpServer server;
    QVector<QTcpSocket *> connections;
    QVector<Packet> requests;

private:
    void onData(QTcpSocket *connection)
    {
        PacketAssembler &assembler = assemblers[connection];
        assembler.append(connection->readAll());
        Packet packet;
        while (assembler.next(&packet) == PacketAssembler::Result::Message) {
            requests.append(packet);
            const auto handler = handlers.find(packet.type);
            if (handler != handlers.end())
                handler->second(connection, packet);
            else if (fallback)
                fallback(connection, packet);
        }
    }

    std::map<quint32, Handler> handlers;
    Handler fallback;
    std::map<QTcpSocket *, PacketAssembler> assemblers;
};
