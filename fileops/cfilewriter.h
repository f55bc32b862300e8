#pragma once

#include <QByteArray>
#include <QString>

#include <map>
#include <memory>

class CConfigManager;
class QFile;

/// Writes file data received from the update service into the temporary area.
///
/// A file stays open from its first chunk to the chunk marked last, so chunks
/// are appended without reopening or seeking. Files are keyed by their joined
/// relative path. Paths that are not safe relative paths are refused before
/// anything is created. Failures return false and leave a warning on the
/// toolkit's message channel naming the file.
class CFileWriter
{
public:
    /// The writer of the process, over the configured `Paths`/`Temp` below the
    /// application directory.
    static CFileWriter &instance();

    /// A writer whose temporary area is @p appDir + "/" + `tempDir` of @p config.
    CFileWriter(const CConfigManager &config, const QString &appDir);
    ~CFileWriter();

    CFileWriter(const CFileWriter &) = delete;
    CFileWriter &operator=(const CFileWriter &) = delete;

    /// Starts a fresh transfer of @p filePath/@p fileName: drops a handle still
    /// open for it and truncates the file, so that the new transfer's bytes are
    /// all it will hold. Creates missing directories. False on refusal or failure.
    bool beginFile(const QString &filePath, const QString &fileName);

    /// Continues an earlier transfer of @p filePath/@p fileName: keeps its
    /// first @p offset bytes and drops the rest, so the next data follows
    /// them. False when the file is shorter or cannot be opened.
    bool resumeFile(const QString &filePath, const QString &fileName, qint64 offset);

    /// Appends @p data to the file, opening it on first use; closes it when
    /// @p isLast is set. True when every byte was written.
    bool writeFileData(const QString &filePath, const QString &fileName, const QByteArray &data,
                       bool isLast);

    /// Writes into @p dir (absolute, resolved once by the controller) instead
    /// of the configured value joined to the application directory.
    void setTempDirectory(const QString &dir) { tempDirectory = dir; }

    /// The temporary area itself (absolute, without a trailing "/").
    QString areaDir() const;

    /// Absolute path that @p filePath/@p fileName is written to, or the empty
    /// text when the names are refused.
    QString targetPath(const QString &filePath, const QString &fileName) const;

    /// Number of files currently held open (for diagnostics and tests).
    int openFileCount() const { return static_cast<int>(openFiles.size()); }

private:
    QFile *openFor(const QString &key, const QString &path, bool truncate);

    std::map<QString, std::unique_ptr<QFile>> openFiles;
    const CConfigManager &config;
    QString appDir;
    QString tempDirectory;
};
