#include "config/cconfigmanager.h"
#include "config/portnumber.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Writes @p content as system.cfg in @p dir and returns its path.
QString writeConfig(const QTemporaryDir &dir, const QByteArray &content)
{
    const QString path = dir.filePath(QStringLiteral("system.cfg"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

} // namespace

class TestConfigManager : public QObject
{
    Q_OBJECT

private slots:
    void httpEnable_data();
    void httpEnable();
    void projectType_data();
    void projectType();
    void portNumber_data();
    void portNumber();
    void tempDir_data();
    void tempDir();
    void unknownKeysReadEmpty();
    void generalGroup();
    void reloadKeepsUpdateEntries();
    void onlyServerGroup();
    void absentOrUnreadableFile_data();
    void absentOrUnreadableFile();
    void loadedFlagNeverGoesBack();
};

void TestConfigManager::httpEnable_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("absent key defaults to true") << QByteArray("[Update]\nHostExe=a.exe\n") << true;
    QTest::newRow("TRUE") << QByteArray("[Update]\nHttpEnable=TRUE\n") << true;
    QTest::newRow("True") << QByteArray("[Update]\nHttpEnable=True\n") << true;
    QTest::newRow("1") << QByteArray("[Update]\nHttpEnable=1\n") << true;
    QTest::newRow("yes") << QByteArray("[Update]\nHttpEnable=yes\n") << false;
    QTest::newRow("0") << QByteArray("[Update]\nHttpEnable=0\n") << false;
    QTest::newRow("explicitly empty") << QByteArray("[Update]\nHttpEnable=\n") << false;
    QTest::newRow("false") << QByteArray("[Update]\nHttpEnable=false\n") << false;
}

void TestConfigManager::httpEnable()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, enabled);
    QTemporaryDir dir;
    const QString path = writeConfig(dir, content);
    const CConfigManager config(path, path);
    QCOMPARE(config.isHttpEnabled(), enabled);
}

void TestConfigManager::projectType_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("type");
    QTest::newRow("3") << QByteArray("[Project]\nType=3\n") << 3;
    QTest::newRow("6 is the last edition") << QByteArray("[Project]\nType=6\n") << 6;
    QTest::newRow("0 is out of range") << QByteArray("[Project]\nType=0\n") << 1;
    QTest::newRow("7 is out of range") << QByteArray("[Project]\nType=7\n") << 1;
    QTest::newRow("-1") << QByteArray("[Project]\nType=-1\n") << 1;
    QTest::newRow("a word") << QByteArray("[Project]\nType=three\n") << 1;
    QTest::newRow("empty value") << QByteArray("[Project]\nType=\n") << 1;
    QTest::newRow("absent key") << QByteArray("[Project]\nName=x\n") << 1;
}

void TestConfigManager::projectType()
{
    QFETCH(QByteArray, content);
    QFETCH(int, type);
    QTemporaryDir dir;
    const QString path = writeConfig(dir, content);
    QCOMPARE(CConfigManager(path, path).projectType(), type);
}

void TestConfigManager::portNumber_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("port");
    QTest::newRow("9000") << QByteArray("9000") << 9000;
    QTest::newRow("65535 is the last port") << QByteArray("65535") << 65535;
    QTest::newRow("port cut to 16 bits") << QByteArray("65537") << 1;
    QTest::newRow("65536 is cut to 0") << QByteArray("65536") << 0;
    QTest::newRow("negative") << QByteArray("-1") << 0;
    QTest::newRow("trailing word") << QByteArray("80x") << 0;
    QTest::newRow("empty value") << QByteArray() << 0;
}

void TestConfigManager::portNumber()
{
    QFETCH(QByteArray, value);
    QFETCH(int, port);
    QTemporaryDir dir;
    const QString path = writeConfig(dir, "[Server]\nUpdatePort=" + value + "\n");
    QCOMPARE(int(::portNumber(CConfigManager(path, path).updatePort())), port);
}

void TestConfigManager::tempDir_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("tempPath");
    QTest::addColumn<QString>("tempDir");
    QTest::newRow("slash appended") << QByteArray("[Paths]\nTemp=UpdateTmp\n") << QStringLiteral("UpdateTmp")
                                    << QStringLiteral("UpdateTmp/");
    QTest::newRow("trailing slash kept") << QByteArray("[Paths]\nTemp=UpdateTmp/\n")
                                         << QStringLiteral("UpdateTmp/") << QStringLiteral("UpdateTmp/");
    QTest::newRow("empty gives root slash") << QByteArray("[Paths]\nTemp=\n") << QString() << QStringLiteral("/");
}

