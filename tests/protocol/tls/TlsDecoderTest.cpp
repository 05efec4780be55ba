#include "protocol/tls/TlsDecoder.h"
#include "protocol/tls/TlsStage.h"
#include "support/TlsConnectionMaker.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace vantor {
namespace {

using test::TlsConnectionMaker;

using Bytes = std::vector<std::uint8_t>;
using Segments = test::TlsSegments;

Bytes FromHex(std::string_view hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return bytes;
}

// What came out: each side's plain text, runs of one side joined.
struct Collected : TlsPlainSink {
    Segments runs;
    void Plain(Direction direction, std::span<const std::uint8_t> bytes) override {
        if (runs.empty() || runs.back().first != direction) {
            runs.emplace_back(direction, Bytes());
        }
        runs.back().second.insert(runs.back().second.end(), bytes.begin(), bytes.end());
    }
};

using Trace = test::TlsTrace;

// Feeds a trace with every segment cut at cut (0: whole), the key log given before or after.
Collected Decode(const Trace& trace, std::size_t cut, bool keysLate,
                 std::string* failure = nullptr) {
    KeyLog keys;
    if (!keysLate) {
        keys.Feed(trace.keyLog);
    }
    Collected collected;
    TlsDecoder decoder(keys, collected);
    for (const auto& [direction, bytes] : trace.segments) {
        const std::span<const std::uint8_t> all(bytes);
        const std::size_t step = cut == 0 ? all.size() : cut;
        for (std::size_t at = 0; at < all.size(); at += step) {
            decoder.Feed(direction, all.subspan(at, std::min(step, all.size() - at)));
        }
    }
    if (keysLate) {
        EXPECT_TRUE(decoder.waiting());
        keys.Feed(trace.keyLog);
        decoder.Resume();
    }
    EXPECT_FALSE(decoder.waiting());
    if (failure != nullptr) {
        *failure = decoder.failure();
    } else {
        EXPECT_EQ(decoder.failure(), "");
        EXPECT_EQ(decoder.alpn(), trace.alpn);
    }
    return collected;
}

Trace Rfc8448() {
    std::ifstream file(VANTOR_TEST_DATA_DIR "/tls/rfc8448-simple.txt");
    Trace trace;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string kind;
        std::string value;
        words >> kind;
        if (kind == "key") {
            trace.keyLog += line.substr(4) + "\n";
        } else if (words >> value; kind == "sent" || kind == "received") {
            trace.segments.emplace_back(kind == "sent" ? Direction::Sent : Direction::Received,
                                        FromHex(value));
        } else if (kind == "plain-sent" || kind == "plain-received") {
            trace.plain.emplace_back(kind == "plain-sent" ? Direction::Sent : Direction::Received,
                                     FromHex(value));
        }
    }
    return trace;
}

TEST(TlsDecoderTest, Rfc8448TracesWholeByteByByteAndCutAtEveryPlace) {
    const Trace trace = Rfc8448();
    ASSERT_EQ(trace.segments.size(), 9u);
    std::size_t longest = 0;
    for (const auto& segment : trace.segments) {
        longest = std::max(longest, segment.second.size());
    }
    for (const bool keysLate : {false, true}) {
        EXPECT_EQ(Decode(trace, 0, keysLate).runs, trace.plain);
    }
    for (std::size_t cut = 1; cut <= longest; ++cut) {
        ASSERT_EQ(Decode(trace, cut, false).runs, trace.plain) << "cut every " << cut;
    }
}

