#pragma once

#include "config/cconfigmanager.h"
#include "fileops/cfilewriter.h"

#include <QDir>
#include <QDirIterator>
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
        const QDir root(dir.path());
        QDirIterator it(dir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << root.relativeFilePath(it.next());
        files.sort();
        return files;
    }

    QTemporaryDir dir;
    std::unique_ptr<CConfigManager> config;
    std::unique_ptr<CFileWriter> writer;
};
