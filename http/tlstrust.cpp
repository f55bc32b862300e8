#include "http/tlstrust.h"

#include <QFile>
#ifndef QT_NO_SSL
#include <QSslCertificate>
#include <QSslConfiguration>
#endif

namespace TlsTrust {

bool addCaCertificates(const QString &path, QString *why)
{
#ifdef QT_NO_SSL
    Q_UNUSED(path);
    *why = QStringLiteral("this build has no TLS support");
    return false;
#else
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    // A certificate bundle is small; anything far larger is not one.
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(file.read(4 * 1024 * 1024), QSsl::Pem);
    if (certificates.isEmpty()) {
        *why = QStringLiteral("no PEM certificate in ") + path;
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(certificates);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
#endif
}

} // namespace TlsTrust
