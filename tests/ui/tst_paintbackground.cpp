#include "ui/paintbackground.h"
#include "ui/resources.h"

#include <QImage>
#include <QPaintEvent>
#include <QWidget>
#include <QtTest>

namespace {

/// A bare widget that paints only the shared background.
class BackgroundWidget : public QWidget
{
public:
    explicit BackgroundWidget(const QSize &size)
    {
        setFixedSize(size);
    }

protected:
    void paintEvent(QPaintEvent *) override { paintBackground(this); }
};

QImage grabbed(QWidget &widget)
{
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

/// Largest difference of one channel between two colours.
int colourDistance(QRgb a, QRgb b)
{
    return qMax(qAbs(qRed(a) - qRed(b)), qMax(qAbs(qGreen(a) - qGreen(b)), qAbs(qBlue(a) - qBlue(b))));
}

} // namespace

/// The background painter used by both update windows.
class TestPaintBackground : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void drawnAtNaturalSize();
    void scaledIntoLargerWindow_data();
    void scaledIntoLargerWindow();

private:
    QImage source;
};

void TestPaintBackground::initTestCase()
{
    initUpdaterResources();
    source = QImage(QStringLiteral(":/res/bk.png")).convertToFormat(QImage::Format_RGB32);
    QVERIFY(!source.isNull());
}

void TestPaintBackground::drawnAtNaturalSize()
{
    // At 640 × 455 (the HTTP dialog) the image lands pixel for pixel.
    BackgroundWidget widget(source.size());
    const QImage shot = grabbed(widget);
    QCOMPARE(shot.size(), source.size());
    QCOMPARE(shot, source);
}

void TestPaintBackground::scaledIntoLargerWindow_data()
{
    QTest::addColumn<QPointF>("relative");
    QTest::newRow("top-left corner") << QPointF(0.01, 0.01);
    QTest::newRow("top-right corner (accent band)") << QPointF(0.99, 0.01);
    QTest::newRow("bottom-right corner (accent band)") << QPointF(0.99, 0.99);
    QTest::newRow("bottom-left corner") << QPointF(0.01, 0.99);
    QTest::newRow("centre") << QPointF(0.5, 0.5);
}

void TestPaintBackground::scaledIntoLargerWindow()
{
    QFETCH(QPointF, relative);
    // The TCP window is 684 × 539: the whole image is stretched over it,
    // so the same relative spot shows the same colour.
    BackgroundWidget widget(QSize(684, 539));
    const QImage shot = grabbed(widget);
    const QPoint inShot(int(relative.x() * shot.width()), int(relative.y() * shot.height()));
    const QPoint inSource(int(relative.x() * source.width()), int(relative.y() * source.height()));
    const int distance = colourDistance(shot.pixel(inShot), source.pixel(inSource));
    QVERIFY2(distance <= 6, qPrintable(QStringLiteral("colour differs by %1").arg(distance)));
}

QTEST_MAIN(TestPaintBackground)
#include "tst_paintbackground.moc"
