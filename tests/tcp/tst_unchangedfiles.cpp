#include "fileops/digest.h"
#include "tcp/unchangedfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

/// Which offered files an installation already holds.
class TestUnchangedFiles : public QObject {
    Q_OBJECT

private slots:
    void isInstalled_data();
    void isInstalled();
};

void TestUnchangedFiles::isInstalled_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("offered"); // the release's bytes of the file
    QTest::addColumn<bool>("isSigned");
    QTest::addColumn<bool>("installed");

    const QByteArray same("installed bytes");
    QTest::newRow("unsigned, same MD5") << QStringLiteral("bin") << QStringLiteral("a.dll") << same << false << true;
    QTest::newRow("unsigned, other bytes")
        << QStringLiteral("bin") << QStringLiteral("a.dll") << QByteArray("other bytes") << false << false;
    QTest::newRow("signed, same size and SHA-256")
        << QStringLiteral("bin") << QStringLiteral("a.dll") << same << true << true;
    QTest::newRow("signed, same size, other bytes")
        << QStringLiteral("bin") << QStringLiteral("a.dll") << QByteArray("installed bytez") << true << false;
    QTest::newRow("not installed") << QStringLiteral("bin") << QStringLiteral("b.dll") << same << true << false;
    QTest::newRow("the manifest is always fetched")
        << QStringLiteral("") << QStringLiteral("md5.txt") << same << false << false;
    QTest::newRow("a path leaving the installation")
        << QStringLiteral("../outside") << QStringLiteral("a.dll") << same << true << false;
}

void TestUnchangedFiles::isInstalled()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QFETCH(QByteArray, offered);
    QFETCH(bool, isSigned);
    QFETCH(bool, installed);

    QTemporaryDir root;
    const QString appDir = root.filePath(QStringLiteral("app"));
    for (const QString &file :
        { QStringLiteral("app/bin/a.dll"), QStringLiteral("app/md5.txt"), QStringLiteral("outside/a.dll") }) {
        QDir().mkpath(QFileInfo(root.filePath(file)).path());
        QFile out(root.filePath(file));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("installed bytes");
    }
    FileItem item { path, name };
    if (isSigned) {
        item.sha256 = Digest::of(Digest::Algorithm::Sha256, offered);
        item.size = offered.size();
    } else {
        item.md5 = Digest::of(Digest::Algorithm::Md5, offered);
    }
    QCOMPARE(UnchangedFiles::isInstalled(item, appDir), installed);
    // Without any digest nothing is known about the offered file.
    QVERIFY(!UnchangedFiles::isInstalled(FileItem { path, name }, appDir));
}

QTEST_GUILESS_MAIN(TestUnchangedFiles)
#include "tst_unchangedfiles.moc"
