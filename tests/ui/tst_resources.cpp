#include "ui/resources.h"

#include <QFile>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QtTest>

/// The compiled-in artwork: present under the paths the code uses, really
/// decodable, and of the sizes the windows rely on.
class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void registeringTwiceIsHarmless();
    void resourcePaths_data();
    void resourcePaths();
    void backgroundImage();
    void applicationIcon();
    void iconSizes_data();
    void iconSizes();
};

void TestResources::initTestCase()
{
    initUpdaterResources();
}

void TestResources::registeringTwiceIsHarmless()
{
    initUpdaterResources();
    initUpdaterResources();
    QVERIFY(QFile::exists(QStringLiteral(":/res/bk.png")));
}

void TestResources::resourcePaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("exists");

    QTest::newRow("background image") << QStringLiteral(":/res/bk.png") << true;
    QTest::newRow("application icon") << QStringLiteral(":/res/logo.ico") << true;
    // File APIs address resources with a bare colon; the URL form names no
    // file, which is why the icon must be set with ":/res/logo.ico".
    QTest::newRow("URL form is no file path") << QStringLiteral("qrc:/res/logo.ico") << false;
    QTest::newRow("no stray root-level copy") << QStringLiteral(":/bk.png") << false;
}

void TestResources::resourcePaths()
{
    QFETCH(QString, path);
    QFETCH(bool, exists);
    QCOMPARE(QFile::exists(path), exists);
}

void TestResources::backgroundImage()
{
    const QImage image(QStringLiteral(":/res/bk.png"));
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), QSize(640, 455));
    QVERIFY2(!image.hasAlphaChannel(), "the background is plain RGB");
    const QPixmap pixmap(QStringLiteral(":/res/bk.png"));
    QCOMPARE(pixmap.size(), QSize(640, 455));
}

void TestResources::applicationIcon()
{
    // QIcon::isNull() alone proves little: an icon made from a path that
    // names no file is not null either, it merely has no images.
    const QIcon icon(QStringLiteral(":/res/logo.ico"));
    QVERIFY(!icon.isNull());
    QVERIFY(!icon.availableSizes().isEmpty());
    QVERIFY(!icon.pixmap(32, 32).isNull());

    // What the entry point does: the application-wide icon must really load.
    QGuiApplication::setWindowIcon(icon);
    QVERIFY(!QGuiApplication::windowIcon().isNull());
    QVERIFY(!QGuiApplication::windowIcon().availableSizes().isEmpty());
    QVERIFY(!QGuiApplication::windowIcon().pixmap(16, 16).isNull());

    // The URL form loads nothing; it only works where a URL is expected.
    const QIcon urlForm(QStringLiteral("qrc:/res/logo.ico"));
    QVERIFY(urlForm.availableSizes().isEmpty());
    QVERIFY(urlForm.pixmap(32, 32).isNull());
}

void TestResources::iconSizes_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("16 px (title bars, lists)") << 16;
    QTest::newRow("32 px (task bar)") << 32;
    QTest::newRow("48 px (desktop)") << 48;
    QTest::newRow("256 px (large views)") << 256;
}

void TestResources::iconSizes()
{
    QFETCH(int, size);
    const QIcon icon(QStringLiteral(":/res/logo.ico"));
    QVERIFY2(icon.availableSizes().contains(QSize(size, size)), "size missing from logo.ico");
    const QImage image = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(image.size(), QSize(size, size));
    // A drawn mark, not an empty image: opaque in the middle, transparent
    // at the very corner of the rounded square (except at 16 px, which
    // fills the whole tile so the mark keeps its size).
    QCOMPARE(qAlpha(image.pixel(size / 2, size / 2)), 255);
    if (size > 16)
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    // White mark on blue: both colours must be present.
    bool hasWhite = false;
    bool hasBlue = false;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAlpha(p) < 255)
                continue;
            hasWhite = hasWhite || (qRed(p) > 240 && qGreen(p) > 240 && qBlue(p) > 240);
            hasBlue = hasBlue || (qBlue(p) > 150 && qRed(p) < 110);
        }
    }
    QVERIFY(hasWhite);
    QVERIFY(hasBlue);
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
