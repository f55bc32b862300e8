#include "fileops/tempstamp.h"
#include "http/chttpupdate.h"
#include "ui/cancelconfirmation.h"
#include "ui/widget.h"

#include "testhttpserver.h"
#include "testinstallation.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {

/// The [Version] lines by which a publisher names its manifest's size and entries.
QByteArray manifestKeys(qint64 bytes, int entries)
{
    return "ManifestSize=" + QByteArray::number(bytes) + "\r\nManifestFiles=" + QByteArray::number(entries) + "\r\n";
}

/// gzip of "third file": a .gz file of the release.
const QByteArray kThirdFile("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\x2b\xc9\xc8\x2c\x4a\x51\x48\xcb\xcc\x49\x05\x00"
                            "\xfe\x9f\xbf\xb0\x0a\x00\x00\x00",
                            30);

/// Runs @p trigger and clicks the button named @p button of the cancel
/// question once it is up; true when the question was shown. Any other
/// modal box is closed, so that a wrong box cannot hang the test.
template <typename Trigger> bool answerCancelQuestion(Trigger trigger, const char *button)
{
    bool seen = false;
    QTimer answer;
    answer.setSingleShot(true);
    QObject::connect(&answer, &QTimer::timeout, &answer, [&seen, button] {
        QWidget *box = QApplication::activeModalWidget();
        auto *target = box ? box->findChild<QPushButton *>(QLatin1String(button)) : nullptr;
        seen = target && box->objectName() == QLatin1String(kCancelConfirmationName);
        if (seen)
            target->click();
        else if (box)
            box->close();
    });
    answer.start(100);
    trigger();
    QTest::qWait(150);
    return seen;
}

} // namespace

/// The HTTP check and downloads of the dialog against a real loopback server.
class TestHttpUpdate : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void check_data();
    void check();
    void checkFailures_data();
    void checkFailures();
    void adapterWithoutDialogFails();

    void downloadFailures_data();
    void downloadFailures();
    void interruptSecondFile_data();
    void interruptSecondFile();
    void concurrentDownloads_data();
    void concurrentDownloads();
    void keptFromAnInterruptedRun_data();
    void keptFromAnInterruptedRun();

