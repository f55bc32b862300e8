#include "config/cconfigmanager.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QVariant>

namespace {

struct KeyList
{
    const char *group;
    std::initializer_list<const char *> keys;
};

// Groups and keys in the order they are read; anything else in the file is ignored.
const KeyList kSystemKeys[] = {
    {"Update", {"URL", "ExeName", "HostExe", "UpdateExe", "UpdateHelperExe", "HttpEnable", "PublicKey",
                "CaCertificates"}},
    {"Server", {"UpdateServer", "UpdatePort"}},
    {"General", {"Version", "LastCheckTime"}},
    {"Paths", {"Backup", "Temp", "Log"}},
    {"Project", {"Name", "Type"}},
};

} // namespace

CConfigManager &CConfigManager::instance()
{
    static CConfigManager store(QCoreApplication::applicationDirPath() + QStringLiteral("/system.cfg"));
    return store;
}

CConfigManager::CConfigManager(const QString &path)
    : CConfigManager(path, QCoreApplication::applicationDirPath() + QStringLiteral("/system.cfg"))
{
}

CConfigManager::CConfigManager(const QString &path, const QString &systemPath)
    : configPath(path)
    , systemCfgPath(systemPath)
{
    {
        QSettings reader(configPath, QSettings::IniFormat);
        if (reader.status() == QSettings::NoError) {
            updateEntries.insert(QStringLiteral("URL"),
                                 reader.value(QStringLiteral("Update/URL")).toString());
            updateEntries.insert(QStringLiteral("ExeName"),
                                 reader.value(QStringLiteral("Update/ExeName")).toString());
        }
    }
    readSystemSettings();
}

void CConfigManager::readSystemSettings()
{
    QSettings reader(systemCfgPath, QSettings::IniFormat);
    if (reader.status() != QSettings::NoError)
        return;
    systemLoaded = true;
    for (const KeyList &list : kSystemKeys) {
        const QString group = QString::fromLatin1(list.group);
        // The INI reader files the keys of a "[General]" section at top level.
        const bool topLevel = group == QLatin1String("General");
        if (!topLevel)
            reader.beginGroup(group);
        QMap<QString, QString> &entries = systemSettings[group];
        for (const char *key : list.keys) {
            const QString name = QString::fromLatin1(key);
            const QVariant fallback = name == QLatin1String("HttpEnable") ? QVariant(true) : QVariant(QString());
            const QVariant value = reader.value(name, fallback);
            // The INI reader turns an unquoted value with commas into a list
            // (a PublicKey rotation lists several keys).
            entries[name] = value.type() == QVariant::StringList ? value.toStringList().join(QLatin1Char(','))
                                                                 : value.toString();
        }
        if (!topLevel)
            reader.endGroup();
    }
}

void CConfigManager::reload()
{
    systemSettings.clear();
    readSystemSettings();
}

void CConfigManager::useConfigFile(const QString &path)
{
    *this = CConfigManager(path, path);
}

QString CConfigManager::value(const QString &group, const QString &key) const
{
    return systemSettings.value(group).value(key);
}

QString CConfigManager::updateEntry(const QString &key) const
{
    return updateEntries.value(key);
}

QString CConfigManager::installationDir() const
{
    return QFileInfo(systemCfgPath).absolutePath();
}

bool CConfigManager::isSystemConfigLoaded() const
{
    return systemLoaded;
}

QString CConfigManager::backupPath() const
{
    return value(QStringLiteral("Paths"), QStringLiteral("Backup"));
}

QString CConfigManager::localVersion() const
{
    return value(QStringLiteral("General"), QStringLiteral("Version"));
}

QString CConfigManager::hostExe() const
{
    return value(QStringLiteral("Update"), QStringLiteral("HostExe"));
}

QString CConfigManager::logPath() const
{
    return value(QStringLiteral("Paths"), QStringLiteral("Log"));
}

QString CConfigManager::tempPath() const
{
    return value(QStringLiteral("Paths"), QStringLiteral("Temp"));
}

QString CConfigManager::tempDir() const
{
    QString dir = tempPath();
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

QString CConfigManager::updateExe() const
{
    return value(QStringLiteral("Update"), QStringLiteral("UpdateExe"));
}

QString CConfigManager::updateHelperExe() const
{
    return value(QStringLiteral("Update"), QStringLiteral("UpdateHelperExe"));
}

QString CConfigManager::publicKeys() const
{
    return value(QStringLiteral("Update"), QStringLiteral("PublicKey"));
}

QString CConfigManager::caCertificates() const
{
    return value(QStringLiteral("Update"), QStringLiteral("CaCertificates"));
}

QString CConfigManager::updateServer() const
{
    return value(QStringLiteral("Server"), QStringLiteral("UpdateServer"));
}

QString CConfigManager::updatePort() const
{
    return value(QStringLiteral("Server"), QStringLiteral("UpdatePort"));
}

int CConfigManager::projectType() const
{
    const QString text = value(QStringLiteral("Project"), QStringLiteral("Type"));
    bool ok = false;
    const int type = text.toInt(&ok, 10);
    return ok && type >= 1 && type <= 6 ? type : 1;
}

bool CConfigManager::isHttpEnabled() const
{
    const QString text = value(QStringLiteral("Update"), QStringLiteral("HttpEnable"));
    return text.toLower() == QLatin1String("true") || text == QLatin1String("1");
}
