#include "http/downloadplan.h"

#include "http/httplayout.h"
#include "http/manifestpathrules.h"

#include <QDir>

namespace DownloadPlan {

bool build(const Md5Manifest &diff, const QString &base, const QString &serverFolder, const QString &tempDir,
           QVector<DownloadEntry> *out, QString *detail, QString *reason)
{
    out->clear();
    // A single hostile entry stops the whole update before the first byte
    // is fetched, so nothing is ever written for it.
    QString badPath;
    if (ManifestPathRules::findUnsafePath(diff, &badPath, reason)) {
        *detail = QStringLiteral("文件路径不安全:") + ManifestPathRules::printable(badPath);
        return false;
    }
    QString first;
    QString second;
    if (ManifestPathRules::findCaseCollision(diff.keys(), &first, &second)) {
        *detail = QStringLiteral("文件路径仅大小写不同:") + ManifestPathRules::printable(first) + QStringLiteral(" 与 ")
                  + ManifestPathRules::printable(second);
        *reason = QStringLiteral("paths that differ only in letter case are one file on Windows");
        return false;
    }
    // A relative directory would follow the process's working directory,
    // which is nobody's promise.
    if (tempDir.isEmpty() || !QDir::isAbsolutePath(tempDir)) {
        *detail = QStringLiteral("临时目录配置无效:") + tempDir;
        *reason = QStringLiteral("the temporary directory is not an absolute path");
        return false;
    }
    const QString dir = tempDir.endsWith(QLatin1Char('/')) ? tempDir.left(tempDir.size() - 1) : tempDir;
    out->reserve(diff.size());
    for (auto it = diff.cbegin(); it != diff.cend(); ++it) {
        out->append(DownloadEntry{HttpLayout::fileUrl(base, serverFolder, it.key()),
                                  HttpLayout::localFilePath(dir, QString(), it.key()), it.value()});
    }
    return true;
}

} // namespace DownloadPlan
