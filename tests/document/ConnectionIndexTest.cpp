#include "document/ConnectionIndex.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace vantor {
namespace {

struct Message {
    int value = 0;
};

// Adds, replaces and erases at random, among ids that crowd the same probe runs (a few
// hundred sequential ids in a table of a few hundred slots) and ids far apart, and checks every
// id against a plain map after each step: an erase must never cut another id's probe run.
TEST(ConnectionIndexTest, EraseKeepsEveryOtherEntryFindable) {
    std::mt19937 random(7);
    std::vector<Message> messages(64);
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < 300; ++i) {
        ids.push_back(i);
        ids.push_back(0xFFFFFFFFu - i);
        ids.push_back(i * 0x10000u);
    }
    ConnectionIndex<Message> index;
    std::unordered_map<std::uint32_t, Message*> expected;
    for (int step = 0; step < 20'000; ++step) {
        const std::uint32_t id = ids[random() % ids.size()];
        if (random() % 3 == 0) {
            index.Erase(id);
            expected.erase(id);
        } else {
            Message* message = &messages[random() % messages.size()];
            index.Set(id, message);
            expected[id] = message;
        }
        if (step % 97 == 0 || step > 19'900) {
            for (const std::uint32_t probe : ids) {
                const auto found = expected.find(probe);
                ASSERT_EQ(index.Find(probe), found == expected.end() ? nullptr : found->second)
                    << "step " << step << ", id " << probe;
            }
            ASSERT_EQ(index.size(), expected.size());
        }
    }
    for (const std::uint32_t id : ids) {
        index.Erase(id);
    }
    EXPECT_EQ(index.size(), 0u);
    EXPECT_EQ(index.Find(ids[0]), nullptr);
}

}  // namespace
}  // namespace vantor
