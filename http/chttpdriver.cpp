#include "http/chttpdriver.h"

#include "config/cconfigmanager.h"
#include "config/compactmanifest.h"
#include "fileops/cfileapplier.h"
#include "fileops/digest.h"
#include "fileops/tempstamp.h"
#include "http/cblockingdownload.h"
#include "http/cfilefetch.h"
#include "http/downloadplan.h"
#include "http/httperrortext.h"
#include "http/httplayout.h"
#include "http/httpreplystatus.h"
#include "http/httptexts.h"
#include "http/httpview.h"
#include "http/manifestpathrules.h"
#include "http/tlstrust.h"
#include "http/workdircleanup.h"
#include "log/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QSettings>
#include <QTimer>

namespace {

QString withSlash(const QString &dir)
{
    return dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
}

// How many connections the publisher lets a client use for the files. Only
// a whole number of at least 1 counts; anything else keeps the downloads one
// after another, as they were before the key existed.
int readConnections(const QSettings &ini)
{
    const QString key = QStringLiteral("Download/Connections");
    if (!ini.contains(key))
        return 1;
    bool ok = false;
    const int value = ini.value(key).toString().toInt(&ok);
    if (!ok || value < 1) {
        logWarn(QStringLiteral("服务端版本文件的Download/Connections无效，逐个下载:")
                + ManifestPathRules::printable(ini.value(key).toString().left(64)));
        return 1;
    }
    return qMin(value, DownloadPlan::kMaxConnections);
}

} // namespace

CHttpDriver::CHttpDriver(const CConfigManager &configStore, const QString &appDirectory, HttpView &shownIn)
    : config(configStore)
    , view(shownIn)
    , appDir(withSlash(appDirectory))
    , trust(QString(), appDir)
    , transferTimeoutMs(HttpReplyStatus::kTransferTimeoutMs)
    , maxFileBytes(HttpReplyStatus::kMaxFileBytes)
{
}

CHttpDriver::~CHttpDriver()
{
    // The transfers must not call back into a half-destroyed driver.
    abandonFetches();
}

QString CHttpDriver::baseUrl() const
{
    return config.updateEntry(QStringLiteral("URL"));
}

void CHttpDriver::refreshLabels()
{
    view.showLines(statusText, detailText);
}

bool CHttpDriver::downloadToFile(const QString &url, const QString &localPath, bool showProgress, qint64 maxBytes)
{
    detailText.clear();
    CBlockingDownload download;
    download.setTransferTimeout(transferTimeoutMs);
    download.setMaxBytes(maxBytes);
    if (showProgress) {
        connect(&download, &CBlockingDownload::downloadProgress, this, [this](qint64 received, qint64 total) {
            if (total > 0)
                view.setFileProgress(static_cast<int>(received * 100 / total));
        });
    }
    const bool ok = download.run(url, localPath);
    if (!ok)
        detailText = download.errorString();
    return ok;
}

bool CHttpDriver::parseServerVersion()
{
    const QSettings ini(HttpLayout::serverVersionFile(appDir), QSettings::IniFormat);
    connections = readConnections(ini);
    serverFolder = ini.value(QStringLiteral("Version/Folder")).toString();
    serverVersion = ini.value(QStringLiteral("Version/Version")).toString();
    if (!serverFolder.isEmpty() && !serverVersion.isEmpty()
        && readManifestCount(ini, "Version/ManifestSize", &manifestBytes)
        && readManifestCount(ini, "Version/ManifestFiles", &manifestEntries)) {
        serverFolder += QLatin1Char('/');
        return true;
    }
    statusText = HttpTexts::failed();
    detailText = QStringLiteral("服务端版本解析失败");
    logError(detailText + QStringLiteral(":") + HttpLayout::serverVersionFile(appDir));
    return false;
}

