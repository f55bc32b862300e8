#include "config/releasedescription.h"

#include "config/releasesignature.h"
#include "fileops/safepath.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace {

const QString kPayload = QStringLiteral("payload");
const QString kSignatures = QStringLiteral("signatures");
const QString kSignature = QStringLiteral("signature");
const QString kKey = QStringLiteral("key");
const QString kFormatKey = QStringLiteral("format");

QByteArray fromBase64(const QJsonValue &value)
{
    const auto decoded = QByteArray::fromBase64Encoding(value.toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? decoded.decoded : QByteArray();
}

QByteArray fromHex(const QJsonValue &value, int bytes)
{
    const QString text = value.toString();
    if (text.size() != bytes * 2)
        return QByteArray();
    for (const QChar c : text) {
        if (!c.isDigit() && !(c >= QLatin1Char('a') && c <= QLatin1Char('f')))
            return QByteArray();
    }
    return QByteArray::fromHex(text.toLatin1());
}

QJsonObject parseObject(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    return error.error == QJsonParseError::NoError && document.isObject() ? document.object() : QJsonObject();
}

} // namespace

const QString &ReleaseDescription::fileName()
{
    static const QString name = QStringLiteral("release.sig.json");
    return name;
}

QByteArray ReleaseDescription::payload() const
{
    QJsonArray list;
    for (const SignedFile &file : files) {
        list.append(QJsonObject{{QStringLiteral("path"), file.path},
                                {QStringLiteral("size"), double(file.size)},
                                {QStringLiteral("sha256"), QString::fromLatin1(file.sha256.toHex())}});
    }
    const QJsonObject object{
        {kFormatKey, kFormat},
        {QStringLiteral("version"), version},
        {QStringLiteral("sequence"), double(sequence)},
        {QStringLiteral("expires"), expires.toUTC().toString(Qt::ISODate)},
        {QStringLiteral("md5txt"), QString::fromLatin1(manifestSha256.toHex())},
        {QStringLiteral("updateini"), QString::fromLatin1(versionFileSha256.toHex())},
        {QStringLiteral("files"), list},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

QByteArray ReleaseDescription::toSignedFile(const QVector<QByteArray> &privatePems, QString *why) const
{
    const QByteArray signedBytes = payload();
    QJsonArray signatures;
    for (const QByteArray &privatePem : privatePems) {
        QByteArray signature;
        QByteArray publicKey;
        if (!ReleaseSignature::sign(privatePem, signedBytes, &signature, &publicKey, why))
            return QByteArray();
        signatures.append(QJsonObject{{kKey, QString::fromLatin1(publicKey.toBase64())},
                                      {kSignature, QString::fromLatin1(signature.toBase64())}});
    }
    if (signatures.isEmpty() || signatures.size() > kMaxSignatures) {
        *why = QStringLiteral("a release is signed with 1 to %1 keys").arg(kMaxSignatures);
        return QByteArray();
    }
    const QJsonObject envelope{{kFormatKey, kFormat},
                               {kSignatures, signatures},
                               {kPayload, QString::fromLatin1(signedBytes.toBase64())}};
    return QJsonDocument(envelope).toJson(QJsonDocument::Indented);
}

qint64 ReleaseDescription::peekSequence(const QByteArray &bytes)
{
    const QJsonObject payload = parseObject(fromBase64(parseObject(bytes).value(kPayload)));
    const double value = payload.value(QStringLiteral("sequence")).toDouble(-1);
    return value >= 0 && value < 9e15 ? qint64(value) : -1;
}

bool ReleaseDescription::readSignedFile(const QByteArray &bytes, const QVector<QByteArray> &keys, QString *why)
{
    *this = ReleaseDescription();
    if (bytes.size() > kMaxFileBytes) {
        *why = QStringLiteral("release description larger than %1 bytes").arg(kMaxFileBytes);
        return false;
    }
    const QJsonObject envelope = parseObject(bytes);
    const QByteArray signedBytes = fromBase64(envelope.value(kPayload));
    const QJsonArray signatures = envelope.value(kSignatures).toArray();
    if (envelope.value(kFormatKey).toInt() != kFormat || signedBytes.isEmpty() || signatures.isEmpty()) {
        *why = QStringLiteral("release description is not a signed description of format %1").arg(kFormat);
        return false;
    }
    bool verified = false;
    QStringList signers;
    for (int i = 0; i < signatures.size() && i < kMaxSignatures && !verified; ++i) {
        const QJsonObject entry = signatures.at(i).toObject();
        const QByteArray signature = fromBase64(entry.value(kSignature));
        signers.append(entry.value(kKey).toString().left(64));
        for (const QByteArray &key : keys)
            verified = verified || ReleaseSignature::verify(key, signedBytes, signature);
    }
    if (!verified) {
        *why = QStringLiteral("release description is not signed by a configured key (signed by %1)")
                   .arg(signers.join(QStringLiteral(", ")));
        return false;
    }
    if (readPayload(signedBytes, why))
        return true;
    *this = ReleaseDescription();
    return false;
}

bool ReleaseDescription::readPayload(const QByteArray &json, QString *why)
{
    const QJsonObject object = parseObject(json);
    version = object.value(QStringLiteral("version")).toString();
    const double seq = object.value(QStringLiteral("sequence")).toDouble(-1);
    expires = QDateTime::fromString(object.value(QStringLiteral("expires")).toString(), Qt::ISODate);
    manifestSha256 = fromHex(object.value(QStringLiteral("md5txt")), 32);
    versionFileSha256 = fromHex(object.value(QStringLiteral("updateini")), 32);
    if (object.value(kFormatKey).toInt() != kFormat || version.isEmpty() || seq < 0 || seq >= 9e15
        || seq != double(qint64(seq)) || !expires.isValid() || manifestSha256.isEmpty()
        || versionFileSha256.isEmpty() || !object.value(QStringLiteral("files")).isArray()) {
        *why = QStringLiteral("signed release description lacks a field or holds a bad value");
        return false;
    }
    sequence = qint64(seq);
    const QJsonArray list = object.value(QStringLiteral("files")).toArray();
    files.reserve(list.size());
    for (const QJsonValue &value : list) {
        const QJsonObject entry = value.toObject();
        SignedFile file{entry.value(QStringLiteral("path")).toString(), 0,
                        fromHex(entry.value(QStringLiteral("sha256")), 32)};
        const double size = entry.value(QStringLiteral("size")).toDouble(-1);
        QString reason;
        if (file.path.isEmpty() || !SafePath::isSafeRelativePath(file.path, &reason) || file.sha256.isEmpty() || size < 0 || size >= 9e15
            || size != double(qint64(size))) {
            *why = QStringLiteral("signed release description has a bad entry %1 %2")
                       .arg(file.path.left(200), reason);
            return false;
        }
        file.size = qint64(size);
        if (index.contains(file.path)) {
            *why = QStringLiteral("signed release description lists %1 twice").arg(file.path.left(200));
            return false;
        }
        index.insert(file.path, files.size());
        files.append(file);
    }
    return true;
}

const SignedFile *ReleaseDescription::find(const QString &path) const
{
    const auto it = index.constFind(path);
    return it == index.constEnd() ? nullptr : &files.at(*it);
}
