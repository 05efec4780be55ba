#include "sources/PcapImport.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <ctime>

#include "PacketFiles.h"
#include "ScopedEnvironment.h"
#include "TempDirectory.h"
#include "TestSupport.h"
#include "capture/CaptureDispatch.h"
#include "document/CSnifferDoc.h"
#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"
#include "http/MessageStart.h"
#include "protocol/Http2Decoder.h"
#include "support/Http2FrameWriter.h"
#include "support/TlsConnectionMaker.h"

namespace vantor {
namespace {

using test::Conversation;
using test::V4;
using test::V6;

constexpr std::string_view kGet = "GET /index.html HTTP/1.1\r\nHost: example.test\r\n\r\n";
constexpr std::string_view kOk =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 5\r\n\r\nhello";

std::string Response(std::string_view body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

std::string Request(std::string_view target) {
    return "GET " + std::string(target) + " HTTP/1.1\r\nHost: example.test\r\n\r\n";
}

class PcapImportTest : public ::testing::Test {
protected:
    CaptureImportResult Import(const test::Octets& file, const ImportProgress& progress = {}) {
        const auto path = m_folder / "capture.pcap";
        test::WriteFile(path, file);
        return ImportPath(path.string(), progress);
    }
    CaptureImportResult ImportPath(const std::string& path, const ImportProgress& progress = {}) {
        m_document.OnNewDocument();
        CaptureDispatch dispatch([this] { return &m_document; });
        return ImportCaptureFile(path, dispatch, m_document, progress);
    }
    std::vector<std::string> RequestTexts() const {
        std::vector<std::string> texts;
        for (const HTTPRequest* request : m_document.requests()) {
            texts.emplace_back(request->text());
        }
        return texts;
    }
    std::vector<std::string> ResponseTexts() const {
        std::vector<std::string> texts;
        for (const HTTPResponse* response : m_document.responses()) {
            texts.emplace_back(response->text());
        }
        return texts;
    }
    // Every response answers the request at the same place.
    void ExpectPairedInOrder() const {
        ASSERT_EQ(m_document.requests().size(), m_document.responses().size());
        for (std::size_t i = 0; i < m_document.responses().size(); ++i) {
            EXPECT_EQ(m_document.responses()[i]->request(), m_document.requests()[i]) << i;
        }
    }

    test::TempDirectory m_folder;
    CSnifferDoc m_document;
};

// ---- link types and addresses -------------------------------------------------------------

struct LinkCase {
    int linkType;
    bool ipv6;
    int vlanTags;
    bool pcapng;
};

class LinkTypeTest : public PcapImportTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(LinkTypeTest, AnExchangeComesOutPairedWithItsPeerAndTimes) {
    const LinkCase link = GetParam();
    const test::Host client = link.ipv6 ? V6(1, 40000) : V4(10, 0, 0, 1, 40000);
    const test::Host server = link.ipv6 ? V6(2, 8080) : V4(10, 0, 0, 2, 8080);
    Conversation conversation(client, server);
    conversation.Open();
    conversation.Client(kGet);
    conversation.Server(kOk);
    conversation.Close();
    const auto packets = conversation.Framed(link.linkType, link.vlanTags);
    const auto result = Import(link.pcapng ? test::PcapngFile(link.linkType, packets)
                                           : test::PcapFile(link.linkType, packets));

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.reassembly.httpFlows, 1u);
    EXPECT_EQ(RequestTexts(), std::vector<std::string>{std::string(kGet)});
    EXPECT_EQ(ResponseTexts(), std::vector<std::string>{std::string(kOk)});
    ExpectPairedInOrder();
    const HTTPRequest& request = *m_document.requests().front();
    EXPECT_EQ(request.peerAddress().HostPort(), 8080);
    if (link.ipv6) {
        EXPECT_EQ(request.peerAddress().family, kAddressFamilyInet6);
        ASSERT_TRUE(request.peerIpv6().has_value());
        EXPECT_EQ(request.peerIpv6()->address, server.address);
    } else {
        EXPECT_EQ(request.peerAddress().family, kAddressFamilyInet);
        EXPECT_EQ(request.peerAddress().address, (std::array<std::uint8_t, 4>{10, 0, 0, 2}));
    }
    // The request's packet, in local time to the millisecond.
    const std::int64_t sent = conversation.times()[3];
    const std::time_t seconds = static_cast<std::time_t>(sent / 1'000'000);
    std::tm local{};
    ASSERT_NE(::localtime_r(&seconds, &local), nullptr);
    EXPECT_EQ(request.firstTime().year, local.tm_year + 1900);
    EXPECT_EQ(request.firstTime().hour, local.tm_hour);
    EXPECT_EQ(request.firstTime().second, local.tm_sec);
    EXPECT_EQ(request.firstTime().milliseconds, (sent / 1000) % 1000);
}

INSTANTIATE_TEST_SUITE_P(
    EveryLinkType, LinkTypeTest,
    ::testing::Values(LinkCase{1, false, 0, false}, LinkCase{1, true, 0, false},
                      LinkCase{1, false, 1, false}, LinkCase{1, true, 2, false},
                      LinkCase{0, false, 0, false}, LinkCase{0, true, 0, false},
                      LinkCase{108, false, 0, false}, LinkCase{113, false, 0, false},
                      LinkCase{113, true, 0, false}, LinkCase{276, false, 0, false},
                      LinkCase{276, true, 0, false}, LinkCase{101, false, 0, false},
                      LinkCase{101, true, 0, false}, LinkCase{1, false, 0, true},
                      LinkCase{276, true, 0, true}),
    [](const ::testing::TestParamInfo<LinkCase>& link) {
        return "link" + std::to_string(link.param.linkType) +
               (link.param.ipv6 ? "_ipv6" : "_ipv4") + "_vlan" +
               std::to_string(link.param.vlanTags) + (link.param.pcapng ? "_pcapng" : "_pcap");
    });

// ---- reassembly ------------------------------------------------------------------------------

std::vector<test::Packet> Reordered(std::vector<test::Packet> packets,
                                    std::initializer_list<std::size_t> order) {
    std::vector<test::Packet> result;
    for (const std::size_t index : order) {
        result.push_back(packets[index]);
    }
    return result;
}

// HTTPS in a pcapng file that carries its keys (a decryption secrets block): decrypted and
// paired; the same packets without the keys list the connection as not decrypted.
TEST_F(PcapImportTest, TlsIsDecryptedWithTheSecretsThePcapngFileCarries) {
    test::TlsConnectionMaker tls({TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256", "http/1.1"});
    ASSERT_TRUE(tls.Send(Direction::Sent, std::string(kGet)));
    ASSERT_TRUE(tls.Send(Direction::Received, Response(std::string(5000, 'z'))));
    Conversation conversation(V4(10, 0, 0, 1, 40000), V4(10, 0, 0, 2, 443));
    conversation.Open();
    for (const auto& [direction, bytes] : tls.trace().segments) {
        const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        for (std::size_t at = 0; at < all.size(); at += 1400) {
            if (direction == Direction::Sent) {
                conversation.Client(all.substr(at, 1400));
            } else {
                conversation.Server(all.substr(at, 1400));
            }
        }
    }
    conversation.Close();
    const auto packets = conversation.Framed(1);

    auto result = Import(test::PcapngFile(1, packets, tls.trace().keyLog));
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.reassembly.tlsFlows, 1u);
    EXPECT_EQ(RequestTexts(), std::vector<std::string>{std::string(kGet)});
    EXPECT_EQ(ResponseTexts(), std::vector<std::string>{Response(std::string(5000, 'z'))});
    ExpectPairedInOrder();

    result = Import(test::PcapngFile(1, packets));
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(RequestTexts(),
              std::vector<std::string>{"[TLS, not decrypted: its keys are not in the key log]"});
    EXPECT_TRUE(ResponseTexts().empty());
}

TEST_F(PcapImportTest, SegmentsOutOfOrderRetransmittedOrOverlappingGiveTheBytesOnceInOrder) {
    const std::string body(600, 'b');  // crosses the client's sequence wrap at 256 bytes
    const std::string response = Response(body);
    Conversation conversation(V4(10, 0, 0, 1, 40000), V4(10, 0, 0, 2, 80));
    conversation.Open();                           // 0 1 2
    conversation.ClientAt(0, kGet.substr(0, 10));  // 3
    conversation.ClientAt(10, kGet.substr(10));    // 4
    conversation.SkipClient(static_cast<std::uint32_t>(kGet.size()));
    conversation.ServerAt(0, response.substr(0, 200));      // 5
    conversation.ServerAt(200, response.substr(200, 300));  // 6
    conversation.ServerAt(500, response.substr(500));       // 7
    // Copies with other bytes in them: bytes given are never given again, and a copy that waits
    // is dropped once the bytes before it came.
    conversation.ServerAt(150, std::string(100, 'X'));      // 8
    conversation.ServerAt(520, std::string(20, 'Y'));       // 9
    conversation.ServerAt(450, response.substr(450, 100));  // 10: half given, half new
    conversation.SkipServer(static_cast<std::uint32_t>(response.size()));
    conversation.Close();  // 11 12 13

    // The request's segments swapped, the response's last segment last, after a copy that
    // begins in what was given and ends in what was not.
    const auto packets = conversation.Framed(1);
    const auto result = Import(test::PcapFile(
        1, Reordered(packets, {0, 1, 2, 4, 3, 9, 5, 6, 10, 8, 7, 6, 7, 11, 12, 13})));

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(RequestTexts(), std::vector<std::string>{std::string(kGet)});
    EXPECT_EQ(ResponseTexts(), std::vector<std::string>{response});
    EXPECT_EQ(result.reassembly.gaps, 0u);
    ExpectPairedInOrder();
}

TEST_F(PcapImportTest, ALostSegmentIsNotedOnItsMessageAndTheNextExchangeIsWhole) {
    const std::string first = Response(std::string(3000, 'a'));
    Conversation conversation(V4(10, 0, 0, 1, 40000), V4(10, 0, 0, 2, 80));
    conversation.Open();
    conversation.Client(Request("/one"));
    conversation.Server(first.substr(0, 1000));
    conversation.SkipServer(1000);  // 1,000 bytes never captured
    conversation.Server(first.substr(2000));
    conversation.AckFromClient();  // the client had them all
    conversation.Client(Request("/two"));
    conversation.Server(kOk);
    conversation.Close();
    const auto result = Import(test::PcapFile(1, conversation.Framed(1)));

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.reassembly.gaps, 1u);
    EXPECT_EQ(result.reassembly.missingBytes, 1000u);
    ASSERT_EQ(m_document.responses().size(), 2u);
    // What came before the hole, never the bytes after it joined on.
    EXPECT_EQ(ResponseTexts()[0], first.substr(0, 1000));
    EXPECT_EQ(m_document.responses()[0]->missing(), 1000u);
    EXPECT_EQ(ResponseTexts()[1], kOk);
    EXPECT_EQ(m_document.responses()[1]->missing(), 0u);
    EXPECT_EQ(RequestTexts(), (std::vector<std::string>{Request("/one"), Request("/two")}));
    ExpectPairedInOrder();

    // The message says so under its text.
    EXPECT_NE(m_document.responses()[0]->MissingNotice().find(
                  "1000 bytes that followed were not captured"),
              std::string::npos);
    EXPECT_EQ(m_document.responses()[0]->text().substr(0, 1000), first.substr(0, 1000));
}

TEST_F(PcapImportTest, HolesWhileLookingForTheNextMessageAreCountedButNotPutOnTheCutOne) {
    const std::string first = Response(std::string(5000, 'a'));
    Conversation conversation(V4(10, 0, 0, 1, 40000), V4(10, 0, 0, 2, 80));
    conversation.Open();
    conversation.Client(Request("/one"));
    conversation.Server(first.substr(0, 1000));
    conversation.SkipServer(1000);
    conversation.Server(first.substr(2000, 1000));  // dropped: not where a message begins
    conversation.SkipServer(500);
    conversation.Server(first.substr(3500));
    conversation.AckFromClient();
    conversation.Client(Request("/two"));
    conversation.Server(kOk);
    const auto result = Import(test::PcapFile(1, conversation.Framed(1)));

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.reassembly.gaps, 2u);
    EXPECT_EQ(result.reassembly.missingBytes, 1500u);
    ASSERT_EQ(m_document.responses().size(), 2u);
    EXPECT_EQ(m_document.responses()[0]->missing(), 1000u);
    EXPECT_EQ(ResponseTexts()[1], kOk);
    ExpectPairedInOrder();
}

TEST_F(PcapImportTest, AHoleLeftAtTheEndOfTheFileIsNotedAndWhatFollowsItStartsAMessage) {
    Conversation conversation(V4(10, 0, 0, 1, 40000), V4(10, 0, 0, 2, 80));
    conversation.Open();
    const std::string one = Request("/one");
    const std::string two = Request("/two");
    conversation.ClientAt(0, one.substr(0, 8));
    // one's rest is lost; two arrives, and nothing acknowledges anything before the file ends.
    conversation.ClientAt(static_cast<std::uint32_t>(one.size()), two);
    const auto result = Import(test::PcapFile(1, conversation.Framed(1)));

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(RequestTexts(), (std::vector<std::string>{one.substr(0, 8), two}));
    EXPECT_EQ(m_document.requests()[0]->missing(), one.size() - 8);
}

TEST_F(PcapImportTest, AFlowSeenFromItsMiddleBeginsAtAMessageAndFindsItsClient) {
    const std::string one = Response(std::string(100, 'z'));
    Conversation conversation(V4(10, 0, 0, 1, 40000), V4(10, 0, 0, 2, 9999));
    // No handshake: the capture began in the middle of a response body.
    conversation.ServerAt(0, one.substr(60));
    conversation.ClientAt(0, Request("/next"));
    conversation.ServerAt(static_cast<std::uint32_t>(one.size() - 60), kOk);
    const auto result = Import(test::PcapFile(1, conversation.Framed(1)));

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.reassembly.gaps, 0u);
    EXPECT_EQ(RequestTexts(), std::vector<std::string>{Request("/next")});
    EXPECT_EQ(ResponseTexts(), std::vector<std::string>{std::string(kOk)});
    ExpectPairedInOrder();
    EXPECT_EQ(m_document.requests()[0]->peerAddress().HostPort(), 9999);
}

