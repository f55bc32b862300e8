#include "config/releasetrust.h"

#include "config/releasesignature.h"
#include "fileops/digest.h"
#include "log/logger.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSet>

namespace {

const QByteArray kStatePrefix = QByteArrayLiteral("sequence=");

} // namespace

const QString &ReleaseTrust::stateFileName()
{
    static const QString name = QStringLiteral("release.sequence");
    return name;
}

ReleaseTrust::ReleaseTrust(const QString &publicKeys, const QString &appDir)
    : statePath(QDir(appDir).filePath(stateFileName()))
    , installDir(appDir)
    , required(!publicKeys.trimmed().isEmpty())
{
    if (required && (!ReleaseSignature::parsePublicKeys(publicKeys, &keys, &keyProblem) || keys.isEmpty())) {
        if (keyProblem.isEmpty())
            keyProblem = QStringLiteral("no public key in the configured text");
        keys.clear();
    }
}

void ReleaseTrust::noteUnverified() const
{
    if (!required)
        logWarn("未配置发布公钥(PublicKey)，更新包未经签名验证");
}

bool ReleaseTrust::refuse(QString *userText, const QString &shown, const QString &detail) const
{
    *userText = shown;
    lastRefusal = shown;
    logError(QStringLiteral("%1: %2").arg(shown, detail));
    return false;
}

bool ReleaseTrust::accept(const QByteArray &bytes, const QString &offeredVersion, QString *userText)
{
    accepted = false;
    if (!keyProblem.isEmpty())
        return refuse(userText, QStringLiteral("发布公钥配置无效，拒绝更新"), keyProblem);
    QString why;
    if (!signedRelease.readSignedFile(bytes, keys, &why))
        return refuse(userText, QStringLiteral("更新包签名无效，拒绝更新"), why);
    const QDateTime now = fixedNow.isValid() ? fixedNow : QDateTime::currentDateTimeUtc();
    if (signedRelease.expires <= now)
        return refuse(userText, QStringLiteral("更新包签名已过期，拒绝更新"),
                      QStringLiteral("release %1 expired at %2").arg(signedRelease.version,
                                                                       signedRelease.expires.toString(Qt::ISODate)));
    const qint64 installed = installedSequence();
    if (signedRelease.sequence < installed)
        return refuse(userText, QStringLiteral("更新包比已安装的版本旧，拒绝更新"),
                      QStringLiteral("release %1 has sequence %2, the installation has %3 (%4)")
                          .arg(signedRelease.version)
                          .arg(signedRelease.sequence)
                          .arg(installed)
                          .arg(statePath));
    if (signedRelease.version != offeredVersion)
        return refuse(userText, QStringLiteral("更新包版本与签名不符，拒绝更新"),
                      QStringLiteral("offered version \"%1\", signed version \"%2\"")
                          .arg(offeredVersion.left(200), signedRelease.version.left(200)));
    accepted = true;
    logInfo(QStringLiteral("更新包签名验证通过: 版本 %1, 序号 %2, 有效期至 %3, %4 个文件")
                .arg(signedRelease.version)
                .arg(signedRelease.sequence)
                .arg(signedRelease.expires.toString(Qt::ISODate))
                .arg(signedRelease.files.size()));
    return true;
}

bool ReleaseTrust::checkFileList(const QStringList &served, QString *userText) const
{
    const QString shown = QStringLiteral("更新包文件列表与签名不符，拒绝更新");
    if (!accepted)
        return refuse(userText, shown, QStringLiteral("no signed description was accepted"));
    QSet<QString> seen;
    for (const QString &path : served) {
        if (!signedRelease.find(path))
            return refuse(userText, shown, QStringLiteral("served file not in the signed list: ") + path.left(300));
        seen.insert(path);
    }
    // A service that knows the installed version may leave out what did not
    // change since; that holds only for a file installed with exactly the
    // signed content, so that the installation still ends up as signed.
    for (const SignedFile &file : signedRelease.files) {
        if (!seen.contains(file.path)
            && !Digest::fileMatches(Digest::Algorithm::Sha256, QDir(installDir).filePath(file.path), file.sha256,
                                    file.size))
            return refuse(userText, shown, QStringLiteral("signed file neither served nor installed: ") + file.path);
    }
    return true;
}

bool ReleaseTrust::checkMetadata(Metadata which, const QByteArray &bytes, QString *userText) const
{
    const bool manifest = which == Metadata::Manifest;
    const QByteArray &expected = manifest ? signedRelease.manifestSha256 : signedRelease.versionFileSha256;
    const QByteArray actual = Digest::of(Digest::Algorithm::Sha256, bytes);
    if (accepted && actual == expected)
        return true;
    return refuse(userText, QStringLiteral("更新包%1与签名不符，拒绝更新").arg(manifest ? QStringLiteral("清单") : QStringLiteral("版本文件")),
                  QStringLiteral("%1 has SHA-256 %2, signed %3")
                      .arg(manifest ? QStringLiteral("md5.txt") : QStringLiteral("update.ini"),
                           QString::fromLatin1(actual.toHex()), QString::fromLatin1(expected.toHex())));
}

qint64 ReleaseTrust::installedSequence() const
{
    QFile file(statePath);
    if (!file.exists())
        return 0;
    if (!file.open(QIODevice::ReadOnly)) {
        logWarn(QStringLiteral("无法读取已安装版本序号文件: %1 %2").arg(statePath, file.errorString()));
        return 0;
    }
    const QByteArray line = file.read(64).trimmed();
    bool ok = false;
    const qint64 value = line.startsWith(kStatePrefix) ? line.mid(kStatePrefix.size()).toLongLong(&ok) : -1;
    if (!ok || value < 0) {
        logWarn(QStringLiteral("已安装版本序号文件内容无效: ") + statePath);
        return 0;
    }
    return value;
}

bool ReleaseTrust::recordInstalled()
{
    if (!accepted || signedRelease.sequence <= installedSequence())
        return true;
    QSaveFile file(statePath);
    const QByteArray content = kStatePrefix + QByteArray::number(signedRelease.sequence) + '\n';
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        logError(QStringLiteral("无法写入已安装版本序号文件: %1 %2").arg(statePath, file.errorString()));
        return false;
    }
    logInfo(QStringLiteral("已安装版本序号更新为 %1: %2").arg(signedRelease.sequence).arg(statePath));
    return true;
}
