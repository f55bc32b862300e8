#include "config/releasesignature.h"

#include <QStringList>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace ReleaseSignature {

namespace {

struct KeyFree { void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); } };
struct CtxFree { void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); } };
struct BioFree { void operator()(BIO *bio) const { BIO_free(bio); } };
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Ctx = std::unique_ptr<EVP_MD_CTX, CtxFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

bool fail(QString *why, const char *what)
{
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    if (why)
        *why = QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLatin1(text));
    return false;
}

bool rawPublicKey(EVP_PKEY *key, QByteArray *out)
{
    size_t length = kPublicKeyBytes;
    out->resize(kPublicKeyBytes);
    return EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char *>(out->data()), &length) == 1
           && length == size_t(kPublicKeyBytes);
}

} // namespace

bool generate(QByteArray *privatePem, QByteArray *publicKey, QString *why)
{
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key)
        return fail(why, "cannot generate an Ed25519 key");
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return fail(why, "cannot encode the private key");
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    *privatePem = QByteArray(data, static_cast<int>(size));
    if (!rawPublicKey(key.get(), publicKey))
        return fail(why, "cannot read the public key");
    return true;
}

bool sign(const QByteArray &privatePem, const QByteArray &message, QByteArray *signature, QByteArray *publicKey,
          QString *why)
{
    Bio bio(BIO_new_mem_buf(privatePem.constData(), privatePem.size()));
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return fail(why, "not an Ed25519 private key");
    Ctx ctx(EVP_MD_CTX_new());
    size_t length = kSignatureBytes;
    signature->resize(kSignatureBytes);
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1
        || EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(signature->data()), &length,
                          reinterpret_cast<const unsigned char *>(message.constData()), size_t(message.size())) != 1
        || length != size_t(kSignatureBytes))
        return fail(why, "cannot sign");
    if (!rawPublicKey(key.get(), publicKey))
        return fail(why, "cannot read the public key");
    return true;
}

bool verify(const QByteArray &publicKey, const QByteArray &message, const QByteArray &signature)
{
    if (publicKey.size() != kPublicKeyBytes || signature.size() != kSignatureBytes)
        return false;
    Key key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                        reinterpret_cast<const unsigned char *>(publicKey.constData()),
                                        size_t(publicKey.size())));
    Ctx ctx(EVP_MD_CTX_new());
    const bool ok = key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1
                    && EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                                        size_t(signature.size()),
                                        reinterpret_cast<const unsigned char *>(message.constData()),
                                        size_t(message.size()))
                           == 1;
    ERR_clear_error();
    return ok;
}

bool parsePublicKeys(const QString &text, QVector<QByteArray> *keys, QString *why)
{
    keys->clear();
    const QStringList entries = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &entry : entries) {
        const QByteArray trimmed = entry.trimmed().toLatin1();
        const auto decoded = QByteArray::fromBase64Encoding(trimmed, QByteArray::AbortOnBase64DecodingErrors);
        if (trimmed.isEmpty())
            continue;
        if (!decoded || decoded.decoded.size() != kPublicKeyBytes) {
            *why = QStringLiteral("not a base64 Ed25519 public key: ") + entry.trimmed().left(64);
            keys->clear();
            return false;
        }
        keys->append(decoded.decoded);
    }
    return true;
}

} // namespace ReleaseSignature
