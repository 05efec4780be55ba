// The system-wide source's events become the records the preload provider would have written:
// each connection's in the order of its places, with its process, peer and lost bytes; what is
// not HTTP, or not well formed, becomes nothing.
#include "system/SystemRecords.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "system/SystemEvents.h"

namespace vantor {
namespace {

struct Output {
    CaptureRecord header;
    std::string bytes;  // after the extensions
};

struct Shape {
    std::uint32_t kind = VT_EVENT_DATA;
    std::uint32_t flags = VT_SENT;
    std::uint32_t place = 0;
    std::string bytes;
    std::uint64_t conn = 0x1000;
    std::uint32_t generation = 1;
    std::uint32_t count = 1;
    std::uint64_t missing = 0;
};

std::vector<std::uint8_t> Event(const Shape& shape) {
    vt_event event{};
    event.kind = shape.kind;
    event.flags = shape.flags;
    event.conn = shape.conn;
    event.sock = shape.conn;
    event.generation = shape.generation;
    event.tgid = 4242;
    event.uid = 1000;
    event.place = shape.place;
    event.count = shape.count;
    event.missing = shape.missing;
    event.length = static_cast<std::uint32_t>(shape.bytes.size());
    event.family = AF_INET;
    event.port = htons(8080);
    const std::uint8_t address[4] = {10, 0, 0, 7};
    std::memcpy(event.address, address, 4);
    std::strcpy(event.comm, "curl");
    std::vector<std::uint8_t> bytes(sizeof event + shape.bytes.size());
    std::memcpy(bytes.data(), &event, sizeof event);
    std::copy(shape.bytes.begin(), shape.bytes.end(), bytes.begin() + sizeof event);
    return bytes;
}

class SystemRecordsTest : public testing::Test {
protected:
    void Feed(const std::vector<Shape>& shapes) {
        for (const Shape& shape : shapes) {
            records.Event(Event(shape), now);
        }
    }

