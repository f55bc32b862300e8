#include "http/cblockingdownload.h"

#include "testhttpserver.h"
#include "testinstallation.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

class TestBlockingDownload : public QObject
{
    Q_OBJECT

private slots:
    void storesBodyAndReportsProgress();
    void failures_data();
    void failures();
    void httpsHasTls();
};

void TestBlockingDownload::storesBodyAndReportsProgress()
{
    TestHttpServer server;
    QVERIFY(server.start());
    QTemporaryDir dir;
    QByteArray body;
    for (int i = 0; body.size() < 3 * 1024 * 1024; ++i)
        body += QByteArray::number(i) + ',';
    server.setFile(QStringLiteral("/big.bin"), body);
    server.setFile(QStringLiteral("/small.bin"), "short");
    // Stored as sent although labelled as gzip-encoded (gzip of "notes").
    const QByteArray packed("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xcb\xcb\x2f\x49\x2d\x06\x00\x8c\xa6\x1b\x01\x05\x00\x00\x00",
                            25);
    server.setFile(QStringLiteral("/notes.gz"), packed);
    server.setHeader(QStringLiteral("/notes.gz"), "Content-Encoding: gzip");
    // Missing directories are made; a later download replaces the earlier whole.
    const QString local = dir.path() + QStringLiteral("/a/b/update/file.bin");
    const QMap<QByteArray, QByteArray> served{{"big.bin", body}, {"small.bin", "short"}, {"notes.gz", packed}};
    for (const char *name : {"big.bin", "notes.gz", "small.bin"}) {
        const QByteArray expected = served.value(name);
        CBlockingDownload download;
        QSignalSpy progress(&download, &CBlockingDownload::downloadProgress);
        QVERIFY2(download.run(server.baseUrl() + QLatin1String(name), local), qPrintable(download.errorString()));
        QVERIFY(download.errorString().isEmpty());
        QCOMPARE(readTestFile(local), expected);
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toLongLong(), qint64(expected.size()));
        QCOMPARE(progress.last().at(1).toLongLong(), qint64(expected.size()));
        QVERIFY(server.lastHeaders(QLatin1Char('/') + QLatin1String(name)).contains("\r\naccept-encoding: identity\r\n"));
    }
}

void TestBlockingDownload::failures_data()
{
    // The error text must start with "prefix" and end with "suffix"; %1 is
    // the address, %2 the local file and %3 its directory.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("suffix");
    const auto row = [](const char *name, const char *setup, const char *prefix, const char *suffix) {
        QTest::newRow(name) << QString::fromUtf8(setup) << QString::fromUtf8(prefix) << QString::fromUtf8(suffix);
    };
    row("not found", "404", "下载错误：", "（file：%2）");
    row("server error", "500", "下载错误：", "（file：%2）");
    row("redirect is not the file and not followed", "301", "下载错误：HTTP 301 Moved Permanently（file：%2）", "");
    row("stall ends at the shortened time-out", "stall", "下载超时（1秒）：%1", "");
    row("body over the limit", "oversized", "下载内容超过上限（4096字节）：%1", "");
    row("refused connection", "refused", "下载错误：", "（file：%2）");
    row("body shorter than its Content-Length", "ShortBody", "下载内容不完整（收到 5000 字节，应为 5100 字节）：%1", "");
    row("endless body stops at the limit", "Endless", "下载内容超过上限（4096字节）：%1", "");
    row("directory cannot be created", "parentIsFile", "无法创建目录:%3", "");
    row("file cannot be opened", "targetIsDir", "无法打开文件:%2", "");
}

void TestBlockingDownload::failures()
{
    QFETCH(QString, setup);
    QFETCH(QString, prefix);
    QFETCH(QString, suffix);
    TestHttpServer server;
    QVERIFY(server.start());
    QTemporaryDir dir;
    const QString local = dir.filePath(QStringLiteral("update/updateTmp.ini"));
    QString url = server.baseUrl() + QStringLiteral("update.ini");
    server.setFile(QStringLiteral("/update.ini"), QByteArray(5000, 'x'));
    CBlockingDownload download;
    download.setTransferTimeout(1000);
    if (setup == QLatin1String("301")) {
        server.setStatus(QStringLiteral("/update.ini"), 301, server.baseUrl() + QStringLiteral("elsewhere.ini"));
    } else if (setup.toInt() > 0) {
        server.setStatus(QStringLiteral("/update.ini"), setup.toInt());
    } else if (setup == QLatin1String("stall")) {
        server.setStall(QStringLiteral("/update.ini"), 10);
    } else if (setup == QLatin1String("oversized")) {
        download.setMaxBytes(4096);
    } else if (setup == QLatin1String("ShortBody")) {
        server.setFraming(QStringLiteral("/update.ini"), TestHttpServer::Framing::ShortBody);
    } else if (setup == QLatin1String("CutChunked")) {
        server.setFraming(QStringLiteral("/update.ini"), TestHttpServer::Framing::CutChunked);
    } else if (setup == QLatin1String("Endless")) {
        server.setFraming(QStringLiteral("/update.ini"), TestHttpServer::Framing::Endless);
        download.setMaxBytes(4096);
    } else if (setup == QLatin1String("refused")) {
        // A port that was just free: nothing listens there any more.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        url = QStringLiteral("http://127.0.0.1:%1/update.ini").arg(probe.serverPort());
    } else if (setup == QLatin1String("parentIsFile")) {
        QVERIFY(writeTestFile(dir.filePath(QStringLiteral("update")), "a file where the directory belongs"));
    } else {
        QVERIFY(QDir().mkpath(local));
    }

    QElapsedTimer timer;
    timer.start();
    QVERIFY(!download.run(url, local));
    QVERIFY(timer.elapsed() < 20000);
    for (QString *text : {&prefix, &suffix})
        text->replace(QStringLiteral("%1"), url)
            .replace(QStringLiteral("%2"), local)
            .replace(QStringLiteral("%3"), dir.filePath(QStringLiteral("update")));
    const QString shown = download.errorString();
    QVERIFY2(shown.startsWith(prefix) && shown.endsWith(suffix), qPrintable(shown));
    // A failed download leaves no file; nothing beyond the one address is fetched.
    QVERIFY(!QFileInfo(local).isFile());
    const bool sent
        = !QStringList{QStringLiteral("parentIsFile"), QStringLiteral("targetIsDir"), QStringLiteral("refused")}
               .contains(setup);
    QCOMPARE(server.requests().size(), sent ? 1 : 0);
}

// Release addresses may be https: Qt must reach OpenSSL 3, linked into the
// Windows programs and loaded from the system on Linux.
void TestBlockingDownload::httpsHasTls()
{
    QVERIFY2(QSslSocket::supportsSsl(), qPrintable(QSslSocket::sslLibraryBuildVersionString()));
    QVERIFY2(QSslSocket::sslLibraryVersionNumber() >= 0x30000000L, qPrintable(QSslSocket::sslLibraryVersionString()));
}

QTEST_GUILESS_MAIN(TestBlockingDownload)
#include "tst_cblockingdownload.moc"
