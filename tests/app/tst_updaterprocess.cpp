#include "app/installlayout.h"
#include "testinstallation.h"

#include <QProcess>
#include <QtTest>

// The updater executable run as a client would run it, in a sample
// installation of its own: the program's directory is the installation.
class TestUpdaterProcess : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void noTransportPrintsExactLine_data();
    void noTransportPrintsExactLine();
    void leftoversAreRemovedBeforeTheCheck();
    void initializationFailure_data();
    void initializationFailure();
    void helperRoleWinsOverConsole();
    void consoleFallbackWhenLogDirectoryCannotBeCreated();
    void argumentsAreLogged();
    void failedRecoveryIsReported();
    void unwritableAppDirIsRefused();

private:
    struct Result
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };
    Result runUpdater(const QStringList &arguments, int timeoutMs = 20000);

    /// Where the updater's own application data goes: XDG_DATA_HOME points
    /// there on POSIX; Windows takes the profile's folder whatever is set.
    QTemporaryDir dataHome;

    std::unique_ptr<Installation> app;
};

void TestUpdaterProcess::init()
{
    app = std::make_unique<Installation>();
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BINARY), app->path(QStringLiteral("update.exe"))));
}

void TestUpdaterProcess::cleanup()
{
    app.reset();
}

TestUpdaterProcess::Result TestUpdaterProcess::runUpdater(const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome.path());
    process.setProcessEnvironment(env);
    process.start(app->path(QStringLiteral("update.exe")), arguments);
    Result result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
#ifdef Q_OS_WIN
    // The C runtime writes text-mode streams with CR LF.
    result.out.replace("\r\n", "\n");
    result.err.replace("\r\n", "\n");
#endif // Q_OS_WIN
    return result;
}

void TestUpdaterProcess::noTransportPrintsExactLine_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::newRow("nothing configured, HTTP off") << QByteArray("[Update]\nHttpEnable=false\n");
    QTest::newRow("port cut to 16 bits skips the probe")
        << QByteArray("[Update]\nHttpEnable=false\n[Server]\nUpdateServer=127.0.0.1\nUpdatePort=65536\n");
    QTest::newRow("port that is not a number") << QByteArray("[Update]\nHttpEnable=0\n[Server]\nUpdateServer=x\nUpdatePort=abc\n");
}

void TestUpdaterProcess::noTransportPrintsExactLine()
{
    QFETCH(QByteArray, config);
    app->writeConfig(config);
    const Result result = runUpdater({QStringLiteral("console")});
    QCOMPARE(result.exitCode, 0);
    const QList<QByteArray> lines = result.out.split('\n');
    QVERIFY2(lines.contains(QStringLiteral("{\"errormsg\":\"TCP升级服务连接失败\",\"success\":false,\"update\":false}")
                                .toUtf8()),
             result.out.constData());
}

void TestUpdaterProcess::leftoversAreRemovedBeforeTheCheck()
{
    app->writeConfig("[Update]\nHttpEnable=false\n");
    app->write(QStringLiteral("keep.txt"), "keep");
    // A directory with someone else's files is refused, never emptied.
    app->write(QStringLiteral("UpdateTmpFiles/stale.dll"), "not ours");
    QCOMPARE(runUpdater({QStringLiteral("console")}).exitCode, 1);
    QCOMPARE(app->read(QStringLiteral("UpdateTmpFiles/stale.dll")), QByteArray("not ours"));

    // Leftovers of an earlier run carry the updater's marker.
    app->write(QStringLiteral("UpdateTmpFiles/") + InstallLayout::markerName(), "");
    app->write(QStringLiteral("Backup/") + InstallLayout::markerName(), "");
    app->write(QStringLiteral("Backup/old/stale.dll"), "stale");
    QCOMPARE(runUpdater({QStringLiteral("console")}).exitCode, 0);
    QVERIFY(!app->exists(QStringLiteral("UpdateTmpFiles")));
    QVERIFY(!app->exists(QStringLiteral("Backup")));
    QCOMPARE(app->read(QStringLiteral("keep.txt")), QByteArray("keep"));
}

void TestUpdaterProcess::initializationFailure_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<bool>("json");
    const QByteArray emptyTemp = "[Paths]\nTemp=\nBackup=Backup\n";
    const QByteArray tempIsApp = "[Paths]\nTemp=.\nBackup=Backup\n";
    const QByteArray sameDirs = "[Paths]\nTemp=Work\nBackup=Work\n";
    QTest::newRow("empty temp, console") << emptyTemp << QStringLiteral("console") << true;
    QTest::newRow("temp is the installation") << tempIsApp << QStringLiteral("console") << true;
    QTest::newRow("same directories") << sameDirs << QStringLiteral("console") << true;
    QTest::newRow("Console is not the word") << emptyTemp << QStringLiteral("Console") << false;
    QTest::newRow("--console is not the word") << emptyTemp << QStringLiteral("--console") << false;
}

