// A TLS connection's bytes, both directions, cut anywhere, decrypted with a key log that may
// or may not fit: records, handshake messages, lengths, suites and secrets however malformed.
// Nothing reads out of bounds, crashes or holds more than its bounds; keys that come late are
// waited for and given up on.
//
// Input: a 16-bit little-endian length and that much key log text, then pieces back to back,
// each one control byte (bit 0 sent by the client, bit 1 the key log is given before this
// piece), a 16-bit little-endian length, the data.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "protocol/tls/TlsDecoder.h"

namespace {

struct Sink : vantor::TlsPlainSink {
    std::size_t bytes = 0;
    void Plain(vantor::Direction, std::span<const std::uint8_t> plain) override {
        bytes += plain.size();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t keyLength =
        std::min<std::size_t>(data[0] | std::size_t{data[1]} << 8, size - 2);
    const std::string_view keyLog(reinterpret_cast<const char*>(data + 2), keyLength);
    vantor::KeyLog keys;
    Sink sink;
    vantor::TlsDecoder decoder(keys, sink);
    bool given = false;
    std::size_t at = 2 + keyLength;
    while (at + 3 <= size) {
        const std::uint8_t control = data[at];
        const std::size_t length =
            std::min<std::size_t>(data[at + 1] | std::size_t{data[at + 2]} << 8, size - at - 3);
        if ((control & 2u) != 0 && !given) {
            keys.Feed(keyLog);
            given = true;
            decoder.Resume();
        }
        decoder.Feed((control & 1u) != 0 ? vantor::Direction::Sent : vantor::Direction::Received,
                     {data + at + 3, length});
        if (decoder.waitingBytes() > vantor::TlsDecoder::kMostWaitingBytes) {
            __builtin_trap();
        }
        at += 3 + length;
    }
    if (!given) {
        keys.Feed(keyLog);
        decoder.Resume();
    }
    decoder.GiveUp("the end");
    return 0;
}
