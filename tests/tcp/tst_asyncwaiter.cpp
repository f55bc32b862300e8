#include "tcp/asyncwaiter.h"

#include <QtTest>

class TestAsyncWaiter : public QObject
{
    Q_OBJECT

private slots:
    void waitEnds_data();
    void waitEnds();
    void earlierSignalDoesNotCount();
};

void TestAsyncWaiter::waitEnds_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<int>("after");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("minMs");
    // The events come from timers, so they also prove that the loop runs them.
    QTest::newRow("signal ends the wait") << QStringLiteral("signal") << 20 << 5000 << true << 0;
    QTest::newRow("time-out ends the wait as failure") << QString() << 0 << 150 << false << 140;
    QTest::newRow("abort ends an unlimited wait as failure") << QStringLiteral("abort") << 20 << -1 << false << 0;
    QTest::newRow("timeout 0 waits for the signal") << QStringLiteral("signal") << 300 << 0 << true << 250;
}

void TestAsyncWaiter::waitEnds()
{
    QFETCH(QString, event);
    QFETCH(int, after);
    QFETCH(int, timeout);
    QFETCH(bool, result);
    QFETCH(int, minMs);

    AsyncWaiter waiter;
    if (event == QLatin1String("signal"))
        QTimer::singleShot(after, &waiter, &AsyncWaiter::signalReceived);
    else if (event == QLatin1String("abort"))
        QTimer::singleShot(after, &waiter, &AsyncWaiter::abort);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(waiter.wait(timeout), result);
    QVERIFY2(timer.elapsed() >= minMs && timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!waiter.isWaiting());
}

void TestAsyncWaiter::earlierSignalDoesNotCount()
{
    AsyncWaiter waiter;
    emit waiter.signalReceived();
    QVERIFY(!waiter.wait(100));
    // A later signal still ends the next wait; the old time-out does not linger.
    QTimer::singleShot(20, &waiter, &AsyncWaiter::signalReceived);
    QVERIFY(waiter.wait(3000));
}

QTEST_GUILESS_MAIN(TestAsyncWaiter)
#include "tst_asyncwaiter.moc"
