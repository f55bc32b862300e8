#include "http/cdownloadfile.h"

#include <QDir>
#include <QFileInfo>

void CDownloadFile::startOver(const QString &path, Digest::Algorithm algorithm)
{
    discard();
    error.clear();
    bytes = 0;
    kind = algorithm;
    hash.reset(algorithm);
    dirFailed = false;
    file.setFileName(path);
}

bool CDownloadFile::open(const QString &path, Digest::Algorithm algorithm)
{
    startOver(path, algorithm);
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir)) {
        dirFailed = true;
        error = QStringLiteral("cannot create directory ") + dir;
        return false;
    }
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = file.errorString();
        return false;
    }
    return true;
}

bool CDownloadFile::resume(const QString &path, Digest::Algorithm algorithm, qint64 offset)
{
    startOver(path, algorithm);
    if (offset <= 0 || QFileInfo(path).size() < offset) {
        error = QStringLiteral("no partial file of %1 bytes").arg(offset);
        return false;
    }
    if (!file.open(QIODevice::ReadWrite)) {
        error = file.errorString();
        return false;
    }
    constexpr qint64 kBlockBytes = 1024 * 1024;
    while (bytes < offset) {
        const QByteArray block = file.read(qMin(kBlockBytes, offset - bytes));
        if (block.isEmpty()) {
            error = file.errorString();
            file.close();
            return false;
        }
        bytes += block.size();
        hash.addShared(block);
    }
    if (!file.resize(offset) || !file.seek(offset)) {
        error = file.errorString();
        file.close();
        return false;
    }
    return true;
}

bool CDownloadFile::restart()
{
    if (!file.isOpen() || !file.resize(0) || !file.seek(0)) {
        error = file.isOpen() ? file.errorString() : QStringLiteral("file is not open");
        return false;
    }
    bytes = 0;
    hash.reset(kind);
    return true;
}

bool CDownloadFile::append(const QByteArray &data)
{
    if (!file.isOpen()) {
        error = QStringLiteral("file is not open");
        return false;
    }
    if (file.write(data) != data.size()) {
        error = file.errorString();
        return false;
    }
    bytes += data.size();
    hash.addShared(data);
    return true;
}

bool CDownloadFile::finish()
{
    if (!file.isOpen()) {
        error = QStringLiteral("file is not open");
        return false;
    }
    // Buffered bytes meet a full disk only here, so both steps are checked;
    // a file that did not reach the disk whole is removed.
    bool ok = file.flush();
    if (!ok)
        error = file.errorString();
    file.close();
    if (ok && file.error() != QFileDevice::NoError) {
        error = file.errorString();
        ok = false;
    }
    if (!ok)
        file.remove();
    return ok;
}

void CDownloadFile::discard()
{
    // Only a transfer still in progress is thrown away; a finished file
    // belongs to the caller.
    if (!file.isOpen())
        return;
    file.close();
    file.remove();
}
