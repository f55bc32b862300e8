#include "app/workdirpolicy.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestWorkDirPolicy : public QObject
{
    Q_OBJECT

private slots:
    void configuration_data();
    void configuration();
    void symbolicLinkToTheInstallation();
};

void TestWorkDirPolicy::configuration_data()
{
    QTest::addColumn<QString>("temp");
    QTest::addColumn<QString>("backup");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("usual values") << QStringLiteral("UpdateTmp") << QStringLiteral("Backup/") << true;
    QTest::newRow("nested below the installation") << QStringLiteral("work/tmp") << QStringLiteral("work/bak")
                                                   << true;
    QTest::newRow("beside the installation") << QStringLiteral("../tmp-x") << QStringLiteral("Backup") << true;
    QTest::newRow("empty temp") << QString() << QStringLiteral("Backup") << false;
    QTest::newRow("empty backup") << QStringLiteral("Tmp") << QString() << false;
    QTest::newRow("blank temp") << QStringLiteral("  ") << QStringLiteral("Backup") << false;
    QTest::newRow("temp is the installation") << QStringLiteral(".") << QStringLiteral("Backup") << false;
    QTest::newRow("backup is the installation") << QStringLiteral("Tmp") << QStringLiteral("./") << false;
    QTest::newRow("a bare slash") << QStringLiteral("/") << QStringLiteral("Backup") << false;
    QTest::newRow("back into the installation") << QStringLiteral("sub/..") << QStringLiteral("Backup") << false;
    QTest::newRow("the parent") << QStringLiteral("..") << QStringLiteral("Backup") << false;
    QTest::newRow("a grandparent") << QStringLiteral("Tmp") << QStringLiteral("../../") << false;
    QTest::newRow("same directory") << QStringLiteral("Work") << QStringLiteral("Work/") << false;
    QTest::newRow("backup inside temp") << QStringLiteral("Tmp") << QStringLiteral("Tmp/Backup") << false;
    QTest::newRow("temp inside backup") << QStringLiteral("Backup/Tmp") << QStringLiteral("Backup") << false;
    QTest::newRow("shared prefix is not inside") << QStringLiteral("Tmp") << QStringLiteral("Tmp2") << true;
}

void TestWorkDirPolicy::configuration()
{
    QFETCH(QString, temp);
    QFETCH(QString, backup);
    QFETCH(bool, accepted);
    QTemporaryDir root;
    const QString app = root.filePath(QStringLiteral("a/b/app")) + QLatin1Char('/');
    QVERIFY(QDir().mkpath(app));
    const QString problem = WorkDirPolicy::checkConfiguration(app, temp, backup, app + temp + QLatin1Char('/'),
                                                              app + backup + QLatin1Char('/'));
    QVERIFY2(problem.isEmpty() == accepted, qPrintable(problem));
}

void TestWorkDirPolicy::symbolicLinkToTheInstallation()
{
#ifdef Q_OS_WIN
    QSKIP("QFile::link makes a shortcut on Windows, an ordinary file; a symbolic link needs a privilege");
#endif // Q_OS_WIN
    QTemporaryDir root;
    const QString app = root.filePath(QStringLiteral("app"));
    QVERIFY(QDir().mkpath(app));
    if (!QFile::link(app, app + QStringLiteral("/link")))
        QSKIP("symbolic links are not available here");
    QVERIFY(WorkDirPolicy::coversAppDir(app, app + QStringLiteral("/link")));
    QVERIFY(WorkDirPolicy::coversAppDir(app, app + QStringLiteral("/link/../..")));
    QVERIFY(!WorkDirPolicy::coversAppDir(app, app + QStringLiteral("/link/not-yet")));
    // ".." applies to where a link leads, as the system resolves it: spelled
    // lexically this names a sibling, but it is the installation itself.
    const QString deep = root.filePath(QStringLiteral("d1/d2/d3"));
    QVERIFY(QDir().mkpath(deep));
    QVERIFY(QFile::link(deep, app + QStringLiteral("/lnk")));
    QVERIFY(WorkDirPolicy::coversAppDir(app, app + QStringLiteral("/lnk/../../../app")));
    QCOMPARE(WorkDirPolicy::resolve(app + QStringLiteral("/lnk/../x/../y")), root.filePath(QStringLiteral("d1/d2/y")));
}

QTEST_GUILESS_MAIN(TestWorkDirPolicy)
#include "tst_workdirpolicy.moc"
