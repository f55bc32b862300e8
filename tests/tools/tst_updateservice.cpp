#include "fileops/safepath.h"
#include "tcp/packetassembler.h"
#include "tcp/qupdatetcpclient.h"
#include "tcp/tcpmessages.h"
#include "testinstallation.h"

#include <QTcpSocket>
#include <QtTest>

using namespace TcpProtocol;

namespace {

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

/// The service binary serving a release on a free loopback port.
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

    bool start(const QString &release, const QStringList &arguments)
    {
        const QStringList fixed = {QStringLiteral("--release"), release, QStringLiteral("--port"), QStringLiteral("0")};
        process.start(QStringLiteral(UPDATE_SERVICE_PATH), fixed + arguments);
        if (!process.waitForStarted(5000))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (!process.canReadLine() && process.state() == QProcess::Running && timer.elapsed() < 10000)
            process.waitForReadyRead(200);
        firstLine = process.readLine();
        const QByteArray line = firstLine.trimmed();
        const QByteArray prefix = "listening 127.0.0.1:";
        bool ok = false;
        port = line.startsWith(prefix) ? line.mid(prefix.size()).toUShort(&ok) : 0;
        return ok && port != 0;
    }

    /// Stops the service and returns its log. SIGTERM on POSIX; on Windows
    /// terminate() posts a window message that a console program never
    /// sees, so the service is killed there (its log is written as it goes).
    QString stopAndReadLog()
    {
#ifdef Q_OS_WIN
        process.kill();
#else
        process.terminate();
#endif // Q_OS_WIN
        process.waitForFinished(5000);
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    /// Waits for the end of a service that did not start; everything it
    /// wrote, including the line start() read.
    QString outputAfterExit()
    {
        process.waitForFinished(10000);
        return QString::fromUtf8(firstLine + process.readAllStandardOutput() + process.readAllStandardError());
    }

    QProcess process;
    QByteArray firstLine;
    quint16 port = 0;
};

/// A raw connection to the service on @p port from @p source, one of the
/// loopback addresses; nullptr when it cannot be made.
std::unique_ptr<QTcpSocket> connectFrom(const QString &source, quint16 port)
{
    auto socket = std::make_unique<QTcpSocket>();
    if (!socket->bind(QHostAddress(source)))
        return nullptr;
    socket->connectToHost(QHostAddress::LocalHost, port);
    return socket->waitForConnected(3000) ? std::move(socket) : nullptr;
}

/// True when a session answers a heartbeat on @p socket.
bool answersHeartbeat(QTcpSocket &socket)
{
    socket.write(buildPacket(Heartbeat, QByteArray(8, '\x01'), 1));
    PacketAssembler assembler;
    Packet reply;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 3000 && socket.waitForReadyRead(3000)) {
        assembler.append(socket.readAll());
        if (assembler.next(&reply) == PacketAssembler::Result::Message)
            return reply.type == HeartbeatReply;
    }
    return false;
}

/// What a row of the start-up refusals puts into the release.
enum class Unservable { File, Over4GiB, LinkOut, DirectoryLinkOut, DanglingLink, Unreadable };

/// An updater's side: the protocol client writing into a temporary area.
struct Updater
{
    bool connectTo(quint16 port)
    {
        client.setFileWriter(area.writer.get());
        return client.connectToServer(QStringLiteral("127.0.0.1"), port);
    }
    VersionInfo check(const QString &version, int projectType)
    {
        return client.checkVersion({version, QStringLiteral("1"), projectType}, 3000);
    }
    /// Sends @p type with @p body, bypassing the client's own checks, and
    /// waits for the service's error reply; true when it came.
    bool refused(quint32 type, const QByteArray &body)
    {
        QSignalSpy errors(&client, &QUpdateTcpClient::errorOccurred);
        return client.sendPacket(type, body) && errors.wait(3000)
               && client.errorString() == QStringLiteral("服务器返回错误");
    }
    QStringList listed(const VersionInfo &info) const
    {
        QStringList names;
        for (const RemoteFileEntry &entry : info.files)
            names << SafePath::joinRelative(entry.path(), entry.name());
        names.sort();
        return names;
    }

    TestArea area;
    QUpdateTcpClient client;
};

} // namespace

Q_DECLARE_METATYPE(Unservable)

