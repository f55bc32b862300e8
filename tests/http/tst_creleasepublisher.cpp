#include "tools/make_release/creleasepublisher.h"

#include "testinstallation.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class TestReleasePublisher : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void publishesTheServerTree();
    void versionTextsRoundTrip_data();
    void versionTextsRoundTrip();
    void refusals_data();
    void refusals();
    void publishedFolderIsNeverRewritten();
    void olderReleasesStayBeside();
    void unwritableVersionFileFails();
    void commandLine();

private:
    ReleaseOptions options(const QString &version = QStringLiteral("2.0.1"),
                           const QString &folder = QStringLiteral("R2")) const;

    std::unique_ptr<QTemporaryDir> dir;
};

void TestReleasePublisher::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    const QString src = dir->filePath(QStringLiteral("client"));
    QVERIFY(writeTestFile(src + QStringLiteral("/client.exe"), "program"));
    QVERIFY(writeTestFile(src + QStringLiteral("/plugins/a.dll"), "plugin"));
    QVERIFY(writeTestFile(src + QStringLiteral("/B.dll"), "upper"));
    QVERIFY(writeTestFile(src + QStringLiteral("/empty.dat"), QByteArray()));
    QVERIFY(writeTestFile(src + QStringLiteral("/数据/说明.txt"), "说明"));
    QVERIFY(writeTestFile(src + QStringLiteral("/.hidden"), "left out"));
    QVERIFY(writeTestFile(src + QStringLiteral("/md5.txt"), "the installation's own manifest"));
}

ReleaseOptions TestReleasePublisher::options(const QString &version, const QString &folder) const
{
    return ReleaseOptions{dir->filePath(QStringLiteral("client")), version, folder,
                          dir->filePath(QStringLiteral("www"))};
}

void TestReleasePublisher::publishesTheServerTree()
{
    CReleasePublisher publisher(options());
    QVERIFY2(publisher.publish(), qPrintable(publisher.errorText()));
    QVERIFY(publisher.errorText().isEmpty());

    const QString www = dir->filePath(QStringLiteral("www"));
    const QSettings ini(www + QStringLiteral("/update.ini"), QSettings::IniFormat);
    QCOMPARE(ini.value(QStringLiteral("Version/Folder")).toString(), QStringLiteral("R2"));
    QCOMPARE(ini.value(QStringLiteral("Version/Version")).toString(), QStringLiteral("2.0.1"));

    const Md5Manifest manifest = readManifest(www + QStringLiteral("/R2/md5.txt"));
    const QStringList expectedPaths{QStringLiteral("/B.dll"), QStringLiteral("/client.exe"),
                                    QStringLiteral("/empty.dat"), QStringLiteral("/plugins/a.dll"),
                                    QStringLiteral("/数据/说明.txt")};
    QCOMPARE(manifest.keys(), expectedPaths);
    QCOMPARE(publisher.manifest(), manifest);
    QCOMPARE(manifest.value(QStringLiteral("/empty.dat")), md5Hex(QByteArray()));
    for (const QString &path : expectedPaths) {
        const QByteArray original = readTestFile(dir->filePath(QStringLiteral("client")) + path);
        QCOMPARE(readTestFile(www + QStringLiteral("/R2") + path), original);
        QCOMPARE(manifest.value(path), md5Hex(original));
    }
    QCOMPARE(publisher.byteCount(), qint64(QByteArray("program" "plugin" "upper").size() + QByteArray("说明").size()));
    QVERIFY(!QFileInfo::exists(www + QStringLiteral("/R2/.hidden")));
    // The release manifest, not the installation's own, is the one served.
    QVERIFY(readTestFile(www + QStringLiteral("/R2/md5.txt")).startsWith(md5Hex("upper").toLatin1() + "\t/B.dll\r\n"));
    // No scratch files remain beside update.ini.
    QCOMPARE(QDir(www).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{QStringLiteral("R2"), QStringLiteral("update.ini")}));
}

void TestReleasePublisher::versionTextsRoundTrip_data()
{
    QTest::addColumn<QString>("version");
    QTest::newRow("plain") << QStringLiteral("1.0.10");
    QTest::newRow("INI specials") << QStringLiteral("1.0; beta=\"2\" #x, y");
    QTest::newRow("non-ASCII") << QStringLiteral("版本 2.0");
    QTest::newRow("leading and trailing blanks") << QStringLiteral(" 2.0 ");
}

void TestReleasePublisher::versionTextsRoundTrip()
{
    QFETCH(QString, version);
    CReleasePublisher publisher(options(version));
    QVERIFY2(publisher.publish(), qPrintable(publisher.errorText()));
    const QSettings ini(dir->filePath(QStringLiteral("www/update.ini")), QSettings::IniFormat);
    QCOMPARE(ini.value(QStringLiteral("Version/Version")).toString(), version);
}