TEST_F(PcapImportTest, AServerSeenFirstIsTheServerWithoutAHandshake) {
    Conversation conversation(V4(10, 0, 0, 1, 40000), V4(10, 0, 0, 2, 80));
    // The server's answer is the first thing captured, then the next exchange.
    conversation.ServerAt(0, kOk);
    conversation.ClientAt(0, Request("/b"));
    conversation.ServerAt(static_cast<std::uint32_t>(kOk.size()), kOk);
    const auto result = Import(test::PcapFile(1, conversation.Framed(1)));

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(RequestTexts(), std::vector<std::string>{Request("/b")});
    // Its peer is the server, whichever endpoint spoke first.
    EXPECT_EQ(m_document.requests()[0]->peerAddress().HostPort(), 80);
}

TEST_F(PcapImportTest, KeepAliveAndPipeliningPairAsTheyDoLive) {
    Conversation conversation(V4(10, 0, 0, 1, 40000), V4(10, 0, 0, 2, 80));
    conversation.Open();
    for (const char* target : {"/1", "/2", "/3"}) {
        conversation.Client(Request(target));
        conversation.Server(Response(target));
    }
    // Two requests in one segment, then both answers in one.
    conversation.Client(Request("/4") + Request("/5"));
    conversation.Server(Response("/4") + Response("/5"));
    conversation.Close();
    const auto result = Import(test::PcapFile(1, conversation.Framed(1)));

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.reassembly.httpFlows, 1u);
    ASSERT_GE(m_document.requests().size(), 4u);
    EXPECT_EQ(RequestTexts()[2], Request("/3"));
    EXPECT_EQ(ResponseTexts()[2], Response("/3"));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(m_document.responses()[i]->request(), m_document.requests()[i]);
    }
    // The pipelined pair: split and paired exactly as the same bytes captured live.
    CSnifferDoc live;
    live.OnNewDocument();
    CaptureDispatch dispatch([&live] { return &live; });
    Direction previous = Direction::None;
    const std::pair<Direction, std::string> records[] = {
        {Direction::Sent, Request("/1")},
        {Direction::Received, Response("/1")},
        {Direction::Sent, Request("/2")},
        {Direction::Received, Response("/2")},
        {Direction::Sent, Request("/3")},
        {Direction::Received, Response("/3")},
        {Direction::Sent, Request("/4") + Request("/5")},
        {Direction::Received, Response("/4") + Response("/5")}};
    for (const auto& [direction, bytes] : records) {
        dispatch.Dispatch(
            test::Header(direction, previous, 1, static_cast<std::uint32_t>(bytes.size())),
            test::Bytes(bytes));
        previous = direction;
    }
    ASSERT_EQ(live.requests().size(), m_document.requests().size());
    ASSERT_EQ(live.responses().size(), m_document.responses().size());
    for (std::size_t i = 0; i < live.responses().size(); ++i) {
        EXPECT_EQ(live.responses()[i]->text(), m_document.responses()[i]->text());
        EXPECT_EQ(live.responses()[i]->request() == nullptr,
                  m_document.responses()[i]->request() == nullptr);
    }
}

