#include "capture/CaptureChannel.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
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

namespace vantor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Writes records into the running channel the way the capture provider does: it finds the
// channel through the channel file, takes the buffer naming itself, writes, hands over.
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
    }

    bool ok() const { return m_full && m_empty && m_buffer; }

    // Takes the buffer, writes the record, hands it over. False when the channel closed or the
    // buffer did not come free within the time.
    bool Write(CaptureRecord header, std::string_view data, std::uint32_t claimedLength = 0) {
        return Take(static_cast<std::uint32_t>(::getpid())) &&
               (Fill(header, data, claimedLength), HandOver(), true);
    }
    bool Take(std::uint32_t holder) {
        const auto deadline = Clock::now() + 5s;
        while (!m_empty->TryTake(holder)) {
            if (m_empty->IsClosed() || Clock::now() > deadline) {
                return false;
            }
            m_empty->WaitForChange(10ms);
        }
        return true;
    }
    void Fill(CaptureRecord header, std::string_view data, std::uint32_t claimedLength = 0) {
        header.dataLength =
            claimedLength != 0 ? claimedLength : static_cast<std::uint32_t>(data.size());
        WriteCaptureRecord(header, std::span<std::uint8_t, kCaptureHeaderSize>(m_buffer->data(),
                                                                               kCaptureHeaderSize));
        std::copy(data.begin(), data.end(), m_buffer->data() + kCaptureHeaderSize);
    }
    void HandOver() { m_full->Set(); }

    test::EventEnd& empty() { return *m_empty; }
    ChannelNames names;

private:
    static std::string ReadFile(const std::filesystem::path& file) {
        std::ifstream input(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
    }

    std::unique_ptr<test::EventEnd> m_full;
    std::unique_ptr<test::EventEnd> m_empty;
    std::unique_ptr<test::MappedObject> m_buffer;
};

class CaptureChannelTest : public testing::Test {
protected:
    CaptureChannelTest()
        : channelFile(folder / "vantor" / "channel"),
          dispatch([this] { return &document; }, noSignals),
          channel(
              channelFile, dispatch.pendingRecord(), window,
              [this] {
                  dispatchThreads.push_back(std::this_thread::get_id());
                  dispatch.OnCaptureRecord();
              },
              [this](std::string_view message) { messages.emplace_back(message); }) {
        dispatch.SetSignals(channel);
    }

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

    struct NoSignals : CaptureSignals {
        void ResetFull() override {}
        void SetEmpty() override {}
    } noSignals;

    test::ScopedDefaultOptions options;
    test::TempDirectory folder;
    std::filesystem::path channelFile;
    CSnifferDoc document;
    BlockingCallQueue window;
    CaptureDispatch dispatch;
    std::vector<std::thread::id> dispatchThreads;
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
    EXPECT_THAT(dispatchThreads, testing::Each(std::this_thread::get_id()));
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

TEST_F(CaptureChannelTest, ALengthBeyondTheBufferIsReadOnlyToItsEnd) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    std::thread writer(
        [&] { provider.Write(test::Header(1, 0, 9), "GET / HTTP/1.1\r\n\r\n", 0xFFFFFFFF); });
    EXPECT_TRUE(RunUntil([&] { return document.messages().size() == 1; }));
    writer.join();
    EXPECT_EQ(document.messages()[0]->text().size(), VANTOR_MAX_RECORD_DATA);
    EXPECT_TRUE(document.messages()[0]->text().starts_with("GET / HTTP/1.1"));
    channel.StopCapture();
}

TEST_F(CaptureChannelTest, StoppingDuringAHandOverDispatchesItAndDoesNotWait) {
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
    ASSERT_EQ(document.messages().size(), 1u) << "dispatched while the buffer was still there";
    EXPECT_EQ(document.messages()[0]->text(), "GET /last HTTP/1.1\r\n\r\n");
}

TEST_F(CaptureChannelTest, StoppingWakesWaitingWritersAndRemovesTheNames) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    ASSERT_TRUE(provider.empty().TryTake());  // a writer holds the buffer; the next one waits
    std::atomic<bool> gaveUp{false};
    std::thread waiting([&] { gaveUp = !provider.Write(test::Header(1, 0, 1), "x"); });
    std::this_thread::sleep_for(50ms);
    const auto before = Clock::now();
    channel.StopCapture();
    waiting.join();
    EXPECT_TRUE(gaveUp.load());
    EXPECT_LT(Clock::now() - before, 1s);
    EXPECT_EQ(test::EventEnd::Open(provider.names.full), nullptr);
    EXPECT_EQ(test::MappedObject::Open(provider.names.buffer, VANTOR_BUFFER_SIZE), nullptr);
}

