#include "fileops/restartscript.h"

#include <QTextCodec>

namespace RestartScript {

QString fileName(qint64 msecsSinceEpoch, bool windows)
{
    return QStringLiteral("delay_start_%1.%2")
        .arg(msecsSinceEpoch)
        .arg(windows ? QStringLiteral("bat") : QStringLiteral("sh"));
}

QByteArray windowsScript(const QString &target, const QStringList &arguments, const QString &scriptPath,
                         QTextCodec *codec)
{
    const QChar quote = QLatin1Char('"');
    const auto batchPath = [](const QString &path) {
        return QString(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
    };
    QString command = quote + batchPath(target) + quote;
    // cmd.exe has no escape for a double quote inside quotes; arguments are
    // passed as they are, the way the client has always received them.
    for (const QString &argument : arguments)
        command += QLatin1Char(' ') + quote + argument + quote;

    QStringList lines = {
        QStringLiteral("@echo off"),
        QStringLiteral("echo Starting in 1 second..."),
        QStringLiteral("timeout /t 1 /nobreak >nul"),
        command,
        QStringLiteral("del ") + quote + batchPath(scriptPath) + quote,
    };
    for (int i = 3; i < lines.size(); ++i)
        lines[i].replace(QLatin1Char('%'), QStringLiteral("%%"));
    const QString text = lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");

    if (!codec) {
        for (const QChar c : text) {
            if (c.unicode() > 0x7f)
                return QByteArray();
        }
        return text.toLatin1();
    }
    // A character the code page lacks would become "?" and name another file.
    const QByteArray encoded = codec->fromUnicode(text);
    return codec->toUnicode(encoded) == text ? encoded : QByteArray();
}

QTextCodec *codecForCodePage(unsigned codePage)
{
    switch (codePage) {
    case 936:
        return QTextCodec::codecForName("GBK");
    case 950:
        return QTextCodec::codecForName("Big5");
    case 932:
        return QTextCodec::codecForName("Shift_JIS");
    case 949:
        return QTextCodec::codecForName("cp949");
    case 65001:
        return QTextCodec::codecForName("UTF-8");
    default:
        break;
    }
    const QByteArray number = QByteArray::number(codePage);
    if (QTextCodec *codec = QTextCodec::codecForName("CP" + number))
        return codec;
    return QTextCodec::codecForName("IBM" + number);
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