class TestUpdateService : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void servesTreeInChunks();
    void refusesRequestsOutsideRelease_data();
    void refusesRequestsOutsideRelease();
    void twoClientsAtOnce();
    void servesFittingFilesAndStops();
    void refusesUnservableRelease_data();
    void refusesUnservableRelease();
    void servesPublishedRelease();
    void leavesOutWhatAPreviousReleaseHeld();
    void continuesACutFile();
    void rejectsBadCommandLines_data();
    void rejectsBadCommandLines();
    void hostileStreams_data();
    void hostileStreams();
    void floodingClientCannotExhaust();
    void grownFileFailsItsChecksum();
    void boundOnSessions_data();
    void boundOnSessions();
    void slowClientsAreClosed_data();
    void slowClientsAreClosed();

private:
    std::unique_ptr<QTemporaryDir> releaseDir;
    QString release;
    const QStringList treeFiles = {QStringLiteral("bin/core.dll"), QStringLiteral("bin/plugins/empty.cfg"),
                                   QStringLiteral("client.exe"), QStringLiteral("数据/说明.txt")};
};

void TestUpdateService::init()
{
    QVERIFY2(QFile::exists(QStringLiteral(UPDATE_SERVICE_PATH)), UPDATE_SERVICE_PATH);
    releaseDir = std::make_unique<QTemporaryDir>();
    QVERIFY(releaseDir->isValid());
    release = releaseDir->path() + QStringLiteral("/release");
    QVERIFY(writeFile(release + QStringLiteral("/client.exe"), content(70000, 1)));
    QVERIFY(writeFile(release + QStringLiteral("/bin/core.dll"), content(2500, 2)));
    QVERIFY(writeFile(release + QStringLiteral("/bin/plugins/empty.cfg"), QByteArray()));
    QVERIFY(writeFile(release + QStringLiteral("/数据/说明.txt"), QByteArray("中文")));
}

void TestUpdateService::servesTreeInChunks()
{
    ServiceProcess service;
    QVERIFY(service.start(release, {QStringLiteral("--version"), QStringLiteral("1.1.0"), QStringLiteral("--chunk-size"),
                                    QStringLiteral("1000"), QStringLiteral("--project-type"), QStringLiteral("3")}));
    Updater updater;
    QVERIFY(updater.connectTo(service.port));
    // Any other version of the same project gets every file (versions only
    // differ, newer or older); the same version or another project, none.
    const struct {
        const char *version;
        int projectType;
        bool hasUpdate;
    } decisions[] = {{"1.0.9", 3, true}, {"9.9", 3, true}, {"1.1.0", 3, false}, {"1.0.9", 2, false}};
    for (const auto &decision : decisions) {
        const VersionInfo info = updater.check(QString::fromLatin1(decision.version), decision.projectType);
        QVERIFY2(info.hasUpdate == decision.hasUpdate, decision.version);
        QCOMPARE(updater.listed(info), decision.hasUpdate ? treeFiles : QStringList());
        QCOMPARE(info.version, QStringLiteral("1.1.0"));
        QCOMPARE(info.projectName, QStringLiteral("mistral run"));
    }

    QSignalSpy progress(&updater.client, &QUpdateTcpClient::sigFileDownloadProgress);
    const VersionInfo info = updater.check(QStringLiteral("1.0.0"), 3);
    for (const RemoteFileEntry &entry : info.files) {
        progress.clear();
        // Every entry carries the MD5 tag of its file, and the client checks it.
        const QString relative = SafePath::joinRelative(entry.path(), entry.name());
        QFile original(release + QLatin1Char('/') + relative);
        QVERIFY(original.open(QIODevice::ReadOnly));
        const QByteArray bytes = original.readAll();
        QCOMPARE(entry.raw.mid(176, 4), QByteArray("MD5\x01"));
        QCOMPARE(entry.md5Tag(), QCryptographicHash::hash(bytes, QCryptographicHash::Md5));
        QVERIFY2(updater.client.downloadFile({entry.path(), entry.name(), entry.md5Tag()}, -1),
                 qPrintable(updater.client.errorString()));
        QCOMPARE(updater.area.readTemp(relative), bytes);
        if (entry.name() == QLatin1String("core.dll")) { // chunks of 1000, 1000 and 500 bytes
            QCOMPARE(progress.size(), 4);
            QCOMPARE(progress.at(1).at(2).toUInt(), 1000u);
            QCOMPARE(progress.at(3).at(2).toUInt(), 2500u);
            QCOMPARE(progress.at(3).at(3).toUInt(), 2500u);
        }
    }
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
    QTest::newRow("file replaced by a link leading outside") << QString() << QStringLiteral("link.txt");
    QTest::newRow("directory instead of a file") << QString() << QStringLiteral("bin");
}

