#pragma once

#include "config/md5manifest.h"
#include "config/releasedescription.h"

#include <QString>
#include <QStringList>
#include <QVector>

class QTextCodec;

/// What to publish and where.
struct ReleaseOptions
{
    QString sourceDir; ///< directory holding the client release as installed
    QString version;   ///< `Version`/`Version` of the written update.ini
    QString folder;    ///< `Version`/`Folder`: the release's directory on the server
    QString outputDir; ///< root of the server tree (created when missing)
    /// Encoding of md5.txt: "utf-8" (the default, read correctly by clients
    /// on any platform) or "gbk" (what clients with a Chinese Windows locale
    /// wrote natively).
    QString encoding = QStringLiteral("utf-8");
    /// PEM private keys to sign the release with (several while moving to a
    /// new key); none: unsigned.
    QStringList signingKeyFiles = QStringList();
    /// Days until the signed description expires.
    int expiresDays = 30;
    /// Sequence of the signed description; -1: one more than the highest
    /// sequence among the releases already in the output (1 when none).
    qint64 sequence = -1;
    /// `Download`/`Connections` of the written update.ini: how many
    /// connections a client may use for the files (1 to 8).
    int connections = 6;
};

/// Writes the server tree that the HTTP transport fetches:
/// `<output>/<folder>/<files>`, `<output>/<folder>/md5.txt` and, last,
/// `<output>/update.ini`, so that a client never sees a version file that
/// names an incomplete folder. update.ini also records the manifest's byte
/// size (`ManifestSize`) and number of entries (`ManifestFiles`), and how
/// many connections a client may use (`[Download]` `Connections`). Every file goes through QSaveFile and is
/// hashed while it is copied. A release whose paths differ only in letter
/// case, hold names that the manifest's encoding cannot represent, or a file
/// name or directory path too long for the TCP protocol's fields, is
/// refused before anything is copied. With a signing key the release
/// folder also gets `release.sig.json`, the signed description of every
/// file (size, SHA-256) and of md5.txt and update.ini; it is written before
/// update.ini, which still comes last. Failures return false with `errorString()`
/// naming the file and the toolkit's error; each is also logged.
class CReleasePublisher
{
public:
    explicit CReleasePublisher(ReleaseOptions options);

    /// Checks the options and writes the tree. True on success.
    bool publish();

    /// Why the last `publish` failed; empty after success.
    QString errorString() const { return error; }
    /// The manifest written by the last successful `publish`.
    const Md5Manifest &manifest() const { return published; }
    /// Bytes of file content copied by the last `publish`.
    qint64 byteCount() const { return bytes; }
    /// The description signed by the last successful `publish`, if signed.
    const ReleaseDescription &description() const { return signedRelease; }

    /// Writes a new key pair: the private key to @p file (readable by its
    /// owner only; an existing file is never overwritten), the public key,
    /// base64, to @p publicKey.
    static bool generateKeyPair(const QString &file, QString *publicKey, QString *error);

private:
    bool checkOptions();
    bool checkPaths(const QStringList &files);
    bool loadSigningKey();
    bool copyFile(const QString &relPath, QString *md5);
    bool versionFileContent(qint64 manifestBytes, QByteArray *content);
    bool writeDescription(const QByteArray &manifest, const QByteArray &versionFile);
    qint64 previousSequence() const;
    bool fail(const QString &text);

    ReleaseOptions options;
    QString releaseDir;
    QString error;
    Md5Manifest published;
    QTextCodec *codec = nullptr;
    qint64 bytes = 0;
    QVector<QByteArray> signingKeys;
    ReleaseDescription signedRelease;
};
