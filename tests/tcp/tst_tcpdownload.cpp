#include "scriptedserver.h"
#include "tcp/qupdatetcpclient.h"
#include "testarea.h"

#include <QtTest>

using namespace TcpProtocol;

namespace {

const QString kLocalHost = QStringLiteral("127.0.0.1");

QByteArray content(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + 7) & 0xFF);
    return bytes;
}

FileItem requested(const Packet &packet)
{
    FileItem item;
    TcpMessages::parseFileDownload(packet.body, &item);
    return item;
}

} // namespace

/// Downloads through QUpdateTcpClient against an in-process service.
class TestTcpDownload : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void downloadsInChunks();
    void allChunksInOneRead();
    void errorReplyEndsWait();
    void writeFailureContinues();
    void refetchAfterDroppedConnection();
    void inactivityBound();
    void steadyTransferIsNotCutOff();
    void overallTimeout();
    void hostileRequestIsNotSent_data();
    void hostileRequestIsNotSent();
    void hostileFileDataHeader();
    void endlessDataIsCutOff();
    void shortLastChunk();
    void shortFileDataBody();
    void cancelEndsWait();

private:
    std::unique_ptr<TestArea> area;
    std::unique_ptr<ScriptedServer> server;
    std::unique_ptr<QUpdateTcpClient> client;
};

void TestTcpDownload::init()
{
    client.reset();
    server = std::make_unique<ScriptedServer>();
    area = std::make_unique<TestArea>();
    QVERIFY(area->isValid());
    client = std::make_unique<QUpdateTcpClient>();
    client->setFileWriter(area->writer.get());
    QVERIFY(client->connectToServer(kLocalHost, server->port()));
}

void TestTcpDownload::downloadsInChunks()
{
    const QByteArray data = content(2500);
    server->setHandler([&](QTcpSocket *c, const Packet &p) {
        if (p.type != FileDownload)
            return;
        const FileItem item = requested(p);
        // One chunk per write, so that they arrive in separate reads.
        for (int offset = 0; offset < data.size(); offset += 1000) {
            const QByteArray piece = data.mid(offset, 1000);
            QTimer::singleShot(10 * offset / 1000, c, [c, item, piece, offset, size = data.size()]() {
                c->write(ScriptedServer::fileData(item, static_cast<quint32>(size), piece, offset + 1000 >= size));
                c->flush();
            });
        }
    });
    QSignalSpy progress(client.get(), &QUpdateTcpClient::sigFileDownloadProgress);
    QSignalSpy completed(client.get(), &QUpdateTcpClient::sigFileDownloadCompleted);
    QSignalSpy errors(client.get(), &QUpdateTcpClient::sigFileDownloadError);

    QVERIFY2(client->downloadFile({QStringLiteral("bin/sub"), QStringLiteral("data.bin")}, -1), qPrintable(client->lastError()));
    QCOMPARE(area->readTemp(QStringLiteral("bin/sub/data.bin")), data);
    QCOMPARE(completed.count(), 1);
    QCOMPARE(completed.at(0).at(0).toString(), QStringLiteral("bin/sub"));
    QCOMPARE(errors.count(), 0);
    QCOMPARE(progress.count(), 4); // start + three chunks
    QCOMPARE(progress.at(0).at(2).toUInt(), 0u);
    QCOMPARE(progress.at(1).at(2).toUInt(), 1000u);
    QCOMPARE(progress.at(3).at(2).toUInt(), 2500u);
    QCOMPARE(progress.at(3).at(3).toUInt(), 2500u);
}

void TestTcpDownload::allChunksInOneRead()
{
    const QByteArray data = content(100000);
    server->setHandler([&](QTcpSocket *c, const Packet &p) {
        if (p.type == FileDownload)
            ScriptedServer::sendFile(c, requested(p), data, 4096);
    });
    QVERIFY2(client->downloadFile({QString(), QStringLiteral("one.bin")}, -1), qPrintable(client->lastError()));
    QCOMPARE(area->readTemp(QStringLiteral("one.bin")), data);

    // A second file on the same connection, with an empty file in the middle.
    QVERIFY(client->downloadFile({QString(), QStringLiteral("two.bin")}, -1));
    server->setHandler([&](QTcpSocket *c, const Packet &p) {
        if (p.type == FileDownload)
            ScriptedServer::sendFile(c, requested(p), QByteArray(), 4096);
    });
    QVERIFY(client->downloadFile({QStringLiteral("e"), QStringLiteral("empty.bin")}, -1));
    QCOMPARE(area->readTemp(QStringLiteral("e/empty.bin")), QByteArray());
}