void TestUpdateService::refusesRequestsOutsideRelease()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
#ifdef Q_OS_WIN
    if (name == QLatin1String("link.txt"))
        QSKIP("QFile::link makes a shortcut on Windows, an ordinary file; a symbolic link needs a privilege");
#endif // Q_OS_WIN
    QVERIFY(writeFile(releaseDir->path() + QStringLiteral("/secret.txt"), "secret"));
    QVERIFY(writeFile(release + QStringLiteral("/link.txt"), "served at start-up"));

    ServiceProcess service;
    QVERIFY(service.start(release, {QStringLiteral("--version"), QStringLiteral("2")}));
    // A release holding such a link is refused at start-up; one that gets
    // it afterwards still has every download checked.
    QVERIFY(QFile::remove(release + QStringLiteral("/link.txt")));
    QVERIFY(QFile::link(releaseDir->path() + QStringLiteral("/secret.txt"), release + QStringLiteral("/link.txt")));
    Updater updater;
    QVERIFY(updater.connectTo(service.port));
    QVERIFY(updater.refused(FileDownload, TcpMessages::buildFileDownload(path, name)));
    // The connection stays usable for a proper request.
    QVERIFY2(updater.client.downloadFile({QStringLiteral("bin"), QStringLiteral("core.dll")}, -1),
             qPrintable(updater.client.errorString()));
    QCOMPARE(updater.area.readTemp(QStringLiteral("bin/core.dll")), content(2500, 2));
}

