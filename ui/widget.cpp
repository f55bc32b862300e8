#include "ui/widget.h"

#include "ui_widget.h"

#include "config/cconfigmanager.h"
#include "config/compactmanifest.h"
#include "http/cblockingdownload.h"
#include "http/downloadcompletion.h"
#include "http/downloadplan.h"
#include "http/httperrortext.h"
#include "http/httplayout.h"
#include "http/httpreplystatus.h"
#include "http/httptexts.h"
#include "http/workdircleanup.h"
#include "log/logger.h"
#include "ui/cancelconfirmation.h"
#include "ui/paintbackground.h"
#include "ui/resources.h"
#include "ui/windowlook.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QPointer>
#include <QSettings>
#include <QTimer>
#include <QUrl>

namespace {

// "font: 700 16pt "Microsoft YaHei UI";", 36 blanks and the colour: the
// label style of the form as the product has always carried it.
QString labelStyle(const char *pointSize)
{
    return QStringLiteral("font: 700 ") + QLatin1String(pointSize) + QStringLiteral("pt \"Microsoft YaHei UI\";")
           + QString(36, QLatin1Char(' ')) + QStringLiteral("color: rgb(0, 0, 0);");
}

QString withSlash(const QString &dir)
{
    return dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
}

} // namespace

Widget::Widget(QWidget *parent)
    : Widget(CConfigManager::instance(), QCoreApplication::applicationDirPath(), parent)
{
}

Widget::Widget(const CConfigManager &configStore, const QString &appDirectory, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::Widget)
    , appDir(withSlash(appDirectory))
    , config(configStore)
    , transferTimeoutMs(HttpReplyStatus::kTransferTimeoutMs)
{
    initUpdaterResources();
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("HTTP升级"));
    setWindowFlags(Qt::FramelessWindowHint);
    setFixedSize(640, 455);
    ui->label_update->setStyleSheet(labelStyle("16"));
    ui->label_updatefile->setStyleSheet(labelStyle("14"));
    // White percentages vanish on the white groove: both bars get the
    // shared look with dark text.
    ui->progressBar_update->setStyleSheet(WindowLook::progressBarStyle());
    ui->progressBar_updatefile->setStyleSheet(WindowLook::progressBarStyle());
    WindowLook::setUpIcon(ui->label_icon, ui->horizontalLayout_2);
    ui->label_version->setStyleSheet(WindowLook::versionLineStyle());
    for (QProgressBar *bar : {ui->progressBar_update, ui->progressBar_updatefile}) {
        bar->setRange(0, 100);
        bar->setValue(0);
    }
    connect(ui->pushButton_cancel, &QPushButton::clicked, this, &Widget::onCancelUpdate);
    // Bound to its slot but never started: no flow needs a watchdog yet.
    cancelTimer = new QTimer(this);
    cancelTimer->setObjectName(QStringLiteral("cancelTimer"));
    connect(cancelTimer, &QTimer::timeout, this, &Widget::onCheckCancelRequest);
}

Widget::~Widget()
{
    emit sigUpdateResult(false);
    // The transfer must not call back into a half-destroyed dialog.
    if (currentReply) {
        disconnect(currentReply, nullptr, this, nullptr);
        currentReply->abort();
        currentReply = nullptr;
    }
    currentFile.discard();
    delete ui;
}

QString Widget::baseUrl() const
{
    return config.updateEntry(QStringLiteral("URL"));
}

void Widget::refreshLabels()
{
    ui->label_update->setText(statusText);
    ui->label_updatefile->setText(detailText);
}

void Widget::paintEvent(QPaintEvent *event)
{
    paintBackground(this);
    QDialog::paintEvent(event);
}

void Widget::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
}

void Widget::closeEvent(QCloseEvent *event)
{
    if (updating && !cancelRequested)
        cleanupTemporaryFiles();
    QDialog::closeEvent(event);
}

void Widget::reject()
{
    if (updating && !cancelRequested)
        cleanupTemporaryFiles();
    QDialog::reject();
}

bool Widget::downloadToFile(const QString &url, const QString &localPath, QProgressBar *progressBar)
{
    detailText.clear();
    CBlockingDownload download;
    download.setTransferTimeout(transferTimeoutMs);
    if (progressBar) {
        connect(&download, &CBlockingDownload::downloadProgress, progressBar,
                [progressBar](qint64 received, qint64 total) {
                    if (total > 0)
                        progressBar->setValue(static_cast<int>(received * 100 / total));
                });
    }
    const bool ok = download.run(url, localPath);
    if (!ok)
        detailText = download.errorString();
    return ok;
}

