#include "tcp/unchangedfiles.h"

#include "fileops/digest.h"
#include "fileops/safepath.h"

#include <QDir>
#include <QFileInfo>

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
    const QFileInfo installed(QDir(appDir).filePath(relative));
    if (!installed.isFile() || installed.isSymLink())
        return false;
    if (!item.sha256.isEmpty()) {
        return (item.size < 0 || installed.size() == item.size)
            && Digest::ofFile(Digest::Algorithm::Sha256, installed.filePath()) == item.sha256;
    }
    return Digest::ofFile(Digest::Algorithm::Md5, installed.filePath()) == item.md5;
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
