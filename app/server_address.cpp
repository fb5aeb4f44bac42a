#include "server_address.h"

#include <QUrl>

namespace {
bool IsPort(const QString& Text) {
    bool number = false;
    const uint port = Text.toUInt(&number);
    return number && port >= 1 && port <= 65535 && !Text.startsWith(u'+');
}

bool IsIPv6(const QString& Text) {
    if (!Text.contains(u':')) return false;
    QUrl url;
    url.setHost(Text, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty();
}
}  // namespace

std::optional<TServerAddress> ParseServerHost(const QString& Text) {
    const QString t = Text.trimmed();
    if (t.isEmpty() || t.contains(u' ')) return std::nullopt;
    if (t.startsWith(u'[')) {
        const qsizetype close = t.indexOf(u']');
        if (close < 0 || !IsIPv6(t.mid(1, close - 1))) return std::nullopt;
        const QString rest = t.mid(close + 1);
        if (rest.isEmpty()) return TServerAddress{t, {}};
        if (!rest.startsWith(u':') || !IsPort(rest.mid(1))) return std::nullopt;
        return TServerAddress{t.left(close + 1), rest.mid(1)};
    }
    const qsizetype colons = t.count(u':');
    if (colons == 0) return TServerAddress{t, {}};
    if (colons == 1) {
        const qsizetype at = t.indexOf(u':');
        if (at == 0 || !IsPort(t.mid(at + 1))) return std::nullopt;
        return TServerAddress{t.left(at), t.mid(at + 1)};
    }
    if (!IsIPv6(t)) return std::nullopt;
    return TServerAddress{t, {}};
}

QString ServerText(const QString& Host, const QString& Port) {
    const bool bare6 = Host.contains(u':') && !Host.startsWith(u'[');
    return (bare6 ? u'[' + Host + u']' : Host) + u':' + Port;
}
