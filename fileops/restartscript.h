#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

/// Texts of the script through which the updater starts a program about one
/// second later, after it has quit itself. Pure functions, so both variants
/// can be checked on any platform.
namespace RestartScript {

/// "delay_start_<msecs>.bat" (Windows) or "delay_start_<msecs>.sh" (POSIX).
QString fileName(qint64 msecsSinceEpoch, bool windows);

/// The Windows batch file in GBK with CR LF line ends: echo off, a notice,
/// a one-second timeout, the quoted command line with backslashes, and the
/// line that deletes the script itself.
QByteArray windowsScript(const QString &target, const QStringList &arguments, const QString &scriptPath);

/// The POSIX shell script: sleep one second, delete the script, then exec the
/// program. Every word is single-quoted so that blanks, quotes, "$" and
/// backticks reach the program unchanged.
QByteArray posixScript(const QString &target, const QStringList &arguments, const QString &scriptPath);

/// @p text as one single-quoted shell word.
QString shellQuote(const QString &text);

} // namespace RestartScript
