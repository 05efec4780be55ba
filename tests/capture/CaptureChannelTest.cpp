#include "capture/CaptureChannel.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <poll.h>
#include <mutex>
#include <random>
#include <thread>

#include "ScopedEnvironment.h"
#include "TempDirectory.h"
#include "TestSupport.h"
#include "capture/ChannelLayout.h"
#include "document/CSnifferDoc.h"
#include "platform/BlockingCallQueue.h"
#include "platform/Endian.h"
#include "vtcap_channel.h"
#include "vtcap_ring.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A captured process's end of the channel, with the capture provider's own code: it connects,
// makes its ring and hands records over as libvtcap.so does. The channel is the process's own:
// a forked child makes one of its own, as the provider does after fork. Each record takes its
// place among its connection's records here.
class FakeProvider {
public:
    explicit FakeProvider(const std::filesystem::path& socket) {
        vtcap_channel_forget_after_fork();
        vtcap_channel_locate(socket.c_str(), nullptr, nullptr);
    }
    ~FakeProvider() { vtcap_channel_forget_after_fork(); }
    FakeProvider(const FakeProvider&) = delete;
    FakeProvider& operator=(const FakeProvider&) = delete;

    // The process's channel; null while capture does not run (looked for at most once a
    // second after a look that found none, as the provider does).
    vtcap_channel* Channel() {
        vtcap_channel* channel = vtcap_channel_acquire();
        if (channel != nullptr) {
            vtcap_channel_release();
        }
        return channel;
    }
    // Room for a record of dataLength bytes, or nullptr (status() says why). The channel is
    // held, as the provider holds it while it writes, until Commit.
    std::uint8_t* Reserve(std::size_t dataLength, std::chrono::milliseconds wait = 5s) {
        vtcap_channel* channel = vtcap_channel_acquire();
        if (channel == nullptr) {
            m_status = VTCAP_RING_CLOSED;
            return nullptr;
        }
        unsigned char* record = nullptr;
        m_status = vtcap_ring_reserve(&channel->ring, kCaptureHeaderSize + dataLength,
                                      vtcap_monotonic_ms() + wait.count(), &record);
        if (m_status != VTCAP_RING_RESERVED) {
            if (m_status == VTCAP_RING_CLOSED) {
                vtcap_channel_let_go(channel);
            }
            vtcap_channel_release();
            return nullptr;
        }
        const std::lock_guard lock(m_mutex);
        m_held[record] = channel;
        return record;
    }
    // Fills a record of the connection in its next place; claimedLength: a length to claim
    // instead of the data's.
    void Fill(std::uint8_t* record, std::uint32_t connection, std::uint32_t direction,
              std::string_view data, std::uint32_t claimedLength = 0) {
        CaptureRecord header = test::Header(direction, VANTOR_DIRECTION_NONE, connection);
        {
            const std::lock_guard lock(m_mutex);
            auto& [next, previous] = m_order[connection];
            header.providerData = next++;
            header.previousDirection = static_cast<Direction>(previous);
            previous = direction;
        }
        header.dataLength =
            claimedLength != 0 ? claimedLength : static_cast<std::uint32_t>(data.size());
        WriteCaptureRecord(header,
                           std::span<std::uint8_t, kCaptureHeaderSize>(record, kCaptureHeaderSize));
        std::copy(data.begin(), data.end(), record + kCaptureHeaderSize);
    }
    void Commit(std::uint8_t* record) {
        vtcap_channel* channel = nullptr;
        {
            const std::lock_guard lock(m_mutex);
            channel = m_held.at(record);
            m_held.erase(record);
        }
        vtcap_ring_commit(&channel->ring, record);
        vtcap_channel_release();
    }
    // Reserves, fills, commits. False when capture stopped or no room came within wait.
    bool Write(std::uint32_t connection, std::uint32_t direction, std::string_view data,
               std::uint32_t claimedLength = 0, std::chrono::milliseconds wait = 5s) {
        std::uint8_t* record = Reserve(data.size(), wait);
        if (record == nullptr) {
            return false;
        }
        Fill(record, connection, direction, data, claimedLength);
        Commit(record);
        return true;
    }
    int status() const { return m_status; }

private:
    std::mutex m_mutex;
    std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> m_order;
    std::map<std::uint8_t*, vtcap_channel*> m_held;  // reserved records and their channel
    int m_status = VTCAP_RING_RESERVED;
};

