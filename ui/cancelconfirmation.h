#pragma once

class QWidget;

/// Object name of the question box, so that tests can find it through
/// QApplication::activeModalWidget() and answer it.
inline constexpr const char kCancelConfirmationName[] = "cancelConfirmation";
/// Object names of its two buttons ("确认" and "取消").
inline constexpr const char kCancelConfirmButtonName[] = "pushButton_confirm";
inline constexpr const char kCancelRejectButtonName[] = "pushButton_reject";

/// Asks, modally over @p parent, whether the running update should be
/// cancelled: title "确认取消", buttons "确认" (yes) and "取消" (no, the
/// default). Returns true only when "确认" was clicked; "取消", Escape,
/// closing the box or the parent's deletion while it is open give false.
bool askCancelConfirmation(QWidget *parent);
