#pragma once

#include <QString>

/// Path rules for names that come from a server or a manifest.
///
/// A release is built once for every platform, so the same rules hold
/// everywhere: a path is split at "/", empty segments are skipped, and every
/// other segment must be an ordinary file name (no "." or "..", no backslash,
/// colon or control character, no trailing dot or blank, no Windows device
/// name such as CON or com1.txt).
namespace SafePath {

/// True when @p segment is one acceptable file or directory name.
/// On false, @p reason (when given) says why.
bool isSafeSegment(const QString &segment, QString *reason = nullptr);

/// True when @p path is a relative directory path made of safe segments.
/// The empty text (the root of the area) is safe.
bool isSafeRelativePath(const QString &path, QString *reason = nullptr);

/// True when @p name is exactly one safe segment.
bool isSafeFileName(const QString &name, QString *reason = nullptr);

/// @p dir and @p name joined with "/", empty segments dropped:
/// ("a//b", "c") gives "a/b/c". Both parts must have passed the checks above.
QString joinRelative(const QString &dir, const QString &name);

} // namespace SafePath
