#include "fileops/busyreplace.h"
#include "fileholder.h"
#include "testinstallation.h"

#include <QElapsedTimer>
#include <QtTest>

#include <thread>

// Replacing files that another process holds. Only Windows refuses to rename
// an open file; elsewhere the loaded-program case comes from the test hook.
class TestBusyReplace : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void loadedFileMakesWay_data();
    void loadedFileMakesWay();
    void lockedFileIsWaitedFor_data();
    void lockedFileIsWaitedFor();

private:
    std::unique_ptr<TestInstallation> app;
    QString target;
    QString staging;
};

void TestBusyReplace::initTestCase()
{
#ifndef Q_OS_WIN
    qputenv("UPDATER_TEST_IN_USE", "held.dll");
#endif // Q_OS_WIN
}

void TestBusyReplace::init()
{
    app = std::make_unique<TestInstallation>();
    app->write(QStringLiteral("held.dll"), "old");
    app->write(QStringLiteral("held.dll.~upd"), "new");
    target = app->path(QStringLiteral("held.dll"));
    staging = app->path(QStringLiteral("held.dll.~upd"));
}

void TestBusyReplace::loadedFileMakesWay_data()
{
    QTest::addColumn<QString>("aside");
    QTest::addColumn<QString>("expected");
    QTest::newRow("into the backup") << QStringLiteral("Backup/held.dll.~old") << QStringLiteral("Backup/held.dll.~old");
    // A backup directory that cannot take it (here: below a regular file),
    // as one on another volume cannot.
    QTest::newRow("beside itself when the backup cannot take it")
        << QStringLiteral("blocker/held.dll.~old") << QStringLiteral("held.dll.~old");
}

void TestBusyReplace::loadedFileMakesWay()
{
    QFETCH(QString, aside);
    QFETCH(QString, expected);
    app->write(QStringLiteral("blocker"), "a file, not a directory");
    FileHolder holder(target, FileHolder::Loaded);
    QVERIFY(holder.isHeld());
    QString why;
    QVERIFY2(BusyReplace::replace(staging, target, app->path(aside), app->path(), &why), qPrintable(why));
    QCOMPARE(app->read(QStringLiteral("held.dll")), QByteArray("new"));
    QCOMPARE(app->read(expected), QByteArray("old"));
    holder.release();
    // Only what lies beside its target is listed; the backup goes as a whole.
    BusyReplace::removeLeftovers(app->path());
    QCOMPARE(app->exists(QStringLiteral("held.dll.~old")), false);
    QVERIFY(!QFileInfo::exists(BusyReplace::leftoverListPath(app->path())));
}

void TestBusyReplace::lockedFileIsWaitedFor_data()
{
    QTest::addColumn<int>("releaseAfterMs");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("released while retried") << 300 << true;
    QTest::newRow("held throughout") << -1 << false;
}

void TestBusyReplace::lockedFileIsWaitedFor()
{
    QFETCH(int, releaseAfterMs);
    QFETCH(bool, replaced);
    FileHolder holder(target, FileHolder::Locked);
    if (!holder.isHeld())
        QSKIP("an open file blocks a rename only on Windows");
    BusyReplace::setRetryBudget(replaced ? 5000 : 400);
    std::thread releaser;
    if (releaseAfterMs >= 0)
        releaser = std::thread([&holder, releaseAfterMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(releaseAfterMs));
            holder.release();
        });
    QElapsedTimer clock;
    clock.start();
    QString why;
    const bool ok = BusyReplace::replace(staging, target, app->path(QStringLiteral("Backup/held.dll.~old")),
                                         app->path(), &why);
    const qint64 elapsed = clock.elapsed();
    if (releaser.joinable())
        releaser.join();
    const QStringList holders = replaced ? QStringList() : BusyReplace::holders(target);
    holder.release();
    BusyReplace::setRetryBudget(10000);
    QCOMPARE(ok, replaced);
    QCOMPARE(app->read(QStringLiteral("held.dll")), replaced ? QByteArray("new") : QByteArray("old"));
    QVERIFY(!app->exists(QStringLiteral("held.dll.~old")));
    if (replaced)
        return;
    QVERIFY2(elapsed >= 400 && elapsed < 5000, qPrintable(QString::number(elapsed)));
    QCOMPARE(app->read(QStringLiteral("held.dll.~upd")), QByteArray("new"));
    QVERIFY2(why.contains(target), qPrintable(why));
    if (holders.isEmpty())
        QSKIP("the Restart Manager names no process here (Wine's is a stub)");
    QVERIFY2(why.contains(holders.first()), qPrintable(why));
}

QTEST_GUILESS_MAIN(TestBusyReplace)
#include "tst_busyreplace.moc"
