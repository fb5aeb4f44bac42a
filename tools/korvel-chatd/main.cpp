// korvel-chatd: the local chat server. Listens on 127.0.0.1:1024 unless told otherwise, logs
// one line per event to standard output, and stops cleanly on SIGINT or SIGTERM.
#include "chat_server.h"
#include "tls_session.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The write end of the self-pipe: a signal handler may only do async-signal-safe things, so it
// writes one byte here and the event loop does the rest.
int SignalPipeWrite = -1;

void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(SignalPipeWrite, &byte, 1);
    errno = saved;
}

bool ValidPort(const QString& Text) {
    bool ok = false;
    const uint value = Text.toUInt(&ok);
    return ok && value <= 65535;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("korvel-chatd");
    QCoreApplication::setApplicationVersion(KORVEL_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription("A small local chat server for KorvelChat 2.");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption hostOption("host", "Address to listen on (default 127.0.0.1; :: for both families).",
                                        "H", "127.0.0.1");
    const QCommandLineOption portOption(
        "port", "Port to listen on (default 1024; 0 lets the system pick one).", "P", "1024");
    const QCommandLineOption perAddressOption(
        "max-per-address",
        "Connections accepted from one IP address at a time (default 256; 0: no limit).", "N",
        "256");
    parser.addOption(hostOption);
    parser.addOption(portOption);
    parser.addOption(perAddressOption);
    const QCommandLineOption tlsCertOption(
        "tls-cert", "Also serve TLS, with the certificate (chain) in this PEM file.", "FILE");
    const QCommandLineOption tlsKeyOption("tls-key", "The private key of --tls-cert (PEM).", "FILE");
    const QCommandLineOption tlsPortOption(
        "tls-port", "Port for TLS (default 1025; 0 lets the system pick one).", "P", "1025");
    parser.addOption(tlsCertOption);
    parser.addOption(tlsKeyOption);
    parser.addOption(tlsPortOption);
    parser.process(app);
    const std::string host = parser.value(hostOption).toStdString();
    const QString port = parser.value(portOption);
    if (!ValidPort(port)) {
        std::fprintf(stderr, "korvel-chatd: '%s' is not a port number (0 to 65535)\n",
                     qPrintable(port));
        return 2;
    }
    bool perAddressOk = false;
    const int perAddress = parser.value(perAddressOption).toInt(&perAddressOk);
    if (!perAddressOk || perAddress < 0) {
        std::fprintf(stderr, "korvel-chatd: '%s' is not a number of connections (0 or more)\n",
                     qPrintable(parser.value(perAddressOption)));
        return 2;
    }

    std::shared_ptr<const TTlsServerCredentials> tls;
    if (parser.isSet(tlsCertOption) || parser.isSet(tlsKeyOption)) {
        if (!parser.isSet(tlsCertOption) || !parser.isSet(tlsKeyOption)) {
            std::fprintf(stderr, "korvel-chatd: TLS needs both --tls-cert and --tls-key\n");
            return 2;
        }
        if (!ValidPort(parser.value(tlsPortOption))) {
            std::fprintf(stderr, "korvel-chatd: '%s' is not a port number (0 to 65535)\n",
                         qPrintable(parser.value(tlsPortOption)));
            return 2;
        }
        std::string problem;
        tls = TTlsServerCredentials::Load(parser.value(tlsCertOption).toStdString(),
                                          parser.value(tlsKeyOption).toStdString(), problem);
        if (!tls) {
            std::fprintf(stderr, "korvel-chatd: %s\n", problem.c_str());
            return 2;
        }
    }

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("korvel-chatd: pipe");
        return 1;
    }
    SignalPipeWrite = pipeFds[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A log reader that goes away must not end the server.
    std::signal(SIGPIPE, SIG_IGN);

    TChatServer server;
    server.MaxPerAddress = perAddress;
    QSocketNotifier stopNotifier(pipeFds[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, [&] {
        char drain[16];
        while (::read(pipeFds[0], drain, sizeof drain) > 0) {
        }
        stopNotifier.setEnabled(false);
        server.Stop();
        QCoreApplication::quit();
    });

    try {
        server.Start(host, port.toStdString());
        if (tls) server.StartTls(parser.value(tlsPortOption).toStdString(), tls);
    } catch (const std::exception& E) {
        std::string reason = E.what();
        for (char& c : reason)
            if (c == '\r' || c == '\n') c = ' ';
        std::fprintf(stderr, "korvel-chatd: cannot listen on %s:%s: %s\n", host.c_str(),
                     qPrintable(port), reason.c_str());
        return 1;
    }
    const int result = app.exec();
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return result;
}
