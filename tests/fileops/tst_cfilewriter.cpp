#include "config/cconfigmanager.h"
#include "fileops/cfilewriter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestFileWriter : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void chunksAppendInOrder_data();
    void chunksAppendInOrder();
    void refetchHoldsOnlyNewBytes();
    void refusesUnsafePaths_data();
    void refusesUnsafePaths();
    void directoryCannotBeCreated();
    void targetIsADirectory();

private:
    std::unique_ptr<QTemporaryDir> app;
    std::unique_ptr<CConfigManager> config;
    std::unique_ptr<CFileWriter> writer;
    QString temp(const QString &rel) const { return app->filePath(QStringLiteral("Tmp/") + rel); }
};

void TestFileWriter::init()
{
    app = std::make_unique<QTemporaryDir>();
    const QString cfg = app->filePath(QStringLiteral("system.cfg"));
    QFile file(cfg);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Paths]\nTemp=Tmp\n");
    file.close();
    config = std::make_unique<CConfigManager>(cfg, cfg);
    writer = std::make_unique<CFileWriter>(*config, app->path());
}

void TestFileWriter::cleanup()
{
    writer.reset();
    config.reset();
    app.reset();
}

void TestFileWriter::chunksAppendInOrder_data()
{
    // Files written at the same time, each as directory|name|first chunk|last chunk.
    QTest::addColumn<QString>("writes");
    QTest::newRow("single file") << QStringLiteral("bin|a.dll|first-|second");
    QTest::newRow("zero-byte last chunk closes") << QStringLiteral("|a.txt|abc|");
    QTest::newRow("same name in different directories") << QStringLiteral("x|same.txt|in x||y|same.txt|in y|");
    QTest::newRow("keys do not collide on underscores") << QStringLiteral("a|b_c|one|!|a_b|c|two|!");
}

void TestFileWriter::chunksAppendInOrder()
{
    QFETCH(QString, writes);
    const QStringList files = writes.split(QLatin1Char('|'));
    for (int i = 0; i < files.size(); i += 4)
        QVERIFY(writer->writeFileData(files[i], files[i + 1], files[i + 2].toUtf8(), false));
    QCOMPARE(writer->openFileCount(), files.size() / 4);
    for (int i = 0; i < files.size(); i += 4)
        QVERIFY(writer->writeFileData(files[i], files[i + 1], files[i + 3].toUtf8(), true));
    QCOMPARE(writer->openFileCount(), 0);
    for (int i = 0; i < files.size(); i += 4) {
        const QString rel = files[i].isEmpty() ? files[i + 1] : files[i] + QLatin1Char('/') + files[i + 1];
        QCOMPARE(readAll(temp(rel)), (files[i + 2] + files[i + 3]).toUtf8());
    }
}

void TestFileWriter::refetchHoldsOnlyNewBytes()
{
    // A first attempt stops part-way with a long prefix still open ...
    QVERIFY(writer->beginFile(QStringLiteral("d"), QStringLiteral("f.bin")));
    QVERIFY(writer->writeFileData(QStringLiteral("d"), QStringLiteral("f.bin"), QByteArray(100, 'o'), false));
    // ... and a finished earlier transfer left a longer file on disk.
    QVERIFY(writer->beginFile(QStringLiteral("d"), QStringLiteral("f.bin")));
    QVERIFY(writer->writeFileData(QStringLiteral("d"), QStringLiteral("f.bin"), "new", true));
    QCOMPARE(readAll(temp(QStringLiteral("d/f.bin"))), QByteArray("new"));
    QCOMPARE(writer->openFileCount(), 0);
}

void TestFileWriter::refusesUnsafePaths_data()
{
    QTest::addColumn<QString>("filePath");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("dot-dot in path") << QStringLiteral("../../outside") << QStringLiteral("x.txt");
    QTest::newRow("dot-dot as name") << QString() << QStringLiteral("..");
    QTest::newRow("slash in name") << QString() << QStringLiteral("../x.txt");
    QTest::newRow("absolute Windows path") << QStringLiteral("C:/Windows") << QStringLiteral("x.txt");
    QTest::newRow("backslash") << QStringLiteral("a\\..\\..") << QStringLiteral("x.txt");
    QTest::newRow("device name") << QString() << QStringLiteral("aux.txt");
    QTest::newRow("empty name") << QStringLiteral("a") << QString();
}

void TestFileWriter::refusesUnsafePaths()
{
    QFETCH(QString, filePath);
    QFETCH(QString, fileName);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Refused unsafe file path")));
    QVERIFY(!writer->writeFileData(filePath, fileName, "data", true));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Refused unsafe file path")));
    QVERIFY(!writer->beginFile(filePath, fileName));
    QCOMPARE(writer->openFileCount(), 0);
    // Nothing at all was created, inside the area or beside it.
    QCOMPARE(QDir(app->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("system.cfg")});
}

void TestFileWriter::directoryCannotBeCreated()
{
    // A regular file where a parent directory must go stops even root.
    QVERIFY(QDir().mkpath(temp(QString())));
    QFile blocker(temp(QStringLiteral("blocked")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to create directory for file:")));
    QVERIFY(!writer->writeFileData(QStringLiteral("blocked/sub"), QStringLiteral("a.txt"), "x", true));
    QCOMPARE(writer->openFileCount(), 0);
}

void TestFileWriter::targetIsADirectory()
{
    QVERIFY(QDir().mkpath(temp(QStringLiteral("a.txt"))));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to open file for writing:")));
    QVERIFY(!writer->writeFileData(QString(), QStringLiteral("a.txt"), "x", true));
    QCOMPARE(writer->openFileCount(), 0);
}

QTEST_GUILESS_MAIN(TestFileWriter)
#include "tst_cfilewriter.moc"