TEST_F(PcapImportTest, Http2InClearTextIsDecodedIntoItsStreams) {
    Http2FrameWriter client;
    Http2FrameWriter server;
    const Http2FrameWriter::Fields get = {
        {":method", "GET"}, {":scheme", "http"}, {":authority", "h2.test"}, {":path", "/a"}};
    Conversation conversation(V4(10, 0, 0, 1, 40000), V4(10, 0, 0, 2, 8080));
    conversation.Open();
    conversation.Client(std::string(Http2Decoder::kPreface) + Http2FrameWriter::Settings({}) +
                        client.Headers(1, get, true));
    conversation.Server(
        Http2FrameWriter::Settings({}) +
        server.Headers(1, {{":status", "200"}, {"content-type", "text/html"}}, false) +
        Http2FrameWriter::Data(1, "<p>two</p>", true));
    conversation.Close();
    const auto result = Import(test::PcapFile(1, conversation.Framed(1)));

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(RequestTexts(), std::vector<std::string>{"GET /a HTTP/2\r\nHost: h2.test\r\n\r\n"});
    EXPECT_EQ(ResponseTexts(),
              std::vector<std::string>{"HTTP/2 200\r\ncontent-type: text/html\r\n\r\n<p>two</p>"});
    ExpectPairedInOrder();
}

