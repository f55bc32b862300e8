#include "http/chttpupdate.h"
#include "ui/cancelconfirmation.h"
#include "ui/widget.h"

#include "testhttpserver.h"
#include "testinstallation.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {

const QString kFolder = QStringLiteral("R2");

QStringList workingDirEntries(const TestInstallation &inst)
{
    return QDir(inst.path(QStringLiteral("update"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

class TestHttpUpdate : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sameVersionNeedsNoUpdate();
    void versionsDiffer_data();
    void versionsDiffer();
    void identicalManifestsNeedNoUpdate();
    void baseWithoutTrailingSlashIsGlued();
    void checkFailures_data();
    void checkFailures();
    void missingLocalManifestIsGenerated();
    void adapterWithoutDialogFails();

    void filesLandInTemporaryArea();
    void emptyDifferenceCompletesAtOnce();
    void secondOfThreeFails();
    void cancelDuringSecondFile();
    void cancelAnsweredNoKeepsRunning();
    void escapeDuringDownloadKeepsRunning();
    void checksumMismatchFails();
    void hostilePathsFetchNothing_data();
    void hostilePathsFetchNothing();
    void stalledTransferTimesOut();
    void unwritableTargetFails();
    void unusableTempPathFails();
    void redirectIsNotTheFile();

private:
    /// Starts over with a fresh installation using @p baseUrl and @p tempPath.
    void rebuild(const QString &baseUrl, const QString &tempPath);
    /// Publishes three files, installs version 1.0 and runs the check.
    void prepareThreeFiles(const QByteArray &secondBody = QByteArray("second file"));
    QLabel *label(const char *name) const { return widget->findChild<QLabel *>(QLatin1String(name)); }
    QProgressBar *bar(const char *name) const { return widget->findChild<QProgressBar *>(QLatin1String(name)); }
    /// Answers the next cancel confirmation box with "确认" or "取消"; the
    /// flag tells whether a box was seen. The poll ends with the test.
    std::shared_ptr<bool> answerNextBox(bool confirm);
    QPushButton *cancelButton() const { return widget->findChild<QPushButton *>(QStringLiteral("pushButton_cancel")); }

    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<TestInstallation> inst;
    std::unique_ptr<Widget> widget;
    std::unique_ptr<CHttpUpdate> adapter;
    std::unique_ptr<QSignalSpy> results;
    std::vector<std::unique_ptr<QTimer>> boxPolls;
};

std::shared_ptr<bool> TestHttpUpdate::answerNextBox(bool confirm)
{
    auto seen = std::make_shared<bool>(false);
    boxPolls.push_back(std::make_unique<QTimer>());
    QTimer *poll = boxPolls.back().get();
    poll->setInterval(10);
    connect(poll, &QTimer::timeout, poll, [poll, seen, confirm] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal->objectName() != QLatin1String(kCancelConfirmationName))
            return;
        *seen = true;
        poll->stop();
        const char *name = confirm ? kCancelConfirmButtonName : kCancelRejectButtonName;
        if (auto *button = modal->findChild<QPushButton *>(QLatin1String(name)))
            button->click();
    });
    poll->start();
    return seen;
}

void TestHttpUpdate::init()
{
    server = std::make_unique<TestHttpServer>();
    QVERIFY(server->start());
    rebuild(server->baseUrl(), QStringLiteral("UpdateTmp"));
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
    adapter = std::make_unique<CHttpUpdate>();
    adapter->attachDialog(widget.get());
    results = std::make_unique<QSignalSpy>(adapter.get(), &CHttpUpdate::sigUpdateResult);
}

void TestHttpUpdate::cleanup()
{
    boxPolls.clear();
    results.reset();
    adapter.reset();
    widget.reset();
    inst.reset();
    server.reset();
}

void TestHttpUpdate::prepareThreeFiles(const QByteArray &secondBody)
{
    const Md5Manifest manifest = publishTestRelease(*server, kFolder, QStringLiteral("2.0"),
                                                    {{QStringLiteral("/a.dll"), "first file"},
                                                     {QStringLiteral("/b.dll"), "second file"},
                                                     {QStringLiteral("/c.dll"), "third file"}});
    QCOMPARE(manifest.size(), 3);
    if (secondBody != "second file")
        server->setFile(QStringLiteral("/R2//b.dll"), secondBody);
    QVERIFY(inst->setInstalledVersion(QStringLiteral("1.0")));
    QVERIFY(inst->installFiles({{QStringLiteral("a.dll"), "old"}}));
    QVERIFY(adapter->checkForUpdate());
    QCOMPARE(widget->differences().size(), 3);
}

void TestHttpUpdate::sameVersionNeedsNoUpdate()
{
    publishTestRelease(*server, kFolder, QStringLiteral("1.0.1"), {{QStringLiteral("/a.dll"), "a"}});
    QVERIFY(inst->setInstalledVersion(QStringLiteral("1.0.1")));
    QCOMPARE(widget->checkVersionFile(), 0);
    QVERIFY(!adapter->checkForUpdate());
    QVERIFY(!adapter->checkFailed());
    QVERIFY(adapter->failureText().isEmpty());
    QVERIFY(!QFileInfo::exists(inst->path(QStringLiteral("update/updateTmp.ini"))));
    QCOMPARE(server->requestCount(QStringLiteral("/R2/md5.txt")), 0);
    QCOMPARE(label("label_updatefile")->text(), QStringLiteral("update文件版本相同，不需要更新"));
    QCOMPARE(label("label_update")->text(), QStringLiteral("准备开始更新"));
}

void TestHttpUpdate::versionsDiffer_data()
{
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("detail");
    QTest::newRow("no local version file") << QString() << QStringLiteral("1.0")
                                           << QStringLiteral("本地update文件不存在，准备更新");
    QTest::newRow("1.0.10 against 1.0.9 is text, not order")
        << QStringLiteral("1.0.9") << QStringLiteral("1.0.10") << QStringLiteral("update文件版本不同，需要更新");
    QTest::newRow("differs only in letter case") << QStringLiteral("1.0-RC") << QStringLiteral("1.0-rc")
                                                 << QStringLiteral("update文件版本不同，需要更新");
    QTest::newRow("lower server version") << QStringLiteral("3.0") << QStringLiteral("2.0")
                                          << QStringLiteral("update文件版本不同，需要更新");
}

void TestHttpUpdate::versionsDiffer()
{
    QFETCH(QString, local);
    QFETCH(QString, remote);
    QFETCH(QString, detail);
    publishTestRelease(*server, kFolder, remote, {{QStringLiteral("/a.dll"), "new"}});
    if (!local.isEmpty())
        QVERIFY(inst->setInstalledVersion(local));
    QCOMPARE(widget->checkVersionFile(), 1);
    QCOMPARE(widget->currentDetailText(), detail);
    QCOMPARE(label("label_updatefile")->text(), detail);
    // The manifest step runs and finds the new file.
    QVERIFY(adapter->checkForUpdate());
    QCOMPARE(server->requestCount(QStringLiteral("/R2/md5.txt")), 1);
    QCOMPARE(widget->differences().keys(), QStringList{QStringLiteral("/a.dll")});
}

void TestHttpUpdate::identicalManifestsNeedNoUpdate()
{
    publishTestRelease(*server, kFolder, QStringLiteral("2.0"),
                       {{QStringLiteral("/a.dll"), "same"}, {QStringLiteral("/sub/b.dll"), "also same"}});
    QVERIFY(inst->setInstalledVersion(QStringLiteral("1.0")));
    QVERIFY(inst->installFiles({{QStringLiteral("a.dll"), "same"}, {QStringLiteral("sub/b.dll"), "also same"}}));
    QVERIFY(!adapter->checkForUpdate());
    QVERIFY(!adapter->checkFailed());
    QVERIFY(widget->differences().isEmpty());
    QVERIFY(QFileInfo::exists(inst->path(QStringLiteral("update/updateTmp.ini"))));
    QVERIFY(QFileInfo::exists(inst->path(QStringLiteral("update/md5Tmp.txt"))));
    QCOMPARE(widget->currentDetailText(), QStringLiteral("MD5比对"));
}

void TestHttpUpdate::baseWithoutTrailingSlashIsGlued()
{
    rebuild(server->baseUrl() + QStringLiteral("rel"), QStringLiteral("UpdateTmp"));
    QCOMPARE(widget->checkVersionFile(), 2);
    QCOMPARE(server->requests(), QStringList{QStringLiteral("/relupdate.ini")});
}

void TestHttpUpdate::checkFailures_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("detail");
    QTest::newRow("version file not found") << QStringLiteral("ini404") << QStringLiteral("停止更新")
                                            << QStringLiteral("下载%1update.ini失败");
    QTest::newRow("version file stalls") << QStringLiteral("iniStall") << QStringLiteral("停止更新")
                                         << QStringLiteral("下载%1update.ini失败");
    QTest::newRow("version file lacks Folder") << QStringLiteral("noFolder") << QStringLiteral("更新失败")
                                               << QStringLiteral("服务端版本解析失败");
    QTest::newRow("version file is garbage") << QStringLiteral("garbage") << QStringLiteral("更新失败")
                                             << QStringLiteral("服务端版本解析失败");
    QTest::newRow("manifest not found") << QStringLiteral("md5404") << QStringLiteral("更新失败")
                                        << QStringLiteral("下载md5.txt失败");
}

