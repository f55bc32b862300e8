#include "config/releasedescription.h"
#include "config/releasesignature.h"
#include "config/releasetrust.h"
#include "fileops/digest.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

class TestReleaseTrust : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void accept_data();
    void accept();
    void fileList_data();
    void fileList();
    void sequenceIsRecordedOnlyUpwards();

private:
    QByteArray signedBy(const QByteArray &privatePem, const ReleaseDescription &release) const;

    QByteArray keyA, publicA, keyB, publicB;
    ReleaseDescription release;
    const QDateTime now = QDateTime(QDate(2026, 6, 1), QTime(12, 0), Qt::UTC);
};

void TestReleaseTrust::initTestCase()
{
    QString why;
    QVERIFY2(ReleaseSignature::generate(&keyA, &publicA, &why), qPrintable(why));
    QVERIFY2(ReleaseSignature::generate(&keyB, &publicB, &why), qPrintable(why));
    QVERIFY(publicA != publicB);
    release.version = QStringLiteral("2.0");
    release.sequence = 6;
    release.expires = now.addDays(30);
    release.manifestSha256 = Digest::of(Digest::Algorithm::Sha256, "md5.txt bytes");
    release.versionFileSha256 = Digest::of(Digest::Algorithm::Sha256, "update.ini bytes");
    release.files = {{QStringLiteral("a.txt"), 3, Digest::of(Digest::Algorithm::Sha256, "abc")},
                     {QStringLiteral("数据/b.dll"), 0, Digest::of(Digest::Algorithm::Sha256, "")}};
}

QByteArray TestReleaseTrust::signedBy(const QByteArray &privatePem, const ReleaseDescription &description) const
{
    QString why;
    const QByteArray bytes = description.toSignedFile({privatePem}, &why);
    if (bytes.isEmpty())
        qWarning("cannot sign: %s", qPrintable(why));
    return bytes;
}

void TestReleaseTrust::accept_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("offered");
    QTest::addColumn<qint64>("installed");
    QTest::addColumn<QString>("refusal"); // empty: accepted

    const QString a = QString::fromLatin1(publicA.toBase64());
    const QString b = QString::fromLatin1(publicB.toBase64());
    const QString v = QStringLiteral("2.0");
    const QByteArray good = signedBy(keyA, release);
    ReleaseDescription expired = release;
    expired.expires = now.addSecs(-1);
    // The payload raised to another sequence, the signature left as it was.
    QJsonObject envelope = QJsonDocument::fromJson(good).object();
    QByteArray payload = QByteArray::fromBase64(envelope.value(QStringLiteral("payload")).toString().toLatin1());
    payload.replace("\"sequence\": 6", "\"sequence\": 60");
    envelope.insert(QStringLiteral("payload"), QString::fromLatin1(payload.toBase64()));
    const QByteArray tampered = QJsonDocument(envelope).toJson();
    ReleaseDescription unsafe = release;
    unsafe.files.append({QStringLiteral("../evil.dll"), 1, Digest::of(Digest::Algorithm::Sha256, "x")});

    QTest::newRow("signed by the key") << a << good << v << qint64(5) << QString();
    QTest::newRow("same sequence again") << a << good << v << qint64(6) << QString();
    QString why;
    QTest::newRow("signed by both, the second trusted")
        << a << release.toSignedFile({keyB, keyA}, &why) << v << qint64(0) << QString();
    QTest::newRow("rotation: either key") << (b + QStringLiteral(" , ") + a) << good << v << qint64(0) << QString();
    QTest::newRow("another key") << b << good << v << qint64(0) << QStringLiteral("签名无效");
    QTest::newRow("signed by an unknown key") << a << signedBy(keyB, release) << v << qint64(0)
                                             << QStringLiteral("签名无效");
    QTest::newRow("payload altered") << a << tampered << v << qint64(0) << QStringLiteral("签名无效");
    QTest::newRow("garbage") << a << QByteArray("<html>portal</html>") << v << qint64(0)
                             << QStringLiteral("签名无效");
    QTest::newRow("expired") << a << signedBy(keyA, expired) << v << qint64(0) << QStringLiteral("过期");
    QTest::newRow("older than installed") << a << good << v << qint64(7) << QStringLiteral("旧");
    QTest::newRow("other version offered") << a << good << QStringLiteral("2.1") << qint64(0)
                                           << QStringLiteral("版本与签名不符");
    QTest::newRow("unsafe path, validly signed") << a << signedBy(keyA, unsafe) << v << qint64(0)
                                                 << QStringLiteral("签名无效");
    QTest::newRow("key text is no key") << QStringLiteral("not-a-key") << good << v << qint64(0)
                                        << QStringLiteral("公钥配置无效");
}

