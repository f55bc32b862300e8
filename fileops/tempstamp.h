#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

/// The note in the temporary area that says which release its files belong
/// to. A run for the same release keeps what an interrupted run downloaded
/// (whole files, and the validators that let a cut large file be resumed);
/// a run for any other release starts from an empty area.
///
/// The stamp is written whole or not at all, so a kill leaves either the
/// old note or the new one. Everything read from it is bounded and checked:
/// a damaged stamp reads as no stamp.
namespace TempStamp {

/// Name of the stamp at the top of the temporary area (a hidden file).
QString fileName();
/// True for the stamp and for the replacement of it that a kill may leave;
/// neither is part of a release.
bool isStampName(const QString &topLevelName);

/// The release identity recorded in @p dir, or empty when there is none.
QByteArray identity(const QString &dir);
/// Records @p identity for @p dir, dropping every validator. False (logged)
/// when the stamp could not be written.
bool write(const QString &dir, const QByteArray &identity);

/// The validators (ETag or Last-Modified) recorded for partial downloads,
/// by their path relative to @p dir.
QHash<QString, QString> validators(const QString &dir);
/// Records @p validator for @p relativePath. A validator or path that could
/// not be read back as it was written (too long, a line break) is not recorded.
bool recordValidator(const QString &dir, const QString &relativePath, const QString &validator);

/// Removes every file below @p dir whose path relative to it is not in
/// @p kept, apart from the stamp and the directory's ownership marker
/// (@p markerName): what is left in the area is then exactly what the
/// release plan lists. Returns the number removed, or -1 when one could
/// not be removed (logged).
int removeOthers(const QString &dir, const QSet<QString> &kept, const QString &markerName);

} // namespace TempStamp
