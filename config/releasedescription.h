#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QVector>

/// One file of a signed release.
struct SignedFile
{
    QString path;      ///< relative to the release folder, "/"-separated, e.g. "bin/a.dll"
    qint64 size = 0;
    QByteArray sha256; ///< 32 raw bytes
};

/// The signed description of one release: its version, a sequence number
/// that only grows from release to release, an expiry time, every file with
/// its size and SHA-256, and the SHA-256 of the release's md5.txt and
/// update.ini.
///
/// On disk (`release.sig.json` beside md5.txt) it is a JSON envelope that
/// carries the description's own JSON bytes in base64 and one or more
/// Ed25519 signatures over exactly those bytes (several while a publisher
/// moves to a new key), so nothing depends on how a JSON writer orders or
/// spaces its output.
class ReleaseDescription
{
public:
    static constexpr int kFormat = 1;
    /// Larger files are refused before parsing: about 200 bytes per entry
    /// leaves room for far more files than one release holds.
    static constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;
    /// Signatures beyond this many are not looked at.
    static constexpr int kMaxSignatures = 8;
    static const QString &fileName();

    QString version;
    qint64 sequence = 0;
    QDateTime expires;
    QByteArray manifestSha256;    ///< of md5.txt
    QByteArray versionFileSha256; ///< of update.ini
    QVector<SignedFile> files;

    /// The envelope's bytes, signed with each of the PEM private keys. Empty
    /// with @p why set on failure.
    QByteArray toSignedFile(const QVector<QByteArray> &privatePems, QString *why) const;
    /// Reads an envelope with a signature that verifies with one of @p keys. False
    /// with @p why naming the fault (not signed by a known key, malformed,
    /// an unsafe or repeated path); nothing of an unverified payload is kept.
    bool readSignedFile(const QByteArray &bytes, const QVector<QByteArray> &keys, QString *why);
    /// The sequence of an envelope without checking its signature (for the
    /// publisher's "previous + 1"); -1 when it cannot be read.
    static qint64 peekSequence(const QByteArray &bytes);

    /// The entry for @p path, or nullptr.
    const SignedFile *find(const QString &path) const;

private:
    QByteArray payload() const;
    bool readPayload(const QByteArray &json, QString *why);

    QHash<QString, int> index;
};
