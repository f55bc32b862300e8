#include "scriptedserver.h"
#include "tcp/qupdatetcpclient.h"
#include "testinstallation.h"

#include <QRandomGenerator>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif // Q_OS_UNIX

using namespace TcpProtocol;

namespace {

const QString kLocalHost = QStringLiteral("127.0.0.1");
// The download inactivity limit, shortened for the tests.
constexpr int kInactivityMs = 400;
const VersionCheckRequest kRequest{QStringLiteral("1.0.9"), QStringLiteral("1"), 2};

QByteArray content(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + 7) & 0xFF);
    return bytes;
}

QByteArray replyPacket(bool hasUpdate, int files)
{
    QVector<RemoteFileEntry> entries;
    for (int i = 0; i < files; ++i)
        entries << TcpMessages::makeRemoteFileEntry(QStringLiteral("dir"), QStringLiteral("f%1").arg(i));
    return buildPacket(VersionReply, TcpMessages::buildVersionReply(hasUpdate, QStringLiteral("2.0.0"), 4, entries), 1);
}

} // namespace

/// The protocol client against an in-process service: every case starts
/// with a fresh service, temporary area and connected client.
class TestQUpdateTcpClient : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void connectRefusedThenAccepted();
    void connectTimesOut();
    void versionCheck_data();
    void versionCheck();
    void versionCheckLateReply();
    void requestsWhenNotConnected();
    void heartbeat();
    void downloadsInChunks();
    void downloadFailures_data();
    void downloadFailures();
    void hostileRequestIsNotSent();
    void writeFailureContinues();
    void refetchAfterDroppedConnection();
    void fuzzedReceivePath();
    void pipelinedRun_data();
    void pipelinedRun();

private:
    std::unique_ptr<ScriptedServer> server;
    std::unique_ptr<TestArea> area;
    std::unique_ptr<QUpdateTcpClient> client;
};

void TestQUpdateTcpClient::init()
{
    client.reset();
    server = std::make_unique<ScriptedServer>();
    area = std::make_unique<TestArea>();
    QVERIFY(area->isValid());
    client = std::make_unique<QUpdateTcpClient>();
    client->setFileWriter(area->writer.get());
    client->setInactivityLimit(kInactivityMs);
    QVERIFY(client->connectToServer(kLocalHost, server->port()));
}

void TestQUpdateTcpClient::connectRefusedThenAccepted()
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    QUpdateTcpClient fresh;
    QSignalSpy errors(&fresh, &QUpdateTcpClient::errorOccurred);
    QVERIFY(!fresh.connectToServer(kLocalHost, closedPort));
    QCOMPARE(fresh.connectionState(), QUpdateTcpClient::Error);
    QCOMPARE(errors.count(), 1);
    QVERIFY(!fresh.errorString().isEmpty());

    // After a socket error a new connect is accepted; while connected, a second is not.
    QSignalSpy connectedSpy(&fresh, &QUpdateTcpClient::connected);
    QVERIFY(fresh.connectToServer(kLocalHost, server->port()));
    QCOMPARE(fresh.connectionState(), QUpdateTcpClient::Connected);
    QCOMPARE(connectedSpy.count(), 1);
    QVERIFY(!fresh.connectToServer(kLocalHost, server->port()));
    QCOMPARE(fresh.errorString(), QStringLiteral("已经连接或正在连接中"));
    QVERIFY(fresh.isConnected());
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
    socklen_t length = sizeof(address);
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0);
    QVERIFY(::listen(listener, 0) == 0);
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    std::vector<std::unique_ptr<QTcpSocket>> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(std::make_unique<QTcpSocket>());
        fillers.back()->connectToHost(QHostAddress::LocalHost, ntohs(address.sin_port));
        fillers.back()->waitForConnected(100);
    }

    QUpdateTcpClient fresh;
    QElapsedTimer timer;
    timer.start();
    const bool ok = fresh.connectToServer(kLocalHost, ntohs(address.sin_port), 300);
    const qint64 elapsed = timer.elapsed();
    fillers.clear();
    ::close(listener);
    if (ok)
        QSKIP("the kernel accepted the connection despite the full queue");
    QVERIFY2(elapsed >= 250 && elapsed < 2000, qPrintable(QString::number(elapsed)));
    QCOMPARE(fresh.connectionState(), QUpdateTcpClient::Error);
    QVERIFY(!fresh.errorString().isEmpty());
