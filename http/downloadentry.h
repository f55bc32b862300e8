#pragma once

#include <QString>

/// One file of an HTTP update: where it is fetched from, where it is stored
/// and the MD5 the server manifest gives for it.
struct DownloadEntry
{
    QString url;
    QString localPath;
    QString md5;
};
