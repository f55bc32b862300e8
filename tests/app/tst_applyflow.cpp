#include "app/ccontroler.h"
#include "app/installlayout.h"
#include "config/cconfigmanager.h"
#include "fileops/applyjournal.h"
#include "fileops/busyreplace.h"
#include "fileops/cfileapplier.h"
#include "fileholder.h"
#include "testinstallation.h"

#include <QSignalSpy>
#include <QStorageInfo>
#include <QtTest>

namespace {

// Stand-ins for the client, which records that it started, and the helper,
// which records its arguments: shell scripts, batch files on Windows.
#ifdef Q_OS_WIN
#define SCRIPT_SUFFIX ".bat"
const QByteArray kClientScript = "@echo started> \"%~dp0client-started\"\r\n";
const QByteArray kHelperScript = "@echo %~1,%~2,%~3> \"%~dp0helper-args\"\r\n";
const QByteArray kIdleScript = "@exit /b 0\r\n";
#else
#define SCRIPT_SUFFIX ".sh"
const QByteArray kClientScript = "#!/bin/sh\necho started > \"$(dirname \"$0\")/client-started\"\n";
const QByteArray kHelperScript = "#!/bin/sh\nprintf '%s,' \"$@\" > \"$(dirname \"$0\")/helper-args\"\n";
const QByteArray kIdleScript = "#!/bin/sh\n";
#endif // Q_OS_WIN
#define CLIENT_SCRIPT "client" SCRIPT_SUFFIX
#define HELPER_SCRIPT "helper" SCRIPT_SUFFIX

/// Files by path relative to the installation (UTF-8) → content.
using Files = QMap<QByteArray, QByteArray>;

} // namespace

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
    void failedApplyRestoresExactly_data();
    void failedApplyRestoresExactly();
    void failedBackupStopsTheApply_data();
    void failedBackupStopsTheApply();
    void backupSpecialFiles();
    void replaceSpecialFilesWithoutDownloads();
    void copyFileOntoUndeletableTarget();
    void replacedFileKeepsPermissions();
    void copyDirectoryStopsAtThirdFile();
    void copyDirectoryOfEmptyDirectory();
    void hiddenFilesAreLeftAlone();
    void helperRoleFinishesTheApply_data();
    void helperRoleFinishesTheApply();
    void unsafeWorkDirsAreRefused_data();
    void unsafeWorkDirsAreRefused();
    void releaseWithUpdateIniApplies();
    void releaseWithUnusableConfigIsRefused();
    void selfUpdateStartsTheCheckedHelper();
    void cutShortApplyIsRecovered_data();
    void cutShortApplyIsRecovered();
    void interruptedRemovalStaysOurs();

private:
    void makeController(const QByteArray &extraConfig = QByteArray(), const QByteArray &backup = "Backup");
    bool clientStarted(int waitMs);
    void applySelfUpdate();
    bool canChattr();

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

