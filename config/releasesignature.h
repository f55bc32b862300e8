#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

/// Ed25519 keys and signatures for release descriptions, from OpenSSL.
///
/// A public key travels as the base64 of its 32 raw bytes (one line in
/// system.cfg); a private key is stored as PKCS#8 PEM.
namespace ReleaseSignature {

constexpr int kPublicKeyBytes = 32;
constexpr int kSignatureBytes = 64;

/// A new key pair. False with @p why set when OpenSSL fails.
bool generate(QByteArray *privatePem, QByteArray *publicKey, QString *why);
/// Signs @p message with the PEM private key; @p publicKey receives the
/// matching public key.
bool sign(const QByteArray &privatePem, const QByteArray &message, QByteArray *signature, QByteArray *publicKey,
          QString *why);
/// True when @p signature is a valid signature of @p message by @p publicKey.
bool verify(const QByteArray &publicKey, const QByteArray &message, const QByteArray &signature);
/// The keys of a comma-separated list of base64 public keys. False with
/// @p why naming the bad entry when one is not a key; an empty text is an
/// empty list.
bool parsePublicKeys(const QString &text, QVector<QByteArray> *keys, QString *why);

} // namespace ReleaseSignature
