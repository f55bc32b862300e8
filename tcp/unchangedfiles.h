#pragma once

#include "tcp/versioninfo.h"

#include <QList>
#include <QString>

/// Which files of an offered release the installation already holds, so
/// that a TCP update fetches only what changed. A file counts as installed
/// only when its content is confirmed: the installed file has the signed
/// size and SHA-256, or, for an unsigned release, the MD5 the service
/// announced. The local manifest is no evidence here: a TCP update does not
/// rewrite it, so it may describe an older state.
namespace UnchangedFiles {

/// True when @p appDir already holds @p item with the content it announces.
/// A file without an announced digest, an unsafe path, and the release
/// metadata installed elsewhere (md5.txt, update.ini) never count.
bool isInstalled(const FileItem &item, const QString &appDir);

/// True when the file at @p path has the content that @p item announces:
/// its signed size and SHA-256, or else its MD5.
bool holds(const FileItem &item, const QString &path);

/// @p items without the installed ones, whose release paths go to @p skipped.
QList<FileItem> withoutInstalled(const QList<FileItem> &items, const QString &appDir, QStringList *skipped);

} // namespace UnchangedFiles