void TestUpdateService::twoClientsAtOnce()
{
    const QByteArray big = content(3 * 1024 * 1024 + 17, 9);
    QVERIFY(writeFile(release + QStringLiteral("/big.bin"), big));
    ServiceProcess service;
    QVERIFY(service.start(release, {QStringLiteral("--version"), QStringLiteral("2"), QStringLiteral("--chunk-size"),
                                    QStringLiteral("4096")}));
    Updater first;
    Updater second;
    QSignalSpy firstDone(&first.client, &QUpdateTcpClient::sigFileDownloadCompleted);
    QSignalSpy secondDone(&second.client, &QUpdateTcpClient::sigFileDownloadCompleted);
    // The second download starts inside the first one's wait: both
    // transfers are served at the same time.
    QVERIFY(first.connectTo(service.port));
    QVERIFY(second.connectTo(service.port));
    const FileItem item{QString(), QStringLiteral("big.bin")};
    bool secondOk = false;
    QTimer::singleShot(0, &second.client, [&]() { secondOk = second.client.downloadFile(item, -1); });
    QVERIFY2(first.client.downloadFile(item, -1), qPrintable(first.client.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(secondOk, 20000);
    QCOMPARE(firstDone.size(), 1);
    QCOMPARE(secondDone.size(), 1);
    QCOMPARE(first.area.readTemp(QStringLiteral("big.bin")), big);
    QCOMPARE(second.area.readTemp(QStringLiteral("big.bin")), big);
}

void TestUpdateService::servesFittingFilesAndStops()
{
    const QString deepest = QString(127, QLatin1Char('d')) + QStringLiteral("/f");
    QVERIFY(writeFile(release + QLatin1Char('/') + QString(31, QLatin1Char('k')), "fits"));
    QVERIFY(writeFile(release + QLatin1Char('/') + deepest, "fits too"));
    QVERIFY(writeFile(release + QStringLiteral("/.hidden"), "hidden"));
    QVERIFY(writeFile(release + QStringLiteral("/bin/.cache/state"), "hidden too"));
    QStringList expected = treeFiles + QStringList{QString(31, QLatin1Char('k')), deepest};
#ifndef Q_OS_WIN
    // Links on Windows would be shortcuts, ordinary files.
    QVERIFY(QFile::link(release + QStringLiteral("/client.exe"), release + QStringLiteral("/alias.exe")));
    QVERIFY(QFile::link(release + QStringLiteral("/bin"), release + QStringLiteral("/bin-alias")));
    expected.append(QStringLiteral("alias.exe"));
#endif // Q_OS_WIN
    expected.sort();

    ServiceProcess service;
    QVERIFY2(service.start(release, {QStringLiteral("--version"), QStringLiteral("2")}), service.firstLine.constData());
    Updater updater;
    QVERIFY(updater.connectTo(service.port));
    // The names that just fit the protocol's fields and a file link that
    // stays inside; hidden entries stay out, and a directory link inside is
    // reached through its real path.
    QCOMPARE(updater.listed(updater.check(QStringLiteral("1"), 1)), expected);
#ifndef Q_OS_WIN
    service.process.terminate(); // SIGTERM ends the service cleanly
    QVERIFY(service.process.waitForFinished(5000));
    QCOMPARE(service.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.process.exitCode(), 0);
    const QString log = QString::fromUtf8(service.process.readAllStandardOutput() + service.process.readAllStandardError());
    QVERIFY2(log.contains(QStringLiteral("stopped")), qPrintable(log));
#endif // Q_OS_WIN
    // On Windows terminate() posts a window message, which a console program
    // never sees; a console event cannot be sent across consoles under test.
}

void TestUpdateService::refusesUnservableRelease_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<Unservable>("kind");
    QTest::newRow("name of 32 UTF-8 bytes") << QString(32, QLatin1Char('n')) << Unservable::File;
    QTest::newRow("name of 11 characters, 33 UTF-8 bytes")
        << QStringLiteral("bin/说明说明说明说明说明说") << Unservable::File;
    QTest::newRow("directory of 128 UTF-8 bytes") << QString(128, QLatin1Char('d')) + QStringLiteral("/f")
                                                  << Unservable::File;
    QTest::newRow("name unsafe on Windows") << QStringLiteral("bin/nul.txt") << Unservable::File;
    QTest::newRow("file of 4 GiB") << QStringLiteral("big.bin") << Unservable::Over4GiB;
    QTest::newRow("link to a file outside") << QStringLiteral("escape.txt") << Unservable::LinkOut;
    QTest::newRow("link to a directory outside") << QStringLiteral("bin/plugins2") << Unservable::DirectoryLinkOut;
    QTest::newRow("link to nothing") << QStringLiteral("gone.dll") << Unservable::DanglingLink;
    QTest::newRow("unreadable file") << QStringLiteral("bin/locked.dll") << Unservable::Unreadable;
}

void TestUpdateService::refusesUnservableRelease()
{
    QFETCH(QString, entry);
    QFETCH(Unservable, kind);
    const QString target = release + QLatin1Char('/') + entry;
    const QString outside = releaseDir->path() + QStringLiteral("/outside");
    QVERIFY(QDir().mkpath(QFileInfo(target).absolutePath()));
#ifdef Q_OS_WIN
    if (kind == Unservable::LinkOut || kind == Unservable::DirectoryLinkOut || kind == Unservable::DanglingLink)
        QSKIP("QFile::link makes a shortcut on Windows, an ordinary file; a symbolic link needs a privilege");
    if (entry.endsWith(QLatin1String("nul.txt")))
        QSKIP("Windows cannot hold a file named after a device");
    if (kind == Unservable::Unreadable)
        QSKIP("Windows has no permission bits that make a file unreadable to its owner");
#endif // Q_OS_WIN
    switch (kind) {
    case Unservable::File:
        QVERIFY(writeFile(target, "cannot be listed"));
        break;
    case Unservable::Over4GiB: {
        QFile big(target);
        QVERIFY2(big.open(QIODevice::WriteOnly) && big.resize(0x100000000ll), qPrintable(big.errorString()));
        break;
    }
    case Unservable::LinkOut:
        QVERIFY(writeFile(outside + QStringLiteral("/secret.txt"), "secret"));
        QVERIFY(QFile::link(outside + QStringLiteral("/secret.txt"), target));
        break;
    case Unservable::DirectoryLinkOut:
        QVERIFY(writeFile(outside + QStringLiteral("/extra.dll"), "extra"));
        QVERIFY(QFile::link(outside, target));
        break;
    case Unservable::DanglingLink:
        QVERIFY(QFile::link(outside + QStringLiteral("/missing.dll"), target));
        break;
    case Unservable::Unreadable:
        QVERIFY(writeFile(target, "locked"));
        QVERIFY(QFile::setPermissions(target, QFileDevice::Permissions()));
        if (QFile(target).open(QIODevice::ReadOnly))
            QSKIP("permissions do not bind this user (root), and no other way makes a regular file unreadable");
        break;
    }

    // The service refuses to start rather than offer the release without
    // the file: clients would install the rest and call that a success.
    ServiceProcess service;
    QVERIFY(!service.start(release, {QStringLiteral("--version"), QStringLiteral("2")}));
    const QString output = service.outputAfterExit();
    QCOMPARE(service.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.process.exitCode(), 1);
    QVERIFY2(output.contains(QStringLiteral("cannot serve ") + entry), qPrintable(output));
    QVERIFY2(!output.contains(QStringLiteral("listening")), qPrintable(output));
}

void TestUpdateService::servesPublishedRelease()
{
    const QString published = releaseDir->path() + QStringLiteral("/published");
    QVERIFY(writeFile(published + QStringLiteral("/update.ini"), "[Version]\nFolder=v2\nVersion=2.0.0\n"));
    QVERIFY(writeFile(published + QStringLiteral("/v2/md5.txt"), "x\t/app.exe\r\n"));
    QVERIFY(writeFile(published + QStringLiteral("/v2/app.exe"), "app"));
    QVERIFY(writeFile(published + QStringLiteral("/v2/sub/md5.txt"), "a nested md5.txt is an ordinary file"));

    ServiceProcess service;
    QVERIFY(service.start(published, {QStringLiteral("--no-checksums")}));
    Updater updater;
    QVERIFY(updater.connectTo(service.port));
    const VersionInfo info = updater.check(QStringLiteral("1.0.0"), 1);
    QVERIFY(info.hasUpdate);
    QVERIFY(info.files.value(0).md5Tag().isEmpty()); // as an older service sends them
    QCOMPARE(info.version, QStringLiteral("2.0.0"));
    QCOMPARE(updater.listed(info), (QStringList{QStringLiteral("app.exe"), QStringLiteral("sub/md5.txt")}));
    QVERIFY(updater.refused(FileDownload, TcpMessages::buildFileDownload(QString(), QStringLiteral("md5.txt"))));
}

void TestUpdateService::leavesOutWhatAPreviousReleaseHeld()
{
    // publish DIR VERSION FILES: a published tree holding FILES (name → content).
    const auto publish = [this](const QString &name, const QByteArray &version,
                                const QList<QPair<QString, QByteArray>> &files) {
        const QString dir = releaseDir->path() + QLatin1Char('/') + name;
        bool ok = writeFile(dir + QStringLiteral("/update.ini"), "[Version]\nFolder=R\nVersion=" + version + '\n');
        for (const auto &file : files)
            ok = ok && writeFile(dir + QStringLiteral("/R/") + file.first, file.second);
        return ok ? dir : QString();
    };
    const QByteArray ini("[Version]\nFolder=R\nVersion=same text in both\n");
    const QString v1 = publish(QStringLiteral("v1"), "1.0", {{QStringLiteral("update.ini"), ini},
                                                             {QStringLiteral("app.exe"), "app"},
                                                             {QStringLiteral("bin/lib.dll"), "lib 1"},
                                                             {QStringLiteral("bin/same.dll"), "same"}});
    const QString v2 = publish(QStringLiteral("v2"), "2.0", {{QStringLiteral("update.ini"), ini},
                                                             {QStringLiteral("app.exe"), "app"},
                                                             {QStringLiteral("bin/lib.dll"), "lib 2"},
                                                             {QStringLiteral("bin/same.dll"), "same"},
                                                             {QStringLiteral("new.dat"), "new"}});
    QVERIFY(!v1.isEmpty() && !v2.isEmpty());
    ServiceProcess same;
    QVERIFY(!same.start(v2, {QStringLiteral("--previous"), v2}));

    ServiceProcess service;
    QVERIFY(service.start(v2, {QStringLiteral("--previous"), v1}));
    Updater updater;
    QVERIFY(updater.connectTo(service.port));
    const QStringList changed{QStringLiteral("bin/lib.dll"), QStringLiteral("new.dat"), QStringLiteral("update.ini")};
    QCOMPARE(updater.listed(updater.check(QStringLiteral("1.0"), 1)), changed);
    const QStringList all = updater.listed(updater.check(QStringLiteral("0.9"), 1));
    QCOMPARE(all.size(), 5);
    QVERIFY(service.stopAndReadLog().contains(QStringLiteral("(2 unchanged since 1.0 left out)")));
}

void TestUpdateService::continuesACutFile()
{
    ServiceProcess service;
    QVERIFY(service.start(release, {QStringLiteral("--version"), QStringLiteral("2.0"), QStringLiteral("--chunk-size"),
                                    QStringLiteral("1000")}));
    Updater updater;
    QVERIFY(updater.connectTo(service.port));
    const VersionInfo info = updater.check(QStringLiteral("1.0"), 1);
    QVERIFY(info.startOffsets);
    updater.client.setStartOffsets(true);
    const QByteArray whole = content(2500, 2);
    // From 1200 the rest comes; from beyond the end (the file changed) all of it.
    for (const qint64 startAt : {qint64(1200), qint64(9999)}) {
        updater.area.write(QStringLiteral("UpdateTmp/bin/core.dll"), whole.left(1200));
        FileItem item{QStringLiteral("bin"), QStringLiteral("core.dll"),
                      QCryptographicHash::hash(whole, QCryptographicHash::Md5)};
        item.resumeFrom = startAt;
        updater.client.beginRun();
        QVERIFY2(updater.client.downloadFile(item, 5000), qPrintable(updater.client.errorString()));
        QCOMPARE(updater.area.readTemp(QStringLiteral("bin/core.dll")), whole);
    }
    const QString log = service.stopAndReadLog();
    QVERIFY2(log.contains(QStringLiteral("bin/core.dll (2500 bytes, from 1200)")), qPrintable(log));
}

void TestUpdateService::rejectsBadCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    const auto words = [](const char *text) { return QString::fromLatin1(text).split(QLatin1Char(' ')); };
    QTest::newRow("plain tree without a version") << QStringList();
    QTest::newRow("port out of range") << words("--version 1 --port 70000");
    QTest::newRow("zero chunk size") << words("--version 1 --chunk-size 0");
    QTest::newRow("project type 7") << words("--version 1 --project-type 7");
    QTest::newRow("version longer than 31 bytes") << words("--version 99999999999999999999999999999999");
    QTest::newRow("idle timeout of 0 ms") << words("--version 1 --idle-timeout 0");
    QTest::newRow("request timeout under 100 ms") << words("--version 1 --request-timeout 99");
    QTest::newRow("more sessions per address than in all") << words("--version 1 --max-sessions-per-address 65");
}

