#include "tcp/ctcpupdate.h"

#include "config/cconfigmanager.h"
#include "config/portnumber.h"
#include "fileops/cfileapplier.h"
#include "fileops/cfilewriter.h"
#include "fileops/digest.h"
#include "fileops/tempstamp.h"
#include "log/logger.h"
#include "tcp/qupdatetcpclient.h"
#include "tcp/unchangedfiles.h"
#include "ui/formatsize.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

CTCPUpdate::CTCPUpdate()
    : CTCPUpdate(CConfigManager::instance(), nullptr)
{
}

CTCPUpdate::CTCPUpdate(const CConfigManager &configStore, CFileWriter *writer)
    : config(configStore)
    , fileWriter(writer)
    , trust(configStore.publicKeys(), configStore.installationDir())
{
    connect(&window, &UpdateWidget::sigCancelRequested, this, &CTCPUpdate::onCancelRequested);
    serverHost = config.updateServer();
    serverPort = portNumber(config.updatePort());
    if (serverHost.isEmpty() || !config.isSystemConfigLoaded() || serverPort == 0)
        return;

    client = new QUpdateTcpClient(this);
    client->setFileWriter(writer);
    client->setConfigManager(&config);
    connect(client, &QUpdateTcpClient::versionChecked, this, &CTCPUpdate::onVersionChecked);
    // Queued: the window processes events whenever it changes, and doing that
    // inside the client's receive step could open a modal question in there,
    // where no read is taken until it closes. The handlers run from the
    // request's wait instead, and downloadCurrent() delivers what is left.
    connect(client, &QUpdateTcpClient::sigFileDownloadProgress, this, &CTCPUpdate::onFileProgress, Qt::QueuedConnection);
    connect(client, &QUpdateTcpClient::sigFileDownloadCompleted, this, &CTCPUpdate::onFileCompleted,
            Qt::QueuedConnection);
    connect(client, &QUpdateTcpClient::sigFileDownloadError, this, &CTCPUpdate::onFileError, Qt::QueuedConnection);
    // The user's deliberation is no stall of the service.
    connect(&window, &UpdateWidget::sigCancelQuestionShown, client, &QUpdateTcpClient::setInactivityPaused);
    // The result is not needed here: checkVersion tests the connection.
    client->connectToServer(serverHost, serverPort);
}

CTCPUpdate::~CTCPUpdate() = default;

QString CTCPUpdate::formatSize(qint64 bytes)
{
    return ::formatSize(bytes);
}

CTCPUpdate::ErrorClass CTCPUpdate::classifyError(const QString &text)
{
    struct Row
    {
        ErrorClass errorClass;
        QStringList english;
        QStringList chinese;
    };
    // Tried in order: a text about a connection time-out is a time-out, and
    // "文件校验失败" is about what arrived, not about the disk.
    static const Row rows[] = {
        {Verification, {QStringLiteral("checksum")}, {QStringLiteral("校验")}},
        {Timeout, {QStringLiteral("timeout")}, {QStringLiteral("超时")}},
        {Network, {QStringLiteral("network"), QStringLiteral("connection")}, {QStringLiteral("网络"), QStringLiteral("连接")}},
        {FileSystem, {QStringLiteral("file"), QStringLiteral("disk")}, {QStringLiteral("文件"), QStringLiteral("磁盘")}},
        {Cancel, {QStringLiteral("cancel")}, {QStringLiteral("取消")}},
    };
    for (const Row &row : rows) {
        for (const QString &word : row.english) {
            if (text.contains(word, Qt::CaseInsensitive))
                return row.errorClass;
        }
        for (const QString &word : row.chinese) {
            if (text.contains(word, Qt::CaseSensitive))
                return row.errorClass;
        }
    }
    return Unknown;
}

void CTCPUpdate::failCheck(const QString &cause)
{
    checkFailed = true;
    checkError = QStringLiteral("TCP版本检查失败: %1").arg(cause);
    logError(QStringLiteral("%1 (%2:%3)").arg(checkError, serverHost).arg(serverPort));
}

bool CTCPUpdate::checkVersion()
{
    checkFailed = false;
    checkError.clear();
    if (!client) {
        failCheck(QStringLiteral("未配置TCP更新服务"));
        return false;
    }
    if (!client->isConnected()) {
        failCheck(QStringLiteral("未连接到服务器"));
        return false;
    }
    VersionCheckRequest request;
    request.version = config.localVersion();
    request.clientId = QStringLiteral("1");
    request.projectType = config.projectType();
    QString cause;
    versionInfo = client->checkVersion(request, kVersionCheckTimeoutMs, &cause);
    if (!cause.isEmpty())
        failCheck(cause);
    return versionInfo.hasUpdate;
}