#else
    QSKIP("needs POSIX sockets to build a silent listener");
#endif // Q_OS_UNIX
}

void TestQUpdateTcpClient::versionCheck_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("later");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("checkedSignals");
    QTest::addColumn<int>("errors");
    QTest::addColumn<bool>("connected");

    // files: the entries of a usable reply offering an update, -1 for none.
    const QByteArray none;
    QTest::newRow("usable reply") << replyPacket(true, 2) << none << QString() << 2 << 1 << 0 << true;
    QTest::newRow("unknown type and heartbeat reply before the reply are skipped")
        << buildPacket(0x7777, "??", 1) + buildPacket(HeartbeatReply, QByteArray(), 1) + replyPacket(true, 1) << none
        << QString() << 1 << 1 << 0 << true;
    QTest::newRow("garbage loses the whole read; the next reply is framed")
        << QByteArray(24, 'G') + replyPacket(true, 1) << replyPacket(false, 0) << QString() << -1 << 1 << 0 << true;
    QTest::newRow("error reply") << buildPacket(ErrorReply, "no", 1) << none << QStringLiteral("服务器返回错误") << -1
                                 << 0 << 1 << true;
    QTest::newRow("reply announcing more records than it holds")
        << buildPacket(VersionReply, replyPacket(true, 3).mid(kHeaderSize, 57 + 180), 1) << none
        << QStringLiteral("版本回复无法解析") << -1 << 1 << 0 << true;
    QTest::newRow("oversize length drops the connection")
        << buildHeader(VersionReply, kMaxBodyLength + 1, 1) + QByteArray(1000, 'x') << none
        << QStringLiteral("消息长度超出限制") << -1 << 0 << 1 << false;
    QTest::newRow("no reply: a silent time-out")
        << none << none << QStringLiteral("版本检查超时") << -1 << 0 << 0 << true;
}

void TestQUpdateTcpClient::versionCheck()
{
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, later);
    QFETCH(QString, failure);
    QFETCH(int, files);
    QFETCH(int, checkedSignals);
    QFETCH(int, errors);
    QFETCH(bool, connected);

    server->on(VersionCheck, [&](QTcpSocket *c, const Packet &) {
        ScriptedServer::write(c, reply);
        ScriptedServer::write(c, later, 100);
    });
    QSignalSpy checked(client.get(), &QUpdateTcpClient::versionChecked);
    QSignalSpy errorSpy(client.get(), &QUpdateTcpClient::errorOccurred);
    QString cause = QStringLiteral("stale");
    const VersionInfo info = client->checkVersion(kRequest, 800, &cause);

    QVERIFY2(failure.isEmpty() ? cause.isEmpty() : cause.contains(failure), qPrintable(cause));
    QCOMPARE(info.hasUpdate, files >= 0);
    QCOMPARE(info.files.size(), qMax(files, 0));
    if (files > 0)
        QCOMPARE(info.files.constLast().name(), QStringLiteral("f%1").arg(files - 1));
    QCOMPARE(info.version, failure.isEmpty() ? QStringLiteral("2.0.0") : QString());
    QCOMPARE(info.projectName, failure.isEmpty() ? QStringLiteral("quaywright") : QString());
    QCOMPARE(checked.count(), checkedSignals);
    QCOMPARE(errorSpy.count(), errors);
    QCOMPARE(client->isConnected(), connected);

    QCOMPARE(server->count(VersionCheck), 1);
    VersionCheckRequest sent;
    QVERIFY(TcpMessages::parseVersionCheck(server->requests.constFirst().body, &sent));
    QCOMPARE(sent.version, kRequest.version);
    QCOMPARE(sent.clientId, kRequest.clientId);
    QCOMPARE(sent.projectType, kRequest.projectType);
}

