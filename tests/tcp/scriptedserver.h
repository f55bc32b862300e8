#pragma once

#include "tcp/packetassembler.h"
#include "tcp/tcpmessages.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <map>

/// An in-process update service for tests: listens on 127.0.0.1 with a free
/// port, frames what each connection sends and hands every request to a
/// handler that the test sets, which answers through the helpers below.
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
    void setHandler(Handler h) { handler = std::move(h); }
    /// Requests of @p type received so far, over all connections.
    int count(quint32 type) const
    {
        int n = 0;
        for (const Packet &p : requests)
            n += p.type == type ? 1 : 0;
        return n;
    }

    static void send(QTcpSocket *connection, quint32 type, const QByteArray &body)
    {
        connection->write(TcpProtocol::buildPacket(type, body, 1));
        connection->flush();
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
        connection->write(stream);
        connection->flush();
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
            if (handler)
                handler(connection, packet);
        }
    }

    Handler handler;
    std::map<QTcpSocket *, PacketAssembler> assemblers;
};
