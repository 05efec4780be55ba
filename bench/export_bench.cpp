// Exporting a document: 20,000 exchanges whose responses keep text bodies of 2 to 20 KB, as a
// HAR archive written to /dev/null. Reports MB/s of message text.
#include <benchmark/benchmark.h>

#include <fstream>
#include <random>
#include <string>

#include "document/CSnifferDoc.h"
#include "exporters/HarWriter.h"
#include "options/Options.h"

namespace vantor {
namespace {

std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct Filled {
    CSnifferDoc document;
    std::size_t textBytes = 0;

    Filled() {
        Preferences() = AppPreferences{};
        Preferences().max_res_size = 64;
        Preferences().ParseContentTypes();
        document.SetCaptureRules(CaptureRules::From(Preferences()));
        std::mt19937 random(7);
        CaptureRecord header;
        header.peerAddress.address = {127, 0, 0, 1};
        header.peerAddress.port = {0x1F, 0x90};
        header.time = SystemTime{2026, 12, 2, 8, 9, 0, 0, 0};
        for (std::uint32_t c = 1; c <= 20'000; ++c) {
            header.connectionId = c;
            header.direction = Direction::Sent;
            header.previousDirection = Direction::None;
            document.NewRequest(header, Bytes("GET /items?page=" + std::to_string(c) +
                                              " HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nCookie: "
                                              "session=abc123\r\nAccept: */*\r\n\r\n"));
            std::string body;
            const std::size_t size = 2000 + random() % 18000;
            while (body.size() < size) {
                body += "line " + std::to_string(body.size()) + " of item " + std::to_string(c) +
                        " caf\xc3\xa9\n";
            }
            header.direction = Direction::Received;
            header.previousDirection = Direction::Sent;
            document.NewResponse(header, Bytes("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                                               "Content-Length: " +
                                               std::to_string(body.size()) + "\r\n\r\n" + body));
        }
        for (const auto& message : document.messages()) {
            textBytes += message->text().size();
        }
    }
};

Filled& Document() {
    static Filled filled;
    return filled;
}

void BM_ExportHar(benchmark::State& state) {
    Filled& filled = Document();
    for (auto _ : state) {
        std::ofstream out("/dev/null", std::ios::binary);
        benchmark::DoNotOptimize(WriteHar(out, filled.document));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(filled.textBytes));
}
BENCHMARK(BM_ExportHar)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantor

BENCHMARK_MAIN();
