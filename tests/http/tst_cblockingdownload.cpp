#include "http/cblockingdownload.h"

#include "testhttpserver.h"
#include "testinstallation.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestBlockingDownload : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void storesBodyAndReportsProgress();
    void createsMissingDirectories();
    void failures_data();
    void failures();
    void stallEndsWithTimeoutText();
    void oversizedBodyIsRefused();
    void directoryCannotBeCreated();
    void fileCannotBeOpened();
    void refusedConnection();

private:
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<QTemporaryDir> dir;
};

void TestBlockingDownload::init()
{
    server = std::make_unique<TestHttpServer>();
    QVERIFY(server->start());
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestBlockingDownload::storesBodyAndReportsProgress()
{
    QByteArray body;
    for (int i = 0; body.size() < 3 * 1024 * 1024; ++i)
        body += QByteArray::number(i) + ',';
    server->setFile(QStringLiteral("/big.bin"), body);
    const QString local = dir->filePath(QStringLiteral("big.bin"));
    QVERIFY(writeTestFile(local, "stale content that must be replaced"));

    CBlockingDownload download;
    QSignalSpy progress(&download, &CBlockingDownload::downloadProgress);
    QVERIFY2(download.run(server->baseUrl() + QStringLiteral("big.bin"), local), qPrintable(download.errorText()));
    QVERIFY(download.errorText().isEmpty());
    QCOMPARE(readTestFile(local), body);
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(body.size()));
    QCOMPARE(progress.last().at(1).toLongLong(), qint64(body.size()));
}

void TestBlockingDownload::createsMissingDirectories()
{
    server->setFile(QStringLiteral("/update.ini"), "[Version]\r\n");
    const QString local = dir->path() + QStringLiteral("/a/b/update/updateTmp.ini");
    CBlockingDownload download;
    QVERIFY(download.run(server->baseUrl() + QStringLiteral("update.ini"), local));
    QCOMPARE(readTestFile(local), QByteArray("[Version]\r\n"));
}

void TestBlockingDownload::failures_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("textStart");
    QTest::newRow("not found") << 404 << QStringLiteral("下载错误：");
    QTest::newRow("server error") << 500 << QStringLiteral("下载错误：");
    QTest::newRow("redirect is not the file") << 301 << QStringLiteral("下载错误：HTTP 301");
}

void TestBlockingDownload::failures()
{
    QFETCH(int, status);
    QFETCH(QString, textStart);
    if (status == 301)
        server->setRedirect(QStringLiteral("/update.ini"), server->baseUrl() + QStringLiteral("elsewhere.ini"));
    else
        server->setStatus(QStringLiteral("/update.ini"), status);
    const QString local = dir->filePath(QStringLiteral("updateTmp.ini"));
    CBlockingDownload download;
    QVERIFY(!download.run(server->baseUrl() + QStringLiteral("update.ini"), local));
    QVERIFY2(download.errorText().startsWith(textStart), qPrintable(download.errorText()));
    QVERIFY2(download.errorText().endsWith(QStringLiteral("（file：") + local + QStringLiteral("）")),
             qPrintable(download.errorText()));
    QVERIFY2(!QFileInfo::exists(local), "a failed download must leave no file");
    QCOMPARE(server->requestCount(QStringLiteral("/elsewhere.ini")), 0);
}

void TestBlockingDownload::stallEndsWithTimeoutText()
{
    server->setFile(QStringLiteral("/md5.txt"), QByteArray(1000, 'x'));
    server->setStall(QStringLiteral("/md5.txt"), 10);
    const QString url = server->baseUrl() + QStringLiteral("md5.txt");
    const QString local = dir->filePath(QStringLiteral("md5Tmp.txt"));
    CBlockingDownload download;
    download.setTransferTimeout(1000);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!download.run(url, local));
    QVERIFY(timer.elapsed() < 20000);
    QCOMPARE(download.errorText(), QStringLiteral("下载超时（1秒）：") + url);
    QVERIFY(!QFileInfo::exists(local));
}

void TestBlockingDownload::oversizedBodyIsRefused()
{
    server->setFile(QStringLiteral("/update.ini"), QByteArray(5000, 'x'));
    const QString url = server->baseUrl() + QStringLiteral("update.ini");
    const QString local = dir->filePath(QStringLiteral("updateTmp.ini"));
    CBlockingDownload download;
    download.setMaxBytes(4096);
    QVERIFY(!download.run(url, local));
    QVERIFY2(download.errorText().startsWith(QStringLiteral("下载内容超过上限（4096字节）：")),
             qPrintable(download.errorText()));
    QVERIFY(!QFileInfo::exists(local));
}

void TestBlockingDownload::directoryCannotBeCreated()
{
    server->setFile(QStringLiteral("/update.ini"), "x");
    QVERIFY(writeTestFile(dir->filePath(QStringLiteral("update")), "a file where the directory belongs"));
    CBlockingDownload download;
    QVERIFY(!download.run(server->baseUrl() + QStringLiteral("update.ini"),
                          dir->filePath(QStringLiteral("update/updateTmp.ini"))));
    QCOMPARE(download.errorText(), QStringLiteral("无法创建目录:") + dir->filePath(QStringLiteral("update")));
    QCOMPARE(server->requests().size(), 0);
}

void TestBlockingDownload::fileCannotBeOpened()
{
    server->setFile(QStringLiteral("/update.ini"), "x");
    const QString local = dir->filePath(QStringLiteral("updateTmp.ini"));
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("updateTmp.ini")));
    CBlockingDownload download;
    QVERIFY(!download.run(server->baseUrl() + QStringLiteral("update.ini"), local));
    QCOMPARE(download.errorText(), QStringLiteral("无法打开文件:") + local);
    QVERIFY(QFileInfo(local).isDir());
}

void TestBlockingDownload::refusedConnection()
{
    // A port that was just free: nothing listens there any more.
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    const QString local = dir->filePath(QStringLiteral("updateTmp.ini"));
    CBlockingDownload download;
    QVERIFY(!download.run(QStringLiteral("http://127.0.0.1:%1/update.ini").arg(port), local));
    QVERIFY2(download.errorText().startsWith(QStringLiteral("下载错误：")), qPrintable(download.errorText()));
    QVERIFY(!QFileInfo::exists(local));
}

QTEST_GUILESS_MAIN(TestBlockingDownload)
#include "tst_cblockingdownload.moc"
