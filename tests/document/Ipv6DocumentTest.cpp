// Peers on IPv6: their records carry the address ahead of the data, their messages show it,
// and a document with them is saved in the newer schema, which this version reads back exactly.
#include <arpa/inet.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "DocumentBytes.h"
#include "TestSupport.h"
#include "capture/CaptureDispatch.h"
#include "document/CSnifferDoc.h"
#include "document/MessageFilter.h"
#include "framework/ByteStreams.h"
#include "framework/CArchive.h"
#include "options/FilterOptions.h"
#include "record/CaptureRecord.h"

namespace vantor {
namespace {

using test::Bytes;

Ipv6Peer Peer(const char* text, std::uint32_t scope = 0) {
    Ipv6Peer peer;
    inet_pton(AF_INET6, text, peer.address.data());
    peer.scopeId = scope;
    return peer;
}

// A record as the provider writes it for an IPv6 peer: the family and port in the header, the
// address and scope ahead of the data.
std::vector<std::uint8_t> Ipv6Record(std::uint32_t direction, std::uint32_t previous,
                                     const Ipv6Peer& peer, std::string_view data,
                                     CaptureRecord& header) {
    header = test::Header(direction, previous, 9);
    header.peerAddress = SockAddrIn{};
    header.peerAddress.family = kAddressFamilyInet6;
    header.peerAddress.port = {0x1F, 0x90};
    std::vector<std::uint8_t> bytes(kPeerExtensionSize);
    WritePeerExtension(
        peer, std::span<std::uint8_t, kPeerExtensionSize>(bytes.data(), kPeerExtensionSize));
    bytes.insert(bytes.end(), data.begin(), data.end());
    header.dataLength = static_cast<std::uint32_t>(bytes.size());
    return bytes;
}

using test::Stored;

class Ipv6DocumentTest : public testing::Test {
protected:
    void Dispatch(std::uint32_t direction, std::uint32_t previous, const Ipv6Peer& peer,
                  std::string_view data) {
        CaptureRecord header;
        const auto bytes = Ipv6Record(direction, previous, peer, data, header);
        dispatch.Dispatch(header, bytes);
    }