int CTCPUpdate::check()
{
    identity.clear();
    const bool hasUpdate = checkVersion();
    if (checkFailed)
        return -1;
    // An offer without files leaves nothing to download or apply; starting a
    // run would show a window that no result ever closes.
    if (hasUpdate && downloadList.isEmpty()) {
        logWarn("TCP更新服务提供了新版本但没有列出任何文件，无需下载");
        return 0;
    }
    if (!hasUpdate)
        return 0;
    if (!trust.isRequired())
        trust.noteUnverified();
    else if (!verifySignedRelease())
        return -1;
    noteIdentity();
    return dropInstalledFiles() ? 1 : 0;
}

void CTCPUpdate::noteIdentity()
{
    // The whole offer, before the installed files are left out: the list
    // with everything each file is held to.
    Digest release(Digest::Algorithm::Sha256);
    release.addData(QByteArrayLiteral("tcp\n") + versionInfo.version.toUtf8() + '\n');
    for (const FileItem &item : qAsConst(downloadList)) {
        release.addData(item.releasePath().toUtf8() + '\0' + item.md5 + '\0' + item.sha256 + '\0'
                        + QByteArray::number(item.size) + '\n');
    }
    identity = release.result();
}

void CTCPUpdate::keepDownloadedFiles()
{
    // The controller keeps the area only for the release an interrupted run
    // was fetching: a file there that has its announced content is not
    // fetched again, and whatever the list does not name goes, as the apply
    // takes everything the area holds.
    const CFileWriter &writer = fileWriter ? *fileWriter : CFileWriter::instance();
    const QString area = writer.areaDir() + QLatin1Char('/');
    QSet<QString> listed;
    QList<FileItem> remaining;
    for (const FileItem &item : qAsConst(downloadList)) {
        const QString target = writer.targetPath(item.path, item.name);
        if (target.isEmpty()) {
            remaining.append(item);
            continue;
        }
        listed.insert(target.mid(area.size()));
        if (UnchangedFiles::holds(item, target))
            continue;
        // A file cut off by the kill is continued where it stopped, when the
        // service can serve from an offset; its digest is checked whole.
        const qint64 stored = QFileInfo(target).size();
        FileItem next = item;
        if (versionInfo.startOffsets && QFileInfo(target).isFile() && stored > 0 && (item.size < 0 || stored < item.size))
            next.resumeFrom = stored;
        remaining.append(next);
    }
    if (QFileInfo(area).isDir())
        TempStamp::removeOthers(area, listed, CFileApplier::workDirMarkerName());
    if (remaining.size() < downloadList.size())
        logInfo(QStringLiteral("临时目录中已有完整且校验通过的文件 %1 个，不再下载").arg(downloadList.size() - remaining.size()));
    downloadList = remaining;
}

bool CTCPUpdate::dropInstalledFiles()
{
    QElapsedTimer clock;
    clock.start();
    QStringList skipped;
    downloadList = UnchangedFiles::withoutInstalled(downloadList, config.installationDir(), &skipped);
    for (const QString &file : qAsConst(skipped))
        logDebug(QStringLiteral("已安装且内容相同，不再下载: %1").arg(file));
    if (!skipped.isEmpty()) {
        logInfo(QStringLiteral("已安装且内容相同的文件: %1 个，需下载: %2 个 (核对用时 %3 ms)")
                    .arg(skipped.size())
                    .arg(downloadList.size())
                    .arg(clock.elapsed()));
    }
    if (!downloadList.isEmpty())
        return true;
    logWarn("TCP更新服务提供的文件均已安装且内容相同，无需下载");
    return false;
}

bool CTCPUpdate::verifySignedRelease()
{
    auto refuse = [this](const QString &text) {
        checkFailed = true;
        checkError = text;
        logError(QStringLiteral("TCP更新被拒绝: %1 (%2:%3)").arg(text, serverHost).arg(serverPort));
        return false;
    };
    if (!descriptionOffered)
        return refuse(QStringLiteral("更新包未签名，拒绝更新"));
    // Fetched into a scratch directory of its own: the temporary area is
    // only prepared once the update goes ahead.
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return refuse(QStringLiteral("无法创建临时目录: ") + scratch.errorString());
    CFileWriter writer(config, config.installationDir());
    writer.setTempDirectory(scratch.path());
    client->setFileWriter(&writer);
    client->beginRun();
    const bool fetched = client->downloadFile(descriptionItem, -1);
    client->setFileWriter(fileWriter);
    if (!fetched)
        return refuse(QStringLiteral("无法下载更新包签名: ") + client->errorString());
    QFile file(writer.targetPath(descriptionItem.path, descriptionItem.name));
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("无法读取更新包签名: ") + file.errorString());
    const QByteArray bytes = file.read(ReleaseDescription::kMaxFileBytes + 1);
    file.close();

    QString text;
    if (!trust.accept(bytes, versionInfo.version, &text))
        return refuse(text);
    QStringList served;
    for (const FileItem &item : qAsConst(downloadList))
        served.append(item.releasePath());
    if (!trust.checkFileList(served, &text))
        return refuse(text);
    // From here on every file is held to its signed size and SHA-256; the
    // service's MD5 tags add nothing.
    for (FileItem &item : downloadList) {
        const SignedFile *signedFile = trust.file(item.releasePath());
        item.sha256 = signedFile->sha256;
        item.size = signedFile->size;
        item.md5.clear();
    }
    return true;
}

