#pragma once

#include <QString>

/// The certificate authorities that https:// update servers are checked
/// against: the system's, plus those of a PEM file the installation names
/// (`[Update]` `CaCertificates`), for a publisher with a private CA.
namespace TlsTrust {

/// Adds the certificates of the PEM file @p path to every later TLS
/// connection of the process. False with @p why set when the file cannot be
/// read, holds no certificate, or this build has no TLS.
bool addCaCertificates(const QString &path, QString *why);

} // namespace TlsTrust