void TestHttpUpdate::checkFailures()
{
    QFETCH(QString, failure);
    QFETCH(QString, status);
    QFETCH(QString, detail);
    detail.replace(QStringLiteral("%1"), server->baseUrl());
    publishTestRelease(*server, kFolder, QStringLiteral("2.0"), {{QStringLiteral("/a.dll"), "a"}});
    QVERIFY(inst->setInstalledVersion(QStringLiteral("1.0")));
    if (failure == QLatin1String("ini404")) {
        server->setStatus(QStringLiteral("/update.ini"), 404);
    } else if (failure == QLatin1String("iniStall")) {
        server->setStall(QStringLiteral("/update.ini"), 3);
        widget->setTransferTimeout(1000);
    } else if (failure == QLatin1String("noFolder")) {
        server->setFile(QStringLiteral("/update.ini"), "[Version]\r\nVersion=2.0\r\n");
    } else if (failure == QLatin1String("garbage")) {
        server->setFile(QStringLiteral("/update.ini"), QByteArray("\x00\xff[[[=\n\x01", 9));
    } else {
        server->setStatus(QStringLiteral("/R2/md5.txt"), 404);
    }

    QVERIFY(!adapter->checkForUpdate());
    QVERIFY(adapter->checkFailed());
    QCOMPARE(adapter->failureText(), detail);
    QCOMPARE(label("label_update")->text(), status);
    QCOMPARE(label("label_updatefile")->text(), detail);
    QVERIFY(widget->differences().isEmpty());
    if (failure == QLatin1String("md5404"))
        QVERIFY(!QFileInfo::exists(inst->path(QStringLiteral("update/md5Tmp.txt"))));
    if (failure == QLatin1String("ini404") || failure == QLatin1String("iniStall"))
        QVERIFY(!QFileInfo::exists(inst->path(QStringLiteral("update/updateTmp.ini"))));
}

