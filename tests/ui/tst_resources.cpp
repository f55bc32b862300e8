#include "ui/paintbackground.h"
#include "ui/resources.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QIcon>
#include <QImage>
#include <QWidget>
#include <QtTest>

namespace {

/// A bare widget that paints only the shared background.
class BackgroundWidget : public QWidget
{
public:
    explicit BackgroundWidget(const QSize &size) { setFixedSize(size); }

protected:
    void paintEvent(QPaintEvent *) override { paintBackground(this); }
};

QImage rgb(const QImage &image)
{
    return image.convertToFormat(QImage::Format_RGB32);
}

} // namespace

/// The compiled-in artwork: present under the paths the code uses, really
/// decodable, of the sizes the windows rely on, and painted over a window.
class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void applicationIcon();
    void backgroundAtNaturalSize();
    void backgroundScaledIntoLargerWindow_data();
    void backgroundScaledIntoLargerWindow();
    void chineseTextsHaveAFont();

private:
    QImage source;
};

void TestResources::initTestCase()
{
    // Registering more than once must be harmless.
    initUpdaterResources();
    initUpdaterResources();
    source = rgb(QImage(QStringLiteral(":/res/bk.png")));
    QCOMPARE(source.size(), QSize(640, 455));
}

void TestResources::applicationIcon()
{
    // QIcon::isNull() alone proves little: an icon made from a path that
    // names no file is not null either, it merely has no images.
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/res/logo.ico")));
    const QIcon icon = QGuiApplication::windowIcon();
    for (int size : {16, 32, 48, 256}) {
        QVERIFY2(icon.availableSizes().contains(QSize(size, size)), qPrintable(QString::number(size)));
        const QImage image = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(image.size(), QSize(size, size));
        QCOMPARE(qAlpha(image.pixel(size / 2, size / 2)), 255); // a drawn mark, not an empty tile
    }
}

void TestResources::backgroundAtNaturalSize()
{
    // At 640 × 455 (the HTTP dialog) the image lands pixel for pixel.
    BackgroundWidget widget(source.size());
    QCOMPARE(rgb(widget.grab().toImage()), source);
}

void TestResources::backgroundScaledIntoLargerWindow_data()
{
    QTest::addColumn<QPointF>("relative");
    QTest::newRow("top-left corner") << QPointF(0.01, 0.01);
    QTest::newRow("top-right corner (accent band)") << QPointF(0.99, 0.01);
    QTest::newRow("bottom-right corner (accent band)") << QPointF(0.99, 0.99);
    QTest::newRow("bottom-left corner") << QPointF(0.01, 0.99);
    QTest::newRow("centre") << QPointF(0.5, 0.5);
}

void TestResources::backgroundScaledIntoLargerWindow()
{
    QFETCH(QPointF, relative);
    // The TCP window is 684 × 539: the whole image is stretched over it,
    // so the same relative spot shows the same colour.
    BackgroundWidget widget(QSize(684, 539));
    const QImage shot = rgb(widget.grab().toImage());
    const QRgb a = shot.pixel(int(relative.x() * shot.width()), int(relative.y() * shot.height()));
    const QRgb b = source.pixel(int(relative.x() * source.width()), int(relative.y() * source.height()));
    const int distance
        = qMax(qAbs(qRed(a) - qRed(b)), qMax(qAbs(qGreen(a) - qGreen(b)), qAbs(qBlue(a) - qBlue(b))));
    QVERIFY2(distance <= 6, qPrintable(QStringLiteral("colour differs by %1").arg(distance)));
}

void TestResources::chineseTextsHaveAFont()
{
    // Without a CJK font every title, label and button is a row of boxes;
    // scripts/lib/deps.sh installs fonts-wqy-microhei for that reason.
    QVERIFY2(!QFontDatabase().families(QFontDatabase::SimplifiedChinese).isEmpty(),
             "no Simplified Chinese font installed");
    const QStringList texts = {
        QStringLiteral("TCP升级进行中..."), QStringLiteral("正在下载更新文件"), QStringLiteral("准备就绪"),
        QStringLiteral("取消"), QStringLiteral("关闭"), QStringLiteral("确认取消"),
        QStringLiteral("确定要取消更新吗？未完成的更新将不会被应用。"), QStringLiteral("确认"),
        QStringLiteral("正在应用更新…（3 个文件）"), QStringLiteral("升级成功"), QStringLiteral("更新完成!"),
        QStringLiteral("更新已取消"), QStringLiteral("下载 a.dll 失败：连接超时"), QStringLiteral("1.0.0 → 1.1.0"),
    };
    // The windows use the application font and, in the HTTP dialog, a family
    // that exists only on Windows: both must find the glyphs (directly or
    // through the font fallback).
    for (const QFont &font : {QApplication::font(), QFont(QStringLiteral("Microsoft YaHei UI"))}) {
        const QFontMetrics metrics(font);
        // The check can fail: a script no installed font covers (Linear A).
        QVERIFY(!metrics.inFontUcs4(0x10600));
        for (const QString &text : texts) {
            for (const uint ch : text.toUcs4()) {
                QVERIFY2(metrics.inFontUcs4(ch),
                         qPrintable(QStringLiteral("no glyph for U+%1 in \"%2\" (%3)")
                                        .arg(ch, 4, 16, QLatin1Char('0'))
                                        .arg(text, font.family())));
            }
        }
    }
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
