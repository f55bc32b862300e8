#pragma once

#include <QMap>
#include <QString>

/// Read-only store over the client's `system.cfg`.
///
/// The process-wide instance reads the file once, on first use; `reload()`
/// re-reads the settings table. The store never writes and never logs:
/// a missing key reads as the empty text (except `HttpEnable`, which
/// defaults to "true"), and callers decide what a missing value means.
class CConfigManager
{
public:
    /// The store of the process, created from "<application dir>/system.cfg".
    static CConfigManager &instance();

    /// Builds a store whose update entries come from @p configPath and whose
    /// settings come from "<application dir>/system.cfg".
    explicit CConfigManager(const QString &configPath);
    /// Builds a store over explicit files; tools and tests use this to read
    /// an installation other than the running program's own.
    CConfigManager(const QString &configPath, const QString &systemCfgPath);

    /// Re-reads `system.cfg` into the settings table. `updateEntry` values
    /// keep what construction read, and `isSystemConfigLoaded` never goes
    /// back to false.
    void reload();

    /// Starts over on the file @p path, as a store constructed from it would:
    /// update entries and settings are read anew. Tests use this to point the
    /// process-wide store at an installation of their own.
    void useConfigFile(const QString &path);

    /// The setting @p key of group @p group, or the empty text.
    QString value(const QString &group, const QString &key) const;
    /// The entry "URL" or "ExeName" read at construction, or the empty text.
    QString updateEntry(const QString &key) const;
    /// The directory holding `system.cfg`: the installation.
    QString installationDir() const;
    /// True once `system.cfg` has been read without an error.
    bool isSystemConfigLoaded() const;

    QString backupPath() const;
    QString localVersion() const;
    QString hostExe() const;
    QString logPath() const;
    QString tempPath() const;
    /// `Paths`/`Temp` with a trailing "/" ("/" for an empty value).
    QString tempDir() const;
    QString updateExe() const;
    QString updateHelperExe() const;
    /// `[Update]` `PublicKey`: base64 Ed25519 keys, comma separated.
    QString publicKeys() const;
    /// `[Update]` `CaCertificates`: a PEM file of CA certificates trusted for
    /// https:// besides the system's (relative to the installation).
    QString caCertificates() const;
    QString updateServer() const;
    QString updatePort() const;
    /// `Project`/`Type` when it is an integer from 1 to 6, otherwise 1.
    int projectType() const;
    /// True for "true" in any letter case and for "1".
    bool isHttpEnabled() const;

private:
    void readSystemSettings();

    QString configPath;
    QString systemCfgPath;
    QMap<QString, QString> updateEntries;
    QMap<QString, QMap<QString, QString>> systemSettings;
    bool systemLoaded = false;
};