void CTCPUpdate::onVersionChecked(const VersionInfo &reply)
{
    if (!reply.hasUpdate)
        return;
    // The list is fixed for a run: it is read by index while files arrive.
    if (running) {
        logWarn("下载过程中收到版本回复，已忽略");
        return;
    }
    downloadList.clear();
    descriptionOffered = false;
    QSet<QString> listed;
    for (const RemoteFileEntry &entry : reply.files) {
        const FileItem item{entry.path(), entry.name(), entry.md5Tag()};
        if (item.releasePath() == ReleaseDescription::fileName()) {
            descriptionItem = item;
            descriptionItem.maxSize = ReleaseDescription::kMaxFileBytes;
            descriptionOffered = true;
            continue;
        }
        // A file listed twice is fetched once: its second transfer would
        // only overwrite the first.
        const QString key = item.path + QLatin1Char('\0') + item.name;
        if (listed.contains(key)) {
            logWarn(QStringLiteral("版本回复重复列出文件，已忽略: %1/%2").arg(item.path, item.name));
            continue;
        }
        listed.insert(key);
        downloadList.append(item);
    }
}

bool CTCPUpdate::start()
{
    if (!versionInfo.hasUpdate || downloadList.isEmpty())
        return false;
    window.showVersions(config.localVersion(), versionInfo.version);
    window.bringToFront();
    window.resetProgress();
    display().showInfo(QStringLiteral("开始TCP更新..."));
    keepDownloadedFiles();
    running = true;
    const bool ok = downloadAll();
    running = false;
    repaints.flush();
    // A run that ends here leaves the user a way out of the frameless window.
    if (!ok)
        window.showFinished(cancelRequested ? QStringLiteral("TCP升级已取消") : QStringLiteral("TCP升级失败"));
    // Posted, so that receivers run from the event loop after start returns.
    QMetaObject::invokeMethod(
        this, [this, ok]() { emit sigUpdateResult(ok); }, Qt::QueuedConnection);
    return ok;
}

UpdateWidget &CTCPUpdate::display()
{
    repaints.beforeUpdate();
    return window;
}

void CTCPUpdate::onCancelRequested()
{
    logInfo(QStringLiteral("用户请求取消下载"));
    cancelRequested = true;
    if (client)
        client->cancelCurrentRequest();
}

void CTCPUpdate::onFileProgress(const QString &, const QString &fileName, quint32 downloaded, quint32 total)
{
    const int percent = total == 0 ? 0 : static_cast<int>(double(downloaded) / double(total) * 100.0);
    logInfo(QStringLiteral("TCP文件下载进度:%1 %2/%3 %4%").arg(fileName).arg(downloaded).arg(total).arg(percent));
    // Every window update repaints and processes events; doing that for each
    // chunk of a large file would cost more than receiving it. What the
    // window shows is the same: every percentage, the start and the end.
    const bool due = downloaded == 0 || downloaded >= total || fileName != shownFile || percent != shownPercent
                     || !progressClock.isValid() || progressClock.elapsed() >= kProgressRepaintMs;
    if (!due)
        return;
    shownFile = fileName;
    shownPercent = percent;
    progressClock.start();
    // One display call per chunk: the file line already carries the sizes, so
    // a second status text would only make the line flicker between the two.
    display().showFileProgress(fileName, downloaded, total);
}

void CTCPUpdate::onFileCompleted(const QString &, const QString &fileName)
{
    display().showInfo(QStringLiteral("文件下载完成: %1").arg(fileName));
    logInfo(QStringLiteral("TCP文件下载完成:") + fileName);
}

void CTCPUpdate::onFileError(const QString &, const QString &fileName, const QString &error)
{
    // Stray data after a run (refused and logged by the client) must not
    // paint over the run's final text.
    if (!running)
        return;
    display().showError(QStringLiteral("文件下载失败: %1 - %2").arg(fileName, error));
    qWarning() << "TCP文件下载错误:" << fileName << "-" << error;
}
