#pragma once

#include "config/cconfigmanager.h"
#include "fileops/cfilewriter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

/// A throw-away installation for one test case: a fresh directory with a
/// system.cfg whose temporary area is "UpdateTmp/", and a file writer over it.
class TestArea
{
public:
    explicit TestArea(const QByteArray &extraConfig = QByteArray())
    {
        QFile cfg(dir.path() + QStringLiteral("/system.cfg"));
        if (cfg.open(QIODevice::WriteOnly))
            cfg.write("[Paths]\nTemp=UpdateTmp/\n" + extraConfig);
        cfg.close();
        config = std::make_unique<CConfigManager>(cfg.fileName(), cfg.fileName());
        writer = std::make_unique<CFileWriter>(*config, dir.path());
    }

    bool isValid() const { return dir.isValid(); }
    QString root() const { return dir.path(); }
    /// Absolute path of @p relative inside the temporary area.
    QString tempFile(const QString &relative) const { return dir.path() + QStringLiteral("/UpdateTmp/") + relative; }
    /// Content of @p relative in the temporary area, or "<missing>".
    QByteArray readTemp(const QString &relative) const
    {
        QFile file(tempFile(relative));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    /// Every file below the test directory, relative to it.
    QStringList allFiles() const
    {
        QStringList files;
        collect(QString(), &files);
        files.sort();
        return files;
    }

    QTemporaryDir dir;
    std::unique_ptr<CConfigManager> config;
    std::unique_ptr<CFileWriter> writer;

private:
    void collect(const QString &relative, QStringList *files) const
    {
        const QDir current(dir.path() + QLatin1Char('/') + relative);
        const QFileInfoList entries = current.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
        for (const QFileInfo &info : entries) {
            const QString rel = relative.isEmpty() ? info.fileName() : relative + QLatin1Char('/') + info.fileName();
            if (info.isDir())
                collect(rel, files);
            else
                files->append(rel);
        }
    }
};
