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
    void keepsOnlyUpdateIni();
    void missingDirectoryIsNothing();
    void linkInsideIsRemovedNotFollowed();
    void linkedWorkingDirectoryIsRefused();
    void removeFilesDeletesExistingOnly();

    void streamedFileRoundTrip();
    void openTruncatesEarlierContent();
    void parentIsARegularFile();
    void targetIsADirectory();
    void fullDiskFailsAndRemovesFile();
    void discardRemovesUnfinishedFileOnly();
};

void TestWorkDirCleanup::keepsOnlyUpdateIni()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString work = dir.path() + QStringLiteral("/update/");
    QVERIFY(writeTestFile(work + QStringLiteral("update.ini"), "[Version]"));
    QVERIFY(writeTestFile(work + QStringLiteral("updateTmp.ini"), "x"));
    QVERIFY(writeTestFile(work + QStringLiteral("md5Tmp.txt"), "x"));
    QVERIFY(writeTestFile(work + QStringLiteral(".hidden"), "x"));
    QVERIFY(writeTestFile(work + QStringLiteral("sub/deeper/file.bin"), "x"));
    QVERIFY(writeTestFile(work + QStringLiteral("UPDATE.INI"), "other case is another file"));

    QVERIFY(WorkDirCleanup::clearDirectory(work, QStringLiteral("update.ini")));
    const QStringList left =
        QDir(work).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    QCOMPARE(left, QStringList{QStringLiteral("update.ini")});
    QCOMPARE(readTestFile(work + QStringLiteral("update.ini")), QByteArray("[Version]"));
}

void TestWorkDirCleanup::missingDirectoryIsNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(WorkDirCleanup::clearDirectory(dir.path() + QStringLiteral("/absent/"), QStringLiteral("update.ini")));
}

void TestWorkDirCleanup::linkInsideIsRemovedNotFollowed()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString outside = dir.path() + QStringLiteral("/outside/precious.txt");
    QVERIFY(writeTestFile(outside, "keep me"));
    const QString work = dir.path() + QStringLiteral("/update");
    QVERIFY(QDir().mkpath(work));
    QVERIFY(QFile::link(dir.path() + QStringLiteral("/outside"), work + QStringLiteral("/dirlink")));
    QVERIFY(QFile::link(outside, work + QStringLiteral("/filelink")));

    QVERIFY(WorkDirCleanup::clearDirectory(work, QStringLiteral("update.ini")));
    QVERIFY(QDir(work).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System));
    QCOMPARE(readTestFile(outside), QByteArray("keep me"));
}

void TestWorkDirCleanup::linkedWorkingDirectoryIsRefused()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.path() + QStringLiteral("/elsewhere/");
    QVERIFY(writeTestFile(target + QStringLiteral("data.bin"), "keep me"));
    QVERIFY(QFile::link(dir.path() + QStringLiteral("/elsewhere"), dir.path() + QStringLiteral("/update")));

    QVERIFY(!WorkDirCleanup::clearDirectory(dir.path() + QStringLiteral("/update/"), QStringLiteral("update.ini")));
    QCOMPARE(readTestFile(target + QStringLiteral("data.bin")), QByteArray("keep me"));
}

void TestWorkDirCleanup::removeFilesDeletesExistingOnly()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString a = dir.filePath(QStringLiteral("a.tmp"));
    QVERIFY(writeTestFile(a, "a"));
    QVERIFY(WorkDirCleanup::removeFiles({a, dir.filePath(QStringLiteral("never-written.tmp")), a}));
    QVERIFY(!QFileInfo::exists(a));
}

void TestWorkDirCleanup::streamedFileRoundTrip()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + QStringLiteral("/UpdateTmp/plugins/a.dll");
    CDownloadFile file;
    QVERIFY2(file.open(path), qPrintable(file.errorString()));
    QVERIFY(file.append("abc"));
    QVERIFY(file.append(QByteArray(100000, 'x')));
    QCOMPARE(file.written(), qint64(100003));
    QVERIFY(file.finish());
    QCOMPARE(readTestFile(path), QByteArray("abc") + QByteArray(100000, 'x'));
    file.discard();
    QVERIFY2(QFileInfo::exists(path), "discard after finish must keep the file");
}

void TestWorkDirCleanup::openTruncatesEarlierContent()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("f.bin"));
    QVERIFY(writeTestFile(path, "old content that is longer"));
    CDownloadFile file;
    QVERIFY(file.open(path));
    QVERIFY(file.append("new"));
    QVERIFY(file.finish());
    QCOMPARE(readTestFile(path), QByteArray("new"));
}

void TestWorkDirCleanup::parentIsARegularFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeTestFile(dir.filePath(QStringLiteral("plugins")), "a file, not a directory"));
    CDownloadFile file;
    QVERIFY(!file.open(dir.filePath(QStringLiteral("plugins/a.dll"))));
    QVERIFY(file.directoryFailed());
    QVERIFY(!file.errorString().isEmpty());
    QVERIFY(!file.append("x"));
}

void TestWorkDirCleanup::targetIsADirectory()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("a.dll")));
    CDownloadFile file;
    QVERIFY(!file.open(dir.filePath(QStringLiteral("a.dll"))));
    QVERIFY(!file.directoryFailed());
    QVERIFY(!file.errorString().isEmpty());
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("a.dll"))).isDir());
}

void TestWorkDirCleanup::fullDiskFailsAndRemovesFile()
{
    // /dev/full refuses every write with "no space", for root too; reached
    // through a link so that removing the failed file only removes the link.
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full on this system");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
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

void TestWorkDirCleanup::discardRemovesUnfinishedFileOnly()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("partial.bin"));
    CDownloadFile file;
    QVERIFY(file.open(path));
    QVERIFY(file.append("half"));
    file.discard();
    QVERIFY(!QFileInfo::exists(path));
    file.discard();
}

QTEST_GUILESS_MAIN(TestWorkDirCleanup)
#include "tst_workdircleanup.moc"
