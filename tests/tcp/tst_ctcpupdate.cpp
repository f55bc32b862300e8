#include "logcapture.h"
#include "scriptedserver.h"
#include "tcp/ctcpupdate.h"
#include "tcp/qupdatetcpclient.h"
#include "testarea.h"
#include "ui/cancelconfirmation.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

using namespace TcpProtocol;

namespace {

QByteArray serverConfig(quint16 port, const QByteArray &portText = QByteArray())
{
    return "[Server]\nUpdateServer=127.0.0.1\nUpdatePort=" + (portText.isEmpty() ? QByteArray::number(port) : portText)
           + "\n[General]\nVersion=1.0.0\n[Project]\nType=3\n";
}

QByteArray fileContent(const QString &name)
{
    return name.toUtf8().repeated(500);
}

QByteArray reply(const QStringList &names, bool hasUpdate = true)
{
    QVector<RemoteFileEntry> entries;
    for (const QString &name : names)
        entries << TcpMessages::makeRemoteFileEntry(QStringLiteral("pkg"), name);
    return TcpMessages::buildVersionReply(hasUpdate, QStringLiteral("2.0.0"), 3, entries);
}

FileItem requested(const Packet &packet)
{
    FileItem item;
    TcpMessages::parseFileDownload(packet.body, &item);
    return item;
}

QString statusText(CTCPUpdate &driver)
{
    return driver.progressWindow()->findChild<QLabel *>(QStringLiteral("label_status"))->text();
}

QProgressBar *mainBar(CTCPUpdate &driver)
{
    return driver.progressWindow()->findChild<QProgressBar *>(QStringLiteral("progressBar_main"));
}

/// Records every status text the window shows. The display operations
/// process events right after changing the text, so a zero timer sees each
/// one while it is on screen.
class StatusRecorder
{
public:
    explicit StatusRecorder(CTCPUpdate &driver)
    {
        QObject::connect(&timer, &QTimer::timeout, [this, &driver]() {
            const QString text = statusText(driver);
            if (texts.isEmpty() || texts.constLast() != text)
                texts << text;
        });
        timer.start(0);
    }
    bool saw(const QString &text) const { return texts.contains(text); }
    QString all() const { return texts.join(QLatin1Char('|')); }

    QTimer timer;
    QStringList texts;
};

} // namespace

/// The TCP update driver against an in-process service.
class TestCTCPUpdate : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void notConfigured_data();
    void notConfigured();
    void checkVersionSendsConfiguredRequest();
    void noUpdateKeepsList();
    void checkFailures_data();
    void checkFailures();
    void ownConnectionFails();
    void lateReplyFillsListOnly();
    void updateWithoutFiles();
    void downloadsEverything();
    void fourAttemptsThreePauses();
    void retrySucceeds();
    void reconnectsBeforeRetry();
    void finalFailureClasses_data();
    void finalFailureClasses();
    void hostileEntryFailsRun();
    void cancelFromWindow();
    void emptyFileShowsZeroPercent();
    void manyChunksRepaintByPercent();
    void formatSizeTable_data();
    void formatSizeTable();
    void classifyErrorTable_data();
    void classifyErrorTable();

private:
    /// Serves every requested file with its fixed content.
    void serveFiles(const QStringList &names);
    std::unique_ptr<CTCPUpdate> makeDriver(const QByteArray &portText = QByteArray());

    std::unique_ptr<ScriptedServer> server;
    std::unique_ptr<TestArea> area;
};

void TestCTCPUpdate::init()
{
    server = std::make_unique<ScriptedServer>();
    area = std::make_unique<TestArea>(serverConfig(server->port()));
    QVERIFY(area->isValid());
}

void TestCTCPUpdate::cleanup()
{
    server.reset();
    area.reset();
}

std::unique_ptr<CTCPUpdate> TestCTCPUpdate::makeDriver(const QByteArray &portText)
{
    if (!portText.isEmpty())
        area = std::make_unique<TestArea>(serverConfig(server->port(), portText));
    auto driver = std::make_unique<CTCPUpdate>(*area->config, area->writer.get());
    driver->setRetryPause(10);
    return driver;
}

void TestCTCPUpdate::serveFiles(const QStringList &names)
{
    server->setHandler([names](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck)
            ScriptedServer::send(c, VersionReply, reply(names));
        else if (p.type == FileDownload)
            ScriptedServer::sendFile(c, requested(p), fileContent(requested(p).name), 700);
    });
}

