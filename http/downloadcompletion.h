#pragma once

#include "http/downloadentry.h"

#include <QString>

class CDownloadFile;
class QNetworkReply;

/// The last step of one file download.
namespace DownloadCompletion {

/// Completes @p file from the finished @p reply: refuses an error or a
/// non-2xx answer ("文件下载失败:" + reason), writes what is left of the
/// body and flushes ("无法保存文件:" + path), then hashes the stored file
/// and compares it with the manifest MD5, ignoring letter case
/// ("文件校验失败:" + path). Returns true when the file is stored and
/// verified; otherwise false with @p detail set, the failure logged and no
/// file left behind. @p cause, when given, receives the short user text of
/// the failure (see HttpErrorText).
bool store(QNetworkReply *reply, CDownloadFile &file, const DownloadEntry &entry, QString *detail,
           QString *cause = nullptr);

} // namespace DownloadCompletion
