// Decryption of TLS records with the keys of a key log: a connection made with libssl in
// memory (the handshake, then 64 MiB from the server in records of 16 KiB), fed to the decoder
// in pieces of 64 KiB as the provider hands a socket's bytes over. bytes/s counts the plain
// text.
// Run by hand: build/release/bin/tls_bench
#include <benchmark/benchmark.h>
#include <openssl/ssl.h>

#include <string>

#include "protocol/tls/TlsDecoder.h"
#include "support/TlsConnectionMaker.h"

namespace vantor {
namespace {

constexpr std::size_t kPiece = 64 * 1024;

struct CountingSink : TlsPlainSink {
    std::size_t bytes = 0;
    void Plain(Direction, std::span<const std::uint8_t> plain) override { bytes += plain.size(); }
};

void Decrypt(benchmark::State& state, int version, const char* suite) {
    test::TlsConnectionMaker connection({version, suite, "http/1.1"});
    connection.Send(Direction::Sent, "GET /big HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const std::string megabyte(1 << 20, 'x');
    for (int i = 0; i < 64; ++i) {
        connection.Send(Direction::Received, megabyte);
    }
    KeyLog keys;
    keys.Feed(connection.trace().keyLog);
    std::size_t plain = 0;
    for (auto _ : state) {
        CountingSink sink;
        TlsDecoder decoder(keys, sink);
        for (const auto& [direction, bytes] : connection.trace().segments) {
            for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
                decoder.Feed(direction, std::span(bytes).subspan(
                                            at, std::min(kPiece, bytes.size() - at)));
            }
        }
        if (decoder.failed()) {
            state.SkipWithError(decoder.failure().c_str());
            return;
        }
        plain += sink.bytes;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(plain));
}

BENCHMARK_CAPTURE(Decrypt, Tls13Aes128Gcm, TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Decrypt, Tls13Aes256Gcm, TLS1_3_VERSION, "TLS_AES_256_GCM_SHA384")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Decrypt, Tls13ChaCha20, TLS1_3_VERSION, "TLS_CHACHA20_POLY1305_SHA256")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Decrypt, Tls12Aes128Gcm, TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256")
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantor

BENCHMARK_MAIN();
