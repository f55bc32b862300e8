#include "http/downloadplan.h"
#include "http/httplayout.h"
#include "http/httpreplystatus.h"
#include "http/manifestpathrules.h"

#include <QtTest>

class TestHttpLayout : public QObject
{
    Q_OBJECT

private slots:
    void addresses_data();
    void addresses();
    void localPaths();
    void tempPathRules_data();
    void tempPathRules();
    void manifestPaths_data();
    void manifestPaths();
    void firstUnsafePathInKeyOrder();
    void printableHidesControlCharacters();
    void timeoutIsToldFromCancellation_data();
    void timeoutIsToldFromCancellation();
    void checkDownloadErrorTexts();
    void planFollowsKeyOrder();
    void planRefusals_data();
    void planRefusals();
};

void TestHttpLayout::addresses_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("versionUrl");
    QTest::addColumn<QString>("manifestUrl");
    QTest::addColumn<QString>("fileUrl");

    QTest::newRow("doubled slash after the folder")
        << QStringLiteral("http://h/u/") << QStringLiteral("R2/") << QStringLiteral("/plugins/a.dll")
        << QStringLiteral("http://h/u/update.ini") << QStringLiteral("http://h/u/R2/md5.txt")
        << QStringLiteral("http://h/u/R2//plugins/a.dll");
    QTest::newRow("base without trailing slash is glued on")
        << QStringLiteral("http://h/u") << QStringLiteral("R2/") << QStringLiteral("/a.dll")
        << QStringLiteral("http://h/uupdate.ini") << QStringLiteral("http://h/uR2/md5.txt")
        << QStringLiteral("http://h/uR2//a.dll");
    QTest::newRow("hash, question mark and percent encoded in the path only")
        << QStringLiteral("http://h/?x=1&") << QStringLiteral("R#2/") << QStringLiteral("/C#?%.dll")
        << QStringLiteral("http://h/?x=1&update.ini") << QStringLiteral("http://h/?x=1&R#2/md5.txt")
        << QStringLiteral("http://h/?x=1&R#2//C%23%3F%25.dll");
    QTest::newRow("blanks and non-ASCII left to the toolkit")
        << QStringLiteral("http://h/") << QStringLiteral("R/") << QStringLiteral("/数据 1.txt")
        << QStringLiteral("http://h/update.ini") << QStringLiteral("http://h/R/md5.txt")
        << QStringLiteral("http://h/R//数据 1.txt");
}

void TestHttpLayout::addresses()
{
    QFETCH(QString, base);
    QFETCH(QString, folder);
    QFETCH(QString, path);
    QFETCH(QString, versionUrl);
    QFETCH(QString, manifestUrl);
    QFETCH(QString, fileUrl);
    QCOMPARE(HttpLayout::versionFileUrl(base), versionUrl);
    QCOMPARE(HttpLayout::manifestUrl(base, folder), manifestUrl);
    QCOMPARE(HttpLayout::fileUrl(base, folder, path), fileUrl);
}

