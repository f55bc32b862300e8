#pragma once

#include "config/md5manifest.h"
#include "http/downloadentry.h"

#include <QString>
#include <QVector>

/// Turns the difference map into the list of file downloads.
namespace DownloadPlan {

/// Most connections that a server's version file can allow for the files
/// (`[Download]` `Connections`); a larger value counts as this one.
inline constexpr int kMaxConnections = 8;

/// Fills @p out with one entry per path of @p diff, in key order: the file's
/// address on the server, its place below the temporary directory
/// @p tempDir (absolute, with or without trailing "/") and its MD5.
/// Before anything is planned, every path must pass the manifest path rules,
/// no two paths may differ only in letter case, and @p tempDir must be an
/// absolute directory; otherwise returns false with @p detail ("文件路径不安全:"
/// + path, "文件路径仅大小写不同:" + both paths, or "临时目录配置无效:" +
/// @p tempDir) and @p reason set, and @p out empty.
bool build(const Md5Manifest &diff, const QString &base, const QString &serverFolder, const QString &tempDir,
           QVector<DownloadEntry> *out, QString *detail, QString *reason);

} // namespace DownloadPlan
