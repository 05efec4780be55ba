#include "protocol/tls/TlsCrypto.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <algorithm>
#include <string>

namespace vantor {

namespace {

const char* DigestName(TlsHash hash) {
    return hash == TlsHash::Sha256 ? "SHA256" : "SHA384";
}

// Runs a KDF of libcrypto by name; empty when it fails (never for the inputs we give it).
std::vector<std::uint8_t> Derive(const char* kdfName, OSSL_PARAM* params, std::size_t length) {
    std::vector<std::uint8_t> out(length);
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, kdfName, nullptr);
    EVP_KDF_CTX* context = kdf != nullptr ? EVP_KDF_CTX_new(kdf) : nullptr;
    const bool done =
        context != nullptr && EVP_KDF_derive(context, out.data(), length, params) == 1;
    EVP_KDF_CTX_free(context);
    EVP_KDF_free(kdf);
    if (!done) {
        out.clear();
    }
    return out;
}

void* Unconst(const void* pointer) {
    return const_cast<void*>(pointer);  // libcrypto's parameters are not const, only read
}

}  // namespace

std::optional<TlsSuite> FindTlsSuite(std::uint16_t code) {
    switch (code) {
        case 0x1301:
            return TlsSuite{TlsAead::Aes128Gcm, TlsHash::Sha256, true};
        case 0x1302:
            return TlsSuite{TlsAead::Aes256Gcm, TlsHash::Sha384, true};
        case 0x1303:
            return TlsSuite{TlsAead::ChaCha20Poly1305, TlsHash::Sha256, true};
        // TLS 1.2's AEAD suites: RSA, DHE and ECDHE key exchange alike.
        case 0x009C:
        case 0x009E:
        case 0xC02B:
        case 0xC02F:
            return TlsSuite{TlsAead::Aes128Gcm, TlsHash::Sha256, false};
        case 0x009D:
        case 0x009F:
        case 0xC02C:
        case 0xC030:
            return TlsSuite{TlsAead::Aes256Gcm, TlsHash::Sha384, false};
        case 0xCCA8:
        case 0xCCA9:
        case 0xCCAA:
            return TlsSuite{TlsAead::ChaCha20Poly1305, TlsHash::Sha256, false};
        default:
            return std::nullopt;
    }
}

std::size_t HashLength(TlsHash hash) {
    return hash == TlsHash::Sha256 ? 32 : 48;
}

std::size_t KeyLength(TlsAead aead) {
    return aead == TlsAead::Aes128Gcm ? 16 : 32;
}

std::vector<std::uint8_t> HkdfExpandLabel(TlsHash hash, std::span<const std::uint8_t> secret,
                                          std::string_view label,
                                          std::span<const std::uint8_t> context,
                                          std::size_t length) {
    // HkdfLabel: the length, then the label and the context, each after its length.
    const std::string fullLabel = "tls13 " + std::string(label);
    std::vector<std::uint8_t> info(4 + fullLabel.size() + context.size());
    info[0] = static_cast<std::uint8_t>(length >> 8);
    info[1] = static_cast<std::uint8_t>(length);
    info[2] = static_cast<std::uint8_t>(fullLabel.size());
    std::copy(fullLabel.begin(), fullLabel.end(), info.begin() + 3);
    info[3 + fullLabel.size()] = static_cast<std::uint8_t>(context.size());
    std::copy(context.begin(), context.end(),
              info.begin() + static_cast<std::ptrdiff_t>(4 + fullLabel.size()));
    int mode = EVP_KDF_HKDF_MODE_EXPAND_ONLY;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST,
                                         static_cast<char*>(Unconst(DigestName(hash))), 0),
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, Unconst(secret.data()),
                                          secret.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.data(), info.size()),
        OSSL_PARAM_construct_end()};
    return Derive("HKDF", params, length);
}

std::vector<std::uint8_t> Tls12Prf(TlsHash hash, std::span<const std::uint8_t> secret,
                                   std::string_view label, std::span<const std::uint8_t> seed,
                                   std::size_t length) {
    std::vector<std::uint8_t> labelAndSeed(label.begin(), label.end());
    labelAndSeed.insert(labelAndSeed.end(), seed.begin(), seed.end());
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST,
                                         static_cast<char*>(Unconst(DigestName(hash))), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, Unconst(secret.data()),
                                          secret.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, labelAndSeed.data(),
                                          labelAndSeed.size()),
        OSSL_PARAM_construct_end()};
    return Derive("TLS1-PRF", params, length);
}

RecordCipher::RecordCipher(TlsAead aead, std::span<const std::uint8_t> key,
                           std::span<const std::uint8_t> iv)
    : m_context(EVP_CIPHER_CTX_new()) {
    const EVP_CIPHER* cipher = aead == TlsAead::Aes128Gcm   ? EVP_aes_128_gcm()
                               : aead == TlsAead::Aes256Gcm ? EVP_aes_256_gcm()
                                                            : EVP_chacha20_poly1305();
    std::copy_n(iv.begin(), std::min(iv.size(), m_iv.size()), m_iv.begin());
    m_ready = m_context != nullptr && key.size() == KeyLength(aead) &&
              EVP_DecryptInit_ex(m_context, cipher, nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(m_context, EVP_CTRL_AEAD_SET_IVLEN, 12, nullptr) == 1 &&
              EVP_DecryptInit_ex(m_context, nullptr, nullptr, key.data(), nullptr) == 1;
}

RecordCipher::~RecordCipher() {
    EVP_CIPHER_CTX_free(m_context);
}

bool RecordCipher::Open(std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> aad,
                        std::span<const std::uint8_t> sealed, std::uint8_t* out) {
    if (!m_ready || nonce.size() != 12 || sealed.size() < kTagLength) {
        return false;
    }
    const std::size_t length = sealed.size() - kTagLength;
    std::array<std::uint8_t, kTagLength> tag;
    std::copy_n(sealed.begin() + static_cast<std::ptrdiff_t>(length), kTagLength, tag.begin());
    int written = 0;
    if (EVP_DecryptInit_ex(m_context, nullptr, nullptr, nullptr, nonce.data()) != 1 ||
        EVP_DecryptUpdate(m_context, nullptr, &written, aad.data(), static_cast<int>(aad.size())) !=
            1) {
        return false;
    }
    if (length != 0 &&
        EVP_DecryptUpdate(m_context, out, &written, sealed.data(), static_cast<int>(length)) != 1) {
        return false;
    }
    int last = 0;
    return EVP_CIPHER_CTX_ctrl(m_context, EVP_CTRL_AEAD_SET_TAG, kTagLength, tag.data()) == 1 &&
           EVP_DecryptFinal_ex(m_context, out + length, &last) == 1;
}

std::array<std::uint8_t, 12> RecordCipher::XorNonce(std::uint64_t sequence) const {
    std::array<std::uint8_t, 12> nonce = m_iv;
    for (int i = 0; i < 8; ++i) {
        nonce[11 - static_cast<std::size_t>(i)] ^= static_cast<std::uint8_t>(sequence >> (8 * i));
    }
    return nonce;
}

std::array<std::uint8_t, 12> RecordCipher::SaltNonce(
    std::span<const std::uint8_t, 8> explicitPart) const {
    std::array<std::uint8_t, 12> nonce{};
    std::copy_n(m_iv.begin(), 4, nonce.begin());
    std::copy(explicitPart.begin(), explicitPart.end(), nonce.begin() + 4);
    return nonce;
}

}  // namespace vantor
