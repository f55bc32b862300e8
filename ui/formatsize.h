#pragma once

#include <QString>
#include <QtGlobal>

/// Renders a byte count for people: "%1 GB", "%1 MB", "%1 KB" with two
/// decimals (powers of 1024), or "%1 B" below 1024 bytes.
QString formatSize(qint64 bytes);