private:
    /// Starts over with a fresh installation using @p baseUrl and @p tempPath.
    void rebuild(const QString &baseUrl, const QString &tempPath = QStringLiteral("UpdateTmp"));
    /// Publishes a.dll, @p secondKey and plugins/c.dll as release R2 over
    /// installed 1.0, with @p extraLines at the end of update.ini, and runs
    /// the check.
    void prepareThreeFiles(const QString &secondKey = QStringLiteral("/b.dll"),
                           const QByteArray &extraLines = QByteArray());
    /// Waits for the one result of the update and checks the failure shown.
    void expectFailure(const QString &detailStart, const QString &lineStart,
                       const QString &status = QStringLiteral("更新失败"));
    QString text(const char *label) const { return widget->findChild<QLabel *>(QLatin1String(label))->text(); }
    int value(const char *bar) const { return widget->findChild<QProgressBar *>(QLatin1String(bar))->value(); }
    QPushButton *cancelButton() const { return widget->findChild<QPushButton *>(QStringLiteral("pushButton_cancel")); }
    QStringList workingDir() const
    {
        return QDir(inst->path(QStringLiteral("update"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }
    bool exists(const char *relative) const { return QFileInfo::exists(inst->path(QLatin1String(relative))); }

    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<TestInstallation> inst;
    std::unique_ptr<Widget> widget;
    std::unique_ptr<CHttpUpdate> adapter;
    std::unique_ptr<QSignalSpy> results;
};

void TestHttpUpdate::init()
{
    server = std::make_unique<TestHttpServer>();
    QVERIFY(server->start());
    rebuild(server->baseUrl());
}

void TestHttpUpdate::rebuild(const QString &baseUrl, const QString &tempPath)
{
    // The spy and the adapter go first: a dialog reports failure when it goes.
    results.reset();
    adapter.reset();
    widget.reset();
    inst = std::make_unique<TestInstallation>(baseUrl, tempPath);
    QVERIFY(inst->isValid());
    widget = std::make_unique<Widget>(inst->config(), inst->appDir());
    // As the controller does: the dialog gets the resolved directory; an
    // unusable configured value is left to the dialog's own refusal.
    if (!tempPath.isEmpty())
        widget->setTempDirectory(inst->path(tempPath + QLatin1Char('/')));
    adapter = std::make_unique<CHttpUpdate>();
    adapter->attachDialog(widget.get());
    results = std::make_unique<QSignalSpy>(adapter.get(), &CHttpUpdate::sigUpdateResult);
}

void TestHttpUpdate::cleanup()
{
    results.reset();
    adapter.reset();
    widget.reset();
    inst.reset();
    server.reset();
}

void TestHttpUpdate::prepareThreeFiles(const QString &secondKey, const QByteArray &extraLines)
{
    publishTestRelease(*server, QStringLiteral("R2"), QStringLiteral("2.0"),
                       {{QStringLiteral("/a.dll"), "first file"},
                        {secondKey, "second file"},
                        {QStringLiteral("/plugins/c.dll"), kThirdFile}},
                       extraLines);
    // A packed file that the server labels as gzip-encoded must arrive as
    // packed, or its MD5 fails.
    server->setHeader(QStringLiteral("/R2//plugins/c.dll"), "Content-Encoding: gzip");
    QVERIFY(inst->setInstalledVersion(QStringLiteral("1.0")));
    QVERIFY(adapter->checkForUpdate());
    QCOMPARE(widget->differences().size(), 3);
}

void TestHttpUpdate::expectFailure(const QString &detailStart, const QString &lineStart, const QString &status)
{
    QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 20000);
    QCOMPARE(results->at(0).at(0).toBool(), false);
    const QString detail = widget->currentDetailText();
    QVERIFY2(detail.startsWith(detailStart), qPrintable(detail));
    QCOMPARE(text("label_update"), status);
    // The user reads a short Chinese cause, never the toolkit's English text
    // with an address; the full detail is the tool tip (and in the log).
    const QString line = text("label_updatefile");
    QVERIFY2(line.startsWith(lineStart), qPrintable(line));
    QVERIFY2(!line.contains(QStringLiteral("http://")), qPrintable(line));
    if (status != QStringLiteral("更新已取消"))
        QCOMPARE(widget->findChild<QLabel *>(QStringLiteral("label_updatefile"))->toolTip(), detail);
    QVERIFY(!widget->isUpdating());
    // No dead end: the button now closes the dialog.
    QVERIFY(widget->isFinished());
    QCOMPARE(cancelButton()->text(), QStringLiteral("关闭"));
    QVERIFY(cancelButton()->isEnabled());
    QCOMPARE(workingDir(), QStringList{QStringLiteral("update.ini")});
    QVERIFY(!QFileInfo(inst->path(QStringLiteral("UpdateTmp/b.dll"))).isFile());
}

void TestHttpUpdate::check_data()
{
    // The server offers same.dll ("same") and changed.dll ("new").
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QByteArray>("changedLocally");
    QTest::addColumn<bool>("withManifest");
    QTest::addColumn<QString>("versionDetail");
    QTest::addColumn<QStringList>("diff");
    QTest::addColumn<bool>("described");
    const QString differ = QStringLiteral("update文件版本不同，需要更新");
    const QStringList changed{QStringLiteral("/changed.dll")};
    QTest::newRow("same version") << QStringLiteral("1.0.1") << QStringLiteral("1.0.1") << QByteArray("old") << true
                                  << QStringLiteral("update文件版本相同，不需要更新") << QStringList() << false;
    QTest::newRow("no local version file") << QString() << QStringLiteral("1.0") << QByteArray("old") << true
                                           << QStringLiteral("本地update文件不存在，准备更新") << changed << false;
    QTest::newRow("1.0.10 against 1.0.9 is text, not order")
        << QStringLiteral("1.0.9") << QStringLiteral("1.0.10") << QByteArray("old") << true << differ << changed << false;
    QTest::newRow("versions differ only in case")
        << QStringLiteral("1.0-RC") << QStringLiteral("1.0-rc") << QByteArray("old") << true << differ << changed << false;
    QTest::newRow("manifest identical") << QStringLiteral("1.0") << QStringLiteral("2.0") << QByteArray("new") << true
                                        << differ << QStringList() << false;
    QTest::newRow("missing local manifest is generated from the files")
        << QStringLiteral("1.0") << QStringLiteral("2.0") << QByteArray("old") << false << differ << changed << false;
    QTest::newRow("update.ini names the manifest's size and entries")
        << QStringLiteral("1.0") << QStringLiteral("2.0") << QByteArray("old") << true << differ << changed << true;
}

void TestHttpUpdate::check()
{
    QFETCH(QString, local);
    QFETCH(QString, remote);
    QFETCH(QByteArray, changedLocally);
    QFETCH(bool, withManifest);
    QFETCH(QString, versionDetail);
    QFETCH(QStringList, diff);
    QFETCH(bool, described);
    const QMap<QString, QByteArray> served{{QStringLiteral("/same.dll"), "same"}, {QStringLiteral("/changed.dll"), "new"}};
    publishTestRelease(*server, QStringLiteral("R2"), remote, served,
                       described ? manifestKeys(manifestText(served).size(), served.size()) : QByteArray());
    if (!local.isEmpty())
        QVERIFY(inst->setInstalledVersion(local));
    QVERIFY(inst->installFiles({{QStringLiteral("same.dll"), "same"}, {QStringLiteral("changed.dll"), changedLocally}},
                               withManifest));
    const bool sameVersion = local == remote;
    QCOMPARE(widget->checkVersionFile(), sameVersion ? 0 : 1);
    QCOMPARE(text("label_updatefile"), versionDetail);

    QCOMPARE(adapter->checkForUpdate(), !diff.isEmpty());
    QVERIFY(!adapter->checkFailed());
    QVERIFY(adapter->errorString().isEmpty());
    QCOMPARE(widget->differences().keys(), diff);
    QCOMPARE(text("label_update"), QStringLiteral("准备开始更新"));
    QCOMPARE(text("label_updatefile"), sameVersion ? versionDetail : QStringLiteral("MD5比对"));
    QCOMPARE(server->requestCount(QStringLiteral("/R2/md5.txt")), sameVersion ? 0 : 1);
    QCOMPARE(exists("update/updateTmp.ini"), !sameVersion);
    QCOMPARE(exists("update/md5Tmp.txt"), !sameVersion);
    QCOMPARE(readManifest(inst->path(QStringLiteral("md5.txt"))).value(QStringLiteral("/changed.dll")),
             md5Hex(changedLocally));
}

void TestHttpUpdate::checkFailures_data()
{
    // %1 in the detail is the server's base address.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QStringList>("requests");
    const QString stopped = QStringLiteral("停止更新");
    const QString failed = QStringLiteral("更新失败");
    const QString notFetched = QStringLiteral("下载%1update.ini失败");
    const QString unparsed = QStringLiteral("服务端版本解析失败");
    const QStringList ini{QStringLiteral("/update.ini")};
    QTest::newRow("version file not found") << QStringLiteral("404") << stopped << notFetched << ini;
    QTest::newRow("version file stalls, time-out shortened") << QStringLiteral("stall") << stopped << notFetched << ini;
    QTest::newRow("base URL without trailing slash is glued on")
        << QStringLiteral("glued") << stopped << QStringLiteral("下载%1relupdate.ini失败")
        << QStringList{QStringLiteral("/relupdate.ini")};
    QTest::newRow("version file lacks Folder") << QStringLiteral("noFolder") << failed << unparsed << ini;
    QTest::newRow("version file is garbage") << QStringLiteral("garbage") << failed << unparsed << ini;
    QTest::newRow("manifest not found") << QStringLiteral("md5404") << failed << QStringLiteral("下载md5.txt失败")
                                        << QStringList{QStringLiteral("/update.ini"), QStringLiteral("/R2/md5.txt")};
    // The versions differ, so a manifest without entries cannot be right.
    const QString unparsable = QStringLiteral("服务端MD5清单无法解析");
    const QStringList both{QStringLiteral("/update.ini"), QStringLiteral("/R2/md5.txt")};
    QTest::newRow("empty manifest") << QStringLiteral("md5:") << failed << unparsable << both;
    QTest::newRow("HTML error page served with 200")
        << QStringLiteral("md5:<html>\r\n<body>Service unavailable</body>\r\n</html>\r\n") << failed << unparsable << both;
    QTest::newRow("a line without TAB among good ones")
        << QStringLiteral("md5:0cc175b9c0f1b6a831c399e269772661\t/a.dll\r\ngarbage\r\n") << failed << unparsable << both;
    // update.ini names the size and entries of a two-file manifest.
    const QString incomplete = QStringLiteral("服务端MD5清单不完整");
    QTest::newRow("manifest without length cut at a line end") << QStringLiteral("cut") << failed << incomplete << both;
    // The toolkit ends a cut chunked body with an error or as if complete.
    QTest::newRow("chunked manifest cut off") << QStringLiteral("cutChunked") << failed
                                              << QStringLiteral("下载md5.txt失败|") + incomplete << both;
    QTest::newRow("manifest longer than update.ini says")
        << QStringLiteral("longer") << failed << QStringLiteral("下载md5.txt失败") << both;
    QTest::newRow("manifest with other entries than update.ini says")
        << QStringLiteral("count") << failed << incomplete << both;
    QTest::newRow("manifest size in update.ini is no number") << QStringLiteral("badSize") << failed << unparsed << ini;
}

void TestHttpUpdate::checkFailures()
{
    QFETCH(QString, setup);
    QFETCH(QString, status);
    QFETCH(QString, detail);
    QFETCH(QStringList, requests);
    detail.replace(QStringLiteral("%1"), server->baseUrl());
    if (setup == QLatin1String("glued"))
        rebuild(server->baseUrl() + QStringLiteral("rel"));
    publishTestRelease(*server, QStringLiteral("R2"), QStringLiteral("2.0"), {{QStringLiteral("/a.dll"), "a"}});
    QVERIFY(inst->setInstalledVersion(QStringLiteral("1.0")));
    if (setup == QLatin1String("404")) {
        server->setStatus(QStringLiteral("/update.ini"), 404);
    } else if (setup == QLatin1String("stall")) {
        server->setStall(QStringLiteral("/update.ini"), 3);
        widget->setTransferTimeout(1000);
    } else if (setup == QLatin1String("noFolder")) {
        server->setFile(QStringLiteral("/update.ini"), "[Version]\r\nVersion=2.0\r\n");
    } else if (setup == QLatin1String("garbage")) {
        server->setFile(QStringLiteral("/update.ini"), QByteArray("\x00\xff[[[=\n\x01", 9));
    } else if (setup == QLatin1String("md5404")) {
        server->setStatus(QStringLiteral("/R2/md5.txt"), 404);
    } else if (setup.startsWith(QLatin1String("md5:"))) {
        server->setFile(QStringLiteral("/R2/md5.txt"), setup.mid(4).toUtf8());
    } else if (!setup.isEmpty()) {
        const QMap<QString, QByteArray> files{{QStringLiteral("/a.dll"), "a"}, {QStringLiteral("/b.dll"), "b"}};
        const QByteArray full = manifestText(files);
        const QByteArray keys = setup == QLatin1String("badSize")  ? QByteArray("ManifestSize=lots\r\n")
                                : setup == QLatin1String("longer") ? manifestKeys(full.size() - 1, 2)
                                : setup == QLatin1String("count")  ? manifestKeys(full.size(), 3)
                                                                   : manifestKeys(full.size(), 2);
        publishTestRelease(*server, QStringLiteral("R2"), QStringLiteral("2.0"), files, keys);
        const QString md5 = QStringLiteral("/R2/md5.txt");
        if (setup.startsWith(QLatin1String("cut"))) {
            server->setFile(md5, full.left(full.indexOf("\r\n") + 2));
            server->setFraming(md5, setup == QLatin1String("cut") ? TestHttpServer::Framing::NoLength
                                                                  : TestHttpServer::Framing::CutChunked);
        }
    }

    QVERIFY(!adapter->checkForUpdate());
    QVERIFY(adapter->checkFailed());
    // "a|b" accepts either text where the toolkit decides which failure it sees.
    QVERIFY2(detail.split(QLatin1Char('|')).contains(adapter->errorString()), qPrintable(adapter->errorString()));
    QCOMPARE(text("label_update"), status);
    QCOMPARE(text("label_updatefile"), adapter->errorString());
    QVERIFY(widget->differences().isEmpty());
    // After a connection the server closed early the toolkit may ask again
    // on its own; what counts is which addresses were asked.
    QStringList asked = server->requests();
    asked.removeDuplicates();
    QCOMPARE(asked, requests);
    // Only a version file that arrived whole is left for inspection.
    QCOMPARE(exists("update/updateTmp.ini"), status == QStringLiteral("更新失败"));
    QVERIFY(!exists("update/md5Tmp.txt"));
}

void TestHttpUpdate::adapterWithoutDialogFails()
{
    // A dialog that goes away is released, not used.
    CHttpUpdate bare;
    {
        Widget temporary(inst->config(), inst->appDir());
        bare.attachDialog(&temporary);
    }
    QVERIFY(!bare.checkForUpdate());
    QVERIFY(bare.checkFailed());
    QVERIFY(!bare.errorString().isEmpty());
    QVERIFY(!bare.startUpdate());
}

void TestHttpUpdate::downloadFailures_data()
{
    // Release R2 holds a.dll, the second key and plugins/c.dll, fetched in key order.
    // %1 in the detail is the application directory.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("secondKey");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("fetched");
    const QString b = QStringLiteral("/b.dll");
    const QString onB = QStringLiteral("下载文件 \"b.dll\" 时出错: ");
    const QString bFailed = QStringLiteral("下载 b.dll 失败：");
    const QStringList aAndB{QStringLiteral("/R2//a.dll"), QStringLiteral("/R2//b.dll")};
    QTest::newRow("three files, the second failing")
        << QStringLiteral("404") << b << onB << bFailed + QStringLiteral("文件不存在 (404)") << aAndB;
    QTest::newRow("server stalls, time-out shortened") << QStringLiteral("stall") << b
                                                       << onB + QStringLiteral("下载超时（1秒）")
                                                       << bFailed + QStringLiteral("连接超时") << aAndB;
    QTest::newRow("MD5 mismatch") << QStringLiteral("tampered") << b << QStringLiteral("文件校验失败:%1UpdateTmp/b.dll")
                                  << bFailed + QStringLiteral("文件校验失败") << aAndB;
    QTest::newRow("redirect is not the file")
        << QStringLiteral("301") << b << QStringLiteral("文件下载失败:HTTP 301 Moved Permanently")
        << bFailed + QStringLiteral("服务器错误 (301)") << aAndB;
    QTest::newRow("endless body cut off at the size cap")
        << QStringLiteral("endless") << b << QStringLiteral("文件超过大小上限（65536字节）:%1UpdateTmp/b.dll")
        << bFailed + QStringLiteral("文件过大") << aAndB;
    QTest::newRow("announced length over the size cap")
        << QStringLiteral("announcedOver") << b << QStringLiteral("文件超过大小上限（10字节）:%1UpdateTmp/b.dll")
        << bFailed + QStringLiteral("文件过大") << aAndB;
    QTest::newRow("directory where the file goes")
        << QStringLiteral("blocked") << b << QStringLiteral("无法保存文件:%1UpdateTmp/b.dll")
        << bFailed + QStringLiteral("无法保存文件") << QStringList{QStringLiteral("/R2//a.dll")};
    QTest::newRow("paths that differ only in letter case")
        << QString() << QStringLiteral("/A.dll") << QStringLiteral("文件路径仅大小写不同:/A.dll 与 /a.dll")
        << QStringLiteral("文件路径仅大小写不同") << QStringList();
    QTest::newRow("directories that differ only in letter case")
        << QString() << QStringLiteral("/Plugins/c.dll") << QStringLiteral("文件路径仅大小写不同:/Plugins/c.dll 与 /plugins/c.dll")
        << QStringLiteral("文件路径仅大小写不同") << QStringList();
    QTest::newRow("unusable temporary area") << QStringLiteral("noTemp") << b << QStringLiteral("临时目录配置无效:")
                                             << QStringLiteral("临时目录配置无效:") << QStringList();
    // A single hostile path stops everything before the first request.
    const char *const hostile[][2] = {{"dot-dot segment", "/../../escaped.txt"},
                                      {"second leading slash", "//tmp/escaped.txt"},
                                      {"no leading slash", "escaped.txt"},
                                      {"backslash", "/..\\..\\escaped.txt"},
                                      {"drive letter", "/C:/escaped.txt"},
                                      {"control character", "/esc\x01aped.txt"},
                                      {"empty path", ""}};
    for (const auto &row : hostile)
        QTest::newRow(row[0]) << QString() << QString::fromLatin1(row[1]) << QStringLiteral("文件路径不安全:")
                              << QStringLiteral("文件路径不安全:") << QStringList();
}

void TestHttpUpdate::downloadFailures()
{
    QFETCH(QString, setup);
    QFETCH(QString, secondKey);
    QFETCH(QString, detail);
    QFETCH(QString, line);
    QFETCH(QStringList, fetched);
    detail.replace(QStringLiteral("%1"), inst->appDir());
    const QString b = QStringLiteral("/R2//b.dll");
    if (setup == QLatin1String("noTemp"))
        rebuild(server->baseUrl(), QString());
    prepareThreeFiles(secondKey);
    if (setup == QLatin1String("404")) {
        server->setStatus(b, 404);
    } else if (setup == QLatin1String("stall")) {
        server->setStall(b, 4);
        widget->setTransferTimeout(1000);
    } else if (setup == QLatin1String("tampered")) {
        server->setFile(b, "tampered second file");
    } else if (setup == QLatin1String("301")) {
        server->setStatus(b, 301, server->baseUrl() + QStringLiteral("R2//plugins/c.dll"));
    } else if (setup == QLatin1String("endless")) {
        server->setFraming(b, TestHttpServer::Framing::Endless);
        widget->setMaxFileBytes(64 * 1024);
    } else if (setup == QLatin1String("announcedOver")) {
        // a.dll has 10 bytes, b.dll 11.
        widget->setMaxFileBytes(10);
    } else if (setup == QLatin1String("blocked")) {
        // A directory where the file must go binds root too.
        QVERIFY(QDir().mkpath(inst->path(QStringLiteral("UpdateTmp/b.dll"))));
    }

    widget->startUpdate();
    expectFailure(detail, line);
    // What was stored before the failure stays; nothing after it is fetched.
    const int stored = fetched.isEmpty() ? 0 : 1;
    QCOMPARE(value("progressBar_update"), stored);
    QCOMPARE(readTestFile(inst->path(QStringLiteral("UpdateTmp/a.dll"))), stored ? QByteArray("first file") : "");
    QVERIFY(!exists("../escaped.txt"));
    QTest::qWait(50);
    QCOMPARE(server->requests(), QStringList({QStringLiteral("/update.ini"), QStringLiteral("/R2/md5.txt")}) + fetched);
    QCOMPARE(results->count(), 1);
}

void TestHttpUpdate::interruptSecondFile_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("cancel confirmed") << QStringLiteral("confirm");
    QTest::newRow("cancel answered no") << QStringLiteral("decline");
    QTest::newRow("Escape during a download") << QStringLiteral("escape");
}

