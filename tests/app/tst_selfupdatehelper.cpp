#include "app/cselfupdatehelper.h"
#include "app/instanceguard.h"
#include "config/cconfigmanager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

const QByteArray kOldBytes = QByteArrayLiteral("old updater \x01\x02\x03");
const QByteArray kNewBytes = QByteArrayLiteral("new updater, a little longer \x7f\x00\xff");

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

/// A sample installation: system.cfg, an installed updater and a new one
/// in the temporary area "temp/".
struct SampleInstall
{
    QTemporaryDir dir;
    std::unique_ptr<CConfigManager> config;

    bool create(const QString &updateExe = QStringLiteral("update_old.exe"),
                const QString &temp = QStringLiteral("temp/"))
    {
        QByteArray cfg = "[Update]\nHostExe=client.sh\nUpdateHelperExe=update_helper\n";
        if (!updateExe.isNull()) {
            cfg += "UpdateExe=" + updateExe.toUtf8() + "\n";
        }
        cfg += "[Paths]\nBackup=backup/\nTemp=" + temp.toUtf8() + "\n";
        if (!dir.isValid() || !writeFile(path(QStringLiteral("system.cfg")), cfg)
            || !writeFile(installed(), kOldBytes)) {
            return false;
        }
        QFile::setPermissions(installed(), QFile::permissions(installed()) | QFileDevice::ExeOwner);
        const QString cfgPath = path(QStringLiteral("system.cfg"));
        config = std::make_unique<CConfigManager>(cfgPath, cfgPath);
        return temp.isEmpty() || temp.startsWith(QLatin1String(".."))
            || writeFile(path(temp + QStringLiteral("/update.exe")), kNewBytes);
    }

    QString path(const QString &relative) const { return dir.path() + QLatin1Char('/') + relative; }
    QString installed() const { return path(QStringLiteral("update.exe")); }
    QString incoming() const { return path(QStringLiteral("temp/update.exe")); }
    QString staging() const { return path(QStringLiteral("update.exe.new")); }

    std::unique_ptr<CSelfUpdateHelper> helper() const
    {
        auto h = std::make_unique<CSelfUpdateHelper>(*config, dir.path());
        h->setWaitTimeout(2000);
        h->setPollInterval(10);
        return h;
    }
};

const QStringList kArguments = {QStringLiteral("update.exe"), QStringLiteral("update.exe")};
const QStringList kSuccessWords = {QStringLiteral("updatehelper"), QStringLiteral("HelperSuccess")};
const QStringList kFailureWords = {QStringLiteral("updatehelper"), QStringLiteral("HelperFaile")};

enum class Fault {
    NewMissing,
    NewIsDirectory,
    NewIsEmpty,
    AsideDirIsFile,
    AsideIsDirectory,
    InstalledIsDirectory,
    StagingIsDirectory,
    UnsafeUpdateExe,
    UnsafeTemp,
    TempNotConfigured,
    UnsafeArgument,
};

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestSelfUpdateHelper : public QObject
{
    Q_OBJECT

private slots:
    void swapsInNewUpdater_data();
    void swapsInNewUpdater();
    void refusesAndKeepsOldUpdater_data();
    void refusesAndKeepsOldUpdater();
    void restoresOldWhenInstallBreaks_data();
    void restoresOldWhenInstallBreaks();
    void immutableAppDirKeepsOldUpdater();
    void oldUpdaterRunningPastBound();
    void waitsForOldUpdaterToExit();
    void missingArgumentsUseFixedName();
    void missingInstalledUpdaterGetsNewOne();
    void launchStartsUpdaterInHelperRole_data();
    void launchStartsUpdaterInHelperRole();
    void launchFallsBackWhenNewDoesNotStart();
};

void TestSelfUpdateHelper::swapsInNewUpdater_data()
{
    QTest::addColumn<QString>("updateExe");
    QTest::addColumn<QString>("temp");
    QTest::addColumn<QString>("asideName");
    QTest::addColumn<bool>("staleAside");
    QTest::addColumn<bool>("leftoverStaging");

    QTest::newRow("configured name") << QStringLiteral("update_old.exe") << QStringLiteral("temp/")
                                     << QStringLiteral("update_old.exe") << false << false;
    QTest::newRow("temp without trailing slash")
        << QStringLiteral("update_old.exe") << QStringLiteral("temp") << QStringLiteral("update_old.exe")
        << false << false;
    QTest::newRow("UpdateExe not configured")
        << QString() << QStringLiteral("temp/") << QStringLiteral("update.exe.old") << false << false;
    QTest::newRow("stale copy from an earlier run replaced")
        << QStringLiteral("update_old.exe") << QStringLiteral("temp/") << QStringLiteral("update_old.exe")
        << true << false;
    QTest::newRow("leftover staging file replaced")
        << QStringLiteral("update_old.exe") << QStringLiteral("temp/") << QStringLiteral("update_old.exe")
        << false << true;
    QTest::newRow("temporary area is UpdateTmp itself")
        << QStringLiteral("update.exe") << QStringLiteral("UpdateTmp") << QStringLiteral("update.exe")
        << false << false;
}

