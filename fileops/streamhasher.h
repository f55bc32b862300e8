#pragma once

#include "fileops/digest.h"

#include <QByteArray>

#include <memory>
#include <mutex>

/// The digest (MD5 or SHA-256) of a byte stream, taken on a worker thread while the caller goes
/// on receiving and writing the next bytes.
///
/// MD5 runs at about the speed of a loopback transfer, so hashing on the
/// receiving thread nearly doubles the time of a large download. Chunks are
/// queued to a thread of this hasher's own; the first kInlineBytes of a
/// stream are hashed at once while that thread is idle, which spares a run
/// of small files the hand-over. At most kMaxPendingBytes wait at a
/// time: beyond that adding waits for the worker, so memory stays bounded
/// however fast the bytes come.
class StreamHasher
{
public:
    static constexpr qint64 kMaxPendingBytes = 4 * 1024 * 1024;
    static constexpr int kInlineBytes = 64 * 1024;

    StreamHasher();
    ~StreamHasher();
    StreamHasher(const StreamHasher &) = delete;
    StreamHasher &operator=(const StreamHasher &) = delete;

    /// Starts a new stream hashed with @p algorithm; bytes still queued for
    /// the old one are dropped.
    void reset(Digest::Algorithm algorithm = Digest::Algorithm::Md5);
    /// Adds bytes that stay valid only during the call: they are copied
    /// when they have to wait for the worker.
    void addData(const char *data, int size);
    /// Adds an array that owns its bytes (not one made by fromRawData); it is
    /// queued without a copy.
    void addShared(const QByteArray &data);
    /// The digest of every byte added since the last reset; waits until the
    /// worker has hashed them.
    QByteArray result();

private:
    // Both are called with the state's mutex held.
    bool hashedAtOnce(const char *data, int size);
    void enqueue(std::unique_lock<std::mutex> &lock, const QByteArray &data);

    struct State;
    std::unique_ptr<State> state;
};
