#include "capture/CaptureChannel.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "ProviderEnd.h"
#include "ScopedEnvironment.h"
#include "TempDirectory.h"
#include "TestSupport.h"
#include "capture/ChannelLayout.h"
#include "document/CSnifferDoc.h"
#include "platform/BlockingCallQueue.h"
#include "platform/EventLayout.h"
#include "vtcap_ring.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::uint32_t OwnPid() {
    return static_cast<std::uint32_t>(::getpid());
}

// Writes records into the running channel with the capture provider's own ring code: it finds
// the channel through the channel file, maps the objects, reserves, fills and commits.
class FakeProvider {
public:
    explicit FakeProvider(const std::filesystem::path& channelFile) {
        const std::string text = ReadFile(channelFile);
        char tag[VANTOR_CHANNEL_TAG_SIZE];
        unsigned long long pidNamespace = 0;
        if (vantor_parse_channel_file(text.data(), text.size(), tag, &pidNamespace) == 0) {
            return;
        }
        names = ChannelNames::ForTag(tag);
        m_full = test::EventEnd::Open(names.full);
        m_empty = test::EventEnd::Open(names.empty);
        m_buffer = test::MappedObject::Open(names.buffer, VANTOR_BUFFER_SIZE);
        if (ok()) {
            m_ring = {m_buffer->data(), m_full->Atomic(), m_empty->Atomic(), nullptr, nullptr};
        }
    }

    bool ok() const { return m_full && m_empty && m_buffer; }

    // Room for a record of dataLength bytes, or nullptr (status() says why).
    std::uint8_t* Reserve(std::size_t dataLength, std::uint32_t holder = OwnPid(),
                          std::chrono::milliseconds wait = 5s) {
        unsigned char* record = nullptr;
        const auto deadline = vtcap_monotonic_ms() + wait.count();
        m_status =
            vtcap_ring_reserve(&m_ring, kCaptureHeaderSize + dataLength, holder, deadline, &record);
        return m_status == VTCAP_RING_RESERVED ? record : nullptr;
    }
    static void Fill(std::uint8_t* record, CaptureRecord header, std::string_view data,
                     std::uint32_t claimedLength = 0) {
        header.dataLength =
            claimedLength != 0 ? claimedLength : static_cast<std::uint32_t>(data.size());
        WriteCaptureRecord(header,
                           std::span<std::uint8_t, kCaptureHeaderSize>(record, kCaptureHeaderSize));
        std::copy(data.begin(), data.end(), record + kCaptureHeaderSize);
    }
    void Commit(std::uint8_t* record) { vtcap_ring_commit(&m_ring, record); }
    // Reserves, fills, commits. False when the channel closed or no room came within wait.
    bool Write(CaptureRecord header, std::string_view data, std::uint32_t claimedLength = 0,
               std::chrono::milliseconds wait = 5s) {
        std::uint8_t* record = Reserve(data.size(), OwnPid(), wait);
        if (record == nullptr) {
            return false;
        }
        Fill(record, header, data, claimedLength);
        Commit(record);
        return true;
    }
    void CountDropped(std::uint64_t records) { vtcap_ring_count_dropped(&m_ring, records); }
    int status() const { return m_status; }
    std::atomic_ref<std::uint32_t> LockWord() const {
        return std::atomic_ref<std::uint32_t>(
            *reinterpret_cast<std::uint32_t*>(m_buffer->data() + VANTOR_RING_LOCK_OFFSET));
    }

