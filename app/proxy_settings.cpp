#include "proxy_settings.h"

#include "profile.h"

#include <QFile>
#include <QSaveFile>

namespace {
const QString Section = QStringLiteral("FORM");

QString KindText(TProxyKind Kind) {
    switch (Kind) {
    case TProxyKind::None: return QStringLiteral("none");
    case TProxyKind::Socks4: return QStringLiteral("socks4");
    case TProxyKind::Socks4A: return QStringLiteral("socks4a");
    case TProxyKind::Socks5: return QStringLiteral("socks5");
    }
    return QStringLiteral("none");
}

TProxyKind KindFromText(const QString& Text) {
    for (TProxyKind k : {TProxyKind::Socks4, TProxyKind::Socks4A, TProxyKind::Socks5})
        if (Text.compare(KindText(k), Qt::CaseInsensitive) == 0) return k;
    return TProxyKind::None;
}
}  // namespace

QString ProxyLevel(TProxyKind Kind) {
    switch (Kind) {
    case TProxyKind::None: return {};
    case TProxyKind::Socks4: return QStringLiteral("4");
    case TProxyKind::Socks4A: return QStringLiteral("4A");
    case TProxyKind::Socks5: return QStringLiteral("5");
    }
    return {};
}

QString ProxyProblem(const TProxySettings& Proxy) {
    if (Proxy.Kind == TProxyKind::None) return {};
    if (Proxy.Host.trimmed().isEmpty()) return QStringLiteral("Enter the proxy's host name or address.");
    bool number = false;
    const uint port = Proxy.Port.trimmed().toUInt(&number);
    if (!number || port < 1 || port > 65535) return QStringLiteral("The proxy port is a number from 1 to 65535.");
    // One length byte each on the wire (RFC 1929).
    if (Proxy.User.toUtf8().size() > 255 || Proxy.Password.toUtf8().size() > 255)
        return QStringLiteral("The proxy's user name and password are at most 255 bytes each.");
    return {};
}

TProxySettings ReadProxySettings(const TProfileFile& File, const QString& PasswordPath) {
    TProxySettings p;
    p.Kind = KindFromText(File.ReadString(Section, QStringLiteral("ProxyType"), {}));
    p.Host = File.ReadString(Section, QStringLiteral("ProxyHost"), {});
    p.Port = File.ReadString(Section, QStringLiteral("ProxyPort"), p.Port);
    p.User = File.ReadString(Section, QStringLiteral("ProxyUser"), {});
    p.RememberPassword = File.ReadString(Section, QStringLiteral("ProxyRememberPassword"), {}) == u"1";
    if (p.RememberPassword) {
        QFile f(PasswordPath);
        if (f.open(QIODevice::ReadOnly)) p.Password = QString::fromUtf8(f.readAll());
    }
    return p;
}

bool WriteProxySettings(TProfileFile& File, const TProxySettings& Proxy,
                        const QString& PasswordPath, QString* Error) {
    File.WriteString(Section, QStringLiteral("ProxyType"), KindText(Proxy.Kind));
    File.WriteString(Section, QStringLiteral("ProxyHost"), Proxy.Host);
    File.WriteString(Section, QStringLiteral("ProxyPort"), Proxy.Port);
    File.WriteString(Section, QStringLiteral("ProxyUser"), Proxy.User);
    File.WriteString(Section, QStringLiteral("ProxyRememberPassword"),
                     Proxy.RememberPassword ? QStringLiteral("1") : QStringLiteral("0"));
    if (!Proxy.RememberPassword || Proxy.Password.isEmpty()) {
        if (QFile::exists(PasswordPath) && !QFile::remove(PasswordPath)) {
            if (Error) *Error = QStringLiteral("%1 could not be removed").arg(PasswordPath);
            return false;
        }
        return true;
    }
    // Written beside and renamed; the new file is the user's alone before a byte goes in.
    QSaveFile f(PasswordPath);
    const bool ok = f.open(QIODevice::WriteOnly) &&
                    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
                    f.write(Proxy.Password.toUtf8()) == Proxy.Password.toUtf8().size() && f.commit();
    if (!ok && Error) *Error = QStringLiteral("%1 could not be written: %2").arg(PasswordPath, f.errorString());
    return ok;
}

QString ProxyFailureText(uint16_t Error, const QString& SocksText, const QString& Proxy,
                         const QString& Server) {
    QString what;
    switch (Error) {
    case 20003: what = QStringLiteral("the proxy does not accept this way of logging in - check the user name on the Settings page"); break;
    case 20015: what = QStringLiteral("the proxy refused the user name or password"); break;
    case 20005: what = QStringLiteral("the proxy's rules do not allow a connection to %1").arg(Server); break;
    case 20006:
    case 20007: what = QStringLiteral("the proxy cannot reach %1").arg(Server); break;
    case 20008: what = QStringLiteral("%1 refused the proxy's connection - is the chat server running?").arg(Server); break;
    case 20009: what = QStringLiteral("%1 did not answer the proxy in time").arg(Server); break;
    case 20016: what = QStringLiteral("the proxy refused the connection to %1").arg(Server); break;
    case 20017: what = QStringLiteral("the server's name could not be looked up here - choose SOCKS 4A or 5 to let the proxy look it up"); break;
    case 20018: what = QStringLiteral("the proxy closed the connection without an answer - is it a SOCKS proxy of the version chosen?"); break;
    case 20019: what = QStringLiteral("SOCKS 4 cannot reach an IPv6 address - choose SOCKS 4A or 5"); break;
    case 10061: what = QStringLiteral("the proxy at %1 refused the connection - is it running?").arg(Proxy); break;
    case 10060: what = QStringLiteral("the proxy at %1 did not answer in time").arg(Proxy); break;
    case 10051:
    case 10065: what = QStringLiteral("the proxy at %1 cannot be reached from this computer").arg(Proxy); break;
    default:
        what = Error > 20000 && Error < 20100
                   ? QStringLiteral("the proxy answered in a way this program does not understand")
                   : QStringLiteral("the connection to the proxy failed (error %1)").arg(Error);
    }
    QString text = QStringLiteral("Could not reach %1 through the proxy at %2: %3.").arg(Server, Proxy, what);
    if (!SocksText.isEmpty()) text += QStringLiteral(" (SOCKS error %1: %2)").arg(Error).arg(SocksText);
    return text;
}
