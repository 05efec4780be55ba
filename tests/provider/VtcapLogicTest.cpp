#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "record/CaptureRecord.h"
#include "vtcap_logic.h"

namespace vantor {
namespace {

int Classify(std::string_view bytes) {
    return vtcap_classify(bytes.data(), bytes.size());
}

TEST(VtcapLogicTest, OnlyARequestLineMakesAConnectionHttp) {
    for (const char* http : {"GET / HTTP/1.1\r\n", "POST /x", "OPTIONS *", "M-SEARCH *",
                             "PRI /x HTTP/1.1", "ABCDEFGHIJKLMNOPQRST /",
                             "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"}) {
        EXPECT_EQ(Classify(http), VTCAP_HTTP) << http;
    }
    using namespace std::string_view_literals;
    for (const std::string_view partial : {""sv, "G"sv, "GE"sv, "GET"sv, "GET "sv,
                                           "ABCDEFGHIJKLMNOPQRST"sv, "\x16"sv, "\x16\x03"sv}) {
        EXPECT_EQ(Classify(partial), VTCAP_UNDECIDED) << partial;
    }
    // A TLS handshake is handed over for decryption, of any version up to 1.3's.
    for (const std::string_view tls :
         {"\x16\x03\x01\x02\x00\x01"sv, "\x16\x03\x03"sv, "\x16\x03\x00"sv}) {
        EXPECT_EQ(Classify(tls), VTCAP_TLS) << tls;
    }
    for (const std::string_view other :
         {"\x16\x02\x01"sv, "\x16\x03\x05"sv, "\0\0\0\x08\x04\xd2\x16\x2f"sv, "get / HTTP/1.1"sv,
          "GET  /"sv, "GET\t/"sv, "ABCDEFGHIJKLMNOPQRSTU /"sv, " GET /"sv, "SSH-2.0-OpenSSH"sv,
          "GET \x01"sv}) {
        EXPECT_EQ(Classify(other), VTCAP_NOT_HTTP) << other;
    }
}

TEST(VtcapLogicTest, GatherTakesAnyRangeOfHeldBytesAndBuffers) {
    std::string a = "0123";
    std::string b = "";
    std::string c = "456789";
    const iovec iov[] = {{a.data(), a.size()}, {b.data(), b.size()}, {c.data(), c.size()}};
    const vtcap_source source{"ab", 2, iov, 3};
    const std::string whole = "ab0123456789";
    for (std::size_t offset = 0; offset <= whole.size(); ++offset) {
        for (std::size_t count = 0; offset + count <= whole.size(); ++count) {
            std::string out(count, '?');
            vtcap_gather(reinterpret_cast<unsigned char*>(out.data()), &source, offset, count);
            ASSERT_EQ(out, whole.substr(offset, count)) << offset << "+" << count;
        }
    }
}

TEST(VtcapLogicTest, OnlyReceivesThatFilledTheBufferAreReported) {
    EXPECT_EQ(vtcap_receive_kind(0), VTCAP_RECEIVE_DATA);
    EXPECT_EQ(vtcap_receive_kind(MSG_WAITALL | MSG_DONTWAIT | MSG_NOSIGNAL), VTCAP_RECEIVE_DATA);
    // Discarded bytes left the stream (the direction moves on) but were never in the buffer,
    // which may be null.
    EXPECT_EQ(vtcap_receive_kind(MSG_TRUNC), VTCAP_RECEIVE_UNSEEN);
    EXPECT_EQ(vtcap_receive_kind(MSG_TRUNC | MSG_DONTWAIT), VTCAP_RECEIVE_UNSEEN);
    // Peeked bytes stay for the real read; urgent and error-queue data are not the stream.
    for (const int flags : std::initializer_list<int>{MSG_PEEK, MSG_PEEK | MSG_TRUNC, MSG_OOB,
                                                      MSG_ERRQUEUE, MSG_ERRQUEUE | MSG_TRUNC}) {
        EXPECT_EQ(vtcap_receive_kind(flags), VTCAP_RECEIVE_IGNORE) << flags;
    }
}

TEST(VtcapLogicTest, TheCapacityOfBuffersBoundsWhatIsGathered) {
    char a[3];
    char b[5];
    const iovec iov[] = {{a, sizeof a}, {nullptr, 0}, {b, sizeof b}};
    EXPECT_EQ(vtcap_iov_capacity(iov, 3, 100), 8u);
    EXPECT_EQ(vtcap_iov_capacity(iov, 3, 6), 6u);
    EXPECT_EQ(vtcap_iov_capacity(iov, 1, 100), 3u);
    EXPECT_EQ(vtcap_iov_capacity(iov, 0, 100), 0u);
    const iovec huge[] = {{a, SIZE_MAX}, {b, SIZE_MAX}};
    EXPECT_EQ(vtcap_iov_capacity(huge, 2, 1000), 1000u) << "no overflow";
}

TEST(VtcapLogicTest, CalendarTimeAgreesWithTheCLibrary) {
    std::mt19937_64 random(1);
    std::uniform_int_distribution<std::int64_t> seconds(-2'000'000'000, 4'000'000'000);
    std::uniform_int_distribution<long> offsets(-14 * 3600, 14 * 3600);
    for (int i = 0; i < 20000; ++i) {
        const std::int64_t t = seconds(random);
        const long offset = offsets(random);
        std::uint16_t out[8];
        vtcap_calendar_time(t, 123, offset, out);
        const time_t shifted = static_cast<time_t>(t + offset);
        tm expected{};
        gmtime_r(&shifted, &expected);
        ASSERT_EQ(out[0], expected.tm_year + 1900) << t;
        ASSERT_EQ(out[1], expected.tm_mon + 1) << t;
        ASSERT_EQ(out[2], expected.tm_wday) << t;
        ASSERT_EQ(out[3], expected.tm_mday) << t;
        ASSERT_EQ(out[4], expected.tm_hour) << t;
        ASSERT_EQ(out[5], expected.tm_min) << t;
        ASSERT_EQ(out[6], expected.tm_sec) << t;
        ASSERT_EQ(out[7], 123);
    }
}

TEST(VtcapLogicTest, HeaderReadsBackAsTheCaptureRecord) {
    vtcap_peer peer{};
    peer.family = AF_INET;
    peer.port = htons(8080);
    const std::array<std::uint8_t, 4> loopback = {127, 0, 0, 1};
    std::copy(loopback.begin(), loopback.end(), peer.address);
    const std::uint16_t time[8] = {2026, 12, 2, 8, 9, 30, 15, 999};
    std::array<unsigned char, 52> bytes{};
    EXPECT_EQ(vtcap_peer_extension_size(&peer), 0u) << "IPv4 records are as they always were";
    vtcap_write_header(bytes.data(), 2, 1, 0xDEADBEEF, &peer, 1048524, 77, time);
    const CaptureRecord record = ReadCaptureRecord(bytes);
    EXPECT_EQ(record.direction, Direction::Received);
    EXPECT_EQ(record.previousDirection, Direction::Sent);
    EXPECT_EQ(record.connectionId, 0xDEADBEEFu);
    EXPECT_EQ(record.peerAddress, test::PeerAt({127, 0, 0, 1}, 8080));
    EXPECT_EQ(record.dataLength, 1048524u);
    EXPECT_EQ(record.providerData, 77u) << "the record's place among its connection's";
    EXPECT_EQ(record.time, (SystemTime{2026, 12, 2, 8, 9, 30, 15, 999}));
}

TEST(VtcapLogicTest, Ipv6PeersTravelInTheExtensionAheadOfTheData) {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(8443);
    v6.sin6_scope_id = 3;
    inet_pton(AF_INET6, "fe80::1:2", &v6.sin6_addr);
    vtcap_peer peer{};
    ASSERT_EQ(vtcap_peer_of(reinterpret_cast<sockaddr*>(&v6), sizeof v6, &peer), 1);
    ASSERT_EQ(vtcap_peer_extension_size(&peer), kPeerExtensionSize);

    const std::string body = "GET / HTTP/1.1\r\n";
    std::vector<unsigned char> record(52 + kPeerExtensionSize + body.size());
    const std::uint16_t time[8] = {2026, 12, 2, 8, 9, 30, 15, 0};
    vtcap_write_header(record.data(), 1, 0, 7, &peer,
                       static_cast<std::uint32_t>(kPeerExtensionSize + body.size()), 0, time);
    vtcap_write_peer_extension(record.data() + 52, &peer);
    std::copy(body.begin(), body.end(), record.begin() + 52 + kPeerExtensionSize);

    CaptureRecord read = ReadCaptureRecord(std::span<const std::uint8_t, 52>(record.data(), 52));
    EXPECT_EQ(read.peerAddress.family, kAddressFamilyInet6);
    EXPECT_EQ(read.peerAddress.port, (std::array<std::uint8_t, 2>{0x20, 0xFB}));
    EXPECT_EQ(read.peerAddress.address, (std::array<std::uint8_t, 4>{})) << "no IPv4 address";
    std::span<const std::uint8_t> data(record.data() + 52, record.size() - 52);
    ASSERT_TRUE(TakePeerExtension(read, data));
    ASSERT_TRUE(read.ipv6.has_value());
    EXPECT_TRUE(
        std::equal(read.ipv6->address.begin(), read.ipv6->address.end(), v6.sin6_addr.s6_addr));
    EXPECT_EQ(read.ipv6->scopeId, 3u);
    EXPECT_EQ(std::string(data.begin(), data.end()), body);
}

TEST(VtcapLogicTest, PeersOfConnectAddresses) {
    vtcap_peer peer{};
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(80);
    inet_pton(AF_INET, "10.1.2.3", &v4.sin_addr);
    ASSERT_EQ(vtcap_peer_of(reinterpret_cast<sockaddr*>(&v4), sizeof v4, &peer), 1);
    EXPECT_EQ(peer.family, AF_INET);
    EXPECT_EQ(std::memcmp(peer.address, &v4.sin_addr.s_addr, 4), 0);
    EXPECT_EQ(vtcap_peer_of(reinterpret_cast<sockaddr*>(&v4), sizeof v4 - 1, &peer), 0);

    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(443);
    inet_pton(AF_INET6, "::ffff:192.168.0.9", &v6.sin6_addr);
    ASSERT_EQ(vtcap_peer_of(reinterpret_cast<sockaddr*>(&v6), sizeof v6, &peer), 1);
    EXPECT_EQ(peer.family, AF_INET) << "an IPv4-mapped address is an IPv4 peer";
    EXPECT_EQ(peer.address[0], 192);
    EXPECT_EQ(peer.address[3], 9);
    EXPECT_EQ(ntohs(peer.port), 443);
    inet_pton(AF_INET6, "::1", &v6.sin6_addr);
    ASSERT_EQ(vtcap_peer_of(reinterpret_cast<sockaddr*>(&v6), sizeof v6, &peer), 1);
    EXPECT_EQ(peer.family, AF_INET6);
    EXPECT_EQ(peer.address[15], 1);
    EXPECT_EQ(vtcap_peer_of(reinterpret_cast<sockaddr*>(&v6), sizeof v6 - 1, &peer), 0);
    EXPECT_EQ(vtcap_peer_of(nullptr, 0, &peer), 0);
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    EXPECT_EQ(vtcap_peer_of(reinterpret_cast<sockaddr*>(&local), sizeof local, &peer), 0);
}

}  // namespace
}  // namespace vantor
