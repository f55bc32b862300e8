#include "app/cselfupdatehelper.h"
#include "app/instanceguard.h"
#include "testinstallation.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace {

const QByteArray kOldBytes = QByteArrayLiteral("old updater \x01\x02\x03");
const QByteArray kNewBytes = QByteArrayLiteral("new updater, a little longer \x7f\x00\xff");
const QStringList kArguments = {QStringLiteral("update.exe"), QStringLiteral("update.exe")};
const QStringList kSuccessWords = {QStringLiteral("updatehelper"), QStringLiteral("HelperSuccess")};
const QStringList kFailureWords = {QStringLiteral("updatehelper"), QStringLiteral("HelperFaile")};

bool chattr(const QString &flag, const QString &path)
{
    return QProcess::execute(QStringLiteral("chattr"), {flag, path}) == 0;
}

/// The shared installation set up for the helper: system.cfg, an installed
/// updater and a new one in the temporary area, plus whatever a test row
/// changes before the run.
struct HelperInstall : TestInstallation
{
    QString updateExe = QStringLiteral("update_old.exe");
    QString temp = QStringLiteral("temp/");
    QStringList arguments = kArguments;
    int waitTimeoutMs = 2000;
    std::function<void()> afterMoveAside;
    std::unique_ptr<InstanceGuard> running;
    bool immutable = false;
    QString skipReason;

    ~HelperInstall()
    {
        if (immutable)
            chattr(QStringLiteral("-i"), root());
    }

    /// Writes the files once; later calls only report whether that worked.
    /// system.cfg comes last, so that only a complete set-up counts as done.
    bool create()
    {
        if (isValid())
            return true;
        QByteArray cfg = "[Update]\nHostExe=client.sh\nUpdateHelperExe=update_helper\n";
        if (!updateExe.isNull())
            cfg += "UpdateExe=" + updateExe.toUtf8() + "\n";
        cfg += "[Paths]\nBackup=backup/\nTemp=" + temp.toUtf8() + "\n";
        if (root().isEmpty() || !writeTestFile(installed(), kOldBytes)
            || !QFile::setPermissions(installed(), QFile::permissions(installed()) | QFileDevice::ExeOwner))
            return false;
        if (!temp.isEmpty() && !temp.startsWith(QLatin1String(".."))
            && !writeTestFile(path(temp + QStringLiteral("/update.exe")), kNewBytes))
            return false;
        writeSystemConfig(cfg);
        return isValid();
    }

    QString installed() const { return path(QStringLiteral("update.exe")); }
    QString incoming() const { return path(QStringLiteral("temp/update.exe")); }
    QString staging() const { return path(QStringLiteral("update.exe.new")); }
    QString aside() const { return path(QStringLiteral("UpdateTmp/update_old.exe")); }

    std::unique_ptr<CSelfUpdateHelper> helper() const
    {
        auto h = std::make_unique<CSelfUpdateHelper>(config(), root());
        h->setWaitTimeout(waitTimeoutMs);
        h->setPollInterval(10);
        h->setAfterMoveAsideHook(afterMoveAside);
        return h;
    }
};

/// Prepares an installation before the helper runs; false when that failed.
/// Settings are changed before the files are created, never by rewriting
/// system.cfg: the toolkit caches it by path, size and time.
using Setup = std::function<bool(HelperInstall &)>;

/// Settings; a null @p updateExe or @p temp leaves the key out.
Setup configured(const char *updateExe, const char *temp)
{
    return [=](HelperInstall &inst) {
        inst.updateExe = QString::fromUtf8(updateExe);
        inst.temp = QString::fromUtf8(temp);
        return true;
    };
}

Setup writing(const char *relative, const QByteArray &data)
{
    return [=](HelperInstall &inst) {
        return inst.create() && writeTestFile(inst.path(QString::fromUtf8(relative)), data);
    };
}

Setup removing(const char *relative)
{
    return [=](HelperInstall &inst) {
        return inst.create() && QFile::remove(inst.path(QString::fromUtf8(relative)));
    };
}

Setup replacingWithDirectory(const char *relative)
{
    return [=](HelperInstall &inst) {
        if (!inst.create())
            return false;
        QFile::remove(inst.path(QString::fromUtf8(relative)));
        return QDir().mkpath(inst.path(QString::fromUtf8(relative) + QStringLiteral("/inside")));
    };
}

Setup withArguments(const QStringList &arguments)
{
    return [=](HelperInstall &inst) {
        inst.arguments = arguments;
        return true;
    };
}

/// Breaks the staged copy after the old updater has been kept aside, and
/// checks that it was kept without ever leaving its installed name.
Setup afterMoveAside(std::function<void(HelperInstall &)> sabotage)
{
    return [=](HelperInstall &inst) {
        inst.afterMoveAside = [&inst, sabotage] {
            if (readTestFile(inst.installed()) == kOldBytes && readTestFile(inst.aside()) == kOldBytes)
                sabotage(inst);
        };
        return true;
    };
}

} // namespace

