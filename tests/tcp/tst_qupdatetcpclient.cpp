#include "scriptedserver.h"
#include "tcp/qupdatetcpclient.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif // Q_OS_UNIX

using namespace TcpProtocol;

namespace {

const QString kLocalHost = QStringLiteral("127.0.0.1");

VersionCheckRequest request(const QString &version = QStringLiteral("1.0.0"))
{
    VersionCheckRequest r;
    r.version = version;
    r.clientId = QStringLiteral("1");
    r.projectType = 2;
    return r;
}

QByteArray replyBody(bool hasUpdate, int files)
{
    QVector<RemoteFileEntry> entries;
    for (int i = 0; i < files; ++i)
        entries << TcpMessages::makeRemoteFileEntry(QStringLiteral("dir"), QStringLiteral("f%1").arg(i));
    return TcpMessages::buildVersionReply(hasUpdate, QStringLiteral("2.0.0"), 4, entries);
}

} // namespace

class TestQUpdateTcpClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void connectRefusedThenAccepted();
    void connectTimesOut();
    void secondConnectWhileConnected();
    void versionCheckReply();
    void versionCheckFailures_data();
    void versionCheckFailures();
    void versionCheckLateReply();
    void versionCheckWhenNotConnected();
    void heartbeat();
    void oversizeHeaderClosesConnection();
    void badMagicDiscardsBuffer();
    void unknownTypeIsSkipped();
};

void TestQUpdateTcpClient::initTestCase()
{
    qRegisterMetaType<VersionInfo>("VersionInfo");
}

void TestQUpdateTcpClient::connectRefusedThenAccepted()
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    QUpdateTcpClient client;
    QSignalSpy errors(&client, &QUpdateTcpClient::errorOccurred);
    QVERIFY(!client.connectToServer(kLocalHost, closedPort));
    QCOMPARE(client.connectionState(), QUpdateTcpClient::Error);
    QVERIFY(!client.isConnected());
    QCOMPARE(errors.count(), 1);
    QVERIFY(!client.lastError().isEmpty());

    // After a socket error a new connect is accepted.
    ScriptedServer server;
    QSignalSpy connectedSpy(&client, &QUpdateTcpClient::connected);
    QVERIFY(client.connectToServer(kLocalHost, server.port()));
    QVERIFY(client.isConnected());
    QCOMPARE(client.connectionState(), QUpdateTcpClient::Connected);
    QCOMPARE(connectedSpy.count(), 1);
    QCOMPARE(client.host(), kLocalHost);
    QCOMPARE(client.port(), server.port());
}

void TestQUpdateTcpClient::connectTimesOut()
{
#ifdef Q_OS_UNIX
    // A listening socket whose accept queue is full drops further SYNs, so a
    // connect to it neither succeeds nor fails: exactly a silent server.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(listener >= 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0);
    QVERIFY(::listen(listener, 0) == 0);
    socklen_t length = sizeof(address);
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    const quint16 port = ntohs(address.sin_port);

    QVector<QTcpSocket *> fillers;
    for (int i = 0; i < 4; ++i) {
        auto *filler = new QTcpSocket(this);
        filler->connectToHost(QHostAddress::LocalHost, port);
        filler->waitForConnected(100);
        fillers << filler;
    }

    QUpdateTcpClient client;
    QElapsedTimer timer;
    timer.start();
    const bool ok = client.connectToServer(kLocalHost, port, 300);
    const qint64 elapsed = timer.elapsed();
    qDeleteAll(fillers);
    ::close(listener);
    if (ok)
        QSKIP("the kernel accepted the connection despite the full queue");
    QVERIFY2(elapsed >= 250 && elapsed < 2000, qPrintable(QString::number(elapsed)));
    QCOMPARE(client.connectionState(), QUpdateTcpClient::Error);
    QVERIFY(!client.lastError().isEmpty());
#else
    QSKIP("needs POSIX sockets to build a silent listener");
#endif // Q_OS_UNIX
}

void TestQUpdateTcpClient::secondConnectWhileConnected()
{
    ScriptedServer server;
    QUpdateTcpClient client;
    QVERIFY(client.connectToServer(kLocalHost, server.port()));
    QVERIFY(!client.connectToServer(kLocalHost, server.port()));
    QCOMPARE(client.lastError(), QStringLiteral("已经连接或正在连接中"));
    QVERIFY(client.isConnected());
}

