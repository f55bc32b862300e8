#include "logcapture.h"
#include "scriptedserver.h"
#include "tcp/ctcpupdate.h"
#include "tcp/qupdatetcpclient.h"
#include "testinstallation.h"

#include "ui/cancelconfirmation.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

using namespace TcpProtocol;

namespace {

QByteArray serverConfig(const QByteArray &port)
{
    return "[Server]\nUpdateServer=127.0.0.1\nUpdatePort=" + port + "\n[General]\nVersion=1.0.0\n[Project]\nType=3\n";
}

// What the service holds for @p name: an empty file, a large one, or a small one.
QByteArray fileContent(const QString &name)
{
    if (name.startsWith(QLatin1String("empty")))
        return QByteArray();
    if (name.startsWith(QLatin1String("many")))
        return QByteArray(100000, 'm');
    return name.toUtf8().repeated(500);
}

enum Tag { NoTag, RightTag, WrongTag };

// A version reply offering @p names in the folder @p path, their entries
// tagged with the MD5 of their content as @p tag says.
QByteArray offer(const QStringList &names, bool hasUpdate = true, const QString &path = QStringLiteral("pkg"),
                 Tag tag = NoTag)
{
    QVector<RemoteFileEntry> entries;
    for (const QString &name : names) {
        const QByteArray served = fileContent(name) + (tag == WrongTag ? "!" : "");
        const QByteArray md5 = tag == NoTag ? QByteArray() : QCryptographicHash::hash(served, QCryptographicHash::Md5);
        entries << TcpMessages::makeRemoteFileEntry(path, name, md5);
    }
    return buildPacket(VersionReply, TcpMessages::buildVersionReply(hasUpdate, QStringLiteral("2.0.0"), 3, entries), 1);
}

template <typename T>
T *child(CTCPUpdate &driver, const char *name)
{
    return driver.progressWindow()->findChild<T *>(QLatin1String(name));
}

QString statusText(CTCPUpdate &driver)
{
    return child<QLabel>(driver, "label_status")->text();
}

/// Records every distinct text a label shows. The display operations
/// process events right after changing a text, so a zero timer sees each
/// one while it is on screen.
class TextRecorder
{
public:
    explicit TextRecorder(QLabel *label)
    {
        QObject::connect(&timer, &QTimer::timeout, [this, label]() {
            if (texts.isEmpty() || texts.constLast() != label->text())
                texts << label->text();
        });
        timer.start(0);
    }
    bool saw(const QString &text) const { return texts.contains(text); }
    QString all() const { return texts.join(QLatin1Char('|')); }

    QTimer timer;
    QStringList texts;
};

enum Connection { Kept, ClosedBeforeCheck, ServiceGone };
// What a hostile service does on the first request for b.txt (a.txt for
// data after the last chunk, so that the next request always meets it).
enum Hostility {
    Honest,
    LateReplyFewer,
    LateReplyEmpty,
    RepeatLastChunkOfA,
    UnrequestedFile,
    DataAfterLastChunk,
    HeartbeatsOnly,
    BadMagicMidFile,
};
enum DownloadFault { Silence, DirectoryInTheWay, ServiceDown, HostileEntry };

} // namespace

/// The TCP update driver against an in-process service.
class TestCTCPUpdate : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void checkOutcomes_data();
    void checkOutcomes();
    void downloadsEverything();
    void keepsFilesOfAnInterruptedRun();
    void fourAttemptsThreePauses();
    void retryReconnectsAndSucceeds();
    void finalFailureClasses_data();
    void finalFailureClasses();
    void cancelEndsRun();
    void hostileService_data();
    void hostileService();
    void cancelQuestionPausesStallBound();
    void classifyErrorTable_data();
    void classifyErrorTable();

private:
    /// Offers @p names and serves each file's content in chunks of 100 bytes.
    void serveFiles(const QStringList &names);
    std::unique_ptr<CTCPUpdate> makeDriver(const QByteArray &port = QByteArray());

    std::unique_ptr<ScriptedServer> server;
    std::unique_ptr<TestArea> area;
};

void TestCTCPUpdate::init()
{
    server = std::make_unique<ScriptedServer>();
}

std::unique_ptr<CTCPUpdate> TestCTCPUpdate::makeDriver(const QByteArray &port)
{
    area = std::make_unique<TestArea>(serverConfig(port.isEmpty() ? QByteArray::number(server->port()) : port));
    auto driver = std::make_unique<CTCPUpdate>(area->config(), area->writer.get());
    driver->setRetryPause(10);
    return driver;
}

