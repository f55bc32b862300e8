#pragma once

#include "config/releasedescription.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

/// Decides whether a release is the one its publisher signed.
///
/// With public keys configured (`[Update]` `PublicKey=`, base64, comma
/// separated for a rotation), an update goes on only after `accept` took the
/// release's signed description: the signature verifies with one of the
/// keys, it has not expired, its sequence is not below the highest one this
/// installation has installed, and it names the version offered. The
/// transports then check every file against it. The sequence is kept in a
/// small state file in the application directory, written atomically, and
/// raised only by `recordInstalled` once the apply has succeeded.
///
/// Every refusal returns false with a user text (Chinese, naming the reason)
/// and leaves a log line with the detail.
class ReleaseTrust
{
public:
    static const QString &stateFileName();

    /// @p publicKeys is the configured text; @p appDir the installation.
    ReleaseTrust(const QString &publicKeys, const QString &appDir);

    /// True when keys are configured (a bad key text counts: it refuses).
    bool isRequired() const { return required; }
    /// Logs that the release is unverified when no key is configured.
    void noteUnverified() const;

    /// Takes the description file's bytes for the release offered as
    /// @p offeredVersion.
    bool accept(const QByteArray &bytes, const QString &offeredVersion, QString *userText);
    bool isAccepted() const { return accepted; }
    /// The user text of the last refusal; empty when nothing was refused.
    QString refusal() const { return lastRefusal; }
    const ReleaseDescription &description() const { return signedRelease; }

    /// The release's own files as served, relative to the release folder:
    /// each must be described, and a described one that is not served must
    /// be installed with its signed size and SHA-256.
    bool checkFileList(const QStringList &served, QString *userText) const;
    /// @p bytes of the release's md5.txt or update.ini (by @p which) match.
    enum class Metadata { Manifest, VersionFile };
    bool checkMetadata(Metadata which, const QByteArray &bytes, QString *userText) const;
    /// The described entry for @p path, or nullptr.
    const SignedFile *file(const QString &path) const { return signedRelease.find(path); }

    /// Records the accepted release's sequence as installed.
    bool recordInstalled();
    /// The highest sequence recorded as installed (0 when none).
    qint64 installedSequence() const;

    /// For tests: the time the expiry is compared with.
    void setNow(const QDateTime &now) { fixedNow = now; }

private:
    bool refuse(QString *userText, const QString &shown, const QString &detail) const;

    QVector<QByteArray> keys;
    QString keyProblem;
    QString statePath;
    QString installDir;
    bool required = false;
    bool accepted = false;
    ReleaseDescription signedRelease;
    QDateTime fixedNow;
    mutable QString lastRefusal;
};
