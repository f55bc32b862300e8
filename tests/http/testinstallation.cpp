#include "testinstallation.h"

#include "testhttpserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

bool writeTestFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readTestFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString md5Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QByteArray manifestText(const Md5Manifest &manifest)
{
    QByteArray text;
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it)
        text += it.value().toUtf8() + '\t' + it.key().toUtf8() + "\r\n";
    return text;
}

TestInstallation::TestInstallation(const QString &baseUrl, const QString &tempPath)
{
    if (!dir.isValid())
        return;
    const QByteArray cfg = "[Update]\r\nURL=" + baseUrl.toUtf8() + "\r\nHostExe=client.sh\r\n[Paths]\r\nTemp="
                           + tempPath.toUtf8() + "\r\nBackup=UpdateBackup\r\n";
    if (!writeTestFile(path(QStringLiteral("system.cfg")), cfg))
        return;
    store = std::make_unique<CConfigManager>(path(QStringLiteral("system.cfg")), path(QStringLiteral("system.cfg")));
}

bool TestInstallation::setInstalledVersion(const QString &version)
{
    return writeTestFile(path(QStringLiteral("update/update.ini")),
                         "[Version]\r\nFolder=old\r\nVersion=" + version.toUtf8() + "\r\n");
}

bool TestInstallation::installFiles(const QMap<QString, QByteArray> &files)
{
    Md5Manifest manifest;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeTestFile(path(it.key()), it.value()))
            return false;
        manifest.insert(QLatin1Char('/') + it.key(), md5Hex(it.value()));
    }
    return writeTestFile(path(QStringLiteral("md5.txt")), manifestText(manifest));
}

Md5Manifest publishTestRelease(TestHttpServer &server, const QString &folder, const QString &version,
                               const QMap<QString, QByteArray> &files)
{
    Md5Manifest manifest;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        manifest.insert(it.key(), md5Hex(it.value()));
        server.setFile(QLatin1Char('/') + folder + QLatin1Char('/') + it.key(), it.value());
    }
    server.setFile(QStringLiteral("/update.ini"),
                   "[Version]\r\nFolder=" + folder.toUtf8() + "\r\nVersion=" + version.toUtf8() + "\r\n");
    server.setFile(QLatin1Char('/') + folder + QStringLiteral("/md5.txt"), manifestText(manifest));
    return manifest;
}
