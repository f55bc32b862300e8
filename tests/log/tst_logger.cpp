#include "log/logger.h"
#include "stdcapture.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <spdlog/spdlog.h>

#include <iostream>

// The logger exists once per process, so the cases run in order: first the
// fallback of a failed set-up, then a working logger that the rest share.
class TestLogger : public QObject
{
    Q_OBJECT

private slots:
    void logPathJoinsPlainly_data();
    void logPathJoinsPlainly();
    void fallbackWhenDirectoryCannotBeCreated();
    void debugGoesOnlyToFile();
    void lineLayout_data();
    void lineLayout();
    void rotatesToExactlyFourFiles();

private:
    QByteArray readLog() const;

    QTemporaryDir logDir;
    QString logFile;
};

void TestLogger::logPathJoinsPlainly_data()
{
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("expected");
    QTest::newRow("sub-directory") << QStringLiteral("Log/") << QStringLiteral("/app/Log/update.log");
    QTest::newRow("empty value") << QString() << QStringLiteral("/app/update.log");
    QTest::newRow("no trailing slash is glued") << QStringLiteral("Log") << QStringLiteral("/app/Logupdate.log");
}

void TestLogger::logPathJoinsPlainly()
{
    QFETCH(QString, configured);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(logFilePathFor("/app", configured.toStdString())), expected);
}

void TestLogger::fallbackWhenDirectoryCannotBeCreated()
{
    // A regular file where the log directory should be stops even root.
    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("Log")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    QByteArray errors;
    {
        StdCapture err(2);
        initLogger(dir.filePath(QStringLiteral("Log/update.log")).toStdString());
        errors = err.text();
    }
    QVERIFY2(errors.startsWith("Log initialization failed: "), errors.constData());

    StdCapture out(1);
    logInfo("Update started");
    logDebug("a debug line");
    QCOMPARE(out.text(), QByteArray("[INFO] Update started\n[DEBUG] a debug line\n"));
}

void TestLogger::debugGoesOnlyToFile()
{
    QVERIFY(logDir.isValid());
    // A directory name outside every ANSI code page: the file name must reach
    // the file system as wide text on Windows.
    logFile = logDir.filePath(QStringLiteral("日志 ü/nested/update.log"));
    // Captured from before the set-up, since a console sink may take the
    // standard handle when it is created.
    StdCapture out(1);
    initLogger(logFile.toStdString());
    QVERIFY2(QFile::exists(logFile), "the file sink creates a missing directory");

    logDebug("debug-line-7f3a");
    logInfo("info-line-7f3a");
    spdlog::get("update_helper")->flush();
    const QByteArray console = out.text();
    QVERIFY(!console.contains("debug-line-7f3a"));
    QVERIFY(console.contains("info-line-7f3a"));

    const QByteArray file = readLog();
    QVERIFY(file.contains("debug-line-7f3a"));
    QVERIFY(file.contains("info-line-7f3a"));
}

void TestLogger::lineLayout_data()
{
    QTest::addColumn<bool>("warning");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("info line with Chinese text") << false << QByteArray("layout-check 中文");
    QTest::newRow("braces and percent are literal") << false << QByteArray("brace {} {0} {:>10} 100% %s");
    QTest::newRow("warning reaches disk without a flush") << true << QByteArray("warning-line-91c2");
}

void TestLogger::lineLayout()
{
    QFETCH(bool, warning);
    QFETCH(QByteArray, message);
    if (warning) {
        // No explicit flush: a warning must be on disk as soon as it is logged.
        logWarn(message.toStdString());
    } else {
        logInfo(message.toStdString());
        spdlog::get("update_helper")->flush();
    }
    const QString text = QString::fromUtf8(readLog());
    const QString layout = QStringLiteral(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[%1\] \[\d+\] )");
    const QRegularExpression line(layout.arg(warning ? QStringLiteral("warning") : QStringLiteral("info"))
                                  + QRegularExpression::escape(QString::fromUtf8(message)) + QStringLiteral("\r\n"));
    QVERIFY2(line.match(text).hasMatch(), qPrintable(text.right(200)));
}

void TestLogger::rotatesToExactlyFourFiles()
{
    const std::string filler(1000, 'x');
    // About 24 MiB: enough for several rotations of 5 MiB files.
    for (int i = 0; i < 25000; ++i)
        logDebug(filler);
    spdlog::get("update_helper")->flush();

    const QDir dir = QFileInfo(logFile).dir();
    QStringList files = dir.entryList(QDir::Files, QDir::Name);
    QCOMPARE(files, QStringList({QStringLiteral("update.1.log"), QStringLiteral("update.2.log"),
                                 QStringLiteral("update.3.log"), QStringLiteral("update.log")}));
    for (const QString &name : files)
        QVERIFY(QFileInfo(dir.filePath(name)).size() <= 5 * 1024 * 1024);
}

QByteArray TestLogger::readLog() const
{
    QFile file(logFile);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