void TestQUpdateTcpClient::versionCheckLateReply()
{
    server->answer(VersionCheck, replyPacket(true, 1), 400);
    QSignalSpy checked(client.get(), &QUpdateTcpClient::versionChecked);
    QElapsedTimer timer;
    timer.start();
    QString cause;
    QVERIFY(!client->checkVersion(kRequest, 100, &cause).hasUpdate);
    QVERIFY(timer.elapsed() < 400);
    QCOMPARE(cause, QStringLiteral("版本检查超时"));

    // The late reply is ignored: outside the check nobody may take it for
    // a new download list.
    QVERIFY(!checked.wait(700));
    QVERIFY(client->isConnected());
}

void TestQUpdateTcpClient::requestsWhenNotConnected()
{
    QUpdateTcpClient fresh;
    QSignalSpy errors(&fresh, &QUpdateTcpClient::errorOccurred);
    QString cause;
    QVERIFY(!fresh.checkVersion(kRequest, 100, &cause).hasUpdate);
    QCOMPARE(cause, QStringLiteral("未连接到服务器"));
    QCOMPARE(fresh.errorString(), QStringLiteral("未连接到服务器"));
    QCOMPARE(errors.count(), 1);
    QVERIFY(!fresh.downloadFile({QString(), QStringLiteral("a")}, 100));
    QCOMPARE(errors.count(), 2);
}

void TestQUpdateTcpClient::heartbeat()
{
    server->on(Heartbeat,
               [](QTcpSocket *c, const Packet &p) { ScriptedServer::write(c, buildPacket(HeartbeatReply, p.body, 1)); });
    QUpdateTcpClient fresh;
    fresh.setHeartbeatInterval(50);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    QVERIFY(fresh.connectToServer(kLocalHost, server->port()));
    QSignalSpy replies(&fresh, &QUpdateTcpClient::heartbeatReceived);
    QVERIFY(replies.wait(2000));
    const Packet &beat = server->requests.constFirst();
    QCOMPARE(beat.type, quint32(Heartbeat));
    QCOMPARE(beat.body.size(), 8);
    const qint64 sent = getInt64(beat.body.constData());
    QVERIFY(sent >= before && sent <= QDateTime::currentMSecsSinceEpoch());

    // No heartbeat goes out once the connection is gone.
    server->connections.constLast()->abort();
    QTRY_VERIFY(!fresh.isConnected());
    const int beats = server->count(Heartbeat);
    QTest::qWait(200);
    QCOMPARE(server->count(Heartbeat), beats);
}

void TestQUpdateTcpClient::downloadsInChunks()
{
    const QByteArray data = content(17000);
    server->on(FileDownload, [&](QTcpSocket *c, const Packet &p) {
        // One chunk of more than 4 KiB per write, 150 ms apart: each renews
        // the inactivity limit, the whole transfer outlasts it.
        for (int i = 0; i * 5000 < data.size(); ++i) {
            const QByteArray piece = data.mid(5000 * i, 5000);
            ScriptedServer::write(c, ScriptedServer::fileData(ScriptedServer::requested(p), 17000, piece, i == 3), 150 * i);
        }
    });
    QSignalSpy progress(client.get(), &QUpdateTcpClient::sigFileDownloadProgress);
    QSignalSpy completed(client.get(), &QUpdateTcpClient::sigFileDownloadCompleted);
    QSignalSpy errors(client.get(), &QUpdateTcpClient::sigFileDownloadError);

    QVERIFY2(client->downloadFile({QStringLiteral("bin/sub"), QStringLiteral("data.bin")}, -1),
             qPrintable(client->errorString()));
    QCOMPARE(area->readTemp(QStringLiteral("bin/sub/data.bin")), data);
    QCOMPARE(completed.count(), 1);
    QCOMPARE(completed.at(0).at(0).toString(), QStringLiteral("bin/sub"));
    QCOMPARE(errors.count(), 0);
    QList<uint> received;
    for (const QList<QVariant> &args : progress)
        received << args.at(2).toUInt();
    QCOMPARE(received, (QList<uint>{0, 5000, 10000, 15000, 17000})); // the start, then every chunk
    QCOMPARE(progress.constLast().at(3).toUInt(), 17000u);
}

