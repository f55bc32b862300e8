#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

/// A sample installation in a temporary directory, for tests that apply
/// updates to it.
class Installation
{
public:
    Installation() { QDir().mkpath(root.path()); }

    QString path(const QString &rel = QString()) const
    {
        return rel.isEmpty() ? root.path() + QLatin1Char('/') : root.filePath(rel);
    }

    void write(const QString &rel, const QByteArray &content) const
    {
        const QString file = path(rel);
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(file));
    }

    QByteArray read(const QString &rel) const
    {
        QFile in(path(rel));
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("<missing>");
    }

    bool exists(const QString &rel) const { return QFileInfo::exists(path(rel)); }

    /// Writes system.cfg with the usual directories plus @p extra lines.
    void writeConfig(const QByteArray &extra = QByteArray()) const
    {
        write(QStringLiteral("system.cfg"), "[Paths]\nTemp=UpdateTmpFiles\nBackup=Backup\nLog=Log/\n" + extra);
    }

private:
    QTemporaryDir root;
};
