#include "app/cupdaterswap.h"

#include "fileops/durablefile.h"
#include "log/logger.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>

namespace {

#ifdef Q_OS_WIN
// A program that has just exited may keep its file locked for a moment.
constexpr bool kRetryLockedFiles = true;
#else
// POSIX renames are not blocked by a running program; a failure is final.
constexpr bool kRetryLockedFiles = false;
#endif // Q_OS_WIN

/// Reads the whole file at @p path into an MD5 digest and its size.
bool fingerprint(const QString &path, QByteArray *md5, qint64 *size, QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file) || file.error() != QFileDevice::NoError) {
        *why = file.errorString();
        return false;
    }
    *md5 = hash.result();
    *size = file.size();
    return true;
}

bool existsOrDangles(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool samePath(const QString &a, const QString &b)
{
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif // Q_OS_WIN
    return QDir::cleanPath(a).compare(QDir::cleanPath(b), cs) == 0;
}

/// Permissions for the new program: those of the old one, which is known to
/// run, plus read and execute for everyone who may read it. A download is
/// written with default, non-executable permissions.
QFileDevice::Permissions executablePermissions(const QString &oldPath)
{
    QFileDevice::Permissions perms = QFile::permissions(oldPath);
    if (perms == QFileDevice::Permissions()) {
        perms = QFileDevice::ReadGroup | QFileDevice::ReadOther;
    }
    perms |= QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadUser
        | QFileDevice::WriteUser | QFileDevice::ExeUser;
    if (perms & QFileDevice::ReadGroup) {
        perms |= QFileDevice::ExeGroup;
    }
    if (perms & QFileDevice::ReadOther) {
        perms |= QFileDevice::ExeOther;
    }
    return perms;
}

} // namespace

CUpdaterSwap::CUpdaterSwap(const QString &installedPath, const QString &newPath, const QString &asidePath)
    : installed(installedPath)
    , incoming(newPath)
    , aside(asidePath)
{
}

void CUpdaterSwap::setRetry(int timeoutMs, int intervalMs)
{
    retryTimeoutMs = qMax(0, timeoutMs);
    retryIntervalMs = qMax(1, intervalMs);
}

void CUpdaterSwap::setAfterMoveAsideHook(std::function<void()> hook)
{
    afterMoveAsideHook = std::move(hook);
}

bool CUpdaterSwap::apply()
{
    error.clear();
    oldMovedAside = false;
    newInstalled = false;
    if (!stage()) {
        return false;
    }
    if (!moveOldAside()) {
        QFile::remove(stagingPath());
        return false;
    }
    if (afterMoveAsideHook) {
        afterMoveAsideHook();
    }
    if (!installStaged()) {
        QFile::remove(stagingPath());
        restore();
        return false;
    }
    return true;
}

bool CUpdaterSwap::stage()
{
    const QFileInfo info(incoming);
    if (!info.exists()) {
        return fail(QStringLiteral("新的更新程序不存在:") + incoming);
    }
    if (!info.isFile()) {
        return fail(QStringLiteral("新的更新程序不是文件:") + incoming);
    }
    QString why;
    if (!fingerprint(incoming, &incomingMd5, &incomingSize, &why)) {
        return fail(QStringLiteral("读取新的更新程序失败:") + incoming + QStringLiteral(", ") + why);
    }
    if (incomingSize == 0) {
        return fail(QStringLiteral("新的更新程序是空文件:") + incoming);
    }

    const QString staging = stagingPath();
    if (existsOrDangles(staging)) {
        QFile leftover(staging);
        if (!leftover.remove()) {
            return fail(QStringLiteral("删除残留文件失败:") + staging + QStringLiteral(", ") + leftover.errorString());
        }
    }
    QFile source(incoming);
    if (!source.copy(staging)) {
        QFile::remove(staging);
        return fail(QStringLiteral("复制新的更新程序失败:") + incoming + QStringLiteral("->") + staging
                    + QStringLiteral(", ") + source.errorString());
    }
    QFile copy(staging);
    if (!copy.setPermissions(executablePermissions(installed))) {
        copy.remove();
        return fail(QStringLiteral("设置文件权限失败:") + staging + QStringLiteral(", ") + copy.errorString());
    }
    QByteArray md5;
    qint64 size = -1;
    if (!fingerprint(staging, &md5, &size, &why) || md5 != incomingMd5 || size != incomingSize) {
        QFile::remove(staging);
        return fail(QStringLiteral("新的更新程序副本校验失败:") + staging + QStringLiteral(", ") + why);
    }
    logInfo(QStringLiteral("新的更新程序已复制:") + incoming + QStringLiteral("->") + staging);
    return true;
}

