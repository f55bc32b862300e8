#include "http/downloadplan.h"
#include "http/httplayout.h"
#include "http/manifestpathrules.h"

#include <QtTest>

class TestHttpLayout : public QObject
{
    Q_OBJECT

private slots:
    void joinedAsPlainText();
    void tempPathRules_data();
    void tempPathRules();
    void manifestPaths_data();
    void manifestPaths();
    void planRefusals_data();
    void planRefusals();
};

void TestHttpLayout::joinedAsPlainText()
{
    // The usual joins (doubled "/" after the folder, a base without "/") are
    // checked against the server in tst_httpupdate; here the cases it cannot
    // show: characters that would end the path, and a temporary area with
    // its own trailing "/".
    const QString base = QStringLiteral("http://h/?x=1&");
    const QString folder = QStringLiteral("R#2/");
    QCOMPARE(HttpLayout::versionFileUrl(base), QStringLiteral("http://h/?x=1&update.ini"));
    QCOMPARE(HttpLayout::manifestUrl(base, folder), QStringLiteral("http://h/?x=1&R#2/md5.txt"));
    QCOMPARE(HttpLayout::fileUrl(base, folder, QStringLiteral("/C#?%.dll")),
             QStringLiteral("http://h/?x=1&R#2//C%23%3F%25.dll"));
    QCOMPARE(HttpLayout::localFilePath(QStringLiteral("/app/"), QStringLiteral("UpdateTmp/"), QStringLiteral("/a.dll")),
             QStringLiteral("/app/UpdateTmp//a.dll"));
}

void TestHttpLayout::tempPathRules_data()
{
    QTest::addColumn<QString>("tempPath");
    QTest::addColumn<bool>("usable");
    QTest::newRow("plain name") << QStringLiteral("UpdateTmp") << true;
    QTest::newRow("trailing slash") << QStringLiteral("UpdateTmp/") << true;
    QTest::newRow("nested") << QStringLiteral("var/UpdateTmp") << true;
    QTest::newRow("empty would be the installation") << QString() << false;
    QTest::newRow("only slashes") << QStringLiteral("//") << false;
    QTest::newRow("dot-dot leaves the installation") << QStringLiteral("../elsewhere") << false;
    QTest::newRow("dot is the installation") << QStringLiteral(".") << false;
}

void TestHttpLayout::tempPathRules()
{
    QFETCH(QString, tempPath);
    QFETCH(bool, usable);
    QString reason;
    QCOMPARE(HttpLayout::isUsableTempPath(tempPath, &reason), usable);
    QCOMPARE(reason.isEmpty(), usable);
}

void TestHttpLayout::manifestPaths_data()
{
    // The segment rules themselves (device names, colons, control
    // characters, ...) are SafePath's and tested there; these rows check
    // the shape of a whole manifest path.
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    QTest::newRow("file at the root") << QStringLiteral("/a.dll") << true;
    QTest::newRow("nested, non-ASCII and blanks") << QStringLiteral("/数据/说 明.txt") << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("only the leading slash") << QStringLiteral("/") << false;
    QTest::newRow("no leading slash") << QStringLiteral("a.dll") << false;
    QTest::newRow("second leading slash") << QStringLiteral("//etc/passwd") << false;
    QTest::newRow("empty segment inside") << QStringLiteral("/a//b.dll") << false;
    QTest::newRow("trailing slash") << QStringLiteral("/dir/") << false;
    QTest::newRow("dot-dot deeper") << QStringLiteral("/a/../../evil.dll") << false;
    QTest::newRow("segment rules apply") << QStringLiteral("/a\\..\\..\\evil.dll") << false;
    const QString longest = QLatin1Char('/') + QString(ManifestPathRules::kMaxPathLength - 1, QLatin1Char('a'));
    QTest::newRow("longest accepted") << longest << true;
    QTest::newRow("too long") << (longest + QLatin1Char('a')) << false;
}

void TestHttpLayout::manifestPaths()
{
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QString reason;
    QCOMPARE(ManifestPathRules::isSafeManifestPath(path, &reason), safe);
    QCOMPARE(reason.isEmpty(), safe);
}

void TestHttpLayout::planRefusals_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("tempDir");
    QTest::addColumn<QString>("detail");
    const QString tmp = QStringLiteral("/app/UpdateTmp/");
    QTest::newRow("hostile path named, control character hidden")
        << QStringList{QStringLiteral("/../x\n")} << tmp << QStringLiteral("文件路径不安全:/../x\uFFFD");
    QTest::newRow("first hostile path in key order")
        << QStringList{QStringLiteral("//a"), QStringLiteral("/../x")} << tmp << QStringLiteral("文件路径不安全:/../x");
    const QString longPath = QStringLiteral("/../") + QString(500, QLatin1Char('x'));
    QTest::newRow("long hostile path shown cut")
        << QStringList{longPath} << tmp
        << QStringLiteral("文件路径不安全:") + longPath.left(200) + QStringLiteral("...");
    QTest::newRow("temporary directory not absolute")
        << QStringList() << QStringLiteral("../t") << QStringLiteral("临时目录配置无效:../t");
    QTest::newRow("no temporary directory") << QStringList() << QString() << QStringLiteral("临时目录配置无效:");
}

void TestHttpLayout::planRefusals()
{
    QFETCH(QStringList, paths);
    QFETCH(QString, tempDir);
    QFETCH(QString, detail);
    Md5Manifest diff{{QStringLiteral("/a.dll"), QStringLiteral("m")}};
    for (const QString &path : paths)
        diff.insert(path, QStringLiteral("m"));
    QVector<DownloadEntry> plan{DownloadEntry{}};
    QString shown;
    QString reason;
    QVERIFY(!DownloadPlan::build(diff, QStringLiteral("http://h/"), QStringLiteral("R/"), tempDir, &plan, &shown,
                                 &reason));
    QCOMPARE(shown, detail);
    QVERIFY(!reason.isEmpty());
    QVERIFY(plan.isEmpty());
}

QTEST_GUILESS_MAIN(TestHttpLayout)
#include "tst_httplayout.moc"