void TestQUpdateTcpClient::downloadFailures_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<int>("cancelAfter");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("fileErrors");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<int>("minMs");

    const FileItem item{QString(), QStringLiteral("x.bin")};
    const QByteArray stall = ScriptedServer::fileData(item, 100, QByteArray(10, 's'), false);
    const QString timedOut = QStringLiteral("下载超时");
    // Every failed attempt drops the connection: its late bytes must never
    // reach the retry.
    QTest::newRow("error reply ends the wait at once")
        << buildPacket(ErrorReply, "no such file", 1) << -1 << -1 << QStringLiteral("服务器返回错误") << 0 << false << 0;
    QTest::newRow("file data body shorter than its header")
        << buildPacket(FileData, QByteArray(172, '\0'), 1) << -1 << -1 << QStringLiteral("172") << 0 << false << 0;
    QTest::newRow("last chunk leaves the file short") << ScriptedServer::fileData(item, 1000, QByteArray(600, 's'), true)
                                                      << -1 << -1 << item.name << 1 << false << 0;
    QTest::newRow("more data than announced is cut off and the connection dropped")
        << ScriptedServer::fileData(item, 1000, QByteArray(500, 'e'), false).repeated(50) << -1 << -1 << item.name << 1
        << false << 0;
    QTest::newRow("data for another (hostile) file drops the connection unwritten")
        << ScriptedServer::fileData({QStringLiteral("../../.."), QStringLiteral("evil.txt")}, 5, "owned", true) << -1
        << -1 << QStringLiteral("未请求的文件数据") << 1 << false << 0;
    QTest::newRow("same name in another folder is another file")
        << ScriptedServer::fileData({QStringLiteral("other"), item.name}, 5, "wrong", true) << -1 << -1
        << QStringLiteral("未请求的文件数据") << 1 << false << 0;
    QTest::newRow("bad magic in the middle of the file")
        << stall + QByteArray(40, 'g') << -1 << -1 << QStringLiteral("数据头无效") << 0 << false << 0;
    QTest::newRow("stall beyond the inactivity limit renews the connection")
        << stall << -1 << -1 << timedOut << 1 << false << kInactivityMs - 50;
    QTest::newRow("overall time-out without any data") << QByteArray() << 200 << -1 << timedOut << 1 << false << 150;
    QTest::newRow("cancel ends the wait") << stall << -1 << 150 << QStringLiteral("下载已取消") << 0 << false << 100;
}

void TestQUpdateTcpClient::downloadFailures()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, timeout);
    QFETCH(int, cancelAfter);
    QFETCH(QString, error);
    QFETCH(int, fileErrors);
    QFETCH(bool, connected);
    QFETCH(int, minMs);

    server->answer(FileDownload, stream);
    if (cancelAfter >= 0)
        QTimer::singleShot(cancelAfter, client.get(), [this]() { client->cancelCurrentRequest(); });
    QSignalSpy fileErrorSpy(client.get(), &QUpdateTcpClient::sigFileDownloadError);
    QSignalSpy completed(client.get(), &QUpdateTcpClient::sigFileDownloadCompleted);
    const QStringList before = area->allFiles();
    QElapsedTimer timer;
    timer.start();

    QVERIFY(!client->downloadFile({QString(), QStringLiteral("x.bin")}, timeout));
    QVERIFY2(timer.elapsed() >= minMs && timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY2(client->errorString().contains(error), qPrintable(client->errorString()));
    QCOMPARE(fileErrorSpy.count(), fileErrors);
    if (fileErrors > 0)
        QVERIFY(fileErrorSpy.constLast().at(2).toString().contains(error));
    QCOMPARE(completed.count(), 0);
    QCOMPARE(client->isConnected(), connected);
    // Nothing but the requested file is written, never beyond its announced size.
    QStringList after = area->allFiles();
    after.removeAll(QStringLiteral("UpdateTmp/x.bin"));
    QCOMPARE(after, before);
    QVERIFY(QFileInfo(area->tempFile(QStringLiteral("x.bin"))).size() <= 1000);
    QVERIFY(!QFile::exists(QFileInfo(area->root()).absolutePath() + QStringLiteral("/evil.txt")));
}