TEST_F(CaptureChannelTest, StartStopAndStartAgainCapturesAgain) {
    for (std::uint32_t round = 1; round <= 3; ++round) {
        ASSERT_TRUE(channel.StartCapture());
        FakeProvider provider(channelFile);
        ASSERT_TRUE(provider.ok());
        std::thread writer(
            [&] { provider.Write(test::Header(1, 0, round), "GET / HTTP/1.1\r\n\r\n"); });
        EXPECT_TRUE(RunUntil([&] { return document.messages().size() == round; }));
        writer.join();
        channel.StopCapture();
    }
}

// A writer process that takes the buffer and then ends, with or without handing it over.
// (The child only uses what the parent set up: no allocation after fork.)
pid_t WriterThatEnds(FakeProvider& provider, bool handOver) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (!provider.ok() || !provider.Take(static_cast<std::uint32_t>(::getpid()))) {
            ::_exit(1);
        }
        provider.Fill(test::Header(1, 0, 77),
                      handOver ? "GET /whole HTTP/1.1\r\n\r\n" : "GET /half");
        if (handOver) {
            provider.HandOver();
        }
        ::_exit(0);  // as a program killed at the wrong moment
    }
    return child;
}

TEST_F(CaptureChannelTest, ABufferWhoseWriterDiedIsTakenBackAndCaptureGoesOn) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    const pid_t child = WriterThatEnds(provider, false);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);

    std::atomic<bool> written{false};
    const auto before = Clock::now();
    std::thread writer(
        [&] { written = provider.Write(test::Header(1, 0, 5), "GET /next HTTP/1.1\r\n\r\n"); });
    EXPECT_TRUE(RunUntil([&] { return document.messages().size() == 1; }, 5s));
    const auto recovered = Clock::now() - before;
    writer.join();
    EXPECT_TRUE(written.load());
    EXPECT_LT(recovered, 1s);
    EXPECT_EQ(channel.LostRecords(), 1u);
    ASSERT_EQ(document.messages().size(), 1u);
    EXPECT_EQ(document.messages()[0]->text(), "GET /next HTTP/1.1\r\n\r\n");
    channel.StopCapture();
    EXPECT_EQ(channel.LostRecords(), 1u) << "still told after the stop";
    ASSERT_TRUE(channel.StartCapture());
    EXPECT_EQ(channel.LostRecords(), 0u) << "counted per capture";
    channel.StopCapture();
}

TEST_F(CaptureChannelTest, AZombieWriterCountsAsEndedAndAHandedOverRecordIsKept) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    ASSERT_TRUE(provider.ok());
    // Ended but not reaped yet: still a process id, but it will never hand over.
    const pid_t zombie = WriterThatEnds(provider, false);
    ASSERT_GT(zombie, 0);
    // Waited for without reaping it. The reader may take the buffer back before or after this.
    siginfo_t ended{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(zombie), &ended, WEXITED | WNOWAIT), 0);
    ASSERT_EQ(ended.si_status, 0) << "the writer took the buffer";
    std::thread writer([&] { provider.Write(test::Header(1, 0, 5), "GET /a HTTP/1.1\r\n\r\n"); });
    EXPECT_TRUE(RunUntil([&] { return document.messages().size() == 1; }, 5s));
    writer.join();
    EXPECT_EQ(channel.LostRecords(), 1u);
    ::waitpid(zombie, nullptr, 0);

    // One that handed over before it ended lost nothing.
    const pid_t whole = WriterThatEnds(provider, true);
    ASSERT_GT(whole, 0);
    ::waitpid(whole, nullptr, 0);
    EXPECT_TRUE(RunUntil([&] { return document.messages().size() == 2; }, 5s));
    EXPECT_EQ(document.messages()[1]->text(), "GET /whole HTTP/1.1\r\n\r\n");
    EXPECT_EQ(channel.LostRecords(), 1u);
    channel.StopCapture();
}

TEST_F(CaptureChannelTest, ALivingWriterOrOneThatCannotBeNamedKeepsTheBuffer) {
    ASSERT_TRUE(channel.StartCapture());
    FakeProvider provider(channelFile);
    for (const std::uint32_t holder :
         {static_cast<std::uint32_t>(::getpid()), std::uint32_t{VANTOR_EVENT_UNKNOWN_HOLDER}}) {
        ASSERT_TRUE(provider.Take(holder));
        RunUntil([] { return false; }, 150ms);
        EXPECT_EQ(provider.empty().Word(), holder << VANTOR_EVENT_HOLDER_SHIFT);
        provider.Fill(test::Header(1, 0, holder), "GET /slow HTTP/1.1\r\n\r\n");
        provider.HandOver();
        EXPECT_TRUE(RunUntil([&] { return provider.empty().Word() == VANTOR_EVENT_SIGNALLED; }));
    }
    EXPECT_EQ(channel.LostRecords(), 0u);
    EXPECT_EQ(document.messages().size(), 2u);
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
    // Files of 1 MiB cannot be made, the events' 64 bytes can.
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