void TestSelfUpdateHelper::swapsInNewUpdater()
{
    QFETCH(QString, updateExe);
    QFETCH(QString, temp);
    QFETCH(QString, asideName);
    QFETCH(bool, staleAside);
    QFETCH(bool, leftoverStaging);

    SampleInstall inst;
    QVERIFY(inst.create(updateExe, temp));
    const QString aside = inst.path(QStringLiteral("UpdateTmp/") + asideName);
    if (staleAside) {
        QVERIFY(writeFile(aside, "stale"));
    }
    if (leftoverStaging) {
        QVERIFY(writeFile(inst.staging(), "half a copy"));
    }

    auto helper = inst.helper();
    QVERIFY2(helper->run(kArguments), qPrintable(helper->errorString()));
    QVERIFY(helper->errorString().isEmpty());
    QCOMPARE(readAll(inst.installed()), kNewBytes);
    QVERIFY(QFileInfo(inst.installed()).isExecutable());
    QCOMPARE(helper->asidePath(), aside);
    QCOMPARE(readAll(aside), kOldBytes);
    QVERIFY(!QFileInfo::exists(inst.staging()));
    if (!aside.endsWith(QLatin1String("UpdateTmp/update.exe"))) {
        // The download stays for the helper role to remove with the temporary area.
        QCOMPARE(readAll(inst.path(temp + QStringLiteral("/update.exe"))), kNewBytes);
    }
    QCOMPARE(helper->program(), inst.installed());
    QCOMPARE(helper->launchArguments(), kSuccessWords);
}

void TestSelfUpdateHelper::refusesAndKeepsOldUpdater_data()
{
    QTest::addColumn<Fault>("fault");

    QTest::newRow("new file missing") << Fault::NewMissing;
    QTest::newRow("new file is a directory") << Fault::NewIsDirectory;
    QTest::newRow("new file is empty") << Fault::NewIsEmpty;
    QTest::newRow("UpdateTmp is a regular file") << Fault::AsideDirIsFile;
    QTest::newRow("kept copy's place is a directory") << Fault::AsideIsDirectory;
    QTest::newRow("installed updater is a directory") << Fault::InstalledIsDirectory;
    QTest::newRow("staging name taken by a directory") << Fault::StagingIsDirectory;
    QTest::newRow("UpdateExe leaves UpdateTmp") << Fault::UnsafeUpdateExe;
    QTest::newRow("temporary area outside the installation") << Fault::UnsafeTemp;
    QTest::newRow("temporary area not configured") << Fault::TempNotConfigured;
    QTest::newRow("argument with a path") << Fault::UnsafeArgument;
}

void TestSelfUpdateHelper::refusesAndKeepsOldUpdater()
{
    QFETCH(Fault, fault);

    QString updateExe = QStringLiteral("update_old.exe");
    QString temp = QStringLiteral("temp/");
    if (fault == Fault::UnsafeUpdateExe) {
        updateExe = QStringLiteral("../outside.exe");
    } else if (fault == Fault::UnsafeTemp) {
        temp = QStringLiteral("../temp/");
    } else if (fault == Fault::TempNotConfigured) {
        temp = QString();
    }
    SampleInstall inst;
    QVERIFY(inst.create(updateExe, temp));
    QStringList arguments = kArguments;
    QByteArray expectedInstalled = kOldBytes;

    switch (fault) {
    case Fault::NewMissing:
        QVERIFY(QFile::remove(inst.incoming()));
        break;
    case Fault::NewIsDirectory:
        QVERIFY(QFile::remove(inst.incoming()));
        QVERIFY(QDir().mkpath(inst.incoming()));
        break;
    case Fault::NewIsEmpty:
        QVERIFY(writeFile(inst.incoming(), QByteArray()));
        break;
    case Fault::AsideDirIsFile:
        QVERIFY(writeFile(inst.path(QStringLiteral("UpdateTmp")), "not a directory"));
        break;
    case Fault::AsideIsDirectory:
        QVERIFY(QDir().mkpath(inst.path(QStringLiteral("UpdateTmp/update_old.exe/x"))));
        break;
    case Fault::InstalledIsDirectory:
        QVERIFY(QFile::remove(inst.installed()));
        QVERIFY(QDir().mkpath(inst.installed() + QStringLiteral("/inside")));
        expectedInstalled.clear();
        break;
    case Fault::StagingIsDirectory:
        QVERIFY(QDir().mkpath(inst.staging() + QStringLiteral("/inside")));
        break;
    case Fault::UnsafeArgument:
        arguments[1] = QStringLiteral("../update.exe");
        break;
    case Fault::UnsafeUpdateExe:
    case Fault::UnsafeTemp:
    case Fault::TempNotConfigured:
        break;
    }

    auto helper = inst.helper();
    QVERIFY(!helper->run(arguments));
    QVERIFY(!helper->errorString().isEmpty());
    QCOMPARE(helper->program(), inst.installed());
    QCOMPARE(helper->launchArguments(), kFailureWords);
    if (fault == Fault::InstalledIsDirectory) {
        QVERIFY(QFileInfo::exists(inst.installed() + QStringLiteral("/inside")));
    } else {
        QCOMPARE(readAll(inst.installed()), expectedInstalled);
    }
    QVERIFY(!QFileInfo(inst.staging()).isFile());
    QVERIFY(!QFileInfo::exists(inst.path(QStringLiteral("outside.exe"))));
    QVERIFY(!QFileInfo(inst.path(QStringLiteral("UpdateTmp/update_old.exe"))).isFile());
}