void TestHttpUpdate::interruptSecondFile()
{
    QFETCH(QString, action);
    prepareThreeFiles();
    server->setStall(QStringLiteral("/R2//b.dll"), 4);
    QVERIFY(writeTestFile(inst->path(QStringLiteral("update/leftover/x.bin")), "x"));
    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
    widget->startUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(QStringLiteral("/R2//b.dll")), 1, 20000);
    QVERIFY(cancelButton()->isEnabled());

    if (action == QLatin1String("escape")) {
        QTest::keyClick(widget.get(), Qt::Key_Escape);
    } else {
        const char *button = action == QLatin1String("confirm") ? kCancelConfirmButtonName : kCancelRejectButtonName;
        QVERIFY(answerCancelQuestion([this] { cancelButton()->click(); }, button));
    }
    QCOMPARE(widget->isVisible(), action != QLatin1String("escape"));
    // Cancelling and Escape empty the working directory except update.ini.
    QCOMPARE(workingDir() == QStringList{QStringLiteral("update.ini")}, action != QLatin1String("decline"));

    if (action == QLatin1String("confirm")) {
        // The abort's own text, not mistaken for a time-out.
        // The user's own cancel is not reported as a failure.
        expectFailure(QStringLiteral("下载文件 \"b.dll\" 时出错: "), QStringLiteral("程序未作任何更改"),
                      QStringLiteral("更新已取消"));
        QVERIFY(!widget->currentDetailText().contains(QStringLiteral("超时")));
        QVERIFY(!widget->isCancelRequested());
        QVERIFY(widget->downloadList().isEmpty());
        // Nothing runs any more, so a further request shows no box.
        QVERIFY(!answerCancelQuestion([this] { QMetaObject::invokeMethod(widget.get(), "onCancelUpdate"); },
                                      kCancelConfirmButtonName));
        // ...the "关闭" button's slot closes the dialog instead.
        QVERIFY(!widget->isVisible());
        QCOMPARE(server->requestCount(QStringLiteral("/R2//plugins/c.dll")), 0);
        QCOMPARE(results->count(), 1);
        return;
    }
    // The update goes on, stores every file and still reports success once.
    QVERIFY(widget->isUpdating());
    QVERIFY(cancelButton()->isEnabled());
    QCOMPARE(results->count(), 0);
    server->release(QStringLiteral("/R2//b.dll"));
    QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 20000);
    QCOMPARE(results->at(0).at(0).toBool(), true);
    QVERIFY(adapter->lastUpdateResult());
    QVERIFY(!widget->isUpdating());
    QVERIFY(!cancelButton()->isEnabled());
    QCOMPARE(text("label_update"), QStringLiteral("更新完成!"));
    QCOMPARE(widget->findChild<QProgressBar *>(QStringLiteral("progressBar_update"))->maximum(), 3);
    QCOMPARE(value("progressBar_update"), 3);
    QCOMPARE(value("progressBar_updatefile"), 100);
    // The manifest path follows the folder with a doubled "/"; the directory
    // plugins is made in the temporary area.
    QCOMPARE(widget->downloadList().at(2).url, server->baseUrl() + QStringLiteral("R2//plugins/c.dll"));
    QCOMPARE(widget->downloadList().at(2).localPath, inst->appDir() + QStringLiteral("UpdateTmp/plugins/c.dll"));
    QCOMPARE(readTestFile(inst->path(QStringLiteral("UpdateTmp/plugins/c.dll"))), kThirdFile);
    QVERIFY(server->lastHeaders(QStringLiteral("/R2//plugins/c.dll")).contains("\r\naccept-encoding: identity\r\n"));
    QCOMPARE(readTestFile(inst->path(QStringLiteral("UpdateTmp/b.dll"))), QByteArray("second file"));
    // Success leaves the check downloads for the apply step; Escape removed them.
    QCOMPARE(exists("update/md5Tmp.txt"), action == QLatin1String("decline"));
    QTest::qWait(50);
    QCOMPARE(results->count(), 1);
}