void TestCTCPUpdate::serveFiles(const QStringList &names)
{
    server->answer(VersionCheck, offer(names));
    server->on(FileDownload, [](QTcpSocket *c, const Packet &p) {
        const FileItem item = ScriptedServer::requested(p);
        ScriptedServer::sendFile(c, item, fileContent(item.name), 100);
    });
}

void TestCTCPUpdate::checkOutcomes_data()
{
    QTest::addColumn<QByteArray>("port");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("delay");
    QTest::addColumn<int>("connection");
    QTest::addColumn<bool>("offered");
    QTest::addColumn<QString>("text");

    const QByteArray usable = offer({QStringLiteral("x.dll")});
    const QString notConfigured = QStringLiteral("TCP版本检查失败: 未配置TCP更新服务");
    const QString notConnected = QStringLiteral("TCP版本检查失败: 未连接到服务器");
    QTest::newRow("port 0: not configured") << QByteArray("0") << usable << 0 << int(Kept) << false << notConfigured;
    QTest::newRow("port 65536 is cut to 0") << QByteArray("65536") << usable << 0 << int(Kept) << false << notConfigured;
    QTest::newRow("port that is not a number") << QByteArray("http") << usable << 0 << int(Kept) << false << notConfigured;
    QTest::newRow("negative port") << QByteArray("-5") << usable << 0 << int(Kept) << false << notConfigured;
    QTest::newRow("error reply") << QByteArray() << buildPacket(ErrorReply, QByteArray(), 1) << 0 << int(Kept) << false
                                 << QStringLiteral("TCP版本检查失败: 服务器返回错误");
    QTest::newRow("late reply: a time-out, the reply is ignored, nothing starts")
        << QByteArray() << usable << 1300 << int(Kept) << false << QStringLiteral("TCP版本检查失败: 版本检查超时");
    QTest::newRow("connection closed before the check")
        << QByteArray() << usable << 0 << int(ClosedBeforeCheck) << false << notConnected;
    QTest::newRow("service gone before the driver connects")
        << QByteArray() << usable << 0 << int(ServiceGone) << false << notConnected;
    QTest::newRow("a reply without update is no failure")
        << QByteArray() << offer({QStringLiteral("x.dll")}, false) << 0 << int(Kept) << false << QString();
    QTest::newRow("an update without files starts nothing")
        << QByteArray() << offer({}) << 0 << int(Kept) << true << QString();
}

void TestCTCPUpdate::checkOutcomes()
{
    QFETCH(QByteArray, port);
    QFETCH(QByteArray, answer);
    QFETCH(int, delay);
    QFETCH(int, connection);
    QFETCH(bool, offered);
    QFETCH(QString, text);

    server->answer(VersionCheck, answer, delay);
    const QByteArray configured = port.isEmpty() ? QByteArray::number(server->port()) : port;
    if (connection == ServiceGone)
        server->server.close();
    auto driver = makeDriver(configured);
    QCOMPARE(driver->tcpClient() != nullptr, port.isEmpty());
    if (connection == ClosedBeforeCheck) {
        QTRY_COMPARE(server->connections.size(), 1);
        server->connections.constFirst()->disconnectFromHost();
        QTRY_VERIFY(!driver->tcpClient()->isConnected());
    }
    QCOMPARE(driver->checkVersion(), offered);
    QCOMPARE(driver->versionCheckFailed(), !text.isEmpty());
    QCOMPARE(driver->errorString(), text);
    if (delay > 0) { // the late reply arrives and changes nothing
        QTest::qWait(delay);
        QCOMPARE(driver->files().size(), 0);
    }

    QSignalSpy results(driver.get(), &CTCPUpdate::sigUpdateResult);
    QVERIFY(!driver->start());
    QVERIFY(!driver->progressWindow()->isVisible());
    QCoreApplication::processEvents();
    QCOMPARE(results.count(), 0);
}

