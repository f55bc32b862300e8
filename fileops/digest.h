#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

/// A message digest computed by OpenSSL, which uses the processor's SHA
/// instructions where it has them (several times the toolkit's own speed).
class Digest
{
public:
    enum class Algorithm { Md5, Sha256 };

    explicit Digest(Algorithm algorithm = Algorithm::Md5);
    ~Digest();
    Digest(const Digest &) = delete;
    Digest &operator=(const Digest &) = delete;

    /// Starts over, with @p algorithm from now on.
    void reset(Algorithm algorithm);
    void reset() { reset(kind); }
    void addData(const char *data, qint64 size);
    void addData(const QByteArray &data) { addData(data.constData(), data.size()); }
    /// The raw digest of the bytes added since the last reset.
    QByteArray result() const;
    Algorithm algorithm() const { return kind; }

    /// The digest of @p data in one call.
    static QByteArray of(Algorithm algorithm, const QByteArray &data);
    /// The digest of the file at @p path, streamed; empty when it cannot be read.
    static QByteArray ofFile(Algorithm algorithm, const QString &path);
    /// True when the regular file at @p path holds @p size bytes (any number
    /// when negative) with the raw digest @p expected; false when @p expected
    /// is empty or the file cannot be read.
    static bool fileMatches(Algorithm algorithm, const QString &path, const QByteArray &expected, qint64 size = -1);

private:
    struct Context;
    std::unique_ptr<Context> context;
    Algorithm kind;
};