void TestApplyFlow::makeController(const QByteArray &extraConfig, const QByteArray &backup)
{
    app->writeSystemConfig("[Paths]\nTemp=UpdateTmpFiles\nBackup=" + backup + "\nLog=Log/\n[Update]\nHostExe=" CLIENT_SCRIPT
                           "\nUpdateExe=update.exe\n" + extraConfig);
    // The client records that it was started.
    app->write(QStringLiteral(CLIENT_SCRIPT), kClientScript);
    QFile::setPermissions(app->path(QStringLiteral(CLIENT_SCRIPT)), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    CConfigManager::instance().useConfigFile(app->path(QStringLiteral("system.cfg")));
    controller = std::make_unique<CControler>();
    controller->setAppDirectory(app->path());
    QVERIFY(controller->initialize());
    // The run creates the temporary area before a download fills it.
    QVERIFY(InstallLayout::prepareWorkDir(controller->tempDirectoryPath()));
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
    // Only what the update replaces is kept; new files need no backup.
    QVERIFY(app->exists(QStringLiteral("Backup/apply.journal")));
    QVERIFY(!app->exists(QStringLiteral("Backup/md5.txt")));
    QVERIFY(!app->exists(QStringLiteral("Backup/new.txt")));

    QVERIFY(controller->replaceFiles());
    QCOMPARE(app->read(QStringLiteral("new.txt")), QByteArray("new"));
    QCOMPARE(app->read(QStringLiteral("plugins/extra.dll")), QByteArray("extra"));
    // A rollback deletes what the update added, with the directory it made.
    QVERIFY(controller->rollbackFiles());
    QVERIFY(!app->exists(QStringLiteral("new.txt")));
    QVERIFY(!app->exists(QStringLiteral("plugins")));
    QCOMPARE(app->read(QStringLiteral("md5.txt")), QByteArray("old manifest"));
    QVERIFY(!app->exists(QStringLiteral(".update-apply")));
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
    makeController("UpdateHelperExe=" HELPER_SCRIPT "\n");
    app->write(QStringLiteral("update.exe"), "old updater");
    app->write(QStringLiteral("UpdateTmpFiles/update.exe"), "new updater");
    app->write(QStringLiteral("UpdateTmpFiles/lib.dll"), "lib");
    app->write(QStringLiteral(HELPER_SCRIPT), kHelperScript);
    QFile::setPermissions(app->path(QStringLiteral(HELPER_SCRIPT)), QFile::ReadOwner | QFile::ExeOwner);

    controller->onUpdateResult(true);
    QCOMPARE(app->read(QStringLiteral("update.exe")), QByteArray("old updater"));
    QCOMPARE(app->read(QStringLiteral("lib.dll")), QByteArray("lib"));
    QVERIFY(controller->hasSelfUpdate());
    // The helper gets the updater's name twice; both work directories stay for it.
    QTRY_COMPARE_WITH_TIMEOUT(app->read(QStringLiteral("helper-args")).trimmed(), QByteArray("update.exe,update.exe,"),
                              10000);
    QVERIFY(app->exists(QStringLiteral("UpdateTmpFiles/update.exe")));
    QVERIFY(app->exists(QStringLiteral("Backup")));
    QVERIFY(!app->exists(QStringLiteral("client-started")));
}

void TestApplyFlow::failedBackupStopsTheApply_data()
{
    QTest::addColumn<QByteArray>("extraConfig");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("cause");
    // The cause is a file written before the run.
    QTest::newRow("backup copy's parent is a regular file") << QByteArray() << QStringLiteral("lib/a.txt")
                                                            << QStringLiteral("Backup/lib");
    QTest::newRow("backup directory is a regular file") << QByteArray() << QStringLiteral("top.txt")
                                                        << QStringLiteral("Backup");
    // A new updater needs the helper; without it nothing is touched.
    QTest::newRow("helper for a new updater missing") << QByteArray("UpdateHelperExe=missing_helper\n")
                                                      << QStringLiteral("lib.dll")
                                                      << QStringLiteral("UpdateTmpFiles/update.exe");
}

void TestApplyFlow::failedBackupStopsTheApply()
{
    QFETCH(QByteArray, extraConfig);
    QFETCH(QString, file);
    QFETCH(QString, cause);
    makeController(extraConfig);
    app->write(file, "installed");
    app->write(QStringLiteral("UpdateTmpFiles/") + file, "downloaded");
    app->write(cause, "in the way");

    QVERIFY(!controller->backupFiles());
    controller->onUpdateResult(true);
    QCOMPARE(app->read(file), QByteArray("installed"));
    QVERIFY(app->exists(QStringLiteral("UpdateTmpFiles/") + file));
    QVERIFY(!app->exists(QStringLiteral("Backup/apply.journal")));
    QVERIFY(!app->exists(QStringLiteral("Backup/") + file));
    QVERIFY(!clientStarted(1500));
}

void TestApplyFlow::backupSpecialFiles()
{
    makeController();
    app->write(QStringLiteral("md5.txt"), "manifest");
    QVERIFY(controller->backupSpecialFiles());
    QCOMPARE(app->read(QStringLiteral("Backup/md5.txt")), QByteArray("manifest"));
    QVERIFY(!app->exists(QStringLiteral("Backup/update/update.ini")));
    // An existing backup (the directory backup made it) counts as done.
    // (Replaced as the apply replaces files: a new file under the old name.)
    QFile::remove(app->path(QStringLiteral("md5.txt")));
    app->write(QStringLiteral("md5.txt"), "changed since");
    QVERIFY(controller->backupSpecialFiles());
    QCOMPARE(app->read(QStringLiteral("Backup/md5.txt")), QByteArray("manifest"));
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
#ifdef Q_OS_WIN
    QSKIP("Windows has no execute bits: whether a file runs follows from its name");
#endif // Q_OS_WIN
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

void TestApplyFlow::applySelfUpdate()
{
    app->write(QStringLiteral("update.exe"), "old updater");
    app->write(QStringLiteral("lib.dll"), "old");
    app->write(QStringLiteral("UpdateTmpFiles/update.exe"), "new updater");
    app->write(QStringLiteral("UpdateTmpFiles/lib.dll"), "new");
    app->write(QStringLiteral("UpdateTmpFiles/added.txt"), "added");
    app->write(QStringLiteral(HELPER_SCRIPT), kIdleScript);
    QFile::setPermissions(app->path(QStringLiteral(HELPER_SCRIPT)), QFile::ReadOwner | QFile::ExeOwner);
    controller->onUpdateResult(true);
    QCOMPARE(app->read(QStringLiteral("lib.dll")), QByteArray("new"));
}

void TestApplyFlow::helperRoleFinishesTheApply_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("changedConfig");
    QTest::addColumn<bool>("success");
    const QString role = QStringLiteral("updatehelper");
    const QStringList failed{role, QStringLiteral("HelperFaile")};
    QTest::newRow("HelperSuccess keeps the update")
        << QStringList{QStringLiteral("update"), role, QStringLiteral("HelperSuccess")} << false << true;
    QTest::newRow("HelperFaile") << failed << false << false;
    QTest::newRow("no result word") << QStringList{role} << false << false;
    QTest::newRow("result word in other case") << QStringList{role, QStringLiteral("helpersuccess")} << false << false;
    // The release moved both directories; the journal still knows the old ones.
    QTest::newRow("system.cfg changed by the release") << failed << true << false;
}

void TestApplyFlow::helperRoleFinishesTheApply()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, changedConfig);
    QFETCH(bool, success);
    makeController("UpdateHelperExe=" HELPER_SCRIPT "\n");
    applySelfUpdate();
    if (success)
        app->write(QStringLiteral("UpdateTmp/update.exe"), "moved-aside updater");
    if (changedConfig) {
        controller.reset();
        app->write(QStringLiteral("system.cfg"), "[Paths]\nTemp=ElsewhereTmp\nBackup=ElsewhereBak\n[Update]\nHostExe=" CLIENT_SCRIPT "\n");
        CConfigManager::instance().reload();
        controller = std::make_unique<CControler>();
        controller->setAppDirectory(app->path());
        QVERIFY(controller->initialize());
    }
    QVERIFY(!controller->parseArguments(arguments));
    QVERIFY(controller->runHelperRole());
    QCOMPARE(app->read(QStringLiteral("lib.dll")), QByteArray(success ? "new" : "old"));
    QCOMPARE(app->read(QStringLiteral("added.txt")), QByteArray(success ? "added" : "<missing>"));
    QCOMPARE(app->read(QStringLiteral("update.exe")), QByteArray("old updater"));
    QVERIFY(!app->exists(QStringLiteral("Backup")));
    QVERIFY(!app->exists(QStringLiteral("UpdateTmpFiles")));
    QVERIFY(!app->exists(QStringLiteral("UpdateTmp/update.exe")));
    QVERIFY(!app->exists(QStringLiteral(".update-apply")));
    QCOMPARE(clientStarted(success ? 10000 : 1500), success);
}

