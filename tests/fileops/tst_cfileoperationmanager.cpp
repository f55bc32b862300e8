#include "fileops/cfileoperationmanager.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestFileOperationManager : public QObject
{
    Q_OBJECT

private slots:
    void restoresTopLevelEntries();
    void createsMissingParents();
    void explicitListAndMissingEntries();
    void missingBackupIsNothingToDo();
    void rollbackFails_data();
    void rollbackFails();
    void copyTreeReplacesFiles();
};

void TestFileOperationManager::restoresTopLevelEntries()
{
    QTemporaryDir backup, app;
    writeFile(backup.filePath(QStringLiteral("core.dll")), "old core");
    writeFile(backup.filePath(QStringLiteral("update/update.ini")), "[Version]\nVersion=1.0\n");
    writeFile(app.filePath(QStringLiteral("core.dll")), "new core");
    writeFile(app.filePath(QStringLiteral("update/update.ini")), "[Version]\nVersion=2.0\n");

    CFileOperationManager manager;
    QVERIFY(manager.init());
    QVERIFY(manager.rollback(backup.path(), app.path(), QStringList()));
    QCOMPARE(readAll(app.filePath(QStringLiteral("core.dll"))), QByteArray("old core"));
    QCOMPARE(readAll(app.filePath(QStringLiteral("update/update.ini"))), QByteArray("[Version]\nVersion=1.0\n"));
    QVERIFY(manager.lastError().isEmpty());
}

void TestFileOperationManager::createsMissingParents()
{
    QTemporaryDir backup, app;
    writeFile(backup.filePath(QStringLiteral("a/b/c.txt")), "restored");
    CFileOperationManager manager;
    QVERIFY(manager.rollback(backup.path() + QLatin1Char('/'), app.path(), QStringList()));
    QCOMPARE(readAll(app.filePath(QStringLiteral("a/b/c.txt"))), QByteArray("restored"));
}

void TestFileOperationManager::explicitListAndMissingEntries()
{
    QTemporaryDir backup, app;
    writeFile(backup.filePath(QStringLiteral("one.txt")), "1");
    writeFile(backup.filePath(QStringLiteral("two.txt")), "2");
    CFileOperationManager manager;
    QVERIFY(manager.rollback(backup.path(), app.path(), {QStringLiteral("two.txt"), QStringLiteral("gone.txt")}));
    QVERIFY(!QFile::exists(app.filePath(QStringLiteral("one.txt"))));
    QCOMPARE(readAll(app.filePath(QStringLiteral("two.txt"))), QByteArray("2"));
}

void TestFileOperationManager::missingBackupIsNothingToDo()
{
    QTemporaryDir app;
    CFileOperationManager manager;
    QVERIFY(manager.rollback(app.filePath(QStringLiteral("no-backup")), app.path(), QStringList()));
    QCOMPARE(QDir(app.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void TestFileOperationManager::rollbackFails_data()
{
    // Obstacles that hold for root too; the error names {backup} and {app}.
    QTest::addColumn<QString>("backupFile");
    QTest::addColumn<QString>("appFile");
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QString>("error");
    QTest::newRow("a non-empty directory where the file goes cannot be removed as a file")
        << QStringLiteral("core.dll") << QStringLiteral("core.dll/inner.txt") << QStringList()
        << QStringLiteral("删除目标文件失败: {app}/core.dll");
    QTest::newRow("a file where a parent directory goes")
        << QStringLiteral("bin/sub/a.txt") << QStringLiteral("bin") << QStringList{QStringLiteral("bin/sub/a.txt")}
        << QStringLiteral("无法创建目标文件目录: {app}/bin/sub");
    QTest::newRow("directory restore fails")
        << QStringLiteral("bin/a.txt") << QStringLiteral("bin/a.txt/blocker") << QStringList()
        << QStringLiteral("回退目录失败: {backup}/bin -> {app}/bin");
}

void TestFileOperationManager::rollbackFails()
{
    QFETCH(QString, backupFile);
    QFETCH(QString, appFile);
    QFETCH(QStringList, list);
    QFETCH(QString, error);
    QTemporaryDir backup, app;
    writeFile(backup.filePath(backupFile), "old");
    writeFile(app.filePath(appFile), "x");
    CFileOperationManager manager;
    QVERIFY(!manager.rollback(backup.path(), app.path(), list));
    error.replace(QStringLiteral("{backup}"), backup.path()).replace(QStringLiteral("{app}"), app.path());
    QCOMPARE(manager.lastError(), error);
}

void TestFileOperationManager::copyTreeReplacesFiles()
{
    QTemporaryDir src, dst;
    writeFile(src.filePath(QStringLiteral("x/y.txt")), "new");
    writeFile(src.filePath(QStringLiteral(".hidden")), "skipped");
    writeFile(dst.filePath(QStringLiteral("target/x/y.txt")), "old");
    CFileOperationManager manager;
    QVERIFY(manager.copyTree(src.path(), dst.filePath(QStringLiteral("target"))));
    QCOMPARE(readAll(dst.filePath(QStringLiteral("target/x/y.txt"))), QByteArray("new"));
    QVERIFY(!QFile::exists(dst.filePath(QStringLiteral("target/.hidden"))));
    QVERIFY(!manager.copyTree(src.filePath(QStringLiteral("missing")), dst.path()));
}

QTEST_GUILESS_MAIN(TestFileOperationManager)
#include "tst_cfileoperationmanager.moc"