void TestCTCPUpdate::notConfigured_data()
{
    QTest::addColumn<QByteArray>("portText");
    QTest::newRow("port 0") << QByteArray("0");
    QTest::newRow("port 65536 is cut to 0") << QByteArray("65536");
    QTest::newRow("port that is not a number") << QByteArray("http");
    QTest::newRow("negative port") << QByteArray("-5");
}

void TestCTCPUpdate::notConfigured()
{
    QFETCH(QByteArray, portText);
    auto driver = makeDriver(portText);
    QVERIFY(!driver->tcpClient());
    QVERIFY(!driver->checkVersion());
    QVERIFY(driver->versionCheckFailed());
    QVERIFY(!driver->checkErrorText().isEmpty());
    QVERIFY(!driver->start());
    QVERIFY(!driver->progressWindow()->isVisible());
}

void TestCTCPUpdate::checkVersionSendsConfiguredRequest()
{
    serveFiles({QStringLiteral("a.dll"), QStringLiteral("b.dll")});
    auto driver = makeDriver();
    QVERIFY(driver->tcpClient() && driver->tcpClient()->isConnected());
    QVERIFY(driver->checkVersion());
    QVERIFY(!driver->versionCheckFailed());
    QVERIFY(driver->checkErrorText().isEmpty());
    QCOMPARE(driver->files().size(), 2);
    QCOMPARE(driver->files().at(1).path, QStringLiteral("pkg"));
    QCOMPARE(driver->files().at(1).name, QStringLiteral("b.dll"));
    QCOMPARE(driver->lastVersionInfo().projectName, QStringLiteral("mistral run"));

    QCOMPARE(server->count(VersionCheck), 1);
    VersionCheckRequest sent;
    QVERIFY(TcpMessages::parseVersionCheck(server->requests.constFirst().body, &sent));
    QCOMPARE(sent.version, area->config->localVersion());
    QCOMPARE(sent.clientId, QStringLiteral("1"));
    QCOMPARE(sent.projectType, 3);
}

void TestCTCPUpdate::noUpdateKeepsList()
{
    bool offer = true;
    server->setHandler([&](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck)
            ScriptedServer::send(c, VersionReply, reply({QStringLiteral("kept.dll")}, offer));
    });
    auto driver = makeDriver();
    QVERIFY(driver->checkVersion());
    offer = false;
    QVERIFY(!driver->checkVersion());
    QVERIFY(!driver->versionCheckFailed()); // a reply saying "nothing to do" is not a failure
    QCOMPARE(driver->files().size(), 1);
    QVERIFY(!driver->start());
}

void TestCTCPUpdate::checkFailures_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<QString>("text");
    QTest::newRow("no reply") << 0 << QStringLiteral("TCP版本检查失败: 版本检查超时");
    QTest::newRow("error reply") << 1 << QStringLiteral("TCP版本检查失败: 服务器返回错误");
    QTest::newRow("unusable reply") << 2 << QStringLiteral("TCP版本检查失败: 版本回复无法解析");
    QTest::newRow("connection closed before the check") << 3 << QStringLiteral("TCP版本检查失败: 未连接到服务器");
}

void TestCTCPUpdate::checkFailures()
{
    QFETCH(int, behaviour);
    QFETCH(QString, text);
    server->setHandler([behaviour](QTcpSocket *c, const Packet &p) {
        if (p.type != VersionCheck)
            return;
        if (behaviour == 1)
            ScriptedServer::send(c, ErrorReply, QByteArray());
        else if (behaviour == 2)
            ScriptedServer::send(c, VersionReply, reply({QStringLiteral("x")}).left(100));
    });
    auto driver = makeDriver();
    if (behaviour == 3) {
        QTRY_COMPARE(server->connections.size(), 1);
        server->connections.constFirst()->disconnectFromHost();
        QTRY_VERIFY(!driver->tcpClient()->isConnected());
    }
    QVERIFY(!driver->checkVersion());
    QVERIFY(driver->versionCheckFailed());
    QCOMPARE(driver->checkErrorText(), text);
    QVERIFY(!driver->start());
}

