// Bodies made readable for the text view: a 10 MB JSON body (gzip and br) decoded and laid
// out, and a 10 MB binary body as a hex dump.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "CodedBodies.h"
#include "content/BodyDecoder.h"
#include "http/HTTPMessage.h"
#include "ui/MessageTextPresenter.h"

namespace {

using namespace vantor;

std::string JsonBody(std::size_t size) {
    std::string json = "[";
    std::mt19937 random(5);
    for (int i = 0; json.size() < size; ++i) {
        json += (i == 0 ? "" : ",") + std::string("{\"id\":") + std::to_string(i) +
                ",\"name\":\"item " + std::to_string(random() % 100000) +
                "\",\"tags\":[\"a\",\"b\"],\"price\":" + std::to_string(random() % 1000) +
                ".5,\"ok\":true}";
    }
    return json + "]";
}

void DecodeAndLayOut(benchmark::State& state, const std::string& body, const char* coding,
                     std::size_t plain) {
    for (auto _ : state) {
        const DecodedBody decoded = DecodeBody(body, "", coding, 64 << 20);
        // As the text view does: laid out as far as it shows.
        std::string shown = PrettyJson(decoded.bytes, kMostShown);
        benchmark::DoNotOptimize(shown);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(plain));
}

void BM_GzipJson10MB(benchmark::State& state) {
    static const std::string json = JsonBody(10'000'000);
    static const std::string body = test::Gzip(json);
    DecodeAndLayOut(state, body, "gzip", json.size());
}
BENCHMARK(BM_GzipJson10MB)->Unit(benchmark::kMillisecond);

void BM_BrotliJson10MB(benchmark::State& state) {
    static const std::string json = JsonBody(10'000'000);
    static const std::string body = test::Brotli(json);
    DecodeAndLayOut(state, body, "br", json.size());
}
BENCHMARK(BM_BrotliJson10MB)->Unit(benchmark::kMillisecond);

void BM_HexDump10MB(benchmark::State& state) {
    std::string bytes(10'000'000, '\0');
    std::mt19937 random(9);
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    for (auto _ : state) {
        std::string dump = HexDump(bytes);
        benchmark::DoNotOptimize(dump);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_HexDump10MB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