bool CUpdaterSwap::moveOldAside()
{
    if (!existsOrDangles(installed)) {
        logWarn(QStringLiteral("已安装的更新程序不存在, 直接安装新的:") + installed);
        return true;
    }
    if (!QFileInfo(installed).isFile()) {
        return fail(QStringLiteral("已安装的更新程序不是文件:") + installed);
    }
    QString why;
    qint64 oldSize = -1;
    if (!fingerprint(installed, &oldMd5, &oldSize, &why)) {
        return fail(QStringLiteral("读取已安装的更新程序失败:") + installed + QStringLiteral(", ") + why);
    }

    const QFileInfo asideDir(QFileInfo(aside).absolutePath());
    if (asideDir.exists() && !asideDir.isDir()) {
        return fail(QStringLiteral("不是目录:") + asideDir.filePath());
    }
    if (!QDir().mkpath(asideDir.filePath())) {
        const QString reason = qt_error_string(errno);
        return fail(QStringLiteral("创建目录失败:") + asideDir.filePath() + QStringLiteral(", ") + reason);
    }
    if (existsOrDangles(aside)) {
        if (samePath(aside, incoming)) {
            // The temporary area is the directory that keeps the old file; the
            // new file has been copied already, so its place may be taken.
            logDebug(QStringLiteral("临时目录中的新更新程序将被旧的替换:") + aside);
        }
        QFile stale(aside);
        if (!stale.remove()) {
            return fail(QStringLiteral("删除旧的备份文件失败:") + aside + QStringLiteral(", ") + stale.errorString());
        }
    }
    // The old file gets a second name instead of losing its first: the
    // installed name always holds a whole updater.
    if (!DurableFile::hardLink(installed, aside, &why) && !DurableFile::copyFlushed(installed, aside, &why)) {
        QFile::remove(aside);
        return fail(QStringLiteral("保存旧的更新程序失败:") + installed + QStringLiteral("->") + aside
                    + QStringLiteral(", ") + why);
    }
    oldMovedAside = true;
    logInfo(QStringLiteral("旧的更新程序已保存到:") + aside);
    return true;
}

bool CUpdaterSwap::installStaged()
{
    QString why;
    if (!DurableFile::flushFile(stagingPath(), &why) || !replaceWithRetry(stagingPath(), installed, &why)) {
        return fail(QStringLiteral("安装新的更新程序失败:") + stagingPath() + QStringLiteral("->") + installed
                    + QStringLiteral(", ") + why);
    }
    newInstalled = true;
    DurableFile::flushDirectory(QFileInfo(installed).absolutePath());

    QByteArray md5;
    qint64 size = -1;
    if (!fingerprint(installed, &md5, &size, &why)) {
        return fail(QStringLiteral("读取新安装的更新程序失败:") + installed + QStringLiteral(", ") + why);
    }
    if (size != incomingSize || md5 != incomingMd5) {
        return fail(QStringLiteral("新安装的更新程序校验失败:") + installed + QStringLiteral(", MD5:")
                    + QString::fromLatin1(md5.toHex()) + QStringLiteral(" 应为:")
                    + QString::fromLatin1(incomingMd5.toHex()));
    }
#ifdef Q_OS_WIN
    // Windows starts any file with an executable format; there are no bits to check.
#else
    if (!QFileInfo(installed).isExecutable()) {
        return fail(QStringLiteral("新安装的更新程序不可执行:") + installed);
    }
#endif // Q_OS_WIN
    logInfo(QStringLiteral("新的更新程序已安装并校验:") + installed + QStringLiteral(", MD5:")
                + QString::fromLatin1(md5.toHex()));
    return true;
}

bool CUpdaterSwap::restore()
{
    if (!oldMovedAside) {
        return QFileInfo(installed).isFile();
    }
    QString why;
    if (!newInstalled) {
        // The installed name never stopped holding the old file; only the
        // kept second name goes.
        QFile::remove(aside);
        oldMovedAside = false;
        return QFileInfo(installed).isFile();
    }
    logInfo(QStringLiteral("恢复旧的更新程序:") + aside + QStringLiteral("->") + installed);
    if (replaceWithRetry(aside, installed, &why)) {
        oldMovedAside = false;
        newInstalled = false;
        DurableFile::flushDirectory(QFileInfo(installed).absolutePath());
    } else {
        logError(QStringLiteral("移回旧的更新程序失败:") + aside + QStringLiteral("->") + installed
                    + QStringLiteral(", ") + why);
        return false;
    }
    QByteArray md5;
    qint64 size = -1;
    if (!fingerprint(installed, &md5, &size, &why) || md5 != oldMd5) {
        logError(QStringLiteral("恢复的旧更新程序校验失败:") + installed + QStringLiteral(", ") + why);
        return false;
    }
    logInfo(QStringLiteral("旧的更新程序已恢复:") + installed);
    return true;
}

bool CUpdaterSwap::replaceWithRetry(const QString &from, const QString &to, QString *why) const
{
    const QDeadlineTimer retryUntil(retryTimeoutMs);
    for (;;) {
        if (DurableFile::replace(from, to, why)) {
            return true;
        }
        if (!kRetryLockedFiles || retryUntil.hasExpired()) {
            return false;
        }
        QThread::msleep(static_cast<unsigned long>(retryIntervalMs));
    }
}

bool CUpdaterSwap::fail(const QString &message)
{
    if (error.isEmpty()) {
        error = message;
    }
    logError(message);
    return false;
}