bool CHttpDriver::readManifestCount(const QSettings &ini, const char *key, qint64 *value)
{
    *value = -1;
    const QString text = ini.value(QLatin1String(key)).toString();
    if (text.isEmpty())
        return true;
    // A value that is there but no count is a broken version file, not an
    // older publisher; guessing would decide whether the check runs.
    bool ok = false;
    const qint64 number = text.toLongLong(&ok);
    if (!ok || number < 0) {
        logError(QStringLiteral("服务端版本文件的%1无效:%2").arg(QLatin1String(key), ManifestPathRules::printable(text)));
        return false;
    }
    *value = number;
    return true;
}

bool CHttpDriver::manifestMatchesVersionFile(const QString &path, int entries)
{
    // A transfer that the server closed early (no length, or a chunked body
    // the toolkit ends as complete) leaves a manifest cut at a line end that
    // reads like a smaller release. The publisher's numbers tell it apart.
    const qint64 bytes = QFileInfo(path).size();
    if ((manifestBytes < 0 || bytes == manifestBytes) && (manifestEntries < 0 || entries == manifestEntries))
        return true;
    logError(QStringLiteral("服务端MD5清单与update.ini不符:%1 (大小 %2 字节, 应为 %3; 条目 %4, 应为 %5)")
                 .arg(path)
                 .arg(bytes)
                 .arg(manifestBytes)
                 .arg(entries)
                 .arg(manifestEntries));
    return false;
}

bool CHttpDriver::refuseRelease(const QString &text)
{
    // Nothing of a refused release stays, not even its version file.
    WorkDirCleanup::removeFiles(tempFiles);
    statusText = HttpTexts::failed();
    detailText = text;
    refreshLabels();
    return false;
}

bool CHttpDriver::checkSignedRelease(const QString &versionFile)
{
    if (!trust.isRequired()) {
        trust.noteUnverified();
        return true;
    }
    const QString local = HttpLayout::serverDescriptionFile(appDir);
    const QString url = HttpLayout::descriptionUrl(baseUrl(), serverFolder);
    tempFiles.append(local);
    if (!downloadToFile(url, local, false, ReleaseDescription::kMaxFileBytes)) {
        logError(QStringLiteral("无法下载更新包签名:%1 %2").arg(url, detailText));
        return refuseRelease(QStringLiteral("无法下载更新包签名，拒绝更新"));
    }
    // Both are closed before a refusal removes them: Windows keeps an open
    // file from being deleted.
    QByteArray bytes;
    QByteArray iniBytes;
    {
        QFile description(local);
        QFile ini(versionFile);
        if (description.open(QIODevice::ReadOnly))
            bytes = description.readAll();
        if (ini.open(QIODevice::ReadOnly))
            iniBytes = ini.readAll();
    }
    QFile::remove(local);
    descriptionDigest = Digest::of(Digest::Algorithm::Sha256, bytes);
    QString text;
    if (!trust.accept(bytes, serverVersion, &text)
        || !trust.checkMetadata(ReleaseTrust::Metadata::VersionFile, iniBytes, &text))
        return refuseRelease(text);
    return true;
}

bool CHttpDriver::checkSignedManifest(const QString &manifestFile, const CompactManifest &remote)
{
    if (!trust.isAccepted())
        return true;
    QByteArray bytes;
    {
        QFile file(manifestFile);
        if (file.open(QIODevice::ReadOnly))
            bytes = file.readAll();
    }
    QStringList served = remote.paths();
    // Manifest paths start with "/"; the description's are relative.
    for (QString &path : served)
        path.remove(0, path.startsWith(QLatin1Char('/')) ? 1 : 0);
    QString text;
    if (!trust.checkMetadata(ReleaseTrust::Metadata::Manifest, bytes, &text) || !trust.checkFileList(served, &text))
        return refuseRelease(text);
    return true;
}

