#include "fileops/safepath.h"
#include "tcp/packetassembler.h"
#include "tcp/qupdatetcpclient.h"
#include "tcp/tcpmessages.h"
#include "testarea.h"

#include <QtTest>

using namespace TcpProtocol;

namespace {

const QString kLocalHost = QStringLiteral("127.0.0.1");

QByteArray content(int size, int seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 13 + seed) & 0xFF);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

/// The service binary running on a free loopback port.
class ServiceProcess
{
public:
    ~ServiceProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    bool start(const QStringList &arguments)
    {
        process.setProgram(QStringLiteral(UPDATE_SERVICE_PATH));
        process.setArguments(arguments + QStringList{QStringLiteral("--port"), QStringLiteral("0")});
        process.start();
        if (!process.waitForStarted(5000))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (!process.canReadLine() && timer.elapsed() < 10000) {
            if (!process.waitForReadyRead(200) && process.state() == QProcess::NotRunning)
                return false;
        }
        const QByteArray line = process.readLine().trimmed();
        const QByteArray prefix = "listening 127.0.0.1:";
        if (!line.startsWith(prefix))
            return false;
        bool ok = false;
        port = line.mid(prefix.size()).toUShort(&ok);
        return ok && port != 0;
    }

    QProcess process;
    quint16 port = 0;
};

/// A bare protocol client that collects every message it receives.
class RawClient
{
public:
    bool connectTo(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(3000);
    }
    void send(quint32 type, const QByteArray &body)
    {
        socket.write(buildPacket(type, body, 1));
        socket.flush();
    }
    void request(const QString &path, const QString &name) { send(FileDownload, TcpMessages::buildFileDownload(path, name)); }
    /// Reads until @p count more messages arrived or the time is up.
    QVector<Packet> receive(int count, int timeout = 5000)
    {
        QVector<Packet> packets;
        QElapsedTimer timer;
        timer.start();
        while (packets.size() < count && timer.elapsed() < timeout) {
            Packet packet;
            if (assembler.next(&packet) == PacketAssembler::Result::Message) {
                packets.append(packet);
                continue;
            }
            if (!socket.waitForReadyRead(100) && socket.state() != QAbstractSocket::ConnectedState)
                break;
            assembler.append(socket.readAll());
        }
        return packets;
    }
    /// Receives FileData messages until the one marked last; returns the file bytes.
    QByteArray receiveFile(QVector<FileDataChunk> *chunks = nullptr)
    {
        QByteArray data;
        for (;;) {
            const QVector<Packet> packets = receive(1);
            if (packets.isEmpty() || packets.at(0).type != FileData)
                return QByteArray("<no file data>");
            FileDataChunk chunk;
            TcpMessages::parseFileData(packets.at(0).body, &chunk);
            data += chunk.data;
            if (chunks)
                chunks->append(chunk);
            if (chunk.isLast)
                return data;
        }
    }

    QTcpSocket socket;
    PacketAssembler assembler;
};

} // namespace

class TestUpdateService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void servesTree();
    void versionDecision_data();
    void versionDecision();
    void refusesRequestsOutsideRelease_data();
    void refusesRequestsOutsideRelease();
    void chunking();
    void twoClientsAtOnce();
    void skipsUnfitFiles();
    void servesPublishedRelease();
    void rejectsBadCommandLines_data();
    void rejectsBadCommandLines();
    void closesGarbageStream();
    void stopsOnTerminate();

private:
    std::unique_ptr<QTemporaryDir> releaseDir;
    QString release;
};

void TestUpdateService::initTestCase()
{
    QVERIFY2(QFile::exists(QStringLiteral(UPDATE_SERVICE_PATH)), UPDATE_SERVICE_PATH);
}

