#pragma once

#include <QDir>
#include <QString>
#include <QtGlobal>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif // Q_OS_WIN

/// Holds a file open as another program would, so that replacing it meets
/// what it meets in the field. `Loaded` is a loaded program or library:
/// others may rename it but not replace it. `Locked` is a reader (an
/// antivirus, a sync tool) that lets nobody rename it either.
///
/// Only Windows refuses to rename an open file. Elsewhere `Loaded` works
/// through the test builds' UPDATER_TEST_IN_USE hook, which must name the
/// file before the first replace, and `Locked` is not available.
class FileHolder
{
public:
    enum Kind { Loaded, Locked };

    FileHolder(const QString &path, Kind kind)
    {
#ifdef Q_OS_WIN
        const DWORD share = FILE_SHARE_READ | (kind == Loaded ? FILE_SHARE_DELETE : 0);
        handle = CreateFileW(QDir::toNativeSeparators(path).toStdWString().c_str(), GENERIC_READ, share, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        held = handle != INVALID_HANDLE_VALUE;
#else
        held = kind == Loaded && qgetenv("UPDATER_TEST_IN_USE") == path.section(QLatin1Char('/'), -1).toLocal8Bit();
#endif // Q_OS_WIN
    }
    ~FileHolder() { release(); }
    FileHolder(const FileHolder &) = delete;
    FileHolder &operator=(const FileHolder &) = delete;

    /// False when this kind of holding cannot be made here.
    bool isHeld() const { return held; }
    /// Closes the file, as the program holding it exits.
    void release()
    {
#ifdef Q_OS_WIN
        if (held)
            CloseHandle(handle);
#endif // Q_OS_WIN
        held = false;
    }

private:
#ifdef Q_OS_WIN
    HANDLE handle = INVALID_HANDLE_VALUE;
#endif // Q_OS_WIN
    bool held = false;
};
