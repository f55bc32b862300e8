#include "config/compactmanifest.h"
#include "config/md5manifest.h"
#include "testinstallation.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

namespace {

QStringList list(const char *joined)
{
    return QString::fromUtf8(joined).split(QLatin1Char('|'));
}

} // namespace

class TestMd5Manifest : public QObject
{
    Q_OBJECT

private slots:
    void fileMd5StreamsLargeFile();

    void generateAndReadBack_data();
    void generateAndReadBack();
    void unreadableFileGetsEmptyMd5();
    void unopenableInputs();
    void linkCycleIsListedOnce();

    void readRules_data();
    void readRules();

    void compactServerManifest();
    void readUnderGbkLocale_data();
    void readUnderGbkLocale();
    void diffRules_data();
    void diffRules();
};

void TestMd5Manifest::fileMd5StreamsLargeFile()
{
    // Several hash chunks plus a ragged tail; small files are checked through
    // the generated manifests below.
    QTemporaryDir dir;
    QByteArray data;
    for (qint64 i = 0; data.size() < 3 * 1024 * 1024 + 77; ++i)
        data.append(QByteArray::number(i * 7919));
    QVERIFY(writeTestFile(dir.filePath(QStringLiteral("big.bin")), data));
    QCOMPARE(fileMd5(dir.filePath(QStringLiteral("big.bin"))), md5Hex(data));
}

void TestMd5Manifest::generateAndReadBack_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("expectedPaths");
    QTest::newRow("empty file") << list("empty.txt") << list("/empty.txt");
    QTest::newRow("nested directories") << list("bin/core.dll|bin/plugins/a.dll|x.exe")
                                        << list("/bin/core.dll|/bin/plugins/a.dll|/x.exe");
    QTest::newRow("hidden file and hidden directory left out")
        << list(".hidden|.git/config|seen.txt") << list("/seen.txt");
    QTest::newRow("B.dll before a.dll") << list("a.dll|B.dll") << list("/B.dll|/a.dll");
    QTest::newRow("non-ASCII name") << list("数据/说明.txt") << list("/数据/说明.txt");
    QTest::newRow("empty tree") << QStringList() << QStringList();
}

void TestMd5Manifest::generateAndReadBack()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, expectedPaths);
    QTemporaryDir dir;
    Md5Manifest built;
    for (const QString &name : files) {
        // Every file gets distinct content; the empty file stays empty.
        const QByteArray content = name.startsWith(QLatin1String("empty")) ? QByteArray() : name.toUtf8();
        QVERIFY(writeTestFile(dir.filePath(name), content));
        built.insert(QLatin1Char('/') + name, md5Hex(content));
    }
    const QString root = dir.path() + QLatin1Char('/');
    QVERIFY(generateManifest(root));

    // The exact file: one "md5<TAB>path" line per file in path order, CR LF;
    // reading it back gives the map that generation built.
    Md5Manifest expected;
    QString text;
    for (const QString &path : expectedPaths) {
        expected.insert(path, built.value(path));
        text += built.value(path) + QLatin1Char('\t') + path + QStringLiteral("\r\n");
    }
    // In the locale's encoding, or in UTF-8 when the locale cannot hold the
    // names (a Western Windows code page and Chinese names).
    const QTextCodec *locale = QTextCodec::codecForLocale();
    const QByteArray localBytes = locale->fromUnicode(text);
    QCOMPARE(readTestFile(root + QStringLiteral("md5.txt")),
             locale->toUnicode(localBytes) == text ? localBytes : text.toUtf8());
    QCOMPARE(readManifest(root + QStringLiteral("md5.txt")), expected);
}

void TestMd5Manifest::unreadableFileGetsEmptyMd5()
{
    // Root reads anything that opens, so the file is a link to a kernel file
    // that opens but fails on the first read.
    QTemporaryDir dir;
    const QString bad = dir.filePath(QStringLiteral("unreadable.bin"));
    if (!QFile::exists(QStringLiteral("/proc/self/mem")) || !QFile::link(QStringLiteral("/proc/self/mem"), bad)
        || !fileMd5(bad).isEmpty())
        QSKIP("no file here that opens but cannot be read by root");
    QVERIFY(writeTestFile(dir.filePath(QStringLiteral("ok.txt")), "ok"));
    QVERIFY(generateManifest(dir.path() + QLatin1Char('/')));

    QCOMPARE(readTestFile(dir.filePath(QStringLiteral("md5.txt"))),
             md5Hex("ok").toLatin1() + "\t/ok.txt\r\n\t/unreadable.bin\r\n");
    const Md5Manifest read = readManifest(dir.filePath(QStringLiteral("md5.txt")));
    QVERIFY(read.contains(QStringLiteral("/unreadable.bin")));
    QCOMPARE(read.value(QStringLiteral("/unreadable.bin")), QString());
}

