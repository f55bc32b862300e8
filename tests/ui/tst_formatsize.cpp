#include "ui/formatsize.h"

#include <QtTest>

/// The shared size formatter: thresholds tried GB, MB, plain bytes, KB in
/// that order; two decimals, a full stop, no digit grouping.
class TestFormatSize : public QObject
{
    Q_OBJECT

private slots:
    void format_data();
    void format();
};

void TestFormatSize::format_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zero bytes") << qint64(0) << QStringLiteral("0 B");
    QTest::newRow("largest plain byte count") << qint64(1023) << QStringLiteral("1023 B");
    QTest::newRow("exactly one KiB") << qint64(1024) << QStringLiteral("1.00 KB");
    QTest::newRow("one and a half KiB") << qint64(1536) << QStringLiteral("1.50 KB");
    QTest::newRow("KB rounds to 1024.00 without switching to MB") << qint64(1048575)
                                                                  << QStringLiteral("1024.00 KB");
    QTest::newRow("exactly one MiB") << qint64(1048576) << QStringLiteral("1.00 MB");
    QTest::newRow("MB rounds to 1024.00 without switching to GB") << qint64(1073741823)
                                                                  << QStringLiteral("1024.00 MB");
    QTest::newRow("exactly one GiB") << qint64(1073741824) << QStringLiteral("1.00 GB");
    QTest::newRow("no digit grouping above 1000 GB") << qint64(5) * 1024 * 1073741824
                                                    << QStringLiteral("5120.00 GB");
    QTest::newRow("largest 64-bit count stays in GB")
        << std::numeric_limits<qint64>::max() << QStringLiteral("8589934592.00 GB");
    QTest::newRow("negative count falls through to bytes") << qint64(-5) << QStringLiteral("-5 B");
}

void TestFormatSize::format()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, expected);
    QCOMPARE(formatSize(bytes), expected);
}

QTEST_GUILESS_MAIN(TestFormatSize)
#include "tst_formatsize.moc"