void TestHttpUpdate::concurrentDownloads_data()
{
    // The [Download] line of update.ini; a.dll stalls after 4 of its 10 bytes.
    QTest::addColumn<QByteArray>("download");
    QTest::addColumn<QString>("ending");
    QTest::newRow("no key: one at a time") << QByteArray() << QStringLiteral("sequential");
    QTest::newRow("garbage value: one at a time") << QByteArray("Connections=lots") << QStringLiteral("sequential");
    QTest::newRow("zero: one at a time") << QByteArray("Connections=0") << QStringLiteral("sequential");
    QTest::newRow("two: later files stored while the first stalls")
        << QByteArray("Connections=2") << QStringLiteral("success");
    QTest::newRow("a later file fails while the others are in flight")
        << QByteArray("Connections=8") << QStringLiteral("laterFails");
    QTest::newRow("cancel while all are in flight") << QByteArray("Connections=8") << QStringLiteral("cancel");
}

void TestHttpUpdate::concurrentDownloads()
{
    QFETCH(QByteArray, download);
    QFETCH(QString, ending);
    prepareThreeFiles(QStringLiteral("/b.dll"),
                      download.isEmpty() ? QByteArray() : "[Download]\r\n" + download + "\r\n");
    const QString a = QStringLiteral("/R2//a.dll");
    const QString b = QStringLiteral("/R2//b.dll");
    const QString c = QStringLiteral("/R2//plugins/c.dll");
    server->setStall(a, 4);
    if (ending == QLatin1String("laterFails"))
        server->setFile(b, "tampered second file");
    if (ending != QLatin1String("sequential"))
        server->setStall(b, 4);
    if (ending == QLatin1String("laterFails") || ending == QLatin1String("cancel"))
        server->setStall(c, 4);
    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
    widget->startUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(a), 1, 20000);

    if (ending == QLatin1String("sequential")) {
        QTest::qWait(300);
        QCOMPARE(server->requests().mid(2), QStringList{a});
        server->release(a);
        QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 20000);
        QVERIFY(results->at(0).at(0).toBool());
        QCOMPARE(server->requests().mid(2), QStringList({a, b, c}));
        return;
    }
    if (ending != QLatin1String("success")) {
        QTRY_VERIFY_WITH_TIMEOUT(server->requestCount(b) == 1 && server->requestCount(c) == 1, 20000);
        QTest::qWait(100);
        QVERIFY(exists("UpdateTmp/a.dll") && exists("UpdateTmp/plugins/c.dll"));
        if (ending == QLatin1String("cancel")) {
            QVERIFY(answerCancelQuestion([this] { cancelButton()->click(); }, kCancelConfirmButtonName));
            expectFailure(QStringLiteral("下载文件 \"a.dll\" 时出错: "), QStringLiteral("程序未作任何更改"),
                          QStringLiteral("更新已取消"));
        } else {
            // b, released, is not the file of the manifest.
            server->release(b);
            expectFailure(QStringLiteral("文件校验失败:") + inst->path(QStringLiteral("UpdateTmp/b.dll")),
                          QStringLiteral("下载 b.dll 失败：文件校验失败"));
        }
        // The files still on their way are stopped, and no part of them stays.
        QVERIFY(!exists("UpdateTmp/a.dll"));
        QVERIFY(!exists("UpdateTmp/plugins/c.dll"));
        QCOMPARE(value("progressBar_update"), 0);
        QTest::qWait(50);
        QCOMPARE(results->count(), 1);
        return;
    }
    // Two at a time: c waits for b, then arrives while the dialog stays on a.
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(b), 1, 20000);
    QTest::qWait(300);
    QCOMPARE(server->requestCount(c), 0);
    server->release(b);
    QTRY_COMPARE_WITH_TIMEOUT(readTestFile(inst->path(QStringLiteral("UpdateTmp/plugins/c.dll"))), kThirdFile, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(readTestFile(inst->path(QStringLiteral("UpdateTmp/b.dll"))), QByteArray("second file"),
                              20000);
    QCOMPARE(text("label_update"), QStringLiteral("正在更新 1/3"));
    QCOMPARE(text("label_updatefile"), QStringLiteral("a.dll"));
    QCOMPARE(value("progressBar_update"), 0);
    QVERIFY(value("progressBar_updatefile") < 100);
    QCOMPARE(results->count(), 0);
    server->release(a);
    QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 20000);
    QVERIFY(results->at(0).at(0).toBool());
    QCOMPARE(value("progressBar_update"), 3);
    QCOMPARE(text("label_update"), QStringLiteral("更新完成!"));
    QCOMPARE(readTestFile(inst->path(QStringLiteral("UpdateTmp/a.dll"))), QByteArray("first file"));
}

