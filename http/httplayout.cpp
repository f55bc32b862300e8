#include "http/httplayout.h"

#include "fileops/safepath.h"

#include <QStringList>

namespace HttpLayout {

QString workingDir(const QString &appDir)
{
    return appDir + QStringLiteral("update/");
}

QString installedVersionFile(const QString &appDir)
{
    return workingDir(appDir) + keptWorkingFile();
}

QString serverVersionFile(const QString &appDir)
{
    return workingDir(appDir) + QStringLiteral("updateTmp.ini");
}

QString serverManifestFile(const QString &appDir)
{
    return workingDir(appDir) + QStringLiteral("md5Tmp.txt");
}

QString localManifestFile(const QString &appDir)
{
    return appDir + QStringLiteral("md5.txt");
}

QString keptWorkingFile()
{
    return QStringLiteral("update.ini");
}

QString versionFileUrl(const QString &base)
{
    return base + QStringLiteral("update.ini");
}

QString serverDescriptionFile(const QString &appDir)
{
    return workingDir(appDir) + QStringLiteral("releaseTmp.sig.json");
}

QString descriptionUrl(const QString &base, const QString &serverFolder)
{
    return base + serverFolder + QStringLiteral("release.sig.json");
}

QString manifestUrl(const QString &base, const QString &serverFolder)
{
    return base + serverFolder + QStringLiteral("md5.txt");
}

QString fileUrl(const QString &base, const QString &serverFolder, const QString &manifestPath)
{
    // Only the characters that would end the path part of an address are
    // encoded; everything else stays as the manifest spells it, and the
    // toolkit encodes blanks and non-ASCII characters itself.
    QString path;
    path.reserve(manifestPath.size());
    for (const QChar c : manifestPath) {
        if (c == QLatin1Char('%'))
            path += QStringLiteral("%25");
        else if (c == QLatin1Char('#'))
            path += QStringLiteral("%23");
        else if (c == QLatin1Char('?'))
            path += QStringLiteral("%3F");
        else
            path += c;
    }
    return base + serverFolder + path;
}

QString localFilePath(const QString &appDir, const QString &tempPath, const QString &manifestPath)
{
    return appDir + tempPath + manifestPath;
}

bool isUsableTempPath(const QString &tempPath, QString *reason)
{
    if (tempPath.split(QLatin1Char('/'), Qt::SkipEmptyParts).isEmpty()) {
        if (reason)
            *reason = QStringLiteral("empty temporary directory");
        return false;
    }
    return SafePath::isSafeRelativePath(tempPath, reason);
}

} // namespace HttpLayout
