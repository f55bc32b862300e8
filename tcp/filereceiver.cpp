#include "tcp/filereceiver.h"

#include "fileops/cfilewriter.h"
#include "fileops/safepath.h"
#include "log/logger.h"

#include <QFile>

namespace {

// Path and name cannot hold a NUL, so the pair maps to one key.
QString completedKey(const QString &path, const QString &name)
{
    return path + QLatin1Char('\0') + name;
}

QString saveFailureText(const QString &path, const QString &name)
{
    return QStringLiteral("Failed to save file data: %1/%2").arg(path, name);
}

} // namespace

FileReceiver::FileReceiver(CFileWriter *fileWriterToUse)
    : writer(fileWriterToUse)
{
}

void FileReceiver::setWriter(CFileWriter *fileWriterToUse)
{
    writer = fileWriterToUse;
}

CFileWriter &FileReceiver::fileWriter() const
{
    return writer ? *writer : CFileWriter::instance();
}

void FileReceiver::reset()
{
    path.clear();
    name.clear();
    total = 0;
    received = 0;
    seen = 0;
    writeFailed = false;
    hash.reset();
}

bool FileReceiver::expect(const FileItem &item)
{
    stopExpecting();
    if (completedFiles.contains(completedKey(item.path, item.name)))
        return false;
    awaited = item;
    expecting = true;
    return true;
}

void FileReceiver::stopExpecting()
{
    reset();
    awaited = FileItem();
    expecting = false;
}

void FileReceiver::forgetCompleted()
{
    completedFiles.clear();
}

int FileReceiver::percent() const
{
    // Above 42,949,672 bytes, received × 100 no longer fits 32 bits.
    return total == 0 ? 0 : static_cast<int>(qint64(received) * 100 / qint64(total));
}

FileReceiver::Outcome &FileReceiver::snapshot(Outcome &outcome) const
{
    outcome.filePath = path;
    outcome.fileName = name;
    outcome.received = received;
    outcome.total = total;
    outcome.percent = percent();
    return outcome;
}

void FileReceiver::fail(Outcome *outcome, Failure failure, const QString &text)
{
    outcome->failure = failure;
    outcome->errorText = text;
    logError(text);
}

bool FileReceiver::begin(const FileDataChunk &chunk, Outcome *outcome)
{
    reset();
    QString reason;
    if (!SafePath::isSafeRelativePath(chunk.filePath, &reason)
        || !SafePath::isSafeFileName(chunk.fileName, &reason)) {
        outcome->filePath = chunk.filePath;
        outcome->fileName = chunk.fileName;
        fail(outcome, Failure::UnsafePath,
             QStringLiteral("服务器提供的路径不安全: %1/%2 (%3)").arg(chunk.filePath, chunk.fileName, reason));
        return false;
    }
    path = chunk.filePath;
    name = chunk.fileName;
    total = chunk.totalSize;
    // A signed size is known before the first byte: a longer announcement is
    // refused at once instead of filling the disk.
    const bool oversize = awaited.maxSize >= 0 && qint64(total) > awaited.maxSize;
    if ((awaited.size >= 0 && qint64(total) != awaited.size) || oversize) {
        snapshot(*outcome);
        fail(outcome, oversize ? Failure::Overflow : Failure::ChecksumMismatch,
             QStringLiteral("文件校验失败: %1/%2 的大小 %3 字节与签名不符 (应为 %4)")
                 .arg(path, name)
                 .arg(total)
                 .arg(oversize ? awaited.maxSize : awaited.size));
        return false;
    }
    hash.reset(awaited.sha256.isEmpty() ? Digest::Algorithm::Md5 : Digest::Algorithm::Sha256);
    outcome->started = true;
    // A continued file starts where the request asked, and the service
    // says so in the first chunk; it may also send the file whole.
    const qint64 startAt = awaited.resumeFrom;
    if (startAt > 0 && chunk.auxValue == startAt && startAt <= qint64(total))
        return resume(static_cast<quint32>(startAt), outcome);
    if (startAt > 0 && chunk.auxValue != 0) {
        snapshot(*outcome);
        fail(outcome, Failure::Unexpected,
             QStringLiteral("服务器的续传位置不符: %1/%2 (从 %3 字节, 请求 %4)").arg(path, name).arg(chunk.auxValue).arg(startAt));
        return false;
    }
    logInfo(QStringLiteral("开始接收文件传输: %1 (大小: %2 字节)").arg(name).arg(total));
    // Truncating here is what makes a retry start from an empty file.
    if (!fileWriter().beginFile(path, name)) {
        writeFailed = true;
        logError(QStringLiteral("无法创建文件: %1/%2").arg(path, name));
    }
    return true;
}