void TestSelfUpdateHelper::restoresOldWhenInstallBreaks_data()
{
    QTest::addColumn<int>("sabotage");

    QTest::newRow("staged copy vanishes before the rename") << 0;
    QTest::newRow("staged copy corrupted before the rename") << 1;
#ifndef Q_OS_WIN
    QTest::newRow("staged copy loses its execute bits") << 2;
#endif // Q_OS_WIN
}

void TestSelfUpdateHelper::restoresOldWhenInstallBreaks()
{
    QFETCH(int, sabotage);

    SampleInstall inst;
    QVERIFY(inst.create());
    auto helper = inst.helper();
    bool hookRan = false;
    bool oldWasAside = false;
    helper->setAfterMoveAsideHook([&] {
        hookRan = true;
        oldWasAside = !QFileInfo::exists(inst.installed())
            && readAll(inst.path(QStringLiteral("UpdateTmp/update_old.exe"))) == kOldBytes;
        if (sabotage == 0) {
            QFile::remove(inst.staging());
        } else if (sabotage == 1) {
            writeFile(inst.staging(), "corrupted");
        } else {
            QFile::setPermissions(inst.staging(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        }
    });

    QVERIFY(!helper->run(kArguments));
    QVERIFY(hookRan);
    QVERIFY(oldWasAside);
    QCOMPARE(readAll(inst.installed()), kOldBytes);
    QVERIFY(QFileInfo(inst.installed()).isExecutable());
    QVERIFY(!QFileInfo::exists(inst.staging()));
    QVERIFY(!QFileInfo::exists(inst.path(QStringLiteral("UpdateTmp/update_old.exe"))));
    QCOMPARE(helper->launchArguments(), kFailureWords);
}

void TestSelfUpdateHelper::immutableAppDirKeepsOldUpdater()
{
    SampleInstall inst;
    QVERIFY(inst.create());
    if (!runTool(QStringLiteral("chattr"), {QStringLiteral("+i"), inst.dir.path()})) {
        QSKIP("chattr +i is not available on this file system");
    }
    auto helper = inst.helper();
    const bool ok = helper->run(kArguments);
    QVERIFY(runTool(QStringLiteral("chattr"), {QStringLiteral("-i"), inst.dir.path()}));

    QVERIFY(!ok);
    QCOMPARE(readAll(inst.installed()), kOldBytes);
    QVERIFY(!QFileInfo::exists(inst.path(QStringLiteral("UpdateTmp"))));
    QCOMPARE(helper->launchArguments(), kFailureWords);
}

void TestSelfUpdateHelper::oldUpdaterRunningPastBound()
{
    SampleInstall inst;
    QVERIFY(inst.create());
    InstanceGuard running(InstanceGuard::instanceKey(inst.installed()));
    QVERIFY(running.tryAcquire());

    auto helper = inst.helper();
    helper->setWaitTimeout(300);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!helper->run(kArguments));
    QVERIFY2(timer.elapsed() >= 300, qPrintable(QString::number(timer.elapsed())));
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));

    // The running updater's file is left alone.
    QCOMPARE(readAll(inst.installed()), kOldBytes);
    QVERIFY(!QFileInfo::exists(inst.path(QStringLiteral("UpdateTmp"))));
    QVERIFY(!QFileInfo::exists(inst.staging()));
    QCOMPARE(helper->launchArguments(), kFailureWords);
}

