#include "tcp/unchangedfiles.h"

#include "fileops/digest.h"
#include "fileops/safepath.h"

#include <QDir>

namespace UnchangedFiles {

bool isInstalled(const FileItem &item, const QString &appDir)
{
    if (item.sha256.isEmpty() && item.md5.isEmpty())
        return false;
    if (!SafePath::isSafeRelativePath(item.path) || !SafePath::isSafeFileName(item.name))
        return false;
    // These two are installed under other names, and always with the release.
    const QString relative = item.releasePath();
    if (relative == QLatin1String("md5.txt") || relative == QLatin1String("update.ini"))
        return false;
    return holds(item, QDir(appDir).filePath(relative));
}

bool holds(const FileItem &item, const QString &path)
{
    if (!item.sha256.isEmpty())
        return Digest::fileMatches(Digest::Algorithm::Sha256, path, item.sha256, item.size);
    return Digest::fileMatches(Digest::Algorithm::Md5, path, item.md5);
}

QList<FileItem> withoutInstalled(const QList<FileItem> &items, const QString &appDir, QStringList *skipped)
{
    QList<FileItem> remaining;
    for (const FileItem &item : items) {
        if (isInstalled(item, appDir))
            skipped->append(item.releasePath());
        else
            remaining.append(item);
    }
    return remaining;
}

} // namespace UnchangedFiles
