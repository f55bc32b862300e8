#include "config/md5manifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kEmptyMd5 = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QString md5Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestMd5Manifest : public QObject
{
    Q_OBJECT

private slots:
    void fileMd5OfKnownContent();
    void fileMd5StreamsLargeFile();
    void fileMd5ReportsUnreadable();

    void generateAndReadBack_data();
    void generateAndReadBack();
    void generatedLinesAreOrderedAndCrLf();
    void generateWithEmptyDirDoesNothing();
    void unreadableFileGetsEmptyMd5();
    void unwritableManifestIsNotWritten();
    void linkCycleIsListedOnce();

    void readRules_data();
    void readRules();
    void readBinaryGarbage();
    void readMissingFileIsEmpty();

    void diffRules_data();
    void diffRules();
};

void TestMd5Manifest::fileMd5OfKnownContent()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("abc")), "abc"));
    QCOMPARE(fileMd5(dir.filePath(QStringLiteral("abc"))), QStringLiteral("900150983cd24fb0d6963f7d28e17f72"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("empty")), QByteArray()));
    QCOMPARE(fileMd5(dir.filePath(QStringLiteral("empty"))), kEmptyMd5);
}

void TestMd5Manifest::fileMd5StreamsLargeFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Several hash chunks plus a ragged tail.
    QByteArray data;
    for (qint64 i = 0; data.size() < 3 * 1024 * 1024 + 77; ++i)
        data.append(QByteArray::number(i * 7919));
    const QString path = dir.filePath(QStringLiteral("big.bin"));
    QVERIFY(writeFile(path, data));
    QCOMPARE(fileMd5(path), md5Of(data));
}

void TestMd5Manifest::fileMd5ReportsUnreadable()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString error;
    QCOMPARE(fileMd5(dir.filePath(QStringLiteral("missing")), &error), QString());
    QVERIFY(!error.isEmpty());
    error.clear();
    // A directory opens on Linux but cannot be read: still no value.
    QCOMPARE(fileMd5(dir.path(), &error), QString());
    QVERIFY(!error.isEmpty());
}

void TestMd5Manifest::generateAndReadBack_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("expectedPaths");

    QTest::newRow("empty file") << QStringList{QStringLiteral("empty.txt")} << QStringList{QStringLiteral("/empty.txt")};
    QTest::newRow("nested directories")
        << QStringList{QStringLiteral("bin/core.dll"), QStringLiteral("bin/plugins/a.dll"), QStringLiteral("x.exe")}
        << QStringList{QStringLiteral("/bin/core.dll"), QStringLiteral("/bin/plugins/a.dll"), QStringLiteral("/x.exe")};
    QTest::newRow("hidden file and hidden directory left out")
        << QStringList{QStringLiteral(".hidden"), QStringLiteral(".git/config"), QStringLiteral("seen.txt")}
        << QStringList{QStringLiteral("/seen.txt")};
    QTest::newRow("upper case before lower case")
        << QStringList{QStringLiteral("a.dll"), QStringLiteral("B.dll")}
        << QStringList{QStringLiteral("/B.dll"), QStringLiteral("/a.dll")};
    QTest::newRow("non-ASCII name") << QStringList{QStringLiteral("数据/说明.txt")}
                                    << QStringList{QStringLiteral("/数据/说明.txt")};
    QTest::newRow("empty tree") << QStringList{} << QStringList{};
}

void TestMd5Manifest::generateAndReadBack()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, expectedPaths);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Md5Manifest expected;
    for (const QString &name : files) {
        // Every file gets distinct content; the empty file stays empty.
        const QByteArray content = name.startsWith(QLatin1String("empty")) ? QByteArray() : name.toUtf8().repeated(3);
        QVERIFY(writeFile(dir.filePath(name), content));
        expected.insert(QLatin1Char('/') + name, md5Of(content));
    }
    const QString root = dir.path() + QLatin1Char('/');
    QVERIFY(generateManifest(root));

    const Md5Manifest read = readManifest(root + QStringLiteral("md5.txt"));
    QCOMPARE(read.keys(), expectedPaths);
    for (const QString &path : expectedPaths)
        QCOMPARE(read.value(path), expected.value(path));
    if (files.contains(QStringLiteral("empty.txt")))
        QCOMPARE(read.value(QStringLiteral("/empty.txt")), kEmptyMd5);
}