void TestUpdateService::init()
{
    releaseDir = std::make_unique<QTemporaryDir>();
    QVERIFY(releaseDir->isValid());
    release = releaseDir->path() + QStringLiteral("/release");
    QVERIFY(writeFile(release + QStringLiteral("/client.exe"), content(70000, 1)));
    QVERIFY(writeFile(release + QStringLiteral("/bin/core.dll"), content(2500, 2)));
    QVERIFY(writeFile(release + QStringLiteral("/bin/plugins/empty.cfg"), QByteArray()));
    QVERIFY(writeFile(release + QStringLiteral("/数据/说明.txt"), QByteArray("中文")));
}

void TestUpdateService::servesTree()
{
    ServiceProcess service;
    QVERIFY(service.start({QStringLiteral("--release"), release, QStringLiteral("--version"), QStringLiteral("1.1.0"),
                           QStringLiteral("--chunk-size"), QStringLiteral("1000")}));
    TestArea area;
    QUpdateTcpClient client;
    client.setFileWriter(area.writer.get());
    QVERIFY(client.connectToServer(kLocalHost, service.port));

    VersionCheckRequest request;
    request.version = QStringLiteral("1.0.0");
    request.clientId = QStringLiteral("1");
    QString failure;
    const VersionInfo info = client.checkVersion(request, 3000, &failure);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QVERIFY(info.hasUpdate);
    QCOMPARE(info.version, QStringLiteral("1.1.0"));
    QCOMPARE(info.projectName, QStringLiteral("Lunetta"));

    QStringList listed;
    for (const RemoteFileEntry &entry : info.files)
        listed << SafePath::joinRelative(entry.path(), entry.name());
    const QStringList expected = {QStringLiteral("bin/core.dll"), QStringLiteral("bin/plugins/empty.cfg"),
                                  QStringLiteral("client.exe"), QStringLiteral("数据/说明.txt")};
    QCOMPARE(listed, expected);

    for (const RemoteFileEntry &entry : info.files) {
        QVERIFY2(client.downloadFile({entry.path(), entry.name()}, -1), qPrintable(client.lastError()));
        const QString relative = SafePath::joinRelative(entry.path(), entry.name());
        QFile original(release + QLatin1Char('/') + relative);
        QVERIFY(original.open(QIODevice::ReadOnly));
        QCOMPARE(area.readTemp(relative), original.readAll());
    }
}

void TestUpdateService::versionDecision_data()
{
    QTest::addColumn<QString>("clientVersion");
    QTest::addColumn<int>("projectType");
    QTest::addColumn<bool>("hasUpdate");
    QTest::addColumn<int>("files");
    QTest::newRow("older client gets every file") << QStringLiteral("1.0.0") << 3 << true << 4;
    QTest::newRow("newer client too: versions only differ") << QStringLiteral("9.9") << 3 << true << 4;
    QTest::newRow("same version: nothing to do") << QStringLiteral("1.1.0") << 3 << false << 0;
    QTest::newRow("other project type gets nothing") << QStringLiteral("1.0.0") << 2 << false << 0;
}

void TestUpdateService::versionDecision()
{
    QFETCH(QString, clientVersion);
    QFETCH(int, projectType);
    QFETCH(bool, hasUpdate);
    QFETCH(int, files);

    ServiceProcess service;
    QVERIFY(service.start({QStringLiteral("--release"), release, QStringLiteral("--version"), QStringLiteral("1.1.0"),
                           QStringLiteral("--project-type"), QStringLiteral("3")}));
    RawClient raw;
    QVERIFY(raw.connectTo(service.port));
    raw.send(VersionCheck, TcpMessages::buildVersionCheck({clientVersion, QStringLiteral("1"), projectType}));
    const QVector<Packet> replies = raw.receive(1);
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.at(0).type, quint32(VersionReply));
    VersionInfo info;
    QVERIFY(TcpMessages::parseVersionReply(replies.at(0).body, &info));
    QCOMPARE(info.hasUpdate, hasUpdate);
    QCOMPARE(info.files.size(), files);
    QCOMPARE(info.version, QStringLiteral("1.1.0"));
    QCOMPARE(info.projectName, QStringLiteral("mistral run"));
}

