#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/BlockingCallQueue.h"
#include "platform/Uuid.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;

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