void TestCTCPUpdate::ownConnectionFails()
{
    // The model's probe succeeded, then the service went away.
    const quint16 port = server->port();
    server.reset();
    area = std::make_unique<TestArea>(serverConfig(port));
    CTCPUpdate driver(*area->config, area->writer.get());
    QVERIFY(driver.tcpClient());
    QVERIFY(!driver.checkVersion());
    QVERIFY(driver.versionCheckFailed());
    QCOMPARE(driver.checkErrorText(), QStringLiteral("TCP版本检查失败: 未连接到服务器"));
}

void TestCTCPUpdate::lateReplyFillsListOnly()
{
    server->setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck)
            QTimer::singleShot(1300, c, [c]() { ScriptedServer::send(c, VersionReply, reply({QStringLiteral("late.dll")})); });
    });
    auto driver = makeDriver();
    QVERIFY(!driver->checkVersion());
    QVERIFY(driver->versionCheckFailed());
    QTRY_COMPARE_WITH_TIMEOUT(driver->files().size(), 1, 3000);
    QVERIFY(!driver->lastVersionInfo().hasUpdate);
    QSignalSpy results(driver.get(), &CTCPUpdate::sigUpdateResult);
    QVERIFY(!driver->start());
    QCoreApplication::processEvents();
    QCOMPARE(results.count(), 0);
}

void TestCTCPUpdate::updateWithoutFiles()
{
    serveFiles({});
    auto driver = makeDriver();
    QSignalSpy results(driver.get(), &CTCPUpdate::sigUpdateResult);
    QVERIFY(driver->checkVersion());
    QVERIFY(!driver->start());
    QVERIFY(!driver->progressWindow()->isVisible());
    QCoreApplication::processEvents();
    QCOMPARE(results.count(), 0);
}

void TestCTCPUpdate::downloadsEverything()
{
    const QStringList names = {QStringLiteral("one.dll"), QStringLiteral("two.dll"), QStringLiteral("three.dll")};
    serveFiles(names);
    auto driver = makeDriver();
    QVERIFY(driver->checkVersion());

    QList<int> barValues;
    connect(mainBar(*driver), &QProgressBar::valueChanged, this, [&](int value) { barValues << value; });
    StatusRecorder status(*driver);
    QSignalSpy results(driver.get(), &CTCPUpdate::sigUpdateResult);
    LogCapture log;
    QVERIFY(driver->start());
    QCOMPARE(results.count(), 0); // posted, not emitted from inside start
    QVERIFY(results.wait(2000));
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), true);

    for (const QString &name : names)
        QCOMPARE(area->readTemp(QStringLiteral("pkg/") + name), fileContent(name));
    QVERIFY(driver->progressWindow()->isVisible());
    QCOMPARE(statusText(*driver), QStringLiteral("所有文件下载完成！"));
    QCOMPARE(mainBar(*driver)->value(), 100);
    QVERIFY(barValues.contains(33));
    QVERIFY(barValues.contains(66));
    QVERIFY2(status.saw(QStringLiteral("开始TCP更新...")), qPrintable(status.all()));
    QVERIFY2(status.saw(QStringLiteral("准备下载文件，共 3 个文件")), qPrintable(status.all()));
    QVERIFY2(status.saw(QStringLiteral("正在下载: two.dll (2/3)")), qPrintable(status.all()));
    QVERIFY2(status.saw(QStringLiteral("总体进度: 1/3 (33%)")), qPrintable(status.all()));
    QVERIFY2(status.saw(QStringLiteral("文件下载完成: three.dll")), qPrintable(status.all()));
    QVERIFY(log.contains(QStringLiteral("开始迭代下载，总文件数: 3")));
    QVERIFY(log.contains(QStringLiteral("下载进度更新: 1/3 (33%)")));
    QVERIFY(log.contains(QStringLiteral("下载进度更新: 3/3 (100%)")));
    QVERIFY(log.contains(QStringLiteral("所有文件下载完成")));
    QCOMPARE(driver->currentFileIndex(), 3);
}

