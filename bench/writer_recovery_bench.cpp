// How fast capture recovers when a captured program dies in the middle of a record: a child
// process reserves a slot of the ring as a writer does and ends without committing it; the time
// from its end to the reader skipping the slot is what the records behind it wait. Prints the
// median, the 90th percentile and the longest of ROUNDS rounds (default 200).
//
// Usage: writer_recovery_bench [ROUNDS]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ProviderEnd.h"
#include "capture/CaptureChannel.h"
#include "capture/ChannelLayout.h"
#include "platform/BlockingCallQueue.h"
#include "vtcap_ring.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("vantor-recovery-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);

    vantor::PendingRecord pending;
    vantor::BlockingCallQueue window;
    vantor::CaptureChannel channel(
        folder / "channel", pending, window, [] {},
        [](std::string_view message) {
            std::fprintf(stderr, "%.*s\n", int(message.size()), message.data());
        });
    if (!channel.StartCapture()) {
        return 1;
    }
    auto full = vantor::test::EventEnd::Open(channel.names().full);
    auto empty = vantor::test::EventEnd::Open(channel.names().empty);
    auto object = vantor::test::MappedObject::Open(channel.names().buffer, VANTOR_BUFFER_SIZE);
    if (full == nullptr || empty == nullptr || object == nullptr) {
        return 1;
    }
    const vtcap_ring ring{object->data(), full->Atomic(), empty->Atomic(), nullptr, nullptr};

    std::vector<double> milliseconds;
    for (int round = 0; round < rounds; ++round) {
        const pid_t child = ::fork();
        if (child == 0) {
            // Reserves a slot, then is gone.
            unsigned char* record = nullptr;
            ::_exit(vtcap_ring_reserve(&ring, 100, static_cast<std::uint32_t>(::getpid()),
                                       vtcap_monotonic_ms() + 1000, &record) == VTCAP_RING_RESERVED
                        ? 0
                        : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        const auto ended = Clock::now();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "round %d: the writer could not reserve a slot\n", round);
            return 1;
        }
        while (channel.LostRecords() < static_cast<std::uint64_t>(round) + 1) {
            std::this_thread::sleep_for(50us);
            if (Clock::now() - ended > 10s) {
                std::fprintf(stderr, "round %d: the slot was never skipped\n", round);
                return 1;
            }
        }
        milliseconds.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - ended).count());
    }
    channel.StopCapture();
    std::filesystem::remove_all(folder);

    std::sort(milliseconds.begin(), milliseconds.end());
    const auto at = [&](double share) {
        return milliseconds[std::min(
            milliseconds.size() - 1,
            static_cast<std::size_t>(share * static_cast<double>(milliseconds.size())))];
    };
    std::printf(
        "slot skipped after its writer died, %d rounds: median %.1f ms, 90%% %.1f ms, "
        "longest %.1f ms; %llu records counted lost\n",
        rounds, at(0.5), at(0.9), milliseconds.back(),
        static_cast<unsigned long long>(channel.LostRecords()));
    return 0;
}