void TestUpdateService::rejectsBadCommandLines()
{
    QFETCH(QStringList, arguments);
    ServiceProcess service;
    QVERIFY(!service.start(release, arguments));
    service.process.waitForFinished(10000);
    QCOMPARE(service.process.state(), QProcess::NotRunning);
    QCOMPARE(service.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.process.exitCode(), 2);
    QVERIFY(!service.process.readAllStandardError().isEmpty());
}

void TestUpdateService::hostileStreams_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<bool>("closes");
    QTest::newRow("bad magic closes the connection") << QByteArray(64, 'G') << true;
    QTest::newRow("request body above 4096 bytes closes the connection")
        << buildHeader(FileDownload, 4097, 1) + QByteArray(100, 'x') << true;
    QTest::newRow("short version check gets an error reply") << buildPacket(VersionCheck, QByteArray(83, '1'), 1) << false;
    QTest::newRow("short download request gets an error reply")
        << buildPacket(FileDownload, QByteArray(175, 'a'), 1) << false;
    QTest::newRow("unknown request type gets an error reply") << buildPacket(0x0042, QByteArray(), 1) << false;
}

void TestUpdateService::hostileStreams()
{
    QFETCH(QByteArray, stream);
    QFETCH(bool, closes);
    ServiceProcess service;
    QVERIFY(service.start(release, {QStringLiteral("--version"), QStringLiteral("2")}));
    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, service.port);
    QVERIFY(raw.waitForConnected(3000));
    raw.write(stream);
    QVERIFY(raw.waitForBytesWritten(3000));
    if (closes) {
        QVERIFY(raw.state() == QAbstractSocket::UnconnectedState || raw.waitForDisconnected(3000));
    } else {
        QVERIFY(raw.waitForReadyRead(3000));
        PacketAssembler assembler;
        assembler.append(raw.readAll());
        Packet reply;
        QCOMPARE(assembler.next(&reply), PacketAssembler::Result::Message);
        QCOMPARE(reply.type, quint32(ErrorReply));
        QCOMPARE(raw.state(), QAbstractSocket::ConnectedState);
    }
    // The service itself keeps going.
    Updater next;
    QVERIFY(next.connectTo(service.port));
    QVERIFY(next.check(QStringLiteral("1"), 1).hasUpdate);
}

