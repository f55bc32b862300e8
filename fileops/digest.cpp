#include "fileops/digest.h"

#include <QFile>
#include <QFileInfo>

#include <openssl/evp.h>

namespace {

const EVP_MD *method(Digest::Algorithm algorithm)
{
    return algorithm == Digest::Algorithm::Sha256 ? EVP_sha256() : EVP_md5();
}

} // namespace

struct Digest::Context
{
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Digest::Digest(Algorithm algorithm)
    : context(std::make_unique<Context>())
    , kind(algorithm)
{
    reset(algorithm);
}

Digest::~Digest() = default;

void Digest::reset(Algorithm algorithm)
{
    kind = algorithm;
    // Only an exhausted allocator makes these fail; result() then yields an
    // empty digest, which matches no expected value.
    if (context->ctx)
        EVP_DigestInit_ex(context->ctx, method(kind), nullptr);
}

void Digest::addData(const char *data, qint64 size)
{
    if (context->ctx && size > 0)
        EVP_DigestUpdate(context->ctx, data, static_cast<size_t>(size));
}

QByteArray Digest::result() const
{
    if (!context->ctx)
        return QByteArray();
    // Finalising a copy leaves this context open for more data.
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok = copy && EVP_MD_CTX_copy_ex(copy, context->ctx) && EVP_DigestFinal_ex(copy, out, &length);
    EVP_MD_CTX_free(copy);
    return ok ? QByteArray(reinterpret_cast<const char *>(out), static_cast<int>(length)) : QByteArray();
}

QByteArray Digest::of(Algorithm algorithm, const QByteArray &data)
{
    Digest digest(algorithm);
    digest.addData(data);
    return digest.result();
}

QByteArray Digest::ofFile(Algorithm algorithm, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    Digest digest(algorithm);
    QByteArray block(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(block.data(), block.size());
        if (got < 0)
            return QByteArray();
        if (got == 0)
            break;
        digest.addData(block.constData(), got);
    }
    return digest.result();
}

bool Digest::fileMatches(Algorithm algorithm, const QString &path, const QByteArray &expected, qint64 size)
{
    const QFileInfo info(path);
    if (expected.isEmpty() || !info.isFile() || info.isSymLink() || (size >= 0 && info.size() != size))
        return false;
    return ofFile(algorithm, path) == expected;
}