bool Widget::parseServerVersion()
{
    const QSettings ini(HttpLayout::serverVersionFile(appDir), QSettings::IniFormat);
    serverFolder = ini.value(QStringLiteral("Version/Folder")).toString();
    serverVersion = ini.value(QStringLiteral("Version/Version")).toString();
    if (!serverFolder.isEmpty() && !serverVersion.isEmpty()) {
        serverFolder += QLatin1Char('/');
        return true;
    }
    statusText = HttpTexts::failed();
    detailText = QStringLiteral("服务端版本解析失败");
    logError((detailText + QStringLiteral(":") + HttpLayout::serverVersionFile(appDir)).toStdString());
    return false;
}

int Widget::checkVersionFile()
{
    statusText = HttpTexts::preparing();
    const QString tmpIni = HttpLayout::serverVersionFile(appDir);
    const QString iniUrl = HttpLayout::versionFileUrl(baseUrl());
    tempFiles.append(tmpIni);
    if (!downloadToFile(iniUrl, tmpIni, nullptr)) {
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
        showVersions(QString(), serverVersion);
        return 1;
    }
    const QSettings installed(localIni, QSettings::IniFormat);
    const QString installedVersion = installed.value(QStringLiteral("Version/Version")).toString();
    showVersions(installedVersion, serverVersion);
    // Any difference means an update, a lower server version included.
    if (installedVersion == serverVersion) {
        detailText = QStringLiteral("update文件版本相同，不需要更新");
        QFile::remove(tmpIni);
        refreshLabels();
        return 0;
    }
    detailText = QStringLiteral("update文件版本不同，需要更新");
    refreshLabels();
    return 1;
}