void TestHttpUpdate::missingLocalManifestIsGenerated()
{
    publishTestRelease(*server, kFolder, QStringLiteral("2.0"),
                       {{QStringLiteral("/same.dll"), "same"}, {QStringLiteral("/changed.dll"), "new"}});
    QVERIFY(inst->setInstalledVersion(QStringLiteral("1.0")));
    QVERIFY(writeTestFile(inst->path(QStringLiteral("same.dll")), "same"));
    QVERIFY(writeTestFile(inst->path(QStringLiteral("changed.dll")), "old"));
    QVERIFY(adapter->checkForUpdate());
    QCOMPARE(widget->differences().keys(), QStringList{QStringLiteral("/changed.dll")});
    const Md5Manifest local = readManifest(inst->path(QStringLiteral("md5.txt")));
    QCOMPARE(local.value(QStringLiteral("/same.dll")), md5Hex("same"));
    QCOMPARE(local.value(QStringLiteral("/changed.dll")), md5Hex("old"));
}

void TestHttpUpdate::adapterWithoutDialogFails()
{
    CHttpUpdate bare;
    QVERIFY(!bare.checkForUpdate());
    QVERIFY(bare.checkFailed());
    QVERIFY(!bare.failureText().isEmpty());
    QVERIFY(!bare.startUpdate());
    // A dialog that goes away is released, not used.
    {
        Widget temporary(inst->config(), inst->appDir());
        bare.attachDialog(&temporary);
    }
    QVERIFY(!bare.checkForUpdate());
    QVERIFY(bare.checkFailed());
}