void TestTcpDownload::errorReplyEndsWait()
{
    server->setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == FileDownload)
            ScriptedServer::send(c, ErrorReply, "no such file");
    });
    QSignalSpy errors(client.get(), &QUpdateTcpClient::errorOccurred);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!client->downloadFile({QString(), QStringLiteral("missing.bin")}, -1));
    QVERIFY(timer.elapsed() < 2000);
    QCOMPARE(client->lastError(), QStringLiteral("服务器返回错误"));
    QCOMPARE(errors.count(), 1);
    QVERIFY(client->isConnected());
}

void TestTcpDownload::writeFailureContinues()
{
    const QByteArray data = content(3000);
    server->setHandler([&](QTcpSocket *c, const Packet &p) {
        if (p.type != FileDownload)
            return;
        const FileItem item = requested(p);
        c->write(ScriptedServer::fileData(item, 3000, data.left(1000), false));
        c->flush();
        QTimer::singleShot(100, c, [c, item, data]() {
            c->write(ScriptedServer::fileData(item, 3000, data.mid(1000, 1000), false));
            c->write(ScriptedServer::fileData(item, 3000, data.mid(2000), true));
            c->flush();
        });
    });
    // A directory where the file belongs: every write fails, even as root.
    const QString target = area->tempFile(QStringLiteral("w/blocked.bin"));
    QVERIFY(QDir().mkpath(target));
    QSignalSpy progress(client.get(), &QUpdateTcpClient::sigFileDownloadProgress);
    QSignalSpy fileErrors(client.get(), &QUpdateTcpClient::sigFileDownloadError);
    connect(client.get(), &QUpdateTcpClient::sigFileDownloadError, this,
            [target]() { QDir(target).removeRecursively(); });

    QVERIFY(!client->downloadFile({QStringLiteral("w"), QStringLiteral("blocked.bin")}, -1));
    // The failure was reported at once, the wait went on, later chunks were
    // written, and the short file failed the attempt with the write failure.
    QVERIFY(fileErrors.count() >= 2);
    QCOMPARE(fileErrors.at(0).at(2).toString(), QStringLiteral("Failed to save file data: w/blocked.bin"));
    QCOMPARE(progress.constLast().at(2).toUInt(), 2000u);
    QCOMPARE(client->lastError(), QStringLiteral("Failed to save file data: w/blocked.bin"));
    disconnect(client.get(), &QUpdateTcpClient::sigFileDownloadError, this, nullptr);

    // The retry fetches the file from scratch.
    QVERIFY2(client->downloadFile({QStringLiteral("w"), QStringLiteral("blocked.bin")}, -1), qPrintable(client->lastError()));
    QCOMPARE(area->readTemp(QStringLiteral("w/blocked.bin")), data);
}

void TestTcpDownload::refetchAfterDroppedConnection()
{
    const QByteArray data = content(5000);
    bool drop = true;
    server->setHandler([&](QTcpSocket *c, const Packet &p) {
        if (p.type != FileDownload)
            return;
        if (drop) {
            c->write(ScriptedServer::fileData(requested(p), 5000, data.left(3000), false));
            c->flush();
            QTimer::singleShot(50, c, [c]() { c->disconnectFromHost(); });
            drop = false;
            return;
        }
        ScriptedServer::sendFile(c, requested(p), data, 1500);
    });
    const FileItem item{QStringLiteral("r"), QStringLiteral("again.bin")};
    QVERIFY(!client->downloadFile(item, -1));
    QVERIFY(!client->isConnected());
    QVERIFY(!client->lastError().isEmpty());

    QVERIFY(client->connectToServer(kLocalHost, server->port()));
    QVERIFY2(client->downloadFile(item, -1), qPrintable(client->lastError()));
    QCOMPARE(area->readTemp(QStringLiteral("r/again.bin")), data);
}

void TestTcpDownload::inactivityBound()
{
    server->setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == FileDownload) {
            c->write(ScriptedServer::fileData(requested(p), 100, QByteArray(10, 'x'), false));
            c->flush();
        }
    });
    client->setInactivityLimit(300);
    QSignalSpy fileErrors(client.get(), &QUpdateTcpClient::sigFileDownloadError);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!client->downloadFile({QString(), QStringLiteral("stalled.bin")}, -1));
    QVERIFY2(timer.elapsed() >= 250 && timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(client->lastError(), QStringLiteral("文件下载超时"));
    QCOMPARE(fileErrors.count(), 1);
    QCOMPARE(fileErrors.at(0).at(2).toString(), QStringLiteral("下载超时"));
    // Late bytes of the stalled file must not reach a retry: the connection is renewed.
    QVERIFY(!client->isConnected());
}