void TestMd5Manifest::unopenableInputs()
{
    QVERIFY(!generateManifest(QString()));
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("absent.txt"));
    QVERIFY(readManifest(missing).isEmpty());
    // A directory where the manifest file should go binds root too; it opens
    // on Linux but cannot be read.
    const QString asDir = dir.filePath(QStringLiteral("md5.txt"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("md5.txt")));
    QVERIFY(writeTestFile(dir.filePath(QStringLiteral("a.txt")), "a"));
    QVERIFY(!generateManifest(dir.path() + QLatin1Char('/')));
    QVERIFY(readManifest(asDir).isEmpty());
    for (const QString &path : {missing, asDir}) {
        QString error;
        QCOMPARE(fileMd5(path, &error), QString());
        QVERIFY2(!error.isEmpty(), qPrintable(path));
    }
}

void TestMd5Manifest::linkCycleIsListedOnce()
{
#ifdef Q_OS_WIN
    QSKIP("QFile::link makes a shortcut on Windows, an ordinary file; a symbolic link needs a privilege");
#endif // Q_OS_WIN
    QTemporaryDir dir;
    QVERIFY(writeTestFile(dir.filePath(QStringLiteral("sub/file.txt")), "x"));
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
    const auto row = [](const char *name, const QByteArray &content, const char *paths, const char *md5s) {
        QTest::newRow(name) << content << list(paths) << list(md5s);
    };
    row("line without TAB skipped", "no tab here\r\nm1\t/a\r\n", "/a", "m1");
    row("blank line skipped", "\r\nm1\t/a\r\n\n", "/a", "m1");
    row("TAB only gives empty path and MD5", "\t\r\n", "", "");
    row("duplicate path keeps the second", "m1\t/a\r\nm2\t/a\r\n", "/a", "m2");
    row("parts after the second ignored", "m1\t/a\textra\r\n", "/a", "m1");
    row("LF line ends, the last line without one", "m1\t/a\nm2\t/b", "/a|/b", "m1|m2");
    row("nothing trimmed or folded", "ABC \t /a b\r\n", " /a b", "ABC ");
    row("over-long line skipped, next line read",
        "m0\t/" + QByteArray(kMaxManifestLineBytes * 2, 'x') + "\r\nm1\t/a\r\n", "/a", "m1");
    row("binary garbage does no harm", QByteArray("\x01\x02\t\x03\r\n\xff\xfe\x00\xff", 10), "\x03", "\x01\x02");
}

void TestMd5Manifest::readRules()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, paths);
    QFETCH(QStringList, md5s);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("md5.txt"));
    QVERIFY(writeTestFile(path, content));
    const Md5Manifest read = readManifest(path);
    QCOMPARE(read.keys(), paths);
    QCOMPARE(read.values(), md5s);
    // The compact form reads the same entries.
    CompactManifest compact;
    QVERIFY(compact.read(path));
    QCOMPARE(compact.toManifest(), read);
}

