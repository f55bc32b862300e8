#pragma once

#include <QByteArray>
#include <QTemporaryFile>

#include <cstdio>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif // Q_OS_WIN

/// Redirects a standard stream (1 or 2) into a temporary file while it lives,
/// so that what the code under test prints can be compared.
class StdCapture
{
public:
    explicit StdCapture(int fd)
        : fd(fd)
    {
        file.open();
        fflush(nullptr);
#ifdef Q_OS_WIN
        // Windows code may write to the system's standard handle instead of
        // the C library's descriptor (spdlog's console sink takes it once,
        // when it is created), so both are redirected. The capture descriptor
        // stays open for the process: such a holder may outlive the capture.
        const DWORD which = fd == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
        savedHandle = GetStdHandle(which);
        const int target = _wopen(reinterpret_cast<const wchar_t *>(file.fileName().utf16()),
                                  _O_WRONLY | _O_BINARY);
        saved = _dup(fd);
        _dup2(target, fd);
        SetStdHandle(which, reinterpret_cast<HANDLE>(_get_osfhandle(target)));
#else
        saved = dup(fd);
        dup2(file.handle(), fd);
#endif // Q_OS_WIN
    }
    ~StdCapture() { restore(); }

    QByteArray text()
    {
        restore();
        file.seek(0);
        return file.readAll();
    }

private:
    void restore()
    {
        if (saved < 0)
            return;
        fflush(nullptr);
#ifdef Q_OS_WIN
        _dup2(saved, fd);
        _close(saved);
        SetStdHandle(fd == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, savedHandle);
#else
        dup2(saved, fd);
        close(saved);
#endif // Q_OS_WIN
        saved = -1;
    }

    int fd;
    int saved = -1;
#ifdef Q_OS_WIN
    HANDLE savedHandle = nullptr;
#endif // Q_OS_WIN
    QTemporaryFile file;
};
