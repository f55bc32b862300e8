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
    void windowsScriptIsGbk();
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
        QStringLiteral("C:/Temp/delay_start_1700000000000.bat"));
    const QByteArray expected = "@echo off\r\n"
                                "echo Starting in 1 second...\r\n"
                                "timeout /t 1 /nobreak >nul\r\n"
                                "\"C:\\App\\client.exe\" \"update.exe\" \"with space\"\r\n"
                                "del \"C:\\Temp\\delay_start_1700000000000.bat\"\r\n";
    QCOMPARE(script, expected);

    // Embedded quotes are passed as they are: cmd.exe has no escape for them.
    const QByteArray quoted = RestartScript::windowsScript(QStringLiteral("C:/a.exe"), {QStringLiteral("say \"hi\"")},
                                                           QStringLiteral("C:/t.bat"));
    QVERIFY(quoted.contains("\"C:\\a.exe\" \"say \"hi\"\"\r\n"));
}

void TestRestartScript::windowsScriptIsGbk()
{
    const QByteArray script = RestartScript::windowsScript(QStringLiteral("C:/客户端/client.exe"), QStringList(),
                                                           QStringLiteral("C:/Temp/x.bat"));
    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    QVERIFY(gbk);
    QVERIFY(script.contains(gbk->fromUnicode(QStringLiteral("C:\\客户端\\client.exe"))));
    QVERIFY(!script.contains(QStringLiteral("客户端").toUtf8()));
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
    const QStringList scriptsBefore = QDir::temp().entryList({QStringLiteral("delay_start_*.sh")});
    QElapsedTimer clock;
    clock.start();
    delayStart(program, arguments);

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(output), 10000);
    QVERIFY2(clock.elapsed() >= 900, "the start is delayed by about one second");
    QFile result(output);
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(result.readAll()), arguments.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    // The script removed itself.
    QTRY_COMPARE(QDir::temp().entryList({QStringLiteral("delay_start_*.sh")}), scriptsBefore);
}

QTEST_GUILESS_MAIN(TestRestartScript)
#include "tst_restartscript.moc"
