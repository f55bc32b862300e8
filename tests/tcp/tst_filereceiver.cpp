#include "tcp/filereceiver.h"
#include "testarea.h"

#include <QtTest>

namespace {

FileDataChunk chunk(const QString &path, const QString &name, quint32 total, const QByteArray &data, bool isLast)
{
    FileDataChunk c;
    c.filePath = path;
    c.fileName = name;
    c.totalSize = total;
    c.chunkSize = static_cast<quint32>(data.size());
    c.isLast = isLast;
    c.data = data;
    return c;
}

} // namespace

Q_DECLARE_METATYPE(FileReceiver::Failure)

class TestFileReceiver : public QObject
{
    Q_OBJECT

private slots:
    void twoChunksMakeOneFile();
    void emptyFileWithOneLastChunk();
    void sameNameOtherPathContinues();
    void sameNameTwiceIsTwoTransfers();
    void sizeChecks_data();
    void sizeChecks();
    void writeFailureContinuesButFailsAtTheEnd();
    void retryStartsFromScratch();
    void hostilePaths_data();
    void hostilePaths();
    void percentAboveThirtyTwoBits();
};

void TestFileReceiver::twoChunksMakeOneFile()
{
    TestArea area;
    FileReceiver receiver(area.writer.get());

    FileReceiver::Outcome first = receiver.receive(chunk(QStringLiteral("bin"), QStringLiteral("a.dll"), 6, "abc", false));
    QVERIFY(first.started);
    QVERIFY(first.written);
    QVERIFY(!first.completed);
    QCOMPARE(first.received, 3u);
    QCOMPARE(first.percent, 50);
    QCOMPARE(receiver.currentName(), QStringLiteral("a.dll"));

    FileReceiver::Outcome second = receiver.receive(chunk(QStringLiteral("bin"), QStringLiteral("a.dll"), 6, "def", true));
    QVERIFY(!second.started);
    QVERIFY(second.completed);
    QCOMPARE(second.failure, FileReceiver::Failure::None);
    QCOMPARE(second.filePath, QStringLiteral("bin"));
    QCOMPARE(second.received, 6u);
    QCOMPARE(second.percent, 100);
    QCOMPARE(area.readTemp(QStringLiteral("bin/a.dll")), QByteArray("abcdef"));
    QCOMPARE(area.writer->openFileCount(), 0);
    QVERIFY(receiver.currentName().isEmpty());
}

void TestFileReceiver::emptyFileWithOneLastChunk()
{
    TestArea area;
    FileReceiver receiver(area.writer.get());
    const FileReceiver::Outcome outcome = receiver.receive(chunk(QString(), QStringLiteral("empty.txt"), 0, {}, true));
    QVERIFY(outcome.started);
    QVERIFY(outcome.completed);
    QCOMPARE(outcome.percent, 0);
    QCOMPARE(area.readTemp(QStringLiteral("empty.txt")), QByteArray());
}

void TestFileReceiver::sameNameOtherPathContinues()
{
    TestArea area;
    FileReceiver receiver(area.writer.get());
    receiver.receive(chunk(QStringLiteral("one"), QStringLiteral("f"), 4, "12", false));
    const FileReceiver::Outcome outcome = receiver.receive(chunk(QStringLiteral("two"), QStringLiteral("f"), 4, "34", true));
    QVERIFY(!outcome.started);
    QVERIFY(outcome.completed);
    QCOMPARE(outcome.filePath, QStringLiteral("one"));
    QCOMPARE(area.readTemp(QStringLiteral("one/f")), QByteArray("1234"));
    QVERIFY(!QFile::exists(area.tempFile(QStringLiteral("two/f"))));
}

void TestFileReceiver::sameNameTwiceIsTwoTransfers()
{
    TestArea area;
    FileReceiver receiver(area.writer.get());
    QVERIFY(receiver.receive(chunk(QStringLiteral("x"), QStringLiteral("same"), 1, "A", true)).completed);
    const FileReceiver::Outcome second = receiver.receive(chunk(QStringLiteral("y"), QStringLiteral("same"), 2, "BB", true));
    QVERIFY(second.started);
    QVERIFY(second.completed);
    QCOMPARE(area.readTemp(QStringLiteral("x/same")), QByteArray("A"));
    QCOMPARE(area.readTemp(QStringLiteral("y/same")), QByteArray("BB"));
}

void TestFileReceiver::sizeChecks_data()
{
    QTest::addColumn<quint32>("total");
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<FileReceiver::Failure>("failure");
    QTest::addColumn<int>("failingChunk");

    QTest::newRow("endless data is cut off at the first byte too many")
        << 5u << QByteArrayList{"abc", "def", "ghi"} << FileReceiver::Failure::Overflow << 1;
    QTest::newRow("single chunk larger than the total")
        << 2u << QByteArrayList{"abc"} << FileReceiver::Failure::Overflow << 0;
    QTest::newRow("last chunk leaves the file short")
        << 10u << QByteArrayList{"abc", "de"} << FileReceiver::Failure::Incomplete << 1;
    QTest::newRow("exact total arrives before an empty last chunk")
        << 3u << QByteArrayList{"abc", ""} << FileReceiver::Failure::None << -1;
}

