#include "fileops/safepath.h"

#include <QtTest>

class TestSafePath : public QObject
{
    Q_OBJECT

private slots:
    void relativePath_data();
    void relativePath();
    void fileName_data();
    void fileName();
    void join_data();
    void join();
};

void TestSafePath::relativePath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    QTest::newRow("empty is the root") << QString() << true;
    QTest::newRow("plain nested") << QStringLiteral("bin/plugins") << true;
    QTest::newRow("repeated separators") << QStringLiteral("//bin///plugins/") << true;
    QTest::newRow("non-ASCII") << QStringLiteral("资源/图片") << true;
    QTest::newRow("dot-dot segment") << QStringLiteral("bin/../..") << false;
    QTest::newRow("leading dot-dot") << QStringLiteral("../etc") << false;
    QTest::newRow("dot segment") << QStringLiteral("./bin") << false;
    QTest::newRow("backslash") << QStringLiteral("bin\\..\\x") << false;
    QTest::newRow("drive letter") << QStringLiteral("C:/Windows") << false;
    QTest::newRow("alternate stream colon") << QStringLiteral("bin/a:b") << false;
    QTest::newRow("NUL character") << QStringLiteral("bin") + QChar(0) + QStringLiteral("x") << false;
    QTest::newRow("newline") << QStringLiteral("bin\nx") << false;
    QTest::newRow("trailing dot") << QStringLiteral("bin./x") << false;
    QTest::newRow("trailing blank") << QStringLiteral("bin /x") << false;
    QTest::newRow("device name") << QStringLiteral("con/x") << false;
    QTest::newRow("device name with extension") << QStringLiteral("a/Com1.txt") << false;
    QTest::newRow("LPT9") << QStringLiteral("LPT9") << false;
    QTest::newRow("COM0 is ordinary") << QStringLiteral("COM0") << true;
    QTest::newRow("CONSOLE is ordinary") << QStringLiteral("console/x") << true;
    QTest::newRow("hidden name is allowed") << QStringLiteral(".config/x") << true;
}

void TestSafePath::relativePath()
{
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QString reason;
    QCOMPARE(SafePath::isSafeRelativePath(path, &reason), safe);
    QCOMPARE(reason.isEmpty(), safe);
}

void TestSafePath::fileName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << QStringLiteral("core.dll") << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("two segments") << QStringLiteral("a/b") << false;
    QTest::newRow("leading slash") << QStringLiteral("/a") << false;
    QTest::newRow("dot-dot") << QStringLiteral("..") << false;
    QTest::newRow("nul device") << QStringLiteral("NUL.log") << false;
}

void TestSafePath::fileName()
{
    QFETCH(QString, name);
    QFETCH(bool, safe);
    QCOMPARE(SafePath::isSafeFileName(name), safe);
}

void TestSafePath::join_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("joined");
    QTest::newRow("root") << QString() << QStringLiteral("a") << QStringLiteral("a");
    QTest::newRow("doubled separators") << QStringLiteral("/x//y/") << QStringLiteral("a")
                                        << QStringLiteral("x/y/a");
    // a + b_c and a_b + c once collided as keys; joined paths keep them apart.
    QTest::newRow("underscore in name") << QStringLiteral("a") << QStringLiteral("b_c") << QStringLiteral("a/b_c");
    QTest::newRow("underscore in dir") << QStringLiteral("a_b") << QStringLiteral("c") << QStringLiteral("a_b/c");
}

void TestSafePath::join()
{
    QFETCH(QString, dir);
    QFETCH(QString, name);
    QFETCH(QString, joined);
    QCOMPARE(SafePath::joinRelative(dir, name), joined);
}

QTEST_GUILESS_MAIN(TestSafePath)
#include "tst_safepath.moc"