void TestTcpDownload::steadyTransferIsNotCutOff()
{
    const QByteArray data = content(8000);
    server->setHandler([&](QTcpSocket *c, const Packet &p) {
        if (p.type != FileDownload)
            return;
        const FileItem item = requested(p);
        // Ten chunks 100 ms apart: a whole second, well beyond the 600 ms limit.
        for (int i = 0; i < 10; ++i) {
            QTimer::singleShot(100 * i, c, [c, item, data, i]() {
                c->write(ScriptedServer::fileData(item, 8000, data.mid(800 * i, 800), i == 9));
                c->flush();
            });
        }
    });
    client->setInactivityLimit(600);
    QVERIFY2(client->downloadFile({QString(), QStringLiteral("slow.bin")}, -1), qPrintable(client->lastError()));
    QCOMPARE(area->readTemp(QStringLiteral("slow.bin")), data);
}

void TestTcpDownload::overallTimeout()
{
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!client->downloadFile({QString(), QStringLiteral("never.bin")}, 200));
    QVERIFY(timer.elapsed() < 2000);
    QCOMPARE(client->lastError(), QStringLiteral("文件下载超时"));
}

void TestTcpDownload::hostileRequestIsNotSent_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::newRow("dot-dot path") << QStringLiteral("../..") << QStringLiteral("evil.exe");
    QTest::newRow("name with a slash") << QString() << QStringLiteral("../evil.exe");
    QTest::newRow("dot-dot name") << QStringLiteral("bin") << QStringLiteral("..");
}

void TestTcpDownload::hostileRequestIsNotSent()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QSignalSpy fileErrors(client.get(), &QUpdateTcpClient::sigFileDownloadError);
    QVERIFY(!client->downloadFile({path, name}, -1));
    QCOMPARE(fileErrors.count(), 1);
    QVERIFY(client->lastError().contains(QStringLiteral("路径不安全")));
    QTest::qWait(50);
    QCOMPARE(server->count(FileDownload), 0);
}

void TestTcpDownload::hostileFileDataHeader()
{
    server->setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == FileDownload)
            ScriptedServer::sendFile(c, {QStringLiteral("../../.."), QStringLiteral("evil.txt")}, "owned", 100);
    });
    const QStringList before = area->allFiles();
    QVERIFY(!client->downloadFile({QString(), QStringLiteral("good.txt")}, -1));
    QVERIFY(client->lastError().contains(QStringLiteral("路径不安全")));
    QCOMPARE(area->allFiles(), before);
    QVERIFY(!QFile::exists(QFileInfo(area->root()).absolutePath() + QStringLiteral("/evil.txt")));
    QVERIFY(!client->isConnected());
}

void TestTcpDownload::endlessDataIsCutOff()
{
    server->setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type != FileDownload)
            return;
        QByteArray flood;
        for (int i = 0; i < 50; ++i)
            flood += ScriptedServer::fileData(requested(p), 1000, QByteArray(500, 'e'), false);
        c->write(flood);
        c->flush();
    });
    QSignalSpy fileErrors(client.get(), &QUpdateTcpClient::sigFileDownloadError);
    QVERIFY(!client->downloadFile({QStringLiteral("f"), QStringLiteral("flood.bin")}, -1));
    QVERIFY2(client->lastError().contains(QStringLiteral("flood.bin")), qPrintable(client->lastError()));
    QCOMPARE(fileErrors.count(), 1);
    QVERIFY(!client->isConnected());
    QVERIFY(QFileInfo(area->tempFile(QStringLiteral("f/flood.bin"))).size() <= 1000);
}

void TestTcpDownload::shortLastChunk()
{
    server->setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == FileDownload) {
            c->write(ScriptedServer::fileData(requested(p), 1000, QByteArray(600, 's'), true));
            c->flush();
        }
    });
    QSignalSpy completed(client.get(), &QUpdateTcpClient::sigFileDownloadCompleted);
    QVERIFY(!client->downloadFile({QString(), QStringLiteral("short.bin")}, -1));
    QVERIFY2(client->lastError().contains(QStringLiteral("short.bin")), qPrintable(client->lastError()));
    QCOMPARE(completed.count(), 0);
    QVERIFY(client->isConnected());
}

void TestTcpDownload::shortFileDataBody()
{
    server->setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == FileDownload)
            ScriptedServer::send(c, FileData, QByteArray(172, '\0'));
    });
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!client->downloadFile({QString(), QStringLiteral("x.bin")}, -1));
    QVERIFY(timer.elapsed() < 2000);
    QVERIFY2(client->lastError().contains(QStringLiteral("172")), qPrintable(client->lastError()));
}

void TestTcpDownload::cancelEndsWait()
{
    server->setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == FileDownload) {
            c->write(ScriptedServer::fileData(requested(p), 100, QByteArray(10, 'c'), false));
            c->flush();
        }
    });
    QTimer::singleShot(150, client.get(), [this]() { client->cancelCurrentRequest(); });
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!client->downloadFile({QString(), QStringLiteral("c.bin")}, -1));
    QVERIFY(timer.elapsed() < 2000);
    QCOMPARE(client->lastError(), QStringLiteral("下载已取消"));
}

QTEST_GUILESS_MAIN(TestTcpDownload)
#include "tst_tcpdownload.moc"
