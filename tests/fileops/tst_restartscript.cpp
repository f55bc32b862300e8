#include "fileops/delaystart.h"
#include "fileops/restartscript.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

class TestRestartScript : public QObject
{
    Q_OBJECT

private slots:
    void fileNames();
    void windowsScriptLines();
    void windowsScriptEncoding_data();
    void windowsScriptEncoding();
    void posixQuoting_data();
    void posixQuoting();
    void posixScriptLines();
    void delayedStartPassesArgumentsIntact();
};

void TestRestartScript::fileNames()
{
    QCOMPARE(RestartScript::fileName(1700000000000, true), QStringLiteral("delay_start_1700000000000.bat"));
    QCOMPARE(RestartScript::fileName(1700000000000, false), QStringLiteral("delay_start_1700000000000.sh"));
}

void TestRestartScript::windowsScriptLines()
{
    const QByteArray script = RestartScript::windowsScript(
        QStringLiteral("C:/App/client.exe"), {QStringLiteral("update.exe"), QStringLiteral("with space")},
        QStringLiteral("C:/Temp/delay_start_1700000000000.bat"), QTextCodec::codecForName("GBK"));
    const QByteArray expected = "@echo off\r\n"
                                "echo Starting in 1 second...\r\n"
                                "timeout /t 1 /nobreak >nul\r\n"
                                "\"C:\\App\\client.exe\" \"update.exe\" \"with space\"\r\n"
                                "del \"C:\\Temp\\delay_start_1700000000000.bat\"\r\n";
    QCOMPARE(script, expected);

    // Embedded quotes are passed as they are: cmd.exe has no escape for them.
    const QByteArray quoted = RestartScript::windowsScript(QStringLiteral("C:/a.exe"), {QStringLiteral("say \"hi\"")},
                                                           QStringLiteral("C:/t.bat"), nullptr);
    QVERIFY(quoted.contains("\"C:\\a.exe\" \"say \"hi\"\"\r\n"));
}

void TestRestartScript::windowsScriptEncoding_data()
{
    QTest::addColumn<unsigned>("codePage");
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray gbkClient = QTextCodec::codecForName("GBK")->fromUnicode(QStringLiteral("客户端"));
    QTest::newRow("Chinese console: GBK bytes") << 936u << QStringLiteral("客户端") << gbkClient;
    QTest::newRow("percent doubled, batch expands it inside quotes")
        << 936u << QStringLiteral("100%") << QByteArray("100%%");
    QTest::newRow("Western console: OEM 850 bytes") << 850u << QStringLiteral("Café") << QByteArray("Caf\x82");
    QTest::newRow("Korean name in GBK cannot be written") << 936u << QStringLiteral("한국") << QByteArray();
    QTest::newRow("Chinese name in OEM 850 cannot be written") << 850u << QStringLiteral("客户端") << QByteArray();
    QTest::newRow("no codec: ASCII passes") << 0u << QStringLiteral("R&D (x)") << QByteArray("R&D (x)");
    QTest::newRow("no codec: anything else cannot be written") << 0u << QStringLiteral("Café") << QByteArray();
}

// The program's path and the script's own path must reach cmd.exe in the
// console's code page; a name it cannot hold gives no script at all.
void TestRestartScript::windowsScriptEncoding()
{
    QFETCH(unsigned, codePage);
    QFETCH(QString, directory);
    QFETCH(QByteArray, expected);
    QTextCodec *codec = codePage ? RestartScript::codecForCodePage(codePage) : nullptr;
    QVERIFY(codePage == 0 || codec);

    const QByteArray program = RestartScript::windowsScript(QStringLiteral("C:/%1/client.exe").arg(directory),
                                                            {QStringLiteral("update.exe")},
                                                            QStringLiteral("C:/Temp/x.bat"), codec);
    const QByteArray self = RestartScript::windowsScript(QStringLiteral("C:/client.exe"), {},
                                                         QStringLiteral("C:/%1/x.bat").arg(directory), codec);
    if (expected.isEmpty()) {
        QVERIFY(program.isEmpty());
        QVERIFY(self.isEmpty());
        return;
    }
    QVERIFY(program.contains("\r\n\"C:\\" + expected + "\\client.exe\" \"update.exe\"\r\n"));
    QVERIFY(self.endsWith("\r\ndel \"C:\\" + expected + "\\x.bat\"\r\n"));
}

void TestRestartScript::posixQuoting_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("quoted");
    QTest::newRow("plain") << QStringLiteral("abc") << QStringLiteral("'abc'");
    QTest::newRow("empty") << QString() << QStringLiteral("''");
    QTest::newRow("blank and dollar") << QStringLiteral("a $HOME `id`") << QStringLiteral("'a $HOME `id`'");
    QTest::newRow("single quote") << QStringLiteral("it's") << QStringLiteral("'it'\\''s'");
}

void TestRestartScript::posixQuoting()
{
    QFETCH(QString, text);
    QFETCH(QString, quoted);
    QCOMPARE(RestartScript::shellQuote(text), quoted);
}

void TestRestartScript::posixScriptLines()
{
    const QByteArray script = RestartScript::posixScript(QStringLiteral("/opt/app/client"),
                                                         {QStringLiteral("a b")}, QStringLiteral("/tmp/d.sh"));
    QCOMPARE(script, QByteArray("#!/bin/sh\nsleep 1\nrm -f '/tmp/d.sh'\nexec '/opt/app/client' 'a b'\n"));
}

void TestRestartScript::delayedStartPassesArgumentsIntact()
{
#ifdef Q_OS_WIN
    QSKIP("the real start is checked through the POSIX script");
#endif // Q_OS_WIN
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("args.txt"));
    const QString program = dir.filePath(QStringLiteral("record args.sh"));
    QFile file(program);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.tmp\"\nmv \"$0.tmp\" \"" +
               output.toUtf8() + "\"\n");
    file.close();
    QVERIFY(file.setPermissions(file.permissions() | QFileDevice::ExeOwner));

    const QStringList arguments = {QStringLiteral("two words"), QStringLiteral("say \"hi\""),
                                   QStringLiteral("it's $HOME `id` \\n"), QStringLiteral("中文")};
    // A temporary directory of its own: other tests running at the same time
    // start scripts too.
    QTemporaryDir scripts;
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", scripts.path().toUtf8());
    QElapsedTimer clock;
    clock.start();
    delayStart(program, arguments);
    if (oldTmp.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", oldTmp);

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(output), 10000);
    QVERIFY2(clock.elapsed() >= 900, "the start is delayed by about one second");
    QFile result(output);
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(result.readAll()), arguments.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    // The script removed itself.
    QTRY_COMPARE(QDir(scripts.path()).entryList(QDir::Files), QStringList());
}

QTEST_GUILESS_MAIN(TestRestartScript)
#include "tst_restartscript.moc"
