// Throughput of the capture path: records handed to dispatch until they are messages of the
// document. Run by hand: build/default/bin/capture_bench
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <random>
#include <string>
#include <vector>

#include "capture/CaptureDispatch.h"
#include "document/CSnifferDoc.h"
#include "options/Options.h"

namespace vantor {
namespace {

const std::string kRequest =
    "GET /orders/1234 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nUser-Agent: curl/7.88.1\r\n"
    "Accept: */*\r\n\r\n";
const std::string kResponse =
    "HTTP/1.1 200 OK\r\nServer: bench\r\nContent-Type: text/html\r\nContent-Length: 40\r\n\r\n"
    "<html><body>order 1234 shipped</body></html>";

void SetSmallPairCounters(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * 2);
    state.SetBytesProcessed(state.iterations() *
                            static_cast<std::int64_t>(kRequest.size() + kResponse.size()));
}

// A document with dispatch in front of it, fed records as the capture reader would.
class CapturePath {
public:
    CapturePath() : m_dispatch([this] { return &document; }) {
        Preferences() = AppPreferences{};
        Preferences().ParseContentTypes();
    }

    void Record(Direction direction, Direction previous, std::uint32_t connection,
                std::span<const std::uint8_t> data) {
        CaptureRecord header;
        header.direction = direction;
        header.previousDirection = previous;
        header.connectionId = connection;
        header.dataLength = static_cast<std::uint32_t>(data.size());
        m_dispatch.Dispatch(header, data);
    }

    // One request and its response on a connection that has not been seen before.
    void Pair(std::uint32_t connection) {
        Record(Direction::Sent, Direction::None, connection, Bytes(kRequest));
        Record(Direction::Received, Direction::Sent, connection, Bytes(kResponse));
    }

    static std::span<const std::uint8_t> Bytes(const std::string& text) {
        return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
    }

    CSnifferDoc document;

private:
    CaptureDispatch m_dispatch;
};

// (a) Many small request/response pairs, each on a new connection.
//
// Growing: 500,000 pairs into one document, which ends with 1,000,000 messages; memory grows
// as in a long capture, and the kernel's first touch of every new page is part of the cost.
void BM_SmallPairsGrowing(benchmark::State& state) {
    CapturePath path;
    std::uint32_t connection = 0;
    for (auto _ : state) {
        path.Pair(++connection);
    }
    SetSmallPairCounters(state);
}
BENCHMARK(BM_SmallPairsGrowing)->Iterations(500'000)->Unit(benchmark::kNanosecond);

// Steady: the document is started anew every 20,000 messages, so the allocator reuses memory it
// already has; this is the cost of the capture path itself.
void BM_SmallPairsSteady(benchmark::State& state) {
    CapturePath path;
    std::uint32_t connection = 0;
    for (auto _ : state) {
        path.Pair(++connection);
        if (path.document.messages().size() >= 20'000) {
            state.PauseTiming();
            path.document.OnNewDocument();
            state.ResumeTiming();
        }
    }
    SetSmallPairCounters(state);
}
BENCHMARK(BM_SmallPairsSteady);

// (b) Large kept bodies arriving in 64 KiB records: response text grows to 8000 KB (the largest
// the Capture Options dialog allows), then a new response begins.
void BM_LargeBodies(benchmark::State& state) {
    CapturePath path;
    Preferences().max_res_size = 8000;
    path.document.SetCaptureRules(CaptureRules::From(Preferences()));
    std::string header = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    std::vector<std::uint8_t> chunk(64 * 1024);
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = static_cast<std::uint8_t>('a' + i % 26);
    }
    constexpr int kRecordsPerResponse = 120;  // 7.5 MiB, all kept
    std::uint32_t connection = 0;
    int recordInResponse = kRecordsPerResponse;
    for (auto _ : state) {
        if (recordInResponse == kRecordsPerResponse) {
            if (path.document.messages().size() >= 128) {
                state.PauseTiming();
                path.document.OnNewDocument();
                state.ResumeTiming();
            }
            ++connection;
            path.Record(Direction::Sent, Direction::None, connection, CapturePath::Bytes(kRequest));
            path.Record(Direction::Received, Direction::Sent, connection,
                        CapturePath::Bytes(header));
            recordInResponse = 0;
        }
        path.Record(Direction::Received, Direction::Received, connection, chunk);
        ++recordInResponse;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(chunk.size()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LargeBodies);

// Per-record time against document size: a document prefilled with N messages over N/2
// connections, then exchanges on 64 connections that stay active, as in a live capture:
// request, request continuation, response, response continuation. Finding the latest message
// of a connection and pairing take constant time, so the time per record does not grow with N.
//
// Exchange is kept out of line so that its instructions can be counted on their own, which
// is repeatable where times are not:
//   valgrind --tool=callgrind --toggle-collect='*Exchange*'
//       build/default/bin/capture_bench --benchmark_filter=InDocumentOf/10000/
[[gnu::noinline]] void Exchange(CapturePath& path, std::uint32_t connection) {
    static const auto more = CapturePath::Bytes("X-More: 1\r\n");
    path.Record(Direction::Sent, Direction::Received, connection, CapturePath::Bytes(kRequest));
    path.Record(Direction::Sent, Direction::Sent, connection, more);
    path.Record(Direction::Received, Direction::Sent, connection, CapturePath::Bytes(kResponse));
    path.Record(Direction::Received, Direction::Received, connection, more);
}

void BM_RecordInDocumentOf(benchmark::State& state) {
    CapturePath path;
    const auto messages = static_cast<std::uint32_t>(state.range(0));
    const std::uint32_t prefilled = messages / 2;
    for (std::uint32_t c = 1; c <= prefilled; ++c) {
        path.Pair(c);
    }
    std::uint32_t exchange = 0;
    for (auto _ : state) {
        Exchange(path, prefilled + 1 + exchange++ % 64);
    }
    state.SetItemsProcessed(state.iterations() * 4);
}
BENCHMARK(BM_RecordInDocumentOf)->Arg(10'000)->Arg(1'000'000)->Iterations(25'000);

// Heap bytes per message for small request/response pairs (text, header fields, captions,
// indexes), measured with the allocator's own count.
void BM_MemoryPerMessage(benchmark::State& state) {
    for (auto _ : state) {
        const std::size_t before = mallinfo2().uordblks;
        {
            CapturePath path;
            for (std::uint32_t c = 1; c <= 50'000; ++c) {
                path.Pair(c);
            }
            const std::size_t after = mallinfo2().uordblks;
            state.counters["bytes/message"] = static_cast<double>(after - before) / 100'000.0;
            state.counters["text bytes/message"] =
                static_cast<double>(kRequest.size() + kResponse.size()) / 2.0;
        }
    }
}
BENCHMARK(BM_MemoryPerMessage)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantor

BENCHMARK_MAIN();
