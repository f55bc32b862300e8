#pragma once

#include <QString>
#include <QVector>

/// Clean-up of the HTTP check's working directory after a failed or
/// cancelled update.
namespace WorkDirCleanup {

/// Deletes every path of @p files that exists. Returns false when one could
/// not be deleted (each failure is logged with the file and the reason).
bool removeFiles(const QVector<QString> &files);

/// Removes every entry of @p dir except the file named @p keptName:
/// sub-directories with their contents, files and links (a link is removed
/// itself, never followed). Does nothing when @p dir does not exist, and
/// refuses (false, logged) when @p dir is itself a link. Returns false when
/// an entry could not be removed (logged).
bool clearDirectory(const QString &dir, const QString &keptName);

} // namespace WorkDirCleanup
