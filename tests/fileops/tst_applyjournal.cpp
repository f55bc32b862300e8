#include "fileops/applyjournal.h"
#include "fileops/cfileapplier.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The journal is read back by a later process: what it accepts, and what a
// recovery does with each phase it can find.
class TestApplyJournal : public QObject
{
    Q_OBJECT

private slots:
    void load_data();
    void load();
    void recoveryByPhase_data();
    void recoveryByPhase();
};

namespace {

bool write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QByteArray journalText(const QByteArray &target, const QByteArray &phase = "replacing",
                       const QByteArray &dir = "/a/")
{
    return "{\"appDir\":\"" + dir + "\",\"tempDir\":\"/a/t/\",\"backupDir\":\"/a/b/\",\"updateTmpDir\":\"/a/u/\","
           "\"phase\":\"" + phase + "\",\"entries\":[{\"target\":\"" + target + "\",\"existed\":true}]}";
}

} // namespace

void TestApplyJournal::load_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("well formed") << journalText("sub/a.txt") << true;
    QTest::newRow("not JSON") << QByteArray("\x00\xff garbage", 10) << false;
    QTest::newRow("truncated") << journalText("a.txt").left(40) << false;
    QTest::newRow("target leaves the installation") << journalText("../outside.txt") << false;
    QTest::newRow("absolute target") << journalText("/etc/passwd") << false;
    QTest::newRow("empty target") << journalText("") << false;
    QTest::newRow("unknown phase") << journalText("a.txt", "finished") << false;
    QTest::newRow("relative directory") << journalText("a.txt", "replacing", "a/") << false;
}

void TestApplyJournal::load()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, accepted);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("apply.journal"));
    QVERIFY(write(path, content));
    ApplyJournal journal;
    QString why;
    QCOMPARE(ApplyJournal::load(path, &journal, &why), accepted);
    QVERIFY(accepted || !why.isEmpty());
}

void TestApplyJournal::recoveryByPhase_data()
{
    QTest::addColumn<int>("phase");
    QTest::addColumn<bool>("selfUpdate");
    QTest::addColumn<QByteArray>("expected");
    using P = ApplyJournal::Phase;
    // Until the backup is complete nothing was replaced; a completed apply
    // stays; everything between is undone.
    QTest::newRow("backing up") << int(P::BackingUp) << false << QByteArray("new");
    QTest::newRow("replacing") << int(P::Replacing) << false << QByteArray("old");
    QTest::newRow("replaced") << int(P::Replaced) << false << QByteArray("new");
    QTest::newRow("replaced, helper not started yet") << int(P::Replaced) << true << QByteArray("old");
    QTest::newRow("helper never called back") << int(P::HandedToHelper) << true << QByteArray("old");
}

void TestApplyJournal::recoveryByPhase()
{
    QFETCH(int, phase);
    QFETCH(bool, selfUpdate);
    QFETCH(QByteArray, expected);
    QTemporaryDir root;
    const QString app = root.path() + QStringLiteral("/");
    ApplyJournal journal;
    journal.appDir = app;
    journal.tempDir = app + QStringLiteral("t/");
    journal.backupDir = app + QStringLiteral("b/");
    journal.updateTmpDir = app + QStringLiteral("UpdateTmp/");
    journal.phase = static_cast<ApplyJournal::Phase>(phase);
    journal.entries.append({QStringLiteral("a.txt"), true, false, QString()});
    journal.entries.append({QStringLiteral("d/added.txt"), false, false, QStringLiteral("d")});
    if (selfUpdate)
        journal.entries.append({QStringLiteral("update.exe"), true, true, QString()});
    // The state a crash left: new files in place, the old one kept.
    QVERIFY(write(app + QStringLiteral("a.txt"), "new") && write(app + QStringLiteral("b/a.txt"), "old"));
    QVERIFY(write(app + QStringLiteral("d/added.txt"), "added"));
    QVERIFY(write(app + QStringLiteral("update.exe"), "updater") && write(app + QStringLiteral("b/update.exe"), "updater"));
    QString why;
    QVERIFY(journal.save(ApplyJournal::pathIn(journal.backupDir), &why));
    QVERIFY(write(ApplyJournal::locatorPath(app), ApplyJournal::pathIn(journal.backupDir).toUtf8()));

    ApplyJournal found;
    // The configured backup directory is elsewhere: the locator leads to the journal.
    CFileApplier::recover(app, app + QStringLiteral("moved/"), false, &found);
    QCOMPARE(read(app + QStringLiteral("a.txt")), expected);
    QCOMPARE(QFileInfo::exists(app + QStringLiteral("d")), expected == "new");
    QCOMPARE(read(app + QStringLiteral("update.exe")), QByteArray("updater"));
    QVERIFY(!QFileInfo::exists(ApplyJournal::pathIn(journal.backupDir)));
    QVERIFY(!QFileInfo::exists(ApplyJournal::locatorPath(app)));
}

QTEST_GUILESS_MAIN(TestApplyJournal)
#include "tst_applyjournal.moc"