void TestCTCPUpdate::fourAttemptsThreePauses()
{
    const QStringList names = {QStringLiteral("bad.dll"), QStringLiteral("never.dll")};
    server->setHandler([names](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck)
            ScriptedServer::send(c, VersionReply, reply(names));
        else if (p.type == FileDownload)
            ScriptedServer::send(c, ErrorReply, "refused");
    });
    auto driver = makeDriver();
    driver->setRetryPause(CTCPUpdate::kRetryPauseMs);
    QVERIFY(driver->checkVersion());
    QSignalSpy results(driver.get(), &CTCPUpdate::sigUpdateResult);
    LogCapture log;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!driver->start());
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 3000 && elapsed < 6000, qPrintable(QString::number(elapsed)));
    QCOMPARE(server->count(FileDownload), 4);
    for (const Packet &packet : server->requests) {
        if (packet.type == FileDownload)
            QCOMPARE(requested(packet).name, QStringLiteral("bad.dll")); // the run stops at the failing file
    }
    QVERIFY(log.contains(QStringLiteral("重试下载: bad.dll, 尝试次数: 1")));
    QVERIFY(log.contains(QStringLiteral("重试下载: bad.dll, 尝试次数: 3")));
    QVERIFY(!log.contains(QStringLiteral("尝试次数: 4")));
    QVERIFY(log.contains(QStringLiteral("下载最终失败，已达到最大重试次数: bad.dll")));
    QCOMPARE(statusText(*driver), QStringLiteral("未知错误，重试失败: bad.dll"));
    QVERIFY(results.wait(1000));
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), false);
}

void TestCTCPUpdate::retrySucceeds()
{
    int failures = 2;
    server->setHandler([&](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck) {
            ScriptedServer::send(c, VersionReply, reply({QStringLiteral("flaky.dll")}));
        } else if (p.type == FileDownload) {
            if (failures-- > 0)
                ScriptedServer::send(c, ErrorReply, "busy");
            else
                ScriptedServer::sendFile(c, requested(p), fileContent(QStringLiteral("flaky.dll")), 300);
        }
    });
    auto driver = makeDriver();
    QVERIFY(driver->checkVersion());
    LogCapture log;
    StatusRecorder status(*driver);
    QVERIFY(driver->start());
    QCOMPARE(server->count(FileDownload), 3);
    QVERIFY2(status.saw(QStringLiteral("第1次重试下载: flaky.dll")), qPrintable(status.all()));
    QVERIFY2(status.saw(QStringLiteral("第2次重试下载: flaky.dll")), qPrintable(status.all()));
    QVERIFY(log.contains(QStringLiteral("重试下载: flaky.dll, 尝试次数: 2")));
    QVERIFY(!log.contains(QStringLiteral("尝试次数: 3")));
    QCOMPARE(area->readTemp(QStringLiteral("pkg/flaky.dll")), fileContent(QStringLiteral("flaky.dll")));
}

void TestCTCPUpdate::reconnectsBeforeRetry()
{
    const QByteArray content = fileContent(QStringLiteral("dropped.bin"));
    bool dropNext = true;
    server->setHandler([&](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck) {
            ScriptedServer::send(c, VersionReply, reply({QStringLiteral("dropped.bin")}));
        } else if (p.type == FileDownload && dropNext) {
            dropNext = false;
            c->write(ScriptedServer::fileData(requested(p), static_cast<quint32>(content.size()), content.left(100), false));
            c->flush();
            QTimer::singleShot(30, c, [c]() { c->disconnectFromHost(); });
        } else if (p.type == FileDownload) {
            ScriptedServer::sendFile(c, requested(p), content, 1000);
        }
    });
    auto driver = makeDriver();
    QVERIFY(driver->checkVersion());
    QVERIFY(driver->start());
    QCOMPARE(server->connections.size(), 2);
    QCOMPARE(area->readTemp(QStringLiteral("pkg/dropped.bin")), content);
}

void TestCTCPUpdate::finalFailureClasses_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("shown");
    QTest::newRow("no data: time-out") << 0 << QStringLiteral("下载超时，重试失败: f.dll");
    QTest::newRow("directory where the file goes: file system") << 1 << QStringLiteral("文件系统错误，重试失败: f.dll");
    QTest::newRow("service gone: network") << 2 << QStringLiteral("网络错误，重试失败: f.dll");
    QTest::newRow("error reply: unknown") << 3 << QStringLiteral("未知错误，重试失败: f.dll");
}