// A record as dispatch was handed it.
struct Seen {
    std::uint32_t connection;
    std::string data;
};

class CaptureChannelTest : public testing::Test {
protected:
    CaptureChannelTest()
        : socket(folder / "vantor" / "capture"),
          dispatch([this] { return &document; }),
          channel(
              socket, window,
              [this](const PendingRecord& pending) {
                  dispatchThreads.insert(std::this_thread::get_id());
                  seen.push_back({pending.header.connectionId,
                                  std::string(pending.data.begin(), pending.data.end())});
                  dispatch.Dispatch(pending);
              },
              [this](std::string_view message) { messages.emplace_back(message); }) {}

    // Runs the window thread's loop until done holds, at most for the time given.
    template <typename Done>
    bool RunUntil(Done done, Clock::duration limit = 10s) {
        const auto deadline = Clock::now() + limit;
        while (!done()) {
            if (Clock::now() > deadline) {
                return false;
            }
            window.RunPending(5ms);
        }
        return true;
    }

    test::TempDirectory folder;
    std::filesystem::path socket;
    CSnifferDoc document;
    BlockingCallQueue window;
    CaptureDispatch dispatch;
    std::set<std::thread::id> dispatchThreads;
    std::vector<Seen> seen;
    std::vector<std::string> messages;
    CaptureChannel channel;
};

// Record n of a writer's stream: its number, then filler up to a size that sweeps across every
// offset of the ring's slots as the stream goes on.
std::string NumberedRecord(std::uint32_t n, std::size_t size) {
    std::string data = std::to_string(n) + ":";
    data.resize(std::max(size, data.size()), static_cast<char>('a' + n % 26));
    return data;
}

// Checks that each connection's records arrived complete, once, in order: count and bytes.
void ExpectWholeStreams(const std::vector<Seen>& seen,
                        const std::map<std::uint32_t, std::vector<std::size_t>>& written) {
    std::map<std::uint32_t, std::vector<std::string>> arrived;
    for (const Seen& record : seen) {
        arrived[record.connection].push_back(record.data);
    }
    ASSERT_EQ(arrived.size(), written.size());
    for (const auto& [connection, sizes] : written) {
        const auto& records = arrived[connection];
        ASSERT_EQ(records.size(), sizes.size()) << "connection " << connection;
        for (std::uint32_t n = 0; n < sizes.size(); ++n) {
            ASSERT_EQ(records[n], NumberedRecord(n, sizes[n]))
                << "connection " << connection << ", record " << n;
        }
    }
}

