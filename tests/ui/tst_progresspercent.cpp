#include "ui/progresspercent.h"

#include <QtTest>

#include <limits>

/// Percentages of file transfers: truncating 64-bit arithmetic, 0 for an
/// unknown total, and no overflow or wrap-around on absurd counts.
class TestProgressPercent : public QObject
{
    Q_OBJECT

private slots:
    void percent_data();
    void percent();
};

void TestProgressPercent::percent_data()
{
    constexpr qint64 kMax = std::numeric_limits<qint64>::max();
    constexpr int kIntMax = std::numeric_limits<int>::max();
    constexpr int kIntMin = std::numeric_limits<int>::min();
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("expected");

    QTest::newRow("total zero shows 0") << qint64(512) << qint64(0) << 0;
    QTest::newRow("negative total shows 0") << qint64(512) << qint64(-1) << 0;
    QTest::newRow("one byte short of complete truncates to 99") << qint64(999) << qint64(1000) << 99;
    QTest::newRow("more than announced is over 100") << qint64(300) << qint64(200) << 150;
    QTest::newRow("negative count gives negative percent") << qint64(-50) << qint64(100) << -50;
    QTest::newRow("huge counts do not overflow") << kMax / 2 << kMax << 50;
    QTest::newRow("complete at the 64-bit limit") << kMax << kMax << 100;
    QTest::newRow("far past the total saturates instead of wrapping") << kMax << qint64(1) << kIntMax;
    QTest::newRow("result past int saturates in exact range") << kMax / 100 << qint64(1) << kIntMax;
    QTest::newRow("hugely negative count saturates low")
        << std::numeric_limits<qint64>::min() << qint64(1) << kIntMin;
}

void TestProgressPercent::percent()
{
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(int, expected);
    QCOMPARE(progressPercent(done, total), expected);
}

QTEST_GUILESS_MAIN(TestProgressPercent)
#include "tst_progresspercent.moc"