int Widget::checkManifest()
{
    statusText = HttpTexts::preparing();
    const QString tmpMd5 = HttpLayout::serverManifestFile(appDir);
    const QString md5Url = HttpLayout::manifestUrl(baseUrl(), serverFolder);
    tempFiles.append(tmpMd5);
    if (!downloadToFile(md5Url, tmpMd5, ui->progressBar_updatefile)) {
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
    if (remote.isEmpty() || stats.linesWithoutTab > 0) {
        statusText = HttpTexts::failed();
        detailText = QStringLiteral("服务端MD5清单无法解析");
        logError(QStringLiteral("服务端MD5清单无法解析:%1 (条目 %2, 无TAB的行 %3, 首个在第 %4 行)")
                     .arg(tmpMd5)
                     .arg(stats.entryLines)
                     .arg(stats.linesWithoutTab)
                     .arg(stats.firstBadLine)
                     .toStdString());
        QFile::remove(tmpMd5);
        refreshLabels();
        return 2;
    }
    diffMap = remote.differencesFrom(readManifest(localMd5));
    return diffMap.isEmpty() ? 0 : 1;
}

void Widget::startUpdate()
{
    failureCause.clear();
    failedFile.clear();
    if (finished) {
        finished = false;
        ui->pushButton_cancel->setText(QStringLiteral("取消"));
        ui->pushButton_cancel->setStyleSheet(QString());
    }
    ui->pushButton_cancel->setEnabled(true);
    startDownloads(diffMap);
}

void Widget::startDownloads(const Md5Manifest &map)
{
    updating = true;
    statusText = HttpTexts::updating();
    detailText.clear();
    downloads.clear();
    currentIndex = 0;
    totalCount = map.size();

    QString reason;
    const bool planned = tempDirectory.isEmpty()
        ? DownloadPlan::build(map, baseUrl(), serverFolder, appDir, config.tempPath(), &downloads, &detailText, &reason)
        : DownloadPlan::buildInto(map, baseUrl(), serverFolder, tempDirectory, &downloads, &detailText, &reason);
    if (!planned) {
        logError((detailText + QLatin1Char(' ') + reason).toStdString());
        onUpdateCompleted(false);
        return;
    }

    ui->progressBar_update->setRange(0, totalCount);
    ui->progressBar_update->setValue(0);
    ui->label_update->setText(HttpTexts::updating() + QStringLiteral("准备更新 %1 个文件").arg(totalCount));
    if (!downloads.isEmpty()) {
        downloadNext();
        return;
    }
    updating = false;
    cancelRequested = false;
    cancelTimer->stop();
    ui->label_update->setText(QStringLiteral("更新完成!"));
    ui->progressBar_updatefile->setValue(100);
    ++completions;
    QPointer<Widget> self(this);
    emit sigUpdateResult(true);
    if (self)
        ui->pushButton_cancel->setEnabled(false);
}

void Widget::downloadNext()
{
    if (cancelRequested) {
        onUpdateCompleted(false);
        return;
    }
    if (currentIndex >= totalCount) {
        onUpdateCompleted(true);
        return;
    }
    const DownloadEntry &entry = downloads.at(currentIndex);
    statusText = QStringLiteral("%1 %2/%3").arg(HttpTexts::updating()).arg(currentIndex + 1).arg(totalCount);
    detailText = QFileInfo(entry.localPath).fileName();
    refreshLabels();
    // The file bar measures this file: the last one's 100 % would be wrong.
    ui->progressBar_updatefile->setValue(0);

    // The body is streamed into the file as it arrives, so the file is
    // opened (and its directories made) before the request goes out.
    if (!currentFile.open(entry.localPath)) {
        detailText = QStringLiteral("无法保存文件:") + entry.localPath;
        failedFile = QFileInfo(entry.localPath).fileName();
        failureCause = HttpErrorText::saveCause();
        logError((detailText + QStringLiteral(" ") + currentFile.errorString()).toStdString());
        onUpdateCompleted(false);
        return;
    }
    QNetworkRequest request{QUrl(entry.url)};
    request.setTransferTimeout(transferTimeoutMs);
    currentReply = networkManager.get(request);
    currentReply->setReadBufferSize(HttpReplyStatus::kReadBufferBytes);
    connect(currentReply, &QNetworkReply::downloadProgress, this, &Widget::onDownloadProgress);
    connect(currentReply, &QNetworkReply::finished, this, &Widget::onDownloadFinished);
    connect(currentReply, &QNetworkReply::errorOccurred, this, &Widget::onDownloadError);
    connect(currentReply, &QNetworkReply::readyRead, this, &Widget::onDownloadReadyRead);
}

bool Widget::isCurrentSender() const
{
    // Signals of a reply that has been given up may still be queued.
    const auto *reply = qobject_cast<QNetworkReply *>(sender());
    return !reply || reply == currentReply;
}

void Widget::onDownloadReadyRead()
{
    if (!currentReply || !isCurrentSender())
        return;
    if (!currentFile.append(currentReply->readAll())) {
        failedFile = QFileInfo(currentFile.path()).fileName();
        failureCause = HttpErrorText::saveCause();
        failCurrentDownload(QStringLiteral("无法保存文件:") + currentFile.path(), currentFile.errorString());
    }
}

void Widget::failCurrentDownload(const QString &text, const QString &reason)
{
    QNetworkReply *reply = currentReply;
    currentReply = nullptr;
    if (reply) {
        // Disconnected first, so the abort does not report a second failure.
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
    currentFile.discard();
    detailText = text;
    logError((text + QStringLiteral(" ") + reason).toStdString());
    onUpdateCompleted(false);
}

void Widget::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (bytesTotal > 0 && isCurrentSender())
        ui->progressBar_updatefile->setValue(static_cast<int>(bytesReceived * 100 / bytesTotal));
}

void Widget::onDownloadFinished()
{
    if (!isCurrentSender())
        return;
    if (cancelRequested) {
        if (currentReply) {
            currentReply->deleteLater();
            currentReply = nullptr;
        }
        currentFile.discard();
        onUpdateCompleted(false);
        return;
    }
    if (!currentReply)
        return;
    QNetworkReply *reply = currentReply;
    currentReply = nullptr;
    reply->deleteLater();
    const DownloadEntry entry = downloads.at(currentIndex);
    if (!DownloadCompletion::store(reply, currentFile, entry, &detailText, &failureCause)) {
        failedFile = QFileInfo(entry.localPath).fileName();
        onUpdateCompleted(false);
        return;
    }
    ui->progressBar_update->setValue(currentIndex + 1);
    ++currentIndex;
    downloadNext();
}

void Widget::onDownloadError(QNetworkReply::NetworkError error)
{
    if (!isCurrentSender())
        return;
    detailText.clear();
    if (currentReply) {
        QString name = QFileInfo(currentReply->request().url().path(QUrl::FullyDecoded)).fileName();
        if (name.isEmpty())
            name = QStringLiteral("unknown_file");
        // The toolkit reports its own transfer time-out as a cancellation.
        const bool timedOut = HttpReplyStatus::isTimeout(error, cancelRequested);
        const QString reason = timedOut ? HttpReplyStatus::timeoutText(transferTimeoutMs)
                                        : currentReply->errorString();
        failedFile = name;
        failureCause = HttpErrorText::transferCause(
            error, currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), timedOut);
        detailText = QStringLiteral("下载文件 \"") + name + QStringLiteral("\" 时出错: ") + reason;
        logError((detailText + QStringLiteral(" ") + currentReply->request().url().toString()).toStdString());
        currentReply->deleteLater();
        currentReply = nullptr;
        currentFile.discard();
    }
    onUpdateCompleted(false);
}