void TestMd5Manifest::generatedLinesAreOrderedAndCrLf()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("a.dll")), "a"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("B.dll")), "B"));
    QVERIFY(generateManifest(dir.path() + QLatin1Char('/')));
    const QByteArray expected = md5Of("B").toLatin1() + "\t/B.dll\r\n" + md5Of("a").toLatin1() + "\t/a.dll\r\n";
    QCOMPARE(readAll(dir.filePath(QStringLiteral("md5.txt"))), expected);
}

void TestMd5Manifest::generateWithEmptyDirDoesNothing()
{
    QVERIFY(!generateManifest(QString()));
    QVERIFY(buildManifest(QString()).isEmpty());
}

void TestMd5Manifest::unreadableFileGetsEmptyMd5()
{
    // Root reads anything that opens, so the file is a link to a kernel file
    // that opens but fails on the first read.
    if (!QFile::exists(QStringLiteral("/proc/self/mem")))
        QSKIP("no /proc/self/mem to build an unreadable file from");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QFile::link(QStringLiteral("/proc/self/mem"), dir.filePath(QStringLiteral("unreadable.bin"))));
    if (!fileMd5(dir.filePath(QStringLiteral("unreadable.bin"))).isEmpty())
        QSKIP("reading /proc/self/mem succeeds here; no unreadable file for root");
    QVERIFY(writeFile(dir.filePath(QStringLiteral("ok.txt")), "ok"));
    QVERIFY(generateManifest(dir.path() + QLatin1Char('/')));

    const QByteArray text = readAll(dir.filePath(QStringLiteral("md5.txt")));
    QVERIFY2(text.contains("\r\n\t/unreadable.bin\r\n") || text.startsWith("\t/unreadable.bin\r\n"), text.constData());
    const Md5Manifest read = readManifest(dir.filePath(QStringLiteral("md5.txt")));
    QVERIFY(read.contains(QStringLiteral("/unreadable.bin")));
    QCOMPARE(read.value(QStringLiteral("/unreadable.bin")), QString());
    QCOMPARE(read.value(QStringLiteral("/ok.txt")), md5Of("ok"));
}

void TestMd5Manifest::unwritableManifestIsNotWritten()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A directory where the manifest file should go binds root too.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("md5.txt")));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("a.txt")), "a"));
    QVERIFY(!generateManifest(dir.path() + QLatin1Char('/')));
    QVERIFY(readManifest(dir.filePath(QStringLiteral("md5.txt"))).isEmpty());
}

void TestMd5Manifest::linkCycleIsListedOnce()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("sub/file.txt")), "x"));
    QVERIFY(QFile::link(dir.path(), dir.filePath(QStringLiteral("sub/loop"))));
    QStringList out;
    collectFiles(dir.path(), QString(), out);
    QCOMPARE(out, QStringList{QStringLiteral("/sub/file.txt")});
}

void TestMd5Manifest::readRules_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QStringList>("md5s");

    QTest::newRow("line without TAB skipped") << QByteArray("no tab here\r\nm1\t/a\r\n")
                                              << QStringList{QStringLiteral("/a")} << QStringList{QStringLiteral("m1")};
    QTest::newRow("blank line skipped") << QByteArray("\r\nm1\t/a\r\n\n") << QStringList{QStringLiteral("/a")}
                                        << QStringList{QStringLiteral("m1")};
    QTest::newRow("TAB only gives empty path and MD5") << QByteArray("\t\r\n") << QStringList{QString()}
                                                       << QStringList{QString()};
    QTest::newRow("duplicate path keeps the second") << QByteArray("m1\t/a\r\nm2\t/a\r\n")
                                                     << QStringList{QStringLiteral("/a")}
                                                     << QStringList{QStringLiteral("m2")};
    QTest::newRow("parts after the second ignored") << QByteArray("m1\t/a\textra\r\n")
                                                    << QStringList{QStringLiteral("/a")}
                                                    << QStringList{QStringLiteral("m1")};
    QTest::newRow("LF line ends accepted") << QByteArray("m1\t/a\nm2\t/b\n")
                                           << QStringList{QStringLiteral("/a"), QStringLiteral("/b")}
                                           << QStringList{QStringLiteral("m1"), QStringLiteral("m2")};
    QTest::newRow("last line without line end") << QByteArray("m1\t/a\r\nm2\t/b")
                                                << QStringList{QStringLiteral("/a"), QStringLiteral("/b")}
                                                << QStringList{QStringLiteral("m1"), QStringLiteral("m2")};
    QTest::newRow("nothing trimmed or folded") << QByteArray("ABC \t /a b\r\n") << QStringList{QStringLiteral(" /a b")}
                                               << QStringList{QStringLiteral("ABC ")};
    QTest::newRow("empty MD5 kept") << QByteArray("\t/a\r\n") << QStringList{QStringLiteral("/a")}
                                    << QStringList{QString()};
    QTest::newRow("over-long line skipped, next line read")
        << (QByteArray("m0\t/") + QByteArray(kMaxManifestLineBytes * 2, 'x') + "\r\nm1\t/a\r\n")
        << QStringList{QStringLiteral("/a")} << QStringList{QStringLiteral("m1")};
}

