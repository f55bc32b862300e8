#include "app/ccontroler.h"
#include "config/cconfigmanager.h"
#include "installation.h"

#include <QSignalSpy>
#include <QtTest>

// The apply flow and the helper role on prepared installations. The
// process-wide configuration store is pointed at each case's system.cfg.
class TestApplyFlow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void newFilesOnly();
    void specialFilesPlacement();
    void updaterIsNeverCopied();
    void rollbackAfterMidCopyFailure();
    void failedBackupStopsTheApply();
    void failedTopLevelBackupStopsTheApply();
    void backupSpecialFiles();
    void replaceSpecialFilesWithoutDownloads();
    void copyFileOntoUndeletableTarget();
    void replacedFileKeepsPermissions();
    void copyDirectoryStopsAtThirdFile();
    void copyDirectoryOfEmptyDirectory();
    void hiddenFilesAreLeftAlone();
    void helperRoleSuccess();
    void helperRoleRollsBack_data();
    void helperRoleRollsBack();
    void rollbackNeedsBackupValue();

private:
    void makeController(const QByteArray &extraConfig = QByteArray());
    bool clientStarted(int waitMs);

    std::unique_ptr<Installation> app;
    std::unique_ptr<CControler> controller;
};

void TestApplyFlow::init()
{
    app = std::make_unique<Installation>();
}

void TestApplyFlow::cleanup()
{
    controller.reset();
    app.reset();
}

