#pragma once

#include "config/md5manifest.h"

#include <QString>
#include <QStringList>

/// Rules for the paths of a server manifest before anything is fetched.
///
/// A manifest path is joined as plain text behind the temporary area, so it
/// must be exactly one leading "/" followed by ordinary names: no empty,
/// "." or ".." segment, no backslash, drive letter or other colon, no control
/// character, no reserved device name (the segment rules of SafePath), and
/// a bounded length.
namespace ManifestPathRules {

/// Longest manifest path accepted, in UTF-16 code units. Windows paths
/// rarely pass 260 characters; this leaves room and still stops garbage.
inline constexpr int kMaxPathLength = 1024;

/// True when @p path is acceptable. On false, @p reason (when given) says why.
bool isSafeManifestPath(const QString &path, QString *reason = nullptr);

/// Finds the first unsafe path of @p manifest in key order. Returns false
/// when every path is safe; otherwise true with @p path and @p reason set.
bool findUnsafePath(const Md5Manifest &manifest, QString *path, QString *reason);

/// Finds two of @p paths that differ only in letter case: on a file system
/// that ignores case (Windows) they are one file, so whichever comes second
/// would silently replace the first. Returns true with both set.
bool findCaseCollision(const QStringList &paths, QString *first, QString *second);

/// @p path made fit for a log line or a label: control characters become
/// U+FFFD and the text is cut to 200 characters.
QString printable(const QString &path);

} // namespace ManifestPathRules