void TestQUpdateTcpClient::hostileRequestIsNotSent()
{
    const QList<FileItem> hostile = {{QStringLiteral("../.."), QStringLiteral("evil.exe")},
                                     {QString(), QStringLiteral("../evil.exe")},
                                     {QStringLiteral("bin"), QStringLiteral("..")}};
    QSignalSpy fileErrors(client.get(), &QUpdateTcpClient::sigFileDownloadError);
    for (const FileItem &item : hostile) {
        QVERIFY(!client->downloadFile(item, -1));
        QVERIFY2(client->errorString().contains(QStringLiteral("路径不安全")), qPrintable(client->errorString()));
    }
    QCOMPARE(fileErrors.count(), hostile.size());
    QTest::qWait(50);
    QCOMPARE(server->count(FileDownload), 0);
}

void TestQUpdateTcpClient::writeFailureContinues()
{
    const QByteArray data = content(3000);
    server->on(FileDownload, [&](QTcpSocket *c, const Packet &p) {
        const FileItem item = ScriptedServer::requested(p);
        ScriptedServer::write(c, ScriptedServer::fileData(item, 3000, data.left(1000), false));
        ScriptedServer::write(c, ScriptedServer::fileData(item, 3000, data.mid(1000, 1000), false)
                                     + ScriptedServer::fileData(item, 3000, data.mid(2000), true), 100);
    });
    // A directory where the file belongs: every write fails, even as root.
    const QString target = area->tempFile(QStringLiteral("w/blocked.bin"));
    const QString failure = QStringLiteral("Failed to save file data: w/blocked.bin");
    QVERIFY(QDir().mkpath(target));
    QSignalSpy progress(client.get(), &QUpdateTcpClient::sigFileDownloadProgress);
    QSignalSpy fileErrors(client.get(), &QUpdateTcpClient::sigFileDownloadError);
    const QMetaObject::Connection unblock = connect(client.get(), &QUpdateTcpClient::sigFileDownloadError, this,
                                                    [target]() { QDir(target).removeRecursively(); });

    QVERIFY(!client->downloadFile({QStringLiteral("w"), QStringLiteral("blocked.bin")}, -1));
    // The failure was reported at once, the wait went on, later chunks were
    // written, and the short file failed the attempt with the write failure.
    QVERIFY(fileErrors.count() >= 2);
    QCOMPARE(fileErrors.at(0).at(2).toString(), failure);
    QCOMPARE(progress.constLast().at(2).toUInt(), 2000u);
    QCOMPARE(client->errorString(), failure);
    disconnect(unblock);
    QVERIFY(!client->isConnected());

    // The retry, on a new connection, fetches the file from scratch.
    QVERIFY(client->connectToServer(kLocalHost, server->port()));
    QVERIFY2(client->downloadFile({QStringLiteral("w"), QStringLiteral("blocked.bin")}, -1),
             qPrintable(client->errorString()));
    QCOMPARE(area->readTemp(QStringLiteral("w/blocked.bin")), data);
}