void TestApplyFlow::unsafeWorkDirsAreRefused_data()
{
    QTest::addColumn<QByteArray>("paths");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("Backup not configured") << QByteArray("Temp=UpdateTmpFiles\n") << false;
    QTest::newRow("Backup is the installation") << QByteArray("Temp=UpdateTmpFiles\nBackup=.\n") << false;
    // "x" beside the installation holds someone else's files.
    QTest::newRow("Temp in a foreign sibling") << QByteArray("Backup=Backup\nTemp=../x\n") << false;
    QTest::newRow("Temp the installation through a link") << QByteArray("Backup=Backup\nTemp=lnk/../../../app\n")
                                                           << false;
    QTest::newRow("Temp a new sibling") << QByteArray("Backup=Backup\nTemp=../fresh\n") << true;
}

void TestApplyFlow::unsafeWorkDirsAreRefused()
{
    QFETCH(QByteArray, paths);
    QFETCH(bool, accepted);
#ifdef Q_OS_WIN
    if (paths.contains("lnk/"))
        QSKIP("QFile::link makes a shortcut on Windows, an ordinary file; a symbolic link needs a privilege");
#endif // Q_OS_WIN
    QTemporaryDir root;
    const QString appDir = root.filePath(QStringLiteral("app"));
    const QStringList kept{QStringLiteral("x/mine.txt"), QStringLiteral("app/update.exe"),
                           QStringLiteral("app/data.txt")};
    for (const QString &rel : kept)
        QVERIFY(writeTestFile(root.filePath(rel), "keep"));
    QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("d1/d2/d3"))));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("d1/d2/d3")), appDir + QStringLiteral("/lnk")));
    QVERIFY(writeTestFile(appDir + QStringLiteral("/system.cfg"), "[Paths]\n" + paths));
    CConfigManager::instance().useConfigFile(appDir + QStringLiteral("/system.cfg"));

    CControler runner;
    runner.setAppDirectory(appDir);
    QCOMPARE(runner.initialize(), accepted);
    if (accepted) {
        QVERIFY(runner.parseArguments({QStringLiteral("update"), QStringLiteral("console")}));
        QVERIFY(InstallLayout::prepareWorkDir(runner.tempDirectoryPath()));
        QVERIFY(QFileInfo::exists(root.filePath(QStringLiteral("fresh/") + InstallLayout::markerName())));
    }
    for (const QString &rel : kept)
        QCOMPARE(readTestFile(root.filePath(rel)), QByteArray("keep"));
}