void TestUpdateService::refusesRequestsOutsideRelease_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::newRow("dot-dot to a sibling of the release") << QStringLiteral("..") << QStringLiteral("secret.txt");
    QTest::newRow("dot-dot inside the path") << QStringLiteral("bin/../..") << QStringLiteral("secret.txt");
    QTest::newRow("absolute path") << QStringLiteral("/etc") << QStringLiteral("passwd");
    QTest::newRow("name with a path in it") << QString() << QStringLiteral("../secret.txt");
    QTest::newRow("file that is not part of the release") << QStringLiteral("bin") << QStringLiteral("nothere.dll");
    QTest::newRow("symbolic link leading outside") << QString() << QStringLiteral("link.txt");
    QTest::newRow("directory instead of a file") << QString() << QStringLiteral("bin");
}

void TestUpdateService::refusesRequestsOutsideRelease()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QVERIFY(writeFile(releaseDir->path() + QStringLiteral("/secret.txt"), "secret"));
    QFile::link(releaseDir->path() + QStringLiteral("/secret.txt"), release + QStringLiteral("/link.txt"));

    ServiceProcess service;
    QVERIFY(service.start({QStringLiteral("--release"), release, QStringLiteral("--version"), QStringLiteral("2")}));
    RawClient raw;
    QVERIFY(raw.connectTo(service.port));
    raw.request(path, name);
    const QVector<Packet> replies = raw.receive(1);
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.at(0).type, quint32(ErrorReply));

    // The connection stays usable for a proper request.
    raw.request(QStringLiteral("bin"), QStringLiteral("core.dll"));
    QCOMPARE(raw.receiveFile(), content(2500, 2));
}

void TestUpdateService::chunking()
{
    ServiceProcess service;
    QVERIFY(service.start({QStringLiteral("--release"), release, QStringLiteral("--version"), QStringLiteral("2"),
                           QStringLiteral("--chunk-size"), QStringLiteral("1000")}));
    RawClient raw;
    QVERIFY(raw.connectTo(service.port));
    raw.request(QStringLiteral("bin"), QStringLiteral("core.dll"));
    QVector<FileDataChunk> chunks;
    QCOMPARE(raw.receiveFile(&chunks), content(2500, 2));
    QCOMPARE(chunks.size(), 3);
    const quint32 sizes[] = {1000, 1000, 500};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(chunks.at(i).chunkSize, sizes[i]);
        QCOMPARE(chunks.at(i).totalSize, 2500u);
        QCOMPARE(chunks.at(i).isLast, i == 2);
        QCOMPARE(chunks.at(i).auxValue, quint32(1000 * i));
        QCOMPARE(chunks.at(i).filePath, QStringLiteral("bin"));
        QCOMPARE(chunks.at(i).fileName, QStringLiteral("core.dll"));
    }

    chunks.clear();
    raw.request(QStringLiteral("bin/plugins"), QStringLiteral("empty.cfg"));
    QCOMPARE(raw.receiveFile(&chunks), QByteArray());
    QCOMPARE(chunks.size(), 1);
    QCOMPARE(chunks.at(0).chunkSize, 0u);
    QVERIFY(chunks.at(0).isLast);
}

void TestUpdateService::twoClientsAtOnce()
{
    const QByteArray big = content(3 * 1024 * 1024 + 17, 9);
    QVERIFY(writeFile(release + QStringLiteral("/big.bin"), big));
    ServiceProcess service;
    QVERIFY(service.start({QStringLiteral("--release"), release, QStringLiteral("--version"), QStringLiteral("2"),
                           QStringLiteral("--chunk-size"), QStringLiteral("4096")}));
    RawClient first;
    RawClient second;
    QVERIFY(first.connectTo(service.port));
    QVERIFY(second.connectTo(service.port));
    first.request(QString(), QStringLiteral("big.bin"));
    second.request(QString(), QStringLiteral("big.bin"));
    // Neither client reads yet: the service must serve both without waiting
    // for one to finish, and without blocking on the one that lags.
    QByteArray firstData;
    QByteArray secondData;
    bool firstDone = false;
    bool secondDone = false;
    QElapsedTimer timer;
    timer.start();
    while ((!firstDone || !secondDone) && timer.elapsed() < 20000) {
        for (auto [client, data, done] : {std::tie(first, firstData, firstDone), std::tie(second, secondData, secondDone)}) {
            if (done)
                continue;
            const QVector<Packet> packets = client.receive(1, 200);
            for (const Packet &packet : packets) {
                FileDataChunk chunk;
                QVERIFY(TcpMessages::parseFileData(packet.body, &chunk));
                data += chunk.data;
                done = chunk.isLast;
            }
        }
    }
    QVERIFY(firstDone && secondDone);
    QCOMPARE(firstData, big);
    QCOMPARE(secondData, big);
}

