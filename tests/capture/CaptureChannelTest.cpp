#include "capture/CaptureChannel.h"

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "capture/ChannelLayout.h"
#include "document/CSnifferDoc.h"
#include "platform/BlockingCallQueue.h"
#include "platform/NamedEvent.h"
#include "platform/SharedMemory.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Writes records into a channel by its names, the way the capture provider does.
class FakeProvider {
public:
    explicit FakeProvider(const ChannelNames& names)
        : m_full(NamedEvent::Open(names.full)),
          m_empty(NamedEvent::Open(names.empty)),
          m_buffer(SharedMemory::Open(names.buffer, VANTOR_BUFFER_SIZE)) {}

    bool ok() const { return m_full && m_empty && m_buffer; }

    // Takes the buffer, writes the record, hands it over. False when the channel closed or the
    // buffer did not come free within the time.
    bool Write(CaptureRecord header, std::string_view data, std::uint32_t claimedLength = 0) {
        const auto deadline = Clock::now() + 5s;
        while (!m_empty->TryTake()) {
            if (m_empty->IsClosed() || Clock::now() > deadline) {
                return false;
            }
            m_empty->Wait(10ms);
        }
        header.dataLength =
            claimedLength != 0 ? claimedLength : static_cast<std::uint32_t>(data.size());
        WriteCaptureRecord(header, std::span<std::uint8_t, kCaptureHeaderSize>(m_buffer->data(),
                                                                               kCaptureHeaderSize));
        std::copy(data.begin(), data.end(), m_buffer->data() + kCaptureHeaderSize);
        m_full->Set();
        return true;
    }

    NamedEvent& empty() { return *m_empty; }

private:
    std::unique_ptr<NamedEvent> m_full;
    std::unique_ptr<NamedEvent> m_empty;
    std::unique_ptr<SharedMemory> m_buffer;
};

class CaptureChannelTest : public testing::Test {
protected:
    CaptureChannelTest()
        : names(ChannelNames::ForTag("test-" + std::to_string(::getpid()))),
          dispatch([this] { return &document; }, noSignals),
          channel(
              names, dispatch.pendingRecord(), window,
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
    ChannelNames names;
    CSnifferDoc document;
    BlockingCallQueue window;
    CaptureDispatch dispatch;
    std::vector<std::thread::id> dispatchThreads;
    std::vector<std::string> messages;
    CaptureChannel channel;
};

TEST_F(CaptureChannelTest, RecordsFromAnotherThreadAreDispatchedOnTheWindowThread) {
    channel.StartCapture();
    ASSERT_TRUE(channel.IsCapturing());
    FakeProvider provider(names);
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
    channel.StopCapture();
    EXPECT_FALSE(channel.IsCapturing());
}

TEST_F(CaptureChannelTest, ALengthBeyondTheBufferIsReadOnlyToItsEnd) {
    channel.StartCapture();
    FakeProvider provider(names);
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
    channel.StartCapture();
    FakeProvider provider(names);
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
    channel.StartCapture();
    FakeProvider provider(names);
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
    EXPECT_EQ(NamedEvent::Open(names.full), nullptr);
    EXPECT_EQ(SharedMemory::Open(names.buffer, VANTOR_BUFFER_SIZE), nullptr);
}

TEST_F(CaptureChannelTest, StartStopAndStartAgainCapturesAgain) {
    for (std::uint32_t round = 1; round <= 3; ++round) {
        channel.StartCapture();
        FakeProvider provider(names);
        ASSERT_TRUE(provider.ok());
        std::thread writer(
            [&] { provider.Write(test::Header(1, 0, round), "GET / HTTP/1.1\r\n\r\n"); });
        EXPECT_TRUE(RunUntil([&] { return document.messages().size() == round; }));
        writer.join();
        channel.StopCapture();
    }
}

TEST(CaptureChannelFailureTest, EventsThatCannotBeCreatedAreReportedOnce) {
    PendingRecord pending;
    BlockingCallQueue window;
    std::vector<std::string> messages;
    const ChannelNames unusable{"/no/such/full", "/no/such/empty", "/no/such/buffer"};
    CaptureChannel channel(
        unusable, pending, window, [] {},
        [&](std::string_view message) { messages.emplace_back(message); });
    channel.StartCapture();
    EXPECT_TRUE(channel.IsCapturing()) << "the reader runs anyway";
    channel.StopCapture();
    EXPECT_THAT(messages, testing::ElementsAre("Fatal Error: Cannot create event."));
}

TEST(ChannelNamesTest, NamesCarryTheUserAndTheRuntimeFolder) {
    ::setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
    const std::string tag = ChannelNames::DefaultTag();
    EXPECT_EQ(
        tag, std::to_string(::geteuid()) + "-" + [] {
            char hex[9];
            std::snprintf(hex, sizeof hex, "%08x", vantor_fnv1a("/run/user/1000"));
            return std::string(hex);
        }());
    const ChannelNames names = ChannelNames::ForTag(tag);
    EXPECT_EQ(names.full, "/VANTOR_HTTPBUFFER_FULL." + tag);
    EXPECT_EQ(names.empty, "/VANTOR_HTTPBUFFER_EMPTY." + tag);
    EXPECT_EQ(names.buffer, "/HTTP_SNIFFER_BUFFER_VANTOR." + tag);
    ::setenv("XDG_RUNTIME_DIR", "/run/user/1001", 1);
    EXPECT_NE(ChannelNames::DefaultTag(), tag);
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(ChannelNames::ForTag("a/b").full, "") << "a tag cannot leave the name space";
}

}  // namespace
}  // namespace vantor
