#include "protocol/tls/TlsDecoder.h"
#include "protocol/tls/TlsStage.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace vantor {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Segments = std::vector<std::pair<Direction, Bytes>>;

Bytes FromHex(std::string_view hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return bytes;
}

// What came out: each side's plain text, runs of one side joined.
struct Collected : TlsPlainSink {
    Segments runs;
    void Plain(Direction direction, std::span<const std::uint8_t> bytes) override {
        if (runs.empty() || runs.back().first != direction) {
            runs.emplace_back(direction, Bytes());
        }
        runs.back().second.insert(runs.back().second.end(), bytes.begin(), bytes.end());
    }
};

struct Trace {
    Segments segments;   // what went over the wire, in order
    std::string keyLog;  // what the client logged
    Segments plain;      // what each side wrote, runs joined
    std::string alpn;
};

// Feeds a trace with every segment cut at cut (0: whole), the key log given before or after.
Collected Decode(const Trace& trace, std::size_t cut, bool keysLate,
                 std::string* failure = nullptr) {
    KeyLog keys;
    if (!keysLate) {
        keys.Feed(trace.keyLog);
    }
    Collected collected;
    TlsDecoder decoder(keys, collected);
    for (const auto& [direction, bytes] : trace.segments) {
        const std::span<const std::uint8_t> all(bytes);
        const std::size_t step = cut == 0 ? all.size() : cut;
        for (std::size_t at = 0; at < all.size(); at += step) {
            decoder.Feed(direction, all.subspan(at, std::min(step, all.size() - at)));
        }
    }
    if (keysLate) {
        EXPECT_TRUE(decoder.waiting());
        keys.Feed(trace.keyLog);
        decoder.Resume();
    }
    EXPECT_FALSE(decoder.waiting());
    if (failure != nullptr) {
        *failure = decoder.failure();
    } else {
        EXPECT_EQ(decoder.failure(), "");
        EXPECT_EQ(decoder.alpn(), trace.alpn);
    }
    return collected;
}

Trace Rfc8448() {
    std::ifstream file(VANTOR_TEST_DATA_DIR "/tls/rfc8448-simple.txt");
    Trace trace;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string kind;
        std::string value;
        words >> kind;
        if (kind == "key") {
            trace.keyLog += line.substr(4) + "\n";
        } else if (words >> value; kind == "sent" || kind == "received") {
            trace.segments.emplace_back(kind == "sent" ? Direction::Sent : Direction::Received,
                                        FromHex(value));
        } else if (kind == "plain-sent" || kind == "plain-received") {
            trace.plain.emplace_back(kind == "plain-sent" ? Direction::Sent : Direction::Received,
                                     FromHex(value));
        }
    }
    return trace;
}

TEST(TlsDecoderTest, Rfc8448TracesWholeByteByByteAndCutAtEveryPlace) {
    const Trace trace = Rfc8448();
    ASSERT_EQ(trace.segments.size(), 9u);
    std::size_t longest = 0;
    for (const auto& segment : trace.segments) {
        longest = std::max(longest, segment.second.size());
    }
    for (const bool keysLate : {false, true}) {
        EXPECT_EQ(Decode(trace, 0, keysLate).runs, trace.plain);
    }
    for (std::size_t cut = 1; cut <= longest; ++cut) {
        ASSERT_EQ(Decode(trace, cut, false).runs, trace.plain) << "cut every " << cut;
    }
}

// A TLS connection between libssl's client and server in memory, its bytes kept as they went.
class MadeConnection {
public:
    struct Options {
        int version;             // TLS1_2_VERSION or TLS1_3_VERSION
        const char* ciphers;     // TLS 1.2's cipher list, or TLS 1.3's suites
        const char* alpn;        // offered by the client and taken by the server
        bool keyUpdate = false;  // TLS 1.3: both sides update their keys half way
    };

    explicit MadeConnection(const Options& options) {
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
        SSL_CTX_set_keylog_callback(m_clientContext, [](const SSL* ssl, const char* line) {
            auto* trace = static_cast<Trace*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
            trace->keyLog += std::string(line) + "\n";
        });
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

        for (int turn = 0;
             turn < 20 && !(SSL_is_init_finished(m_client) && SSL_is_init_finished(m_server));
             ++turn) {
            SSL_do_handshake(m_client);
            Carry();
            SSL_do_handshake(m_server);
            Carry();
        }
        Exchange("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n", std::string(40000, 'a'));
        if (options.keyUpdate) {
            SSL_key_update(m_client, SSL_KEY_UPDATE_REQUESTED);
        }
        Exchange(std::string(20000, 'b'), "HTTP/1.1 200 OK\r\n\r\n");
        Exchange("last", "done");
    }

    ~MadeConnection() {
        SSL_free(m_client);
        SSL_free(m_server);
        SSL_CTX_free(m_clientContext);
        SSL_CTX_free(m_serverContext);
    }