void TestReleaseTrust::accept()
{
    QFETCH(QString, keys);
    QFETCH(QByteArray, file);
    QFETCH(QString, offered);
    QFETCH(qint64, installed);
    QFETCH(QString, refusal);
    QTemporaryDir app;
    QFile state(app.filePath(ReleaseTrust::stateFileName()));
    QVERIFY(state.open(QIODevice::WriteOnly));
    state.write("sequence=" + QByteArray::number(installed) + '\n');
    state.close();

    ReleaseTrust trust(keys, app.path());
    trust.setNow(now);
    QVERIFY(trust.isRequired());
    QString text;
    QCOMPARE(trust.accept(file, offered, &text), refusal.isEmpty());
    QVERIFY2(refusal.isEmpty() ? text.isEmpty() : text.contains(refusal), qPrintable(text));
    QCOMPARE(trust.isAccepted(), refusal.isEmpty());
    if (refusal.isEmpty()) {
        QCOMPARE(trust.description().files.size(), 2);
        QCOMPARE(trust.file(QStringLiteral("数据/b.dll"))->size, qint64(0));
        QVERIFY(trust.checkMetadata(ReleaseTrust::Metadata::Manifest, "md5.txt bytes", &text));
        QVERIFY(!trust.checkMetadata(ReleaseTrust::Metadata::VersionFile, "md5.txt bytes", &text));
    }
}

void TestReleaseTrust::fileList_data()
{
    QTest::addColumn<QStringList>("served");
    QTest::addColumn<QByteArray>("installedA"); // a.txt of the installation; empty: none
    QTest::addColumn<bool>("ok");
    const QString a = QStringLiteral("a.txt");
    const QString b = QStringLiteral("数据/b.dll");
    QTest::newRow("exactly the signed files") << QStringList{b, a} << QByteArray() << true;
    QTest::newRow("one extra") << QStringList{a, b, QStringLiteral("extra.dll")} << QByteArray() << false;
    QTest::newRow("one missing") << QStringList{a} << QByteArray() << false;
    QTest::newRow("letter case differs") << QStringList{QStringLiteral("A.txt"), b} << QByteArray() << false;
    QTest::newRow("left out, installed as signed") << QStringList{b} << QByteArray("abc") << true;
    QTest::newRow("left out, installed otherwise") << QStringList{b} << QByteArray("abd") << false;
}

void TestReleaseTrust::fileList()
{
    QFETCH(QStringList, served);
    QFETCH(QByteArray, installedA);
    QFETCH(bool, ok);
    QTemporaryDir app;
    if (!installedA.isEmpty()) {
        QFile file(app.filePath(QStringLiteral("a.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(installedA) == installedA.size());
    }
    ReleaseTrust trust(QString::fromLatin1(publicA.toBase64()), app.path());
    trust.setNow(now);
    QString text;
    QVERIFY(trust.accept(signedBy(keyA, release), QStringLiteral("2.0"), &text));
    QCOMPARE(trust.checkFileList(served, &text), ok);
}

void TestReleaseTrust::sequenceIsRecordedOnlyUpwards()
{
    QTemporaryDir app;
    ReleaseTrust unsigned_(QString(), app.path());
    QVERIFY(!unsigned_.isRequired());
    QVERIFY(unsigned_.recordInstalled()); // nothing accepted, nothing written
    QVERIFY(!QFile::exists(app.filePath(ReleaseTrust::stateFileName())));

    ReleaseTrust trust(QString::fromLatin1(publicA.toBase64()), app.path());
    trust.setNow(now);
    QString text;
    QVERIFY(trust.accept(signedBy(keyA, release), QStringLiteral("2.0"), &text));
    QCOMPARE(trust.installedSequence(), qint64(0));
    QVERIFY(trust.recordInstalled());
    QCOMPARE(trust.installedSequence(), qint64(6));

    QFile state(app.filePath(ReleaseTrust::stateFileName()));
    QVERIFY(state.open(QIODevice::WriteOnly));
    state.write("sequence=9\n");
    state.close();
    QVERIFY(trust.recordInstalled());
    QCOMPARE(trust.installedSequence(), qint64(9)); // never lowered
}

QTEST_GUILESS_MAIN(TestReleaseTrust)
#include "tst_releasetrust.moc"
