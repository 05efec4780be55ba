// Saving and opening a large document file: 100,000 messages (request/response pairs with
// kept bodies). Run by hand: build/default/bin/document_bench
//
// The file goes to $VANTOR_BENCH_DIR, or the current directory. A save includes the fsync that
// makes it durable.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "options/Options.h"
#include "document/CSnifferDoc.h"
#include "framework/ByteStreams.h"
#include "framework/CArchive.h"

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
    header.peerAddress.address = {127, 0, 0, 1};
    header.peerAddress.port = {0x1F, 0x90};  // 8080
    for (std::uint32_t c = 1; c <= kPairs; ++c) {
        header.connectionId = c;
        header.direction = Direction::Sent;
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
        header.direction = Direction::Received;
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
BENCHMARK(BM_SaveDocument)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

// The bytes of a save without the file system: what encoding the document costs.
class DiscardingSink : public ByteSink {
public:
    DiscardingSink() {
        m_next = m_buffer.data();
        m_end = m_buffer.data() + m_buffer.size();
    }
    std::uint64_t written = 0;

    std::size_t Pending() const { return static_cast<std::size_t>(m_next - m_buffer.data()); }

protected:
    void WriteMore(std::span<const std::uint8_t> bytes) override {
        written += static_cast<std::uint64_t>(m_next - m_buffer.data()) + bytes.size();
        m_next = m_buffer.data();
    }

private:
    std::array<std::uint8_t, 256 * 1024> m_buffer{};
};

void BM_StoreDocumentWithoutFile(benchmark::State& state) {
    CSnifferDoc document;
    Fill(document);
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        DiscardingSink sink;
        CArchive archive(sink);
        document.Serialize(archive);
        bytes = sink.written + static_cast<std::uint64_t>(sink.Pending());
    }
    SetCounters(state, bytes, document.messages().size());
}
BENCHMARK(BM_StoreDocumentWithoutFile)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

long PeakResidentKilobytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long ResidentKilobytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// The peak memory of opening the file, measured in a fresh run of this program
// (document_bench --open-peak FILE), so that nothing else this process held counts.
double PeakMegabytesOfOneOpen(const std::string& path) {
    const std::string command =
        "/proc/" + std::to_string(::getpid()) + "/exe --open-peak '" + path + "'";
    FILE* child = ::popen(command.c_str(), "r");
    if (child == nullptr) {
        return -1;
    }
    double megabytes = -1;
    if (std::fscanf(child, "%lf", &megabytes) != 1) {
        megabytes = -1;
    }
    ::pclose(child);
    return megabytes;
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
    state.counters["open peak MiB"] = peak;
    state.counters["peak / file"] = peak / (static_cast<double>(fileBytes) / 1048576.0);
    std::filesystem::remove(path);
}
BENCHMARK(BM_OpenDocument)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

}  // namespace
}  // namespace vantor

int main(int argc, char** argv) {
    if (argc == 3 && std::string_view(argv[1]) == "--open-peak") {
        const long before = vantor::ResidentKilobytes();
        vantor::CSnifferDoc document;
        if (document.OnOpenDocument(argv[2])) {
            return 1;
        }
        std::printf("%.1f\n",
                    static_cast<double>(vantor::PeakResidentKilobytes() - before) / 1024.0);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