void TestHttpUpdate::filesLandInTemporaryArea()
{
    publishTestRelease(*server, kFolder, QStringLiteral("2.0"),
                       {{QStringLiteral("/plugins/a.dll"), "plugin"}, {QStringLiteral("/b.txt"), "text"}});
    QVERIFY(inst->setInstalledVersion(QStringLiteral("1.0")));
    QVERIFY(adapter->checkForUpdate());
    QVERIFY(adapter->startUpdate());
    QVERIFY(widget->isUpdating());
    QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 20000);
    QCOMPARE(results->at(0).at(0).toBool(), true);
    QVERIFY(adapter->lastUpdateResult());

    QCOMPARE(widget->downloadList().size(), 2);
    QCOMPARE(widget->downloadList().at(1).url, server->baseUrl() + QStringLiteral("R2//plugins/a.dll"));
    QCOMPARE(widget->downloadList().at(1).localPath, inst->appDir() + QStringLiteral("UpdateTmp/plugins/a.dll"));
    QVERIFY(server->requests().contains(QStringLiteral("/R2//plugins/a.dll")));
    QCOMPARE(readTestFile(inst->path(QStringLiteral("UpdateTmp/plugins/a.dll"))), QByteArray("plugin"));
    QCOMPARE(readTestFile(inst->path(QStringLiteral("UpdateTmp/b.txt"))), QByteArray("text"));
    QCOMPARE(label("label_update")->text(), QStringLiteral("更新完成!"));
    QCOMPARE(bar("progressBar_update")->maximum(), 2);
    QCOMPARE(bar("progressBar_update")->value(), 2);
    QCOMPARE(bar("progressBar_updatefile")->value(), 100);
    QVERIFY(!cancelButton()->isEnabled());
    QVERIFY(!widget->isUpdating());
    // Success leaves the check downloads for the apply step.
    QVERIFY(QFileInfo::exists(inst->path(QStringLiteral("update/updateTmp.ini"))));
    QVERIFY(QFileInfo::exists(inst->path(QStringLiteral("update/md5Tmp.txt"))));
    QTest::qWait(50);
    QCOMPARE(results->count(), 1);
}

void TestHttpUpdate::emptyDifferenceCompletesAtOnce()
{
    QVERIFY(adapter->startUpdate());
    QCOMPARE(results->count(), 1);
    QCOMPARE(results->at(0).at(0).toBool(), true);
    QCOMPARE(label("label_update")->text(), QStringLiteral("更新完成!"));
    QCOMPARE(bar("progressBar_updatefile")->value(), 100);
    QVERIFY(!cancelButton()->isEnabled());
    QVERIFY(server->requests().isEmpty());
}

void TestHttpUpdate::secondOfThreeFails()
{
    prepareThreeFiles();
    server->setStatus(QStringLiteral("/R2//b.dll"), 404);
    widget->startUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 20000);
    QCOMPARE(results->at(0).at(0).toBool(), false);
    QCOMPARE(readTestFile(inst->path(QStringLiteral("UpdateTmp/a.dll"))), QByteArray("first file"));
    QVERIFY(!QFileInfo::exists(inst->path(QStringLiteral("UpdateTmp/b.dll"))));
    QCOMPARE(server->requestCount(QStringLiteral("/R2//c.dll")), 0);
    QCOMPARE(bar("progressBar_update")->value(), 1);
    QCOMPARE(label("label_update")->text(), QStringLiteral("更新失败"));
    QVERIFY2(label("label_updatefile")->text().startsWith(QStringLiteral("下载文件 \"b.dll\" 时出错: ")),
             qPrintable(label("label_updatefile")->text()));
    QCOMPARE(workingDirEntries(*inst), QStringList{QStringLiteral("update.ini")});
    QVERIFY(!cancelButton()->isEnabled());
    QTest::qWait(50);
    QCOMPARE(results->count(), 1);
}

