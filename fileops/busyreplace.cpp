#include "fileops/busyreplace.h"

#include "fileops/durablefile.h"
#include "fileops/safepath.h"
#include "log/logger.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>

#include <algorithm>

namespace BusyReplace {

namespace {

const QString kAsideSuffix = QStringLiteral(".~old");
constexpr int kFirstPauseMs = 50;
constexpr int kLongestPauseMs = 1000;
int g_budgetMs = 10000;

QStringList readList(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool writeList(const QString &path, const QStringList &names)
{
    if (names.isEmpty())
        return !QFileInfo::exists(path) || QFile::remove(path);
    QSaveFile file(path);
    const QByteArray text = names.join(QLatin1Char('\n')).toUtf8() + '\n';
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
}

// True for a name that `freeName` made: "x.~old" or "x.~old1" to "x.~old9".
bool isAsideName(const QString &name)
{
    const int at = name.lastIndexOf(kAsideSuffix);
    if (at <= 0 || name.at(at - 1) == QLatin1Char('/'))
        return false;
    const QString tail = name.mid(at + kAsideSuffix.size());
    return tail.isEmpty() || (tail.size() == 1 && tail.at(0).isDigit());
}

// A name for the aside copy that is not taken: an old leftover of the same
// name is deleted first, and one still held makes way for a numbered name.
QString freeName(const QString &base)
{
    for (int i = 0; i < 10; ++i) {
        const QString name = i ? base + QString::number(i) : base;
        if (!QFileInfo::exists(name))
            return name;
        DurableFile::clearReadOnly(name);
        if (QFile::remove(name))
            return name;
    }
    return QString();
}

// Lists @p name (below @p appDir), or takes it off the list when not
// @p listed. Listed before the rename, so that a crash right
// after it still leaves the file to be deleted at the next start.
bool listLeftover(const QString &appDir, const QString &name, bool listed)
{
    const QString list = leftoverListPath(appDir);
    QStringList names = readList(list);
    const QString relative = QDir(appDir).relativeFilePath(name);
    names.removeAll(relative);
    if (listed)
        names.append(relative);
    if (writeList(list, names))
        return true;
    logError(QStringLiteral("无法写入待删除文件列表:") + list);
    return false;
}

// Renames the held @p to aside and moves @p from in; false, with @p to
// unchanged, when the held file cannot be renamed either.
bool moveAside(const QString &from, const QString &to, const QString &asidePath, const QString &appDir)
{
    QStringList places;
    if (!asidePath.isEmpty())
        places.append(asidePath);
    if (!appDir.isEmpty())
        places.append(to + kAsideSuffix);
    for (const QString &place : qAsConst(places)) {
        const QString name = freeName(place);
        const bool beside = place != asidePath;
        if (name.isEmpty() || (beside && !listLeftover(appDir, name, true)))
            continue;
        QDir().mkpath(QFileInfo(name).absolutePath());
        DurableFile::operationPoint();
        QString why;
        if (!DurableFile::replace(to, name, &why)) {
            // Another volume, or held so that it cannot even be renamed.
            if (beside)
                listLeftover(appDir, name, false);
            continue;
        }
        DurableFile::operationPoint();
        if (DurableFile::replace(from, to, &why)) {
            DurableFile::flushDirectory(QFileInfo(to).absolutePath());
            logWarn(QStringLiteral("文件被占用，旧文件已移到一旁:") + to + QStringLiteral("->") + name);
            return true;
        }
        // The target must name a whole file again.
        if (DurableFile::replace(name, to) && beside)
            listLeftover(appDir, name, false);
        logError(QStringLiteral("文件被占用，无法移入新文件:") + from + QStringLiteral("->") + to + QStringLiteral(", ")
                 + why);
        return false;
    }
    return false;
}

} // namespace

void setRetryBudget(int milliseconds)
{
    g_budgetMs = std::max(0, milliseconds);
}

int retryBudget()
{
    return g_budgetMs;
}

bool replace(const QString &from, const QString &to, const QString &asidePath, const QString &appDir, QString *why)
{
    QElapsedTimer clock;
    clock.start();
    int pause = kFirstPauseMs;
    int attempts = 0;
    QString lastWhy;
    for (;;) {
        bool inUse = false;
        ++attempts;
        if (DurableFile::replace(from, to, &lastWhy, &inUse)) {
            if (attempts > 1)
                logInfo(QStringLiteral("文件占用已解除:") + to + QStringLiteral(", 重试次数:%1").arg(attempts - 1));
            return true;
        }
        if (!inUse) {
            if (why)
                *why = lastWhy;
            return false;
        }
        if (moveAside(from, to, asidePath, appDir))
            return true;
        const qint64 left = g_budgetMs - clock.elapsed();
        if (left <= 0)
            break;
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(pause, left)));
        pause = std::min(pause * 2, kLongestPauseMs);
    }
    QString text = QStringLiteral("文件被占用:") + to + QStringLiteral(", ") + lastWhy;
    const QStringList programs = holders(to) + holders(from);
    if (!programs.isEmpty())
        text += QStringLiteral(", 占用的程序:") + programs.join(QStringLiteral("、"));
    logError(text);
    if (why)
        *why = text;
    return false;
}

QString leftoverListPath(const QString &appDir)
{
    return QDir(appDir).filePath(QStringLiteral(".update-leftovers"));
}

void removeLeftovers(const QString &appDir)
{
    const QString list = leftoverListPath(appDir);
    const QStringList names = readList(list);
    if (names.isEmpty() && !QFileInfo::exists(list))
        return;
    QStringList kept;
    for (const QString &name : names) {
        // Only a name this code made is deleted, whatever the list was edited to.
        if (!SafePath::isSafeRelativePath(name) || !isAsideName(name))
            continue;
        const QString path = QDir(appDir).filePath(name);
        if (!QFileInfo::exists(path))
            continue;
        DurableFile::clearReadOnly(path);
        if (QFile::remove(path)) {
            logInfo(QStringLiteral("删除移到一旁的旧文件:") + path);
        } else {
            logWarn(QStringLiteral("旧文件仍被占用，下次启动时再删除:") + path);
            kept.append(name);
        }
    }
    if (!writeList(list, kept))
        logError(QStringLiteral("无法更新待删除文件列表:") + list);
}

} // namespace BusyReplace