// Resident memory of process @p pid in KiB, or -1 where /proc is missing.
qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void TestUpdateService::floodingClientCannotExhaust()
{
    ServiceProcess service;
    QVERIFY(service.start(release, {QStringLiteral("--version"), QStringLiteral("2")}));
    const qint64 before = residentKiB(service.process.processId());
    if (before < 0)
        QSKIP("no /proc/<pid>/status to measure the service's memory");

    // 40,000 version checks, about 38 MB of replies, and never a byte read.
    QTcpSocket flood;
    flood.connectToHost(QHostAddress::LocalHost, service.port);
    QVERIFY(flood.waitForConnected(3000));
    flood.setReadBufferSize(1);
    const QByteArray check = buildPacket(VersionCheck, TcpMessages::buildVersionCheck({QStringLiteral("1"), QString(), 1}), 1);
    flood.write(check.repeated(40000));
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 2000)
        QTest::qWait(100);

    const qint64 grown = residentKiB(service.process.processId()) - before;
    qInfo("service memory grew by %lld KiB under the flood", grown);
#ifndef __SANITIZE_ADDRESS__
    // Under AddressSanitizer every allocation is inflated and freed memory is
    // held back; the bound is checked in the plain build, the rest here too.
    QVERIFY2(grown < 16 * 1024, qPrintable(QStringLiteral("service grew by %1 KiB").arg(grown)));