void TestConfigManager::tempDir()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, tempPath);
    QFETCH(QString, tempDir);
    QTemporaryDir dir;
    const QString path = writeConfig(dir, content);
    const CConfigManager config(path, path);
    QCOMPARE(config.tempPath(), tempPath);
    QCOMPARE(config.tempDir(), tempDir);
}

void TestConfigManager::unknownKeysReadEmpty()
{
    QTemporaryDir dir;
    const QString path = writeConfig(dir, "[Update]\nHostExe=client.exe\nOther=1\n[Extra]\nKey=v\n");
    const CConfigManager config(path, path);
    QCOMPARE(config.hostExe(), QStringLiteral("client.exe"));
    QCOMPARE(config.value(QStringLiteral("Update"), QStringLiteral("Other")), QString());
    QCOMPARE(config.value(QStringLiteral("Extra"), QStringLiteral("Key")), QString());
    QCOMPARE(config.value(QStringLiteral("update"), QStringLiteral("HostExe")), QString());
}

void TestConfigManager::generalGroup()
{
    // "[General]" is special to the INI reader; its keys must still be found.
    QTemporaryDir dir;
    const QString path = writeConfig(dir, "[General]\nVersion=1.0.7\n[Paths]\nTemp=T\n");
    const CConfigManager config(path, path);
    QCOMPARE(config.localVersion(), QStringLiteral("1.0.7"));
    QCOMPARE(config.tempPath(), QStringLiteral("T"));
    const QString other = writeConfig(dir, "Version=top\n[Paths]\nTemp=T\n");
    QCOMPARE(CConfigManager(other, other).localVersion(), QStringLiteral("top"));
}

void TestConfigManager::reloadKeepsUpdateEntries()
{
    QTemporaryDir dir;
    const QString path = writeConfig(dir, "[Update]\nURL=http://old/\nHostExe=old.exe\n");
    CConfigManager config(path, path);
    writeConfig(dir, "[Update]\nURL=http://new.example/\nHostExe=newer-client.exe\n");
    config.reload();
    QCOMPARE(config.hostExe(), QStringLiteral("newer-client.exe"));
    QCOMPARE(config.updateEntry(QStringLiteral("URL")), QStringLiteral("http://old/"));
}

void TestConfigManager::onlyServerGroup()
{
    QTemporaryDir dir;
    const QString path = writeConfig(dir, "[Server]\nUpdateServer=10.1.2.3\nUpdatePort=9000\n");
    const CConfigManager config(path, path);
    QCOMPARE(config.updateServer(), QStringLiteral("10.1.2.3"));
    QCOMPARE(config.updatePort(), QStringLiteral("9000"));
    for (const char *key : {"URL", "ExeName", "HostExe", "UpdateExe", "UpdateHelperExe"})
        QCOMPARE(config.value(QStringLiteral("Update"), QString::fromLatin1(key)), QString());
    QCOMPARE(config.value(QStringLiteral("Update"), QStringLiteral("HttpEnable")), QStringLiteral("true"));
}

void TestConfigManager::absentOrUnreadableFile_data()
{
    QTest::addColumn<bool>("directoryInPlace");
    QTest::addColumn<bool>("loaded");
    QTest::newRow("missing file loads defaults") << false << true;
    QTest::newRow("unreadable file loads nothing") << true << false; // a directory stops even root
}

void TestConfigManager::absentOrUnreadableFile()
{
    QFETCH(bool, directoryInPlace);
    QFETCH(bool, loaded);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("system.cfg"));
    QVERIFY(!directoryInPlace || QDir().mkpath(path));
    const CConfigManager config(path, path);
    QCOMPARE(config.isSystemConfigLoaded(), loaded);
    QCOMPARE(config.isHttpEnabled(), loaded); // on by default, off when nothing could be read
    QCOMPARE(config.updateServer(), QString());
    QCOMPARE(config.projectType(), 1);
    QCOMPARE(config.tempDir(), QStringLiteral("/"));
}

void TestConfigManager::loadedFlagNeverGoesBack()
{
    QTemporaryDir dir;
    const QString path = writeConfig(dir, "[Update]\nHostExe=a.exe\n");
    CConfigManager config(path, path);
    QVERIFY(config.isSystemConfigLoaded());
    QVERIFY(QFile::remove(path));
    QVERIFY(QDir().mkpath(path));
    config.reload();
    QVERIFY(config.isSystemConfigLoaded());
    QCOMPARE(config.hostExe(), QString());
}

QTEST_GUILESS_MAIN(TestConfigManager)
#include "tst_cconfigmanager.moc"
