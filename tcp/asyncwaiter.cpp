#include "tcp/asyncwaiter.h"

#include <QEventLoop>
#include <QTimer>

AsyncWaiter::AsyncWaiter(QObject *parent)
    : QObject(parent)
    , loop(new QEventLoop(this))
    , timer(new QTimer(this))
{
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, loop, &QEventLoop::quit);
    connect(this, &AsyncWaiter::signalReceived, this, &AsyncWaiter::onSignalReceived);
}

AsyncWaiter::~AsyncWaiter()
{
    if (loop->isRunning())
        loop->quit();
}

bool AsyncWaiter::wait(int timeout)
{
    if (received)
        reset();
    if (timeout > 0)
        timer->start(timeout);
    loop->exec();
    const bool result = received;
    reset();
    return result;
}

bool AsyncWaiter::isWaiting() const
{
    return loop->isRunning();
}

void AsyncWaiter::onSignalReceived()
{
    received = true;
    if (loop->isRunning())
        loop->quit();
}

void AsyncWaiter::abort()
{
    timer->stop();
    if (loop->isRunning())
        loop->quit();
}

void AsyncWaiter::reset()
{
    received = false;
    if (timer->isActive())
        timer->stop();
    if (loop->isRunning())
        loop->quit();
}