void TestQUpdateTcpClient::refetchAfterDroppedConnection()
{
    const QByteArray data = content(5000);
    server->on(FileDownload, [&](QTcpSocket *c, const Packet &p) {
        if (server->count(FileDownload) == 1) {
            ScriptedServer::write(c, ScriptedServer::fileData(ScriptedServer::requested(p), 5000, data.left(3000), false));
            QTimer::singleShot(50, c, [c]() { c->disconnectFromHost(); });
        } else { // shorter than what the first attempt left: only a fresh file matches
            ScriptedServer::sendFile(c, ScriptedServer::requested(p), data.left(2000), 1500);
        }
    });
    const FileItem item{QStringLiteral("r"), QStringLiteral("again.bin")};
    QVERIFY(!client->downloadFile(item, -1));
    QVERIFY(!client->isConnected());
    QVERIFY(!client->errorString().isEmpty());

    QVERIFY(client->connectToServer(kLocalHost, server->port()));
    QVERIFY2(client->downloadFile(item, -1), qPrintable(client->errorString()));
    QCOMPARE(area->readTemp(QStringLiteral("r/again.bin")), data.left(2000));
}

void TestQUpdateTcpClient::fuzzedReceivePath()
{
    bool fixed = false;
    const quint32 seed = qEnvironmentVariableIsSet("UPDATER_FUZZ_SEED")
                             ? static_cast<quint32>(qEnvironmentVariableIntValue("UPDATER_FUZZ_SEED", &fixed))
                             : QRandomGenerator::global()->generate();
    qInfo("fuzz seed %u (UPDATER_FUZZ_SEED=%u repeats this run)", seed, seed);
    QRandomGenerator random(seed);

    const FileItem item{QStringLiteral("f"), QStringLiteral("x.bin")};
    const QByteArray whole = content(3000);
    const QVector<QByteArray> templates = {
        ScriptedServer::fileData(item, 3000, whole.left(1000), false),
        ScriptedServer::fileData(item, 3000, whole.mid(1000), true),
        buildPacket(VersionReply,
                    TcpMessages::buildVersionReply(true, QStringLiteral("2"), 1,
                                                   {TcpMessages::makeRemoteFileEntry(QStringLiteral("p"), QStringLiteral("n"))}),
                    1),
        buildPacket(HeartbeatReply, "beat", 1),
        buildPacket(ErrorReply, "no", 1),
        ScriptedServer::fileData({QStringLiteral("../.."), QStringLiteral("evil.txt")}, 4, "evil", true),
    };
    // 40 rounds of 10 messages: each a template with bytes flipped, its
    // length or type rewritten, or cut short.
    const auto mutate = [&random](QByteArray message) {
        switch (random.bounded(5)) {
        case 0:
            for (int flips = 1 + random.bounded(4); flips > 0; --flips)
                message[random.bounded(message.size())] = static_cast<char>(random.bounded(256));
            break;
        case 1:
            putUInt32(message.data() + 4, random.generate());
            break;
        case 2:
            putUInt32(message.data() + 8, random.bounded(2) ? random.generate() : 0x8000u + random.bounded(5));
            break;
        case 3:
            message.truncate(random.bounded(message.size()));
            break;
        default:
            break; // left intact
        }
        return message;
    };
    int completed = 0;
    for (int round = 0; round < 40; ++round) {
        QByteArray stream;
        for (int i = 0; i < 10; ++i)
            stream += mutate(templates.at(random.bounded(templates.size())));
        // Every fourth round the stream answers a version check instead, so
        // that the reply parser is reached too.
        const bool check = round % 4 == 3;
        server->answer(check ? VersionCheck : FileDownload, stream);
        if (!client->isConnected())
            QVERIFY(client->connectToServer(kLocalHost, server->port()));
        client->beginRun(); // a round that completed the file may fetch it again
        if (check)
            client->checkVersion(kRequest, 100);
        else
            completed += client->downloadFile(item, 100) ? 1 : 0;
        // Whatever arrived, nothing but the awaited file is ever written.
        for (const QString &file : area->allFiles())
            QVERIFY2(file == QLatin1String("system.cfg") || file == QLatin1String("UpdateTmp/f/x.bin"), qPrintable(file));
    }

    qInfo("%d of 30 fuzzed downloads completed", completed);

    // The client is still sound: a clean transfer works. It gets a fresh
    // connection, since the last round may have left half a message on the
    // old one, which a real run never reuses after a failed exchange.
    server->answer(FileDownload, templates.at(0) + templates.at(1));
    client->beginRun();
    if (client->isConnected()) {
        server->connections.constLast()->abort();
        QTRY_VERIFY(!client->isConnected());
    }
    QVERIFY(client->connectToServer(kLocalHost, server->port()));
    QVERIFY2(client->downloadFile(item, -1), qPrintable(client->errorString()));
    QCOMPARE(area->readTemp(QStringLiteral("f/x.bin")), whole);
}

