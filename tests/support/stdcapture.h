#pragma once

#include <QByteArray>
#include <QTemporaryFile>

#include <cstdio>

#ifndef Q_OS_WIN
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
#ifndef Q_OS_WIN
        file.open();
        fflush(nullptr);
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
#ifndef Q_OS_WIN
        if (saved < 0)
            return;
        fflush(nullptr);
        dup2(saved, fd);
        close(saved);
        saved = -1;
#endif // Q_OS_WIN
    }

    int fd;
    int saved = -1;
    QTemporaryFile file;
};
