#pragma once
// The proxy the chat connection goes through: its settings in "CL.ini" (section "FORM", after
// the original keys), the password kept for the session only or, when the user asks, in a file
// of its own readable only by the user, and the proxy's failures in plain words.
#include <QString>

#include <cstdint>

class TProfileFile;

enum class TProxyKind { None, Socks4, Socks4A, Socks5 };

struct TProxySettings {
    TProxyKind Kind = TProxyKind::None;
    QString Host, Port = QStringLiteral("1080"), User, Password;
    bool RememberPassword = false;
    bool operator==(const TProxySettings&) const = default;
};

// "4", "4A", "5", or empty for none: the socket's SOCKS level.
QString ProxyLevel(TProxyKind Kind);
// What is wrong with the settings, in a sentence for the settings page; empty when nothing is.
QString ProxyProblem(const TProxySettings& Proxy);

// The password goes to the file beside CL.ini, never into it. Reading takes the remembered
// password, if any; writing stores it or, unless RememberPassword is ticked, removes the file.
TProxySettings ReadProxySettings(const TProfileFile& File, const QString& PasswordPath);
bool WriteProxySettings(TProfileFile& File, const TProxySettings& Proxy,
                        const QString& PasswordPath, QString* Error);

// A failed attempt through the proxy in plain words: what went wrong, then the proxy's own text
// and code as the details. Error is the code OnSessionConnected came with; SocksText the text of
// the handshake's failure (empty when the proxy itself could not be reached).
QString ProxyFailureText(uint16_t Error, const QString& SocksText, const QString& Proxy,
                         const QString& Server);