TEST_F(PcapImportTest, OnlyHttpIsTakenOnAnyPort) {
    Conversation ssh(V4(10, 0, 0, 1, 40001), V4(10, 0, 0, 2, 22));
    ssh.Open();
    ssh.Server("SSH-2.0-OpenSSH_9.2\r\n");
    ssh.Client("SSH-2.0-client\r\n");
    ssh.Close();
    Conversation binary(V4(10, 0, 0, 1, 40002), V4(10, 0, 0, 2, 80));
    binary.Open();
    binary.Client(std::string("\x16\x03\x01\x02\x00\x01", 6));  // a TLS hello on port 80
    binary.Server(std::string("\x16\x03\x03\x00\x10", 5));
    binary.Close();
    Conversation http(V4(10, 0, 0, 1, 40003), V4(10, 0, 0, 2, 31337));
    http.Open();
    http.Client(kGet);
    http.Server(kOk);
    http.Close();
    std::vector<test::Packet> packets = ssh.Framed(1);
    for (const auto& more : {binary.Framed(1), http.Framed(1)}) {
        packets.insert(packets.end(), more.begin(), more.end());
    }
    const auto result = Import(test::PcapFile(1, packets));

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.reassembly.flows, 3u);
    EXPECT_EQ(result.reassembly.httpFlows, 1u);
    EXPECT_EQ(RequestTexts(), std::vector<std::string>{std::string(kGet)});
    EXPECT_EQ(m_document.requests()[0]->peerAddress().HostPort(), 31337);
}

