#include "stopsignal.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <windows.h>

namespace {

StopSignal *g_watcher = nullptr;

// Runs on a thread of its own that the console creates: hand over to the
// watcher's thread and return at once.
BOOL WINAPI onConsoleEvent(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    if (g_watcher)
        QMetaObject::invokeMethod(g_watcher, "stopRequested", Qt::QueuedConnection);
    return TRUE;
}

} // namespace

StopSignal::StopSignal(QObject *parent)
    : QObject(parent)
{
}

StopSignal::~StopSignal()
{
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    g_watcher = nullptr;
}

bool StopSignal::install()
{
    g_watcher = this;
    return SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

void StopSignal::onStop()
{
    emit stopRequested();
}
