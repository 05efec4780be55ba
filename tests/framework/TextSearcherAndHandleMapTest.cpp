#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>

#include "platform/AsciiText.h"
#include "framework/FlatHandleMap.h"
#include "framework/TextSearcher.h"

namespace vantor {
namespace {

// The plain way: try every position.
std::size_t NaiveFind(std::string_view text, std::string_view what, std::size_t from,
                      bool matchCase) {
    for (std::size_t at = from; at + what.size() <= text.size(); ++at) {
        bool equal = true;
        for (std::size_t i = 0; i < what.size() && equal; ++i) {
            equal = matchCase ? text[at + i] == what[i]
                              : AsciiToLower(text[at + i]) == AsciiToLower(what[i]);
        }
        if (equal) {
            return at;
        }
    }
    return std::string_view::npos;
}

TEST(TextSearcherTest, FindsWhatTryingEveryPositionFinds) {
    // A small alphabet of both cases, a byte above 0x7F and a NUL makes matches, near misses and
    // repeated letters common.
    const std::string alphabet = std::string("aAbB\xC4\xE4 ") + '\0';
    std::mt19937 random(11);
    auto text = [&](std::size_t length) {
        std::string result;
        for (std::size_t i = 0; i < length; ++i) {
            result += alphabet[std::uniform_int_distribution<std::size_t>(
                0, alphabet.size() - 1)(random)];
        }
        return result;
    };
    for (int round = 0; round < 3000; ++round) {
        const std::string haystack =
            text(std::uniform_int_distribution<std::size_t>(0, 60)(random));
        const std::string what = text(std::uniform_int_distribution<std::size_t>(0, 5)(random));
        const bool matchCase = round % 2 == 0;
        const TextSearcher searcher(what, matchCase);
        for (std::size_t from = 0; from <= haystack.size() + 1; ++from) {
            ASSERT_EQ(searcher.Find(haystack, from),
                      from > haystack.size() ? std::string_view::npos
                                             : NaiveFind(haystack, what, from, matchCase))
                << "round " << round << " from " << from;
        }
    }
}

TEST(TextSearcherTest, CaseFoldsOnlyAsciiLetters) {
    EXPECT_EQ(TextSearcher("content-TYPE", false).Find("X\r\nContent-Type: a"), 3u);
    EXPECT_EQ(TextSearcher("content-TYPE", true).Find("X\r\nContent-Type: a"),
              std::string_view::npos);
    EXPECT_EQ(TextSearcher("\xC4", false).Find("\xE4"), std::string_view::npos) << "not a letter";
    EXPECT_EQ(TextSearcher("[", false).Find("{"), std::string_view::npos);
    EXPECT_EQ(TextSearcher("", false).Find("abc", 3), 3u);
}

TEST(FlatHandleMapTest, BehavesAsAHashMapThroughGrowthAndErasure) {
    FlatHandleMap<std::uintptr_t, int> map;
    std::unordered_map<std::uintptr_t, int> expected;
    std::mt19937 random(5);
    // Few distinct keys, many of them neighbours, so that runs of probed slots form and
    // erasures have to move entries back.
    std::uniform_int_distribution<std::uintptr_t> key(1, 600);
    for (int step = 0; step < 60000; ++step) {
        const std::uintptr_t k = key(random) * (step % 3 == 0 ? 8 : 1);
        if (std::uniform_int_distribution<int>(0, 2)(random) == 0) {
            ASSERT_EQ(map.Erase(k), expected.erase(k) == 1);
        } else {
            map.Set(k, step);
            expected[k] = step;
        }
        ASSERT_EQ(map.size(), expected.size());
        if (step % 997 == 0) {
            for (std::uintptr_t probe = 0; probe <= 4800; ++probe) {
                const int* value = map.Find(probe);
                const auto found = expected.find(probe);
                ASSERT_EQ(value != nullptr, found != expected.end()) << probe;
                if (value != nullptr) {
                    ASSERT_EQ(*value, found->second);
                }
            }
        }
    }
    map.Set(0, 1);
    EXPECT_EQ(map.Find(0), nullptr) << "zero is no handle";
    map.Clear();
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.Find(8), nullptr);
}

}  // namespace
}  // namespace vantor