void TestHttpUpdate::cancelDuringSecondFile()
{
    prepareThreeFiles();
    server->setStall(QStringLiteral("/R2//b.dll"), 4);
    QVERIFY(writeTestFile(inst->path(QStringLiteral("update/leftover/x.bin")), "x"));
    widget->show();
    widget->startUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(QStringLiteral("/R2//b.dll")), 1, 20000);
    QVERIFY(cancelButton()->isEnabled());

    const auto seen = answerNextBox(true);
    cancelButton()->click();
    QVERIFY(*seen);
    QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 20000);
    QCOMPARE(results->at(0).at(0).toBool(), false);
    QVERIFY(!widget->isUpdating());
    QVERIFY(!widget->isCancelRequested());
    QVERIFY(widget->downloadList().isEmpty());
    QVERIFY(!cancelButton()->isEnabled());
    QCOMPARE(workingDirEntries(*inst), QStringList{QStringLiteral("update.ini")});
    QCOMPARE(label("label_update")->text(), QStringLiteral("更新失败"));
    QVERIFY2(label("label_updatefile")->text().startsWith(QStringLiteral("下载文件 \"b.dll\" 时出错: ")),
             qPrintable(label("label_updatefile")->text()));
    QVERIFY(!QFileInfo::exists(inst->path(QStringLiteral("UpdateTmp/b.dll"))));
    QCOMPARE(server->requestCount(QStringLiteral("/R2//c.dll")), 0);

    // Nothing runs any more, so a second request shows no box.
    const auto seenAgain = answerNextBox(true);
    QMetaObject::invokeMethod(widget.get(), "onCancelUpdate");
    QTest::qWait(100);
    QVERIFY(!*seenAgain);
    QCOMPARE(results->count(), 1);
}

void TestHttpUpdate::cancelAnsweredNoKeepsRunning()
{
    prepareThreeFiles();
    server->setStall(QStringLiteral("/R2//b.dll"), 4);
    widget->show();
    widget->startUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(QStringLiteral("/R2//b.dll")), 1, 20000);

    const auto seen = answerNextBox(false);
    cancelButton()->click();
    QVERIFY(*seen);
    QVERIFY(widget->isUpdating());
    QVERIFY(cancelButton()->isEnabled());
    QCOMPARE(results->count(), 0);

    server->release(QStringLiteral("/R2//b.dll"));
    QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 20000);
    QCOMPARE(results->at(0).at(0).toBool(), true);
    QCOMPARE(readTestFile(inst->path(QStringLiteral("UpdateTmp/c.dll"))), QByteArray("third file"));
}

void TestHttpUpdate::escapeDuringDownloadKeepsRunning()
{
    prepareThreeFiles();
    server->setStall(QStringLiteral("/R2//b.dll"), 4);
    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
    widget->startUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(QStringLiteral("/R2//b.dll")), 1, 20000);

    QTest::keyClick(widget.get(), Qt::Key_Escape);
    QVERIFY(!widget->isVisible());
    QCOMPARE(workingDirEntries(*inst), QStringList{QStringLiteral("update.ini")});
    QVERIFY(widget->isUpdating());
    QCOMPARE(results->count(), 0);

    server->release(QStringLiteral("/R2//b.dll"));
    QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 20000);
    QCOMPARE(results->at(0).at(0).toBool(), true);
    // Closing after completion removes nothing.
    QVERIFY(writeTestFile(inst->path(QStringLiteral("update/updateTmp.ini")), "kept"));
    widget->close();
    widget->reject();
    QVERIFY(QFileInfo::exists(inst->path(QStringLiteral("update/updateTmp.ini"))));
}

void TestHttpUpdate::checksumMismatchFails()
{
    prepareThreeFiles("tampered second file");
    widget->startUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 20000);
    QCOMPARE(results->at(0).at(0).toBool(), false);
    const QString path = inst->appDir() + QStringLiteral("UpdateTmp/b.dll");
    QCOMPARE(widget->currentDetailText(), QStringLiteral("文件校验失败:") + path);
    QCOMPARE(label("label_updatefile")->text(), QStringLiteral("文件校验失败:") + path);
    QVERIFY(!QFileInfo::exists(path));
    QCOMPARE(server->requestCount(QStringLiteral("/R2//c.dll")), 0);
    QCOMPARE(bar("progressBar_update")->value(), 1);
}

void TestHttpUpdate::hostilePathsFetchNothing_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("dot-dot segment") << QStringLiteral("/../../escaped.txt");
    QTest::newRow("second leading slash") << QStringLiteral("//tmp/escaped.txt");
    QTest::newRow("no leading slash") << QStringLiteral("escaped.txt");
    QTest::newRow("backslash") << QStringLiteral("/..\\..\\escaped.txt");
    QTest::newRow("drive letter") << QStringLiteral("/C:/escaped.txt");
    QTest::newRow("control character") << QStringLiteral("/esc\x01aped.txt");
    QTest::newRow("empty path") << QString();
}