    std::vector<Output> outputs;
    SystemRecords::Clock::time_point now{};
    SystemRecords records{[this](const CaptureRecord& header, std::span<const std::uint8_t> data) {
                              CaptureRecord taken = header;
                              ProcessCache cache;
                              EXPECT_TRUE(TakeRecordExtensions(taken, data, cache));
                              outputs.push_back({taken, std::string(data.begin(), data.end())});
                          },
                          [](ProcessInfo& process, std::uint64_t) { process.user = "alice"; }, 0};
};

TEST_F(SystemRecordsTest, PiecesComeOutInTheirPlacesWithTheirProcessAndPeer) {
    // A piece in a larger room of the ring: only its length is taken.
    std::vector<std::uint8_t> roomy = Event({.flags = VT_RECEIVED, .place = 2, .bytes = "world"});
    roomy.resize(roomy.size() + 251, 0xee);
    records.Event(roomy, now);
    Feed({{.flags = VT_SENT, .place = 0, .bytes = "GET / HTTP/1.1\r\n\r\n"},
          {.flags = VT_RECEIVED, .place = 1, .bytes = "HTTP/1.1 200 OK\r\n\r\nhello "}});
    ASSERT_EQ(outputs.size(), 3u);
    EXPECT_EQ(outputs[0].bytes, "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(outputs[1].bytes, "HTTP/1.1 200 OK\r\n\r\nhello ");
    EXPECT_EQ(outputs[2].bytes, "world");
    const std::vector<std::pair<Direction, Direction>> directions = {
        {Direction::Sent, Direction::None},
        {Direction::Received, Direction::Sent},
        {Direction::Received, Direction::Received}};
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const CaptureRecord& header = outputs[i].header;
        EXPECT_EQ(header.direction, directions[i].first) << i;
        EXPECT_EQ(header.previousDirection, directions[i].second) << i;
        EXPECT_EQ(header.connectionId, outputs[0].header.connectionId);
        EXPECT_EQ(header.peerAddress.address, (std::array<std::uint8_t, 4>{10, 0, 0, 7}));
        EXPECT_EQ(header.peerAddress.HostPort(), 8080);
        ASSERT_NE(header.process, nullptr);
        EXPECT_EQ(*header.process, (ProcessInfo{4242, 1000, "curl", "alice", ""}));
    }
}

TEST_F(SystemRecordsTest, SkipsBecomeLostRecordsAndWhatIsNotHttpNothing) {
    Feed({{.place = 0, .bytes = "POST /up HTTP/1.1\r\nContent-Length: 9\r\n\r\n"},
          {.kind = VT_EVENT_SKIP, .place = 1, .bytes = "", .count = 1, .missing = 9},
          {.kind = VT_EVENT_SKIP, .place = 2, .bytes = "", .count = 3},
          {.place = 0, .bytes = "SSH-2.0-OpenSSH\r\n", .conn = 0x2000}});
    ASSERT_EQ(outputs.size(), 3u) << "the connection that is not HTTP gives nothing";
    EXPECT_EQ(outputs[1].header.direction, Direction::Lost);
    const auto lost = ReadLostBytes(std::span(
        reinterpret_cast<const std::uint8_t*>(outputs[1].bytes.data()), outputs[1].bytes.size()));
    ASSERT_TRUE(lost);
    EXPECT_TRUE(lost->sizesKnown);
    EXPECT_EQ(lost->sent, 9u);
    EXPECT_EQ(lost->received, 0u);
    // The three places of the skip are counted past the record's extensions: what follows
    // them is not held back.
    Feed({{.flags = VT_RECEIVED, .place = 5, .bytes = "HTTP/1.1 200 OK\r\n\r\n"}});
    ASSERT_EQ(outputs.size(), 4u);
    EXPECT_EQ(outputs[3].header.previousDirection, Direction::Sent);
}

TEST_F(SystemRecordsTest, MalformedEventsAreCountedAndDropped) {
    const std::vector<Shape> bad = {
        {.flags = VT_SENT | VT_RECEIVED, .bytes = "GET / HTTP/1.1\r\n"},
        {.flags = 0, .bytes = "GET / HTTP/1.1\r\n"},
        {.kind = 99, .bytes = "GET / HTTP/1.1\r\n"},
        {.kind = VT_EVENT_SKIP, .bytes = "x", .count = 1},
        {.kind = VT_EVENT_SKIP, .bytes = "", .count = 0},
        {.bytes = ""},
    };
    Feed(bad);
    std::vector<std::uint8_t> lying = Event({.bytes = "GET / HTTP/1.1\r\n"});
    lying.pop_back();  // says one byte more than it has
    records.Event(lying, now);
    records.Event(std::span(lying).first(sizeof(vt_event) - 1), now);
    EXPECT_TRUE(outputs.empty());
    EXPECT_EQ(records.malformed(), bad.size() + 2);
}

TEST_F(SystemRecordsTest, GenerationsAreConnectionsOfTheirOwnAndServersTurnRound) {
    Feed({{.place = 0, .bytes = "GET /a HTTP/1.1\r\n\r\n", .generation = 1},
          {.place = 0, .bytes = "GET /b HTTP/1.1\r\n\r\n", .generation = 2},
          {.flags = VT_RECEIVED, .place = 0, .bytes = "GET /c HTTP/1.1\r\n\r\n", .conn = 0x3000},
          {.flags = VT_SENT, .place = 1, .bytes = "HTTP/1.1 204 No\r\n\r\n", .conn = 0x3000}});
    ASSERT_EQ(outputs.size(), 4u);
    EXPECT_NE(outputs[0].header.connectionId, outputs[1].header.connectionId);
    EXPECT_EQ(outputs[1].header.previousDirection, Direction::None);
    // A server's connection: the request it received is the one sent.
    EXPECT_EQ(outputs[2].header.direction, Direction::Sent);
    EXPECT_EQ(outputs[3].header.direction, Direction::Received);
    EXPECT_EQ(outputs[3].header.previousDirection, Direction::Sent);
}

}  // namespace
}  // namespace vantor