int CHttpDriver::checkVersionFile()
{
    statusText = HttpTexts::preparing();
    identity.clear();
    descriptionDigest.clear();
    // Read anew for every check: the configuration may have been replaced.
    trust = ReleaseTrust(config.publicKeys(), appDir);
    const QString caFile = config.caCertificates();
    QString caProblem;
    if (!caFile.isEmpty()
        && !TlsTrust::addCaCertificates(QDir::isAbsolutePath(caFile) ? caFile : appDir + caFile, &caProblem)) {
        logError(QStringLiteral("无法读取CA证书:") + caProblem);
        statusText = HttpTexts::failed();
        detailText = QStringLiteral("无法读取CA证书:") + caFile;
        refreshLabels();
        return 3;
    }
    const QString tmpIni = HttpLayout::serverVersionFile(appDir);
    const QString iniUrl = HttpLayout::versionFileUrl(baseUrl());
    tempFiles.append(tmpIni);
    if (!downloadToFile(iniUrl, tmpIni, false)) {
        statusText = HttpTexts::stopped();
        detailText = QStringLiteral("下载%1失败").arg(iniUrl);
        refreshLabels();
        return 2;
    }
    detailText = QStringLiteral("下载%1成功").arg(iniUrl);
    refreshLabels();
    if (!parseServerVersion()) {
        refreshLabels();
        return 3;
    }
    const QString localIni = HttpLayout::installedVersionFile(appDir);
    if (!QFileInfo(localIni).isFile()) {
        detailText = QStringLiteral("本地update文件不存在，准备更新");
        refreshLabels();
        view.showVersions(QString(), serverVersion);
        return checkSignedRelease(tmpIni) ? 1 : 3;
    }
    const QSettings installed(localIni, QSettings::IniFormat);
    const QString installedVersion = installed.value(QStringLiteral("Version/Version")).toString();
    view.showVersions(installedVersion, serverVersion);
    // Any difference means an update, a lower server version included.
    if (installedVersion == serverVersion) {
        detailText = QStringLiteral("update文件版本相同，不需要更新");
        QFile::remove(tmpIni);
        refreshLabels();
        return 0;
    }
    detailText = QStringLiteral("update文件版本不同，需要更新");
    refreshLabels();
    return checkSignedRelease(tmpIni) ? 1 : 3;
}

int CHttpDriver::checkManifest()
{
    statusText = HttpTexts::preparing();
    const QString tmpMd5 = HttpLayout::serverManifestFile(appDir);
    const QString md5Url = HttpLayout::manifestUrl(baseUrl(), serverFolder);
    tempFiles.append(tmpMd5);
    // A body longer than the publisher recorded is cut off as it arrives.
    if (!downloadToFile(md5Url, tmpMd5, true,
                        manifestBytes >= 0 ? manifestBytes : CBlockingDownload::kDefaultMaxBytes)) {
        statusText = HttpTexts::failed();
        detailText = QStringLiteral("下载%1失败").arg(QStringLiteral("md5.txt"));
        refreshLabels();
        return 2;
    }
    detailText = QStringLiteral("MD5比对");
    refreshLabels();
    const QString localMd5 = HttpLayout::localManifestFile(appDir);
    if (!QFileInfo(localMd5).isFile())
        generateManifest(appDir);
    // The versions differ, so the server's manifest must list the release:
    // an empty or garbled one (an error page served with 200, a failed
    // upload) is a failed check, never "nothing to update".
    ManifestReadStats stats;
    CompactManifest remote;
    remote.read(tmpMd5, &stats);
    if (!manifestMatchesVersionFile(tmpMd5, remote.size())) {
        statusText = HttpTexts::failed();
        detailText = QStringLiteral("服务端MD5清单不完整");
        QFile::remove(tmpMd5);
        refreshLabels();
        return 2;
    }
    if (remote.isEmpty() || stats.linesWithoutTab > 0) {
        statusText = HttpTexts::failed();
        detailText = QStringLiteral("服务端MD5清单无法解析");
        logError(QStringLiteral("服务端MD5清单无法解析:%1 (条目 %2, 无TAB的行 %3, 首个在第 %4 行)")
                     .arg(tmpMd5)
                     .arg(stats.entryLines)
                     .arg(stats.linesWithoutTab)
                     .arg(stats.firstBadLine)
                     );
        QFile::remove(tmpMd5);
        refreshLabels();
        return 2;
    }
    if (!checkSignedManifest(tmpMd5, remote)) {
        QFile::remove(tmpMd5);
        return 2;
    }
    diffMap = remote.differencesFrom(readManifest(localMd5));
    // Everything the files are held to: the manifest, and for a signed
    // release its description.
    Digest release(Digest::Algorithm::Sha256);
    release.addData(QByteArrayLiteral("http\n") + serverVersion.toUtf8() + '\n' + serverFolder.toUtf8() + '\n');
    release.addData(descriptionDigest);
    release.addData(Digest::ofFile(Digest::Algorithm::Sha256, tmpMd5));
    identity = release.result();
    return diffMap.isEmpty() ? 0 : 1;
}