    const Trace& trace() const { return m_trace; }
    bool established() const {
        return SSL_is_init_finished(m_client) && SSL_is_init_finished(m_server);
    }

private:
    static int SelectProtocol(SSL*, const unsigned char** out, unsigned char* outLength,
                              const unsigned char* in, unsigned inLength, void*) {
        if (inLength == 0) {
            return SSL_TLSEXT_ERR_NOACK;
        }
        *outLength = in[0];
        *out = in + 1;
        return SSL_TLSEXT_ERR_OK;
    }

    // Moves what each side wrote to the other, as the wire would.
    void Carry() {
        Move(m_client, m_server, Direction::Sent);
        Move(m_server, m_client, Direction::Received);
    }
    void Move(SSL* from, SSL* to, Direction direction) {
        BIO* out = SSL_get_wbio(from);
        char buffer[4096];
        int got = 0;
        while ((got = BIO_read(out, buffer, sizeof buffer)) > 0) {
            BIO_write(SSL_get_rbio(to), buffer, got);
            if (m_trace.segments.empty() || m_trace.segments.back().first != direction) {
                m_trace.segments.emplace_back(direction, Bytes());
            }
            auto& segment = m_trace.segments.back().second;
            segment.insert(segment.end(), buffer, buffer + got);
        }
    }
    void Send(SSL* from, SSL* to, Direction direction, const std::string& text) {
        SSL_write(from, text.data(), static_cast<int>(text.size()));
        Carry();
        std::string read;
        char buffer[16384];
        int got = 0;
        for (int turn = 0; turn < 100 && read.size() < text.size(); ++turn) {
            if ((got = SSL_read(to, buffer, sizeof buffer)) > 0) {
                read.append(buffer, static_cast<std::size_t>(got));
            }
            Carry();
        }
        EXPECT_EQ(read, text);
        m_trace.plain.emplace_back(direction, Bytes(text.begin(), text.end()));
    }
    void Exchange(const std::string& request, const std::string& response) {
        Send(m_client, m_server, Direction::Sent, request);
        Send(m_server, m_client, Direction::Received, response);
    }

    Trace m_trace;
    SSL_CTX* m_serverContext = nullptr;
    SSL_CTX* m_clientContext = nullptr;
    SSL* m_client = nullptr;
    SSL* m_server = nullptr;
};

struct MadeCase {
    const char* name;
    MadeConnection::Options options;
};

class MadeTraceTest : public testing::TestWithParam<MadeCase> {};

TEST_P(MadeTraceTest, DecryptsWholeByteByByteAndWithKeysLoggedLate) {
    const MadeConnection connection(GetParam().options);
    ASSERT_TRUE(connection.established());
    const Trace& trace = connection.trace();
    ASSERT_EQ(trace.plain.size(), 6u);
    ASSERT_GT(trace.segments.size(), 6u);
    EXPECT_EQ(Decode(trace, 0, false).runs, trace.plain);
    EXPECT_EQ(Decode(trace, 0, true).runs, trace.plain);
    EXPECT_EQ(Decode(trace, 1, false).runs, trace.plain);
    EXPECT_EQ(Decode(trace, 1000, true).runs, trace.plain);
}