    ChannelNames names;

private:
    static std::string ReadFile(const std::filesystem::path& file) {
        std::ifstream input(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
    }

    std::unique_ptr<test::EventEnd> m_full;
    std::unique_ptr<test::EventEnd> m_empty;
    std::unique_ptr<test::MappedObject> m_buffer;
    vtcap_ring m_ring{};
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
        : channelFile(folder / "vantor" / "channel"),
          dispatch([this] { return &document; }),
          channel(
              channelFile, dispatch.pendingRecord(), window,
              [this] {
                  dispatchThreads.insert(std::this_thread::get_id());
                  const PendingRecord& pending = dispatch.pendingRecord();
                  seen.push_back({pending.header.connectionId,
                                  std::string(pending.data.begin(), pending.data.end())});
                  dispatch.OnCaptureRecord();
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

    test::ScopedDefaultOptions options;
    test::TempDirectory folder;
    std::filesystem::path channelFile;
    CSnifferDoc document;
    BlockingCallQueue window;
    CaptureDispatch dispatch;
    std::set<std::thread::id> dispatchThreads;
    std::vector<Seen> seen;
    std::vector<std::string> messages;
    CaptureChannel channel;
};

TEST_F(CaptureChannelTest, RecordsFromAnotherThreadAreDispatchedOnTheWindowThread) {
    ASSERT_TRUE(channel.StartCapture());
    ASSERT_TRUE(channel.IsCapturing());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    std::thread writer([&] {
        for (std::uint32_t c = 1; c <= 50; ++c) {
            ASSERT_TRUE(provider.Write(test::Header(1, 0, c),
                                       "GET /" + std::to_string(c) + " HTTP/1.1\r\n\r\n"));
            ASSERT_TRUE(provider.Write(test::Header(2, 1, c), "HTTP/1.1 200 OK\r\n\r\n"));
        }
    });
    EXPECT_TRUE(RunUntil([&] { return document.messages().size() == 100; }));
    writer.join();
    for (const auto& request : document.requests()) {
        EXPECT_NE(request->response(), nullptr);
    }
    EXPECT_THAT(dispatchThreads, testing::ElementsAre(std::this_thread::get_id()));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(channel.LostRecords(), 0u);
    channel.StopCapture();
    EXPECT_FALSE(channel.IsCapturing());
}

TEST_F(CaptureChannelTest, EveryStartPublishesANewUnguessableChannelOnlyTheUserCanUse) {
    std::set<std::string> tags;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(channel.StartCapture());
        const FakeProvider provider(channelFile);
        ASSERT_TRUE(provider.ok());
        const std::string tag = provider.names.full.substr(provider.names.full.find('.') + 1);
        EXPECT_EQ(tag.size(), 32u);
        EXPECT_EQ(provider.names.full, "/VANTOR_HTTPBUFFER_FULL." + tag);
        EXPECT_EQ(provider.names.empty, "/VANTOR_HTTPBUFFER_EMPTY." + tag);
        EXPECT_EQ(provider.names.buffer, "/HTTP_SNIFFER_BUFFER_VANTOR." + tag);
        EXPECT_EQ(channel.names().full, provider.names.full);
        tags.insert(tag);
        for (const std::string& object :
             {provider.names.full, provider.names.empty, provider.names.buffer}) {
            struct stat status {};
            ASSERT_EQ(::stat(("/dev/shm" + object).c_str(), &status), 0) << object;
            EXPECT_EQ(status.st_mode & 0777, 0600u) << object;
        }
        struct stat status {};
        ASSERT_EQ(::stat(channelFile.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u);
        ASSERT_EQ(::stat(channelFile.parent_path().c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0700u);
        channel.StopCapture();
        EXPECT_FALSE(std::filesystem::exists(channelFile)) << "no channel while stopped";
        EXPECT_EQ(test::EventEnd::Open(provider.names.full), nullptr);
        EXPECT_EQ(test::MappedObject::Open(provider.names.buffer, VANTOR_BUFFER_SIZE), nullptr);
    }
    EXPECT_EQ(tags.size(), 3u);
}

TEST_F(CaptureChannelTest, ALengthBeyondTheSlotIsReadOnlyToItsEnd) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    // 20 bytes: the slot (8 + 52 + 20) ends with them.
    ASSERT_TRUE(provider.Write(test::Header(1, 0, 9), "GET /ab HTTP/1.1\r\n\r\n", 0xFFFFFFFF));
    ASSERT_TRUE(provider.Write(test::Header(1, 0, 10), "GET /next HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(RunUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen[0].data, "GET /ab HTTP/1.1\r\n\r\n");
    EXPECT_EQ(seen[1].data, "GET /next HTTP/1.1\r\n\r\n");
    channel.StopCapture();
}

TEST_F(CaptureChannelTest, StoppingDispatchesWhatWasCommittedAndDoesNotWait) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    ASSERT_TRUE(provider.Write(test::Header(1, 0, 4), "GET /last HTTP/1.1\r\n\r\n"));
    // The reader now waits in its call to the window thread, which has not run it yet.
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(document.messages().empty());
    const auto before = Clock::now();
    channel.StopCapture();
    EXPECT_LT(Clock::now() - before, 1s);
    ASSERT_EQ(document.messages().size(), 1u) << "dispatched while the ring was still there";
    EXPECT_EQ(document.messages()[0]->text(), "GET /last HTTP/1.1\r\n\r\n");
}

// Fills the ring behind a reserved slot that is never committed, so that it stays full.
std::uint8_t* FillBehindAStuckSlot(FakeProvider& provider, std::uint32_t holder) {
    std::uint8_t* stuck = provider.Reserve(10, holder);
    for (const std::size_t size : {std::size_t{VANTOR_MAX_RECORD_DATA}, std::size_t{65536},
                                   std::size_t{1024}, std::size_t{1}}) {
        while (provider.Write(test::Header(2, 2, 1), std::string(size, 'b'), 0, 0ms)) {
        }
    }
    return stuck;
}

TEST_F(CaptureChannelTest, StoppingWakesWritersWaitingForRoomAndRemovesTheNames) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    ASSERT_NE(FillBehindAStuckSlot(provider, OwnPid()), nullptr);
    std::atomic<int> status{-1};
    std::thread waiting([&] {
        status = provider.Write(test::Header(1, 0, 1), std::string(100'000, 'x'), 0, 10s)
                     ? VTCAP_RING_RESERVED
                     : provider.status();
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(status.load(), -1) << "waits for room";
    const auto before = Clock::now();
    channel.StopCapture();
    waiting.join();
    EXPECT_EQ(status.load(), VTCAP_RING_CLOSED);
    EXPECT_LT(Clock::now() - before, 1s);
    EXPECT_EQ(test::EventEnd::Open(provider.names.full), nullptr);
    EXPECT_EQ(test::MappedObject::Open(provider.names.buffer, VANTOR_BUFFER_SIZE), nullptr);
}

TEST_F(CaptureChannelTest, StartStopAndStartAgainCapturesAgain) {
    for (std::uint32_t round = 1; round <= 3; ++round) {
        ASSERT_TRUE(channel.StartCapture());
        FakeProvider provider(channelFile);
        ASSERT_TRUE(provider.ok());
        ASSERT_TRUE(provider.Write(test::Header(1, 0, round), "GET / HTTP/1.1\r\n\r\n"));
        EXPECT_TRUE(RunUntil([&] { return document.messages().size() == round; }));
        channel.StopCapture();
    }
}

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

TEST_F(CaptureChannelTest, TheRingWrapsAtEverySizeAndKeepsEveryByte) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
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
            ASSERT_TRUE(provider.Write(test::Header(2, 2, 1), NumberedRecord(n, sizes[n])));
        }
    });
    EXPECT_TRUE(RunUntil([&] { return seen.size() == sizes.size(); }, 60s));
    writer.join();
    ExpectWholeStreams(seen, written);
    EXPECT_EQ(channel.LostRecords(), 0u);
    channel.StopCapture();
}

TEST_F(CaptureChannelTest, ManyWriterProcessesAndThreadsAtOnceLoseNothingAndKeepEachOrder) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    constexpr std::uint32_t kProcesses = 4;
    constexpr std::uint32_t kThreads = 4;
    constexpr std::uint32_t kRecords = 1500;
    // Every writer's sizes, known to both sides: small ones mostly, now and then a large one.
    const auto sizeOf = [](std::uint32_t connection, std::uint32_t n) -> std::size_t {
        std::minstd_rand random(connection * 100'003 + n);
        return random() % 50 == 0 ? 100'000 + random() % 400'000 : random() % 600;
    };
    std::map<std::uint32_t, std::vector<std::size_t>> written;
    for (std::uint32_t p = 0; p < kProcesses; ++p) {
        for (std::uint32_t t = 0; t < kThreads; ++t) {
            const std::uint32_t connection = 1 + p * kThreads + t;
            for (std::uint32_t n = 0; n < kRecords; ++n) {
                written[connection].push_back(sizeOf(connection, n));
            }
        }
    }
    std::vector<pid_t> children;
    for (std::uint32_t p = 0; p < kProcesses; ++p) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::vector<std::thread> threads;
            std::atomic<bool> failed{false};
            for (std::uint32_t t = 0; t < kThreads; ++t) {
                threads.emplace_back([&, t] {
                    const std::uint32_t connection = 1 + p * kThreads + t;
                    for (std::uint32_t n = 0; n < kRecords && !failed; ++n) {
                        failed = !provider.Write(test::Header(1, 1, connection),
                                                 NumberedRecord(n, sizeOf(connection, n)));
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
    EXPECT_TRUE(RunUntil([&] { return seen.size() >= total; }, 120s)) << seen.size();
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    ExpectWholeStreams(seen, written);
    EXPECT_EQ(channel.LostRecords(), 0u);
    channel.StopCapture();
}

TEST_F(CaptureChannelTest, AFullRingMakesWritersWaitForASlowReaderThenDropAndCount) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    // The window thread does not run for a while: writers wait for room, then go on.
    std::map<std::uint32_t, std::vector<std::size_t>> written;
    for (std::uint32_t n = 0; n < 40; ++n) {
        written[3].push_back(400'000 + n);
    }
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint32_t n = 0; n < written[3].size(); ++n) {
            ASSERT_TRUE(provider.Write(test::Header(2, 2, 3), NumberedRecord(n, written[3][n])));
        }
        done = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(done.load()) << "16 MB cannot go into a ring of 4 MiB unread";
    EXPECT_TRUE(RunUntil([&] { return done.load() && seen.size() == written[3].size(); }));
    writer.join();
    ExpectWholeStreams(seen, written);
    EXPECT_EQ(channel.LostRecords(), 0u);

    // Past its deadline a writer gives up; what it drops is counted and told.
    ASSERT_NE(FillBehindAStuckSlot(provider, VANTOR_EVENT_UNKNOWN_HOLDER), nullptr);
    EXPECT_FALSE(provider.Write(test::Header(2, 2, 3), "late", 0, 50ms));
    EXPECT_EQ(provider.status(), VTCAP_RING_TIMED_OUT);
    provider.CountDropped(3);
    EXPECT_TRUE(RunUntil([&] { return channel.DroppedRecords() == 3; }, 5s));
    EXPECT_EQ(channel.LostRecords(), 3u);
    channel.StopCapture();
}

TEST_F(CaptureChannelTest, StoppingAndStartingUnderLoadNeverWaitsAndKeepsEachOrder) {
    // Writers keep writing whichever capture runs, finding each new one through the channel
    // file, while capture stops and starts under them.
    std::atomic<bool> finished{false};
    std::atomic<std::uint64_t> committed{0};
    std::vector<std::thread> writers;
    for (std::uint32_t w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            std::uint32_t n = 0;
            while (!finished) {
                FakeProvider provider(channelFile);
                while (provider.ok() && !finished &&
                       provider.Write(test::Header(2, 2, 100 + w),
                                      NumberedRecord(n, n % 7 == 0 ? 70'000 : 100))) {
                    ++n;
                    ++committed;
                }
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    for (int round = 0; round < 8; ++round) {
        ASSERT_TRUE(channel.StartCapture());
        RunUntil([] { return false; }, 100ms);
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
    EXPECT_EQ(channel.LostRecords(), 0u);
}

// A writer process that reserves a slot and then ends, with or without committing it.
// (The child only uses what the parent set up: no allocation after fork.)
pid_t WriterThatEnds(FakeProvider& provider, bool commit) {
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string_view text = commit ? "GET /whole HTTP/1.1\r\n\r\n" : "GET /half";
        std::uint8_t* record = provider.ok() ? provider.Reserve(text.size(), OwnPid()) : nullptr;
        if (record == nullptr) {
            ::_exit(1);
        }
        FakeProvider::Fill(record, test::Header(1, 0, 77), text);
        if (commit) {
            provider.Commit(record);
        }
        ::_exit(0);  // as a program killed at the wrong moment
    }
    return child;
}

TEST_F(CaptureChannelTest, ASlotWhoseWriterDiedIsSkippedAndCaptureGoesOn) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    const pid_t child = WriterThatEnds(provider, false);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);

    const auto before = Clock::now();
    ASSERT_TRUE(provider.Write(test::Header(1, 0, 5), "GET /next HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(RunUntil([&] { return document.messages().size() == 1; }, 5s));
    EXPECT_LT(Clock::now() - before, 1s);
    EXPECT_EQ(channel.LostRecords(), 1u);
    ASSERT_EQ(document.messages().size(), 1u);
    EXPECT_EQ(document.messages()[0]->text(), "GET /next HTTP/1.1\r\n\r\n");
    channel.StopCapture();
    EXPECT_EQ(channel.LostRecords(), 1u) << "still told after the stop";
    ASSERT_TRUE(channel.StartCapture());
    EXPECT_EQ(channel.LostRecords(), 0u) << "counted per capture";
    channel.StopCapture();
}

TEST_F(CaptureChannelTest, AZombieWriterCountsAsEndedAndACommittedRecordIsKept) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    // Ended but not reaped yet: still a process id, but it will never commit.
    const pid_t zombie = WriterThatEnds(provider, false);
    ASSERT_GT(zombie, 0);
    siginfo_t ended{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(zombie), &ended, WEXITED | WNOWAIT), 0);
    ASSERT_EQ(ended.si_status, 0) << "the writer reserved its slot";
    ASSERT_TRUE(provider.Write(test::Header(1, 0, 5), "GET /a HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(RunUntil([&] { return document.messages().size() == 1; }, 5s));
    EXPECT_EQ(channel.LostRecords(), 1u);
    ::waitpid(zombie, nullptr, 0);

    // One that committed before it ended lost nothing.
    const pid_t whole = WriterThatEnds(provider, true);
    ASSERT_GT(whole, 0);
    ::waitpid(whole, nullptr, 0);
    EXPECT_TRUE(RunUntil([&] { return document.messages().size() == 2; }, 5s));
    EXPECT_EQ(document.messages()[1]->text(), "GET /whole HTTP/1.1\r\n\r\n");
    EXPECT_EQ(channel.LostRecords(), 1u);
    channel.StopCapture();
}

TEST_F(CaptureChannelTest, ALivingWriterOrOneThatCannotBeNamedKeepsItsSlotAndTheOrder) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    for (const std::uint32_t holder : {OwnPid(), std::uint32_t{VANTOR_EVENT_UNKNOWN_HOLDER}}) {
        seen.clear();
        std::uint8_t* slow = provider.Reserve(4, holder);
        ASSERT_NE(slow, nullptr);
        ASSERT_TRUE(provider.Write(test::Header(1, 0, 2), "fast"));
        RunUntil([] { return false; }, 150ms);
        EXPECT_TRUE(seen.empty()) << "nothing passes a slot being written";
        FakeProvider::Fill(slow, test::Header(1, 0, 1), "slow");
        provider.Commit(slow);
        EXPECT_TRUE(RunUntil([&] { return seen.size() == 2; }));
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].data, "slow");
        EXPECT_EQ(seen[1].data, "fast");
    }
    EXPECT_EQ(channel.LostRecords(), 0u);
    channel.StopCapture();
}

TEST_F(CaptureChannelTest, ALockLeftByAWriterThatDiedIsFreed) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Killed inside the reservation's few instructions.
        std::uint32_t free = 0;
        const std::uint32_t mine = (OwnPid() << VANTOR_EVENT_HOLDER_SHIFT) | 1u;
        ::_exit(provider.LockWord().compare_exchange_strong(free, mine) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::atomic<bool> written{false};
    std::thread writer([&] { written = provider.Write(test::Header(1, 0, 6), "after"); });
    EXPECT_TRUE(RunUntil([&] { return seen.size() == 1; }, 5s));
    writer.join();
    EXPECT_TRUE(written.load());
    EXPECT_EQ(provider.LockWord().load(), 0u);
    channel.StopCapture();
}

// The channel objects of this process that exist now.
std::set<std::string> OwnChannelObjects() {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string name = "/" + entry.path().filename().string();
        if (name.starts_with("/VANTOR_HTTPBUFFER_FULL.")) {
            if (auto event = test::EventEnd::Open(name);
                event != nullptr && event->Owner() == static_cast<std::uint32_t>(::getpid())) {
                found.insert(name);
            }
        }
    }
    return found;
}

TEST_F(CaptureChannelTest, AChannelThatCannotBePublishedIsReportedAndLeavesNothing) {
    const std::set<std::string> before = OwnChannelObjects();
    CaptureChannel unpublishable(
        "/proc/no-such-folder/channel", dispatch.pendingRecord(), window, [] {},
        [&](std::string_view message) { messages.emplace_back(message); });
    EXPECT_FALSE(unpublishable.StartCapture());
    EXPECT_FALSE(unpublishable.IsCapturing()) << "nothing can arrive: capture stays off";
    EXPECT_THAT(messages, testing::ElementsAre("Fatal Error: Cannot create event."));
    EXPECT_EQ(OwnChannelObjects(), before);
    unpublishable.StopCapture();
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(CaptureChannelTest, ABufferThatCannotBeMadeIsReportedAndLeavesNothing) {
    // The ring's megabytes cannot be made, the events' 64 bytes can.
    const std::set<std::string> before = OwnChannelObjects();
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 64 * 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool started = channel.StartCapture();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(started);
    EXPECT_FALSE(channel.IsCapturing());
    EXPECT_THAT(messages, testing::ElementsAre("Fatal Error: Cannot create event."));
    EXPECT_EQ(OwnChannelObjects(), before);
    EXPECT_FALSE(std::filesystem::exists(channelFile));
    // And with the limit gone it starts.
    EXPECT_TRUE(channel.StartCapture());
    channel.StopCapture();
}

TEST(ChannelNamesTest, NamesCarryTheTagAndTheChannelFileTheRuntimeFolder) {
    const ChannelNames names = ChannelNames::ForTag("0123abcd");
    EXPECT_EQ(names.full, "/VANTOR_HTTPBUFFER_FULL.0123abcd");
    EXPECT_EQ(names.empty, "/VANTOR_HTTPBUFFER_EMPTY.0123abcd");
    EXPECT_EQ(names.buffer, "/HTTP_SNIFFER_BUFFER_VANTOR.0123abcd");
    EXPECT_EQ(ChannelNames::ForTag("a/b").full, "") << "a tag cannot leave the name space";

    const std::string tag = ChannelNames::RandomTag();
    EXPECT_THAT(tag, testing::MatchesRegex("[0-9a-f]{32}"));
    EXPECT_NE(ChannelNames::RandomTag(), tag);

    test::ScopedEnvironment environment;
    environment.Set("XDG_RUNTIME_DIR", "/run/user/1000");
    EXPECT_EQ(ChannelNames::DefaultChannelFile(), "/run/user/1000/vantor/channel");
    environment.Set("XDG_RUNTIME_DIR", std::nullopt);
    environment.Set("TMPDIR", "/var/tmp");
    EXPECT_EQ(ChannelNames::DefaultChannelFile(),
              "/var/tmp/vantor-runtime-" + std::to_string(::geteuid()) + "/vantor/channel");
    environment.Set("TMPDIR", "relative");
    EXPECT_EQ(ChannelNames::DefaultChannelFile(),
              "/tmp/vantor-runtime-" + std::to_string(::geteuid()) + "/vantor/channel");
}

TEST(ChannelFileTest, OnlyATagAndANamespaceOnOneLineAreRead) {
    const std::string tag(32, 'a');
    char read[VANTOR_CHANNEL_TAG_SIZE];
    unsigned long long pidNamespace = 0;
    const auto parse = [&](const std::string& text) {
        return vantor_parse_channel_file(text.data(), text.size(), read, &pidNamespace) != 0;
    };
    ASSERT_TRUE(parse(tag + " 4026531836\n"));
    EXPECT_EQ(std::string(read), tag);
    EXPECT_EQ(pidNamespace, 4026531836ull);
    for (const std::string& bad :
         {std::string(), tag, tag + " \n", tag + " 12", tag + "  12\n", tag + " 12 \n",
          std::string(31, 'a') + " 12\n", std::string(33, 'a') + " 12\n",
          std::string(31, 'a') + "A 12\n", std::string(31, 'a') + "/ 12\n",
          tag + " 123456789012345678901\n"}) {
        EXPECT_FALSE(parse(bad)) << bad;
    }
}

}  // namespace
}  // namespace vantor
