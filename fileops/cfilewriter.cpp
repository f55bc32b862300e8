#include "fileops/cfilewriter.h"

#include "config/cconfigmanager.h"
#include "fileops/durablefile.h"
#include "fileops/safepath.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

CFileWriter &CFileWriter::instance()
{
    static CFileWriter writer(CConfigManager::instance(), QCoreApplication::applicationDirPath());
    return writer;
}

CFileWriter::CFileWriter(const CConfigManager &configStore, const QString &applicationDir)
    : config(configStore)
    , appDir(applicationDir)
{
}

// Files whose transfer never finished are closed here, at process exit.
CFileWriter::~CFileWriter() = default;

QString CFileWriter::targetPath(const QString &filePath, const QString &fileName) const
{
    QString reason;
    if (!SafePath::isSafeRelativePath(filePath, &reason) || !SafePath::isSafeFileName(fileName, &reason)) {
        qWarning() << "Refused unsafe file path:" << filePath << fileName << reason;
        return QString();
    }
    return QDir::cleanPath(areaDir() + QLatin1Char('/') + SafePath::joinRelative(filePath, fileName));
}

QString CFileWriter::areaDir() const
{
    return QDir::cleanPath(tempDirectory.isEmpty() ? appDir + QLatin1Char('/') + config.tempDir() : tempDirectory);
}

QFile *CFileWriter::openFor(const QString &key, const QString &path, bool truncate)
{
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir)) {
        qWarning() << "Failed to create directory for file:" << path;
        return nullptr;
    }
    auto it = openFiles.find(key);
    if (it == openFiles.end()) {
        auto file = std::make_unique<QFile>(path);
        const QIODevice::OpenMode mode = truncate ? QIODevice::ReadWrite | QIODevice::Truncate : QIODevice::ReadWrite;
        if (!file->open(mode)) {
            qWarning() << "Failed to open file for writing:" << path << file->errorString();
            return nullptr;
        }
        it = openFiles.emplace(key, std::move(file)).first;
    } else if (!it->second->isOpen() && !it->second->open(QIODevice::ReadWrite)) {
        qWarning() << "Failed to reopen file for writing:" << path << it->second->errorString();
        return nullptr;
    }
    return it->second.get();
}

bool CFileWriter::beginFile(const QString &filePath, const QString &fileName)
{
    const QString path = targetPath(filePath, fileName);
    if (path.isEmpty())
        return false;
    const QString key = SafePath::joinRelative(filePath, fileName);
    // A transfer that starts again must not inherit bytes of an earlier one.
    openFiles.erase(key);
    return openFor(key, path, true) != nullptr;
}

bool CFileWriter::resumeFile(const QString &filePath, const QString &fileName, qint64 offset)
{
    const QString path = targetPath(filePath, fileName);
    if (path.isEmpty())
        return false;
    const QString key = SafePath::joinRelative(filePath, fileName);
    openFiles.erase(key);
    QFile *file = openFor(key, path, false);
    if (file && file->size() >= offset && file->resize(offset) && file->seek(offset))
        return true;
    qWarning() << "Failed to continue file:" << path << "at" << offset;
    openFiles.erase(key);
    return false;
}

bool CFileWriter::writeFileData(const QString &filePath, const QString &fileName, const QByteArray &data,
                                bool isLast)
{
    const QString path = targetPath(filePath, fileName);
    if (path.isEmpty())
        return false;
    const QString key = SafePath::joinRelative(filePath, fileName);
    QFile *file = openFor(key, path, false);
    if (!file)
        return false;

    const qint64 written = file->write(data);
    if (written != data.size()) {
        qWarning() << "Failed to write all data to file:" << path << "Expected:" << data.size()
                   << "Written:" << written << file->errorString();
        return false;
    }
    if (isLast) {
        // The apply flushes every new file before renaming it into place;
        // starting that now overlaps it with the rest of the download.
        file->flush();
        DurableFile::startWriteback(file->handle());
        file->close();
        const bool flushed = file->error() == QFileDevice::NoError;
        if (!flushed)
            qWarning() << "Failed to write all data to file:" << path << file->errorString();
        openFiles.erase(key);
        return flushed;
    }
    return true;
}
