#include "fileops/restartscript.h"

#include <QTextCodec>

namespace RestartScript {

QString fileName(qint64 msecsSinceEpoch, bool windows)
{
    return QStringLiteral("delay_start_%1.%2")
        .arg(msecsSinceEpoch)
        .arg(windows ? QStringLiteral("bat") : QStringLiteral("sh"));
}

QByteArray windowsScript(const QString &target, const QStringList &arguments, const QString &scriptPath)
{
    const QChar quote = QLatin1Char('"');
    QString command = quote + QString(target).replace(QLatin1Char('/'), QLatin1Char('\\')) + quote;
    // cmd.exe has no escape for a double quote inside quotes; arguments are
    // passed as they are, the way the client has always received them.
    for (const QString &argument : arguments)
        command += QLatin1Char(' ') + quote + argument + quote;

    const QStringList lines = {
        QStringLiteral("@echo off"),
        QStringLiteral("echo Starting in 1 second..."),
        QStringLiteral("timeout /t 1 /nobreak >nul"),
        command,
        QStringLiteral("del ") + quote + QString(scriptPath).replace(QLatin1Char('/'), QLatin1Char('\\')) + quote,
    };
    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    const QString text = lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
    return gbk ? gbk->fromUnicode(text) : text.toLocal8Bit();
}

QString shellQuote(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QByteArray posixScript(const QString &target, const QStringList &arguments, const QString &scriptPath)
{
    QString command = QStringLiteral("exec ") + shellQuote(target);
    for (const QString &argument : arguments)
        command += QLatin1Char(' ') + shellQuote(argument);

    // The script removes itself before exec replaces the shell by the program,
    // because nothing runs in the shell afterwards.
    const QStringList lines = {
        QStringLiteral("#!/bin/sh"),
        QStringLiteral("sleep 1"),
        QStringLiteral("rm -f ") + shellQuote(scriptPath),
        command,
    };
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

} // namespace RestartScript