void TestCTCPUpdate::downloadsEverything()
{
    const QStringList names = {QStringLiteral("one.dll"), QStringLiteral("empty.cfg"), QStringLiteral("many.bin")};
    serveFiles(names);
    auto driver = makeDriver();
    QVERIFY(driver->checkVersion());
    QCOMPARE(driver->files().size(), 3);
    QCOMPARE(driver->files().at(1).path, QStringLiteral("pkg"));
    QCOMPARE(driver->files().at(1).name, QStringLiteral("empty.cfg"));
    QCOMPARE(driver->lastVersionInfo().projectName, QStringLiteral("mistral run"));
    VersionCheckRequest sent;
    QVERIFY(TcpMessages::parseVersionCheck(server->requests.constFirst().body, &sent));
    QCOMPARE(sent.version + QLatin1Char('/') + sent.clientId, QStringLiteral("1.0.0/1"));
    QCOMPARE(sent.projectType, 3);

    QList<int> barValues;
    auto *mainBar = child<QProgressBar>(*driver, "progressBar_main");
    connect(mainBar, &QProgressBar::valueChanged, this, [&](int value) { barValues << value; });
    TextRecorder status(child<QLabel>(*driver, "label_status"));
    TextRecorder fileTexts(child<QLabel>(*driver, "label_updatefile"));
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
    QCOMPARE(driver->currentFileIndex(), 3);
    QCOMPARE(mainBar->value(), 100);
    QVERIFY(barValues.contains(33) && barValues.contains(66));
    for (const char *text : {"开始TCP更新...", "准备下载文件，共 3 个文件", "正在下载: empty.cfg (2/3)", "总体进度: 1/3 (33%)",
                             "文件下载完成: many.bin"})
        QVERIFY2(status.saw(QString::fromUtf8(text)), qPrintable(status.all()));
    for (const char *text : {"开始迭代下载，总文件数: 3", "下载进度更新: 1/3 (33%)", "下载进度更新: 3/3 (100%)",
                             "所有文件下载完成", "TCP文件下载进度:empty.cfg 0/0 0%"})
        QVERIFY2(log.contains(QString::fromUtf8(text)), text);

    // Every chunk of the large file is logged, but the window is repainted
    // per percentage, not per chunk; the end of the file is always shown.
    QCOMPARE(log.text().count(QStringLiteral("TCP文件下载进度:many.bin")), 1001);
    const int manyTexts = fileTexts.texts.filter(QStringLiteral("many.bin")).size();
    QVERIFY2(manyTexts >= 3 && manyTexts <= 150, qPrintable(QString::number(manyTexts)));
    QCOMPARE(child<QLabel>(*driver, "label_updatefile")->text(), QStringLiteral("下载: many.bin (97.66 KB/97.66 KB)"));
    QCOMPARE(child<QProgressBar>(*driver, "progressBar_updatefile")->value(), 100);
    // One status text per chunk: no second "下载文件: …" alternating with it.
    QVERIFY2(status.texts.filter(QStringLiteral("下载文件:")).isEmpty(), qPrintable(status.all()));
    QVERIFY(!driver->progressWindow()->isFinished());
}

