#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ProviderEnd.h"
#include "platform/BlockingCallQueue.h"
#include "platform/EventLayout.h"
#include "platform/NamedEvent.h"
#include "platform/SharedMemory.h"
#include "platform/Uuid.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using WaitResult = NamedEvent::WaitResult;

// Object names of this test process, so that parallel test runs never meet.
std::string Name(const std::string& what) {
    return "/vantor-test-" + what + "." + std::to_string(::getpid());
}

TEST(UuidTest, TextFormIsTheGuidLayout) {
    const Uuid known = {{0xE2, 0x93, 0x1C, 0x6A, 0x7D, 0x4B, 0x08, 0x4F, 0x9E, 0x35, 0xC2, 0xD1,
                         0x8B, 0x40, 0xF7, 0xA6}};
    EXPECT_EQ(known.ToString(), "6a1c93e2-4b7d-4f08-9e35-c2d18b40f7a6");
    EXPECT_EQ(Uuid::FromString("{6A1C93E2-4B7D-4F08-9E35-C2D18B40F7A6}"), known);
    EXPECT_EQ(Uuid::FromString("6a1c93e2-4b7d-4f08-9e35-c2d18b40f7a6"), known);
    for (const char* bad :
         {"", "6a1c93e2-4b7d-4f08-9e35-c2d18b40f7a", "6a1c93e2x4b7d-4f08-9e35-c2d18b40f7a6",
          "6a1c93e2-4b7d-4f08-9e35-c2d18b40f7ag", "{6a1c93e2-4b7d-4f08-9e35-c2d18b40f7a6"}) {
        EXPECT_EQ(Uuid::FromString(bad), std::nullopt) << bad;
    }
}

TEST(UuidTest, NewIdentifiersAreRandomVersionFour) {
    const auto a = Uuid::Create();
    const auto b = Uuid::Create();
    ASSERT_TRUE(a && b);
    EXPECT_NE(*a, *b);
    const std::string text = a->ToString();
    EXPECT_EQ(text[14], '4');
    EXPECT_THAT(std::string("89ab"), testing::HasSubstr(std::string(1, text[19])));
    EXPECT_EQ(Uuid::FromString(text), a);
}

TEST(SharedMemoryTest, CreatedObjectsAreSharedPrivateAndNeverTakenOver) {
    auto created = SharedMemory::Create(Name("memory"), 4096);
    ASSERT_NE(created, nullptr);
    created->data()[100] = 42;
    auto opened = test::MappedObject::Open(Name("memory"), 4096);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->data()[100], 42);
    EXPECT_EQ(test::MappedObject::Open(Name("memory"), 8192), nullptr) << "smaller than asked";
    struct stat status {};
    ASSERT_EQ(::stat(("/dev/shm" + Name("memory")).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    // A name that exists, whoever made it, is not created again: the maker would still have
    // it open.
    EXPECT_EQ(SharedMemory::Create(Name("memory"), 4096), nullptr);
    EXPECT_EQ(opened->data()[100], 42);
    created->Unlink();
    EXPECT_EQ(test::MappedObject::Open(Name("memory"), 4096), nullptr);
    auto again = SharedMemory::Create(Name("memory"), 4096);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->data()[100], 0);
    EXPECT_EQ(opened->data()[100], 42) << "the old mapping stays valid";
    again->Unlink();
}

TEST(NamedEventTest, SetResetAndWaitWithTimeout) {
    auto event = NamedEvent::Create(Name("event"), false);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(test::EventEnd::Open(Name("event"))->Owner(), static_cast<std::uint32_t>(::getpid()));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(event->Wait(30ms), WaitResult::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 30ms);
    event->Set();
    EXPECT_EQ(event->Wait(0ms), WaitResult::Signalled);
    EXPECT_EQ(event->Wait(0ms), WaitResult::Signalled) << "manual reset: stays signalled";
    event->Reset();
    EXPECT_EQ(event->Wait(0ms), WaitResult::TimedOut);
    event->Unlink();
    EXPECT_EQ(test::EventEnd::Open(Name("event")), nullptr);
}

TEST(NamedEventTest, ASetInAnotherProcessWakesTheWaiter) {
    const std::string name = Name("wake");
    auto event = NamedEvent::Create(name, false);
    ASSERT_NE(event, nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto opened = test::EventEnd::Open(name);
        std::this_thread::sleep_for(50ms);
        if (opened != nullptr) {
            opened->Set();
        }
        ::_exit(opened != nullptr ? 0 : 1);
    }
    EXPECT_EQ(event->Wait(5000ms), WaitResult::Signalled);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    event->Unlink();
}

TEST(NamedEventTest, ClosingWakesEveryWaiterAtOnceAndForGood) {
    auto event = NamedEvent::Create(Name("close"), false);
    ASSERT_NE(event, nullptr);
    std::vector<std::thread> waiters;
    std::atomic<int> closed{0};
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            if (event->Wait(10'000ms) == WaitResult::Closed) {
                ++closed;
            }
        });
    }
    std::this_thread::sleep_for(50ms);
    const auto before = std::chrono::steady_clock::now();
    event->MarkClosed();
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_EQ(closed.load(), 4);
    event->Set();
    EXPECT_EQ(event->Wait(0ms), WaitResult::Closed);
    event->Unlink();
}

TEST(BlockingCallQueueTest, ACallRunsOnTheOwnerThreadAndTheCallerWaitsForIt) {
    BlockingCallQueue queue;
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    std::thread caller([&] {
        EXPECT_TRUE(queue.Call([&] { ranOn = std::this_thread::get_id(); }));
        returned = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned.load()) << "the caller waits until the owner runs its call";
    while (queue.RunPending(10ms) == 0) {
    }
    caller.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(BlockingCallQueueTest, ClosingReleasesWaitingCallersWithoutRunningThem) {
    BlockingCallQueue queue;
    std::atomic<int> ran{0};
    std::atomic<int> refused{0};
    std::thread caller([&] {
        if (!queue.Call([&] { ++ran; })) {
            ++refused;
        }
    });
    std::this_thread::sleep_for(30ms);
    queue.Close();
    caller.join();
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(refused.load(), 1);
    EXPECT_FALSE(queue.Call([] {}));
    queue.Reopen();
    std::thread again([&] { EXPECT_TRUE(queue.Call([&] { ++ran; })); });
    while (queue.RunPending(10ms) == 0) {
    }
    again.join();
    EXPECT_EQ(ran.load(), 1);
}

TEST(BlockingCallQueueTest, AThrowingCallStillReleasesItsCaller) {
    BlockingCallQueue queue;
    std::thread caller([&] { queue.Call([] { throw std::runtime_error("dispatch failed"); }); });
    bool thrown = false;
    while (!thrown) {
        try {
            queue.RunPending(10ms);
        } catch (const std::runtime_error&) {
            thrown = true;
        }
    }
    caller.join();  // would hang if the caller were not released
}

}  // namespace
}  // namespace vantor
