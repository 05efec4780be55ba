#include "protocol/tls/TlsDecoder.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace vantor {

namespace {

enum : std::uint8_t {
    kChangeCipherSpec = 20,
    kAlert = 21,
    kHandshakeRecord = 22,
    kApplicationData = 23,
};

enum : std::uint8_t {
    kClientHello = 1,
    kServerHello = 2,
    kEndOfEarlyData = 5,
    kEncryptedExtensions = 8,
    kFinished = 20,
    kKeyUpdate = 24,
};

constexpr std::uint16_t kTls12 = 0x0303;
constexpr std::uint16_t kTls13 = 0x0304;

// A ServerHello with this random is a HelloRetryRequest: the real one follows.
constexpr std::array<std::uint8_t, 32> kHelloRetryRandom = {
    0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
    0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};

std::uint32_t Big(std::span<const std::uint8_t> bytes) {
    std::uint32_t value = 0;
    for (const std::uint8_t byte : bytes) {
        value = value << 8 | byte;
    }
    return value;
}

// Reads a handshake message's fields in order; any read past the end marks it bad.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
    std::span<const std::uint8_t> Take(std::size_t count) {
        if (count > m_bytes.size()) {
            m_bad = true;
            m_bytes = {};
            return {};
        }
        const auto taken = m_bytes.first(count);
        m_bytes = m_bytes.subspan(count);
        return taken;
    }
    std::uint32_t Number(std::size_t width) { return Big(Take(width)); }
    // A length of width bytes, then that many bytes.
    std::span<const std::uint8_t> Vector(std::size_t width) { return Take(Number(width)); }
    bool bad() const { return m_bad; }
    bool empty() const { return m_bytes.empty(); }

private:
    std::span<const std::uint8_t> m_bytes;
    bool m_bad = false;
};

// The protocol an ALPN extension's list names first (the server's choice: it names one).
std::string FirstProtocol(std::span<const std::uint8_t> extension) {
    Reader list(extension);
    Reader names(list.Vector(2));
    const auto name = names.Vector(1);
    if (list.bad() || names.bad()) {
        return {};
    }
    return std::string(name.begin(), name.end());
}

}  // namespace

struct TlsDecoder::Side {
    enum class Stage { Early, Handshake, Application };
    std::vector<std::uint8_t> pending;  // bytes of records not read yet
    bool protectedRecords = false;
    Stage stage = Stage::Handshake;
    std::unique_ptr<RecordCipher> cipher;
    std::vector<std::uint8_t> secret;  // TLS 1.3: the traffic secret in use
    std::uint64_t sequence = 0;
    std::vector<std::uint8_t> message;  // the handshake message being gathered
    std::size_t skip = 0;               // bytes of a message not read still to come
};

TlsDecoder::TlsDecoder(const KeyLog& keys, TlsPlainSink& sink)
    : m_keys(keys),
      m_sink(sink),
      m_client(std::make_unique<Side>()),
      m_server(std::make_unique<Side>()) {}

TlsDecoder::~TlsDecoder() = default;

TlsDecoder::Side& TlsDecoder::SideOf(Direction direction) {
    return direction == Direction::Sent ? *m_client : *m_server;
}

bool TlsDecoder::decrypting() const {
    return m_client->cipher != nullptr || m_server->cipher != nullptr;
}