Q_DECLARE_METATYPE(Setup)

class TestSelfUpdateHelper : public QObject
{
    Q_OBJECT

private slots:
    void swapsInNewUpdater_data();
    void swapsInNewUpdater();
    void failsAndKeepsOldUpdater_data();
    void failsAndKeepsOldUpdater();
    void waitsForOldUpdaterToExit();
    void launchStartsUpdaterInHelperRole_data();
    void launchStartsUpdaterInHelperRole();
};

void TestSelfUpdateHelper::swapsInNewUpdater_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("asideName");

    const QString old = QStringLiteral("update_old.exe");
    QTest::newRow("configured name") << Setup() << old;
    QTest::newRow("temp without trailing slash") << configured("update_old.exe", "temp") << old;
    QTest::newRow("UpdateExe not configured")
        << configured(nullptr, "temp/") << QStringLiteral("update.exe.old");
    QTest::newRow("stale copy from an earlier run replaced")
        << writing("UpdateTmp/update_old.exe", "stale") << old;
    QTest::newRow("leftover staging file replaced") << writing("update.exe.new", "half a copy") << old;
    QTest::newRow("temporary area is UpdateTmp itself")
        << configured("update.exe", "UpdateTmp") << QStringLiteral("update.exe");
    QTest::newRow("missing arguments default to update.exe") << withArguments({}) << old;
    QTest::newRow("no installed updater: the new one is installed") << removing("update.exe") << QString();
}

void TestSelfUpdateHelper::swapsInNewUpdater()
{
    QFETCH(Setup, setup);
    QFETCH(QString, asideName);

    HelperInstall inst;
    QVERIFY(!setup || setup(inst));
    QVERIFY(inst.create());
    auto helper = inst.helper();

    QVERIFY2(helper->run(inst.arguments), qPrintable(helper->errorString()));
    QVERIFY(helper->errorString().isEmpty());
    QCOMPARE(helper->installedPath(), inst.installed());
    QCOMPARE(readTestFile(inst.installed()), kNewBytes);
    QVERIFY(QFileInfo(inst.installed()).isExecutable());
    QVERIFY(!QFileInfo::exists(inst.staging()));
    if (asideName.isEmpty()) {
        QVERIFY(!QFileInfo::exists(inst.aside()));
    } else {
        QCOMPARE(helper->asidePath(), inst.path(QStringLiteral("UpdateTmp/") + asideName));
        QCOMPARE(readTestFile(helper->asidePath()), kOldBytes);
    }
    // The download stays for the helper role to remove with the temporary area.
    if (helper->newUpdaterPath() != helper->asidePath())
        QCOMPARE(readTestFile(helper->newUpdaterPath()), kNewBytes);
    QCOMPARE(helper->program(), inst.installed());
    QCOMPARE(helper->launchArguments(), kSuccessWords);
}

