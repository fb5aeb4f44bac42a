#pragma once
// The OpenSSL side of the TLS benchmark, kept apart from the Windows names of the socket layer:
// a TLS server on 127.0.0.1 in a thread of its own, and the baseline client, written with plain
// blocking sockets and blocking OpenSSL calls.
#include "run_timing.h"

#include <cstdint>
#include <memory>
#include <string>

class TTlsBenchServer {
public:
    // Streams: every connection gets Stream, then the close alert. Handshakes: every connection
    // is served until the client closes it.
    enum class TMode { Streams, Handshakes };
    TTlsBenchServer(TMode Mode, std::string Stream);
    ~TTlsBenchServer();
    TTlsBenchServer(const TTlsBenchServer&) = delete;
    TTlsBenchServer& operator=(const TTlsBenchServer&) = delete;

    bool Ok() const;
    uint16_t Port() const;
    // The SHA-256 fingerprint of its certificate (made in memory, self-signed, for localhost).
    std::string Fingerprint() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> Impl;
};

// The calling thread's CPU time, in seconds: the server's thread is not the client's cost.
double ThreadCpuSeconds();

// Connects, shakes hands (checking the certificate as the socket layer does: the system's store
// for the name, then the fingerprint) and reads Total bytes in reads of ReadSize.
TRunResult BlockingTlsRead(uint16_t Port, const std::string& Fingerprint, uint64_t Total, int ReadSize);
// Cycles times: connect, shake hands and check the certificate, close with the close alert.
TRunResult BlockingTlsHandshakes(uint16_t Port, const std::string& Fingerprint, int Cycles);