// Peak memory of this process in KiB since the last reset, or -1.
qint64 peakKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void TestMd5Manifest::compactServerManifest()
{
    // 300,000 lines (about 17 MB), a tenth of them differing from the local
    // manifest, in random order with upper-case MD5s and duplicates mixed in.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("md5Tmp.txt"));
    Md5Manifest local;
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray chunk;
        for (int i = 0; i < 300000; ++i) {
            const int n = static_cast<int>((qint64(i) * 7919) % 300000);
            const QByteArray md5 = QCryptographicHash::hash(QByteArray::number(n), QCryptographicHash::Md5).toHex();
            const QByteArray filePath = "/bin/dir" + QByteArray::number(n % 97) + "/file" + QByteArray::number(n) + ".dll";
            chunk += (n % 1000 == 0 ? md5.toUpper() : md5) + '\t' + filePath + "\r\n";
            if (n % 10 != 0)
                local.insert(QString::fromLatin1(filePath), QString::fromLatin1(n % 1000 == 0 ? md5.toUpper() : md5));
            if (chunk.size() > 1 << 20) {
                QCOMPARE(file.write(chunk), qint64(chunk.size()));
                chunk.clear();
            }
        }
        chunk += "0123\t/bin/dir0/file0.dll\r\n"; // a later line for a path wins
        QCOMPARE(file.write(chunk), qint64(chunk.size()));
    }
    const qint64 fileKiB = QFileInfo(path).size() / 1024;
    QFile reset(QStringLiteral("/proc/self/clear_refs"));
    const bool measured = reset.open(QIODevice::WriteOnly) && reset.write("5") == 1;
    reset.close();
    const qint64 before = peakKiB();

    CompactManifest compact;
    ManifestReadStats stats;
    QVERIFY(compact.read(path, &stats));
    const qint64 cost = peakKiB() - before;
    QCOMPARE(compact.size(), 300000);
    QCOMPARE(stats.entryLines, 300001);
    const Md5Manifest diff = compact.differencesFrom(local);
    QCOMPARE(diff.size(), 30000);
    QCOMPARE(diff.value(QStringLiteral("/bin/dir0/file0.dll")), QStringLiteral("0123"));
    QCOMPARE(diff, diffManifests(local, readManifest(path)));
    if (!measured || before < 0)
        QSKIP("no /proc/self/clear_refs to measure the peak");
    qInfo("compact manifest of %lld KiB cost %lld KiB at its peak", fileKiB, cost);
#ifdef __SANITIZE_ADDRESS__
    QSKIP("AddressSanitizer's red zones and quarantine inflate every allocation; the peak is checked in the plain build");
#endif
    QVERIFY2(cost <= 3 * fileKiB, qPrintable(QString::number(cost)));
}

void TestMd5Manifest::readUnderGbkLocale_data()
{
    QTest::addColumn<QByteArray>("codec");
    QTest::newRow("UTF-8 manifest from another platform") << QByteArray("UTF-8");
    QTest::newRow("GBK manifest written natively") << QByteArray("GBK");
}

void TestMd5Manifest::readUnderGbkLocale()
{
    QFETCH(QByteArray, codec);
    const QString line = QStringLiteral("m1\t/数据/说明.txt\r\nm2\t/plain.txt\r\n");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("md5.txt"));
    QVERIFY(writeTestFile(path, QTextCodec::codecForName(codec)->fromUnicode(line)));
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("GBK"));
    ManifestReadStats stats;
    const Md5Manifest read = readManifest(path, &stats);
    QTextCodec::setCodecForLocale(nullptr);
    QCOMPARE(read.keys(), list("/plain.txt|/数据/说明.txt"));
    QCOMPARE(stats.utf8, codec == "UTF-8");
    QCOMPARE(stats.entryLines, 2);
    QCOMPARE(stats.linesWithoutTab, 0);
}

void TestMd5Manifest::diffRules_data()
{
    QTest::addColumn<Md5Manifest>("local");
    QTest::addColumn<Md5Manifest>("remote");
    QTest::addColumn<Md5Manifest>("expected");
    const QString lower = QStringLiteral("0cc175b9c0f1b6a831c399e269772661");
    const QString other = QStringLiteral("92eb5ffee6ae2fec3ad71c777531578f");
    const QString a = QStringLiteral("/a.dll");
    const QString b = QStringLiteral("/b.dll");
    const Md5Manifest both{{a, lower}, {b, other}};

    QTest::newRow("MD5 compared case-sensitively")
        << Md5Manifest{{a, lower.toUpper()}} << Md5Manifest{{a, lower}} << Md5Manifest{{a, lower}};
    QTest::newRow("local-only path ignored") << both << Md5Manifest{{a, lower}} << Md5Manifest{};
    QTest::newRow("missing locally is listed") << Md5Manifest{{a, lower}} << both << Md5Manifest{{b, other}};
    QTest::newRow("changed MD5 takes the server value")
        << Md5Manifest{{a, other}} << Md5Manifest{{a, lower}} << Md5Manifest{{a, lower}};
    QTest::newRow("empty local value always differs")
        << Md5Manifest{{a, QString()}} << Md5Manifest{{a, lower}} << Md5Manifest{{a, lower}};
    QTest::newRow("identical manifests") << both << both << Md5Manifest{};
    QTest::newRow("empty server manifest") << both << Md5Manifest{} << Md5Manifest{};
    QTest::newRow("empty local manifest") << Md5Manifest{} << both << both;
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
