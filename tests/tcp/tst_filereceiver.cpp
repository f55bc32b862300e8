#include "tcp/filereceiver.h"
#include "testinstallation.h"

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

// Every file of the area's temporary directory as "relative path:content".
QStringList tempContents(const TestArea &area)
{
    QStringList result;
    for (const QString &file : area.allFiles()) {
        if (file.startsWith(QLatin1String("UpdateTmp/")))
            result << file.mid(10) + QLatin1Char(':') + QString::fromUtf8(area.readTemp(file.mid(10)));
    }
    return result;
}

} // namespace

using Chunks = QVector<FileDataChunk>;
Q_DECLARE_METATYPE(Chunks)
Q_DECLARE_METATYPE(FileReceiver::Failure)

class TestFileReceiver : public QObject
{
    Q_OBJECT

private slots:
    void transfers_data();
    void transfers();
    void percentAboveThirtyTwoBits();
    void continuesAKeptFile_data();
    void continuesAKeptFile();
};

void TestFileReceiver::transfers_data()
{
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<FileReceiver::Failure>("failure");
    QTest::addColumn<int>("failingChunk");
    QTest::addColumn<QString>("errorHint");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QByteArray>("md5"); // announced for the first file

    const QString d = QStringLiteral("d");
    const QString big = QStringLiteral("big.bin");
    const auto none = FileReceiver::Failure::None;
    QTest::newRow("two chunks make one file")
        << Chunks{chunk(QStringLiteral("bin"), QStringLiteral("a.dll"), 6, "abc", false),
                  chunk(QStringLiteral("bin"), QStringLiteral("a.dll"), 6, "def", true)}
        << none << -1 << QString() << QStringList{QStringLiteral("bin/a.dll:abcdef")} << QByteArray();
    QTest::newRow("empty file in one last chunk")
        << Chunks{chunk(QString(), QStringLiteral("empty.txt"), 0, {}, true)} << none << -1 << QString()
        << QStringList{QStringLiteral("empty.txt:")} << QByteArray();
    QTest::newRow("same name in another folder is another file, not awaited")
        << Chunks{chunk(QStringLiteral("one"), QStringLiteral("f"), 4, "12", false),
                  chunk(QStringLiteral("two"), QStringLiteral("f"), 4, "34", true)}
        << FileReceiver::Failure::Unexpected << 1 << QStringLiteral("未请求") << QStringList{QStringLiteral("one/f:12")}
        << QByteArray();
    QTest::newRow("same name after completion is a second transfer")
        << Chunks{chunk(QStringLiteral("x"), QStringLiteral("same"), 1, "A", true),
                  chunk(QStringLiteral("y"), QStringLiteral("same"), 2, "BB", true)}
        << none << -1 << QString() << QStringList{QStringLiteral("x/same:A"), QStringLiteral("y/same:BB")} << QByteArray();
    QTest::newRow("a completed file is never begun again")
        << Chunks{chunk(QString(), QStringLiteral("r.bin"), 6, "OLDOLD", true),
                  chunk(QString(), QStringLiteral("r.bin"), 3, "new", true)}
        << FileReceiver::Failure::Unexpected << 1 << QStringLiteral("r.bin") << QStringList{QStringLiteral("r.bin:OLDOLD")}
        << QByteArray();
    QTest::newRow("data after the last chunk is refused")
        << Chunks{chunk(d, big, 3, "abc", true), chunk(d, big, 3, "xyz", false)} << FileReceiver::Failure::Unexpected << 1
        << big << QStringList{QStringLiteral("d/big.bin:abc")} << QByteArray();
    const QByteArray abcMd5 = QCryptographicHash::hash("abcdef", QCryptographicHash::Md5);
    QTest::newRow("announced MD5 matches: verified")
        << Chunks{chunk(d, big, 6, "abc", false), chunk(d, big, 6, "def", true)} << none << -1 << QString()
        << QStringList{QStringLiteral("d/big.bin:abcdef")} << abcMd5;
    QTest::newRow("announced MD5 differs: the last chunk fails the file")
        << Chunks{chunk(d, big, 6, "abc", false), chunk(d, big, 6, "deX", true)} << FileReceiver::Failure::ChecksumMismatch
        << 1 << QStringLiteral("文件校验失败:big.bin") << QStringList{QStringLiteral("d/big.bin:abcdeX")} << abcMd5;
    QTest::newRow("exact total before an empty last chunk")
        << Chunks{chunk(d, big, 3, "abc", false), chunk(d, big, 3, "", true)} << none << -1 << QString()
        << QStringList{QStringLiteral("d/big.bin:abc")} << QByteArray();

    QTest::newRow("endless data is cut off at the first byte too many")
        << Chunks{chunk(d, big, 5, "abc", false), chunk(d, big, 5, "def", false), chunk(d, big, 5, "ghi", true)}
        << FileReceiver::Failure::Overflow << 1 << big << QStringList{QStringLiteral("d/big.bin:abc")} << QByteArray();
    QTest::newRow("single chunk larger than the total")
        << Chunks{chunk(d, big, 2, "abc", true)} << FileReceiver::Failure::Overflow << 0 << big
        << QStringList{QStringLiteral("d/big.bin:")} << QByteArray();
    QTest::newRow("last chunk leaves the file short")
        << Chunks{chunk(d, big, 10, "abc", false), chunk(d, big, 10, "de", true)} << FileReceiver::Failure::Incomplete
        << 1 << big << QStringList{QStringLiteral("d/big.bin:abcde")} << QByteArray();

    const QString hostile = QStringLiteral("路径不安全");
    // Path rules themselves are SafePath's; here: both fields are checked, before any write.
    const QVector<std::pair<QString, QString>> unsafe = {{QStringLiteral("a/../../.."), QStringLiteral("evil.txt")},
                                                         {QString(), QStringLiteral("../evil.txt")},
                                                         {QStringLiteral("a"), QStringLiteral("..")},
                                                         {QStringLiteral("a"), QString()}};
    for (const auto &[path, name] : unsafe) {
        QTest::addRow("unsafe path \"%s\" name \"%s\"", qPrintable(path), qPrintable(name))
            << Chunks{chunk(path, name, 4, "evil", true)} << FileReceiver::Failure::UnsafePath << 0 << hostile
            << QStringList() << QByteArray();
    }
}

