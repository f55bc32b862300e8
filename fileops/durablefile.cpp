#include "fileops/durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <io.h>
#include <qt_windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif // Q_OS_WIN

#ifdef UPDATER_TEST_HOOKS
#include <csignal>
#include <cstdlib>
#endif // UPDATER_TEST_HOOKS

namespace DurableFile {

namespace {

void setWhy(QString *why, const QString &text)
{
    if (why)
        *why = text;
}

#ifdef Q_OS_WIN
std::wstring native(const QString &path)
{
    return extendedPath(path).toStdWString();
}

QString lastErrorText()
{
    return qt_error_string(static_cast<int>(GetLastError()));
}

// The errors of a rename that another process's handle on a file causes: a
// loaded program or library, an antivirus or sync tool reading it.
bool isInUseError(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION
           || error == ERROR_USER_MAPPED_FILE;
}
#else
QString lastErrorText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
#endif // Q_OS_WIN

} // namespace

bool flushFile(const QString &path, QString *why)
{
    QFile file(path);
    // Flushing needs write access; a copy keeps a read-only attribute.
    const bool readOnly = clearReadOnly(path);
    const bool opened = file.open(QIODevice::ReadWrite);
    if (readOnly)
        setReadOnly(path);
    if (!opened) {
        setWhy(why, file.errorString());
        return false;
    }
#ifdef Q_OS_WIN
    const bool ok = FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()))) != 0;
#else
    const bool ok = ::fsync(file.handle()) == 0;
#endif // Q_OS_WIN
    if (!ok)
        setWhy(why, lastErrorText());
    return ok;
}

void startWriteback(int handle)
{
#ifdef Q_OS_LINUX
    if (handle >= 0)
        ::sync_file_range(handle, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(handle);
#endif // Q_OS_LINUX
}

bool flushFiles(const QString &root, const QStringList &files, QString *why)
{
    if (files.isEmpty())
        return true;
#ifdef Q_OS_LINUX
    const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        const bool ok = ::syncfs(fd) == 0;
        ::close(fd);
        if (ok)
            return true;
    }
#else
    Q_UNUSED(root);
#endif // Q_OS_LINUX
    for (const QString &file : files) {
        if (!flushFile(file, why))
            return false;
    }
    return true;
}

void flushDirectory(const QString &dir)
{
#ifndef Q_OS_WIN
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(dir);
#endif // Q_OS_WIN
}

#ifdef UPDATER_TEST_HOOKS
namespace {

// UPDATER_TEST_IN_USE=NAME makes the file named NAME behave as a loaded
// program does on Windows: it cannot be replaced, only renamed away.
bool simulatedInUse(const QString &to)
{
    static const QString name = QString::fromLocal8Bit(qgetenv("UPDATER_TEST_IN_USE"));
    return !name.isEmpty() && QFileInfo(to).fileName() == name && QFileInfo::exists(to);
}

} // namespace
#endif // UPDATER_TEST_HOOKS

bool replace(const QString &from, const QString &to, QString *why, bool *inUse)
{
    if (inUse)
        *inUse = false;
#ifdef UPDATER_TEST_HOOKS
    if (simulatedInUse(to)) {
        setWhy(why, QStringLiteral("in use (UPDATER_TEST_IN_USE)"));
        if (inUse)
            *inUse = true;
        return false;
    }
#endif // UPDATER_TEST_HOOKS
#ifdef Q_OS_WIN
    const bool ok = MoveFileExW(native(from).c_str(), native(to).c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
        != 0;
    const bool held = !ok && isInUseError(GetLastError());
#else
    const bool ok = ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
    const bool held = false;
#endif // Q_OS_WIN
    if (!ok)
        setWhy(why, lastErrorText());
    if (inUse)
        *inUse = held;
    return ok;
}

bool hardLink(const QString &existing, const QString &newName, QString *why)
{
#ifdef Q_OS_WIN
    const bool ok = CreateHardLinkW(native(newName).c_str(), native(existing).c_str(), nullptr) != 0;
#else
    const bool ok = ::link(QFile::encodeName(existing).constData(), QFile::encodeName(newName).constData()) == 0;
#endif // Q_OS_WIN
    if (!ok)
        setWhy(why, lastErrorText());
    return ok;
}

bool copyFlushed(const QString &from, const QString &to, QString *why)
{
    QFile source(from);
    if (!source.copy(to)) {
        setWhy(why, source.errorString());
        return false;
    }
    return flushFile(to, why);
}

bool clearReadOnly(const QString &path)
{
#ifdef Q_OS_WIN
    const DWORD attributes = GetFileAttributesW(native(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    return SetFileAttributesW(native(path).c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) != 0;
#else
    // A rename or removal on POSIX needs only the directory to be writable.
    Q_UNUSED(path);
    return false;
#endif // Q_OS_WIN
}

void setReadOnly(const QString &path)
{
#ifdef Q_OS_WIN
    const DWORD attributes = GetFileAttributesW(native(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesW(native(path).c_str(), attributes | FILE_ATTRIBUTE_READONLY);
#else
    Q_UNUSED(path);
#endif // Q_OS_WIN
}

bool sameName(const QString &a, const QString &b)
{
#ifdef Q_OS_WIN
    return a.compare(b, Qt::CaseInsensitive) == 0;
#else
    return a == b;
#endif // Q_OS_WIN
}

QString nameKey(const QString &name)
{
#ifdef Q_OS_WIN
    return name.toLower();
#else
    return name;
#endif // Q_OS_WIN
}

namespace {

bool hasDrive(const QString &path)
{
    return path.size() >= 3 && path.at(0).isLetter() && path.at(1) == QLatin1Char(':')
           && path.at(2) == QLatin1Char('/');
}

} // namespace

QString extendedPath(const QString &path)
{
    // Separators are turned by hand: QDir's conversions do nothing on POSIX,
    // where this text is tested.
    QString clean = QString(path).replace(QLatin1Char('\\'), QLatin1Char('/'));
    const auto backslashed = [](QString text) { return text.replace(QLatin1Char('/'), QLatin1Char('\\')); };
    if (clean.startsWith(QLatin1String("//?/")))
        return backslashed(clean);
    if (!hasDrive(clean) && !clean.startsWith(QLatin1String("//")))
        clean = QDir::current().absoluteFilePath(clean).replace(QLatin1Char('\\'), QLatin1Char('/'));
    // The prefix turns off the system's own clean-up of the path: "." and
    // ".." would be taken as names, so they are resolved here.
    if (!hasDrive(clean) && clean.startsWith(QLatin1String("//")))
        return QStringLiteral("\\\\?\\UNC\\") + backslashed(QDir::cleanPath(clean.mid(2)));
    return QStringLiteral("\\\\?\\") + backslashed(QDir::cleanPath(clean));
}

void operationPoint()
{
#if defined(UPDATER_TEST_HOOKS) && !defined(Q_OS_WIN)
    // UPDATER_TEST_KILL_AT=N ends the process abruptly at the Nth point, as a
    // crash or power loss would.
    static long count = 0;
    static const long killAt = [] {
        const char *value = std::getenv("UPDATER_TEST_KILL_AT");
        return value ? std::strtol(value, nullptr, 10) : 0L;
    }();
    if (killAt > 0 && ++count == killAt)
        std::raise(SIGKILL);
#endif // UPDATER_TEST_HOOKS and not Q_OS_WIN
}

} // namespace DurableFile
