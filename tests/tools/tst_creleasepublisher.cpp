#include "tools/make_release/creleasepublisher.h"

#include "testinstallation.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

class TestReleasePublisher : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void publishesTheServerTree();
    void refusals_data();
    void refusals();
    void commandLine();
    void manifestEncodings_data();
    void manifestEncodings();

private:
    QString path(const QString &relative) const { return dir->filePath(relative); }
    QString servedValue(const char *key) const
    {
        return QSettings(path(QStringLiteral("www/update.ini")), QSettings::IniFormat)
            .value(QLatin1String(key))
            .toString();
    }

    std::unique_ptr<QTemporaryDir> dir;
};

void TestReleasePublisher::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    const QMap<QString, QByteArray> files{{QStringLiteral("client.exe"), "program"},
                                          {QStringLiteral("plugins/a.dll"), "plugin"},
                                          {QStringLiteral("B.dll"), "upper"},
                                          {QStringLiteral("empty.dat"), QByteArray()},
                                          {QStringLiteral("数据/说明.txt"), "说明"},
                                          {QStringLiteral(".hidden"), "left out"},
                                          {QStringLiteral("md5.txt"), "the installation's own manifest"}};
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QVERIFY(writeTestFile(path(QStringLiteral("client/") + it.key()), it.value()));
}