    CSnifferDoc document;
    CaptureDispatch dispatch{[this] { return &document; }};
};

TEST_F(Ipv6DocumentTest, TheExtensionIsTakenOffTheDataOfIpv6RecordsOnly) {
    CaptureRecord header;
    const auto bytes = Ipv6Record(1, 0, Peer("fe80::1", 3), "GET /", header);
    std::span<const std::uint8_t> data = bytes;
    ASSERT_TRUE(TakePeerExtension(header, data));
    EXPECT_EQ(header.ipv6, Peer("fe80::1", 3));
    EXPECT_EQ(std::string(data.begin(), data.end()), "GET /");

    std::span<const std::uint8_t> tooShort(bytes.data(), kPeerExtensionSize - 1);
    CaptureRecord claims = header;
    claims.ipv6.reset();
    EXPECT_FALSE(TakePeerExtension(claims, tooShort));

    CaptureRecord ipv4 = test::Header(1, 0, 9);
    std::span<const std::uint8_t> same = bytes;
    ASSERT_TRUE(TakePeerExtension(ipv4, same));
    EXPECT_EQ(same.size(), bytes.size()) << "an IPv4 record's data are all data";
    EXPECT_EQ(ipv4.ipv6, std::nullopt);
}

TEST_F(Ipv6DocumentTest, MessagesOfIpv6PeersShowTheAddressAndSaveInTheNewerSchema) {
    Dispatch(1, 0, Peer("::1"), "GET / HTTP/1.1\r\nHost: localhost:8080\r\n\r\n");
    Dispatch(2, 1, Peer("::1"), "HTTP/1.1 200 OK\r\n\r\n");
    // A too short IPv6 record is dropped, not read as data.
    CaptureRecord header = test::Header(1, 2, 9);
    header.peerAddress.family = kAddressFamilyInet6;
    dispatch.Dispatch(header, Bytes("GET /x HTTP/1.1\r\n\r\n").first(10));
    ASSERT_EQ(document.messages().size(), 2u);
    const HTTPMessage& request = *document.messages()[0];
    EXPECT_EQ(request.text(), "GET / HTTP/1.1\r\nHost: localhost:8080\r\n\r\n");
    EXPECT_EQ(request.peerText(), "IP: [::1]:8080");
    EXPECT_EQ(document.requests()[0]->response(), document.responses()[0]);

    Dispatch(1, 2, Peer("2001:db8:85a3::8a2e:370:7334", 7), "GET /far HTTP/1.1\r\n\r\n");
    EXPECT_EQ(document.messages().back()->peerText(), "IP: [2001:db8:85a3::8a2e:370:7334%7]:8080");

    const auto bytes = Stored(document);
    ASSERT_GE(bytes.size(), 6u);
    EXPECT_EQ(bytes[4], HTTPMessage::kSchemaWithIpv6) << "the first class tag's schema";
    CSnifferDoc loaded;
    MemoryByteSource source(bytes);
    CArchive archive(source);
    loaded.Serialize(archive);
    ASSERT_EQ(loaded.messages().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(loaded.messages()[i]->peerIpv6(), document.messages()[i]->peerIpv6());
        EXPECT_EQ(loaded.messages()[i]->peerText(), document.messages()[i]->peerText());
    }
    EXPECT_EQ(Stored(loaded), bytes) << "read back exactly";
}

TEST_F(Ipv6DocumentTest, TheHostFilterGoesByTheHostHeaderWhateverThePeer) {
    Dispatch(1, 0, Peer("::1"), "GET /a HTTP/1.1\r\nHost: [::1]:8080\r\n\r\n");
    Dispatch(1, 2, Peer("::1"), "GET /b HTTP/1.1\r\nHost: localhost:8080\r\n\r\n");
    ASSERT_EQ(document.requests().size(), 2u);
    FilterOptions filter;
    MessageFilter verdicts;
    filter.m_bEnabled = true;
    filter.m_bHostEnabled = 1;
    const auto passing = [&](const std::string& words) {
        filter.m_hostText = words;
        filter.SplitHostWords();
        std::vector<std::string> targets;
        for (HTTPRequest* request : document.requests()) {
            if (verdicts.Passes(filter, *request)) {
                targets.emplace_back(request->target());
            }
        }
        return targets;
    };
    EXPECT_THAT(passing("[::1]"), testing::ElementsAre("[::1]:8080/a"));
    EXPECT_THAT(passing("localhost"), testing::ElementsAre("localhost:8080/b"));
    EXPECT_THAT(passing("::1 localhost"), testing::ElementsAre("[::1]:8080/a", "localhost:8080/b"));
}

TEST_F(Ipv6DocumentTest, DocumentsOfIpv4PeersAloneStayInTheOldSchema) {
    document.NewRequest(test::Header(1, 0, 4), Bytes("GET / HTTP/1.1\r\n\r\n"));
    const auto bytes = Stored(document);
    EXPECT_EQ(bytes[4], 0) << "schema 0, as every file before";
    // Mixed: the IPv4 messages of a document with IPv6 peers read back as IPv4.
    Dispatch(1, 0, Peer("::1"), "GET /six HTTP/1.1\r\n\r\n");
    CSnifferDoc loaded;
    const auto mixed = Stored(document);
    MemoryByteSource source(mixed);
    CArchive archive(source);
    loaded.Serialize(archive);
    EXPECT_EQ(loaded.messages()[0]->peerIpv6(), std::nullopt);
    EXPECT_EQ(loaded.messages()[0]->peerText(), "IP: 127.0.0.1:8080");
    EXPECT_EQ(loaded.messages()[1]->peerText(), "IP: [::1]:8080");
}

TEST_F(Ipv6DocumentTest, ATruncatedOrAlteredExtensionIsRefused) {
    Dispatch(1, 0, Peer("::1"), "GET / HTTP/1.1\r\n\r\n");
    const auto bytes = Stored(document);
    const auto load = [](std::vector<std::uint8_t> file) {
        CSnifferDoc loaded;
        MemoryByteSource source(file);
        CArchive archive(source);
        loaded.Serialize(archive);
    };
    EXPECT_NO_THROW(load(bytes));
    // The extension: the family (10), the address (::1), the scope id.
    std::vector<std::uint8_t> extension = {10, 0};
    extension.resize(2 + 15, 0);
    extension.push_back(1);
    const auto at = std::search(bytes.begin(), bytes.end(), extension.begin(), extension.end());
    ASSERT_NE(at, bytes.end());
    const auto offset = static_cast<std::size_t>(at - bytes.begin());
    for (std::size_t end = offset; end < offset + 22; ++end) {
        EXPECT_ANY_THROW(load({bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(end)}))
            << "cut at " << end;
    }
    auto altered = bytes;
    altered[offset] = 7;  // a family that is neither
    EXPECT_ANY_THROW(load(altered));
    auto future = bytes;
    future[4] = HTTPMessage::kSchemaWithNulBytes + 1;  // a schema newer than this program's
    EXPECT_ANY_THROW(load(future));
}

}  // namespace
}  // namespace vantor