void TestCTCPUpdate::keepsFilesOfAnInterruptedRun()
{
    const QStringList names = {QStringLiteral("one.dll"), QStringLiteral("two.dll")};
    // The offer as update_service makes it: files served from an offset.
    QByteArray reply = offer(names, true, QStringLiteral("pkg"), RightTag);
    const int flags = kHeaderSize + TcpProtocol::kOfferFlagsOffset;
    reply.replace(kHeaderSize + TcpProtocol::kPipelineMarkerOffset, 4, TcpProtocol::kPipelineMarker, 4);
    reply.replace(flags, 4, QByteArray::fromHex("01000000"));
    server->answer(VersionCheck, reply);
    QStringList requested;
    bool spoilContinued = false;
    server->on(FileDownload, [&requested, &spoilContinued](QTcpSocket *c, const Packet &p) {
        FileItem item;
        quint32 startAt = 0;
        QVERIFY(TcpMessages::parseFileDownload(p.body, &item, &startAt));
        requested << item.name + QLatin1Char('@') + QString::number(startAt);
        const QByteArray whole = fileContent(item.name);
        QByteArray rest = whole.mid(int(startAt));
        if (spoilContinued && startAt > 0)
            rest[0] = '!';
        ScriptedServer::write(c, TcpProtocol::buildPacket(FileData, TcpMessages::buildFileData(item.path, item.name,
                                                  quint32(whole.size()), true, startAt, rest), 1));
    });
    auto driver = makeDriver();
    // An earlier run stored one.dll whole and was cut off in two.dll.
    area->write(QStringLiteral("UpdateTmp/pkg/one.dll"), fileContent(QStringLiteral("one.dll")));
    area->write(QStringLiteral("UpdateTmp/pkg/two.dll"), fileContent(QStringLiteral("two.dll")).left(42));
    area->write(QStringLiteral("UpdateTmp/pkg/gone.dll"), "listed by no release now");
    QCOMPARE(driver->check(), 1);
    const QByteArray identity = driver->releaseIdentity();
    QCOMPARE(identity.size(), 32);
    QSignalSpy results(driver.get(), &CTCPUpdate::sigUpdateResult);
    QVERIFY(driver->start());
    QVERIFY(results.wait(2000));
    QCOMPARE(requested, QStringList{QStringLiteral("two.dll@42")});
    for (const QString &name : names)
        QCOMPARE(area->readTemp(QStringLiteral("pkg/") + name), fileContent(name));
    QVERIFY(!QFileInfo::exists(area->tempFile(QStringLiteral("pkg/gone.dll"))));

    // A continued transfer that fails its digest is retried whole.
    area->write(QStringLiteral("UpdateTmp/pkg/two.dll"), fileContent(QStringLiteral("two.dll")).left(42));
    spoilContinued = true;
    requested.clear();
    QCOMPARE(driver->check(), 1);
    QVERIFY(driver->start());
    QVERIFY(results.wait(5000));
    QCOMPARE(requested, QStringList({QStringLiteral("two.dll@42"), QStringLiteral("two.dll@0")}));
    QCOMPARE(results.at(1).at(0).toBool(), true);
    QCOMPARE(area->readTemp(QStringLiteral("pkg/two.dll")), fileContent(QStringLiteral("two.dll")));

    // Another offer is another release, though the names are the same.
    server->answer(VersionCheck, offer(names, true, QStringLiteral("pkg"), WrongTag));
    QCOMPARE(driver->check(), 1);
    QVERIFY(driver->releaseIdentity() != identity);
}

void TestCTCPUpdate::fourAttemptsThreePauses()
{
    server->answer(VersionCheck, offer({QStringLiteral("bad.dll"), QStringLiteral("never.dll")}));
    server->answer(FileDownload, buildPacket(ErrorReply, "refused", 1));
    auto driver = makeDriver();
    driver->setRetryPause(CTCPUpdate::kRetryPauseMs);
    QVERIFY(driver->checkVersion());
    QSignalSpy results(driver.get(), &CTCPUpdate::sigUpdateResult);
    LogCapture log;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!driver->start());
    QVERIFY2(timer.elapsed() >= 3000 && timer.elapsed() < 6000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(server->count(FileDownload), 4);
    for (const Packet &packet : server->requests) {
        if (packet.type == FileDownload) // the run stops at the failing file
            QCOMPARE(ScriptedServer::requested(packet).name, QStringLiteral("bad.dll"));
    }
    QVERIFY(log.contains(QStringLiteral("重试下载: bad.dll, 尝试次数: 1")));
    QVERIFY(log.contains(QStringLiteral("重试下载: bad.dll, 尝试次数: 3")));
    QVERIFY(!log.contains(QStringLiteral("尝试次数: 4")));
    QVERIFY(log.contains(QStringLiteral("下载最终失败，已达到最大重试次数: bad.dll")));
    QCOMPARE(statusText(*driver), QStringLiteral("未知错误，重试失败: bad.dll"));
    // No dead end: the window offers "关闭".
    QVERIFY(driver->progressWindow()->isFinished());
    QCOMPARE(child<QLabel>(*driver, "label_title")->text(), QStringLiteral("TCP升级失败"));
    QVERIFY(results.wait(1000));
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), false);
}