void TestApplyFlow::makeController(const QByteArray &extraConfig)
{
    app->writeConfig("[Update]\nHostExe=client.sh\nUpdateExe=update.exe\n" + extraConfig);
    // The client records that it was started.
    app->write(QStringLiteral("client.sh"), "#!/bin/sh\necho started > \"$(dirname \"$0\")/client-started\"\n");
    QFile::setPermissions(app->path(QStringLiteral("client.sh")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    CConfigManager::instance().useConfigFile(app->path(QStringLiteral("system.cfg")));
    controller = std::make_unique<CControler>();
    controller->setAppDirectory(app->path());
    QVERIFY(controller->initialize());
}

bool TestApplyFlow::clientStarted(int waitMs)
{
    return QTest::qWaitFor([this] { return app->exists(QStringLiteral("client-started")); }, waitMs);
}

void TestApplyFlow::newFilesOnly()
{
    makeController();
    app->write(QStringLiteral("update/update.ini"), "[Version]\nVersion=1\n");
    app->write(QStringLiteral("md5.txt"), "old manifest");
    app->write(QStringLiteral("UpdateTmpFiles/new.txt"), "new");
    app->write(QStringLiteral("UpdateTmpFiles/plugins/extra.dll"), "extra");

    QVERIFY(controller->backupFiles());
    QCOMPARE(app->read(QStringLiteral("Backup/update/update.ini")), QByteArray("[Version]\nVersion=1\n"));
    QCOMPARE(app->read(QStringLiteral("Backup/md5.txt")), QByteArray("old manifest"));
    QVERIFY(!app->exists(QStringLiteral("Backup/new.txt")));
    QVERIFY(!app->exists(QStringLiteral("Backup/plugins/extra.dll")));

    QVERIFY(controller->replaceFiles());
    QCOMPARE(app->read(QStringLiteral("new.txt")), QByteArray("new"));
    QCOMPARE(app->read(QStringLiteral("plugins/extra.dll")), QByteArray("extra"));
}

void TestApplyFlow::specialFilesPlacement()
{
    makeController();
    app->write(QStringLiteral("update/update.ini"), "old ini");
    app->write(QStringLiteral("UpdateTmpFiles/update.ini"), "new ini");
    app->write(QStringLiteral("UpdateTmpFiles/md5.txt"), "new manifest");
    QVERIFY(controller->backupFiles());
    QVERIFY(controller->replaceFiles());
    QCOMPARE(app->read(QStringLiteral("update/update.ini")), QByteArray("new ini"));
    QCOMPARE(app->read(QStringLiteral("md5.txt")), QByteArray("new manifest"));
    QVERIFY(!app->exists(QStringLiteral("update.ini")));

    // The HTTP check's downloads are installed over them.
    app->write(QStringLiteral("update/updateTmp.ini"), "server ini");
    app->write(QStringLiteral("update/md5Tmp.txt"), "server manifest");
    QVERIFY(controller->replaceSpecialFiles());
    QCOMPARE(app->read(QStringLiteral("update/update.ini")), QByteArray("server ini"));
    QCOMPARE(app->read(QStringLiteral("md5.txt")), QByteArray("server manifest"));
    QVERIFY2(app->exists(QStringLiteral("update/updateTmp.ini")), "the downloaded copies are left in place");
}

void TestApplyFlow::updaterIsNeverCopied()
{
    makeController("UpdateHelperExe=helper.sh\n");
    app->write(QStringLiteral("update.exe"), "old updater");
    app->write(QStringLiteral("UpdateTmpFiles/update.exe"), "new updater");
    app->write(QStringLiteral("UpdateTmpFiles/lib.dll"), "lib");
    app->write(QStringLiteral("helper.sh"), "#!/bin/sh\nprintf '%s,' \"$@\" > \"$(dirname \"$0\")/helper-args\"\n");
    QFile::setPermissions(app->path(QStringLiteral("helper.sh")), QFile::ReadOwner | QFile::ExeOwner);

    controller->onUpdateResult(true);
    QCOMPARE(app->read(QStringLiteral("update.exe")), QByteArray("old updater"));
    QCOMPARE(app->read(QStringLiteral("lib.dll")), QByteArray("lib"));
    QVERIFY(controller->hasSelfUpdate());
    // The helper gets the updater's name twice; both work directories stay for it.
    QTRY_VERIFY_WITH_TIMEOUT(app->exists(QStringLiteral("helper-args")), 10000);
    QCOMPARE(app->read(QStringLiteral("helper-args")), QByteArray("update.exe,update.exe,"));
    QVERIFY(app->exists(QStringLiteral("UpdateTmpFiles/update.exe")));
    QVERIFY(app->exists(QStringLiteral("Backup")));
    QVERIFY(!app->exists(QStringLiteral("client-started")));
}

void TestApplyFlow::rollbackAfterMidCopyFailure()
{
    makeController();
    app->write(QStringLiteral("lib/1.txt"), "old 1");
    app->write(QStringLiteral("lib/2.txt"), "old 2");
    // A regular file where the update needs a directory: the third entry fails.
    app->write(QStringLiteral("lib/zz"), "blocker");
    app->write(QStringLiteral("UpdateTmpFiles/lib/1.txt"), "new 1");
    app->write(QStringLiteral("UpdateTmpFiles/lib/2.txt"), "new 2");
    app->write(QStringLiteral("UpdateTmpFiles/lib/zz/3.txt"), "new 3");

    controller->onUpdateResult(true);
    QCOMPARE(app->read(QStringLiteral("lib/1.txt")), QByteArray("old 1"));
    QCOMPARE(app->read(QStringLiteral("lib/2.txt")), QByteArray("old 2"));
    QCOMPARE(app->read(QStringLiteral("lib/zz")), QByteArray("blocker"));
    QVERIFY2(!app->exists(QStringLiteral("UpdateTmpFiles")), "a successful rollback removes the downloads");
    QVERIFY(!app->exists(QStringLiteral("Backup")));
    QVERIFY2(!clientStarted(1500), "the client is not started after a rollback");
}

void TestApplyFlow::failedBackupStopsTheApply()
{
    makeController();
    app->write(QStringLiteral("lib/a.txt"), "installed");
    app->write(QStringLiteral("UpdateTmpFiles/lib/a.txt"), "downloaded");
    // The backup copy cannot be made: its parent is a regular file.
    app->write(QStringLiteral("Backup/lib"), "blocker");

    QVERIFY(!controller->backupFiles());
    controller->onUpdateResult(true);
    QCOMPARE(app->read(QStringLiteral("lib/a.txt")), QByteArray("installed"));
    QVERIFY(app->exists(QStringLiteral("UpdateTmpFiles/lib/a.txt")));

}

void TestApplyFlow::failedTopLevelBackupStopsTheApply()
{
    makeController();
    app->write(QStringLiteral("top.txt"), "installed top");
    app->write(QStringLiteral("UpdateTmpFiles/top.txt"), "downloaded top");
    app->write(QStringLiteral("Backup"), "a regular file where the backup directory goes");
    QVERIFY(!controller->backupFiles());
    controller->onUpdateResult(true);
    QCOMPARE(app->read(QStringLiteral("top.txt")), QByteArray("installed top"));
}

void TestApplyFlow::backupSpecialFiles()
{
    makeController();
    app->write(QStringLiteral("md5.txt"), "manifest");
    QVERIFY(controller->backupSpecialFiles());
    QCOMPARE(app->read(QStringLiteral("Backup/md5.txt")), QByteArray("manifest"));
    QVERIFY(!app->exists(QStringLiteral("Backup/update/update.ini")));
    // An existing backup is not replaced, and that is reported.
    QVERIFY(!controller->backupSpecialFiles());
}

void TestApplyFlow::replaceSpecialFilesWithoutDownloads()
{
    makeController();
    app->write(QStringLiteral("md5.txt"), "kept");
    QVERIFY(controller->replaceSpecialFiles());
    QCOMPARE(app->read(QStringLiteral("md5.txt")), QByteArray("kept"));
}

void TestApplyFlow::copyFileOntoUndeletableTarget()
{
    makeController();
    app->write(QStringLiteral("src.txt"), "source");
    app->write(QStringLiteral("dst.txt/inside"), "a directory where the file should be");
    QVERIFY(!controller->copyFile(app->path(QStringLiteral("src.txt")), app->path(QStringLiteral("dst.txt"))));
    QCOMPARE(app->read(QStringLiteral("src.txt")), QByteArray("source"));
}

void TestApplyFlow::replacedFileKeepsPermissions()
{
    makeController();
    app->write(QStringLiteral("tool.sh"), "old");
    QVERIFY(QFile::setPermissions(app->path(QStringLiteral("tool.sh")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    app->write(QStringLiteral("download/tool.sh"), "new");
    QVERIFY(QFile::setPermissions(app->path(QStringLiteral("download/tool.sh")), QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(controller->copyFile(app->path(QStringLiteral("download/tool.sh")), app->path(QStringLiteral("tool.sh"))));
    QCOMPARE(app->read(QStringLiteral("tool.sh")), QByteArray("new"));
    QVERIFY(QFileInfo(app->path(QStringLiteral("tool.sh"))).permissions() & QFile::ExeOwner);
}

void TestApplyFlow::copyDirectoryStopsAtThirdFile()
{
    makeController();
    for (const char *name : {"a.txt", "b.txt", "c.txt", "d.txt"})
        app->write(QStringLiteral("src/") + QLatin1String(name), name);
    app->write(QStringLiteral("dst/c.txt/inside"), "cannot be replaced");
    QVERIFY(!controller->copyDirectory(app->path(QStringLiteral("src")), app->path(QStringLiteral("dst"))));
    QCOMPARE(app->read(QStringLiteral("dst/a.txt")), QByteArray("a.txt"));
    QCOMPARE(app->read(QStringLiteral("dst/b.txt")), QByteArray("b.txt"));
    QVERIFY(!app->exists(QStringLiteral("dst/d.txt")));
}

void TestApplyFlow::copyDirectoryOfEmptyDirectory()
{
    makeController();
    QVERIFY(QDir().mkpath(app->path(QStringLiteral("empty"))));
    QVERIFY(controller->copyDirectory(app->path(QStringLiteral("empty")), app->path(QStringLiteral("x/y"))));
    QVERIFY(QFileInfo(app->path(QStringLiteral("x/y"))).isDir());
    QVERIFY(!controller->copyDirectory(app->path(QStringLiteral("missing")), app->path(QStringLiteral("z"))));
}

void TestApplyFlow::hiddenFilesAreLeftAlone()
{
    makeController();
    app->write(QStringLiteral("dir/.hidden"), "installed hidden");
    app->write(QStringLiteral("UpdateTmpFiles/dir/.hidden"), "downloaded hidden");
    app->write(QStringLiteral("UpdateTmpFiles/dir/shown"), "shown");
    QVERIFY(controller->backupFiles());
    QVERIFY(!app->exists(QStringLiteral("Backup/dir/.hidden")));
    QVERIFY(controller->replaceFiles());
    QCOMPARE(app->read(QStringLiteral("dir/.hidden")), QByteArray("installed hidden"));
    QCOMPARE(app->read(QStringLiteral("dir/shown")), QByteArray("shown"));
}

void TestApplyFlow::helperRoleSuccess()
{
    makeController();
    app->write(QStringLiteral("Backup/lib.dll"), "old");
    app->write(QStringLiteral("UpdateTmpFiles/update.exe"), "new updater");
    app->write(QStringLiteral("UpdateTmp/update.exe"), "moved-aside updater");
    QVERIFY(!controller->parseArguments({QStringLiteral("update"), QStringLiteral("updatehelper"),
                                         QStringLiteral("HelperSuccess")}));
    QVERIFY(controller->runHelperRole());
    QVERIFY(!app->exists(QStringLiteral("Backup")));
    QVERIFY(!app->exists(QStringLiteral("UpdateTmpFiles")));
    QVERIFY(!app->exists(QStringLiteral("UpdateTmp/update.exe")));
    QVERIFY(clientStarted(10000));
}

void TestApplyFlow::helperRoleRollsBack_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("HelperFaile") << QStringList{QStringLiteral("updatehelper"), QStringLiteral("HelperFaile")};
    QTest::newRow("no result word") << QStringList{QStringLiteral("updatehelper")};
    QTest::newRow("result word in other case") << QStringList{QStringLiteral("updatehelper"),
                                                              QStringLiteral("helpersuccess")};
}

void TestApplyFlow::helperRoleRollsBack()
{
    QFETCH(QStringList, arguments);
    makeController();
    app->write(QStringLiteral("lib.dll"), "new");
    app->write(QStringLiteral("Backup/lib.dll"), "old");
    app->write(QStringLiteral("UpdateTmpFiles/lib.dll"), "new");
    QVERIFY(!controller->parseArguments(arguments));
    QVERIFY(controller->runHelperRole());
    QCOMPARE(app->read(QStringLiteral("lib.dll")), QByteArray("old"));
    QVERIFY(!app->exists(QStringLiteral("Backup")));
    QVERIFY(!app->exists(QStringLiteral("UpdateTmpFiles")));
    QVERIFY(!clientStarted(1500));
}

void TestApplyFlow::rollbackNeedsBackupValue()
{
    makeController();
    app->write(QStringLiteral("system.cfg"), "[Paths]\nTemp=UpdateTmpFiles\n");
    CConfigManager::instance().reload();
    QVERIFY(!controller->rollbackFiles());
    // A backup value that names the installation itself is refused too.
    app->write(QStringLiteral("system.cfg"), "[Paths]\nTemp=UpdateTmpFiles\nBackup=.\n");
    app->write(QStringLiteral("keep.txt"), "keep");
    CConfigManager::instance().reload();
    QVERIFY(!controller->rollbackFiles());
    QCOMPARE(app->read(QStringLiteral("keep.txt")), QByteArray("keep"));
}

QTEST_MAIN(TestApplyFlow)
#include "tst_applyflow.moc"
