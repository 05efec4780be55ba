#include "protocol/tls/KeyLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantor {
namespace {

KeyLog::Random RandomOf(std::uint8_t first) {
    KeyLog::Random random{};
    random[0] = first;
    return random;
}

std::string Hex(std::uint8_t first, std::size_t length) {
    static const char* digits = "0123456789abcdef";
    return std::string{digits[first >> 4], digits[first & 15]} + std::string(2 * length - 2, '0');
}

TEST(KeyLogTest, LearnsTheSecretsOfItsLinesWhereverTheyAreCut) {
    const std::string log =
        "# a comment, then lines of every kind\n"
        "CLIENT_RANDOM " +
        Hex(1, 32) + " " + Hex(0xAA, 48) + "\n" + "CLIENT_HANDSHAKE_TRAFFIC_SECRET " + Hex(2, 32) +
        " " + Hex(0xB1, 32) + "\r\n" + "SERVER_HANDSHAKE_TRAFFIC_SECRET\t" + Hex(2, 32) + "  " +
        Hex(0xB2, 32) + "\n" + "CLIENT_TRAFFIC_SECRET_0 " + Hex(2, 32) + " " + Hex(0xB3, 48) +
        "\n" + "SERVER_TRAFFIC_SECRET_0 " + Hex(2, 32) + " " + Hex(0xB4, 48) + "\n" +
        "EXPORTER_SECRET " + Hex(2, 32) + " " + Hex(0xB5, 32) + "\n" +
        // Not ours, or malformed: skipped, and nothing else lost with them.
        "CLIENT_RANDOM " + Hex(3, 31) + " " + Hex(0xAA, 48) + "\n" + "CLIENT_RANDOM " + Hex(4, 32) +
        " " + Hex(0xAA, 47) + "\n" + "CLIENT_RANDOM " + Hex(5, 32) + " zz" + Hex(0xAA, 47) + "\n" +
        "CLIENT_RANDOM " + Hex(6, 32) + " " + Hex(0xAA, 48) + " extra\n" + "CLIENT_RANDOM " +
        std::string(5000, 'f') + "\n" + "CLIENT_RANDOM " + Hex(7, 32) + " " + Hex(0xC7, 48) + "\n" +
        "CLIENT_RANDOM " + Hex(8, 32) + " " + Hex(0xC8, 48);  // not finished yet
    for (const std::size_t cut : {log.size(), std::size_t{1}, std::size_t{7}, std::size_t{100}}) {
        SCOPED_TRACE(cut);
        KeyLog keys;
        for (std::size_t at = 0; at < log.size(); at += cut) {
            keys.Feed(std::string_view(log).substr(at, cut));
        }
        ASSERT_NE(keys.Find(RandomOf(1)), nullptr);
        EXPECT_EQ(keys.Find(RandomOf(1))->master.at(0), 0xAA);
        const KeyLog::Secrets* tls13 = keys.Find(RandomOf(2));
        ASSERT_NE(tls13, nullptr);
        EXPECT_EQ(tls13->clientHandshake.size(), 32u);
        EXPECT_EQ(tls13->serverHandshake.at(0), 0xB2);
        EXPECT_EQ(tls13->client0.size(), 48u);
        EXPECT_EQ(tls13->server0.at(0), 0xB4);
        EXPECT_TRUE(tls13->master.empty());
        for (const int skipped : {3, 4, 5, 6}) {
            EXPECT_EQ(keys.Find(RandomOf(static_cast<std::uint8_t>(skipped))), nullptr) << skipped;
        }
        EXPECT_NE(keys.Find(RandomOf(7)), nullptr);
        EXPECT_EQ(keys.Find(RandomOf(8)), nullptr);
        const std::uint64_t before = keys.generation();
        keys.Feed("\n");
        EXPECT_NE(keys.Find(RandomOf(8)), nullptr);
        EXPECT_GT(keys.generation(), before);
        EXPECT_EQ(keys.size(), 4u);
    }
}

TEST(KeyLogTest, KeepsABoundedNumberOfConnectionsTheNewest) {
    KeyLog keys;
    std::string lines;
    for (std::size_t i = 0; i < KeyLog::kMostConnections + 10; ++i) {
        char random[65];
        std::snprintf(random, sizeof random, "%064zx", i);
        lines += "CLIENT_RANDOM " + std::string(random) + " " + Hex(0xAA, 48) + "\n";
    }
    keys.Feed(lines);
    EXPECT_EQ(keys.size(), KeyLog::kMostConnections);
    KeyLog::Random newest{};
    const std::size_t last = KeyLog::kMostConnections + 9;
    for (int i = 0; i < 8; ++i) {
        newest[31 - static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(last >> (8 * i));
    }
    EXPECT_NE(keys.Find(newest), nullptr);
    EXPECT_EQ(keys.Find(KeyLog::Random{}), nullptr);  // the oldest went
}

}  // namespace
}  // namespace vantor
