#pragma once

#include <QtGlobal>

/// Percentage of @p done out of @p total, truncated: done × 100 / total in
/// 64-bit integer arithmetic, 0 when @p total is zero or negative. Values too
/// large for the multiplication are computed in floating point instead, and
/// the result saturates at the limits of int rather than wrapping.
int progressPercent(qint64 done, qint64 total);