void CHttpDriver::startUpdate()
{
    failureCause.clear();
    failedFile.clear();
    view.setCancelEnabled(true);
    startDownloads(diffMap);
}

QString CHttpDriver::plannedTempDir(QString *reason) const
{
    if (!tempDirectory.isEmpty())
        return tempDirectory;
    // Without the controller's resolved directory (the dialog used on its
    // own) the configured value is joined to the installation, but only one
    // that stays below it; anything else leaves the plan without a directory,
    // which it refuses with the configured value in its text.
    const QString configured = config.tempPath();
    if (HttpLayout::isUsableTempPath(configured, reason))
        return appDir + configured;
    return configured.isEmpty() || QDir::isAbsolutePath(configured) ? QString() : configured;
}

void CHttpDriver::startDownloads(const Md5Manifest &map)
{
    updating = true;
    statusText = HttpTexts::updating();
    detailText.clear();
    abandonFetches();
    downloads.clear();
    currentIndex = 0;
    nextIndex = 0;
    totalCount = map.size();

    QString reason;
    const QString tempDir = plannedTempDir(&reason);
    if (!DownloadPlan::build(map, baseUrl(), serverFolder, tempDir, &downloads, &detailText, &reason)) {
        logError(detailText + QLatin1Char(' ') + reason);
        onUpdateCompleted(false);
        return;
    }

    if (trust.isAccepted()) {
        // The plan holds the entries in the map's order.
        int i = 0;
        for (auto it = map.cbegin(); it != map.cend() && i < downloads.size(); ++it, ++i) {
            const QString &key = it.key();
            const SignedFile *signedFile = trust.file(key.mid(key.startsWith(QLatin1Char('/')) ? 1 : 0));
            if (!signedFile) {
                detailText = QStringLiteral("更新包文件列表与签名不符，拒绝更新");
                logError(detailText + QStringLiteral(": ") + key);
                onUpdateCompleted(false);
                return;
            }
            downloads[i].sha256 = signedFile->sha256;
            downloads[i].size = signedFile->size;
        }
    }
    keepDownloadedFiles(tempDir);
    totalCount = downloads.size();
    view.setOverallRange(totalCount);
    view.setOverallValue(0);
    view.showStatusLine(HttpTexts::updating() + QStringLiteral("准备更新 %1 个文件").arg(totalCount));
    if (!downloads.isEmpty()) {
        logInfo(QStringLiteral("下载 %1 个文件, 连接数 %2").arg(totalCount).arg(connections));
        if (startFetches())
            showHead();
        return;
    }
    updating = false;
    cancelRequested = false;
    if (cancelTimer)
        cancelTimer->stop();
    view.showStatusLine(QStringLiteral("更新完成!"));
    view.setFileProgress(100);
    ++completions;
    QPointer<CHttpDriver> self(this);
    emit sigUpdateResult(true);
    if (self)
        view.setCancelEnabled(false);
}