bool FileReceiver::resume(quint32 startAt, Outcome *outcome)
{
    logInfo(QStringLiteral("继续接收上次中断的文件: %1 (从 %2 字节, 大小: %3 字节)").arg(name).arg(startAt).arg(total));
    // The kept bytes count toward the digest as if they had just arrived.
    QFile kept(fileWriter().targetPath(path, name));
    qint64 hashed = 0;
    if (kept.open(QIODevice::ReadOnly)) {
        constexpr qint64 kBlockBytes = 1024 * 1024;
        while (hashed < startAt) {
            const QByteArray block = kept.read(qMin(kBlockBytes, qint64(startAt) - hashed));
            if (block.isEmpty())
                break;
            hash.addShared(block);
            hashed += block.size();
        }
        kept.close();
    }
    if (hashed != startAt || !fileWriter().resumeFile(path, name, startAt)) {
        snapshot(*outcome);
        fail(outcome, Failure::Incomplete, QStringLiteral("无法继续上次中断的文件: %1/%2").arg(path, name));
        return false;
    }
    received = startAt;
    seen = startAt;
    return true;
}

FileReceiver::Outcome FileReceiver::receive(const FileDataChunk &chunk)
{
    Outcome outcome;
    // One transfer at a time, by name: data for anything but the awaited
    // file (a late repeat of a completed one, a file never asked for) would
    // otherwise land in a file that was already checked.
    if (!isExpecting() || chunk.filePath != awaited.path || chunk.fileName != awaited.name) {
        outcome.filePath = chunk.filePath;
        outcome.fileName = chunk.fileName;
        fail(&outcome, Failure::Unexpected,
             isExpecting() ? QStringLiteral("服务器发送了未请求的文件数据: %1/%2 (等待 %3/%4)")
                                 .arg(chunk.filePath, chunk.fileName, awaited.path, awaited.name)
                           : QStringLiteral("服务器发送了未请求的文件数据: %1/%2").arg(chunk.filePath, chunk.fileName));
        // The stream is out of step: the awaited file cannot be trusted either.
        stopExpecting();
        return outcome;
    }
    if (name.isEmpty() && !begin(chunk, &outcome)) {
        stopExpecting();
        return outcome;
    }

    logInfo(QStringLiteral("收到文件数据块: %1 (大小: %2, 是否结束: %3)")
                .arg(name)
                .arg(chunk.chunkSize)
                .arg(chunk.isLast ? QStringLiteral("是") : QStringLiteral("否"))
                );

    // Counted before writing, so a service that sends endless data is cut
    // off even while the disk refuses the bytes.
    seen += chunk.data.size();
    if (seen > qint64(total)) {
        snapshot(outcome);
        fail(&outcome, Failure::Overflow,
             QStringLiteral("服务器发送的数据超过文件大小: %1/%2 (%3 字节)").arg(path, name).arg(total));
        stopExpecting();
        return outcome;
    }

    if (fileWriter().writeFileData(path, name, chunk.data, chunk.isLast)) {
        outcome.written = true;
        if (!expectedDigest().isEmpty())
            hash.addData(chunk.data.constData(), chunk.data.size());
        received += static_cast<quint32>(chunk.data.size());
        logInfo(QStringLiteral("文件传输进度: %1 (%2/%3 字节, %4%)")
                    .arg(name)
                    .arg(received)
                    .arg(total)
                    .arg(percent())
                    );
    } else {
        writeFailed = true;
        fail(&outcome, Failure::WriteFailed, saveFailureText(path, name));
    }
    snapshot(outcome);
    if (!chunk.isLast)
        return outcome;

    // The last chunk decides: a file is complete only with every byte on disk.
    if (writeFailed && outcome.failure == Failure::WriteFailed)
        outcome.failure = Failure::Incomplete; // already logged above
    else if (writeFailed)
        fail(&outcome, Failure::Incomplete, saveFailureText(path, name));
    else if (received != total)
        fail(&outcome, Failure::Incomplete,
             QStringLiteral("服务器发送的数据不完整: %1/%2 (%3/%4 字节)").arg(path, name).arg(received).arg(total));
    else if (!expectedDigest().isEmpty() && hash.result() != expectedDigest())
        fail(&outcome, Failure::ChecksumMismatch,
             QStringLiteral("文件校验失败:") + name
                 + QStringLiteral(" (%1/%2, %3 期望 %4, 实际 %5)")
                       .arg(path, name, awaited.sha256.isEmpty() ? QStringLiteral("MD5") : QStringLiteral("SHA-256"),
                            QString::fromLatin1(expectedDigest().toHex()), QString::fromLatin1(hash.result().toHex())));
    else
        outcome.completed = true;
    if (outcome.completed) {
        outcome.verified = !expectedDigest().isEmpty();
        completedFiles.insert(completedKey(path, name));
        logInfo(QStringLiteral("文件传输完成: %1").arg(name));
        if (!outcome.verified)
            logWarn(QStringLiteral("文件未经校验 (服务端未提供MD5): %1/%2").arg(path, name));
    }
    stopExpecting();
    return outcome;
}
