#pragma once
// The Server host field: a name, an IPv4 address, an IPv6 address bare ("2001:db8::5") or in
// brackets ("[2001:db8::5]"), and either of the last two forms followed by ":port" where a port
// is given with the host ("[2001:db8::5]:1024", "chat.example:1024"); a bare IPv6 address never
// takes a port, its last group would be mistaken for one.
#include <QString>

#include <optional>

struct TServerAddress {
    QString Host;  // as the socket takes it (brackets kept)
    QString Port;  // empty when the field gave none
};

std::optional<TServerAddress> ParseServerHost(const QString& Text);

// host:port for sentences, with an IPv6 address in brackets.
QString ServerText(const QString& Host, const QString& Port);