void TestReleasePublisher::publishesTheServerTree()
{
    // A version text with blanks at both ends, INI specials and non-ASCII
    // characters comes back from update.ini unchanged.
    const QString version = QStringLiteral(" 版本 1.0; beta=\"2\" #x, y ");
    CReleasePublisher publisher(
        ReleaseOptions{path(QStringLiteral("client")), version, QStringLiteral("R2"), path(QStringLiteral("www")), QStringLiteral("utf-8")});
    QVERIFY2(publisher.publish(), qPrintable(publisher.errorString()));
    QVERIFY(publisher.errorString().isEmpty());
    QCOMPARE(servedValue("Version/Folder"), QStringLiteral("R2"));
    QCOMPARE(servedValue("Version/Version"), version);
    // What the manifest must hold, for the client to tell a cut one.
    QCOMPARE(servedValue("Version/ManifestSize"),
             QString::number(QFileInfo(path(QStringLiteral("www/R2/md5.txt"))).size()));
    QCOMPARE(servedValue("Version/ManifestFiles"), QStringLiteral("5"));
    QCOMPARE(servedValue("Download/Connections"), QStringLiteral("6"));

    // The release manifest, not the installation's own md5.txt, is served,
    // and hidden files are left out.
    const Md5Manifest manifest = readManifest(path(QStringLiteral("www/R2/md5.txt")));
    const QStringList expectedPaths{QStringLiteral("/B.dll"), QStringLiteral("/client.exe"),
                                    QStringLiteral("/empty.dat"), QStringLiteral("/plugins/a.dll"),
                                    QStringLiteral("/数据/说明.txt")};
    QCOMPARE(manifest.keys(), expectedPaths);
    QCOMPARE(publisher.manifest(), manifest);
    for (const QString &file : expectedPaths) {
        const QByteArray original = readTestFile(path(QStringLiteral("client") + file));
        QCOMPARE(readTestFile(path(QStringLiteral("www/R2") + file)), original);
        QCOMPARE(manifest.value(file), md5Hex(original));
    }
    QCOMPARE(publisher.byteCount(), qint64(QByteArray("program"
                                                      "plugin"
                                                      "upper"
                                                      "说明")
                                               .size()));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("www/R2/.hidden"))));
    // No scratch files remain beside update.ini.
    QCOMPARE(QDir(path(QStringLiteral("www"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{QStringLiteral("R2"), QStringLiteral("update.ini")}));
}

void TestReleasePublisher::refusals_data()
{
    // "obstacle" (below the temporary directory) is made first: a file, or a
    // directory when it ends with "/"; both stop root too.
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("errorPart");
    const auto row = [](const char *name, const char *version, const char *folder, const char *source,
                        const char *output, const char *obstacle, const char *errorPart) {
        QTest::newRow(name) << QString::fromUtf8(version) << QString::fromUtf8(folder) << QString::fromUtf8(source)
                            << QString::fromUtf8(output) << QString::fromUtf8(obstacle) << QString::fromUtf8(errorPart);
    };
    row("missing source", "2.0", "R2", "absent", "www", "", "source directory");
    row("empty version", "", "R2", "client", "www", "", "version");
    row("version with a line break", "1.0\n[Evil]", "R2", "client", "www", "", "version");
    row("folder with dot-dot", "2.0", "..", "client", "www", "", "folder");
    row("folder with a slash", "2.0", "a/b", "client", "www", "", "folder");
    row("folder named like the version file", "2.0", "Update.ini", "client", "www", "", "folder");
    row("output inside the source", "2.0", "R2", "client", "client/www", "", "contain");
    row("name clients refuse", "2.0", "R2", "client", "www", "client/plugins/con.txt", "clients would refuse");
    row("output parent is a file", "2.0", "R2", "client", "plain/www", "plain", "output directory");
    row("version file cannot be written", "2.0", "R2", "client", "www", "www/update.ini/", "update.ini");
    row("paths differ only in letter case", "2.0", "R2", "client", "www", "client/PLUGINS/a.dll",
        "/PLUGINS/a.dll and /plugins/a.dll");
    // The update service's file entries hold a name of 31 and a directory of
    // 127 UTF-8 bytes.
    const QByteArray longName = "client/" + QByteArray(32, 'n') + ".d";
    const QByteArray longDir = "client/" + QByteArray(64, 'd') + '/' + QByteArray(63, 'e') + "/x.dll";
    const QByteArray longNameError = "cannot carry the path /" + longName.mid(7) + ':';
    const QByteArray longDirError = "cannot carry the path /" + longDir.mid(7) + ':';
    row("file name over 31 UTF-8 bytes", "2.0", "R2", "client", "www", longName.constData(),
        longNameError.constData());
    row("file name of 11 Chinese characters is 33 UTF-8 bytes", "2.0", "R2", "client", "www",
        "client/数据/一二三四五六七八九十百", "cannot carry the path /数据/一二三四五六七八九十百:");
    row("directory path over 127 UTF-8 bytes", "2.0", "R2", "client", "www", longDir.constData(),
        longDirError.constData());
}

void TestReleasePublisher::refusals()
{
    QFETCH(QString, version);
    QFETCH(QString, folder);
    QFETCH(QString, source);
    QFETCH(QString, output);
    QFETCH(QString, obstacle);
    QFETCH(QString, errorPart);
#ifdef Q_OS_WIN
    // Such a source tree cannot exist on Windows: it names a device, or the
    // second spelling is the same directory there.
    const QByteArray tag = QTest::currentDataTag();
    if (tag == "name clients refuse" || tag == "paths differ only in letter case")
        QSKIP("Windows file names cannot hold this tree");
#endif // Q_OS_WIN
    if (obstacle.endsWith(QLatin1Char('/')))
        QVERIFY(QDir().mkpath(path(obstacle)));
    else if (!obstacle.isEmpty())
        QVERIFY(writeTestFile(path(obstacle), "in the way"));
    CReleasePublisher publisher(ReleaseOptions{path(source), version, folder, path(output)});
    QVERIFY(!publisher.publish());
    QVERIFY2(publisher.errorString().contains(errorPart), qPrintable(publisher.errorString()));
    QVERIFY(!QFileInfo(path(output) + QStringLiteral("/update.ini")).isFile());
    // Refused before anything was copied (only the version file comes after the copies).
    if (QByteArray(QTest::currentDataTag()) != "version file cannot be written")
        QVERIFY(!QFileInfo::exists(path(output) + QLatin1Char('/') + folder + QStringLiteral("/client.exe")));
}

void TestReleasePublisher::commandLine()
{
    QProcess tool;
    const auto run = [this, &tool](const char *version, const char *folder) {
        QStringList args{QStringLiteral("--source"), path(QStringLiteral("client"))};
        if (version)
            args << QStringLiteral("--version") << QLatin1String(version) << QStringLiteral("--folder")
                 << QLatin1String(folder) << QStringLiteral("--output") << path(QStringLiteral("www"));
        tool.start(QStringLiteral(MAKE_RELEASE_PATH), args);
        return tool.waitForFinished(30000) ? tool.exitCode() : -1;
    };
    QCOMPARE(run(nullptr, nullptr), 2);
    QCOMPARE(run("1.0", "R1"), 0);
    QCOMPARE(run("3.0", "R3"), 0);
    QVERIFY2(tool.readAllStandardOutput().startsWith("published 5 files"), "summary line expected");
    QVERIFY(QFileInfo::exists(path(QStringLiteral("www/R3/plugins/a.dll"))));
    // Older releases stay beside the new one; a published folder is never
    // rewritten, and update.ini keeps naming it.
    QVERIFY(QFileInfo::exists(path(QStringLiteral("www/R1/md5.txt"))));
    QCOMPARE(run("3.1", "R3"), 1);
    QVERIFY2(tool.readAllStandardError().contains("already exists"), "reason expected");
    QCOMPARE(servedValue("Version/Folder"), QStringLiteral("R3"));
    QCOMPARE(servedValue("Version/Version"), QStringLiteral("3.0"));
    // A name the TCP service could not carry fails the tool, naming the file.
    QVERIFY(writeTestFile(path(QStringLiteral("client/a-file-name-of-more-than-31-bytes.dll")), "x"));
    QCOMPARE(run("4.0", "R4"), 1);
    QVERIFY2(tool.readAllStandardError().contains("/a-file-name-of-more-than-31-bytes.dll"), "file name expected");
    QCOMPARE(servedValue("Version/Version"), QStringLiteral("3.0"));
}

void TestReleasePublisher::manifestEncodings_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QString>("extraFile");
    QTest::addColumn<QString>("errorPart");
    QTest::newRow("utf-8") << QStringLiteral("utf-8") << QString() << QString();
    QTest::newRow("gbk") << QStringLiteral("gbk") << QString() << QString();
    QTest::newRow("gbk cannot hold a snowflake") << QStringLiteral("gbk") << QStringLiteral("❄.txt")
                                                 << QStringLiteral("cannot hold");
    QTest::newRow("unknown encoding") << QStringLiteral("latin1") << QString() << QStringLiteral("encoding");
}

