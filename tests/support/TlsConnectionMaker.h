#pragma once

// A TLS connection between libssl's client and server in memory, its bytes kept as they went
// over the wire and its client's key log: traces for the TLS tests and benchmarks.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "record/Direction.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace vantor::test {

using TlsSegments = std::vector<std::pair<Direction, std::vector<std::uint8_t>>>;

struct TlsTrace {
    TlsSegments segments;  // what went over the wire, in order (Sent: the client's)
    std::string keyLog;    // what the client logged
    TlsSegments plain;     // what each side wrote, runs joined
    std::string alpn;
};

class TlsConnectionMaker {
public:
    struct Options {
        int version;          // TLS1_2_VERSION or TLS1_3_VERSION
        const char* ciphers;  // TLS 1.2's cipher list, or TLS 1.3's suites
        const char* alpn;     // offered by the client and taken by the server
    };

    // Makes the certificate, both ends and the handshake.
    explicit TlsConnectionMaker(const Options& options);
    ~TlsConnectionMaker();
    TlsConnectionMaker(const TlsConnectionMaker&) = delete;
    TlsConnectionMaker& operator=(const TlsConnectionMaker&) = delete;

    bool established() const;
    // One side writes text (Sent: the client), the other reads all of it; whether it did.
    bool Send(Direction from, const std::string& text);
    // TLS 1.3: the client updates its keys and asks the server to update its own.
    void UpdateKeys();
    const TlsTrace& trace() const { return m_trace; }
    // Forgets the bytes kept so far (a benchmark keeps only what it measures).
    void ForgetSegments() { m_trace.segments.clear(); }

private:
    void Carry();
    void Move(SSL* from, SSL* to, Direction direction);

    TlsTrace m_trace;
    SSL_CTX* m_serverContext = nullptr;
    SSL_CTX* m_clientContext = nullptr;
    SSL* m_client = nullptr;
    SSL* m_server = nullptr;
};

}  // namespace vantor::test
