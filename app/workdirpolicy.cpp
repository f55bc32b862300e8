#include "app/workdirpolicy.h"

#include <QDir>
#include <QFileInfo>

namespace WorkDirPolicy {

namespace {

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity kCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kCase = Qt::CaseSensitive;
#endif // Q_OS_WIN

// True when @p inner is @p outer or lies below it.
bool isSameOrInside(const QString &inner, const QString &outer)
{
    if (inner.compare(outer, kCase) == 0)
        return true;
    const QString prefix = outer.endsWith(QLatin1Char('/')) ? outer : outer + QLatin1Char('/');
    return inner.startsWith(prefix, kCase);
}

// The root of an absolute path: "/", "D:/" or "//server/share/".
QString rootOf(const QString &absolute, QString *rest)
{
    if (absolute.size() >= 3 && absolute.at(1) == QLatin1Char(':') && absolute.at(2) == QLatin1Char('/')) {
        *rest = absolute.mid(3);
        return absolute.left(3);
    }
    if (absolute.startsWith(QLatin1String("//"))) {
        const int server = absolute.indexOf(QLatin1Char('/'), 2);
        const int share = server < 0 ? -1 : absolute.indexOf(QLatin1Char('/'), server + 1);
        if (share < 0) {
            rest->clear();
            return absolute + QLatin1Char('/');
        }
        *rest = absolute.mid(share + 1);
        return absolute.left(share + 1);
    }
    *rest = absolute.mid(1);
    return QStringLiteral("/");
}

} // namespace

QString resolve(const QString &path)
{
    // Walk the raw path as the operating system does: each existing step has
    // its links resolved before a following ".." applies to it, so
    // "link/../../x" means the parent of the link's target, not of the link.
    // Once a step does not exist, the rest is appended as written.
    QString rest;
    const QString absolute = QDir::fromNativeSeparators(QDir::current().absoluteFilePath(path));
    const QString root = rootOf(absolute, &rest);
    QString current = root;
    bool existing = QFileInfo(root).isDir();
    for (const QString &part : rest.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (current.size() > root.size())
                current = current.left(current.lastIndexOf(QLatin1Char('/'), current.size() - 2) + 1);
            if (current.size() < root.size())
                current = root;
            continue;
        }
        const QString next = current + part;
        if (existing && QFileInfo::exists(next)) {
            const QString canonical = QFileInfo(next).canonicalFilePath();
            current = (canonical.isEmpty() ? next : canonical);
        } else {
            existing = false;
            current = next;
        }
        if (!current.endsWith(QLatin1Char('/')))
            current += QLatin1Char('/');
    }
    if (current.size() > root.size())
        current.chop(1);
    return current;
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
