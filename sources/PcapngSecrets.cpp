#include "sources/PcapngSecrets.h"

#include <array>

namespace vantor {

namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kDecryptionSecrets = 0x0000000A;
constexpr std::uint32_t kTlsKeyLog = 0x544C534B;  // "TLSK"
constexpr std::uint32_t kByteOrder = 0x1A2B3C4D;

std::uint32_t Word(const unsigned char* bytes, bool big) {
    return big ? std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                     std::uint32_t{bytes[2]} << 8 | bytes[3]
               : std::uint32_t{bytes[3]} << 24 | std::uint32_t{bytes[2]} << 16 |
                     std::uint32_t{bytes[1]} << 8 | bytes[0];
}

}  // namespace

std::string ReadPcapngKeyLog(std::FILE* file) {
    const long start = std::ftell(file);
    if (start < 0) {
        return {};  // a pipe: read only as libpcap goes
    }
    std::string keys;
    bool big = false;
    std::array<unsigned char, 12> head{};
    bool first = true;
    // Each block: its type, its total length, the body; sections may change byte order.
    while (std::fread(head.data(), 1, head.size(), file) == head.size()) {
        const std::uint32_t type = Word(head.data(), false);
        if (first && type != kSectionHeader) {
            break;  // not pcapng
        }
        first = false;
        if (type == kSectionHeader) {
            const std::uint32_t order = Word(head.data() + 8, false);
            if (order != kByteOrder && Word(head.data() + 8, true) != kByteOrder) {
                break;
            }
            big = order != kByteOrder;
        }
        const std::uint32_t length = Word(head.data() + 4, big);
        if (length < 12 || length % 4 != 0) {
            break;
        }
        long skip = static_cast<long>(length) - 12;
        if (type == kDecryptionSecrets) {
            const std::uint32_t kind = Word(head.data() + 8, big);
            std::array<unsigned char, 4> size{};
            if (std::fread(size.data(), 1, size.size(), file) != size.size()) {
                break;
            }
            skip -= 4;
            const std::uint32_t secrets = Word(size.data(), big);
            if (kind == kTlsKeyLog && secrets <= static_cast<std::uint32_t>(skip) &&
                keys.size() + secrets <= kMostSecretBytes) {
                const std::size_t at = keys.size();
                keys.resize(at + secrets);
                if (std::fread(keys.data() + at, 1, secrets, file) != secrets) {
                    keys.resize(at);
                    break;
                }
                keys += '\n';
                skip -= static_cast<long>(secrets);
            }
        }
        if (std::fseek(file, skip, SEEK_CUR) != 0) {
            break;
        }
    }
    std::clearerr(file);
    std::fseek(file, start, SEEK_SET);
    return keys;
}

}  // namespace vantor