void TestMd5Manifest::readRules()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, paths);
    QFETCH(QStringList, md5s);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("md5.txt"));
    QVERIFY(writeFile(path, content));
    const Md5Manifest read = readManifest(path);
    QCOMPARE(read.keys(), paths);
    QCOMPARE(read.values(), md5s);
}

void TestMd5Manifest::readBinaryGarbage()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("md5.txt"));
    QVERIFY(writeFile(path, QByteArray("\x00\xff\xfe\t\x01\r\n\xff\xff", 9)));
    const Md5Manifest read = readManifest(path);
    QCOMPARE(read.keys(), QStringList{QStringLiteral("\x01")});
}

void TestMd5Manifest::readMissingFileIsEmpty()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(readManifest(dir.filePath(QStringLiteral("absent.txt"))).isEmpty());
    QVERIFY(readManifest(dir.path()).isEmpty());
}

void TestMd5Manifest::diffRules_data()
{
    QTest::addColumn<Md5Manifest>("local");
    QTest::addColumn<Md5Manifest>("remote");
    QTest::addColumn<Md5Manifest>("expected");

    const QString lower = QStringLiteral("0cc175b9c0f1b6a831c399e269772661");
    const QString upper = lower.toUpper();
    const QString other = QStringLiteral("92eb5ffee6ae2fec3ad71c777531578f");
    const QString a = QStringLiteral("/a.dll");
    const QString b = QStringLiteral("/b.dll");

    QTest::newRow("upper-case local value is a difference")
        << Md5Manifest{{a, upper}} << Md5Manifest{{a, lower}} << Md5Manifest{{a, lower}};
    QTest::newRow("local-only path ignored")
        << Md5Manifest{{a, lower}, {b, other}} << Md5Manifest{{a, lower}} << Md5Manifest{};
    QTest::newRow("missing locally is listed")
        << Md5Manifest{{a, lower}} << Md5Manifest{{a, lower}, {b, other}} << Md5Manifest{{b, other}};
    QTest::newRow("changed MD5 takes the server value")
        << Md5Manifest{{a, other}} << Md5Manifest{{a, lower}} << Md5Manifest{{a, lower}};
    QTest::newRow("empty local value always differs")
        << Md5Manifest{{a, QString()}} << Md5Manifest{{a, lower}} << Md5Manifest{{a, lower}};
    QTest::newRow("identical manifests") << Md5Manifest{{a, lower}, {b, other}}
                                         << Md5Manifest{{a, lower}, {b, other}} << Md5Manifest{};
    QTest::newRow("empty server manifest") << Md5Manifest{{a, lower}} << Md5Manifest{} << Md5Manifest{};
    QTest::newRow("empty local manifest")
        << Md5Manifest{} << Md5Manifest{{a, lower}, {b, other}} << Md5Manifest{{a, lower}, {b, other}};
}

void TestMd5Manifest::diffRules()
{
    QFETCH(Md5Manifest, local);
    QFETCH(Md5Manifest, remote);
    QFETCH(Md5Manifest, expected);
    QCOMPARE(diffManifests(local, remote), expected);
}

QTEST_GUILESS_MAIN(TestMd5Manifest)
#include "tst_md5manifest.moc"
