#pragma once

#include <QString>

/// Status texts of the HTTP update, shown in the dialog's first line and
/// shared with the code that reports the update's outcome.
namespace HttpTexts {

inline QString preparing() { return QStringLiteral("准备开始更新"); }
inline QString updating() { return QStringLiteral("正在更新"); }
inline QString cancelling() { return QStringLiteral("正在取消更新"); }
inline QString stopped() { return QStringLiteral("停止更新"); }
inline QString failed() { return QStringLiteral("更新失败"); }

} // namespace HttpTexts