void TestQUpdateTcpClient::versionCheckReply()
{
    ScriptedServer server;
    server.setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck)
            ScriptedServer::send(c, VersionReply, replyBody(true, 2));
    });
    QUpdateTcpClient client;
    QVERIFY(client.connectToServer(kLocalHost, server.port()));
    QSignalSpy checked(&client, &QUpdateTcpClient::versionChecked);
    QString failure = QStringLiteral("stale");
    const VersionInfo info = client.checkVersion(request(QStringLiteral("1.0.9")), 2000, &failure);

    QVERIFY(failure.isEmpty());
    QVERIFY(info.hasUpdate);
    QCOMPARE(info.version, QStringLiteral("2.0.0"));
    QCOMPARE(info.projectName, QStringLiteral("quaywright"));
    QCOMPARE(info.files.size(), 2);
    QCOMPARE(info.files.at(1).name(), QStringLiteral("f1"));
    QCOMPARE(checked.count(), 1);

    QCOMPARE(server.count(VersionCheck), 1);
    VersionCheckRequest sent;
    QVERIFY(TcpMessages::parseVersionCheck(server.requests.constLast().body, &sent));
    QCOMPARE(sent.version, QStringLiteral("1.0.9"));
    QCOMPARE(sent.clientId, QStringLiteral("1"));
    QCOMPARE(sent.projectType, 2);
}

void TestQUpdateTcpClient::versionCheckFailures_data()
{
    QTest::addColumn<quint32>("replyType");
    QTest::addColumn<QByteArray>("replyBody");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("checkedSignals");

    QTest::newRow("error reply") << quint32(ErrorReply) << QByteArray("no") << QStringLiteral("服务器返回错误") << 0;
    QTest::newRow("reply announcing more records than it holds")
        << quint32(VersionReply) << replyBody(true, 3).left(57 + 180) << QStringLiteral("版本回复无法解析") << 1;
    QTest::newRow("reply shorter than its header")
        << quint32(VersionReply) << QByteArray(20, '\1') << QStringLiteral("版本回复无法解析") << 1;
    QTest::newRow("no reply at all") << 0u << QByteArray() << QStringLiteral("版本检查超时") << 0;
}

void TestQUpdateTcpClient::versionCheckFailures()
{
    QFETCH(quint32, replyType);
    QFETCH(QByteArray, replyBody);
    QFETCH(QString, failure);
    QFETCH(int, checkedSignals);

    ScriptedServer server;
    server.setHandler([&](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck && replyType != 0)
            ScriptedServer::send(c, replyType, replyBody);
    });
    QUpdateTcpClient client;
    QVERIFY(client.connectToServer(kLocalHost, server.port()));
    QSignalSpy checked(&client, &QUpdateTcpClient::versionChecked);
    QString cause;
    const VersionInfo info = client.checkVersion(request(), 300, &cause);
    QCOMPARE(cause, failure);
    QVERIFY(!info.hasUpdate);
    QVERIFY(info.files.isEmpty());
    QVERIFY(info.version.isEmpty());
    QCOMPARE(checked.count(), checkedSignals);
}

void TestQUpdateTcpClient::versionCheckLateReply()
{
    ScriptedServer server;
    server.setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck)
            QTimer::singleShot(400, c, [c]() { ScriptedServer::send(c, VersionReply, replyBody(true, 1)); });
    });
    QUpdateTcpClient client;
    QVERIFY(client.connectToServer(kLocalHost, server.port()));
    QSignalSpy checked(&client, &QUpdateTcpClient::versionChecked);
    QSignalSpy errors(&client, &QUpdateTcpClient::errorOccurred);
    QElapsedTimer timer;
    timer.start();
    QString cause;
    const VersionInfo info = client.checkVersion(request(), 100, &cause);
    QVERIFY(timer.elapsed() < 400);
    QVERIFY(!info.hasUpdate);
    QCOMPARE(cause, QStringLiteral("版本检查超时"));
    QCOMPARE(errors.count(), 0); // a time-out is silent

    // The late reply still reaches whoever listens.
    QVERIFY(checked.wait(2000));
    QCOMPARE(checked.count(), 1);
    QVERIFY(checked.at(0).at(0).value<VersionInfo>().hasUpdate);
}

