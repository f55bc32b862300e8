#include "app/instanceguard.h"
#include "testinstallation.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

// Single-instance start-up, with real updater processes. A first instance is
// held inside its check by an HTTP server that accepts and never answers.
class TestInstanceGuard : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keyIsPathPlusSuffix();
    void guardInProcess();
    void secondInstanceIsRefused();
    void copiesInTwoDirectoriesRunSideBySide();

private:
    void startBlockedUpdater(QProcess &process, Installation &app);
    QProcessEnvironment environment() const;

    QTcpServer stallServer;
    QList<QTcpSocket *> held;
};

void TestInstanceGuard::initTestCase()
{
    QVERIFY(stallServer.listen(QHostAddress::LocalHost, 0));
    connect(&stallServer, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = stallServer.nextPendingConnection())
            held.append(socket);
    });
}

void TestInstanceGuard::keyIsPathPlusSuffix()
{
    // The path as the system spells it: with backslashes on Windows.
#ifdef Q_OS_WIN
    QCOMPARE(InstanceGuard::instanceKey(QStringLiteral("C:/app/update.exe")),
             QStringLiteral("C:\\app\\update.exeSystemObject_Update"));
#else
    QCOMPARE(InstanceGuard::instanceKey(QStringLiteral("/opt/app/update.exe")),
             QStringLiteral("/opt/app/update.exeSystemObject_Update"));
#endif // Q_OS_WIN
}

void TestInstanceGuard::guardInProcess()
{
    Installation app;
    const QString key = InstanceGuard::instanceKey(app.path(QStringLiteral("update.exe")));
    QVERIFY(!InstanceGuard::isHeld(key));
    {
        InstanceGuard first(key);
        QVERIFY(first.tryAcquire());
        QVERIFY(InstanceGuard::isHeld(key));
        InstanceGuard second(key);
        QVERIFY(!second.tryAcquire());
    }
    QVERIFY(!InstanceGuard::isHeld(key));
    InstanceGuard again(key);
    QVERIFY(again.tryAcquire());
}

QProcessEnvironment TestInstanceGuard::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

void TestInstanceGuard::startBlockedUpdater(QProcess &process, Installation &app)
{
    app.writeConfig("[Update]\nURL=http://127.0.0.1:" + QByteArray::number(stallServer.serverPort()) + "/\n");
    const int before = held.size();
    process.setProcessEnvironment(environment());
    process.start(app.path(QStringLiteral("update.exe")), {QStringLiteral("console")});
    QVERIFY(process.waitForStarted());
    // Once it asks the server for update.ini it holds its instance marker.
    QTRY_VERIFY_WITH_TIMEOUT(held.size() > before, 15000);
}

void TestInstanceGuard::secondInstanceIsRefused()
{
    Installation app;
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BINARY), app.path(QStringLiteral("update.exe"))));
    QProcess first;
    startBlockedUpdater(first, app);

    QProcess second;
    second.setProcessEnvironment(environment());
    second.start(app.path(QStringLiteral("update.exe")), {QStringLiteral("console")});
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitCode(), 1);
    const QByteArray out = second.readAllStandardOutput();
    QVERIFY2(!out.contains('{'), out.constData());
    QVERIFY(out.contains("Update started"));
    QCOMPARE(out.count('\n'), 1);
    QCOMPARE(first.state(), QProcess::Running);

    // A killed first instance leaves its marker behind on POSIX; the next
    // start must still get through.
    first.kill();
    QVERIFY(first.waitForFinished(5000));
    app.writeConfig("[Update]\nHttpEnable=false\n");
    QProcess third;
    third.setProcessEnvironment(environment());
    third.start(app.path(QStringLiteral("update.exe")), {QStringLiteral("console")});
    QVERIFY(third.waitForFinished(15000));
    QCOMPARE(third.exitCode(), 0);
    QVERIFY(third.readAllStandardOutput().contains(QStringLiteral("TCP升级服务连接失败").toUtf8()));
}

void TestInstanceGuard::copiesInTwoDirectoriesRunSideBySide()
{
    Installation one, two;
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BINARY), one.path(QStringLiteral("update.exe"))));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BINARY), two.path(QStringLiteral("update.exe"))));
    QProcess first, second;
    startBlockedUpdater(first, one);
    startBlockedUpdater(second, two);
    QCOMPARE(first.state(), QProcess::Running);
    QCOMPARE(second.state(), QProcess::Running);
    first.kill();
    second.kill();
    first.waitForFinished();
    second.waitForFinished();
}

QTEST_GUILESS_MAIN(TestInstanceGuard)
#include "tst_instanceguard.moc"
