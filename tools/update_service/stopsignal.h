#pragma once

#include <QObject>

/// Turns the console's stop requests (SIGINT and SIGTERM on POSIX, Ctrl+C,
/// Ctrl+Break and console close on Windows) into the signal stopRequested(),
/// delivered on the thread that created the watcher.
class StopSignal : public QObject
{
    Q_OBJECT

public:
    explicit StopSignal(QObject *parent = nullptr);
    ~StopSignal() override;

    /// Installs the handlers; false when the system refused them.
    bool install();

signals:
    void stopRequested();

private:
    void onStop();
};