void TestReleasePublisher::refusals_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("errorPart");
    QTest::newRow("missing source") << QStringLiteral("source") << QStringLiteral("source directory");
    QTest::newRow("empty version") << QStringLiteral("emptyVersion") << QStringLiteral("version");
    QTest::newRow("version with a line break") << QStringLiteral("newline") << QStringLiteral("version");
    QTest::newRow("folder with dot-dot") << QStringLiteral("dotdot") << QStringLiteral("folder");
    QTest::newRow("folder with a slash") << QStringLiteral("slash") << QStringLiteral("folder");
    QTest::newRow("folder named like the version file") << QStringLiteral("ini") << QStringLiteral("folder");
    QTest::newRow("output inside the source") << QStringLiteral("nested") << QStringLiteral("contain");
    QTest::newRow("name clients refuse") << QStringLiteral("badName") << QStringLiteral("clients would refuse");
    QTest::newRow("output parent is a file") << QStringLiteral("outputFile") << QStringLiteral("output directory");
}

void TestReleasePublisher::refusals()
{
    QFETCH(QString, what);
    QFETCH(QString, errorPart);
    ReleaseOptions o = options();
    if (what == QLatin1String("source"))
        o.sourceDir = dir->filePath(QStringLiteral("absent"));
    else if (what == QLatin1String("emptyVersion"))
        o.version.clear();
    else if (what == QLatin1String("newline"))
        o.version = QStringLiteral("1.0\n[Evil]");
    else if (what == QLatin1String("dotdot"))
        o.folder = QStringLiteral("..");
    else if (what == QLatin1String("slash"))
        o.folder = QStringLiteral("a/b");
    else if (what == QLatin1String("ini"))
        o.folder = QStringLiteral("Update.ini");
    else if (what == QLatin1String("nested"))
        o.outputDir = o.sourceDir + QStringLiteral("/www");
    else if (what == QLatin1String("badName"))
        QVERIFY(writeTestFile(o.sourceDir + QStringLiteral("/plugins/con.txt"), "device name"));
    else if (what == QLatin1String("outputFile")) {
        QVERIFY(writeTestFile(dir->filePath(QStringLiteral("plain")), "file"));
        o.outputDir = dir->filePath(QStringLiteral("plain/www"));
    }
    CReleasePublisher publisher(o);
    QVERIFY(!publisher.publish());
    QVERIFY2(publisher.errorText().contains(errorPart), qPrintable(publisher.errorText()));
    QVERIFY(!QFileInfo::exists(o.outputDir + QStringLiteral("/update.ini")));
}

void TestReleasePublisher::publishedFolderIsNeverRewritten()
{
    QVERIFY(CReleasePublisher(options()).publish());
    CReleasePublisher again(options(QStringLiteral("2.0.2")));
    QVERIFY(!again.publish());
    QVERIFY2(again.errorText().contains(QStringLiteral("already exists")), qPrintable(again.errorText()));
    const QSettings ini(dir->filePath(QStringLiteral("www/update.ini")), QSettings::IniFormat);
    QCOMPARE(ini.value(QStringLiteral("Version/Version")).toString(), QStringLiteral("2.0.1"));
}

void TestReleasePublisher::olderReleasesStayBeside()
{
    QVERIFY(CReleasePublisher(options(QStringLiteral("1.0"), QStringLiteral("R1"))).publish());
    QVERIFY(CReleasePublisher(options(QStringLiteral("2.0"), QStringLiteral("R2"))).publish());
    const QSettings ini(dir->filePath(QStringLiteral("www/update.ini")), QSettings::IniFormat);
    QCOMPARE(ini.value(QStringLiteral("Version/Folder")).toString(), QStringLiteral("R2"));
    QVERIFY(QFileInfo::exists(dir->filePath(QStringLiteral("www/R1/md5.txt"))));
}

void TestReleasePublisher::unwritableVersionFileFails()
{
    // A directory where update.ini must go stops even root.
    QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("www/update.ini"))));
    CReleasePublisher publisher(options());
    QVERIFY(!publisher.publish());
    QVERIFY2(publisher.errorText().contains(QStringLiteral("update.ini")), qPrintable(publisher.errorText()));
    QVERIFY(QFileInfo(dir->filePath(QStringLiteral("www/update.ini"))).isDir());
}

void TestReleasePublisher::commandLine()
{
    QProcess tool;
    tool.start(QStringLiteral(MAKE_RELEASE_PATH), {QStringLiteral("--source"), dir->filePath(QStringLiteral("client"))});
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitCode(), 2);

    tool.start(QStringLiteral(MAKE_RELEASE_PATH),
               {QStringLiteral("--source"), dir->filePath(QStringLiteral("client")), QStringLiteral("--version"),
                QStringLiteral("3.0"), QStringLiteral("--folder"), QStringLiteral("R3"), QStringLiteral("--output"),
                dir->filePath(QStringLiteral("www"))});
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitCode(), 0);
    QVERIFY2(tool.readAllStandardOutput().startsWith("published 5 files"), "summary line expected");
    QVERIFY(QFileInfo::exists(dir->filePath(QStringLiteral("www/R3/plugins/a.dll"))));

    // The same folder again is refused with exit code 1.
    tool.start(QStringLiteral(MAKE_RELEASE_PATH),
               {QStringLiteral("--source"), dir->filePath(QStringLiteral("client")), QStringLiteral("--version"),
                QStringLiteral("3.1"), QStringLiteral("--folder"), QStringLiteral("R3"), QStringLiteral("--output"),
                dir->filePath(QStringLiteral("www"))});
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitCode(), 1);
    QVERIFY(!tool.readAllStandardError().isEmpty());
}

QTEST_GUILESS_MAIN(TestReleasePublisher)
#include "tst_creleasepublisher.moc"