void TestCTCPUpdate::finalFailureClasses()
{
    QFETCH(int, fault);
    QFETCH(QString, shown);
    ScriptedServer *service = server.get();
    server->setHandler([fault, service](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck) {
            ScriptedServer::send(c, VersionReply, reply({QStringLiteral("f.dll")}));
        } else if (p.type == FileDownload) {
            if (fault == 1)
                ScriptedServer::sendFile(c, requested(p), "data", 10);
            if (fault == 2) {
                service->server.close(); // no reconnect possible
                c->abort();
            }
            if (fault == 3)
                ScriptedServer::send(c, ErrorReply, QByteArray());
        }
    });
    auto driver = makeDriver();
    driver->tcpClient()->setInactivityLimit(100);
    if (fault == 1)
        QVERIFY(QDir().mkpath(area->tempFile(QStringLiteral("pkg/f.dll"))));
    QVERIFY(driver->checkVersion());
    QVERIFY(!driver->start());
    QCOMPARE(statusText(*driver), shown);
    QVERIFY(!QFileInfo(area->tempFile(QStringLiteral("pkg/f.dll"))).isFile());
}

void TestCTCPUpdate::hostileEntryFailsRun()
{
    server->setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck) {
            QVector<RemoteFileEntry> entries = {
                TcpMessages::makeRemoteFileEntry(QStringLiteral("../.."), QStringLiteral("evil.exe"))};
            ScriptedServer::send(c, VersionReply, TcpMessages::buildVersionReply(true, QStringLiteral("6.6.6"), 3, entries));
        } else if (p.type == FileDownload) {
            ScriptedServer::sendFile(c, requested(p), "evil", 10);
        }
    });
    auto driver = makeDriver();
    QVERIFY(driver->checkVersion());
    const QStringList before = area->allFiles();
    QSignalSpy results(driver.get(), &CTCPUpdate::sigUpdateResult);
    QVERIFY(!driver->start());
    QCOMPARE(server->count(FileDownload), 0);
    QCOMPARE(area->allFiles(), before);
    QVERIFY(!QFile::exists(QFileInfo(area->root()).absolutePath() + QStringLiteral("/evil.exe")));
    QVERIFY(results.wait(1000));
    QCOMPARE(results.at(0).at(0).toBool(), false);
}

void TestCTCPUpdate::cancelFromWindow()
{
    server->setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck)
            ScriptedServer::send(c, VersionReply, reply({QStringLiteral("big.bin"), QStringLiteral("next.bin")}));
        else if (p.type == FileDownload)
            c->write(ScriptedServer::fileData(requested(p), 100000, QByteArray(1000, 'b'), false)); // then silence
    });
    auto driver = makeDriver();
    QVERIFY(driver->checkVersion());
    UpdateWidget *window = driver->progressWindow();

    // Once data flows, press the cancel button and confirm the question.
    bool pressed = false;
    connect(driver->tcpClient(), &QUpdateTcpClient::sigFileDownloadProgress, this, [&]() {
        if (pressed)
            return;
        pressed = true;
        QTimer::singleShot(0, window, [window]() {
            QTimer::singleShot(50, window, []() {
                QWidget *box = QApplication::activeModalWidget();
                if (box && box->objectName() == QLatin1String(kCancelConfirmationName))
                    box->findChild<QPushButton *>(QLatin1String(kCancelConfirmButtonName))->click();
            });
            window->findChild<QPushButton *>(QStringLiteral("pushButton_cancel"))->click();
        });
    });
    QSignalSpy results(driver.get(), &CTCPUpdate::sigUpdateResult);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!driver->start());
    QVERIFY(pressed);
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(statusText(*driver), QStringLiteral("下载已取消"));
    QCOMPARE(server->count(FileDownload), 1); // no retry, no next file
    QVERIFY(results.wait(1000));
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), false);
}

void TestCTCPUpdate::emptyFileShowsZeroPercent()
{
    server->setHandler([](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck)
            ScriptedServer::send(c, VersionReply, reply({QStringLiteral("empty.cfg")}));
        else if (p.type == FileDownload)
            ScriptedServer::sendFile(c, requested(p), QByteArray(), 100);
    });
    auto driver = makeDriver();
    QVERIFY(driver->checkVersion());
    LogCapture log;
    QVERIFY(driver->start());
    QVERIFY2(log.contains(QStringLiteral("TCP文件下载进度:empty.cfg 0/0 0%")), qPrintable(log.text()));
    QCOMPARE(area->readTemp(QStringLiteral("pkg/empty.cfg")), QByteArray());
}