void TestHttpLayout::localPaths()
{
    const QString app = QStringLiteral("/opt/client/");
    QCOMPARE(HttpLayout::workingDir(app), QStringLiteral("/opt/client/update/"));
    QCOMPARE(HttpLayout::installedVersionFile(app), QStringLiteral("/opt/client/update/update.ini"));
    QCOMPARE(HttpLayout::serverVersionFile(app), QStringLiteral("/opt/client/update/updateTmp.ini"));
    QCOMPARE(HttpLayout::serverManifestFile(app), QStringLiteral("/opt/client/update/md5Tmp.txt"));
    QCOMPARE(HttpLayout::localManifestFile(app), QStringLiteral("/opt/client/md5.txt"));
    QCOMPARE(HttpLayout::localFilePath(app, QStringLiteral("UpdateTmp"), QStringLiteral("/plugins/a.dll")),
             QStringLiteral("/opt/client/UpdateTmp/plugins/a.dll"));
    QCOMPARE(HttpLayout::localFilePath(app, QStringLiteral("UpdateTmp/"), QStringLiteral("/a.dll")),
             QStringLiteral("/opt/client/UpdateTmp//a.dll"));
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
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    QTest::newRow("file at the root") << QStringLiteral("/a.dll") << true;
    QTest::newRow("nested file") << QStringLiteral("/plugins/imageformats/q.dll") << true;
    QTest::newRow("non-ASCII and blanks") << QStringLiteral("/数据/说 明.txt") << true;
    QTest::newRow("hash in a name") << QStringLiteral("/C#.dll") << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("only the leading slash") << QStringLiteral("/") << false;
    QTest::newRow("no leading slash") << QStringLiteral("a.dll") << false;
    QTest::newRow("second leading slash") << QStringLiteral("//etc/passwd") << false;
    QTest::newRow("empty segment inside") << QStringLiteral("/a//b.dll") << false;
    QTest::newRow("trailing slash") << QStringLiteral("/dir/") << false;
    QTest::newRow("dot-dot segment") << QStringLiteral("/../evil.dll") << false;
    QTest::newRow("dot-dot deeper") << QStringLiteral("/a/../../evil.dll") << false;
    QTest::newRow("dot segment") << QStringLiteral("/./a.dll") << false;
    QTest::newRow("backslash") << QStringLiteral("/a\\..\\..\\evil.dll") << false;
    QTest::newRow("drive letter") << QStringLiteral("/C:/Windows/evil.dll") << false;
    QTest::newRow("control character") << QStringLiteral("/a\x01.dll") << false;
    QTest::newRow("carriage return") << QStringLiteral("/a.dll\r") << false;
    QTest::newRow("device name") << QStringLiteral("/con.txt") << false;
    QTest::newRow("trailing dot") << QStringLiteral("/a.") << false;
    QTest::newRow("longest accepted") << (QStringLiteral("/") + QString(ManifestPathRules::kMaxPathLength - 1, QLatin1Char('a'))) << true;
    QTest::newRow("too long") << (QStringLiteral("/") + QString(ManifestPathRules::kMaxPathLength, QLatin1Char('a'))) << false;
}

void TestHttpLayout::manifestPaths()
{
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QString reason;
    QCOMPARE(ManifestPathRules::isSafeManifestPath(path, &reason), safe);
    QCOMPARE(reason.isEmpty(), safe);
}

void TestHttpLayout::firstUnsafePathInKeyOrder()
{
    const Md5Manifest manifest{{QStringLiteral("/ok.dll"), QStringLiteral("x")},
                               {QStringLiteral("/../b"), QStringLiteral("y")},
                               {QStringLiteral("//a"), QStringLiteral("z")}};
    QString path;
    QString reason;
    QVERIFY(ManifestPathRules::findUnsafePath(manifest, &path, &reason));
    QCOMPARE(path, QStringLiteral("/../b"));
    QVERIFY(!reason.isEmpty());
    QVERIFY(!ManifestPathRules::findUnsafePath(Md5Manifest{{QStringLiteral("/a"), QString()}}, &path, &reason));
}

void TestHttpLayout::printableHidesControlCharacters()
{
    QCOMPARE(ManifestPathRules::printable(QStringLiteral("/a\nb\x7f")), QStringLiteral("/a\uFFFDb\uFFFD"));
    const QString shown = ManifestPathRules::printable(QString(500, QLatin1Char('x')));
    QCOMPARE(shown, QString(200, QLatin1Char('x')) + QStringLiteral("..."));
}

void TestHttpLayout::timeoutIsToldFromCancellation_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("abortedByProgram");
    QTest::addColumn<bool>("timeout");
    QTest::newRow("toolkit time-out code") << int(QNetworkReply::TimeoutError) << false << true;
    QTest::newRow("cancellation nobody asked for") << int(QNetworkReply::OperationCanceledError) << false << true;
    QTest::newRow("cancellation the program asked for") << int(QNetworkReply::OperationCanceledError) << true
                                                        << false;
    QTest::newRow("not found") << int(QNetworkReply::ContentNotFoundError) << false << false;
}