void TestQUpdateTcpClient::versionCheckWhenNotConnected()
{
    QUpdateTcpClient client;
    QSignalSpy errors(&client, &QUpdateTcpClient::errorOccurred);
    QString cause;
    const VersionInfo info = client.checkVersion(request(), 100, &cause);
    QVERIFY(!info.hasUpdate);
    QCOMPARE(cause, QStringLiteral("未连接到服务器"));
    QCOMPARE(client.lastError(), QStringLiteral("未连接到服务器"));
    QCOMPARE(errors.count(), 1);
    QVERIFY(!client.downloadFile({QString(), QStringLiteral("a")}, 100));
    QCOMPARE(errors.count(), 2);
}

void TestQUpdateTcpClient::heartbeat()
{
    ScriptedServer server;
    server.setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == Heartbeat)
            ScriptedServer::send(c, HeartbeatReply, p.body);
    });
    QUpdateTcpClient client;
    client.setHeartbeatInterval(50);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    QVERIFY(client.connectToServer(kLocalHost, server.port()));
    QSignalSpy replies(&client, &QUpdateTcpClient::heartbeatReceived);
    QVERIFY(replies.wait(2000));
    QVERIFY(server.count(Heartbeat) >= 1);
    const Packet &beat = server.requests.constFirst();
    QCOMPARE(beat.type, quint32(Heartbeat));
    QCOMPARE(beat.body.size(), 8);
    const qint64 sent = getInt64(beat.body.constData());
    QVERIFY(sent >= before && sent <= QDateTime::currentMSecsSinceEpoch());

    // No heartbeat goes out once the connection is gone.
    server.connections.constFirst()->abort();
    QTRY_VERIFY(!client.isConnected());
    const int beats = server.count(Heartbeat);
    QTest::qWait(200);
    QCOMPARE(server.count(Heartbeat), beats);
}

void TestQUpdateTcpClient::oversizeHeaderClosesConnection()
{
    ScriptedServer server;
    server.setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck) {
            c->write(buildHeader(VersionReply, kMaxBodyLength + 1, 1) + QByteArray(1000, 'x'));
            c->flush();
        }
    });
    QUpdateTcpClient client;
    QVERIFY(client.connectToServer(kLocalHost, server.port()));
    QSignalSpy errors(&client, &QUpdateTcpClient::errorOccurred);
    QSignalSpy closed(&client, &QUpdateTcpClient::disconnected);
    QString cause;
    client.checkVersion(request(), 2000, &cause);
    QVERIFY2(cause.contains(QStringLiteral("消息长度超出限制")), qPrintable(cause));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(closed.count(), 1);
    QVERIFY(!client.isConnected());
}

void TestQUpdateTcpClient::badMagicDiscardsBuffer()
{
    ScriptedServer server;
    server.setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type != VersionCheck)
            return;
        // Garbage followed by a valid reply in one write: both are lost.
        c->write(QByteArray(24, 'G') + buildPacket(VersionReply, replyBody(true, 1), 1));
        c->flush();
        QTimer::singleShot(200, c, [c]() { ScriptedServer::send(c, VersionReply, replyBody(false, 0)); });
    });
    QUpdateTcpClient client;
    QVERIFY(client.connectToServer(kLocalHost, server.port()));
    QSignalSpy checked(&client, &QUpdateTcpClient::versionChecked);
    const VersionInfo info = client.checkVersion(request(), 2000);
    // Only the reply sent after the garbage is framed.
    QCOMPARE(checked.count(), 1);
    QVERIFY(!info.hasUpdate);
    QCOMPARE(info.version, QStringLiteral("2.0.0"));
    QVERIFY(client.isConnected());
}

void TestQUpdateTcpClient::unknownTypeIsSkipped()
{
    ScriptedServer server;
    server.setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type != VersionCheck)
            return;
        c->write(buildPacket(0x7777, "??", 1) + buildPacket(HeartbeatReply, QByteArray(), 1)
                 + buildPacket(VersionReply, replyBody(true, 1), 1));
        c->flush();
    });
    QUpdateTcpClient client;
    QVERIFY(client.connectToServer(kLocalHost, server.port()));
    QSignalSpy beats(&client, &QUpdateTcpClient::heartbeatReceived);
    const VersionInfo info = client.checkVersion(request(), 2000);
    QVERIFY(info.hasUpdate);
    QCOMPARE(beats.count(), 1);
}

QTEST_GUILESS_MAIN(TestQUpdateTcpClient)
#include "tst_qupdatetcpclient.moc"