TEST_F(CaptureChannelTest, ProcessesAndThreadsAtOnceLoseNothingAndKeepEachOrder) {
    ASSERT_TRUE(channel.StartCapture());
    ASSERT_TRUE(channel.IsCapturing());
    constexpr std::uint32_t kProcesses = 4;
    constexpr std::uint32_t kThreads = 4;
    constexpr std::uint32_t kRecords = 1500;
    // Every writer's sizes, known to both sides: small ones mostly, now and then a large one.
    const auto sizeOf = [](std::uint32_t connection, std::uint32_t n) -> std::size_t {
        std::minstd_rand random(connection * 100'003 + n);
        return random() % 50 == 0 ? 100'000 + random() % 400'000 : random() % 600;
    };
    std::map<std::uint32_t, std::vector<std::size_t>> written;
    for (std::uint32_t connection = 1; connection <= kProcesses * kThreads; ++connection) {
        for (std::uint32_t n = 0; n < kRecords; ++n) {
            written[connection].push_back(sizeOf(connection, n));
        }
    }
    std::vector<pid_t> children;
    for (std::uint32_t p = 0; p < kProcesses; ++p) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            FakeProvider provider(socket);  // each process a ring of its own
            std::vector<std::thread> threads;
            std::atomic<bool> failed{false};
            for (std::uint32_t t = 0; t < kThreads; ++t) {
                threads.emplace_back([&, t] {
                    const std::uint32_t connection = 1 + p * kThreads + t;
                    for (std::uint32_t n = 0; n < kRecords && !failed; ++n) {
                        if (!provider.Write(connection, n % 3 == 0 ? 1 : 2,
                                            NumberedRecord(n, sizeOf(connection, n)))) {
                            failed = true;  // never set back by another thread's success
                        }
                    }
                });
            }
            for (auto& thread : threads) {
                thread.join();
            }
            ::_exit(failed ? 1 : 0);
        }
        children.push_back(child);
    }
    const std::size_t total = kProcesses * kThreads * kRecords;
    // Until every record came, or a writer gave up (it would never come).
    std::map<pid_t, int> ended;
    const auto writerFailed = [&] {
        for (const pid_t child : children) {
            int status = 0;
            if (ended.count(child) == 0 && ::waitpid(child, &status, WNOHANG) == child) {
                ended[child] = status;
            }
        }
        return std::any_of(ended.begin(), ended.end(),
                           [](const auto& child) { return WEXITSTATUS(child.second) != 0; });
    };
    EXPECT_TRUE(RunUntil([&] { return seen.size() >= total || writerFailed(); }, 120s))
        << seen.size();
    for (const pid_t child : children) {
        int status = 0;
        if (ended.count(child) == 0) {
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            ended[child] = status;
        }
        EXPECT_EQ(WEXITSTATUS(ended[child]), 0) << "a writer gave up";
    }
    ExpectWholeStreams(seen, written);
    EXPECT_THAT(dispatchThreads, testing::ElementsAre(std::this_thread::get_id()));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(channel.LostRecords(), 0u);
    EXPECT_TRUE(RunUntil([&] { return channel.Writers() == 0; })) << "rings of ended processes go";
    channel.StopCapture();
    EXPECT_FALSE(channel.IsCapturing());
}