void TestFileReceiver::sizeChecks()
{
    QFETCH(quint32, total);
    QFETCH(QByteArrayList, chunks);
    QFETCH(FileReceiver::Failure, failure);
    QFETCH(int, failingChunk);

    TestArea area;
    FileReceiver receiver(area.writer.get());
    for (int i = 0; i < chunks.size(); ++i) {
        const bool last = i == chunks.size() - 1;
        const FileReceiver::Outcome outcome =
            receiver.receive(chunk(QStringLiteral("d"), QStringLiteral("big.bin"), total, chunks.at(i), last));
        if (i == failingChunk) {
            QCOMPARE(outcome.failure, failure);
            QVERIFY(outcome.endsTransfer());
            QVERIFY2(outcome.errorText.contains(QStringLiteral("big.bin")), qPrintable(outcome.errorText));
            QVERIFY(!outcome.completed);
            QVERIFY(receiver.currentName().isEmpty());
            return;
        }
        QCOMPARE(outcome.failure, FileReceiver::Failure::None);
        QCOMPARE(outcome.completed, last);
    }
    QCOMPARE(failingChunk, -1);
}

void TestFileReceiver::writeFailureContinuesButFailsAtTheEnd()
{
    TestArea area;
    // A directory where the file should go makes every open fail, even for root.
    QVERIFY(QDir().mkpath(area.tempFile(QStringLiteral("d/blocked.bin"))));
    FileReceiver receiver(area.writer.get());

    FileReceiver::Outcome first = receiver.receive(chunk(QStringLiteral("d"), QStringLiteral("blocked.bin"), 4, "ab", false));
    QVERIFY(first.started);
    QCOMPARE(first.failure, FileReceiver::Failure::WriteFailed);
    QVERIFY(!first.endsTransfer());
    QCOMPARE(first.errorText, QStringLiteral("Failed to save file data: d/blocked.bin"));
    QCOMPARE(receiver.currentName(), QStringLiteral("blocked.bin"));

    // The obstacle goes away: the next chunk is written, but the file lacks its start.
    QVERIFY(QDir(area.tempFile(QStringLiteral("d/blocked.bin"))).removeRecursively());
    FileReceiver::Outcome last = receiver.receive(chunk(QStringLiteral("d"), QStringLiteral("blocked.bin"), 4, "cd", true));
    QVERIFY(last.written);
    QCOMPARE(last.failure, FileReceiver::Failure::Incomplete);
    QVERIFY(!last.completed);
    QCOMPARE(last.errorText, QStringLiteral("Failed to save file data: d/blocked.bin"));
}

void TestFileReceiver::retryStartsFromScratch()
{
    TestArea area;
    FileReceiver receiver(area.writer.get());
    receiver.receive(chunk(QString(), QStringLiteral("r.bin"), 8, "OLDOLD", false));
    receiver.reset(); // a new attempt
    const FileReceiver::Outcome outcome = receiver.receive(chunk(QString(), QStringLiteral("r.bin"), 3, "new", true));
    QVERIFY(outcome.started);
    QVERIFY(outcome.completed);
    QCOMPARE(area.readTemp(QStringLiteral("r.bin")), QByteArray("new"));
}

void TestFileReceiver::hostilePaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::newRow("dot-dot path") << QStringLiteral("..") << QStringLiteral("evil.txt");
    QTest::newRow("dot-dot inside the path") << QStringLiteral("a/../../..") << QStringLiteral("evil.txt");
    QTest::newRow("dot-dot as the name") << QStringLiteral("a") << QStringLiteral("..");
    QTest::newRow("slash in the name") << QString() << QStringLiteral("../evil.txt");
    QTest::newRow("backslash in the name") << QString() << QStringLiteral("..\\evil.txt");
    QTest::newRow("drive letter") << QStringLiteral("C:") << QStringLiteral("evil.txt");
    QTest::newRow("empty name") << QStringLiteral("a") << QString();
}

void TestFileReceiver::hostilePaths()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    TestArea area;
    const QStringList before = area.allFiles();
    FileReceiver receiver(area.writer.get());
    const FileReceiver::Outcome outcome = receiver.receive(chunk(path, name, 4, "evil", true));
    QCOMPARE(outcome.failure, FileReceiver::Failure::UnsafePath);
    QVERIFY(outcome.endsTransfer());
    QVERIFY(!outcome.started);
    QVERIFY(!outcome.written);
    QVERIFY(outcome.errorText.contains(QStringLiteral("路径不安全")));
    QCOMPARE(area.allFiles(), before);
    QVERIFY(!QFile::exists(area.root() + QStringLiteral("/evil.txt")));
    QVERIFY(!QFile::exists(QFileInfo(area.root()).absolutePath() + QStringLiteral("/evil.txt")));
}

void TestFileReceiver::percentAboveThirtyTwoBits()
{
    TestArea area;
    FileReceiver receiver(area.writer.get());
    // 44,000,000 × 100 does not fit 32 bits; a 32-bit product would give garbage.
    const QByteArray half(44000000, 'z');
    const FileReceiver::Outcome outcome =
        receiver.receive(chunk(QString(), QStringLiteral("large.bin"), 88000000, half, false));
    QCOMPARE(outcome.received, 44000000u);
    QCOMPARE(outcome.percent, 50);
    QCOMPARE(receiver.percent(), 50);
}

QTEST_GUILESS_MAIN(TestFileReceiver)
#include "tst_filereceiver.moc"