void TestQUpdateTcpClient::pipelinedRun_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("failAt"); // the service answers this file with an error once
    QTest::addColumn<int>("maxOnTheWire");

    QTest::newRow("old service: one request at a time") << 1 << -1 << 1;
    QTest::newRow("window of 4") << 4 << -1 << 4;
    QTest::newRow("a file refused inside the window") << 4 << 3 << 4;
}

void TestQUpdateTcpClient::pipelinedRun()
{
    QFETCH(int, depth);
    QFETCH(int, failAt);
    QFETCH(int, maxOnTheWire);
    constexpr int kFiles = 8;
    QList<FileItem> items;
    for (int i = 0; i < kFiles; ++i)
        items << FileItem{QStringLiteral("p"), QStringLiteral("f%1").arg(i)};
    // An in-order service that answers each request 20 ms after it came;
    // it counts, per connection, the requests not answered yet.
    std::map<QTcpSocket *, int> onTheWire;
    int peak = 0;
    bool refused = false;
    QStringList firstPerConnection;
    server->on(FileDownload, [&](QTcpSocket *c, const Packet &p) {
        const FileItem item = ScriptedServer::requested(p);
        if (!onTheWire.count(c))
            firstPerConnection << item.name;
        peak = qMax(peak, ++onTheWire[c]);
        const int index = item.name.mid(1).toInt();
        QTimer::singleShot(20, c, [&, c, item, index]() {
            --onTheWire[c];
            if (index == failAt && !refused) {
                refused = true;
                ScriptedServer::send(c, ErrorReply, "no such file");
            } else {
                ScriptedServer::sendFile(c, item, content(3000 + index), 1024);
            }
        });
    });
    QSignalSpy completed(client.get(), &QUpdateTcpClient::sigFileDownloadCompleted);
    client->setPipelineDepth(depth);
    client->beginRun(items);
    for (int i = 0; i < kFiles; ++i) {
        bool ok = client->downloadFile(items.at(i), 2000);
        if (!ok && i == failAt) {
            QCOMPARE(client->errorString(), QStringLiteral("服务器返回错误"));
            QVERIFY(client->connectToServer(kLocalHost, server->port()));
            ok = client->downloadFile(items.at(i), 2000);
        }
        QVERIFY2(ok, qPrintable(QStringLiteral("f%1: %2").arg(i).arg(client->errorString())));
    }
    for (int i = 0; i < kFiles; ++i)
        QCOMPARE(area->readTemp(QStringLiteral("p/f%1").arg(i)), content(3000 + i));
    QCOMPARE(completed.count(), kFiles);
    for (int i = 0; i < kFiles; ++i)
        QCOMPARE(completed.at(i).at(1).toString(), QStringLiteral("f%1").arg(i));
    QCOMPARE(peak, maxOnTheWire);
    // After a fault the new connection starts with the first unfinished file.
    QStringList expectedFirst{QStringLiteral("f0")};
    if (failAt >= 0)
        expectedFirst << QStringLiteral("f%1").arg(failAt);
    QCOMPARE(firstPerConnection, expectedFirst);
}

QTEST_GUILESS_MAIN(TestQUpdateTcpClient)
#include "tst_qupdatetcpclient.moc"