void TestReleasePublisher::manifestEncodings()
{
    QFETCH(QString, encoding);
    QFETCH(QString, extraFile);
    QFETCH(QString, errorPart);
    if (!extraFile.isEmpty())
        QVERIFY(writeTestFile(path(QStringLiteral("client/") + extraFile), "x"));
    CReleasePublisher publisher(ReleaseOptions{path(QStringLiteral("client")), QStringLiteral("2.0"), QStringLiteral("R2"),
                                               path(QStringLiteral("www")), encoding});
    QCOMPARE(publisher.publish(), errorPart.isEmpty());
    QVERIFY2(publisher.errorString().contains(errorPart), qPrintable(publisher.errorString()));
    if (!errorPart.isEmpty())
        return;
    // A client whose locale is GBK (Chinese Windows) reads either encoding.
    QTextCodec *const gbk = QTextCodec::codecForName("GBK");
    QTextCodec::setCodecForLocale(gbk);
    const Md5Manifest served = readManifest(path(QStringLiteral("www/R2/md5.txt")));
    QTextCodec::setCodecForLocale(nullptr);
    QCOMPARE(served, publisher.manifest());
    QVERIFY(served.contains(QStringLiteral("/数据/说明.txt")));
    QTextCodec *const written = encoding == QLatin1String("gbk") ? gbk : QTextCodec::codecForName("UTF-8");
    QVERIFY(readTestFile(path(QStringLiteral("www/R2/md5.txt"))).contains(written->fromUnicode(QStringLiteral("说明"))));
}

QTEST_GUILESS_MAIN(TestReleasePublisher)
#include "tst_creleasepublisher.moc"
