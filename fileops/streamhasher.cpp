#include "fileops/streamhasher.h"

#include "fileops/digest.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

struct StreamHasher::State
{
    std::mutex mutex;
    std::condition_variable work;    // the worker waits for a chunk or the end
    std::condition_variable settled; // callers wait for room or for an empty queue
    std::deque<QByteArray> queue;
    qint64 pending = 0;
    qint64 streamed = 0; // bytes added since the last reset
    bool busy = false;
    bool stopping = false;
    // Touched by the worker only while it is busy, by callers only while it
    // is not, so the two never hash at once.
    Digest hash;
    std::thread worker;

    void run();
    bool idle() const { return queue.empty() && !busy; }
};

void StreamHasher::State::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        work.wait(lock, [this] { return stopping || !queue.empty(); });
        if (stopping)
            return;
        QByteArray chunk = std::move(queue.front());
        queue.pop_front();
        busy = true;
        lock.unlock();
        hash.addData(chunk);
        lock.lock();
        busy = false;
        pending -= chunk.size();
        settled.notify_all();
    }
}

StreamHasher::StreamHasher()
    : state(std::make_unique<State>())
{
}

StreamHasher::~StreamHasher()
{
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->stopping = true;
    }
    state->work.notify_one();
    if (state->worker.joinable())
        state->worker.join();
}

void StreamHasher::reset(Digest::Algorithm algorithm)
{
    std::unique_lock<std::mutex> lock(state->mutex);
    for (const QByteArray &chunk : state->queue)
        state->pending -= chunk.size();
    state->queue.clear();
    state->settled.wait(lock, [this] { return !state->busy; });
    state->hash.reset(algorithm);
    state->streamed = 0;
}

bool StreamHasher::hashedAtOnce(const char *data, int size)
{
    // Only the start of a stream: a large file arrives in many small
    // chunks too, and all of those belong on the worker.
    state->streamed += size;
    if (state->streamed > kInlineBytes || !state->idle())
        return false;
    state->hash.addData(data, size);
    return true;
}

void StreamHasher::enqueue(std::unique_lock<std::mutex> &lock, const QByteArray &data)
{
    state->settled.wait(lock, [this] { return state->pending < kMaxPendingBytes; });
    if (!state->worker.joinable()) {
        try {
            state->worker = std::thread([s = state.get()] { s->run(); });
        } catch (const std::system_error &) {
            // No thread to be had: nothing is queued yet, so hashing here
            // keeps the order, only slower.
            state->hash.addData(data);
            return;
        }
    }
    state->queue.push_back(data);
    state->pending += data.size();
    state->work.notify_one();
}

void StreamHasher::addData(const char *data, int size)
{
    if (size <= 0)
        return;
    std::unique_lock<std::mutex> lock(state->mutex);
    if (!hashedAtOnce(data, size))
        enqueue(lock, QByteArray(data, size));
}

void StreamHasher::addShared(const QByteArray &data)
{
    if (data.isEmpty())
        return;
    std::unique_lock<std::mutex> lock(state->mutex);
    if (!hashedAtOnce(data.constData(), data.size()))
        enqueue(lock, data);
}

QByteArray StreamHasher::result()
{
    std::unique_lock<std::mutex> lock(state->mutex);
    state->settled.wait(lock, [this] { return state->idle(); });
    return state->hash.result();
}
