#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/tls/KeyLog.h"
#include "protocol/tls/TlsCrypto.h"
#include "record/Direction.h"

namespace vantor {

// Where a decrypted connection's plain text goes: the application data of each side, in the
// order the sides sent it.
class TlsPlainSink {
public:
    virtual ~TlsPlainSink() = default;
    virtual void Plain(Direction direction, std::span<const std::uint8_t> bytes) = 0;
};

// Reads one TLS connection from its first byte, both directions (Sent: the client's, Received:
// the server's), and decrypts its application data with the secrets of a key log: TLS 1.3
// (AES-GCM, ChaCha20-Poly1305; handshake and application secrets, KeyUpdate) and TLS 1.2's
// AEAD suites. The client random and the suite come from the hellos, ALPN from the
// ServerHello or EncryptedExtensions.
//
// A record whose keys are not logged yet (programs log them as the handshake ends, often after
// the first records went by) stops the connection: it and everything after it, both ways, wait
// in order, at most kMostWaitingBytes, until Resume finds the keys. Anything a peer could not
// have sent, a suite we cannot decrypt or keys that do not open a record fail the connection
// with a reason; nothing more comes out of it. Every length is checked against the bytes there
// are; memory per connection stays within a record, a handshake message and what waits.
class TlsDecoder {
public:
    static constexpr std::size_t kLongestRecord = 5 + (1 << 14) + 2048;
    static constexpr std::size_t kLongestHandshakeMessage = 256 * 1024;
    static constexpr std::size_t kMostWaitingBytes = 8u << 20;

    TlsDecoder(const KeyLog& keys, TlsPlainSink& sink);
    ~TlsDecoder();
    TlsDecoder(const TlsDecoder&) = delete;
    TlsDecoder& operator=(const TlsDecoder&) = delete;

    void Feed(Direction direction, std::span<const std::uint8_t> bytes);
    // Decrypts what waited for keys, as far as the key log now allows.
    void Resume();
    // The keys are given up on (they did not come in time).
    void GiveUp(std::string_view why);

    bool waiting() const { return m_waiting; }
    std::size_t waitingBytes() const;
    bool failed() const { return !m_failure.empty(); }
    // Why the connection could not be decrypted: "cipher suite 0x002F is not supported", ...
    const std::string& failure() const { return m_failure; }
    const std::string& alpn() const { return m_alpn; }
    // The protocol version chosen (0x0304 for TLS 1.3), once the ServerHello is read.
    std::uint16_t version() const { return m_version; }
    bool decrypting() const;

private:
    struct Side;
    Side& SideOf(Direction direction);
    // Reads the complete records a side has; false when it stopped (waiting or failed).
    bool Pump(Direction direction);
    enum class Outcome { Done, Wait, Fail };
    Outcome Record(Direction direction, std::span<const std::uint8_t> record);
    Outcome Protected(Direction direction, std::span<const std::uint8_t> record);
    Outcome Content(Direction direction, std::uint8_t type, std::span<const std::uint8_t> bytes);
    Outcome Handshake(Direction direction, std::span<const std::uint8_t> bytes);
    Outcome Message(Direction direction, std::uint8_t type, std::span<const std::uint8_t> body);
    Outcome ServerHello(std::span<const std::uint8_t> body);
    Outcome EncryptedExtensions(std::span<const std::uint8_t> body);
    // Sets a side's cipher: TLS 1.3's from a traffic secret, or TLS 1.2's from the master
    // secret. Wait when the secret is not logged yet.
    Outcome Keys(Direction direction);
    void UseSecret(Side& side, std::vector<std::uint8_t> secret);
    Outcome Fail(std::string why);

    const KeyLog& m_keys;
    TlsPlainSink& m_sink;
    std::unique_ptr<Side> m_client;
    std::unique_ptr<Side> m_server;
    std::optional<KeyLog::Random> m_clientRandom;
    KeyLog::Random m_serverRandom{};
    std::optional<TlsSuite> m_suite;
    std::uint16_t m_version = 0;
    std::string m_alpn;
    std::string m_failure;
    // Once stopped for keys: the direction that waits first, then what came after, in order.
    bool m_waiting = false;
    Direction m_waitingSide = Direction::None;
    std::deque<std::pair<Direction, std::vector<std::uint8_t>>> m_queue;
    std::size_t m_queuedBytes = 0;
    std::uint64_t m_keysSeen = 0;  // the key log's generation when keys were last looked for
    std::vector<std::uint8_t> m_plain;
};

}  // namespace vantor
