#pragma once

#include <QString>

/// Rules that keep the updater's temporary and backup directories away from
/// the installation itself. Both directories are removed as whole trees, so
/// a configuration that makes either of them the application directory (or
/// an ancestor of it) must never lead to a removal.
namespace WorkDirPolicy {

/// @p path made absolute and clean, with symbolic links resolved for the
/// part of it that exists.
QString resolve(const QString &path);

/// True when @p dir is @p appDir itself or one of its ancestors.
bool coversAppDir(const QString &appDir, const QString &dir);

/// The empty text when the configured values are usable, otherwise a text
/// that says what is wrong. @p tempValue and @p backupValue are the values of
/// `Paths`/`Temp` and `Paths`/`Backup`; @p tempDir and @p backupDir are the
/// directories the controller derived from them.
QString checkConfiguration(const QString &appDir, const QString &tempValue, const QString &backupValue,
                           const QString &tempDir, const QString &backupDir);

} // namespace WorkDirPolicy
