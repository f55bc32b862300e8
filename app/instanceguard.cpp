#include "app/instanceguard.h"

#include <QDir>
#include <QSharedMemory>
#include <QSystemSemaphore>

namespace {

QString markerName(const QString &key)
{
    return key + QStringLiteral("_mem");
}

#ifndef Q_OS_WIN
// On POSIX a segment outlives a process that crashed or was killed. Attaching
// and detaching removes a segment that nobody else is attached to, so a stale
// marker cannot keep every later start out; a live holder keeps it alive.
void clearStaleMarker(const QString &key)
{
    QSharedMemory probe(markerName(key));
    if (probe.attach())
        probe.detach();
}
#endif // Q_OS_WIN

} // namespace

QString InstanceGuard::instanceKey(const QString &applicationFilePath)
{
    return QDir::toNativeSeparators(applicationFilePath) + QStringLiteral("SystemObject_Update");
}

bool InstanceGuard::isHeld(const QString &key)
{
    QSharedMemory probe(markerName(key));
    if (!probe.attach())
        return false;
    probe.detach();
#ifdef Q_OS_WIN
    return true;
#else
    // The detach above removed a stale segment; only a live holder keeps it.
    QSharedMemory again(markerName(key));
    if (!again.attach())
        return false;
    again.detach();
    return true;
#endif // Q_OS_WIN
}

InstanceGuard::InstanceGuard(const QString &instance)
    : key(instance)
{
}

InstanceGuard::~InstanceGuard() = default;

bool InstanceGuard::tryAcquire()
{
    // The semaphore makes "is there a marker? if not, create it" one step
    // across processes that start at the same moment.
    QSystemSemaphore lock(key + QStringLiteral("_sem"), 1, QSystemSemaphore::Open);
    lock.acquire();
    if (!marker)
        marker = std::make_unique<QSharedMemory>(markerName(key));
#ifndef Q_OS_WIN
    clearStaleMarker(key);
#endif // Q_OS_WIN
    const bool created = marker->isAttached() || marker->create(1, QSharedMemory::ReadWrite);
    lock.release(1);
    return created;
}
