#include "http/cdownloadfile.h"
#include "http/workdircleanup.h"

#include "testinstallation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

class TestWorkDirCleanup : public QObject
{
    Q_OBJECT

private slots:
    void keepsOnlyUpdateIniAndFollowsNoLink();
    void directoryThatIsNotThere();
    void removeFilesDeletesExistingOnly();

    // Opening, streaming and discarding a download file run in every HTTP
    // download test; only a full disk needs a test of its own.
    void fullDiskFailsAndRemovesFile();
};

void TestWorkDirCleanup::keepsOnlyUpdateIniAndFollowsNoLink()
{
    QTemporaryDir dir;
    const QString work = dir.path() + QStringLiteral("/update/");
    const QString outside = dir.path() + QStringLiteral("/outside/precious.txt");
    QVERIFY(writeTestFile(outside, "keep me"));
    QVERIFY(writeTestFile(work + QStringLiteral("update.ini"), "[Version]"));
    for (const char *name : {"updateTmp.ini", "md5Tmp.txt", ".hidden", "sub/deeper/file.bin"})
        QVERIFY(writeTestFile(work + QLatin1String(name), "x"));
#ifndef Q_OS_WIN
    // Windows file names ignore letter case: this would be update.ini itself.
    QVERIFY(writeTestFile(work + QStringLiteral("UPDATE.INI"), "x"));
#endif // Q_OS_WIN
    // Links inside are removed themselves, never followed (on Windows these
    // are shortcuts, ordinary files).
    QVERIFY(QFile::link(dir.path() + QStringLiteral("/outside"), work + QStringLiteral("dirlink")));
    QVERIFY(QFile::link(outside, work + QStringLiteral("filelink")));

    QVERIFY(WorkDirCleanup::clearDirectory(work, QStringLiteral("update.ini")));
    QCOMPARE(QDir(work).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
             QStringList{QStringLiteral("update.ini")});
    QCOMPARE(readTestFile(work + QStringLiteral("update.ini")), QByteArray("[Version]"));
    QCOMPARE(readTestFile(outside), QByteArray("keep me"));
}

void TestWorkDirCleanup::directoryThatIsNotThere()
{
    QTemporaryDir dir;
    QVERIFY(WorkDirCleanup::clearDirectory(dir.path() + QStringLiteral("/absent/"), QStringLiteral("update.ini")));
#ifdef Q_OS_WIN
    QSKIP("QFile::link makes a shortcut on Windows, an ordinary file; a symbolic link needs a privilege");
#endif // Q_OS_WIN
    // A working directory that is itself a link is refused, not emptied.
    const QString target = dir.path() + QStringLiteral("/elsewhere/data.bin");
    QVERIFY(writeTestFile(target, "keep me"));
    QVERIFY(QFile::link(dir.path() + QStringLiteral("/elsewhere"), dir.path() + QStringLiteral("/update")));
    QVERIFY(!WorkDirCleanup::clearDirectory(dir.path() + QStringLiteral("/update/"), QStringLiteral("update.ini")));
    QCOMPARE(readTestFile(target), QByteArray("keep me"));
}

void TestWorkDirCleanup::removeFilesDeletesExistingOnly()
{
    QTemporaryDir dir;
    const QString a = dir.filePath(QStringLiteral("a.tmp"));
    QVERIFY(writeTestFile(a, "a"));
    QVERIFY(WorkDirCleanup::removeFiles({a, dir.filePath(QStringLiteral("never-written.tmp")), a}));
    QVERIFY(!QFileInfo::exists(a));
}

void TestWorkDirCleanup::fullDiskFailsAndRemovesFile()
{
    // /dev/full refuses every write with "no space", for root too; reached
    // through a link so that removing the failed file only removes the link.
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full on this system");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("full.bin"));
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), path));
    CDownloadFile file;
    QVERIFY(file.open(path));
    // Small appends may sit in the write buffer; finish must notice.
    const bool appended = file.append(QByteArray(1024 * 1024, 'x')) && file.append("tail");
    QVERIFY(!appended || !file.finish());
    QVERIFY(!file.errorString().isEmpty());
    file.discard();
    QVERIFY(!QFileInfo(path).isSymLink());
    QVERIFY(QFileInfo::exists(QStringLiteral("/dev/full")));
}

QTEST_GUILESS_MAIN(TestWorkDirCleanup)
#include "tst_workdircleanup.moc"