void TestUpdaterProcess::initializationFailure()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, argument);
    QFETCH(bool, json);
    app->write(QStringLiteral("system.cfg"), config + "[Update]\nHttpEnable=false\n");
    app->write(QStringLiteral("keep.txt"), "keep");
    const Result result = runUpdater({argument});
    QCOMPARE(result.exitCode, 1);
    const QByteArray line = "{\"errormsg\":\"Controller initialization failed\",\"success\":false,\"update\":true}";
    QCOMPARE(result.out.contains(line), json);
    QVERIFY(!result.out.contains("TCP"));
    QCOMPARE(app->read(QStringLiteral("keep.txt")), QByteArray("keep"));
}

void TestUpdaterProcess::helperRoleWinsOverConsole()
{
    app->writeConfig("[Update]\nHttpEnable=false\n");
    app->write(QStringLiteral("Backup/") + InstallLayout::markerName(), "");
    app->write(QStringLiteral("Backup/lib.dll"), "old");
    app->write(QStringLiteral("lib.dll"), "new");
    const Result result = runUpdater({QStringLiteral("console"), QStringLiteral("updatehelper")});
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(!result.out.contains("{\""), result.out.constData());
    QCOMPARE(app->read(QStringLiteral("lib.dll")), QByteArray("old"));
}

void TestUpdaterProcess::consoleFallbackWhenLogDirectoryCannotBeCreated()
{
    app->write(QStringLiteral("system.cfg"),
               "[Paths]\nTemp=T\nBackup=B\nLog=blocker/logs/\n[Update]\nHttpEnable=false\n");
    app->write(QStringLiteral("blocker"), "a regular file where the log directory goes");
    const Result result = runUpdater({QStringLiteral("console")});
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.out.startsWith("[INFO] Update started\n"), result.out.constData());
    QVERIFY(result.err.contains("Log initialization failed: "));
    QVERIFY(result.out.contains(QStringLiteral("TCP升级服务连接失败").toUtf8()));
}

void TestUpdaterProcess::argumentsAreLogged()
{
    app->writeConfig("[Update]\nHttpEnable=false\n");
    QCOMPARE(runUpdater({QStringLiteral("console"), QStringLiteral("参数 x")}).exitCode, 0);
    const QByteArray log = app->read(QStringLiteral("Log/update.log"));
    QVERIFY(log.contains("] [info] ["));
    QVERIFY(log.contains("Update started\r\n"));
    QVERIFY(log.contains("Command Line Arguments:"));
    QVERIFY(log.contains("argv[1] =console\r\n"));
    QVERIFY(log.contains(QStringLiteral("argv[2] =参数 x\r\n").toUtf8()));
}

void TestUpdaterProcess::failedRecoveryIsReported()
{
    // A journal that cannot be read: nothing may run over the installation,
    // and a script must not take the run for a success.
    app->writeConfig("[Update]\nHttpEnable=false\n");
    app->write(QStringLiteral("Backup/") + InstallLayout::markerName(), "");
    app->write(QStringLiteral("Backup/apply.journal"), "{ not a journal");
    app->write(QStringLiteral(".update-apply"), "Backup/apply.journal");
    const Result result = runUpdater({QStringLiteral("console")});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.out.contains(QStringLiteral("{\"errormsg\":\"上次更新无法恢复，请检查日志\",\"success\":false,"
                                                "\"update\":false}")
                                     .toUtf8()),
             result.out.constData());
    QCOMPARE(app->read(QStringLiteral("Backup/apply.journal")), QByteArray("{ not a journal"));
}

void TestUpdaterProcess::unwritableAppDirIsRefused()
{
    // A directory where the write probe goes refuses the create for root
    // too, as Program Files does for a user without elevation.
    app->writeConfig("[Update]\nHttpEnable=false\n");
    app->write(QStringLiteral(".update-write-probe/inside"), "");
    qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
    const QString log = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                        + QStringLiteral("/update/update.log");
    QFile::remove(log);
    const Result result = runUpdater({QStringLiteral("console")});
    const QByteArray logText = readTestFile(log);
    QFile::remove(log);
    QCOMPARE(result.exitCode, 1);
    const QByteArray text = QStringLiteral("程序目录没有写入权限，无法更新:").toUtf8();
    QVERIFY2(result.out.contains("{\"errormsg\":\"" + text), result.out.constData());
    QVERIFY(result.out.contains("\"success\":false"));
    QVERIFY2(logText.contains(text), qPrintable(log));
    QVERIFY(!app->exists(QStringLiteral("Log")));
    QVERIFY(!result.out.contains("TCP"));
}

QTEST_GUILESS_MAIN(TestUpdaterProcess)
#include "tst_updaterprocess.moc"