void CHttpDriver::keepDownloadedFiles(const QString &tempDir)
{
    // The controller keeps the area only for the release that an
    // interrupted run was fetching. A file that is already whole and
    // verified is not fetched again, a large one that was cut off continues
    // where it stopped, and whatever the plan does not list goes: the apply
    // takes everything the area holds.
    areaDir = withSlash(tempDir);
    const QHash<QString, QString> validators = TempStamp::validators(areaDir);
    QSet<QString> listed;
    QVector<DownloadEntry> remaining;
    for (DownloadEntry entry : qAsConst(downloads)) {
        const QString relative = entry.localPath.mid(areaDir.size());
        listed.insert(relative);
        const QFileInfo stored(entry.localPath);
        if (stored.isFile()) {
            const bool whole = entry.sha256.isEmpty()
                                   ? Digest::fileMatches(Digest::Algorithm::Md5, entry.localPath,
                                                         QByteArray::fromHex(entry.md5.toLatin1()))
                                   : Digest::fileMatches(Digest::Algorithm::Sha256, entry.localPath, entry.sha256,
                                                         entry.size);
            if (whole)
                continue;
            const bool shorter = entry.size < 0 || stored.size() < entry.size;
            if (stored.size() > 0 && shorter)
                entry.validator = validators.value(relative);
        }
        remaining.append(entry);
    }
    if (QFileInfo(areaDir).isDir())
        TempStamp::removeOthers(areaDir, listed, CFileApplier::workDirMarkerName());
    if (remaining.size() < downloads.size())
        logInfo(QStringLiteral("临时目录中已有完整且校验通过的文件 %1 个，不再下载").arg(downloads.size() - remaining.size()));
    downloads = remaining;
}

bool CHttpDriver::startFetches()
{
    // The toolkit opens a connection for every request that finds none free,
    // up to its own limit, so sending no more requests than the allowed
    // connections keeps to them; one keeps the old order of events exactly.
    // Pipelining lets it open its full number whatever is sent, so it is
    // only allowed when the publisher allows that many. Then every connection
    // carries several requests, which spares a far client the round trip
    // per file.
    const bool pipelining = connections >= kToolkitConnections;
    const int window = pipelining ? connections * kRequestsPerConnection : connections;
    const CFileFetch::Limits limits{maxFileBytes, transferTimeoutMs, pipelining};
    while (running.size() < window && nextIndex < totalCount) {
        const int index = nextIndex++;
        auto *fetch = new CFileFetch(downloads.at(index), limits, this);
        connect(fetch, &CFileFetch::resumable, this, [this, index](const QString &validator) {
            TempStamp::recordValidator(areaDir, downloads.at(index).localPath.mid(areaDir.size()), validator);
        });
        if (!fetch->start(networkManager)) {
            failUpdate(fetch);
            return false;
        }
        connect(fetch, &CFileFetch::progress, this, [this, index](qint64 received, qint64 total) {
            if (index == currentIndex)
                onDownloadProgress(received, total);
        });
        connect(fetch, &CFileFetch::finished, this, [this, index] { onFetchFinished(index); });
        running.insert(index, fetch);
    }
    return true;
}

void CHttpDriver::showHead()
{
    statusText = QStringLiteral("%1 %2/%3").arg(HttpTexts::updating()).arg(currentIndex + 1).arg(totalCount);
    detailText = QFileInfo(downloads.at(currentIndex).localPath).fileName();
    refreshLabels();
    // The file bar measures this file, which may be well on its way already.
    CFileFetch *head = headFetch();
    view.setFileProgress(head ? head->percent() : 0);
    // Nothing of this update is ahead of the head on its connection, so
    // silence there is a stalled transfer; a later file may be waiting.
    if (head)
        head->setWatched(true);
}

CFileFetch *CHttpDriver::headFetch() const
{
    return running.value(currentIndex, nullptr);
}

void CHttpDriver::onFetchFinished(int index)
{
    CFileFetch *fetch = running.take(index);
    if (!fetch)
        return;
    if (!fetch->isStored()) {
        failUpdate(fetch);
        return;
    }
    fetch->deleteLater();
    const bool headMoved = index == currentIndex;
    if (headMoved) {
        while (currentIndex < nextIndex && !running.contains(currentIndex))
            ++currentIndex;
        view.setOverallValue(currentIndex);
        if (currentIndex >= totalCount) {
            onUpdateCompleted(true);
            return;
        }
    }
    if (startFetches() && headMoved)
        showHead();
}

