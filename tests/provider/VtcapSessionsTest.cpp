#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "vtcap_sessions.h"

namespace vantor {
namespace {

TEST(VtcapSessionsTest, ASessionIsRecalledUntilANewerOneTakesItsEntry) {
    std::vector<vtcap_session> table(8);
    int first = 0;
    int second = 0;
    int fd = -1;
    std::uint64_t inode = 0;
    EXPECT_EQ(vtcap_session_recall(table.data(), 8, &first, &fd, &inode), 0) << "never seen";
    vtcap_session_remember(table.data(), 8, &first, 7, 4711);
    ASSERT_EQ(vtcap_session_recall(table.data(), 8, &first, &fd, &inode), 1);
    EXPECT_EQ(fd, 7);
    EXPECT_EQ(inode, 4711u);
    // The session moved to another socket (a reconnect): the newer one counts.
    vtcap_session_remember(table.data(), 8, &first, 9, 4712);
    ASSERT_EQ(vtcap_session_recall(table.data(), 8, &first, &fd, &inode), 1);
    EXPECT_EQ(fd, 9);
    EXPECT_EQ(inode, 4712u);

    // With one entry, a second session pushes the first out rather than being taken for it.
    std::vector<vtcap_session> one(1);
    vtcap_session_remember(one.data(), 1, &first, 7, 4711);
    vtcap_session_remember(one.data(), 1, &second, 8, 4800);
    EXPECT_EQ(vtcap_session_recall(one.data(), 1, &first, &fd, &inode), 0);
    ASSERT_EQ(vtcap_session_recall(one.data(), 1, &second, &fd, &inode), 1);
    EXPECT_EQ(fd, 8);

    EXPECT_EQ(vtcap_session_recall(nullptr, 8, &first, &fd, &inode), 0);
    EXPECT_EQ(vtcap_session_recall(table.data(), 6, &first, &fd, &inode), 0) << "not a power of 2";
    vtcap_session_remember(table.data(), 8, nullptr, 1, 1);  // no session: nothing to remember
}

TEST(VtcapSessionsTest, ThreadsSharingAnEntryNeverSeeAnotherSessionsSocket) {
    // Every session maps to the one entry; each writes its own socket over and over while
    // readers check that whatever they recall belongs to the session they asked about.
    std::vector<vtcap_session> table(1);
    constexpr int kSessions = 4;
    int sessions[kSessions] = {};
    std::atomic<bool> stop{false};
    std::atomic<long> wrong{0};
    std::atomic<long> recalled{0};
    std::vector<std::thread> threads;
    for (int s = 0; s < kSessions; ++s) {
        threads.emplace_back([&, s] {
            for (int i = 0; i < 200000; ++i) {
                vtcap_session_remember(table.data(), 1, &sessions[s], 100 + s,
                                       static_cast<std::uint64_t>(1000 + s));
            }
        });
        threads.emplace_back([&, s] {
            while (!stop.load()) {
                int fd = -1;
                std::uint64_t inode = 0;
                if (vtcap_session_recall(table.data(), 1, &sessions[s], &fd, &inode)) {
                    ++recalled;
                    if (fd != 100 + s || inode != static_cast<std::uint64_t>(1000 + s)) {
                        ++wrong;
                    }
                }
            }
        });
    }
    for (std::size_t t = 0; t < threads.size(); t += 2) {
        threads[t].join();
    }
    // On a busy machine the writers may be done before a reader had a turn: the entry keeps the
    // last one's session, which its reader finds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (recalled.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    stop = true;
    for (std::size_t t = 1; t < threads.size(); t += 2) {
        threads[t].join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(recalled.load(), 0);
}

}  // namespace
}  // namespace vantor