void TestHttpUpdate::hostilePathsFetchNothing()
{
    QFETCH(QString, path);
    // A safe file sorts before and after the hostile one: nothing at all
    // may be fetched.
    const Md5Manifest manifest{{QStringLiteral("/a.dll"), md5Hex("a")},
                               {path, md5Hex("evil")},
                               {QStringLiteral("/z.dll"), md5Hex("z")}};
    server->setFile(QStringLiteral("/update.ini"), "[Version]\r\nFolder=R2\r\nVersion=2.0\r\n");
    server->setFile(QStringLiteral("/R2/md5.txt"), manifestText(manifest));
    QVERIFY(inst->setInstalledVersion(QStringLiteral("1.0")));
    QVERIFY(adapter->checkForUpdate());
    adapter->startUpdate();
    QCOMPARE(results->count(), 1);
    QCOMPARE(results->at(0).at(0).toBool(), false);
    QVERIFY2(widget->currentDetailText().startsWith(QStringLiteral("文件路径不安全:")),
             qPrintable(widget->currentDetailText()));
    QTest::qWait(50);
    QCOMPARE(server->requests(), (QStringList{QStringLiteral("/update.ini"), QStringLiteral("/R2/md5.txt")}));
    QVERIFY(!QFileInfo::exists(inst->path(QStringLiteral("UpdateTmp"))));
    QVERIFY(!QFileInfo::exists(inst->path(QStringLiteral("../escaped.txt"))));
    QVERIFY(!cancelButton()->isEnabled());
}

void TestHttpUpdate::stalledTransferTimesOut()
{
    prepareThreeFiles();
    server->setStall(QStringLiteral("/R2//b.dll"), 4);
    widget->setTransferTimeout(1000);
    widget->startUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 20000);
    QCOMPARE(results->at(0).at(0).toBool(), false);
    QCOMPARE(widget->currentDetailText(), QStringLiteral("下载文件 \"b.dll\" 时出错: 下载超时（1秒）"));
    QVERIFY(!QFileInfo::exists(inst->path(QStringLiteral("UpdateTmp/b.dll"))));
}

void TestHttpUpdate::unwritableTargetFails()
{
    publishTestRelease(*server, kFolder, QStringLiteral("2.0"), {{QStringLiteral("/plugins/a.dll"), "plugin"}});
    QVERIFY(inst->setInstalledVersion(QStringLiteral("1.0")));
    // A regular file where the directory must go binds root too.
    QVERIFY(writeTestFile(inst->path(QStringLiteral("UpdateTmp/plugins")), "not a directory"));
    QVERIFY(adapter->checkForUpdate());
    adapter->startUpdate();
    QCOMPARE(results->count(), 1);
    QCOMPARE(results->at(0).at(0).toBool(), false);
    QCOMPARE(widget->currentDetailText(),
             QStringLiteral("无法保存文件:") + inst->appDir() + QStringLiteral("UpdateTmp/plugins/a.dll"));
    QCOMPARE(server->requestCount(QStringLiteral("/R2//plugins/a.dll")), 0);
}

void TestHttpUpdate::unusableTempPathFails()
{
    rebuild(server->baseUrl(), QString());
    publishTestRelease(*server, kFolder, QStringLiteral("2.0"), {{QStringLiteral("/a.dll"), "a"}});
    QVERIFY(adapter->checkForUpdate());
    adapter->startUpdate();
    QCOMPARE(results->count(), 1);
    QCOMPARE(results->at(0).at(0).toBool(), false);
    QCOMPARE(widget->currentDetailText(), QStringLiteral("临时目录配置无效:"));
    QCOMPARE(server->requestCount(QStringLiteral("/R2//a.dll")), 0);
}

void TestHttpUpdate::redirectIsNotTheFile()
{
    prepareThreeFiles();
    server->setRedirect(QStringLiteral("/R2//b.dll"), server->baseUrl() + QStringLiteral("R2//c.dll"));
    widget->startUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(results->count(), 1, 20000);
    QCOMPARE(results->at(0).at(0).toBool(), false);
    QCOMPARE(widget->currentDetailText(), QStringLiteral("文件下载失败:HTTP 301 Moved Permanently"));
    QVERIFY(!QFileInfo::exists(inst->path(QStringLiteral("UpdateTmp/b.dll"))));
}

QTEST_MAIN(TestHttpUpdate)
#include "tst_httpupdate.moc"