void TestApplyFlow::releaseWithUpdateIniApplies()
{
    makeController();
    app->write(QStringLiteral("update/update.ini"), "old ini");
    app->write(QStringLiteral("UpdateTmpFiles/update/update.ini"), "release ini");
    app->write(QStringLiteral("update/updateTmp.ini"), "server ini");
    controller->onUpdateResult(true);
    QCOMPARE(app->read(QStringLiteral("update/update.ini")), QByteArray("server ini"));
    QVERIFY(!app->exists(QStringLiteral("Backup")));
    QVERIFY(clientStarted(10000));
}

bool TestApplyFlow::canChattr()
{
    app->write(QStringLiteral("probe"), "x");
    const bool ok = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), app->path(QStringLiteral("probe"))}) == 0;
    QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), app->path(QStringLiteral("probe"))});
    QFile::remove(app->path(QStringLiteral("probe")));
    return ok;
}

void TestApplyFlow::failedApplyRestoresExactly_data()
{
    QTest::addColumn<Files>("installed");
    QTest::addColumn<Files>("downloaded");
    QTest::addColumn<QString>("locked");
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<bool>("backupElsewhere");
    // A regular file where the update needs a directory: the third entry fails.
    QTest::newRow("mid-copy failure") << Files{{"lib/1.txt", "old 1"}, {"lib/2.txt", "old 2"}, {"lib/zz", "blocker"}}
                                      << Files{{"lib/1.txt", "new 1"}, {"lib/2.txt", "new 2"}, {"lib/zz/3.txt", "new 3"}}
                                      << QString() << QStringList() << false;
    // The manifest, installed last, cannot be replaced; no update.ini was
    // installed and the failed update must not leave one.
    const Files installed{{"a.txt", "old a"}, {"md5.txt", "old manifest"}};
    const Files downloaded{{"a.txt", "new a"}, {"new/added.txt", "added"}};
    QTest::newRow("manifest cannot be replaced")
        << installed << downloaded << QStringLiteral("md5.txt") << QStringList{QStringLiteral("new")} << false;
    // The backup on another file system: a.txt cannot simply be renamed back.
    QTest::newRow("manifest cannot be replaced, backup on another file system")
        << installed << downloaded << QStringLiteral("md5.txt") << QStringList{QStringLiteral("new")} << true;
}