TEST_F(CaptureChannelTest, CaptureListensInThePrivateFolderOnlyWhileItRuns) {
    for (std::uint32_t round = 1; round <= 3; ++round) {
        ASSERT_TRUE(channel.StartCapture());
        struct stat status {};
        ASSERT_EQ(::lstat(socket.c_str(), &status), 0);
        EXPECT_TRUE(S_ISSOCK(status.st_mode));
        ASSERT_EQ(::stat(socket.parent_path().c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0700u);
        FakeProvider provider(socket);
        ASSERT_NE(provider.Channel(), nullptr);
        ASSERT_TRUE(provider.Write(round, 1, "GET / HTTP/1.1\r\n\r\n"));
        EXPECT_TRUE(RunUntil([&] { return document.messages().size() == round; }));
        channel.StopCapture();
        EXPECT_FALSE(std::filesystem::exists(socket)) << "nobody to connect to while stopped";
        EXPECT_FALSE(provider.Write(round, 1, "GET / HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(provider.status(), VTCAP_RING_CLOSED);
    }
}

TEST_F(CaptureChannelTest, ALengthBeyondTheSlotIsReadOnlyToItsEnd) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(socket);
    // 20 bytes: the slot (8 + 52 + 20) ends with them.
    ASSERT_TRUE(provider.Write(9, 1, "GET /ab HTTP/1.1\r\n\r\n", 0xFFFFFFFF));
    ASSERT_TRUE(provider.Write(10, 1, "GET /next HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(RunUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen[0].data, "GET /ab HTTP/1.1\r\n\r\n");
    EXPECT_EQ(seen[1].data, "GET /next HTTP/1.1\r\n\r\n");
    channel.StopCapture();
}

// Fills the ring behind a reserved slot that is never committed, so that it stays full.
std::uint8_t* FillBehindAStuckSlot(FakeProvider& provider) {
    std::uint8_t* stuck = provider.Reserve(10);
    for (const std::size_t size : {std::size_t{VANTOR_MAX_RECORD_DATA}, std::size_t{65536},
                                   std::size_t{1024}, std::size_t{1}}) {
        while (provider.Write(1, 2, std::string(size, 'b'), 0, 0ms)) {
        }
    }
    return stuck;
}

TEST_F(CaptureChannelTest, StoppingDispatchesWhatWasCommittedWakesWaitingWritersAndNeverWaits) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(socket);
    ASSERT_TRUE(provider.Write(4, 1, "GET /last HTTP/1.1\r\n\r\n"));
    // The reader now waits in its call to the window thread, which has not run it yet.
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(document.messages().empty());
    const auto before = Clock::now();
    channel.StopCapture();
    EXPECT_LT(Clock::now() - before, 1s);
    ASSERT_EQ(document.messages().size(), 1u) << "dispatched while the ring was still there";
    EXPECT_EQ(document.messages()[0]->text(), "GET /last HTTP/1.1\r\n\r\n");

    // A writer waiting for room is let go at the stop.
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider again(socket);
    ASSERT_NE(FillBehindAStuckSlot(again), nullptr);
    std::atomic<int> status{-1};
    std::thread waiting([&] {
        status = again.Write(1, 1, std::string(100'000, 'x'), 0, 10s) ? VTCAP_RING_RESERVED
                                                                       : again.status();
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(status.load(), -1) << "waits for room";
    const auto stopping = Clock::now();
    channel.StopCapture();
    waiting.join();
    EXPECT_EQ(status.load(), VTCAP_RING_CLOSED);
    EXPECT_LT(Clock::now() - stopping, 1s);
}

TEST_F(CaptureChannelTest, TheRingWrapsAtEverySizeAndKeepsEveryByte) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(socket);
    // Sizes step by one byte, so that the ring's end falls at every offset of a slot; the
    // largest records, which fill a quarter of the ring each, wrap too.
    std::map<std::uint32_t, std::vector<std::size_t>> written;
    auto& sizes = written[1];
    for (std::size_t size = 1; size <= 3000; ++size) {
        sizes.push_back(size * 7 % 3001);
    }
    for (int i = 0; i < 12; ++i) {
        sizes.push_back(VANTOR_MAX_RECORD_DATA);
        sizes.push_back(VANTOR_MAX_RECORD_DATA - 1 - static_cast<std::size_t>(i));
    }
    for (std::size_t size = 0; size < 2000; ++size) {
        sizes.push_back(40'000 + size * 13);
    }
    std::thread writer([&] {
        for (std::uint32_t n = 0; n < sizes.size(); ++n) {
            ASSERT_TRUE(provider.Write(1, 2, NumberedRecord(n, sizes[n])));
        }
    });
    EXPECT_TRUE(RunUntil([&] { return seen.size() == sizes.size(); }, 60s));
    writer.join();
    ExpectWholeStreams(seen, written);
    EXPECT_EQ(channel.LostRecords(), 0u);
    channel.StopCapture();
}

TEST_F(CaptureChannelTest, AFullRingMakesWritersWaitForASlowReaderThenDropAndCount) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(socket);
    // The window thread does not run for a while: writers wait for room, then go on.
    std::map<std::uint32_t, std::vector<std::size_t>> written;
    for (std::uint32_t n = 0; n < 40; ++n) {
        written[3].push_back(400'000 + n);
    }
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint32_t n = 0; n < written[3].size(); ++n) {
            ASSERT_TRUE(provider.Write(3, 2, NumberedRecord(n, written[3][n])));
        }
        done = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(done.load()) << "16 MB cannot go into a ring of 4 MiB unread";
    EXPECT_TRUE(RunUntil([&] { return done.load() && seen.size() == written[3].size(); }));
    writer.join();
    ExpectWholeStreams(seen, written);
    EXPECT_EQ(channel.LostRecords(), 0u);

    // Past its deadline a writer gives up; what it drops is counted.
    ASSERT_NE(FillBehindAStuckSlot(provider), nullptr);
    EXPECT_FALSE(provider.Write(3, 2, "late", 0, 50ms));
    EXPECT_EQ(provider.status(), VTCAP_RING_TIMED_OUT);
    vtcap_ring_count_dropped(&provider.Channel()->ring, 3);
    EXPECT_TRUE(RunUntil([&] { return channel.DroppedRecords() == 3; }, 5s));
    EXPECT_EQ(channel.LostRecords(), 3u);
    channel.StopCapture();
}

TEST_F(CaptureChannelTest, StoppingAndStartingUnderLoadNeverWaitsAndKeepsEachOrder) {
    // Writers keep writing whichever capture runs, finding each new one as the provider does,
    // while capture stops and starts under them.
    FakeProvider provider(socket);
    std::atomic<bool> finished{false};
    std::atomic<std::uint64_t> committed{0};
    std::vector<std::thread> writers;
    for (std::uint32_t w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            std::uint32_t n = 0;
            while (!finished) {
                if (provider.Write(100 + w, 2, NumberedRecord(n, n % 7 == 0 ? 70'000 : 100))) {
                    ++n;
                    ++committed;
                } else {
                    std::this_thread::sleep_for(1ms);
                }
            }
        });
    }
    for (int round = 0; round < 4; ++round) {
        ASSERT_TRUE(channel.StartCapture());
        RunUntil([] { return false; }, 1200ms);  // long enough for the writers to find it
        const auto before = Clock::now();
        channel.StopCapture();
        EXPECT_LT(Clock::now() - before, 1s);
    }
    finished = true;
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_GT(seen.size(), 100u);
    EXPECT_LE(seen.size(), committed.load());
    // Each writer's records come in the order written, whatever was missed while stopped.
    std::map<std::uint32_t, std::int64_t> last;
    for (const Seen& record : seen) {
        const std::int64_t n = std::stoll(record.data.substr(0, record.data.find(':')));
        EXPECT_EQ(record.data, NumberedRecord(static_cast<std::uint32_t>(n), record.data.size()));
        auto [previous, fresh] = last.try_emplace(record.connection, -1);
        EXPECT_GT(n, previous->second) << "connection " << record.connection;
        previous->second = n;
    }
}

// A writer process that reserves a slot and then ends, with or without committing it, as a
// program killed at the wrong moment; its exit status says whether it got that far.
pid_t WriterThatEnds(const std::filesystem::path& socket, bool commit) {
    const pid_t child = ::fork();
    if (child == 0) {
        FakeProvider provider(socket);
        const std::string_view text = commit ? "GET /whole HTTP/1.1\r\n\r\n" : "GET /half";
        std::uint8_t* record = provider.Reserve(text.size());
        if (record == nullptr) {
            ::_exit(1);
        }
        provider.Fill(record, 77, 1, text);
        if (commit) {
            provider.Commit(record);
        }
        ::_exit(0);
    }
    return child;
}

TEST_F(CaptureChannelTest, AWriterThatEndsHalfWayCostsOnlyTheRecordItWasWriting) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(socket);
    for (const bool reaped : {true, false}) {
        const pid_t child = WriterThatEnds(socket, false);
        ASSERT_GT(child, 0);
        siginfo_t ended{};
        // Reaped, or ended but not reaped yet (a zombie): either way its ring is over.
        ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &ended,
                           WEXITED | (reaped ? 0 : WNOWAIT)),
                  0);
        ASSERT_EQ(ended.si_status, 0) << "the writer reserved its slot";
        ASSERT_TRUE(provider.Write(reaped ? 5 : 6, 1, "GET /next HTTP/1.1\r\n\r\n"));
        EXPECT_TRUE(RunUntil([&] { return channel.LostRecords() == (reaped ? 1u : 2u); }, 5s));
        if (!reaped) {
            ::waitpid(child, nullptr, 0);
        }
    }
    // One that committed before it ended lost nothing.
    const pid_t whole = WriterThatEnds(socket, true);
    ASSERT_GT(whole, 0);
    ::waitpid(whole, nullptr, 0);
    ASSERT_TRUE(RunUntil([&] { return document.messages().size() == 3; }, 5s));
    EXPECT_EQ(document.messages()[2]->text(), "GET /whole HTTP/1.1\r\n\r\n");
    EXPECT_EQ(channel.LostRecords(), 2u);
    channel.StopCapture();
    EXPECT_EQ(channel.LostRecords(), 2u) << "still told after the stop";
    ASSERT_TRUE(channel.StartCapture());
    EXPECT_EQ(channel.LostRecords(), 0u) << "counted per capture";
    channel.StopCapture();
}

// A child with a ring of its own that does something to it (before), then stops itself
// (SIGSTOP) and once continued does what is left (after), or, with stop false, waits to be
// killed.
template <typename Before, typename After>
pid_t Misbehaving(const std::filesystem::path& socket, Before before, After after,
                  bool stop = true) {
    const pid_t child = ::fork();
    if (child == 0) {
        FakeProvider provider(socket);
        vtcap_channel* channel = provider.Channel();
        if (channel == nullptr || !before(provider, *channel)) {
            ::_exit(1);
        }
        if (!stop) {
            ::pause();
        }
        ::raise(SIGSTOP);
        after(provider, *channel);
        ::_exit(0);
    }
    return child;
}

bool Stopped(pid_t child) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(child), &info, WSTOPPED | WNOWAIT) == 0 &&
           info.si_code == CLD_STOPPED;
}

TEST_F(CaptureChannelTest, AStoppedOrMisbehavingProgramHoldsUpNothingButItsOwnRecords) {
    ASSERT_TRUE(channel.StartCapture());
    // Stopped (a debugger, SIGSTOP) while a record of its was reserved, or inside its ring's
    // lock; its ring's tail and slots overwritten with nonsense off the slots' alignment.
    std::uint8_t* stuck = nullptr;  // the child's own
    const pid_t reserving = Misbehaving(
        socket,
        [&](FakeProvider& provider, vtcap_channel&) {
            stuck = provider.Reserve(6);
            if (stuck != nullptr) {
                provider.Fill(stuck, 41, 1, "slower");
            }
            return stuck != nullptr;
        },
        [&](FakeProvider& provider, vtcap_channel&) { provider.Commit(stuck); });
    const auto nothing = [](FakeProvider&, vtcap_channel&) {};
    const pid_t locking = Misbehaving(
        socket,
        [](FakeProvider&, vtcap_channel& own) {
            std::atomic_ref<std::uint32_t>(
                *reinterpret_cast<std::uint32_t*>(own.object + VANTOR_RING_LOCK_OFFSET))
                .store(1);
            return true;
        },
        nothing);
    const pid_t scribbling = Misbehaving(
        socket,
        [](FakeProvider& provider, vtcap_channel& own) {
            if (!provider.Write(43, 1, "GET /before HTTP/1.1\r\n\r\n")) {
                return false;
            }
            // Once Vantor took it, the ring is broken.
            const auto word = [&own](std::size_t offset) {
                return std::atomic_ref<std::uint64_t>(
                           *reinterpret_cast<std::uint64_t*>(own.object + offset))
                    .load();
            };
            const auto deadline = Clock::now() + 5s;
            while (word(VANTOR_RING_HEAD_OFFSET) != word(VANTOR_RING_TAIL_OFFSET) &&
                   Clock::now() < deadline) {
                std::this_thread::sleep_for(1ms);
            }
            std::memset(own.object + VANTOR_RING_CONTROL_SIZE, 0x5A, 65536);
            const std::uint64_t tail = 4099;
            std::memcpy(own.object + VANTOR_RING_TAIL_OFFSET, &tail, sizeof tail);
            return true;
        },
        nothing, false);
    for (const pid_t child : {reserving, locking}) {
        ASSERT_GT(child, 0);
        const auto deadline = Clock::now() + 10s;
        while (!Stopped(child) && Clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_TRUE(Stopped(child));
    }

    // Everyone else is captured as ever, at once.
    FakeProvider provider(socket);
    const auto before = Clock::now();
    for (std::uint32_t n = 0; n < 200; ++n) {
        ASSERT_TRUE(provider.Write(5, 2, NumberedRecord(n, 5000)));
    }
    EXPECT_TRUE(RunUntil(
        [&] { return std::count_if(seen.begin(), seen.end(), [](const Seen& record) {
                         return record.connection == 5;
                     }) == 200; },
        5s));
    EXPECT_LT(Clock::now() - before, 2s);

    // The stopped programs go on: the record comes, and the ended rings go.
    ::kill(reserving, SIGCONT);
    ::kill(locking, SIGCONT);
    ::kill(scribbling, SIGKILL);
    for (const pid_t child : {reserving, locking, scribbling}) {
        ::waitpid(child, nullptr, 0);
    }
    const auto has = [&](std::string_view text) {
        return std::any_of(seen.begin(), seen.end(),
                           [&](const Seen& record) { return record.data == text; });
    };
    EXPECT_TRUE(RunUntil([&] { return has("slower") && channel.Writers() == 1; }, 5s));
    EXPECT_TRUE(has("GET /before HTTP/1.1\r\n\r\n")) << "written before it broke its ring";
    channel.StopCapture();
}

// Connects to the running capture as a program would and says hello; with ring, its
// descriptor goes along.
int SayHello(const std::filesystem::path& socket, std::uint32_t magic, std::uint32_t status,
             int ring) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    std::uint8_t hello[VANTOR_HELLO_SIZE] = {};
    StoreLE32(std::span<std::uint8_t, 4>(hello + VANTOR_HELLO_MAGIC_OFFSET, 4), magic);
    StoreLE32(std::span<std::uint8_t, 4>(hello + VANTOR_HELLO_STATUS_OFFSET, 4), status);
    iovec iov{hello, sizeof hello};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    if (ring >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &ring, sizeof ring);
    }
    ::sendmsg(fd, &message, MSG_NOSIGNAL);
    return fd;
}