void TestUpdateService::skipsUnfitFiles()
{
    QVERIFY(writeFile(release + QLatin1Char('/') + QString(32, QLatin1Char('n')), "long name"));
    QVERIFY(writeFile(release + QLatin1Char('/') + QString(31, QLatin1Char('k')), "fits"));
    QVERIFY(writeFile(release + QLatin1Char('/') + QString(128, QLatin1Char('d')) + QStringLiteral("/f"), "deep"));
    QVERIFY(writeFile(release + QStringLiteral("/.hidden"), "hidden"));
    QVERIFY(writeFile(releaseDir->path() + QStringLiteral("/outside.txt"), "outside"));
    QVERIFY(QFile::link(releaseDir->path() + QStringLiteral("/outside.txt"), release + QStringLiteral("/escape.txt")));
    QVERIFY(QFile::link(release + QStringLiteral("/client.exe"), release + QStringLiteral("/alias.exe")));

    ServiceProcess service;
    QVERIFY(service.start({QStringLiteral("--release"), release, QStringLiteral("--version"), QStringLiteral("2")}));
    RawClient raw;
    QVERIFY(raw.connectTo(service.port));
    raw.send(VersionCheck, TcpMessages::buildVersionCheck({QStringLiteral("1"), QStringLiteral("1"), 1}));
    const QVector<Packet> replies = raw.receive(1);
    QCOMPARE(replies.size(), 1);
    VersionInfo info;
    QVERIFY(TcpMessages::parseVersionReply(replies.at(0).body, &info));
    QStringList names;
    for (const RemoteFileEntry &entry : info.files)
        names << entry.name();
    QVERIFY(names.contains(QString(31, QLatin1Char('k'))));
    QVERIFY(names.contains(QStringLiteral("alias.exe"))); // a link that stays inside
    QVERIFY(!names.contains(QString(32, QLatin1Char('n'))));
    QVERIFY(!names.contains(QStringLiteral("f")));
    QVERIFY(!names.contains(QStringLiteral(".hidden")));
    QVERIFY(!names.contains(QStringLiteral("escape.txt")));
    QCOMPARE(info.files.size(), 6);

    raw.request(QString(), QStringLiteral("escape.txt"));
    const QVector<Packet> refusal = raw.receive(1);
    QCOMPARE(refusal.size(), 1);
    QCOMPARE(refusal.at(0).type, quint32(ErrorReply));

    service.process.terminate();
    QVERIFY(service.process.waitForFinished(5000));
    const QString log = QString::fromUtf8(service.process.readAllStandardOutput() + service.process.readAllStandardError());
    QVERIFY2(log.contains(QStringLiteral("skipped escape.txt")), qPrintable(log));
    QVERIFY2(log.contains(QStringLiteral("skipped ") + QString(32, QLatin1Char('n'))), qPrintable(log));
}