void Widget::onUpdateCompleted(bool success)
{
    const bool cancelled = cancelRequested;
    updating = false;
    cancelRequested = false;
    cancelTimer->stop();
    if (success) {
        ui->label_update->setText(QStringLiteral("更新完成!"));
        ui->progressBar_updatefile->setValue(100);
    } else {
        cleanupTemporaryFiles();
        statusText = cancelled ? QStringLiteral("更新已取消") : HttpTexts::failed();
        if (detailText.isEmpty())
            detailText = QStringLiteral("未知错误");
        refreshLabels();
        showFailure(cancelled);
    }
    ++completions;
    // A receiver of the result may delete the dialog.
    QPointer<Widget> self(this);
    emit sigUpdateResult(success);
    if (self && !finished)
        ui->pushButton_cancel->setEnabled(false);
}

void Widget::showFailure(bool cancelled)
{
    // The first line says what happened, the second why, in words a user
    // reads; the full detail (toolkit text, paths) is in the log and the
    // second line's tool tip.
    if (cancelled) {
        ui->label_updatefile->setText(QStringLiteral("程序未作任何更改"));
        ui->label_updatefile->setToolTip(QString());
    } else {
        const QString line = failureCause.isEmpty() ? detailText
                                                    : HttpErrorText::failureLine(failedFile, failureCause);
        const QMargins margins = layout()->contentsMargins();
        WindowLook::setElidedText(ui->label_updatefile, line, width() - margins.left() - margins.right());
        ui->label_updatefile->setToolTip(detailText);
    }
    offerClose();
}

void Widget::offerClose()
{
    finished = true;
    ui->pushButton_cancel->setText(QStringLiteral("关闭"));
    ui->pushButton_cancel->setStyleSheet(WindowLook::closeButtonStyle());
    ui->pushButton_cancel->setEnabled(true);
    present();
}

void Widget::present()
{
    // Painted at once: the caller may block right after (the apply).
    if (isVisible())
        repaint();
}

void Widget::showVersions(const QString &installed, const QString &offered)
{
    WindowLook::setElidedText(ui->label_version, WindowLook::versionLine(installed, offered),
                              width() - 2 * WindowLook::kIconSize);
}

void Widget::showApplying(int files)
{
    ui->pushButton_cancel->setEnabled(false);
    ui->progressBar_updatefile->setValue(100);
    ui->label_update->setText(QStringLiteral("正在应用更新…"));
    ui->label_updatefile->setText(QStringLiteral("正在替换 %1 个文件，请稍候").arg(files));
    ui->label_updatefile->setToolTip(QString());
    present();
}

void Widget::showApplied(bool ok)
{
    if (ok) {
        ui->label_update->setText(QStringLiteral("更新完成!"));
        ui->label_updatefile->setText(QStringLiteral("即将重新启动程序"));
        present();
        return;
    }
    ui->label_update->setText(QStringLiteral("应用更新失败"));
    ui->label_updatefile->setText(QStringLiteral("详细原因已写入 update.log"));
    offerClose();
}

void Widget::onCancelUpdate()
{
    if (finished) {
        close();
        return;
    }
    if (cancelRequested || !updating)
        return;
    QPointer<Widget> self(this);
    const bool confirmed = askCancelConfirmation(this);
    if (!self || !confirmed)
        return;
    // The update may have completed while the question was open.
    const bool stillRunning = updating;
    const int completionsBefore = completions;

    updating = false;
    cancelRequested = true;
    statusText = HttpTexts::cancelling();
    ui->pushButton_cancel->setEnabled(false);
    if (currentReply) {
        // The abort reports itself at once through onDownloadError, which
        // completes the update.
        currentReply->abort();
        if (currentReply) {
            currentReply->deleteLater();
            currentReply = nullptr;
            currentFile.discard();
        }
    }
    downloads.clear();
    cleanupTemporaryFiles();
    // Exactly one result per started update, even when the abort had
    // nothing left to report.
    if (stillRunning && completions == completionsBefore)
        onUpdateCompleted(false);
}

void Widget::onCheckCancelRequest()
{
    if (currentReply)
        return;
    cancelTimer->stop();
    onUpdateCompleted(false);
}

void Widget::cleanupTemporaryFiles()
{
    WorkDirCleanup::removeFiles(tempFiles);
    const QString workDir = HttpLayout::workingDir(appDir);
    if (QFileInfo(workDir).isDir()) {
        WorkDirCleanup::clearDirectory(workDir, HttpLayout::keptWorkingFile());
        logInfo("取消/失败后清理临时文件完成");
    }
}