void TestSelfUpdateHelper::failsAndKeepsOldUpdater_data()
{
    QTest::addColumn<Setup>("setup");

    QTest::newRow("new file missing") << removing("temp/update.exe");
    QTest::newRow("new file is a directory") << replacingWithDirectory("temp/update.exe");
    QTest::newRow("new file is empty") << writing("temp/update.exe", QByteArray());
    QTest::newRow("UpdateTmp is a regular file") << writing("UpdateTmp", "not a directory");
    QTest::newRow("kept copy's place is a directory") << replacingWithDirectory("UpdateTmp/update_old.exe");
    QTest::newRow("installed updater is a directory") << replacingWithDirectory("update.exe");
    QTest::newRow("staging name taken by a directory") << replacingWithDirectory("update.exe.new");
    QTest::newRow("UpdateExe leaves UpdateTmp") << configured("../outside.exe", "temp/");
    // A temporary area beside the installation is accepted, as by the updater;
    // here it holds no new updater.
    QTest::newRow("temporary area outside the installation, empty") << configured("update_old.exe", "../temp/");
    QTest::newRow("temporary area not configured") << configured("update_old.exe", nullptr);
    QTest::newRow("argument with a path")
        << withArguments({QStringLiteral("update.exe"), QStringLiteral("../update.exe")});
    QTest::newRow("old updater still running past the bound") << Setup([](HelperInstall &inst) {
        inst.running = std::make_unique<InstanceGuard>(InstanceGuard::instanceKey(inst.installed()));
        inst.waitTimeoutMs = 300;
        return inst.create() && inst.running->tryAcquire();
    });
    // Root ignores permission bits, but not the immutable attribute.
    QTest::newRow("read-only (immutable) application directory") << Setup([](HelperInstall &inst) {
        inst.immutable = inst.create() && chattr(QStringLiteral("+i"), inst.root());
        if (!inst.immutable)
            inst.skipReason = QStringLiteral("chattr +i is not available on this file system");
        return true;
    });
    QTest::newRow("staged copy vanishes before the rename")
        << afterMoveAside([](HelperInstall &inst) { QFile::remove(inst.staging()); });
    QTest::newRow("staged copy corrupted before the rename")
        << afterMoveAside([](HelperInstall &inst) { writeTestFile(inst.staging(), "corrupted"); });
#ifndef Q_OS_WIN
    QTest::newRow("staged copy loses its execute bits") << afterMoveAside([](HelperInstall &inst) {
        QFile::setPermissions(inst.staging(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    });
#endif // Q_OS_WIN
}

void TestSelfUpdateHelper::failsAndKeepsOldUpdater()
{
    QFETCH(Setup, setup);

    HelperInstall inst;
    QVERIFY(setup(inst));
    QVERIFY(inst.create());
    if (!inst.skipReason.isEmpty())
        QSKIP(qPrintable(inst.skipReason));
    auto helper = inst.helper();

    QElapsedTimer timer;
    timer.start();
    QVERIFY(!helper->run(inst.arguments));
    const qint64 elapsed = timer.elapsed();
    // A running old updater is waited for up to the bound, and no longer.
    QVERIFY2(elapsed < 5000 && (!inst.running || elapsed >= inst.waitTimeoutMs),
             qPrintable(QString::number(elapsed)));
    QVERIFY(!helper->errorString().isEmpty());

    QCOMPARE(helper->program(), inst.installed());
    QCOMPARE(helper->launchArguments(), kFailureWords);
    if (QFileInfo(inst.installed()).isDir()) {
        QVERIFY(QFileInfo::exists(inst.installed() + QStringLiteral("/inside")));
    } else {
        QCOMPARE(readTestFile(inst.installed()), kOldBytes);
        QVERIFY(QFileInfo(inst.installed()).isExecutable());
    }
    QVERIFY(!QFileInfo(inst.staging()).isFile());
    QVERIFY(!QFileInfo(inst.aside()).isFile());
    QVERIFY(!QFileInfo::exists(inst.path(QStringLiteral("outside.exe"))));
}

void TestSelfUpdateHelper::waitsForOldUpdaterToExit()
{
    HelperInstall inst;
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
    QCOMPARE(readTestFile(inst.installed()), kNewBytes);
}

void TestSelfUpdateHelper::launchStartsUpdaterInHelperRole_data()
{
    QTest::addColumn<QByteArray>("newUpdater");
    QTest::addColumn<QByteArray>("started");

    QTest::newRow("swap done: new updater reports success")
        << QByteArrayLiteral("#!/bin/sh\necho new \"$@\" > started.txt\n")
        << QByteArrayLiteral("new updatehelper HelperSuccess\n");
    QTest::newRow("swap failed: old updater rolls back")
        << QByteArray() << QByteArrayLiteral("old updatehelper HelperFaile\n");
    // Passes the copy checks, but no loader accepts it: the old one is put back.
    QTest::newRow("new updater does not start: old one rolls back")
        << QByteArrayLiteral("\x7f" "ELF garbage that cannot run")
        << QByteArrayLiteral("old updatehelper HelperFaile\n");
}

void TestSelfUpdateHelper::launchStartsUpdaterInHelperRole()
{
    QFETCH(QByteArray, newUpdater);
    QFETCH(QByteArray, started);

    HelperInstall inst;
    QVERIFY(inst.create());
    // Stand-in updaters that record who was started, with which words and where.
    const QByteArray oldUpdater = "#!/bin/sh\necho old \"$@\" > started.txt\n";
    QVERIFY(writeTestFile(inst.installed(), oldUpdater));
    QVERIFY(newUpdater.isEmpty() ? QFile::remove(inst.incoming()) : writeTestFile(inst.incoming(), newUpdater));

    auto helper = inst.helper();
    QCOMPARE(helper->run(kArguments), !newUpdater.isEmpty());
    QVERIFY2(helper->launch(), qPrintable(helper->errorString()));
    const bool newStarted = started.startsWith("new");
    QCOMPARE(helper->launchArguments(), newStarted ? kSuccessWords : kFailureWords);
    QCOMPARE(readTestFile(inst.installed()), newStarted ? newUpdater : oldUpdater);
    QTRY_COMPARE_WITH_TIMEOUT(readTestFile(inst.path(QStringLiteral("started.txt"))), started, 10000);
}

QTEST_GUILESS_MAIN(TestSelfUpdateHelper)
#include "tst_selfupdatehelper.moc"