// A connection made with libssl in memory: a request and a long answer, the client's long
// upload (after a key update, when asked), a last short exchange.
Trace MadeTrace(const TlsConnectionMaker::Options& options, bool keyUpdate = false) {
    TlsConnectionMaker connection(options);
    EXPECT_TRUE(connection.established());
    EXPECT_TRUE(connection.Send(Direction::Sent, "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    EXPECT_TRUE(connection.Send(Direction::Received, std::string(40000, 'a')));
    if (keyUpdate) {
        connection.UpdateKeys();
    }
    EXPECT_TRUE(connection.Send(Direction::Sent, std::string(20000, 'b')));
    EXPECT_TRUE(connection.Send(Direction::Received, "HTTP/1.1 200 OK\r\n\r\n"));
    EXPECT_TRUE(connection.Send(Direction::Sent, "last"));
    EXPECT_TRUE(connection.Send(Direction::Received, "done"));
    return connection.trace();
}

struct MadeCase {
    const char* name;
    TlsConnectionMaker::Options options;
    bool keyUpdate = false;
};

class MadeTraceTest : public testing::TestWithParam<MadeCase> {};

TEST_P(MadeTraceTest, DecryptsWholeByteByByteAndWithKeysLoggedLate) {
    const Trace trace = MadeTrace(GetParam().options, GetParam().keyUpdate);
    ASSERT_EQ(trace.plain.size(), 6u);
    ASSERT_GT(trace.segments.size(), 6u);
    EXPECT_EQ(Decode(trace, 0, false).runs, trace.plain);
    EXPECT_EQ(Decode(trace, 0, true).runs, trace.plain);
    EXPECT_EQ(Decode(trace, 1, false).runs, trace.plain);
    EXPECT_EQ(Decode(trace, 1000, true).runs, trace.plain);
}

INSTANTIATE_TEST_SUITE_P(
    Suites, MadeTraceTest,
    testing::Values(
        MadeCase{"Tls13Aes128", {TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256", "h2"}, true},
        MadeCase{"Tls13Aes256", {TLS1_3_VERSION, "TLS_AES_256_GCM_SHA384", "http/1.1"}, true},
        MadeCase{"Tls13ChaCha20", {TLS1_3_VERSION, "TLS_CHACHA20_POLY1305_SHA256", "h2"}, true},
        MadeCase{"Tls12Aes128", {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256", "h2"}},
        MadeCase{"Tls12Aes256", {TLS1_2_VERSION, "ECDHE-ECDSA-AES256-GCM-SHA384", "http/1.1"}},
        MadeCase{"Tls12ChaCha20", {TLS1_2_VERSION, "ECDHE-ECDSA-CHACHA20-POLY1305", "h2"}}),
    [](const testing::TestParamInfo<MadeCase>& made) { return std::string(made.param.name); });

TEST(TlsDecoderTest, SaysWhyAConnectionCannotBeDecryptedAndListsNothingOfIt) {
    const Trace cbc = MadeTrace({TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA", "h2"});
    const Trace good = MadeTrace({TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256", "h2"});
    Trace wrongKeys = good;
    // The first secret logged (the client's handshake secret) is wrong.
    const std::size_t first = wrongKeys.keyLog.rfind(' ', wrongKeys.keyLog.find('\n')) + 1;
    wrongKeys.keyLog[first] = wrongKeys.keyLog[first] == '0' ? '1' : '0';
    Trace junk = good;
    junk.segments[0].second[0] = 0x47;  // 'G'
    Trace unseenStart = good;
    unseenStart.segments.erase(unseenStart.segments.begin());
    const struct {
        const char* name;
        const Trace& trace;
        std::string failure;
    } cases[] = {
        {"suite", cbc, "cipher suite 0xC009 is not supported"},
        {"wrong keys", wrongKeys, "a record does not decrypt with the logged keys"},
        {"not TLS", junk, "its bytes are not TLS records"},
        {"joined late", unseenStart, "its ClientHello was not seen"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        std::string failure;
        EXPECT_TRUE(Decode(test.trace, 0, false, &failure).runs.empty());
        EXPECT_EQ(failure, test.failure);
    }
}

TEST(TlsDecoderTest, KeysThatNeverComeHoldABoundedAmountThenGiveUp) {
    const Trace trace = MadeTrace({TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256", "h2"});
    KeyLog keys;
    Collected collected;
    TlsDecoder decoder(keys, collected);
    for (const auto& [direction, bytes] : trace.segments) {
        decoder.Feed(direction, bytes);
    }
    EXPECT_TRUE(decoder.waiting());
    EXPECT_GT(decoder.waitingBytes(), 60000u);
    decoder.Resume();  // nothing new in the key log
    EXPECT_TRUE(decoder.waiting());
    const Bytes more(TlsDecoder::kMostWaitingBytes, 0x17);
    decoder.Feed(Direction::Received, more);
    EXPECT_EQ(decoder.failure(), "its keys were not logged within 8 MiB of it");
    EXPECT_EQ(decoder.waitingBytes(), 0u);

    TlsDecoder late(keys, collected);
    late.Feed(trace.segments[0].first, trace.segments[0].second);
    late.Feed(trace.segments[1].first, trace.segments[1].second);
    late.GiveUp("its keys were not logged within 10 s");
    EXPECT_EQ(late.failure(), "its keys were not logged within 10 s");
    EXPECT_TRUE(collected.runs.empty());
}

// The stage around the decoder: records in, plain records out with the directions of the plain
// text; keys that come late, keys that never come, and a hole each told once.
TEST(TlsStageTest, HandsPlainTextOnAsRecordsOrOneNoticeSayingWhyNot) {
    const Trace trace = MadeTrace({TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256", "http/1.1"});
    enum class Ending { KeysLate, KeysNever, Hole };
    for (const Ending ending : {Ending::KeysLate, Ending::KeysNever, Ending::Hole}) {
        std::vector<std::pair<CaptureRecord, std::string>> out;
        TlsStage stage([&out](const CaptureRecord& header, std::span<const std::uint8_t> data) {
            out.emplace_back(header, std::string(data.begin(), data.end()));
        });
        const auto start = TlsStage::Clock::now();
        Direction previous = Direction::None;
        for (const auto& [direction, bytes] : trace.segments) {
            CaptureRecord header;
            header.connectionId = 7;
            header.tls = true;
            header.direction = direction;
            header.previousDirection = previous;
            previous = direction;
            stage.Deliver(header, bytes, start);
        }
        EXPECT_EQ(stage.waiting(), 1u);
        if (ending == Ending::KeysLate) {
            stage.keys().Feed(trace.keyLog);
            stage.Poll(start + std::chrono::seconds(1));
        } else if (ending == Ending::KeysNever) {
            stage.Poll(start + TlsStage::kKeyWait - std::chrono::seconds(1));
            EXPECT_TRUE(out.empty());
            stage.Poll(start + TlsStage::kKeyWait);
        } else {
            CaptureRecord hole;
            hole.connectionId = 7;
            stage.Lost(hole);
        }
        EXPECT_EQ(stage.waiting(), 0u);
        stage.Poll(start + 2 * TlsStage::kKeyWait);  // nothing more
        if (ending != Ending::KeysLate) {
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(out[0].second, ending == Ending::Hole
                                         ? "[TLS, not decrypted: bytes of it were not captured]"
                                         : "[TLS, not decrypted: its keys were not logged within "
                                           "10 s]");
            EXPECT_EQ(out[0].first.direction, Direction::Sent);
            EXPECT_FALSE(out[0].first.tls);
            continue;
        }
        Segments runs;
        Direction last = Direction::None;
        for (const auto& [header, text] : out) {
            EXPECT_EQ(header.previousDirection, last);
            EXPECT_FALSE(header.tls);
            EXPECT_EQ(header.connectionId, 7u);
            last = header.direction;
            if (runs.empty() || runs.back().first != header.direction) {
                runs.emplace_back(header.direction, Bytes());
            }
            runs.back().second.insert(runs.back().second.end(), text.begin(), text.end());
        }
        EXPECT_EQ(runs, trace.plain);
    }

    // Connections that wait hold a bounded amount between them: the one waiting longest
    // gives up first.
    std::vector<std::string> notices;
    TlsStage stage([&notices](const CaptureRecord&, std::span<const std::uint8_t> data) {
        notices.emplace_back(data.begin(), data.end());
    });
    const Bytes filler(TlsDecoder::kMostWaitingBytes - 128 * 1024, 0x17);
    for (std::uint32_t id = 1; id <= 9; ++id) {
        Direction previous = Direction::None;
        for (const auto& [direction, bytes] : trace.segments) {
            CaptureRecord header;
            header.connectionId = id;
            header.tls = true;
            header.direction = direction;
            header.previousDirection = previous;
            previous = direction;
            stage.Deliver(header, bytes, TlsStage::Clock::now());
        }
        CaptureRecord more;
        more.connectionId = id;
        more.tls = true;
        more.direction = Direction::Received;
        more.previousDirection = previous;
        stage.Deliver(more, filler, TlsStage::Clock::now());
        EXPECT_LE(stage.waitingBytes(), TlsStage::kMostWaitingInAll);
    }
    EXPECT_EQ(stage.waiting(), 8u);
    EXPECT_EQ(notices, std::vector<std::string>{"[TLS, not decrypted: too many bytes of "
                                                "connections waited for their keys]"});
}

}  // namespace
}  // namespace vantor
