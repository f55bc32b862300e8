#pragma once

#include <QString>

/// What the HTTP update shows, as the driver sees its window. The dialog
/// implements it; the driver never touches a widget itself.
class HttpView
{
public:
    virtual ~HttpView() = default;

    /// The status line and the detail line.
    virtual void showLines(const QString &status, const QString &detail) = 0;
    /// The status line alone.
    virtual void showStatusLine(const QString &status) = 0;
    virtual void setOverallRange(int maximum) = 0;
    virtual void setOverallValue(int value) = 0;
    /// The current download in percent.
    virtual void setFileProgress(int percent) = 0;
    /// The cancel button; a view whose button has become "关闭" keeps it.
    virtual void setCancelEnabled(bool enabled) = 0;
    virtual void showVersions(const QString &installed, const QString &offered) = 0;
    /// The update failed or was cancelled: @p line for the user, @p detail
    /// (empty after a cancellation) for whoever looks closer.
    virtual void showFailure(const QString &line, const QString &detail) = 0;
    /// Asks the user whether to cancel; the event loop runs meanwhile.
    virtual bool confirmCancel() = 0;
};
