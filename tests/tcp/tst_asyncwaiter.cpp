#include "tcp/asyncwaiter.h"

#include <QtTest>

class TestAsyncWaiter : public QObject
{
    Q_OBJECT

private slots:
    void signalEndsWait();
    void timeoutEndsWait();
    void earlierSignalDoesNotCount();
    void abortEndsWaitAsFailure();
    void noTimeoutWaitsForSignal();
    void eventsRunWhileWaiting();
};

void TestAsyncWaiter::signalEndsWait()
{
    AsyncWaiter waiter;
    QTimer::singleShot(20, &waiter, &AsyncWaiter::signalReceived);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(waiter.wait(5000));
    QVERIFY(timer.elapsed() < 4000);
    QVERIFY(!waiter.isWaiting());
}

void TestAsyncWaiter::timeoutEndsWait()
{
    AsyncWaiter waiter;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!waiter.wait(150));
    QVERIFY2(timer.elapsed() >= 140 && timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
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

void TestAsyncWaiter::abortEndsWaitAsFailure()
{
    AsyncWaiter waiter;
    QTimer::singleShot(20, &waiter, &AsyncWaiter::abort);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!waiter.wait(-1));
    QVERIFY(timer.elapsed() < 3000);
}

void TestAsyncWaiter::noTimeoutWaitsForSignal()
{
    AsyncWaiter waiter;
    QTimer::singleShot(300, &waiter, &AsyncWaiter::signalReceived);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(waiter.wait(0));
    QVERIFY(timer.elapsed() >= 250);
}

void TestAsyncWaiter::eventsRunWhileWaiting()
{
    AsyncWaiter waiter;
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&]() {
        if (++ticks == 5)
            emit waiter.signalReceived();
    });
    ticker.start(5);
    QVERIFY(waiter.wait(5000));
    QCOMPARE(ticks, 5);
}

QTEST_GUILESS_MAIN(TestAsyncWaiter)
#include "tst_asyncwaiter.moc"