void TestApplyFlow::failedApplyRestoresExactly()
{
    QFETCH(Files, installed);
    QFETCH(Files, downloaded);
    QFETCH(QString, locked);
    QFETCH(QStringList, gone);
    QFETCH(bool, backupElsewhere);
    // /dev/shm is a file system of its own on Linux; elsewhere the row is skipped.
    QTemporaryDir elsewhere(QStringLiteral("/dev/shm/applyflow-XXXXXX"));
    if (backupElsewhere
        && (!elsewhere.isValid() || QStorageInfo(elsewhere.path()).device() == QStorageInfo(app->path()).device()))
        QSKIP("no second file system for the backup here");
    const QString backupDir = elsewhere.filePath(QStringLiteral("Backup"));
    makeController(QByteArray(), backupElsewhere ? backupDir.toUtf8() : QByteArray("Backup"));
#ifndef Q_OS_WIN
    if (!locked.isEmpty() && !canChattr())
        QSKIP("chattr +i is not available here");
#endif // Q_OS_WIN
    for (auto it = installed.cbegin(); it != installed.cend(); ++it)
        app->write(QString::fromUtf8(it.key()), it.value());
    for (auto it = downloaded.cbegin(); it != downloaded.cend(); ++it)
        app->write(QStringLiteral("UpdateTmpFiles/") + QString::fromUtf8(it.key()), it.value());
    app->write(QStringLiteral("update/updateTmp.ini"), "server ini");
    app->write(QStringLiteral("update/md5Tmp.txt"), "server manifest");
#ifdef Q_OS_WIN
    // A reader that lets nobody rename the file, held for longer than the
    // (shortened) time the replace waits for it.
    BusyReplace::setRetryBudget(300);
    std::unique_ptr<FileHolder> holder;
    if (!locked.isEmpty())
        holder = std::make_unique<FileHolder>(app->path(locked), FileHolder::Locked);
    QVERIFY(!holder || holder->isHeld());
    controller->onUpdateResult(true);
    holder.reset();
    BusyReplace::setRetryBudget(10000);
    // The kept copy may be a hard link of the held file, which cannot be
    // deleted while it is held: the next start removes the backup, as here.
    InstallLayout::removeWorkDir(controller->backupDirectoryPath());
#else
    const QStringList lock{QStringLiteral("+i"), app->path(locked)};
    if (!locked.isEmpty())
        QCOMPARE(QProcess::execute(QStringLiteral("chattr"), lock), 0);
    controller->onUpdateResult(true);
    if (!locked.isEmpty())
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), app->path(locked)});
#endif // Q_OS_WIN
    // The failure's text, shown in the window and the console line, names the file.
    if (!locked.isEmpty())
        QVERIFY2(controller->lastErrorMessage().contains(app->path(locked)), qPrintable(controller->lastErrorMessage()));
    for (auto it = installed.cbegin(); it != installed.cend(); ++it)
        QCOMPARE(app->read(QString::fromUtf8(it.key())), it.value());
    gone << QStringLiteral("UpdateTmpFiles") << QStringLiteral("update/update.ini") << QStringLiteral("Backup")
         << QStringLiteral(".update-apply");
    for (const QString &path : qAsConst(gone))
        QVERIFY2(!app->exists(path), qPrintable(path));
    QVERIFY(!QFileInfo::exists(backupDir));
    QVERIFY2(!clientStarted(1500), "the client is not started after a rollback");
}

void TestApplyFlow::releaseWithUnusableConfigIsRefused()
{
    // A system.cfg without its directories would make every later start
    // refuse to run, so that no corrected release could ever arrive.
    makeController();
    app->write(QStringLiteral("a.txt"), "old a");
    const QByteArray config = app->read(QStringLiteral("system.cfg"));
    app->write(QStringLiteral("UpdateTmpFiles/a.txt"), "new a");
    app->write(QStringLiteral("UpdateTmpFiles/system.cfg"), "[Update]\nHostExe=" CLIENT_SCRIPT "\n");
    controller->onUpdateResult(true);
    QVERIFY(!controller->isSuccess());
    QCOMPARE(app->read(QStringLiteral("a.txt")), QByteArray("old a"));
    QCOMPARE(app->read(QStringLiteral("system.cfg")), config);
    QVERIFY(!app->exists(QStringLiteral(".update-apply")));
    QVERIFY(!clientStarted(1500));
}

