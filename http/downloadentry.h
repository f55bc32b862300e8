#pragma once

#include <QString>

#include <QByteArray>

/// One file of an HTTP update: where it is fetched from, where it is stored
/// and the MD5 the server manifest gives for it; for a signed release also
/// the signed SHA-256 and size, which are then what is checked.
struct DownloadEntry
{
    QString url;
    QString localPath;
    QString md5;
    QByteArray sha256 = QByteArray();
    qint64 size = -1;
    /// Set when an interrupted run left part of the file at localPath: the
    /// server's validator (ETag or Last-Modified) of that first transfer, so
    /// that the rest is asked for only if the file is still the same.
    QString validator = QString();
};
