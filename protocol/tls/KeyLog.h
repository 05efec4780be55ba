#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vantor {

// The secrets of TLS connections, by their client random, as programs write them in the key
// log format browsers and TLS libraries share (SSLKEYLOGFILE): one "LABEL <client random>
// <secret>" line each, in hex. Lines may come in pieces (a file that grows, a FIFO): an
// unfinished last line waits for the rest. A line that is not one of ours is skipped; the
// number of connections kept is bounded (the oldest go first).
class KeyLog {
public:
    using Random = std::array<std::uint8_t, 32>;

    struct Secrets {
        std::vector<std::uint8_t> master;  // TLS 1.2 (CLIENT_RANDOM)
        std::vector<std::uint8_t> clientEarly;
        std::vector<std::uint8_t> clientHandshake;
        std::vector<std::uint8_t> serverHandshake;
        std::vector<std::uint8_t> client0;  // the first application traffic secrets
        std::vector<std::uint8_t> server0;
    };

    static constexpr std::size_t kMostConnections = 100000;
    static constexpr std::size_t kLongestLine = 1024;

    // More of the log's text.
    void Feed(std::string_view text);
    const Secrets* Find(std::span<const std::uint8_t, 32> clientRandom) const;

    std::size_t size() const { return m_secrets.size(); }
    // Grows whenever a secret is learnt: who waits for keys looks again only then.
    std::uint64_t generation() const { return m_generation; }

private:
    struct RandomHash {
        std::size_t operator()(const Random& random) const;
    };
    void Line(std::string_view line);

    std::unordered_map<Random, Secrets, RandomHash> m_secrets;
    std::deque<Random> m_byAge;
    std::string m_partial;
    bool m_skipping = false;  // the rest of a line too long to be ours
    std::uint64_t m_generation = 0;
};

}  // namespace vantor
