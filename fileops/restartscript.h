#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QTextCodec;

/// Texts of the script through which the updater starts a program about one
/// second later, after it has quit itself. Pure functions, so both variants
/// can be checked on any platform.
namespace RestartScript {

/// "delay_start_<msecs>.bat" (Windows) or "delay_start_<msecs>.sh" (POSIX).
QString fileName(qint64 msecsSinceEpoch, bool windows);

/// The Windows batch file with CR LF line ends: echo off, a notice, a
/// one-second timeout, the quoted command line with backslashes, and the line
/// that deletes the script itself. "%" is doubled, because a batch file
/// expands it even inside quotes. The text is encoded with @p codec, the one
/// cmd.exe reads batch files in (the console's OEM code page: GBK on a Chinese
/// Windows); a null codec allows ASCII only. Empty when a path or argument
/// cannot be encoded: the caller then starts the program without the script.
QByteArray windowsScript(const QString &target, const QStringList &arguments, const QString &scriptPath,
                         QTextCodec *codec);

/// The codec of a Windows code page (936 is GBK), or null when the toolkit
/// has none for it.
QTextCodec *codecForCodePage(unsigned codePage);

/// The POSIX shell script: sleep one second, delete the script, then exec the
/// program. Every word is single-quoted so that blanks, quotes, "$" and
/// backticks reach the program unchanged.
QByteArray posixScript(const QString &target, const QStringList &arguments, const QString &scriptPath);

/// @p text as one single-quoted shell word.
QString shellQuote(const QString &text);

} // namespace RestartScript