void TestHttpLayout::timeoutIsToldFromCancellation()
{
    QFETCH(int, code);
    QFETCH(bool, abortedByProgram);
    QFETCH(bool, timeout);
    QCOMPARE(HttpReplyStatus::isTimeout(QNetworkReply::NetworkError(code), abortedByProgram), timeout);
}

void TestHttpLayout::checkDownloadErrorTexts()
{
    const QString url = QStringLiteral("http://h/update.ini");
    const QString local = QStringLiteral("/app/update/updateTmp.ini");
    QCOMPARE(HttpReplyStatus::checkDownloadErrorText(QNetworkReply::OperationCanceledError, false, QString(), url,
                                                     local, 120000),
             QStringLiteral("下载超时（120秒）：http://h/update.ini"));
    QCOMPARE(HttpReplyStatus::checkDownloadErrorText(QNetworkReply::OperationCanceledError, true, QString(), url,
                                                     local, 120000),
             QStringLiteral("下载被取消：http://h/update.ini"));
    QCOMPARE(HttpReplyStatus::checkDownloadErrorText(QNetworkReply::ContentNotFoundError, false,
                                                     QStringLiteral("Not Found"), url, local, 120000),
             QStringLiteral("下载错误：Not Found（file：/app/update/updateTmp.ini）"));
}

void TestHttpLayout::planFollowsKeyOrder()
{
    const Md5Manifest diff{{QStringLiteral("/plugins/a.dll"), QStringLiteral("m1")},
                           {QStringLiteral("/B.dll"), QStringLiteral("m2")}};
    QVector<DownloadEntry> plan;
    QString detail;
    QString reason;
    QVERIFY(DownloadPlan::build(diff, QStringLiteral("http://h/"), QStringLiteral("R2/"), QStringLiteral("/app/"),
                                QStringLiteral("UpdateTmp"), &plan, &detail, &reason));
    QVERIFY(detail.isEmpty());
    QCOMPARE(plan.size(), 2);
    QCOMPARE(plan.at(0).url, QStringLiteral("http://h/R2//B.dll"));
    QCOMPARE(plan.at(0).md5, QStringLiteral("m2"));
    QCOMPARE(plan.at(1).url, QStringLiteral("http://h/R2//plugins/a.dll"));
    QCOMPARE(plan.at(1).localPath, QStringLiteral("/app/UpdateTmp/plugins/a.dll"));
    QCOMPARE(plan.at(1).md5, QStringLiteral("m1"));
}

void TestHttpLayout::planRefusals_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("tempPath");
    QTest::addColumn<QString>("detail");
    QTest::newRow("hostile path named, control character hidden")
        << QStringLiteral("/../x\n") << QStringLiteral("UpdateTmp") << QStringLiteral("文件路径不安全:/../x\uFFFD");
    QTest::newRow("empty temporary area") << QStringLiteral("/a.dll") << QString()
                                          << QStringLiteral("临时目录配置无效:");
    QTest::newRow("temporary area outside") << QStringLiteral("/a.dll") << QStringLiteral("../t")
                                            << QStringLiteral("临时目录配置无效:../t");
}

void TestHttpLayout::planRefusals()
{
    QFETCH(QString, path);
    QFETCH(QString, tempPath);
    QFETCH(QString, detail);
    const Md5Manifest diff{{QStringLiteral("/a.dll"), QStringLiteral("m")}, {path, QStringLiteral("m")}};
    QVector<DownloadEntry> plan{DownloadEntry{}};
    QString shown;
    QString reason;
    QVERIFY(!DownloadPlan::build(diff, QStringLiteral("http://h/"), QStringLiteral("R/"), QStringLiteral("/app/"),
                                 tempPath, &plan, &shown, &reason));
    QCOMPARE(shown, detail);
    QVERIFY(!reason.isEmpty());
    QVERIFY(plan.isEmpty());
}

QTEST_GUILESS_MAIN(TestHttpLayout)
#include "tst_httplayout.moc"
