#include "stopsignal.h"

#include <QMetaObject>

#include <atomic>

#include <windows.h>

namespace {

std::atomic<StopSignal *> g_watcher{nullptr};
// Set when the watcher is destroyed, which the service's main does only after
// its event loop has ended and the stop has run.
HANDLE g_stopped = nullptr;

// Windows ends the process as soon as the handler of a close, log-off or
// shut-down event returns, and allows about five seconds before that.
constexpr DWORD kCloseWaitMs = 4500;

// Runs on a thread of its own that the console creates: hand over to the
// watcher's thread. Ctrl+C and Ctrl+Break return at once; for the events
// after which Windows ends the process, wait until the stop has run.
BOOL WINAPI onConsoleEvent(DWORD type)
{
    const bool ending = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && !ending)
        return FALSE;
    if (StopSignal *watcher = g_watcher.load())
        QMetaObject::invokeMethod(watcher, "stopRequested", Qt::QueuedConnection);
    if (ending && g_stopped)
        WaitForSingleObject(g_stopped, kCloseWaitMs);
    return TRUE;
}

} // namespace

StopSignal::StopSignal(QObject *parent)
    : QObject(parent)
{
}

StopSignal::~StopSignal()
{
    if (g_watcher.load() != this)
        return;
    g_watcher = nullptr;
    if (g_stopped)
        SetEvent(g_stopped);
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

bool StopSignal::install()
{
    if (!g_stopped)
        g_stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_watcher = this;
    return SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

void StopSignal::onStop()
{
    emit stopRequested();
}
