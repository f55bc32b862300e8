#pragma once

#include <QObject>

class QEventLoop;
class QTimer;

/// Waits for one signal inside a nested event loop, with an optional
/// time-out. Everything else keeps running while it waits: socket data,
/// timers, painting and input are all processed.
///
/// Connect the awaited signal to signalReceived() (or call
/// onSignalReceived()); wait() then returns true. A time-out or abort()
/// makes wait() return false.
class AsyncWaiter : public QObject
{
    Q_OBJECT

public:
    explicit AsyncWaiter(QObject *parent = nullptr);
    ~AsyncWaiter() override;

    /// Runs the nested loop until the signal arrives (true) or @p timeout
    /// milliseconds pass (false). A timeout of 0 or less waits without limit.
    /// A signal that arrived before the call does not count: each wait
    /// waits for a fresh one.
    bool wait(int timeout);

    /// True while wait() runs.
    bool isWaiting() const;

public slots:
    /// Marks the signal as arrived and ends a running wait with true.
    void onSignalReceived();
    /// Ends a running wait with false, as a time-out would.
    void abort();

signals:
    /// The awaited event; connected to onSignalReceived().
    void signalReceived();

private:
    void reset();

    QEventLoop *loop;
    QTimer *timer;
    bool received = false;
};