void TestSelfUpdateHelper::waitsForOldUpdaterToExit()
{
    SampleInstall inst;
    QVERIFY(inst.create());
    const QString key = InstanceGuard::instanceKey(inst.installed());
    std::atomic<bool> held{false};
    std::atomic<bool> released{false};
    // The "old updater" holds its marker on another thread and lets go
    // while the helper is polling.
    std::thread oldUpdater([&] {
        {
            InstanceGuard guard(key);
            held = guard.tryAcquire();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        released = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(held || released, 5000);

    auto helper = inst.helper();
    helper->setWaitTimeout(10000);
    const bool ok = helper->run(kArguments);
    const bool releasedBeforeSwap = released;
    oldUpdater.join();

    QVERIFY(held);
    QVERIFY2(ok, qPrintable(helper->errorString()));
    QVERIFY(releasedBeforeSwap);
    QCOMPARE(readAll(inst.installed()), kNewBytes);
}

void TestSelfUpdateHelper::missingArgumentsUseFixedName()
{
    SampleInstall inst;
    QVERIFY(inst.create());
    auto helper = inst.helper();
    QVERIFY2(helper->run({}), qPrintable(helper->errorString()));
    QCOMPARE(helper->installedPath(), inst.installed());
    QCOMPARE(helper->newUpdaterPath(), inst.incoming());
    QCOMPARE(readAll(inst.installed()), kNewBytes);
}

void TestSelfUpdateHelper::missingInstalledUpdaterGetsNewOne()
{
    SampleInstall inst;
    QVERIFY(inst.create());
    QVERIFY(QFile::remove(inst.installed()));
    auto helper = inst.helper();
    QVERIFY2(helper->run(kArguments), qPrintable(helper->errorString()));
    QCOMPARE(readAll(inst.installed()), kNewBytes);
    QVERIFY(QFileInfo(inst.installed()).isExecutable());
    QVERIFY(!QFileInfo::exists(inst.path(QStringLiteral("UpdateTmp/update_old.exe"))));
}

void TestSelfUpdateHelper::launchStartsUpdaterInHelperRole_data()
{
    QTest::addColumn<bool>("removeNew");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("swap done: new updater reports success")
        << false << QByteArrayLiteral("new updatehelper HelperSuccess\n");
    QTest::newRow("swap failed: old updater rolls back") << true
                                                         << QByteArrayLiteral("old updatehelper HelperFaile\n");
}

void TestSelfUpdateHelper::launchStartsUpdaterInHelperRole()
{
    QFETCH(bool, removeNew);
    QFETCH(QByteArray, expected);

    SampleInstall inst;
    QVERIFY(inst.create());
    // Stand-in updaters that record who was started, with which words and where.
    QVERIFY(writeFile(inst.installed(), "#!/bin/sh\necho old \"$@\" > started.txt\n"));
    QVERIFY(QFile::setPermissions(inst.installed(), QFile::permissions(inst.installed()) | QFileDevice::ExeOwner));
    QVERIFY(writeFile(inst.incoming(), "#!/bin/sh\necho new \"$@\" > started.txt\n"));
    if (removeNew) {
        QVERIFY(QFile::remove(inst.incoming()));
    }

    auto helper = inst.helper();
    QCOMPARE(helper->run(kArguments), !removeNew);
    QVERIFY2(helper->launch(), qPrintable(helper->errorString()));
    const QString marker = inst.path(QStringLiteral("started.txt"));
    QTRY_COMPARE_WITH_TIMEOUT(readAll(marker), expected, 10000);
}

void TestSelfUpdateHelper::launchFallsBackWhenNewDoesNotStart()
{
    SampleInstall inst;
    QVERIFY(inst.create());
    QVERIFY(writeFile(inst.installed(), "#!/bin/sh\necho old \"$@\" > started.txt\n"));
    QVERIFY(QFile::setPermissions(inst.installed(), QFile::permissions(inst.installed()) | QFileDevice::ExeOwner));
    // Passes the copy checks, but no loader accepts it.
    QVERIFY(writeFile(inst.incoming(), QByteArrayLiteral("\x7f" "ELF garbage that cannot run")));

    auto helper = inst.helper();
    QVERIFY(helper->run(kArguments));
    QVERIFY(helper->launch());
    QCOMPARE(helper->launchArguments(), kFailureWords);
    QCOMPARE(readAll(inst.installed()).left(9), QByteArray("#!/bin/sh"));
    QTRY_COMPARE_WITH_TIMEOUT(readAll(inst.path(QStringLiteral("started.txt"))),
                              QByteArrayLiteral("old updatehelper HelperFaile\n"), 10000);
}

QTEST_GUILESS_MAIN(TestSelfUpdateHelper)
#include "tst_selfupdatehelper.moc"