TEST_F(PcapImportTest, ConnectionsOnTheSamePortsAgainAreConnectionsOfTheirOwn) {
    Conversation first(V4(10, 0, 0, 1, 40000), V4(10, 0, 0, 2, 80));
    first.Open();
    first.Client(Request("/first"));
    first.Server(kOk);
    first.Reset();
    Conversation second(V4(10, 0, 0, 1, 40000), V4(10, 0, 0, 2, 80), 1'796'000'001'000'000);
    second.Open();
    second.Client(Request("/second"));
    second.Server(kOk);
    std::vector<test::Packet> packets = first.Framed(1);
    const auto more = second.Framed(1);
    packets.insert(packets.end(), more.begin(), more.end());
    const auto result = Import(test::PcapFile(1, packets));

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.reassembly.httpFlows, 2u);
    ASSERT_EQ(m_document.requests().size(), 2u);
    EXPECT_NE(m_document.requests()[0]->GetSocket(), m_document.requests()[1]->GetSocket());
    ExpectPairedInOrder();
}

// ---- bad files -------------------------------------------------------------------------------

TEST_F(PcapImportTest, ATruncatedFileSaysSoAndKeepsWhatCameBefore) {
    Conversation conversation(V4(10, 0, 0, 1, 40000), V4(10, 0, 0, 2, 80));
    conversation.Open();
    conversation.Client(kGet);
    conversation.Server(kOk);
    conversation.Client(Request("/cut"));
    test::Octets file = test::PcapFile(1, conversation.Framed(1));
    file.resize(file.size() - 20);  // the last packet cut short
    const auto result = Import(file);

    EXPECT_FALSE(result.ok());
    EXPECT_NE(result.error.find("truncated"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find("capture.pcap"), std::string::npos) << result.error;
    EXPECT_EQ(RequestTexts(), std::vector<std::string>{std::string(kGet)});
    EXPECT_EQ(ResponseTexts(), std::vector<std::string>{std::string(kOk)});
}

TEST_F(PcapImportTest, FilesThatAreNotCapturesOrCannotBeReadGiveAClearError) {
    const auto text = m_folder / "notes.txt";
    test::WriteFile(text, test::Octets(100, 'x'));
    auto result = ImportPath(text.string());
    EXPECT_FALSE(result.ok());
    EXPECT_NE(result.error.find("is not a capture file"), std::string::npos) << result.error;

    result = ImportPath((m_folder / "missing.pcap").string());
    EXPECT_NE(result.error.find("cannot open"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find("No such file"), std::string::npos) << result.error;

    result = ImportPath(m_folder.path().string());
    EXPECT_FALSE(result.ok());

    // A link type it does not read (IEEE 802.11).
    result = Import(test::PcapFile(105, {}));
    EXPECT_NE(result.error.find("link type"), std::string::npos) << result.error;
    EXPECT_TRUE(m_document.messages().empty());
}

TEST_F(PcapImportTest, MalformedFramesAreCountedAndSkipped) {
    Conversation conversation(V4(10, 0, 0, 1, 40000), V4(10, 0, 0, 2, 80));
    conversation.Open();
    conversation.Client(kGet);
    conversation.Server(kOk);
    std::vector<test::Packet> packets = conversation.Framed(1);
    test::Octets cut = packets[3].frame;
    cut.resize(14 + 20 + 10);  // the TCP header cut short
    packets.insert(packets.begin() + 3, test::Packet{packets[3].microseconds, cut, 0});
    test::Octets badHeader = packets[4].frame;
    badHeader[14] = 0x4F;  // an IP header that claims more than the packet holds
    badHeader[16] = 0;
    badHeader[17] = 10;
    packets.insert(packets.begin() + 3, test::Packet{packets[3].microseconds, badHeader, 0});
    const auto result = Import(test::PcapFile(1, packets));

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.malformed, 2u);
    EXPECT_EQ(RequestTexts(), std::vector<std::string>{std::string(kGet)});
}

TEST_F(PcapImportTest, SegmentsCapturedBeforeTheCardSplitThemSayLengthZero) {
    Conversation conversation(V4(10, 0, 0, 1, 40000), V6(2, 80));
    conversation.Client(kGet);  // IPv6
    Conversation v4(V4(10, 0, 0, 1, 40001), V4(10, 0, 0, 2, 80));
    v4.Client(kGet);
    std::vector<test::Packet> packets;
    for (const test::Octets& ip : {conversation.packets()[0], v4.packets()[0]}) {
        test::Octets frame = test::Frame(101, ip);
        frame[(frame[0] >> 4) == 6 ? 4 : 2] = 0;
        frame[(frame[0] >> 4) == 6 ? 5 : 3] = 0;
        packets.push_back({1'796'000'000'000'000, frame, 0});
    }
    const auto result = Import(test::PcapFile(101, packets));
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.malformed, 0u);
    EXPECT_EQ(RequestTexts(), (std::vector<std::string>{std::string(kGet), std::string(kGet)}));
}

TEST_F(PcapImportTest, ProgressIsToldAndCancellingStops) {
    std::vector<test::Packet> packets;
    for (std::uint16_t i = 0; i < 3000; ++i) {
        Conversation conversation(V4(10, 0, 0, 1, static_cast<std::uint16_t>(20000 + i)),
                                  V4(10, 0, 0, 2, 80));
        conversation.Open();
        conversation.Client(kGet);
        conversation.Server(kOk);
        const auto framed = conversation.Framed(1);
        packets.insert(packets.end(), framed.begin(), framed.end());
    }
    const test::Octets file = test::PcapFile(1, packets);
    std::vector<std::uint64_t> seen;
    auto result = Import(file, [&](std::uint64_t done, std::uint64_t total) {
        EXPECT_EQ(total, file.size());
        seen.push_back(done);
        return true;
    });
    ASSERT_TRUE(result.ok()) << result.error;
    ASSERT_GE(seen.size(), 3u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), file.size());
    EXPECT_EQ(m_document.requests().size(), 3000u);

    result = Import(file, [](std::uint64_t done, std::uint64_t) { return done == 0; });
    EXPECT_TRUE(result.cancelled);
    EXPECT_LT(m_document.requests().size(), 3000u);
}

TEST_F(PcapImportTest, DescribingAnImportNamesWhatWasFound) {
    CaptureImportResult result;
    result.packets = 12;
    result.reassembly.flows = 3;
    result.reassembly.httpFlows = 1;
    result.reassembly.gaps = 2;
    result.reassembly.missingBytes = 1500;
    result.fragments = 1;
    EXPECT_EQ(DescribeImport(result),
              "12 packets, 1 HTTP connection of 3 TCP flows; 1500 bytes in 2 places not "
              "captured; 1 IP fragment left out");
}

// ---- bounds ----------------------------------------------------------------------------------

class CountingSink : public FlowSink {
public:
    void Bytes(std::uint32_t, const TcpEndpoint&, Direction, bool,
               std::span<const std::uint8_t> data, std::int64_t) override {
        given += data.size();
    }
    void Missing(std::uint32_t, Direction, std::uint64_t count) override { missing += count; }
    void Ended(std::uint32_t) override { ++ended; }
    std::uint64_t given = 0;
    std::uint64_t missing = 0;
    std::uint64_t ended = 0;
};

TcpSegment SegmentOf(const test::Octets& ip) {
    TcpSegment segment;
    EXPECT_EQ(ParseFrame(kLinkRaw, ip, segment), FrameVerdict::Segment);
    return segment;
}

TEST(TcpReassemblerTest, MemoryIsBoundedByOpenFlowsAndWaitingBytes) {
    CountingSink sink;
    TcpReassembler reassembler(sink);
    // Flows that never end: the oldest are ended past the bound.
    const std::size_t flows = TcpReassembler::kMostFlows + 100;
    for (std::size_t i = 0; i < flows; ++i) {
        const auto client =
            V4(10, static_cast<std::uint8_t>(1 + (i >> 16)), static_cast<std::uint8_t>(i >> 8),
               static_cast<std::uint8_t>(i), 40000);
        const auto ip =
            test::IpPacket(client, V4(10, 0, 0, 2, 80), 1, 0, test::kAck, Request("/x"));
        const auto copy = ip;
        reassembler.Add(SegmentOf(copy), static_cast<std::int64_t>(i));
    }
    EXPECT_EQ(reassembler.openFlows(), TcpReassembler::kMostFlows);
    EXPECT_EQ(sink.ended, 100u);

    // One flow whose first bytes never come: what waits stays bounded, and the hole is noted.
    const auto client = V4(10, 9, 9, 9, 50000);
    const auto server = V4(10, 0, 0, 2, 80);
    auto first = test::IpPacket(client, server, 1, 0, test::kSyn, "");
    reassembler.Add(SegmentOf(first), 0);
    auto start = test::IpPacket(client, server, 2, 0, test::kAck, Request("/big"));
    reassembler.Add(SegmentOf(start), 0);
    const std::string chunk(60000, 'c');
    std::uint32_t sequence = 2 + static_cast<std::uint32_t>(Request("/big").size()) + 1000;
    for (int i = 0; i < 200; ++i) {  // 12 MB behind a hole of 1,000 bytes
        auto ip = test::IpPacket(client, server, sequence, 0, test::kAck, chunk);
        reassembler.Add(SegmentOf(ip), 0);
        sequence += static_cast<std::uint32_t>(chunk.size());
        EXPECT_LE(reassembler.waitingBytes(), TcpReassembler::kMostWaitingPerSide + chunk.size());
    }
    EXPECT_EQ(sink.missing, 1000u);
    reassembler.Finish();
    EXPECT_EQ(reassembler.openFlows(), 0u);
    EXPECT_EQ(reassembler.waitingBytes(), 0u);
}

TEST(TcpReassemblerTest, FramesAreNeverReadPastTheirEnd) {
    Conversation conversation(V6(1, 40000), V6(2, 80));
    conversation.Client(kGet);
    for (const int linkType : {0, 1, 101, 108, 113, 228, 229, 276}) {
        const test::Octets frame = test::Frame(linkType == 228 || linkType == 229 ? 101 : linkType,
                                               conversation.packets()[0], 1);
        for (std::size_t length = 0; length < frame.size(); ++length) {
            // A copy of exactly length bytes: the sanitizer build catches any read past it.
            const test::Octets cut(frame.begin(), frame.begin() + static_cast<long>(length));
            TcpSegment segment;
            const FrameVerdict verdict = ParseFrame(linkType, cut, segment);
            if (verdict == FrameVerdict::Segment) {
                EXPECT_LE(segment.payload.size(), length);
            }
        }
    }
}

TEST(TcpReassemblerTest, RequestAndResponseStartsAreRecognised) {
    EXPECT_TRUE(LooksLikeRequestStart(test::Bytes("GET / HTTP/1.1")));
    EXPECT_TRUE(LooksLikeRequestStart(test::Bytes("PRI * HTTP/2.0")));
    EXPECT_TRUE(LooksLikeRequestStart(test::Bytes("M-SEARCH * HTTP/1.1")));
    EXPECT_TRUE(LooksLikeRequestStart(test::Bytes("GE")));  // cut inside the method
    EXPECT_FALSE(LooksLikeRequestStart(test::Bytes("get / HTTP/1.1")));
    EXPECT_FALSE(LooksLikeRequestStart(test::Bytes(" GET /")));
    EXPECT_FALSE(LooksLikeRequestStart(test::Bytes("SSH-2.0-OpenSSH")));
    EXPECT_FALSE(LooksLikeRequestStart(test::Bytes("")));
    EXPECT_TRUE(BeginsRequestLine(test::Bytes("GET / HTTP/1.1")));
    EXPECT_FALSE(BeginsRequestLine(test::Bytes("GE"))) << "not yet known to be one";
    EXPECT_TRUE(LooksLikeResponseStart(test::Bytes("HTTP/1.1 200 OK")));
    EXPECT_TRUE(LooksLikeResponseStart(test::Bytes("HTT")));
    EXPECT_FALSE(LooksLikeResponseStart(test::Bytes("HTTX")));
}

}  // namespace
}  // namespace vantor