TEST_F(CaptureChannelTest, WhatIsNotAProgramWithARingIsRefusedAndAProgramWithoutOneIsCounted) {
    ASSERT_TRUE(channel.StartCapture());
    const auto memfd = [](off_t size, unsigned seals) {
        const int fd = ::memfd_create("test-ring", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        ::ftruncate(fd, size);
        ::fcntl(fd, F_ADD_SEALS, seals);
        return fd;
    };
    const test::TempDirectory files;
    const int plainFile =
        ::open((files / "ring").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::ftruncate(plainFile, VANTOR_RING_OBJECT_SIZE), 0);
    struct Hello {
        const char* name;
        std::uint32_t magic;
        std::uint32_t status;
        int ring;
    };
    std::vector<int> connections;
    for (const Hello& hello :
         {Hello{"another magic", 0x12345678, VANTOR_HELLO_RING, -1},
          Hello{"no ring", VANTOR_HELLO_MAGIC, VANTOR_HELLO_RING, -1},
          Hello{"a file that can shrink", VANTOR_HELLO_MAGIC, VANTOR_HELLO_RING, plainFile},
          Hello{"the wrong size", VANTOR_HELLO_MAGIC, VANTOR_HELLO_RING,
                memfd(4096, F_SEAL_SHRINK | F_SEAL_GROW)},
          Hello{"unsealed", VANTOR_HELLO_MAGIC, VANTOR_HELLO_RING,
                memfd(VANTOR_RING_OBJECT_SIZE, 0)},
          Hello{"no memory for a ring", VANTOR_HELLO_MAGIC, VANTOR_HELLO_NO_MEMORY, -1}}) {
        SCOPED_TRACE(hello.name);
        const int fd = SayHello(socket, hello.magic, hello.status, hello.ring);
        ASSERT_GE(fd, 0);
        connections.push_back(fd);
    }
    EXPECT_TRUE(RunUntil([&] { return channel.UncapturedPrograms() == 1; }, 5s));
    // Refused: each connection is closed from Vantor's end.
    for (const int fd : connections) {
        pollfd poll{fd, POLLIN, 0};
        EXPECT_EQ(::poll(&poll, 1, 5000), 1);
        char byte = 0;
        EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);
        ::close(fd);
    }
    EXPECT_EQ(channel.Writers(), 0u);
    FakeProvider provider(socket);
    ASSERT_TRUE(provider.Write(1, 1, "GET / HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(RunUntil([&] { return document.messages().size() == 1; }));
    channel.StopCapture();
}

TEST_F(CaptureChannelTest, AChannelThatCannotBeMadeIsReportedAndLeavesNothing) {
    for (const char* place : {"/proc/no-such-folder/capture", "/dev/null/capture"}) {
        messages.clear();
        CaptureChannel unusable(
            place, window, [](const PendingRecord&) {},
            [&](std::string_view message) { messages.emplace_back(message); });
        EXPECT_FALSE(unusable.StartCapture());
        EXPECT_FALSE(unusable.IsCapturing()) << "nothing can arrive: capture stays off";
        EXPECT_THAT(messages, testing::ElementsAre("Fatal Error: Cannot create event."));
        unusable.StopCapture();
        EXPECT_EQ(messages.size(), 1u);
    }
}

}  // namespace
}  // namespace vantor
