// Saving and opening a large document file: 100,000 messages (request/response pairs with
// kept bodies). Run by hand: build/default/bench/document_bench
//
// The file goes to $VANTOR_BENCH_DIR, or the current directory. A save includes the fsync that
// makes it durable.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "app/options/Options.h"
#include "document/CSnifferDoc.h"

namespace vantor {
namespace {

constexpr std::uint32_t kPairs = 50'000;

std::filesystem::path BenchFile() {
    const char* directory = std::getenv("VANTOR_BENCH_DIR");
    return std::filesystem::path(directory != nullptr ? directory : ".") / "document_bench.vtr";
}

std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Pairs whose responses keep HTML bodies of 500 to 3,500 bytes.
void Fill(CSnifferDoc& document) {
    Preferences() = AppPreferences{};
    Preferences().ParseContentTypes();
    std::mt19937 random(42);
    std::uniform_int_distribution<std::size_t> bodySize(500, 3500);
    CaptureRecord header;
    header.peerAddress = SockAddrIn::FromHost({127, 0, 0, 1}, 8080);
    for (std::uint32_t c = 1; c <= kPairs; ++c) {
        header.connectionId = c;
        header.direction = DIRECTION_SENT;
        const std::string request = "GET /orders/" + std::to_string(c) +
                                    " HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n"
                                    "User-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n"
                                    "Accept: text/html,application/xhtml+xml\r\n\r\n";
        document.NewRequest(header, Bytes(request));
        std::string body = "<html><body>";
        while (body.size() < bodySize(random)) {
            body +=
                "<p>order " + std::to_string(c) + " line " + std::to_string(body.size()) + "</p>\n";
        }
        const std::string response =
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
            "Content-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        header.direction = DIRECTION_RECEIVED;
        document.NewResponse(header, Bytes(response));
    }
}

void SetCounters(benchmark::State& state, std::uintmax_t fileBytes, std::size_t messages) {
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fileBytes));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(messages));
    state.counters["file MB"] = static_cast<double>(fileBytes) / 1e6;
}

void BM_SaveDocument(benchmark::State& state) {
    CSnifferDoc document;
    Fill(document);
    const std::string path = BenchFile().string();
    for (auto _ : state) {
        if (document.OnSaveDocument(path)) {
            state.SkipWithError("save failed");
            break;
        }
    }
    SetCounters(state, std::filesystem::file_size(path), document.messages().size());
}
BENCHMARK(BM_SaveDocument)->Unit(benchmark::kMillisecond)->MinTime(3);

long PeakResidentKilobytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The peak memory of opening the file, measured in a child process of its own so that nothing
// else this process ever held counts.
double PeakMegabytesOfOneOpen(const std::string& path) {
    int pipe[2];
    if (::pipe(pipe) != 0) {
        return -1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const long before = PeakResidentKilobytes();
        long grown = -1;
        {
            CSnifferDoc document;
            if (!document.OnOpenDocument(path)) {
                grown = PeakResidentKilobytes() - before;
            }
        }
        const ssize_t wrote = ::write(pipe[1], &grown, sizeof grown);
        ::_exit(wrote == sizeof grown ? 0 : 1);
    }
    long grown = -1;
    ::close(pipe[1]);
    const ssize_t got = ::read(pipe[0], &grown, sizeof grown);
    ::close(pipe[0]);
    ::waitpid(child, nullptr, 0);
    return got == sizeof grown ? static_cast<double>(grown) / 1024.0 : -1;
}

void BM_OpenDocument(benchmark::State& state) {
    const std::string path = BenchFile().string();
    std::size_t messages = 0;
    {
        CSnifferDoc document;
        Fill(document);
        messages = document.messages().size();
        if (document.OnSaveDocument(path)) {
            state.SkipWithError("save failed");
            return;
        }
    }
    for (auto _ : state) {
        CSnifferDoc document;
        if (document.OnOpenDocument(path)) {
            state.SkipWithError("open failed");
            break;
        }
        state.PauseTiming();  // freeing the messages is not part of opening
        document.DeleteContents();
        state.ResumeTiming();
    }
    const auto fileBytes = std::filesystem::file_size(path);
    SetCounters(state, fileBytes, messages);
    const double peak = PeakMegabytesOfOneOpen(path);
    state.counters["peak MB"] = peak;
    state.counters["peak / file"] = peak / (static_cast<double>(fileBytes) / 1e6 / 1.048576);
    std::filesystem::remove(path);
}
BENCHMARK(BM_OpenDocument)->Unit(benchmark::kMillisecond)->MinTime(3);

}  // namespace
}  // namespace vantor

BENCHMARK_MAIN();
