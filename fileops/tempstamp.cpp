#include "fileops/tempstamp.h"

#include "fileops/durablefile.h"
#include "log/logger.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace TempStamp {

namespace {

constexpr qint64 kMaxStampBytes = 1024 * 1024;
constexpr int kMaxValidatorLength = 256;
constexpr int kMaxIdentityBytes = 64;
const QByteArray kReleaseTag = QByteArrayLiteral("release ");
const QByteArray kResumeTag = QByteArrayLiteral("resume\t");

QString stampPath(const QString &dir)
{
    return QDir(dir).filePath(fileName());
}

QByteArrayList readLines(const QString &dir)
{
    QFile file(stampPath(dir));
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxStampBytes)
        return {};
    return file.readAll().split('\n');
}

bool writeLines(const QString &dir, const QByteArrayList &lines)
{
    const QString target = stampPath(dir);
    const QString next = target + QStringLiteral(".new");
    QFile file(next);
    QString why;
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    if (ok) {
        ok = file.write(lines.join('\n') + '\n') >= 0 && file.flush();
        file.close();
        ok = ok && file.error() == QFileDevice::NoError && DurableFile::flushFile(next, &why)
             && DurableFile::replace(next, target, &why);
    }
    if (!ok) {
        logWarn(QStringLiteral("无法写入临时目录的版本标记:%1 %2").arg(target, why.isEmpty() ? file.errorString() : why));
        QFile::remove(next);
    }
    return ok;
}

} // namespace

QString fileName()
{
    return QStringLiteral(".updater-release");
}

bool isStampName(const QString &topLevelName)
{
    return DurableFile::sameName(topLevelName, fileName())
        || DurableFile::sameName(topLevelName, fileName() + QStringLiteral(".new"));
}

QByteArray identity(const QString &dir)
{
    const QByteArrayList lines = readLines(dir);
    if (lines.isEmpty() || !lines.first().startsWith(kReleaseTag))
        return {};
    const QByteArray hex = lines.first().mid(kReleaseTag.size());
    const QByteArray raw = QByteArray::fromHex(hex);
    // fromHex skips what is not a digit, so only a clean round trip counts.
    if (raw.isEmpty() || raw.size() > kMaxIdentityBytes || raw.toHex() != hex.toLower())
        return {};
    return raw;
}

bool write(const QString &dir, const QByteArray &id)
{
    return writeLines(dir, {kReleaseTag + id.toHex()});
}

QHash<QString, QString> validators(const QString &dir)
{
    QHash<QString, QString> found;
    const QByteArrayList lines = readLines(dir);
    for (int i = 1; i < lines.size(); ++i) {
        if (!lines.at(i).startsWith(kResumeTag))
            continue;
        const QByteArray rest = lines.at(i).mid(kResumeTag.size());
        const int tab = rest.indexOf('\t');
        if (tab <= 0 || tab > kMaxValidatorLength || tab + 1 >= rest.size())
            continue;
        found.insert(QString::fromUtf8(rest.mid(tab + 1)), QString::fromUtf8(rest.left(tab)));
    }
    return found;
}

bool recordValidator(const QString &dir, const QString &relativePath, const QString &validator)
{
    const QByteArray value = validator.toUtf8();
    const QByteArray path = relativePath.toUtf8();
    if (value.isEmpty() || value.size() > kMaxValidatorLength || value.contains('\t') || value.contains('\n')
        || value.contains('\r') || path.isEmpty() || path.contains('\n') || path.contains('\r'))
        return false;
    QByteArrayList lines = readLines(dir);
    if (lines.isEmpty() || !lines.first().startsWith(kReleaseTag))
        return false; // no release to resume for
    QByteArrayList kept{lines.first()};
    for (int i = 1; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(kResumeTag) && !lines.at(i).endsWith('\t' + path))
            kept.append(lines.at(i));
    }
    kept.append(kResumeTag + value + '\t' + path);
    return writeLines(dir, kept);
}

int removeOthers(const QString &dir, const QSet<QString> &kept, const QString &markerName)
{
    const QString root = QDir(dir).absolutePath() + QLatin1Char('/');
    int removed = 0;
    bool ok = true;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(root.size());
        const bool top = !relative.contains(QLatin1Char('/'));
        if (kept.contains(relative) || (top && (isStampName(relative) || DurableFile::sameName(relative, markerName))))
            continue;
        if (QFile::remove(path)) {
            ++removed;
        } else {
            ok = false;
            logError(QStringLiteral("无法删除临时目录中不属于本次更新的文件:") + path);
        }
    }
    return ok ? removed : -1;
}

} // namespace TempStamp