#endif
    // Another client is served meanwhile.
    Updater other;
    QVERIFY(other.connectTo(service.port));
    QCOMPARE(other.listed(other.check(QStringLiteral("1"), 1)), treeFiles);
    QVERIFY(flood.state() == QAbstractSocket::ConnectedState); // held back, not yet dropped
    service.process.terminate();
    QVERIFY(service.process.waitForFinished(5000));
    const QString log = QString::fromUtf8(service.process.readAllStandardOutput());
    QVERIFY2(log.contains(QStringLiteral("client does not read")), qPrintable(log.right(2000)));
}

void TestUpdateService::grownFileFailsItsChecksum()
{
    ServiceProcess service;
    QVERIFY(service.start(release, {QStringLiteral("--version"), QStringLiteral("2")}));
    Updater updater;
    QVERIFY(updater.connectTo(service.port));
    const VersionInfo info = updater.check(QStringLiteral("1"), 1);
    QVERIFY(info.hasUpdate);
    // The file grows after the service hashed it: it is served whole, at
    // its new size, and the client's check refuses it.
    QVERIFY(writeFile(release + QStringLiteral("/bin/core.dll"), content(3000, 2)));
    const auto entry = std::find_if(info.files.cbegin(), info.files.cend(),
                                    [](const RemoteFileEntry &e) { return e.name() == QLatin1String("core.dll"); });
    QVERIFY(entry != info.files.cend());
    QVERIFY(!updater.client.downloadFile({entry->path(), entry->name(), entry->md5Tag()}, -1));
    QVERIFY2(updater.client.errorString().startsWith(QStringLiteral("文件校验失败:core.dll")),
             qPrintable(updater.client.errorString()));
    QCOMPARE(updater.area.readTemp(QStringLiteral("bin/core.dll")).size(), 3000);
}

void TestUpdateService::boundOnSessions_data()
{
    QTest::addColumn<int>("addresses");  // held sessions come from 127.0.0.1 .. 127.0.0.N
    QTest::addColumn<int>("perAddress"); // sessions held from each of them
    QTest::addColumn<QString>("refusedFrom");
    QTest::addColumn<QString>("servedFrom"); // empty: no other client can be served
    QTest::addColumn<QString>("logged");
    QTest::newRow("ninth session from one address is refused, another address is served")
        << 1 << 8 << QStringLiteral("127.0.0.1") << QStringLiteral("127.0.0.2")
        << QStringLiteral("8 sessions already open from 127.0.0.1");
    QTest::newRow("sixty-fifth session is refused whatever its address")
        << 8 << 8 << QStringLiteral("127.0.0.9") << QString() << QStringLiteral("64 sessions already open");
}

