#include "ui/centredwindowposition.h"

#include <QtTest>

/// Centring arithmetic of the windows: only the work area's size counts.
class TestCentredWindowPosition : public QObject
{
    Q_OBJECT

private slots:
    void position_data();
    void position();
};

void TestCentredWindowPosition::position_data()
{
    const QSize window(684, 539);
    QTest::addColumn<QRect>("workArea");
    QTest::addColumn<QSize>("windowSize");
    QTest::addColumn<QPoint>("expected");

    QTest::newRow("full HD work area above a bottom task bar")
        << QRect(0, 0, 1920, 1040) << window << QPoint(618, 250);
    QTest::newRow("odd differences truncate") << QRect(0, 0, 1365, 767) << window << QPoint(340, 114);
    QTest::newRow("left task bar: measured from the screen origin")
        << QRect(60, 0, 1860, 1080) << window << QPoint(588, 270);
    QTest::newRow("secondary origin is ignored too")
        << QRect(1920, 200, 1280, 1024) << window << QPoint(298, 242);
    QTest::newRow("window larger than the work area truncates toward zero")
        << QRect(0, 0, 640, 480) << window << QPoint(-22, -29);
    QTest::newRow("negative odd difference truncates toward zero")
        << QRect(0, 0, 683, 538) << window << QPoint(0, 0);
}

void TestCentredWindowPosition::position()
{
    QFETCH(QRect, workArea);
    QFETCH(QSize, windowSize);
    QFETCH(QPoint, expected);
    QCOMPARE(centredWindowPosition(workArea, windowSize), expected);
}

QTEST_GUILESS_MAIN(TestCentredWindowPosition)
#include "tst_centredwindowposition.moc"
