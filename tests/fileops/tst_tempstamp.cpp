#include "fileops/tempstamp.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestTempStamp : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void identityReadsBack_data();
    void identityReadsBack();
    void validatorsKeepTheLatestPerFile();
    void removeOthersLeavesThePlan();

private:
    void put(const QString &relative, const QByteArray &bytes);

    std::unique_ptr<QTemporaryDir> area;
};

void TestTempStamp::init()
{
    area = std::make_unique<QTemporaryDir>();
    QVERIFY(area->isValid());
}

void TestTempStamp::put(const QString &relative, const QByteArray &bytes)
{
    const QString path = area->filePath(relative);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void TestTempStamp::identityReadsBack_data()
{
    QTest::addColumn<QByteArray>("stamp");
    QTest::addColumn<QByteArray>("identity");
    const QByteArray id = QByteArray::fromHex("00ff10ab");
    QTest::newRow("as written") << QByteArray("release 00ff10ab\n") << id;
    QTest::newRow("with validators after it") << QByteArray("release 00ff10ab\nresume\t\"e\"\tbig.bin\n") << id;
    QTest::newRow("no stamp") << QByteArray() << QByteArray();
    QTest::newRow("not hex") << QByteArray("release 00ff10zz\n") << QByteArray();
    QTest::newRow("odd length") << QByteArray("release 00ff1\n") << QByteArray();
    QTest::newRow("another first line") << QByteArray("resume\t\"e\"\tbig.bin\nrelease 00ff10ab\n") << QByteArray();
    QTest::newRow("longer than any digest") << "release " + QByteArray(130, 'a') + '\n' << QByteArray();
}

void TestTempStamp::identityReadsBack()
{
    QFETCH(QByteArray, stamp);
    QFETCH(QByteArray, identity);
    if (!stamp.isEmpty())
        put(TempStamp::fileName(), stamp);
    QCOMPARE(TempStamp::identity(area->path()), identity);
    // What write() records reads back the same.
    QVERIFY(TempStamp::write(area->path(), QByteArray::fromHex("c0ffee")));
    QCOMPARE(TempStamp::identity(area->path()), QByteArray::fromHex("c0ffee"));
}

void TestTempStamp::validatorsKeepTheLatestPerFile()
{
    const QString dir = area->path();
    QVERIFY2(!TempStamp::recordValidator(dir, QStringLiteral("a.bin"), QStringLiteral("\"1\"")),
             "a validator without a release to belong to");
    QVERIFY(TempStamp::write(dir, "id"));
    QVERIFY(TempStamp::recordValidator(dir, QStringLiteral("a.bin"), QStringLiteral("\"1\"")));
    QVERIFY(TempStamp::recordValidator(dir, QStringLiteral("sub/文件 b.bin"), QStringLiteral("Tue, 01 Dec 2026")));
    QVERIFY(TempStamp::recordValidator(dir, QStringLiteral("a.bin"), QStringLiteral("\"2\"")));
    for (const QString &bad : {QStringLiteral("\"x\ty\""), QStringLiteral("\"x\ny\""), QString(300, QLatin1Char('v'))})
        QVERIFY(!TempStamp::recordValidator(dir, QStringLiteral("c.bin"), bad));
    QVERIFY(!TempStamp::recordValidator(dir, QStringLiteral("line\nbreak"), QStringLiteral("\"3\"")));

    const QHash<QString, QString> found = TempStamp::validators(dir);
    QCOMPARE(found.size(), 2);
    QCOMPARE(found.value(QStringLiteral("a.bin")), QStringLiteral("\"2\""));
    QCOMPARE(found.value(QStringLiteral("sub/文件 b.bin")), QStringLiteral("Tue, 01 Dec 2026"));
    QCOMPARE(TempStamp::identity(dir), QByteArray("id"));
    // A new release starts without them.
    QVERIFY(TempStamp::write(dir, "other"));
    QVERIFY(TempStamp::validators(dir).isEmpty());
}

void TestTempStamp::removeOthersLeavesThePlan()
{
    const QString marker = QStringLiteral(".marker");
    QVERIFY(TempStamp::write(area->path(), "id"));
    put(marker, "ours");
    put(TempStamp::fileName() + QStringLiteral(".new"), "cut short");
    put(QStringLiteral("a.txt"), "listed");
    put(QStringLiteral("sub/b.txt"), "listed");
    put(QStringLiteral("sub/stale.dll"), "not listed");
    put(QStringLiteral("deep/er/.hidden"), "not listed");
    put(QStringLiteral("sub/.marker"), "a marker only counts at the top");

    QCOMPARE(TempStamp::removeOthers(area->path(), {QStringLiteral("a.txt"), QStringLiteral("sub/b.txt")}, marker), 3);
    for (const QString &kept : {marker, TempStamp::fileName(), TempStamp::fileName() + QStringLiteral(".new"),
                                QStringLiteral("a.txt"), QStringLiteral("sub/b.txt")})
        QVERIFY2(QFile::exists(area->filePath(kept)), qPrintable(kept));
    for (const QString &gone : {QStringLiteral("sub/stale.dll"), QStringLiteral("deep/er/.hidden"),
                                QStringLiteral("sub/.marker")})
        QVERIFY2(!QFile::exists(area->filePath(gone)), qPrintable(gone));
}

QTEST_GUILESS_MAIN(TestTempStamp)
#include "tst_tempstamp.moc"