void TestApplyFlow::selfUpdateStartsTheCheckedHelper()
{
    // The release's system.cfg leaves the helper out; the one checked before
    // the apply is still the one started after it.
    makeController("UpdateHelperExe=" HELPER_SCRIPT "\n");
    app->write(QStringLiteral("update.exe"), "old updater");
    app->write(QStringLiteral(HELPER_SCRIPT), kHelperScript);
    QFile::setPermissions(app->path(QStringLiteral(HELPER_SCRIPT)), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    app->write(QStringLiteral("UpdateTmpFiles/update.exe"), "new updater");
    app->write(QStringLiteral("UpdateTmpFiles/system.cfg"),
               "[Paths]\nTemp=UpdateTmpFiles\nBackup=Backup\n[Update]\nHostExe=" CLIENT_SCRIPT "\n");
    controller->onUpdateResult(true);
    // The helper writes its file while this reads it: wait for the whole line.
    QTRY_VERIFY_WITH_TIMEOUT(app->read(QStringLiteral("helper-args")).startsWith("update.exe,update.exe,"), 10000);
}

void TestApplyFlow::cutShortApplyIsRecovered_data()
{
    QTest::addColumn<QByteArray>("releaseConfig");
    QTest::addColumn<bool>("moved");
    // Installed by an updater that did not check it; recovery must come
    // before the directory check that this configuration fails.
    QTest::newRow("release system.cfg without directories") << QByteArray("[Update]\nHostExe=x\n") << false;
    // The journal knew the old place; its paths are relative to the installation.
    QTest::newRow("installation moved since") << QByteArray() << true;
}

void TestApplyFlow::cutShortApplyIsRecovered()
{
    QFETCH(QByteArray, releaseConfig);
    QFETCH(bool, moved);
    makeController("HttpEnable=false\n");
    const QByteArray config = app->read(QStringLiteral("system.cfg"));
    app->write(QStringLiteral("a.txt"), "old a");
    app->write(QStringLiteral("UpdateTmpFiles/a.txt"), "new a");
    if (!releaseConfig.isEmpty())
        app->write(QStringLiteral("UpdateTmpFiles/system.cfg"), releaseConfig);
    // The state a kill while replacing leaves: new files in place, the
    // journal saying the replace had not completed.
    const InstallLayout layout = controller->installLayout();
    CFileApplier applier(layout.appDir, layout.tempDir, layout.backupDir, layout.updateTmpDir);
    QVERIFY(InstallLayout::prepareWorkDir(layout.backupDir));
    QVERIFY(applier.plan(QStringLiteral("2")) && applier.backup() && applier.replace());
    ApplyJournal journal = applier.journal();
    journal.phase = ApplyJournal::Phase::Replacing;
    QString why;
    QVERIFY2(journal.save(ApplyJournal::pathIn(layout.backupDir), &why), qPrintable(why));
    QCOMPARE(app->read(QStringLiteral("a.txt")), QByteArray("new a"));
    controller.reset();

    const QString original = app->root();
    const QString dir = moved ? original + QStringLiteral("-moved") : original;
    QVERIFY(!moved || QDir().rename(original, dir));
    CConfigManager::instance().useConfigFile(dir + QStringLiteral("/system.cfg"));
    CControler next;
    next.setAppDirectory(dir);
    const bool initialized = next.initialize();
    if (initialized && next.parseArguments({QStringLiteral("update"), QStringLiteral("console")}))
        next.run();
    const QByteArray restored = readTestFile(dir + QStringLiteral("/a.txt"));
    const QByteArray configNow = readTestFile(dir + QStringLiteral("/system.cfg"));
    const bool leftovers = QFileInfo::exists(dir + QStringLiteral("/Backup"))
                           || QFileInfo::exists(dir + QStringLiteral("/.update-apply"));
    if (moved)
        QDir().rename(dir, original);
    QVERIFY(initialized);
    QCOMPARE(restored, QByteArray("old a"));
    QCOMPARE(configNow, config);
    QVERIFY(!leftovers);
}

void TestApplyFlow::interruptedRemovalStaysOurs()
{
    // A removal cut short (here: a file that cannot go) must leave the
    // directory marked as ours, or every later start refuses it.
    makeController();
    const QString dir = app->path(QStringLiteral("Work"));
    QVERIFY(InstallLayout::prepareWorkDir(dir));
    app->write(QStringLiteral("Work/a.txt"), "a");
    app->write(QStringLiteral("Work/sub/b.txt"), "b");
    if (!canChattr())
        QSKIP("chattr +i is not available here");
    const QString stuck = app->path(QStringLiteral("Work/sub/b.txt"));
    QCOMPARE(QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), stuck}), 0);
    const bool removed = InstallLayout::removeWorkDir(dir);
    QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), stuck});
    QVERIFY(!removed);
    QVERIFY(InstallLayout::isOursOrEmpty(dir));
    QVERIFY(InstallLayout::removeWorkDir(dir));
    QVERIFY(!app->exists(QStringLiteral("Work")));
}

QTEST_MAIN(TestApplyFlow)
#include "tst_applyflow.moc"
