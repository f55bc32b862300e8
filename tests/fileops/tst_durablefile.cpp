#include "fileops/durablefile.h"
#include "testinstallation.h"

#include <QtTest>

// The durable primitives where Windows makes them differ: the extended-length
// form of paths and paths of 260 characters and more.
class TestDurableFile : public QObject
{
    Q_OBJECT

private slots:
    void extendedPath_data();
    void extendedPath();
    void longPath();
};

void TestDurableFile::extendedPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("drive, slashes turned") << QStringLiteral("C:/Program Files/App/a.dll")
                                           << QStringLiteral("\\\\?\\C:\\Program Files\\App\\a.dll");
    // The prefix turns off the system's clean-up, so ".." must be gone.
    QTest::newRow("dot-dot resolved") << QStringLiteral("D:\\App\\sub\\..\\.\\a.dll")
                                      << QStringLiteral("\\\\?\\D:\\App\\a.dll");
    QTest::newRow("UNC share") << QStringLiteral("//server/share/App/a.dll")
                               << QStringLiteral("\\\\?\\UNC\\server\\share\\App\\a.dll");
    QTest::newRow("already extended") << QStringLiteral("\\\\?\\C:\\App\\a.dll")
                                      << QStringLiteral("\\\\?\\C:\\App\\a.dll");
}

void TestDurableFile::extendedPath()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(DurableFile::extendedPath(path), expected);
}

void TestDurableFile::longPath()
{
    // A path past MAX_PATH (260) through every direct system call of the
    // durable primitives. Wine has no such limit, so only Windows proves
    // that the prefix is what makes it work.
    TestInstallation app;
    QString dir = app.path();
    while (dir.size() < 300)
        dir += QStringLiteral("long-directory-name-") + QString::number(dir.size()) + QLatin1Char('/');
    const QString from = dir + QStringLiteral("new.dll");
    const QString to = dir + QStringLiteral("a.dll");
    QVERIFY(writeTestFile(from, "new"));
    QVERIFY(writeTestFile(to, "old"));
    QVERIFY(to.size() > 300);
    QString why;
    QVERIFY2(DurableFile::hardLink(to, to + QStringLiteral(".kept"), &why), qPrintable(why));
    QVERIFY2(DurableFile::flushFile(from, &why), qPrintable(why));
    QVERIFY2(DurableFile::replace(from, to, &why), qPrintable(why));
    QCOMPARE(readTestFile(to), QByteArray("new"));
    QCOMPARE(readTestFile(to + QStringLiteral(".kept")), QByteArray("old"));
    DurableFile::setReadOnly(to);
#ifdef Q_OS_WIN
    QVERIFY(DurableFile::clearReadOnly(to));
#endif // Q_OS_WIN
    QVERIFY(!DurableFile::clearReadOnly(to));
}

QTEST_GUILESS_MAIN(TestDurableFile)
#include "tst_durablefile.moc"
