#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

struct evp_cipher_ctx_st;

namespace vantor {

enum class TlsHash { Sha256, Sha384 };
enum class TlsAead { Aes128Gcm, Aes256Gcm, ChaCha20Poly1305 };

// What a cipher suite we can decrypt is made of; nothing for any other suite.
struct TlsSuite {
    TlsAead aead;
    TlsHash hash;
    bool tls13;
};
std::optional<TlsSuite> FindTlsSuite(std::uint16_t code);

std::size_t HashLength(TlsHash hash);
std::size_t KeyLength(TlsAead aead);

// HKDF-Expand-Label of TLS 1.3: length bytes from secret, for label (without "tls13 ") and
// context.
std::vector<std::uint8_t> HkdfExpandLabel(TlsHash hash, std::span<const std::uint8_t> secret,
                                          std::string_view label,
                                          std::span<const std::uint8_t> context,
                                          std::size_t length);

// The PRF of TLS 1.2 (P_hash): length bytes from secret for label and seed.
std::vector<std::uint8_t> Tls12Prf(TlsHash hash, std::span<const std::uint8_t> secret,
                                   std::string_view label, std::span<const std::uint8_t> seed,
                                   std::size_t length);

// Opens the records of one direction under one key: AES-GCM or ChaCha20-Poly1305 with a
// 12-byte nonce, made as TLS 1.3 and TLS 1.2's ChaCha20 make it (the IV with the sequence
// number mixed in), or as TLS 1.2's GCM does (a 4-byte salt and the record's explicit 8 bytes).
class RecordCipher {
public:
    static constexpr std::size_t kTagLength = 16;

    RecordCipher(TlsAead aead, std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv);
    ~RecordCipher();
    RecordCipher(const RecordCipher&) = delete;
    RecordCipher& operator=(const RecordCipher&) = delete;

    // Decrypts sealed (ciphertext then tag) with nonce into out (sealed.size() - kTagLength
    // bytes). False when it is not authentic, or too short.
    bool Open(std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> aad,
              std::span<const std::uint8_t> sealed, std::uint8_t* out);
    // The nonce of a sequence number: IV xor the number (TLS 1.3, TLS 1.2 ChaCha20).
    std::array<std::uint8_t, 12> XorNonce(std::uint64_t sequence) const;
    // TLS 1.2 GCM: the salt then the record's explicit part.
    std::array<std::uint8_t, 12> SaltNonce(std::span<const std::uint8_t, 8> explicitPart) const;

private:
    evp_cipher_ctx_st* m_context;
    std::array<std::uint8_t, 12> m_iv{};
    bool m_ready = false;
};

}  // namespace vantor