void TestCTCPUpdate::manyChunksRepaintByPercent()
{
    const QByteArray content(100000, 'm');
    server->setHandler([&](QTcpSocket *c, const Packet &p) {
        if (p.type == VersionCheck)
            ScriptedServer::send(c, VersionReply, reply({QStringLiteral("many.bin")}));
        else if (p.type == FileDownload)
            ScriptedServer::sendFile(c, requested(p), content, 100); // 1000 chunks
    });
    auto driver = makeDriver();
    QVERIFY(driver->checkVersion());
    auto *fileLabel = driver->progressWindow()->findChild<QLabel *>(QStringLiteral("label_updatefile"));
    auto *fileBar = driver->progressWindow()->findChild<QProgressBar *>(QStringLiteral("progressBar_updatefile"));
    QStringList fileTexts;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&]() {
        if (fileTexts.isEmpty() || fileTexts.constLast() != fileLabel->text())
            fileTexts << fileLabel->text();
    });
    sampler.start(0);
    LogCapture log;
    QVERIFY(driver->start());
    // Every chunk is logged, but the window is repainted per percentage,
    // not per chunk; the end of the file is always shown.
    QCOMPARE(log.text().count(QStringLiteral("TCP文件下载进度:many.bin")), 1001);
    QVERIFY2(fileTexts.size() >= 3 && fileTexts.size() <= 150, qPrintable(QString::number(fileTexts.size())));
    QCOMPARE(fileLabel->text(), QStringLiteral("下载: many.bin (97.66 KB/97.66 KB)"));
    QCOMPARE(fileBar->value(), 100);
    QCOMPARE(area->readTemp(QStringLiteral("pkg/many.bin")), content);
}

void TestCTCPUpdate::formatSizeTable_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << qint64(0) << QStringLiteral("0 B");
    QTest::newRow("1023") << qint64(1023) << QStringLiteral("1023 B");
    QTest::newRow("1024") << qint64(1024) << QStringLiteral("1.00 KB");
    QTest::newRow("1536") << qint64(1536) << QStringLiteral("1.50 KB");
    QTest::newRow("1048575 stays in KB") << qint64(1048575) << QStringLiteral("1024.00 KB");
    QTest::newRow("1048576") << qint64(1048576) << QStringLiteral("1.00 MB");
    QTest::newRow("1073741824") << qint64(1073741824) << QStringLiteral("1.00 GB");
}

void TestCTCPUpdate::formatSizeTable()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(CTCPUpdate::formatSize(bytes), text);
}

void TestCTCPUpdate::classifyErrorTable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("errorClass");
    QTest::newRow("connection in any case is network") << QStringLiteral("CoNNeCTion refused") << int(CTCPUpdate::Network);
    QTest::newRow("timeout and connection: time-out wins")
        << QStringLiteral("Connection TIMEOUT") << int(CTCPUpdate::Timeout);
    QTest::newRow("磁盘 is file system") << QStringLiteral("磁盘已满") << int(CTCPUpdate::FileSystem);
    QTest::newRow("下载失败 is unknown") << QStringLiteral("下载失败") << int(CTCPUpdate::Unknown);
    QTest::newRow("client time-out text") << QStringLiteral("文件下载超时") << int(CTCPUpdate::Timeout);
    QTest::newRow("write failure text") << QStringLiteral("Failed to save file data: a/b") << int(CTCPUpdate::FileSystem);
    QTest::newRow("remote close") << QStringLiteral("The remote host closed the connection") << int(CTCPUpdate::Network);
    QTest::newRow("网络") << QStringLiteral("网络不可达") << int(CTCPUpdate::Network);
    QTest::newRow("cancel text") << QStringLiteral("下载已取消") << int(CTCPUpdate::Cancel);
    QTest::newRow("Cancelled in English") << QStringLiteral("Operation CANCELLED") << int(CTCPUpdate::Cancel);
    QTest::newRow("disk") << QStringLiteral("no space left on DISK") << int(CTCPUpdate::FileSystem);
    QTest::newRow("empty text") << QString() << int(CTCPUpdate::Unknown);
}

void TestCTCPUpdate::classifyErrorTable()
{
    QFETCH(QString, text);
    QFETCH(int, errorClass);
    QCOMPARE(int(CTCPUpdate::classifyError(text)), errorClass);
}

QTEST_MAIN(TestCTCPUpdate)
#include "tst_ctcpupdate.moc"