void CHttpDriver::failUpdate(CFileFetch *failed)
{
    // The first failure ends the whole update; the fetches still running
    // are stopped with it and leave no partial file.
    detailText = failed->detail();
    failureCause = failed->cause();
    failedFile = failed->failedName();
    failed->deleteLater();
    onUpdateCompleted(false);
}

void CHttpDriver::abandonFetches()
{
    const QMap<int, CFileFetch *> stopped = running;
    running.clear();
    for (CFileFetch *fetch : stopped) {
        fetch->abandon();
        fetch->deleteLater();
    }
}

void CHttpDriver::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (bytesTotal > 0)
        view.setFileProgress(static_cast<int>(bytesReceived * 100 / bytesTotal));
}

void CHttpDriver::onDownloadFinished()
{
    if (CFileFetch *head = headFetch())
        head->onFinished();
}

void CHttpDriver::onDownloadError(QNetworkReply::NetworkError error)
{
    if (CFileFetch *head = headFetch())
        head->onError(error);
    else if (updating)
        onUpdateCompleted(false);
}

void CHttpDriver::onUpdateCompleted(bool success)
{
    const bool cancelled = cancelRequested;
    abandonFetches();
    updating = false;
    cancelRequested = false;
    if (cancelTimer)
        cancelTimer->stop();
    if (success) {
        view.showStatusLine(QStringLiteral("更新完成!"));
        view.setFileProgress(100);
    } else {
        cleanupTemporaryFiles();
        statusText = cancelled ? QStringLiteral("更新已取消") : HttpTexts::failed();
        if (detailText.isEmpty())
            detailText = QStringLiteral("未知错误");
        refreshLabels();
        showFailure(cancelled);
    }
    ++completions;
    // A receiver of the result may delete the dialog, and this driver with it.
    QPointer<CHttpDriver> self(this);
    emit sigUpdateResult(success);
    if (self)
        view.setCancelEnabled(false);
}

void CHttpDriver::showFailure(bool cancelled)
{
    // The first line says what happened, the second why, in words a user
    // reads; the full detail (toolkit text, paths) is in the log and the
    // second line's tool tip.
    if (cancelled)
        view.showFailure(QStringLiteral("程序未作任何更改"), QString());
    else
        view.showFailure(failureCause.isEmpty() ? detailText : HttpErrorText::failureLine(failedFile, failureCause),
                         detailText);
}

void CHttpDriver::requestCancel()
{
    if (cancelRequested || !updating)
        return;
    QPointer<CHttpDriver> self(this);
    const bool confirmed = view.confirmCancel();
    if (!self || !confirmed)
        return;
    // The update may have completed while the question was open.
    const bool stillRunning = updating;
    const int completionsBefore = completions;

    updating = false;
    cancelRequested = true;
    statusText = HttpTexts::cancelling();
    view.setCancelEnabled(false);
    if (CFileFetch *head = running.isEmpty() ? nullptr : running.first()) {
        // The abort of the first running file reports itself at once, which
        // completes the update and stops the others.
        head->cancel();
        if (!self)
            return;
    }
    abandonFetches();
    downloads.clear();
    cleanupTemporaryFiles();
    // Exactly one result per started update, even when the abort had
    // nothing left to report.
    if (stillRunning && completions == completionsBefore)
        onUpdateCompleted(false);
}

void CHttpDriver::checkCancelRequest()
{
    if (!running.isEmpty())
        return;
    if (cancelTimer)
        cancelTimer->stop();
    onUpdateCompleted(false);
}

void CHttpDriver::cleanupTemporaryFiles()
{
    WorkDirCleanup::removeFiles(tempFiles);
    const QString workDir = HttpLayout::workingDir(appDir);
    if (QFileInfo(workDir).isDir()) {
        WorkDirCleanup::clearDirectory(workDir, HttpLayout::keptWorkingFile());
        logInfo("取消/失败后清理临时文件完成");
    }
}