void TestUpdateService::boundOnSessions()
{
    QFETCH(int, addresses);
    QFETCH(int, perAddress);
    QFETCH(QString, refusedFrom);
    QFETCH(QString, servedFrom);
    QFETCH(QString, logged);
    if (!QTcpSocket().bind(QHostAddress(QStringLiteral("127.0.0.2"))))
        QSKIP("this system does not route 127.0.0.2 to loopback, so all clients share one address");
    ServiceProcess service;
    QVERIFY(service.start(release, {QStringLiteral("--version"), QStringLiteral("2")}));
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int a = 1; a <= addresses; ++a) {
        for (int i = 0; i < perAddress; ++i) {
            held.push_back(connectFrom(QStringLiteral("127.0.0.%1").arg(a), service.port));
            QVERIFY(held.back() && answersHeartbeat(*held.back()));
        }
    }
    // Accepted by the system, then turned away.
    const auto extra = connectFrom(refusedFrom, service.port);
    QVERIFY(extra);
    QVERIFY(!answersHeartbeat(*extra));
    QVERIFY(extra->state() == QAbstractSocket::UnconnectedState || extra->waitForDisconnected(3000));
    if (!servedFrom.isEmpty()) {
        const auto other = connectFrom(servedFrom, service.port);
        QVERIFY(other && answersHeartbeat(*other));
    }

    // A place that frees up is taken by the next client.
    held.front()->abort();
    QTest::qWait(300);
    const auto next = connectFrom(refusedFrom, service.port);
    QVERIFY(next && answersHeartbeat(*next));
    const QString log = service.stopAndReadLog();
    QVERIFY2(log.contains(logged), qPrintable(log.right(2000)));
}

void TestUpdateService::slowClientsAreClosed_data()
{
    QTest::addColumn<QStringList>("limits");
    QTest::addColumn<QByteArray>("stream"); // sent one byte every 40 ms
    QTest::addColumn<int>("closedAfterMs"); // 0: the session stays
    QTest::addColumn<QString>("logged");
    const auto words = [](const char *text) { return QString::fromLatin1(text).split(QLatin1Char(' ')); };
    // About 4.5 s of a heartbeat announcing 200 bytes that never come.
    const QByteArray unfinished = buildHeader(Heartbeat, 200, 1) + QByteArray(100, 'x');
    // Four heartbeats of 0.8 s each: 3.2 s in all.
    const QByteArray heartbeats = buildPacket(Heartbeat, QByteArray(8, '\x02'), 1).repeated(4);
    QTest::newRow("request unfinished at its deadline")
        << words("--request-timeout 1000") << unfinished << 1000
        << QStringLiteral("request not completed within 1000 ms");
    QTest::newRow("bytes of an unfinished request are no activity")
        << words("--idle-timeout 1500 --request-timeout 60000") << unfinished << 1500
        << QStringLiteral("no complete request for 1500 ms");
    QTest::newRow("requests completed in time keep the session")
        << words("--idle-timeout 1500 --request-timeout 1500") << heartbeats << 0 << QString();
}

void TestUpdateService::slowClientsAreClosed()
{
    QFETCH(QStringList, limits);
    QFETCH(QByteArray, stream);
    QFETCH(int, closedAfterMs);
    QFETCH(QString, logged);
    ServiceProcess service;
    QVERIFY(service.start(release, QStringList{QStringLiteral("--version"), QStringLiteral("2")} + limits));
    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, service.port);
    QVERIFY(raw.waitForConnected(3000));
    QElapsedTimer timer;
    timer.start();
    QByteArray received;
    for (int sent = 0; sent < stream.size() && raw.state() == QAbstractSocket::ConnectedState; ++sent) {
        raw.write(stream.mid(sent, 1));
        raw.waitForDisconnected(40); // sends the byte, takes replies and notices a close
        received += raw.readAll();
    }
    const qint64 elapsed = timer.elapsed();
    if (closedAfterMs > 0) {
        QVERIFY2(raw.state() == QAbstractSocket::UnconnectedState,
                 qPrintable(QStringLiteral("still open after %1 ms").arg(elapsed)));
        // Coarse timers may fire up to 5 % early.
        QVERIFY2(elapsed >= closedAfterMs * 9 / 10 && elapsed <= closedAfterMs + 1500,
                 qPrintable(QStringLiteral("closed after %1 ms").arg(elapsed)));
    } else {
        QCOMPARE(raw.state(), QAbstractSocket::ConnectedState);
        while (received.size() < stream.size() && raw.waitForReadyRead(3000))
            received += raw.readAll();
        QCOMPARE(received, buildPacket(HeartbeatReply, QByteArray(8, '\x02'), 1).repeated(4));
    }
    const QString log = service.stopAndReadLog();
    QVERIFY2(log.contains(logged), qPrintable(log.right(2000)));
}

QTEST_GUILESS_MAIN(TestUpdateService)
#include "tst_updateservice.moc"