void TestFileReceiver::transfers()
{
    QFETCH(Chunks, chunks);
    QFETCH(FileReceiver::Failure, failure);
    QFETCH(int, failingChunk);
    QFETCH(QString, errorHint);
    QFETCH(QStringList, files);
    QFETCH(QByteArray, md5);

    TestArea area;
    FileReceiver receiver(area.writer.get());
    for (int i = 0; i < chunks.size(); ++i) {
        // As the client does: a file is awaited from its request on.
        const FileDataChunk &c = chunks.at(i);
        if (!receiver.isExpecting())
            receiver.expect({c.filePath, c.fileName, i == 0 ? md5 : QByteArray()});
        const FileReceiver::Outcome outcome = receiver.receive(c);
        if (i == failingChunk) {
            QCOMPARE(outcome.failure, failure);
            QVERIFY(outcome.endsTransfer());
            QVERIFY2(outcome.errorText.contains(errorHint), qPrintable(outcome.errorText));
            QVERIFY(!outcome.completed);
            QVERIFY(receiver.currentName().isEmpty());
            break;
        }
        QCOMPARE(outcome.failure, FileReceiver::Failure::None);
        QCOMPARE(outcome.completed, c.isLast);
        QCOMPARE(outcome.verified, c.isLast && !md5.isEmpty());
    }
    if (failingChunk < 0)
        QCOMPARE(area.writer->openFileCount(), 0);
    area.writer.reset(); // flushes what a failed transfer left open
    QCOMPARE(tempContents(area), files);
    QCOMPARE(area.allFiles().size(), files.size() + 1); // and system.cfg
    QVERIFY(!QFile::exists(QFileInfo(area.root()).absolutePath() + QStringLiteral("/evil.txt")));
}

void TestFileReceiver::continuesAKeptFile_data()
{
    // d/big.bin ("abcdef", MD5 announced) is asked for from byte 3, over
    // what an interrupted run kept; the service answers one last chunk.
    QTest::addColumn<QByteArray>("kept");
    QTest::addColumn<quint32>("startsAt"); // the chunk's auxValue
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<FileReceiver::Failure>("failure");
    QTest::addColumn<QByteArray>("stored");
    const auto none = FileReceiver::Failure::None;
    QTest::newRow("continued where it stopped") << QByteArray("abc") << 3u << QByteArray("def") << none
                                                << QByteArray("abcdef");
    QTest::newRow("kept bytes beyond the start are dropped")
        << QByteArray("abcXYZ!") << 3u << QByteArray("def") << none << QByteArray("abcdef");
    QTest::newRow("sent whole instead") << QByteArray("abc") << 0u << QByteArray("abcdef") << none
                                        << QByteArray("abcdef");
    QTest::newRow("another start is refused") << QByteArray("abc") << 2u << QByteArray("cdef")
                                              << FileReceiver::Failure::Unexpected << QByteArray("abc");
    QTest::newRow("kept file shorter than the start")
        << QByteArray("ab") << 3u << QByteArray("def") << FileReceiver::Failure::Incomplete << QByteArray("ab");
    QTest::newRow("kept bytes that are not the file fail its digest")
        << QByteArray("abX") << 3u << QByteArray("def") << FileReceiver::Failure::ChecksumMismatch << QByteArray("abXdef");
}

void TestFileReceiver::continuesAKeptFile()
{
    QFETCH(QByteArray, kept);
    QFETCH(quint32, startsAt);
    QFETCH(QByteArray, sent);
    QFETCH(FileReceiver::Failure, failure);
    QFETCH(QByteArray, stored);
    TestArea area;
    area.write(QStringLiteral("UpdateTmp/d/big.bin"), kept);
    FileReceiver receiver(area.writer.get());
    FileItem item{QStringLiteral("d"), QStringLiteral("big.bin"), QCryptographicHash::hash("abcdef", QCryptographicHash::Md5)};
    item.resumeFrom = 3;
    receiver.expect(item);
    FileDataChunk last = chunk(item.path, item.name, 6, sent, true);
    last.auxValue = startsAt;
    const FileReceiver::Outcome outcome = receiver.receive(last);
    QCOMPARE(outcome.failure, failure);
    QCOMPARE(outcome.completed, failure == FileReceiver::Failure::None);
    QCOMPARE(outcome.verified, outcome.completed);
    area.writer.reset();
    QCOMPARE(area.readTemp(QStringLiteral("d/big.bin")), stored);
}

void TestFileReceiver::percentAboveThirtyTwoBits()
{
    TestArea area;
    FileReceiver receiver(area.writer.get());
    receiver.expect({QString(), QStringLiteral("large.bin")});
    // 44,000,000 × 100 does not fit 32 bits; a 32-bit product would give garbage.
    const FileReceiver::Outcome outcome =
        receiver.receive(chunk(QString(), QStringLiteral("large.bin"), 88000000, QByteArray(44000000, 'z'), false));
    QCOMPARE(outcome.received, 44000000u);
    QCOMPARE(outcome.percent, 50);
    QCOMPARE(receiver.percent(), 50);
}

QTEST_GUILESS_MAIN(TestFileReceiver)
#include "tst_filereceiver.moc"