void TestUpdateService::servesPublishedRelease()
{
    const QString published = releaseDir->path() + QStringLiteral("/published");
    QVERIFY(writeFile(published + QStringLiteral("/update.ini"), "[Version]\nFolder=v2\nVersion=2.0.0\n"));
    QVERIFY(writeFile(published + QStringLiteral("/v2/md5.txt"), "x\t/app.exe\r\n"));
    QVERIFY(writeFile(published + QStringLiteral("/v2/app.exe"), "app"));
    QVERIFY(writeFile(published + QStringLiteral("/v2/sub/md5.txt"), "a nested md5.txt is an ordinary file"));

    ServiceProcess service;
    QVERIFY(service.start({QStringLiteral("--release"), published}));
    RawClient raw;
    QVERIFY(raw.connectTo(service.port));
    raw.send(VersionCheck, TcpMessages::buildVersionCheck({QStringLiteral("1.0.0"), QStringLiteral("1"), 1}));
    const QVector<Packet> replies = raw.receive(1);
    QCOMPARE(replies.size(), 1);
    VersionInfo info;
    QVERIFY(TcpMessages::parseVersionReply(replies.at(0).body, &info));
    QVERIFY(info.hasUpdate);
    QCOMPARE(info.version, QStringLiteral("2.0.0"));
    QCOMPARE(info.files.size(), 2);
    QCOMPARE(info.files.at(0).name(), QStringLiteral("app.exe"));
    QCOMPARE(info.files.at(1).path(), QStringLiteral("sub"));

    raw.request(QString(), QStringLiteral("md5.txt"));
    const QVector<Packet> refusal = raw.receive(1);
    QCOMPARE(refusal.size(), 1);
    QCOMPARE(refusal.at(0).type, quint32(ErrorReply));
}

void TestUpdateService::rejectsBadCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("plain tree without a version") << QStringList{QStringLiteral("--port"), QStringLiteral("0")};
    QTest::newRow("port out of range")
        << QStringList{QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--port"), QStringLiteral("70000")};
    QTest::newRow("zero chunk size") << QStringList{QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--port"),
                                                    QStringLiteral("0"), QStringLiteral("--chunk-size"), QStringLiteral("0")};
    QTest::newRow("project type 7") << QStringList{QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--port"),
                                                   QStringLiteral("0"), QStringLiteral("--project-type"), QStringLiteral("7")};
    QTest::newRow("version longer than 31 bytes")
        << QStringList{QStringLiteral("--version"), QString(32, QLatin1Char('9')), QStringLiteral("--port"), QStringLiteral("0")};
}

void TestUpdateService::rejectsBadCommandLines()
{
    QFETCH(QStringList, arguments);
    QProcess process;
    process.start(QStringLiteral(UPDATE_SERVICE_PATH), QStringList{QStringLiteral("--release"), release} + arguments);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(!process.readAllStandardError().isEmpty());
    QVERIFY(!process.readAllStandardOutput().startsWith("listening"));
}

void TestUpdateService::closesGarbageStream()
{
    ServiceProcess service;
    QVERIFY(service.start({QStringLiteral("--release"), release, QStringLiteral("--version"), QStringLiteral("2")}));
    RawClient raw;
    QVERIFY(raw.connectTo(service.port));
    raw.socket.write(QByteArray(64, 'G'));
    raw.socket.flush();
    QTRY_COMPARE_WITH_TIMEOUT(raw.socket.state() == QAbstractSocket::UnconnectedState
                                  || (raw.socket.waitForReadyRead(50), raw.socket.state() == QAbstractSocket::UnconnectedState),
                              true, 5000);

    // The service itself keeps going.
    RawClient next;
    QVERIFY(next.connectTo(service.port));
    next.send(Heartbeat, TcpMessages::buildHeartbeat(42));
    const QVector<Packet> replies = next.receive(1);
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.at(0).type, quint32(HeartbeatReply));
}

void TestUpdateService::stopsOnTerminate()
{
    ServiceProcess service;
    QVERIFY(service.start({QStringLiteral("--release"), release, QStringLiteral("--version"), QStringLiteral("2")}));
    RawClient raw;
    QVERIFY(raw.connectTo(service.port));
    service.process.terminate(); // SIGTERM
    QVERIFY(service.process.waitForFinished(5000));
    QCOMPARE(service.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.process.exitCode(), 0);
    QVERIFY(service.process.readAllStandardOutput().contains("stopped"));
}

QTEST_GUILESS_MAIN(TestUpdateService)
#include "tst_updateservice.moc"
