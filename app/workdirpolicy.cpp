#include "app/workdirpolicy.h"

#include <QDir>
#include <QFileInfo>

namespace WorkDirPolicy {

namespace {

// True when @p inner is @p outer or lies below it.
bool isSameOrInside(const QString &inner, const QString &outer)
{
    if (inner == outer)
        return true;
    const QString prefix = outer.endsWith(QLatin1Char('/')) ? outer : outer + QLatin1Char('/');
    return inner.startsWith(prefix);
}

} // namespace

QString resolve(const QString &path)
{
    QString clean = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    // Resolve links in the longest existing ancestor, then append the rest,
    // so "link-to-app/../x" and not-yet-created directories compare correctly.
    QString existing = clean;
    QString rest;
    while (!existing.isEmpty() && !QFileInfo::exists(existing)) {
        const int cut = existing.lastIndexOf(QLatin1Char('/'));
        if (cut <= 0) {
            existing = QStringLiteral("/");
            break;
        }
        rest = existing.mid(cut) + rest;
        existing = existing.left(cut);
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    const QString resolved = QDir::cleanPath((canonical.isEmpty() ? existing : canonical) + rest);
#ifdef Q_OS_WIN
    return resolved.toLower(); // the file system ignores letter case
#else
    return resolved;
#endif // Q_OS_WIN
}

bool coversAppDir(const QString &appDir, const QString &dir)
{
    return isSameOrInside(resolve(appDir), resolve(dir));
}

QString checkConfiguration(const QString &appDir, const QString &tempValue, const QString &backupValue,
                           const QString &tempDir, const QString &backupDir)
{
    if (tempValue.trimmed().isEmpty())
        return QStringLiteral("临时目录未配置(Paths/Temp)");
    if (backupValue.trimmed().isEmpty())
        return QStringLiteral("备份目录未配置(Paths/Backup)");
    if (coversAppDir(appDir, tempDir))
        return QStringLiteral("临时目录不能是程序目录或其上级目录:") + tempDir;
    if (coversAppDir(appDir, backupDir))
        return QStringLiteral("备份目录不能是程序目录或其上级目录:") + backupDir;
    const QString temp = resolve(tempDir);
    const QString backup = resolve(backupDir);
    if (isSameOrInside(temp, backup) || isSameOrInside(backup, temp))
        return QStringLiteral("临时目录与备份目录不能相同或互相包含:") + tempDir + QStringLiteral(" / ") + backupDir;
    return QString();
}

} // namespace WorkDirPolicy