void TestCTCPUpdate::retryReconnectsAndSucceeds()
{
    // First attempt: an error reply; second: part of the file, then the
    // connection drops; third, on a new connection: the whole file.
    const QByteArray content = fileContent(QStringLiteral("flaky.dll"));
    server->answer(VersionCheck, offer({QStringLiteral("flaky.dll")}));
    server->on(FileDownload, [&](QTcpSocket *c, const Packet &p) {
        const FileItem item = ScriptedServer::requested(p);
        if (server->count(FileDownload) == 1) {
            ScriptedServer::write(c, buildPacket(ErrorReply, "busy", 1));
        } else if (server->count(FileDownload) == 2) {
            ScriptedServer::write(c, ScriptedServer::fileData(item, quint32(content.size()), content.left(100), false));
            QTimer::singleShot(30, c, [c]() { c->disconnectFromHost(); });
        } else {
            ScriptedServer::sendFile(c, item, content, 300);
        }
    });
    auto driver = makeDriver();
    QVERIFY(driver->checkVersion());
    LogCapture log;
    TextRecorder status(child<QLabel>(*driver, "label_status"));
    QVERIFY(driver->start());
    QCOMPARE(server->count(FileDownload), 3);
    QCOMPARE(server->connections.size(), 3); // every failed attempt renews the connection
    QVERIFY2(status.saw(QStringLiteral("第1次重试下载: flaky.dll")), qPrintable(status.all()));
    QVERIFY2(status.saw(QStringLiteral("第2次重试下载: flaky.dll")), qPrintable(status.all()));
    QVERIFY(log.contains(QStringLiteral("重试下载: flaky.dll, 尝试次数: 2")));
    QVERIFY(!log.contains(QStringLiteral("尝试次数: 3")));
    QCOMPARE(area->readTemp(QStringLiteral("pkg/flaky.dll")), content);
}

void TestCTCPUpdate::finalFailureClasses_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("shown");
    QTest::newRow("no data: time-out") << int(Silence) << QStringLiteral("下载超时，重试失败: f.dll");
    QTest::newRow("directory where the file goes: file system")
        << int(DirectoryInTheWay) << QStringLiteral("文件系统错误，重试失败: f.dll");
    QTest::newRow("service gone: network") << int(ServiceDown) << QStringLiteral("网络错误，重试失败: f.dll");
    QTest::newRow("hostile entry: never requested") << int(HostileEntry) << QStringLiteral("未知错误，重试失败: f.dll");
}

void TestCTCPUpdate::finalFailureClasses()
{
    QFETCH(int, fault);
    QFETCH(QString, shown);
    const QString path = fault == HostileEntry ? QStringLiteral("../..") : QStringLiteral("pkg");
    server->answer(VersionCheck, offer({QStringLiteral("f.dll")}, true, path));
    ScriptedServer *service = server.get();
    server->on(FileDownload, [fault, service](QTcpSocket *c, const Packet &p) {
        if (fault == DirectoryInTheWay) {
            ScriptedServer::sendFile(c, ScriptedServer::requested(p), "data", 10);
        } else if (fault == ServiceDown) {
            service->server.close(); // no reconnect possible
            c->abort();
        }
    });
    auto driver = makeDriver();
    driver->tcpClient()->setInactivityLimit(100);
    if (fault == DirectoryInTheWay)
        QVERIFY(QDir().mkpath(area->tempFile(QStringLiteral("pkg/f.dll"))));
    QVERIFY(driver->checkVersion());
    const QStringList before = area->allFiles();
    QSignalSpy results(driver.get(), &CTCPUpdate::sigUpdateResult);
    QVERIFY(!driver->start());
    QCOMPARE(statusText(*driver), shown);
    QCOMPARE(area->allFiles(), before);
    QVERIFY(!QFile::exists(QFileInfo(area->root()).absolutePath() + QStringLiteral("/f.dll")));
    QCOMPARE(server->count(FileDownload) == 0, fault == HostileEntry);
    QVERIFY(results.wait(1000));
    QCOMPARE(results.at(0).at(0).toBool(), false);
}

void TestCTCPUpdate::cancelEndsRun()
{
    server->answer(VersionCheck, offer({QStringLiteral("big.bin"), QStringLiteral("next.bin")}));
    server->on(FileDownload, [](QTcpSocket *c, const Packet &p) { // a first chunk, then silence
        const FileItem item = ScriptedServer::requested(p);
        ScriptedServer::write(c, ScriptedServer::fileData(item, 100000, QByteArray(1000, 'b'), false));
    });
    auto driver = makeDriver();
    QVERIFY(driver->checkVersion());
    // Once data flows, the window reports a confirmed cancel.
    UpdateWidget *window = driver->progressWindow();
    connect(driver->tcpClient(), &QUpdateTcpClient::sigFileDownloadProgress, window, &UpdateWidget::sigCancelRequested,
            Qt::QueuedConnection);
    QSignalSpy results(driver.get(), &CTCPUpdate::sigUpdateResult);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!driver->start());
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(statusText(*driver), QStringLiteral("下载已取消"));
    QVERIFY(driver->progressWindow()->isFinished());
    QCOMPARE(child<QLabel>(*driver, "label_title")->text(), QStringLiteral("TCP升级已取消"));
    QCOMPARE(server->count(FileDownload), 1); // no retry, no next file
    QVERIFY(results.wait(1000));
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), false);
}

