// Replay of the same exchanges as HTTP/2 (one connection, frames and HPACK through the
// protocol stage) and as HTTP/1.1 (one keep-alive connection), through dispatch into a
// document, side by side:
//   Data:    64 exchanges of 1 MiB text bodies (DATA in 16 KiB frames, 64 KiB records):
//            bytes/s counts the bodies.
//   Headers: 20,000 exchanges without bodies (a browser's request header, a 204 with a few
//            fields): items/s counts header blocks (two per exchange).
// Run by hand: build/default/bin/protocol_bench
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "capture/CaptureDispatch.h"
#include "document/CSnifferDoc.h"
#include "options/Options.h"
#include "protocol/Http2Decoder.h"
#include "support/Http2FrameWriter.h"

namespace vantor {
namespace {

constexpr std::size_t kRecordSize = 64 * 1024;
constexpr std::size_t kFrameSize = 16 * 1024;

struct Traffic {
    std::vector<std::pair<Direction, std::string>> records;  // direction, data
    std::size_t bodyBytes = 0;
    std::size_t headerBlocks = 0;

    // Adds bytes of one direction as records of at most kRecordSize.
    void Add(Direction direction, const std::string& bytes) {
        for (std::size_t at = 0; at < bytes.size(); at += kRecordSize) {
            records.emplace_back(direction, bytes.substr(at, kRecordSize));
        }
    }
};

const Http2FrameWriter::Fields kRequestFields = {
    {"user-agent", "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0"},
    {"accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
    {"accept-language", "en-GB,en;q=0.5"},
    {"accept-encoding", "gzip, deflate, br"},
    {"cookie", "session=8f2a1c9e7b; theme=dark"},
    {"sec-fetch-mode", "navigate"}};

Http2FrameWriter::Fields ResponseFields(std::size_t bodySize) {
    Http2FrameWriter::Fields fields = {{"server", "nginx/1.22.1"},
                                       {"date", "Tue, 08 Dec 2026 15:00:00 GMT"},
                                       {"cache-control", "no-store"}};
    if (bodySize > 0) {
        fields.emplace_back("content-type", "text/plain");
        fields.emplace_back("content-length", std::to_string(bodySize));
    }
    return fields;
}

std::string Path(std::size_t i) {
    return "/api/items/" + std::to_string(i) + "?view=full";
}

Traffic Http2(std::size_t exchanges, std::size_t bodySize) {
    Http2FrameWriter client;
    Http2FrameWriter server;
    Traffic traffic;
    const std::string body(bodySize, 'x');
    traffic.Add(Direction::Sent,
                std::string(Http2Decoder::kPreface) + Http2FrameWriter::Settings({}));
    traffic.Add(Direction::Received, Http2FrameWriter::Settings({}));
    for (std::size_t i = 0; i < exchanges; ++i) {
        const auto stream = static_cast<std::uint32_t>(2 * i + 1);
        Http2FrameWriter::Fields request = {{":method", "GET"},
                                            {":scheme", "https"},
                                            {":authority", "127.0.0.1:8443"},
                                            {":path", Path(i)}};
        request.insert(request.end(), kRequestFields.begin(), kRequestFields.end());
        traffic.Add(Direction::Sent, client.Headers(stream, request, true));
        Http2FrameWriter::Fields response = {{":status", bodySize > 0 ? "200" : "204"}};
        const auto fields = ResponseFields(bodySize);
        response.insert(response.end(), fields.begin(), fields.end());
        std::string answer = server.Headers(stream, response, bodySize == 0);
        for (std::size_t at = 0; at < bodySize; at += kFrameSize) {
            answer += Http2FrameWriter::Data(stream, std::string_view(body).substr(at, kFrameSize),
                                             at + kFrameSize >= bodySize);
        }
        traffic.Add(Direction::Received, answer);
        traffic.bodyBytes += bodySize;
        traffic.headerBlocks += 2;
    }
    return traffic;
}

Traffic Http1(std::size_t exchanges, std::size_t bodySize) {
    Traffic traffic;
    const std::string body(bodySize, 'x');
    for (std::size_t i = 0; i < exchanges; ++i) {
        std::string request = "GET " + Path(i) + " HTTP/1.1\r\nHost: 127.0.0.1:8443\r\n";
        for (const auto& [name, value] : kRequestFields) {
            request += name + ": " + value + "\r\n";
        }
        traffic.Add(Direction::Sent, request + "\r\n");
        std::string answer = bodySize > 0 ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 204 No Content\r\n";
        for (const auto& [name, value] : ResponseFields(bodySize)) {
            answer += name + ": " + value + "\r\n";
        }
        traffic.Add(Direction::Received, answer + "\r\n" + body);
        traffic.bodyBytes += bodySize;
        traffic.headerBlocks += 2;
    }
    return traffic;
}

void Replay(benchmark::State& state, const Traffic& traffic) {
    Preferences() = AppPreferences{};
    Preferences().max_res_size = 8000;
    Preferences().ParseContentTypes();
    for (auto _ : state) {
        state.PauseTiming();
        auto document = std::make_unique<CSnifferDoc>();
        document->SetCaptureRules(CaptureRules::From(Preferences()));
        CaptureDispatch dispatch([&] { return document.get(); });
        CaptureRecord header;
        header.connectionId = 42;
        header.peerAddress.address = {127, 0, 0, 1};
        header.peerAddress.port = {0x20, 0xFB};
        state.ResumeTiming();
        Direction previous = Direction::None;
        for (const auto& [direction, bytes] : traffic.records) {
            header.direction = direction;
            header.previousDirection = previous;
            header.dataLength = static_cast<std::uint32_t>(bytes.size());
            previous = direction;
            dispatch.Dispatch(header,
                              {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
        }
        benchmark::DoNotOptimize(document->messages().size());
        state.PauseTiming();
        if (document->requests().size() * 2 != traffic.headerBlocks) {
            state.SkipWithError("exchanges went missing");
        }
        document.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(traffic.bodyBytes));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(traffic.headerBlocks));
}

void BM_Http2Data(benchmark::State& state) {
    static const Traffic traffic = Http2(64, 1 << 20);
    Replay(state, traffic);
}
void BM_Http1Data(benchmark::State& state) {
    static const Traffic traffic = Http1(64, 1 << 20);
    Replay(state, traffic);
}
void BM_Http2Headers(benchmark::State& state) {
    static const Traffic traffic = Http2(20'000, 0);
    Replay(state, traffic);
}
void BM_Http1Headers(benchmark::State& state) {
    static const Traffic traffic = Http1(20'000, 0);
    Replay(state, traffic);
}

BENCHMARK(BM_Http2Data)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Http1Data)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Http2Headers)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Http1Headers)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantor

BENCHMARK_MAIN();
