#pragma once

#include <QString>

#include <memory>

class QSharedMemory;

/// Keeps a second updater started from the same executable path from running.
///
/// The key is the executable's native path followed by "SystemObject_Update";
/// a system semaphore (key + "_sem") makes the test-and-create of a one-byte
/// shared-memory marker (key + "_mem") atomic across processes. The marker
/// lives as long as the guard, which the entry point keeps until exit.
class InstanceGuard
{
public:
    /// The instance key for the executable at @p applicationFilePath.
    static QString instanceKey(const QString &applicationFilePath);

    /// True when a live process holds the marker for @p key. Used by the
    /// self-update helper to wait for the old updater to exit.
    static bool isHeld(const QString &key);

    explicit InstanceGuard(const QString &key);
    ~InstanceGuard();

    InstanceGuard(const InstanceGuard &) = delete;
    InstanceGuard &operator=(const InstanceGuard &) = delete;

    /// Creates the marker; false when another instance holds it or it could
    /// not be created.
    bool tryAcquire();

private:
    QString key;
    std::unique_ptr<QSharedMemory> marker;
};