void TestCTCPUpdate::hostileService_data()
{
    QTest::addColumn<int>("hostility");
    QTest::addColumn<int>("tag");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("logLine");

    const QString protocolError = QStringLiteral("未请求的文件数据");
    QTest::newRow("late version reply with fewer files is ignored")
        << int(LateReplyFewer) << int(RightTag) << true << QStringLiteral("忽略版本检查之外的版本回复");
    QTest::newRow("late version reply without files is ignored")
        << int(LateReplyEmpty) << int(RightTag) << true << QStringLiteral("忽略版本检查之外的版本回复");
    QTest::newRow("repeated last chunk of a completed file: attempt fails, file intact")
        << int(RepeatLastChunkOfA) << int(RightTag) << true << protocolError;
    QTest::newRow("data for a file never requested") << int(UnrequestedFile) << int(RightTag) << true << protocolError;
    QTest::newRow("data after the last chunk") << int(DataAfterLastChunk) << int(RightTag) << true << protocolError;
    QTest::newRow("heartbeat replies never keep a request alive")
        << int(HeartbeatsOnly) << int(RightTag) << false << QStringLiteral("文件下载超时");
    QTest::newRow("bad magic in the middle of a file")
        << int(BadMagicMidFile) << int(RightTag) << true << QStringLiteral("下载中收到的数据头无效");
    QTest::newRow("tag with a wrong digest: every attempt fails, nothing reported done")
        << int(Honest) << int(WrongTag) << false << QStringLiteral("文件校验失败:a.txt");
    QTest::newRow("tag with the right digest") << int(Honest) << int(RightTag) << true << QString();
    QTest::newRow("no tag: accepted, logged as unverified")
        << int(Honest) << int(NoTag) << true << QStringLiteral("文件未经校验");
}

void TestCTCPUpdate::hostileService()
{
    QFETCH(int, hostility);
    QFETCH(int, tag);
    QFETCH(bool, success);
    QFETCH(QString, logLine);

    const QString a = QStringLiteral("a.txt");
    const QString b = QStringLiteral("b.txt");
    server->answer(VersionCheck, offer({a, b}, true, QStringLiteral("pkg"), Tag(tag)));
    int targetRequests = 0;
    server->on(FileDownload, [&, hostility](QTcpSocket *c, const Packet &p) {
        const FileItem item = ScriptedServer::requested(p);
        const QByteArray data = fileContent(item.name);
        const QString target = hostility == DataAfterLastChunk ? a : b;
        const bool first = item.name == target && ++targetRequests == 1;
        const QByteArray aData = fileContent(a);
        if (hostility == HeartbeatsOnly) { // alive, chatty, and never answering
            auto *beats = new QTimer(c);
            QObject::connect(beats, &QTimer::timeout, c,
                             [c]() { ScriptedServer::write(c, buildPacket(HeartbeatReply, "beat", 1)); });
            beats->start(40);
            return;
        }
        if (first && hostility == LateReplyFewer)
            ScriptedServer::write(c, offer({a}));
        if (first && hostility == LateReplyEmpty)
            ScriptedServer::write(c, offer({}));
        if (first && hostility == RepeatLastChunkOfA)
            ScriptedServer::write(c, ScriptedServer::fileData({QStringLiteral("pkg"), a}, aData.size(), aData.right(100), true));
        if (first && hostility == UnrequestedFile)
            ScriptedServer::write(c, ScriptedServer::fileData({QStringLiteral("pkg"), QStringLiteral("c.txt")}, 5, "c.txt", true));
        if (first && hostility == BadMagicMidFile) {
            ScriptedServer::write(c, ScriptedServer::fileData(item, data.size(), data.left(100), false) + QByteArray(30, 'x'));
            return;
        }
        ScriptedServer::sendFile(c, item, data, 1000);
        if (first && hostility == DataAfterLastChunk)
            ScriptedServer::write(c, ScriptedServer::fileData(item, data.size(), data.left(10), false));
    });
    auto driver = makeDriver();
    driver->tcpClient()->setInactivityLimit(300);
    QVERIFY(driver->checkVersion());
    QCOMPARE(driver->files().size(), 2);
    LogCapture log;
    QCOMPARE(driver->start(), success);
    QVERIFY2(logLine.isEmpty() || log.contains(logLine), qPrintable(logLine));
    QCOMPARE(driver->files().size(), 2);
    QCOMPARE(log.contains(QStringLiteral("文件未经校验")), tag == NoTag);
    if (success) {
        QCOMPARE(area->readTemp(QStringLiteral("pkg/a.txt")), fileContent(a));
        QCOMPARE(area->readTemp(QStringLiteral("pkg/b.txt")), fileContent(b));
        QCOMPARE(area->readTemp(QStringLiteral("pkg/c.txt")), QByteArray("<missing>"));
    } else {
        QCOMPARE(server->count(FileDownload), 1 + CTCPUpdate::kMaxRetries);
    }
    // A file that is not the listed one is a failed download, not a disk fault.
    if (tag == WrongTag)
        QCOMPARE(statusText(*driver), QStringLiteral("文件校验失败，重试失败: a.txt"));
    QSignalSpy results(driver.get(), &CTCPUpdate::sigUpdateResult);
    QVERIFY(results.wait(1000));
    QCOMPARE(results.at(0).at(0).toBool(), success);
}