void TestHttpUpdate::keptFromAnInterruptedRun_data()
{
    // What an interrupted run left in the area for b.dll ("second file"),
    // the validator it recorded, and the server's tag for b.dll now.
    QTest::addColumn<QByteArray>("kept");
    QTest::addColumn<QByteArray>("validator");
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<int>("requests");
    QTest::newRow("whole and verified: not fetched") << QByteArray("second file") << QByteArray() << QByteArray()
                                                     << QByteArray() << 0;
    QTest::newRow("wrong content without a validator: fetched whole")
        << QByteArray("second fake") << QByteArray() << QByteArray("\"v1\"") << QByteArray() << 1;
    QTest::newRow("cut off: the rest is fetched")
        << QByteArray("second") << QByteArray("\"v1\"") << QByteArray("\"v1\"") << QByteArray("bytes=6-") << 1;
    QTest::newRow("changed on the server: the whole file comes")
        << QByteArray("second") << QByteArray("\"v0\"") << QByteArray("\"v1\"") << QByteArray("bytes=6-") << 1;
    QTest::newRow("nothing left to send: asked for whole")
        << QByteArray("second file, longer") << QByteArray("\"v1\"") << QByteArray("\"v1\"") << QByteArray() << 2;
}

void TestHttpUpdate::keptFromAnInterruptedRun()
{
    QFETCH(QByteArray, kept);
    QFETCH(QByteArray, validator);
    QFETCH(QByteArray, etag);
    QFETCH(QByteArray, range);
    QFETCH(int, requests);
    prepareThreeFiles();
    const QString b = QStringLiteral("/R2//b.dll");
    if (!etag.isEmpty())
        server->setRanges(b, etag);
    const QString area = inst->path(QStringLiteral("UpdateTmp"));
    QVERIFY(writeTestFile(area + QStringLiteral("/b.dll"), kept));
    QVERIFY(TempStamp::write(area, "release"));
    if (!validator.isEmpty())
        QVERIFY(TempStamp::recordValidator(area, QStringLiteral("b.dll"), QString::fromLatin1(validator)));
    QVERIFY(writeTestFile(area + QStringLiteral("/stale/old.dll"), "not of this release"));

    widget->startUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 20000);
    QVERIFY2(results->at(0).at(0).toBool(), qPrintable(widget->currentDetailText()));
    QCOMPARE(server->requestCount(b), requests);
    if (!range.isEmpty())
        QVERIFY(server->lastHeaders(b).contains("\r\nrange: " + range + "\r\nif-range: " + validator + "\r\n"));
    else if (requests > 0)
        QVERIFY(!server->lastHeaders(b).contains("range:"));
    QCOMPARE(readTestFile(area + QStringLiteral("/b.dll")), QByteArray("second file"));
    QCOMPARE(readTestFile(area + QStringLiteral("/a.dll")), QByteArray("first file"));
    QVERIFY(!QFileInfo::exists(area + QStringLiteral("/stale/old.dll")));
}

QTEST_MAIN(TestHttpUpdate)
#include "tst_httpupdate.moc"
