#include "support/TlsConnectionMaker.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>

namespace vantor::test {

namespace {

int SelectProtocol(SSL*, const unsigned char** out, unsigned char* outLength,
                   const unsigned char* in, unsigned inLength, void*) {
    if (inLength == 0) {
        return SSL_TLSEXT_ERR_NOACK;
    }
    *outLength = in[0];
    *out = in + 1;
    return SSL_TLSEXT_ERR_OK;
}

void LogKey(const SSL* ssl, const char* line) {
    auto* trace = static_cast<TlsTrace*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    trace->keyLog += std::string(line) + "\n";
}

}  // namespace

TlsConnectionMaker::TlsConnectionMaker(const Options& options) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* certificate = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
    X509_sign(certificate, key, EVP_sha256());

    m_serverContext = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(m_serverContext, certificate);
    SSL_CTX_use_PrivateKey(m_serverContext, key);
    SSL_CTX_set_alpn_select_cb(m_serverContext, SelectProtocol, nullptr);
    m_clientContext = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_app_data(m_clientContext, &m_trace);
    SSL_CTX_set_keylog_callback(m_clientContext, LogKey);
    for (SSL_CTX* context : {m_serverContext, m_clientContext}) {
        SSL_CTX_set_min_proto_version(context, options.version);
        SSL_CTX_set_max_proto_version(context, options.version);
        if (options.version == TLS1_3_VERSION) {
            SSL_CTX_set_ciphersuites(context, options.ciphers);
        } else {
            SSL_CTX_set_cipher_list(context, options.ciphers);
        }
    }
    X509_free(certificate);
    EVP_PKEY_free(key);
    m_client = SSL_new(m_clientContext);
    m_server = SSL_new(m_serverContext);
    SSL_set_bio(m_client, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_bio(m_server, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_connect_state(m_client);
    SSL_set_accept_state(m_server);
    const std::string offered =
        std::string(1, static_cast<char>(std::strlen(options.alpn))) + options.alpn;
    SSL_set_alpn_protos(m_client, reinterpret_cast<const unsigned char*>(offered.data()),
                        static_cast<unsigned>(offered.size()));
    m_trace.alpn = options.alpn;
    for (int turn = 0; turn < 20 && !established(); ++turn) {
        SSL_do_handshake(m_client);
        Carry();
        SSL_do_handshake(m_server);
        Carry();
    }
}

TlsConnectionMaker::~TlsConnectionMaker() {
    SSL_free(m_client);
    SSL_free(m_server);
    SSL_CTX_free(m_clientContext);
    SSL_CTX_free(m_serverContext);
}

bool TlsConnectionMaker::established() const {
    return SSL_is_init_finished(m_client) && SSL_is_init_finished(m_server);
}

void TlsConnectionMaker::UpdateKeys() {
    SSL_key_update(m_client, SSL_KEY_UPDATE_REQUESTED);
}

void TlsConnectionMaker::Carry() {
    Move(m_client, m_server, Direction::Sent);
    Move(m_server, m_client, Direction::Received);
}

void TlsConnectionMaker::Move(SSL* from, SSL* to, Direction direction) {
    BIO* out = SSL_get_wbio(from);
    char buffer[65536];
    int got = 0;
    while ((got = BIO_read(out, buffer, sizeof buffer)) > 0) {
        BIO_write(SSL_get_rbio(to), buffer, got);
        if (m_trace.segments.empty() || m_trace.segments.back().first != direction) {
            m_trace.segments.emplace_back(direction, std::vector<std::uint8_t>());
        }
        auto& segment = m_trace.segments.back().second;
        segment.insert(segment.end(), buffer, buffer + got);
    }
}

bool TlsConnectionMaker::Send(Direction from, const std::string& text) {
    SSL* writer = from == Direction::Sent ? m_client : m_server;
    SSL* reader = from == Direction::Sent ? m_server : m_client;
    SSL_write(writer, text.data(), static_cast<int>(text.size()));
    Carry();
    std::size_t read = 0;
    bool same = true;
    char buffer[16384];
    for (int turn = 0; turn < 10000 && read < text.size(); ++turn) {
        const int got = SSL_read(reader, buffer, sizeof buffer);
        if (got > 0) {
            same = same && text.compare(read, static_cast<std::size_t>(got), buffer,
                                        static_cast<std::size_t>(got)) == 0;
            read += static_cast<std::size_t>(got);
        }
        Carry();
    }
    if (m_trace.plain.empty() || m_trace.plain.back().first != from) {
        m_trace.plain.emplace_back(from, std::vector<std::uint8_t>());
    }
    m_trace.plain.back().second.insert(m_trace.plain.back().second.end(), text.begin(),
                                       text.end());
    return same && read == text.size();
}

}  // namespace vantor::test