void TestCTCPUpdate::cancelQuestionPausesStallBound()
{
    // The file stalls; the user opens the cancel question and keeps it open
    // longer than the stall bound, then declines. The attempt must still be
    // alive, and the question must never have run inside the receive step.
    server->answer(VersionCheck, offer({QStringLiteral("slow.bin")}));
    QPointer<QTcpSocket> connection;
    server->on(FileDownload, [&](QTcpSocket *c, const Packet &p) {
        connection = c;
        const FileItem item = ScriptedServer::requested(p);
        ScriptedServer::write(c, ScriptedServer::fileData(item, 5000, QByteArray(4500, 's'), false));
    });
    auto driver = makeDriver();
    driver->tcpClient()->setInactivityLimit(300);
    QVERIFY(driver->checkVersion());
    UpdateWidget *window = driver->progressWindow();
    bool answered = false;
    connect(driver->tcpClient(), &QUpdateTcpClient::sigFileDownloadProgress, this, [&]() {
        if (answered)
            return;
        answered = true;
        QMetaObject::invokeMethod(child<QPushButton>(*driver, "pushButton_cancel"), "click", Qt::QueuedConnection);
        QTimer::singleShot(800, this, [&]() {
            if (QWidget *box = QApplication::activeModalWidget())
                box->findChild<QPushButton *>(QLatin1String(kCancelRejectButtonName))->click();
            // The rest of the file arrives once the question has closed.
            if (connection)
                ScriptedServer::write(connection, ScriptedServer::fileData({QStringLiteral("pkg"), QStringLiteral("slow.bin")},
                                                                           5000, QByteArray(500, 't'), true));
        });
    });
    QSignalSpy shown(window, &UpdateWidget::sigCancelQuestionShown);
    QVERIFY(driver->start());
    QCOMPARE(shown.count(), 2);
    QCOMPARE(server->count(FileDownload), 1);
    QCOMPARE(area->readTemp(QStringLiteral("pkg/slow.bin")).size(), 5000);
}

void TestCTCPUpdate::classifyErrorTable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("errorClass");
    QTest::newRow("connection in any case is network") << QStringLiteral("CoNNeCTion refused") << int(CTCPUpdate::Network);
    QTest::newRow("timeout and connection: time-out wins") << QStringLiteral("Connection TIMEOUT") << int(CTCPUpdate::Timeout);
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
    // The client's mismatch text names a file, yet the download is at fault.
    QTest::newRow("checksum mismatch is verification")
        << QStringLiteral("文件校验失败:a.dll (sub/a.dll, 期望 00, 实际 11)") << int(CTCPUpdate::Verification);
    QTest::newRow("checksum in English") << QStringLiteral("File CHECKSUM differs") << int(CTCPUpdate::Verification);
}

void TestCTCPUpdate::classifyErrorTable()
{
    QFETCH(QString, text);
    QFETCH(int, errorClass);
    QCOMPARE(int(CTCPUpdate::classifyError(text)), errorClass);
}

QTEST_MAIN(TestCTCPUpdate)
#include "tst_ctcpupdate.moc"