void TlsDecoder::Feed(Direction direction, std::span<const std::uint8_t> bytes) {
    if (failed() || bytes.empty() ||
        (direction != Direction::Sent && direction != Direction::Received)) {
        return;
    }
    if (m_waiting) {
        if (waitingBytes() + bytes.size() > kMostWaitingBytes) {
            Fail("its keys were not logged within " + std::to_string(kMostWaitingBytes >> 20) +
                 " MiB of it");
            return;
        }
        m_queue.emplace_back(direction, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        m_queuedBytes += bytes.size();
        return;
    }
    Side& side = SideOf(direction);
    side.pending.insert(side.pending.end(), bytes.begin(), bytes.end());
    Pump(direction);
}

std::size_t TlsDecoder::waitingBytes() const {
    if (!m_waiting) {
        return 0;
    }
    return m_queuedBytes + (m_waitingSide == Direction::Sent ? m_client : m_server)->pending.size();
}

void TlsDecoder::Resume() {
    if (!m_waiting || failed() || m_keys.generation() == m_keysSeen) {
        return;
    }
    m_waiting = false;
    if (!Pump(m_waitingSide)) {
        return;
    }
    while (!m_queue.empty()) {
        auto [direction, bytes] = std::move(m_queue.front());
        m_queue.pop_front();
        m_queuedBytes -= bytes.size();
        Side& side = SideOf(direction);
        side.pending.insert(side.pending.end(), bytes.begin(), bytes.end());
        if (!Pump(direction)) {
            return;
        }
    }
}

void TlsDecoder::GiveUp(std::string_view why) {
    if (!failed()) {
        Fail(std::string(why));
    }
}

bool TlsDecoder::Pump(Direction direction) {
    Side& side = SideOf(direction);
    std::size_t at = 0;
    bool going = true;
    while (going && side.pending.size() - at >= 5) {
        const std::span<const std::uint8_t> header(side.pending.data() + at, 5);
        const std::size_t length = Big(header.subspan(3, 2));
        if (header[0] < kChangeCipherSpec || header[0] > kApplicationData || header[1] != 3 ||
            5 + length > kLongestRecord) {
            Fail("its bytes are not TLS records");
            return false;
        }
        if (side.pending.size() - at < 5 + length) {
            break;
        }
        switch (Record(direction, std::span(side.pending).subspan(at, 5 + length))) {
            case Outcome::Done:
                at += 5 + length;
                break;
            case Outcome::Wait:
                m_waiting = true;
                m_waitingSide = direction;
                m_keysSeen = m_keys.generation();
                going = false;
                break;
            case Outcome::Fail:
                return false;
        }
    }
    side.pending.erase(side.pending.begin(),
                       side.pending.begin() + static_cast<std::ptrdiff_t>(at));
    return going;
}

TlsDecoder::Outcome TlsDecoder::Record(Direction direction, std::span<const std::uint8_t> record) {
    Side& side = SideOf(direction);
    const std::uint8_t type = record[0];
    const auto body = record.subspan(5);
    const bool tls13 = m_version == kTls13;
    if (type == kChangeCipherSpec) {
        // TLS 1.2: the side's records are protected from the next one on. TLS 1.3 sends one
        // only for middleboxes' sake.
        if (m_version != 0 && !tls13) {
            side.protectedRecords = true;
            side.cipher.reset();
            side.sequence = 0;
        }
        return Outcome::Done;
    }
    if (side.protectedRecords && !(tls13 && type == kAlert)) {
        return Protected(direction, record);
    }
    switch (type) {
        case kHandshakeRecord:
            return Handshake(direction, body);
        case kApplicationData:
            // Before the ServerHello only a client's early data (0-RTT) can be protected: its
            // cipher suite is not known yet.
            return Fail(m_version == 0 ? "its early data (0-RTT) cannot be decrypted"
                                       : "application data came before the handshake ended");
        default:
            return Outcome::Done;  // a plain alert
    }
}

TlsDecoder::Outcome TlsDecoder::Protected(Direction direction,
                                          std::span<const std::uint8_t> record) {
    Side& side = SideOf(direction);
    if (side.cipher == nullptr) {
        if (const Outcome keys = Keys(direction); keys != Outcome::Done) {
            return keys;
        }
    }
    const auto header = record.first(5);
    auto sealed = record.subspan(5);
    const bool tls13 = m_version == kTls13;
    std::array<std::uint8_t, 12> nonce{};
    std::array<std::uint8_t, 13> tls12Aad{};
    if (tls13 || m_suite->aead == TlsAead::ChaCha20Poly1305) {
        nonce = side.cipher->XorNonce(side.sequence);
    } else {
        if (sealed.size() < 8) {
            return Fail("a record is too short");
        }
        nonce = side.cipher->SaltNonce(sealed.first<8>());
        sealed = sealed.subspan(8);
    }
    if (sealed.size() < RecordCipher::kTagLength) {
        return Fail("a record is too short");
    }
    const std::size_t length = sealed.size() - RecordCipher::kTagLength;
    std::span<const std::uint8_t> aad = header;
    if (!tls13) {
        for (int i = 0; i < 8; ++i) {
            tls12Aad[static_cast<std::size_t>(i)] =
                static_cast<std::uint8_t>(side.sequence >> (56 - 8 * i));
        }
        tls12Aad[8] = header[0];
        tls12Aad[9] = header[1];
        tls12Aad[10] = header[2];
        tls12Aad[11] = static_cast<std::uint8_t>(length >> 8);
        tls12Aad[12] = static_cast<std::uint8_t>(length);
        aad = tls12Aad;
    }
    m_plain.resize(std::max<std::size_t>(length, 1));
    if (!side.cipher->Open(nonce, aad, sealed, m_plain.data())) {
        return Fail("a record does not decrypt with the logged keys");
    }
    ++side.sequence;
    std::span<const std::uint8_t> plain(m_plain.data(), length);
    std::uint8_t type = header[0];
    if (tls13) {
        // The real type is the last byte that is not padding.
        while (!plain.empty() && plain.back() == 0) {
            plain = plain.first(plain.size() - 1);
        }
        if (plain.empty()) {
            return Fail("a record has no content type");
        }
        type = plain.back();
        plain = plain.first(plain.size() - 1);
    }
    return Content(direction, type, plain);
}

TlsDecoder::Outcome TlsDecoder::Content(Direction direction, std::uint8_t type,
                                        std::span<const std::uint8_t> bytes) {
    switch (type) {
        case kApplicationData:
            if (!bytes.empty()) {
                m_sink.Plain(direction, bytes);
            }
            return Outcome::Done;
        case kHandshakeRecord:
            return Handshake(direction, bytes);
        case kAlert:
        case kChangeCipherSpec:
            return Outcome::Done;
        default:
            return Fail("a record has an unknown content type");
    }
}

TlsDecoder::Outcome TlsDecoder::Handshake(Direction direction,
                                          std::span<const std::uint8_t> bytes) {
    Side& side = SideOf(direction);
    while (!bytes.empty()) {
        if (side.skip > 0) {
            const std::size_t skipped = std::min(side.skip, bytes.size());
            side.skip -= skipped;
            bytes = bytes.subspan(skipped);
            continue;
        }
        if (side.message.size() < 4) {
            const std::size_t take = std::min(4 - side.message.size(), bytes.size());
            side.message.insert(side.message.end(), bytes.begin(),
                                bytes.begin() + static_cast<std::ptrdiff_t>(take));
            bytes = bytes.subspan(take);
            if (side.message.size() < 4) {
                break;
            }
            const std::uint8_t type = side.message[0];
            const std::size_t length = Big(std::span(side.message).subspan(1, 3));
            const bool wanted = type == kClientHello || type == kServerHello ||
                                type == kEndOfEarlyData || type == kEncryptedExtensions ||
                                type == kFinished || type == kKeyUpdate;
            if (!wanted) {
                side.skip = length;  // certificates, tickets and the like are not read
                side.message.clear();
                continue;
            }
            if (length > kLongestHandshakeMessage) {
                return Fail("a handshake message is too long");
            }
        }
        const std::size_t length = Big(std::span(side.message).subspan(1, 3));
        const std::size_t take = std::min(4 + length - side.message.size(), bytes.size());
        side.message.insert(side.message.end(), bytes.begin(),
                            bytes.begin() + static_cast<std::ptrdiff_t>(take));
        bytes = bytes.subspan(take);
        if (side.message.size() == 4 + length) {
            const std::vector<std::uint8_t> message = std::move(side.message);
            side.message.clear();
            if (const Outcome outcome =
                    Message(direction, message[0], std::span(message).subspan(4));
                outcome != Outcome::Done) {
                return outcome;
            }
        }
    }
    return Outcome::Done;
}

TlsDecoder::Outcome TlsDecoder::Message(Direction direction, std::uint8_t type,
                                        std::span<const std::uint8_t> body) {
    Side& side = SideOf(direction);
    const bool tls13 = m_version == kTls13;
    switch (type) {
        case kClientHello:
            if (direction == Direction::Sent && !m_clientRandom && body.size() >= 34) {
                KeyLog::Random random;
                std::copy_n(body.begin() + 2, random.size(), random.begin());
                m_clientRandom = random;
            }
            return Outcome::Done;
        case kServerHello:
            return direction == Direction::Received ? ServerHello(body) : Outcome::Done;
        case kEncryptedExtensions:
            return direction == Direction::Received ? EncryptedExtensions(body) : Outcome::Done;
        case kFinished:
            if (tls13) {
                // The side's application data follow, under its first traffic secret.
                side.stage = Side::Stage::Application;
                side.cipher.reset();
                side.secret.clear();
            }
            return Outcome::Done;
        case kEndOfEarlyData:
            if (tls13) {
                side.stage = Side::Stage::Handshake;
                side.cipher.reset();
            }
            return Outcome::Done;
        case kKeyUpdate:
            if (tls13 && !side.secret.empty()) {
                const std::size_t length = HashLength(m_suite->hash);
                UseSecret(side,
                          HkdfExpandLabel(m_suite->hash, side.secret, "traffic upd", {}, length));
            }
            return Outcome::Done;
        default:
            return Outcome::Done;
    }
}

TlsDecoder::Outcome TlsDecoder::ServerHello(std::span<const std::uint8_t> body) {
    Reader hello(body);
    std::uint32_t version = hello.Number(2);
    const auto random = hello.Take(32);
    hello.Vector(1);  // the session id
    const std::uint32_t suite = hello.Number(2);
    hello.Take(1);  // compression
    Reader extensions(hello.empty() ? std::span<const std::uint8_t>() : hello.Vector(2));
    if (hello.bad()) {
        return Fail("its ServerHello is malformed");
    }
    if (std::equal(random.begin(), random.end(), kHelloRetryRandom.begin())) {
        return Outcome::Done;  // a second ClientHello, then the real ServerHello
    }
    std::string alpn;
    while (!extensions.empty() && !extensions.bad()) {
        const std::uint32_t type = extensions.Number(2);
        const auto data = extensions.Vector(2);
        if (type == 43 && data.size() == 2) {  // supported_versions: the version chosen
            version = Big(data);
        } else if (type == 16) {
            alpn = FirstProtocol(data);
        }
    }
    if (extensions.bad()) {
        return Fail("its ServerHello is malformed");
    }
    std::copy(random.begin(), random.end(), m_serverRandom.begin());
    m_version = static_cast<std::uint16_t>(version);
    m_alpn = alpn;
    if (version < kTls12) {
        return Fail(version == 0x0302   ? "TLS 1.1 is not decrypted"
                    : version == 0x0301 ? "TLS 1.0 is not decrypted"
                                        : "its protocol version is not TLS 1.2 or 1.3");
    }
    m_suite = FindTlsSuite(static_cast<std::uint16_t>(suite));
    if (!m_suite || m_suite->tls13 != (version == kTls13)) {
        char text[64];
        std::snprintf(text, sizeof text, "cipher suite 0x%04X is not supported", suite);
        return Fail(text);
    }
    if (!m_clientRandom) {
        return Fail("its ClientHello was not seen");
    }
    if (version == kTls13) {
        for (Side* side : {m_client.get(), m_server.get()}) {
            side->protectedRecords = true;
            side->stage = Side::Stage::Handshake;
            side->cipher.reset();
        }
    }
    return Outcome::Done;
}

TlsDecoder::Outcome TlsDecoder::EncryptedExtensions(std::span<const std::uint8_t> body) {
    Reader message(body);
    Reader extensions(message.Vector(2));
    while (!extensions.empty() && !extensions.bad()) {
        const std::uint32_t type = extensions.Number(2);
        const auto data = extensions.Vector(2);
        if (type == 16) {
            m_alpn = FirstProtocol(data);
        }
    }
    return Outcome::Done;
}

TlsDecoder::Outcome TlsDecoder::Keys(Direction direction) {
    if (!m_clientRandom || !m_suite) {
        return Fail("its handshake was not seen from the start");
    }
    Side& side = SideOf(direction);
    const KeyLog::Secrets* secrets = m_keys.Find(*m_clientRandom);
    if (m_version != kTls13) {
        if (secrets == nullptr || secrets->master.empty()) {
            return Outcome::Wait;
        }
        const std::size_t keyLength = KeyLength(m_suite->aead);
        const std::size_t ivLength = m_suite->aead == TlsAead::ChaCha20Poly1305 ? 12 : 4;
        std::vector<std::uint8_t> seed(m_serverRandom.begin(), m_serverRandom.end());
        seed.insert(seed.end(), m_clientRandom->begin(), m_clientRandom->end());
        const std::vector<std::uint8_t> block = Tls12Prf(
            m_suite->hash, secrets->master, "key expansion", seed, 2 * keyLength + 2 * ivLength);
        if (block.empty()) {
            return Fail("its keys could not be derived");
        }
        const bool client = direction == Direction::Sent;
        const auto key = std::span(block).subspan(client ? 0 : keyLength, keyLength);
        const auto iv = std::span(block).subspan(2 * keyLength + (client ? 0 : ivLength), ivLength);
        side.cipher = std::make_unique<RecordCipher>(m_suite->aead, key, iv);
        return Outcome::Done;
    }
    const bool client = direction == Direction::Sent;
    const std::vector<std::uint8_t>* secret = nullptr;
    if (secrets != nullptr) {
        switch (side.stage) {
            case Side::Stage::Early:
                secret = client ? &secrets->clientEarly : nullptr;
                break;
            case Side::Stage::Handshake:
                secret = client ? &secrets->clientHandshake : &secrets->serverHandshake;
                break;
            case Side::Stage::Application:
                secret = client ? &secrets->client0 : &secrets->server0;
                break;
        }
    }
    if (secret == nullptr || secret->empty()) {
        return Outcome::Wait;
    }
    if (secret->size() != HashLength(m_suite->hash)) {
        return Fail("its logged secrets do not fit its cipher suite");
    }
    UseSecret(side, *secret);
    return Outcome::Done;
}

void TlsDecoder::UseSecret(Side& side, std::vector<std::uint8_t> secret) {
    const auto key = HkdfExpandLabel(m_suite->hash, secret, "key", {}, KeyLength(m_suite->aead));
    const auto iv = HkdfExpandLabel(m_suite->hash, secret, "iv", {}, 12);
    side.cipher = std::make_unique<RecordCipher>(m_suite->aead, key, iv);
    side.sequence = 0;
    side.secret = std::move(secret);
}

TlsDecoder::Outcome TlsDecoder::Fail(std::string why) {
    if (m_failure.empty()) {
        m_failure = std::move(why);
    }
    m_waiting = false;
    m_queue.clear();
    m_queuedBytes = 0;
    m_client->pending.clear();
    m_server->pending.clear();
    return Outcome::Fail;
}

}  // namespace vantor
