#include "tls_trust.h"

#include "config_dir.h"
#include "tls_wsocket.h"

#include <QFile>
#include <QSaveFile>
#include <QTextStream>

namespace {
// One line per server: "host:port FINGERPRINT". Host names are compared without case.
QString TrustFile() { return ConfigDir() + QStringLiteral("/trusted-servers.txt"); }
QString ServerKey(const QString& Host, const QString& Port) { return Host.trimmed().toLower() + u':' + Port.trimmed(); }

QStringList TrustLines() {
    QFile file(TrustFile());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}
}  // namespace

QString TrustedFingerprint(const QString& Host, const QString& Port) {
    const QString key = ServerKey(Host, Port);
    for (const QString& line : TrustLines()) {
        const QStringList fields = line.split(u' ', Qt::SkipEmptyParts);
        if (fields.size() == 2 && fields[0] == key) return fields[1];
    }
    return {};
}

bool TrustCertificate(const QString& Host, const QString& Port, const QString& Fingerprint, QString* Error) {
    const QString key = ServerKey(Host, Port);
    QStringList kept;
    for (const QString& line : TrustLines())
        if (line.section(u' ', 0, 0) != key) kept << line;
    kept << key + u' ' + Fingerprint;
    // Written beside and renamed: a failing disk leaves the old list whole.
    QSaveFile file(TrustFile());
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        file.write((kept.join(u'\n') + u'\n').toUtf8());
        if (file.commit()) return true;
    }
    if (Error) *Error = file.errorString();
    return false;
}

QString TlsFailureText(uint16_t Code, const QString& Host, const QString& Port) {
    const QString server = Host + u':' + Port;
    switch (Code) {
    case TlsErrNotTls:
        return QStringLiteral("The server at %1 did not answer with TLS \u2014 is this a plain chat port?").arg(server);
    case TlsErrHandshake:
        return QStringLiteral("The server at %1 refused the secure connection (TLS).").arg(server);
    case TlsErrUntrusted:
        return QStringLiteral("The certificate of %1 is not trusted, so the secure connection was not made.").arg(server);
    case TlsErrClosed:
        return QStringLiteral("The server at %1 ended the connection during the secure handshake (TLS).").arg(server);
    case TlsErrBroken:
        return QStringLiteral("The secure connection to %1 was damaged on the way and has been ended.").arg(server);
    default: return {};
    }
}

QString CertificateQuestion(const TTlsCertificate& C, const QString& Reason, const QString& OldFingerprint,
                            const QString& Host, const QString& Port) {
    const QString server = Host + u':' + Port;
    QString text;
    if (!OldFingerprint.isEmpty() && OldFingerprint != QString::fromStdString(C.Fingerprint))
        text = QStringLiteral("Warning: the certificate of %1 has changed since you trusted it. Someone may be "
                              "posing as the server.\n\nOld SHA-256 fingerprint:\n%2\nNew SHA-256 fingerprint:\n%3\n\n")
                   .arg(server, OldFingerprint, QString::fromStdString(C.Fingerprint));
    else
        text = QStringLiteral("The certificate of %1 could not be checked.\n\n").arg(server);
    text += QStringLiteral("Why: %1\n\nIssued to: %2\nIssued by: %3\nValid from %4 until %5\nSHA-256 fingerprint:\n%6\n\n"
                           "Trust this certificate for %7? Compare the fingerprint with the one the server's "
                           "operator gives you before you do.")
                .arg(Reason, QString::fromStdString(C.Subject), QString::fromStdString(C.Issuer),
                     QString::fromStdString(C.NotBefore), QString::fromStdString(C.NotAfter),
                     QString::fromStdString(C.Fingerprint), server);
    return text;
}
