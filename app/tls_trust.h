#pragma once
// Secure connections in the window's words: the certificates the user trusted, kept per server
// (host and port) in the settings folder, and the texts that say why a secure connection failed
// or ask whether to trust a certificate.
#include "tls_session.h"

#include <QString>

#include <cstdint>

// The SHA-256 fingerprint trusted for Host:Port, empty when none is.
QString TrustedFingerprint(const QString& Host, const QString& Port);
// Trusts the certificate with this fingerprint for Host:Port (replacing an earlier one).
bool TrustCertificate(const QString& Host, const QString& Port, const QString& Fingerprint, QString* Error);

// A failed secure connection in plain words; empty for a code that is not the TLS layer's.
QString TlsFailureText(uint16_t Code, const QString& Host, const QString& Port);
// What the certificate dialog says: the server, who the certificate names and who signed it,
// its validity and fingerprint, why it did not verify, and for a changed certificate the old and
// the new fingerprint.
QString CertificateQuestion(const TTlsCertificate& Certificate, const QString& Reason,
                            const QString& OldFingerprint, const QString& Host, const QString& Port);
