#include "http/downloadcompletion.h"

#include "http/cdownloadfile.h"
#include "http/httperrortext.h"
#include "http/httpreplystatus.h"
#include "log/logger.h"

#include <QFile>
#include <QNetworkReply>

namespace DownloadCompletion {

namespace {

bool fail(QString *detail, const QString &text, const QString &reason)
{
    *detail = text;
    logError(text + QLatin1Char(' ') + reason);
    return false;
}

void setCause(QString *cause, const QString &text)
{
    if (cause)
        *cause = text;
}

} // namespace

bool store(QNetworkReply *reply, CDownloadFile &file, const DownloadEntry &entry, QString *detail, QString *cause)
{
    const QString problem = reply->error() != QNetworkReply::NoError ? reply->errorString()
                                                                     : HttpReplyStatus::statusProblem(reply);
    if (!problem.isEmpty()) {
        file.discard();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        setCause(cause, HttpErrorText::transferCause(reply->error(), status, false));
        return fail(detail, QStringLiteral("文件下载失败:") + problem, entry.url);
    }
    if (!file.append(reply->readAll()) || !file.finish()) {
        const QString reason = file.errorString();
        file.discard();
        setCause(cause, HttpErrorText::saveCause());
        return fail(detail, QStringLiteral("无法保存文件:") + entry.localPath, reason);
    }
    // The signed SHA-256, or else the manifest value, is the only proof that
    // these bytes are the file the release holds; a file that does not match
    // is not kept. The hash was taken as the bytes went to disk, which spares
    // reading the file again.
    const bool signedEntry = !entry.sha256.isEmpty();
    const QString actual = QString::fromLatin1(file.digest().toHex());
    const QString expected = signedEntry ? QString::fromLatin1(entry.sha256.toHex()) : entry.md5;
    const bool sizeDiffers = signedEntry && file.written() != entry.size;
    if (sizeDiffers || actual.compare(expected, Qt::CaseInsensitive) != 0) {
        QFile::remove(entry.localPath);
        setCause(cause, HttpErrorText::checksumCause());
        return fail(detail, QStringLiteral("文件校验失败:") + entry.localPath,
                    QStringLiteral("%1 期望:%2 实际:%3 (%4 字节, 签名 %5 字节)")
                        .arg(signedEntry ? QStringLiteral("SHA-256") : QStringLiteral("MD5"), expected, actual)
                        .arg(file.written())
                        .arg(entry.size));
    }
    logInfo(QStringLiteral("文件下载成功并验证通过:") + entry.localPath);
    return true;
}

} // namespace DownloadCompletion
