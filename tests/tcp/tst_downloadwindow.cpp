#include "tcp/downloadwindow.h"

#include <QtTest>

/// Which requests a download window sends, by file count and known sizes.
class TestDownloadWindow : public QObject {
    Q_OBJECT

private slots:
    void fill_data();
    void fill();
};

void TestDownloadWindow::fill_data()
{
    QTest::addColumn<QList<qint64>>("sizes"); // -1: not known ahead
    QTest::addColumn<int>("maxFiles");
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<QList<int>>("first"); // fill(0)
    QTest::addColumn<QList<int>>("afterHead"); // completeHead(), then fill(1)

    const QList<qint64> unknown { -1, -1, -1, -1, -1 };
    QTest::newRow("one at a time") << unknown << 1 << qint64(0) << QList<int> { 0 } << QList<int> { 1 };
    QTest::newRow("count bounds unknown sizes")
        << unknown << 3 << qint64(0) << QList<int> { 0, 1, 2 } << QList<int> { 3 };
    QTest::newRow("bytes beyond the head")
        << QList<qint64> { 100, 40, 40, 40, 40 } << 8 << qint64(80) << QList<int> { 0, 1, 2 } << QList<int> { 3 };
    QTest::newRow("a head larger than the bound is still requested")
        << QList<qint64> { 1000, 1000, 10 } << 8 << qint64(50) << QList<int> { 0 } << QList<int> { 1, 2 };
    QTest::newRow("the end of the list") << QList<qint64> { 1, 1 } << 8 << qint64(100) << QList<int> { 0, 1 }
                                         << QList<int> {};
}

void TestDownloadWindow::fill()
{
    QFETCH(QList<qint64>, sizes);
    QFETCH(int, maxFiles);
    QFETCH(qint64, maxBytes);
    QFETCH(QList<int>, first);
    QFETCH(QList<int>, afterHead);

    QList<FileItem> files;
    for (int i = 0; i < sizes.size(); ++i) {
        FileItem item { QStringLiteral("d"), QStringLiteral("f%1").arg(i) };
        item.size = sizes.at(i);
        files << item;
    }
    DownloadWindow window;
    window.setLimits(maxFiles, maxBytes);
    window.plan(files);
    QCOMPARE(window.fill(0), first);
    QCOMPARE(window.fill(0), QList<int>()); // nothing twice
    window.completeHead();
    QCOMPARE(window.fill(1), afterHead);

    // A lost connection: the head and what follows are requested again.
    window.reset();
    QVERIFY(!window.hasInFlight());
    QCOMPARE(window.fill(1).value(0, -1), files.size() > 1 ? 1 : -1);
    QCOMPARE(window.indexOf(files.constLast()), files.size() - 1);
}

QTEST_GUILESS_MAIN(TestDownloadWindow)
#include "tst_downloadwindow.moc"