INSTANTIATE_TEST_SUITE_P(
    Suites, MadeTraceTest,
    testing::Values(
        MadeCase{"Tls13Aes128", {TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256", "h2", true}},
        MadeCase{"Tls13Aes256", {TLS1_3_VERSION, "TLS_AES_256_GCM_SHA384", "http/1.1", true}},
        MadeCase{"Tls13ChaCha20", {TLS1_3_VERSION, "TLS_CHACHA20_POLY1305_SHA256", "h2", true}},
        MadeCase{"Tls12Aes128", {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256", "h2"}},
        MadeCase{"Tls12Aes256", {TLS1_2_VERSION, "ECDHE-ECDSA-AES256-GCM-SHA384", "http/1.1"}},
        MadeCase{"Tls12ChaCha20", {TLS1_2_VERSION, "ECDHE-ECDSA-CHACHA20-POLY1305", "h2"}}),
    [](const testing::TestParamInfo<MadeCase>& made) { return std::string(made.param.name); });

TEST(TlsDecoderTest, SaysWhyAConnectionCannotBeDecryptedAndListsNothingOfIt) {
    const MadeConnection cbc({TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA", "h2"});
    const MadeConnection good({TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256", "h2"});
    Trace wrongKeys = good.trace();
    // The first secret logged (the client's handshake secret) is wrong.
    const std::size_t first = wrongKeys.keyLog.rfind(' ', wrongKeys.keyLog.find('\n')) + 1;
    wrongKeys.keyLog[first] = wrongKeys.keyLog[first] == '0' ? '1' : '0';
    Trace junk = good.trace();
    junk.segments[0].second[0] = 0x47;  // 'G'
    Trace unseenStart = good.trace();
    unseenStart.segments.erase(unseenStart.segments.begin());
    const struct {
        const char* name;
        const Trace& trace;
        std::string failure;
    } cases[] = {
        {"suite", cbc.trace(), "cipher suite 0xC009 is not supported"},
        {"wrong keys", wrongKeys, "a record does not decrypt with the logged keys"},
        {"not TLS", junk, "its bytes are not TLS records"},
        {"joined late", unseenStart, "its ClientHello was not seen"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        std::string failure;
        EXPECT_TRUE(Decode(test.trace, 0, false, &failure).runs.empty());
        EXPECT_EQ(failure, test.failure);
    }
}

TEST(TlsDecoderTest, KeysThatNeverComeHoldABoundedAmountThenGiveUp) {
    const MadeConnection connection({TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256", "h2"});
    KeyLog keys;
    Collected collected;
    TlsDecoder decoder(keys, collected);
    for (const auto& [direction, bytes] : connection.trace().segments) {
        decoder.Feed(direction, bytes);
    }
    EXPECT_TRUE(decoder.waiting());
    EXPECT_GT(decoder.waitingBytes(), 60000u);
    decoder.Resume();  // nothing new in the key log
    EXPECT_TRUE(decoder.waiting());
    const Bytes more(TlsDecoder::kMostWaitingBytes, 0x17);
    decoder.Feed(Direction::Received, more);
    EXPECT_EQ(decoder.failure(), "its keys were not logged within 8 MiB of it");
    EXPECT_EQ(decoder.waitingBytes(), 0u);

    TlsDecoder late(keys, collected);
    late.Feed(connection.trace().segments[0].first, connection.trace().segments[0].second);
    late.Feed(connection.trace().segments[1].first, connection.trace().segments[1].second);
    late.GiveUp("its keys were not logged within 10 s");
    EXPECT_EQ(late.failure(), "its keys were not logged within 10 s");
    EXPECT_TRUE(collected.runs.empty());
}

// The stage around the decoder: records in, plain records out with the directions of the plain
// text; keys that come late, keys that never come, and a hole each told once.
TEST(TlsStageTest, HandsPlainTextOnAsRecordsOrOneNoticeSayingWhyNot) {
    const MadeConnection connection({TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256", "http/1.1"});
    const Trace& trace = connection.trace();
    enum class Ending { KeysLate, KeysNever, Hole };
    for (const Ending ending : {Ending::KeysLate, Ending::KeysNever, Ending::Hole}) {
        std::vector<std::pair<CaptureRecord, std::string>> out;
        TlsStage stage([&out](const CaptureRecord& header, std::span<const std::uint8_t> data) {
            out.emplace_back(header, std::string(data.begin(), data.end()));
        });
        const auto start = TlsStage::Clock::now();
        Direction previous = Direction::None;
        for (const auto& [direction, bytes] : trace.segments) {
            CaptureRecord header;
            header.connectionId = 7;
            header.tls = true;
            header.direction = direction;
            header.previousDirection = previous;
            previous = direction;
            stage.Deliver(header, bytes, start);
        }
        EXPECT_EQ(stage.waiting(), 1u);
        if (ending == Ending::KeysLate) {
            stage.keys().Feed(trace.keyLog);
            stage.Poll(start + std::chrono::seconds(1));
        } else if (ending == Ending::KeysNever) {
            stage.Poll(start + TlsStage::kKeyWait - std::chrono::seconds(1));
            EXPECT_TRUE(out.empty());
            stage.Poll(start + TlsStage::kKeyWait);
        } else {
            CaptureRecord hole;
            hole.connectionId = 7;
            stage.Lost(hole);
        }
        EXPECT_EQ(stage.waiting(), 0u);
        stage.Poll(start + 2 * TlsStage::kKeyWait);  // nothing more
        if (ending != Ending::KeysLate) {
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(out[0].second, ending == Ending::Hole
                                         ? "[TLS, not decrypted: bytes of it were not captured]"
                                         : "[TLS, not decrypted: its keys were not logged within "
                                           "10 s]");
            EXPECT_EQ(out[0].first.direction, Direction::Sent);
            EXPECT_FALSE(out[0].first.tls);
            continue;
        }
        Segments runs;
        Direction last = Direction::None;
        for (const auto& [header, text] : out) {
            EXPECT_EQ(header.previousDirection, last);
            EXPECT_FALSE(header.tls);
            EXPECT_EQ(header.connectionId, 7u);
            last = header.direction;
            if (runs.empty() || runs.back().first != header.direction) {
                runs.emplace_back(header.direction, Bytes());
            }
            runs.back().second.insert(runs.back().second.end(), text.begin(), text.end());
        }
        EXPECT_EQ(runs, trace.plain);
    }
}

}  // namespace
}  // namespace vantor
