// HTTPS and IPv6 captured for real: test servers with a certificate made for the test, on
// 127.0.0.1 and ::1, and clients that use OpenSSL (curl, python) and GnuTLS (wget, git) through
// vantor-run while vantor-dump captures.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <fstream>
#include <regex>
#include <set>

#include "capture/RecordStreamReader.h"
#include "document/CSnifferDoc.h"
#include "e2e/EndToEndFixture.h"
#include "e2e/TlsFixtures.h"
#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using test::Accepts;
using test::ChildProcess;
using test::EndToEndTest;
using test::Exchange;
using test::FreePort;
using test::Http2EndToEndTest;
using test::kScripts;
using test::ReadWholeFile;
using test::Row;
using test::RunResult;
using test::TlsEndToEndTest;

TEST_F(TlsEndToEndTest, HttpsExchangesReadLikeTheirPlainHttpTwins) {
    const auto file = directory / "twins.vtr";
    StartCapture({"--save", file.string()});
    // The same exchanges over plain HTTP, then over TLS, program by program.
    for (const bool tls : {false, true}) {
        const auto url = [&](const std::string& path) { return tls ? HttpsUrl(path) : Url(path); };
        const std::string ca = tls ? certificate : "-";
        const std::string usedPort = tls ? tlsPort : port;
        std::vector<std::string> curl{"curl", "-s", "-o", "/dev/null", "-o", "/dev/null"};
        std::vector<std::string> curlPost{"curl", "-s", "-o", "/dev/null", "--data", "a=1&b=2"};
        std::vector<std::string> wget{"wget", "-q", "-O", "/dev/null"};
        if (tls) {
            curl.insert(curl.end(), {"--cacert", certificate});
            curlPost.insert(curlPost.end(), {"--cacert", certificate});
            wget.push_back("--ca-certificate=" + certificate);
        }
        curl.insert(curl.end(), {url("/echo/curl"), url("/text/2000")});  // one connection
        curlPost.push_back(url("/form"));
        wget.push_back(url("/echo/wget"));
        EXPECT_EQ(Run(Captured(curl)).status, 0);
        EXPECT_EQ(Run(Captured(curlPost)).status, 0);
        const RunResult urllib = Run(Captured(Python({"urllib", url("/echo/urllib"), ca})));
        EXPECT_EQ(urllib.status, 0) << urllib.errors;
        EXPECT_EQ(urllib.output, "/echo/urllib");
        const RunResult keepAlive =
            Run(Captured(Python({"keepalive", "127.0.0.1", usedPort, ca, "client", "3"})));
        EXPECT_EQ(keepAlive.status, 0) << keepAlive.errors;
        EXPECT_EQ(Run(Captured(wget)).status, 0);
        // git over HTTP(S) (libcurl with GnuTLS): the server has no repository, a 404 ends it.
        const RunResult git = Run(Captured(
            {"env", "GIT_SSL_CAINFO=" + certificate, "git", "ls-remote", url("/repo.git")}));
        EXPECT_NE(git.status, 0);
    }
    const auto rows = StopCapture();
    const std::vector<Exchange> exchanges = Exchanges(file);
    constexpr std::size_t kEach = 2 + 1 + 1 + 3 + 1 + 1;
    ASSERT_EQ(exchanges.size(), 2 * kEach) << "nothing else is listed";
    EXPECT_EQ(rows.size(), 4 * kEach);
    std::set<std::string> tlsConnections;
    for (std::size_t i = 0; i < kEach; ++i) {
        const Exchange& plain = exchanges[i];
        const Exchange& tls = exchanges[kEach + i];
        EXPECT_EQ(plain.peer, "IP: 127.0.0.1:" + port);
        EXPECT_EQ(tls.peer, "IP: 127.0.0.1:" + tlsPort);
        ASSERT_FALSE(tls.response.empty()) << tls.request;
        EXPECT_EQ(AsPlain(tls.request), WithoutDate(plain.request));
        EXPECT_EQ(AsPlain(tls.response), WithoutDate(plain.response));
        tlsConnections.insert(tls.connection);
    }
    // curl's two requests and python's three each share a connection: 9 exchanges, 6
    // connections.
    EXPECT_EQ(tlsConnections.size(), kEach - 1 - 2);
    EXPECT_THAT(exchanges[kEach + 2].request, testing::HasSubstr("\r\n\r\na=1&b=2"));
}

TEST_F(TlsEndToEndTest, Ipv6PeersAreCapturedAndSavedInTheirOwnForm) {
    const std::string plain6 = StartServer({"--host", "::1"});
    const std::string tls6 = StartServer({"--host", "::1", "--tls", certificate, key});
    ASSERT_FALSE(plain6.empty());
    ASSERT_FALSE(tls6.empty());
    const auto file = directory / "ipv6.vtr";
    StartCapture({"--save", file.string()});
    EXPECT_EQ(
        Run(Captured({"curl", "-s", "-o", "/dev/null", "http://[::1]:" + plain6 + "/echo/v6"}))
            .status,
        0);
    EXPECT_EQ(Run(Captured({"curl", "-s", "-o", "/dev/null", "--cacert", certificate,
                            "https://[::1]:" + tls6 + "/echo/v6tls"}))
                  .status,
              0);
    EXPECT_EQ(Run(Captured(Python({"keepalive", "::1", tls6, certificate, "py6", "2"}))).status, 0);
    EXPECT_EQ(Run(Captured({"curl", "-s", "-o", "/dev/null", Url("/echo/v4")})).status, 0);
    // Where localhost is ::1 as well, a client that tries it first is seen on it.
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    addrinfo* found = nullptr;
    const bool localhostIsIpv6 = ::getaddrinfo("localhost", nullptr, &hints, &found) == 0;
    if (found != nullptr) {
        ::freeaddrinfo(found);
    }
    if (localhostIsIpv6) {
        EXPECT_EQ(Run(Captured({"curl", "-s", "-o", "/dev/null",
                                "http://localhost:" + plain6 + "/echo/localhost"}))
                      .status,
                  0);
    }
    const auto live = StopCapture();

    ASSERT_EQ(live.size(), localhostIsIpv6 ? 12u : 10u);
    const auto peerOf = [&](const std::string& caption) {
        for (const Row& row : live) {
            if (row.kind == "RES" && row.caption == caption) {
                const Row* request = PairedRequest(live, row);
                EXPECT_NE(request, nullptr) << caption;
                EXPECT_EQ(request != nullptr ? request->peer : "", row.peer);
                return row.peer;
            }
        }
        return std::string("none");
    };
    EXPECT_EQ(peerOf("200 /echo/v6"), "[::1]:" + plain6);
    EXPECT_EQ(peerOf("200 /echo/v6tls"), "[::1]:" + tls6);
    EXPECT_EQ(peerOf("200 /echo/py6/0"), "[::1]:" + tls6);
    EXPECT_EQ(peerOf("200 /echo/py6/1"), "[::1]:" + tls6);
    EXPECT_EQ(peerOf("200 /echo/v4"), "127.0.0.1:" + port);
    if (localhostIsIpv6) {
        EXPECT_EQ(peerOf("200 /echo/localhost"), "[::1]:" + plain6);
    }

    // The saved document opens to the same messages, addresses and pairs.
    const auto saved = Saved(file);
    ASSERT_EQ(saved.size(), live.size());
    for (std::size_t i = 0; i < saved.size(); ++i) {
        EXPECT_EQ(saved[i].peer, live[i].peer);
        EXPECT_EQ(saved[i].caption, live[i].caption);
        EXPECT_EQ(saved[i].paired, live[i].paired);
    }
    CSnifferDoc document;
    ASSERT_EQ(document.OnOpenDocument(file), std::nullopt);
    EXPECT_EQ(document.messages().front()->peerText(), "IP: [::1]:" + plain6);
}

TEST_F(TlsEndToEndTest, LargeTransfersOverTlsAreKeptWholeAndTheClientSeesTheSameBytes) {
    const RunResult unloaded =
        Run({"curl", "-s", "--cacert", certificate, HttpsUrl("/text/3000000")});
    ASSERT_EQ(unloaded.output.size(), 3'000'000u);
    const auto file = directory / "large.vtr";
    const auto raw = directory / "large.records";
    StartCapture({"--set", "max_req_size=8000", "--set", "max_res_size=8000", "--save",
                  file.string(), "--raw", raw.string()});
    const RunResult upload =
        Run(Captured(Python({"post", "127.0.0.1", tlsPort, certificate, "3000000"})));
    EXPECT_EQ(upload.status, 0) << upload.errors;
    const RunResult download =
        Run(Captured({"curl", "-s", "--cacert", certificate, HttpsUrl("/text/3000000")}));
    EXPECT_EQ(download.status, 0);
    EXPECT_TRUE(download.output == unloaded.output) << "the client's bytes are its own";
    StopCapture();

    // The upload went to the TLS library in one call: reported as records of the largest size.
    std::ifstream stream(raw, std::ios::binary);
    RecordStreamReader reader(stream);
    std::size_t largest = 0;
    std::size_t records = 0;
    std::uint64_t received = 0;
    while (reader.Next() == RecordStreamReader::Status::Record) {
        ++records;
        largest = std::max<std::size_t>(largest, reader.header().dataLength);
        if (reader.header().direction == Direction::Received) {
            received += reader.header().dataLength;
        }
    }
    EXPECT_EQ(largest, 1'048'524u);
    EXPECT_GT(received, 3'000'000u);
    EXPECT_LT(received, 3'001'000u) << "the ciphertext is never reported";

    const std::vector<Exchange> exchanges = Exchanges(file);
    ASSERT_EQ(exchanges.size(), 2u);
    EXPECT_GT(exchanges[0].request.size(), 3'000'000u);
    EXPECT_LT(exchanges[0].request.size(), 3'000'300u);
    EXPECT_THAT(exchanges[0].response, testing::EndsWith("got 3000000 bytes"));
    const std::string& response = exchanges[1].response;
    ASSERT_GT(response.size(), 3'000'000u);
    EXPECT_TRUE(response.substr(response.size() - 3'000'000) == unloaded.output);
}

TEST_F(TlsEndToEndTest, AClientKilledMidTransferCostsOnlyItsOwnExchange) {
    StartCapture({"--set", "max_res_size=1"});
    auto killed =
        std::make_unique<ChildProcess>(Captured({"curl", "-s", "-o", "/dev/null", "--cacert",
                                                 certificate, HttpsUrl("/slow/4000000")}),
                                       directory / "killed.out", directory / "killed.err");
    std::this_thread::sleep_for(400ms);
    killed->Signal(SIGKILL);
    EXPECT_TRUE(killed->Wait(10s).has_value());
    EXPECT_EQ(Run(Captured({"curl", "-s", "-o", "/dev/null", "--cacert", certificate,
                            HttpsUrl("/echo/after")}))
                  .status,
              0);
    const auto rows = StopCapture();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].targetOrClass, "127.0.0.1:" + tlsPort + "/slow/4000000");
    EXPECT_EQ(rows[1].paired, "0");
    EXPECT_EQ(rows[3].caption, "200 /echo/after");
    EXPECT_EQ(rows[3].paired, "2");
}

TEST_F(TlsEndToEndTest, AClientWhoseVantorIsKilledMidTlsDownloadFinishesWithTheRightData) {
    const RunResult unloaded =
        Run({"curl", "-s", "--cacert", certificate, HttpsUrl("/slow/4000000")});
    ASSERT_EQ(unloaded.output.size(), 4'000'000u);
    StartCapture({"--set", "max_res_size=8000"});
    auto client = std::make_unique<ChildProcess>(
        Captured({"curl", "-s", "--cacert", certificate, HttpsUrl("/slow/4000000")}),
        directory / "client.out", directory / "client.err");
    std::this_thread::sleep_for(300ms);
    dump->Signal(SIGKILL);
    const auto killedAt = std::chrono::steady_clock::now();
    EXPECT_EQ(client->Wait(30s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - killedAt, 6s);
    EXPECT_TRUE(ReadWholeFile(directory / "client.out") == unloaded.output);
}

TEST_F(Http2EndToEndTest, StreamsOverTlsAndInClearTextAreExchangesOfTheirOwn) {
    StartHttp2Nginx();
    if (HasFatalFailure()) {
        return;
    }
    const auto file = directory / "h2.vtr";
    StartCapture({"--save", file.string()});
    const std::string tls = "https://127.0.0.1:" + tlsH2;
    // Three streams at once on one connection, a POST with a body, a 404; then prior knowledge.
    const RunResult parallel = Run(Captured({"curl", "-s", "-Z", "--http2", "--cacert", certificate,
                                             "-o", "/dev/null", tls + "/a.txt", "-o", "/dev/null",
                                             tls + "/b.txt", "-o", "/dev/null", tls + "/c.txt"}));
    EXPECT_EQ(parallel.status, 0) << parallel.errors;
    const RunResult post = Run(Captured(
        {"curl", "-s", "--http2", "--cacert", certificate, "-d", "name=value", tls + "/post"}));
    EXPECT_EQ(post.output, "posted\n");
    const RunResult missing = Run(Captured(
        {"curl", "-s", "-o", "/dev/null", "--http2", "--cacert", certificate, tls + "/missing"}));
    EXPECT_EQ(missing.status, 0);
    const RunResult clear = Run(Captured(
        {"curl", "-s", "--http2-prior-knowledge", "http://127.0.0.1:" + clearH2 + "/a.txt"}));
    EXPECT_EQ(clear.output, "alpha\n");
    const auto rows = StopCapture();

    const auto exchanges = Exchanges(file);
    ASSERT_EQ(exchanges.size(), 6u);
    EXPECT_EQ(rows.size(), 12u) << "nothing but the streams' messages";
    // By request line and peer: each stream a request of its own, on a connection of its own.
    std::map<std::string, const Exchange*> byTarget;
    std::set<std::string> connections;
    for (const Exchange& exchange : exchanges) {
        const std::string line = exchange.request.substr(0, exchange.request.find("\r\n"));
        byTarget[line + " " + exchange.peer] = &exchange;
        connections.insert(exchange.connection);
        EXPECT_THAT(exchange.request, testing::HasSubstr("\r\nHost: 127.0.0.1:")) << line;
        EXPECT_THAT(exchange.request, testing::HasSubstr("\r\nuser-agent: curl/")) << line;
    }
    EXPECT_EQ(connections.size(), 6u);
    const auto body = [](const std::string& text) {
        return text.substr(text.find("\r\n\r\n") + 4);
    };
    const std::string overTls = " IP: 127.0.0.1:" + tlsH2;
    for (const char* line : {"GET /a.txt HTTP/2", "GET /b.txt HTTP/2", "GET /c.txt HTTP/2",
                             "POST /post HTTP/2", "GET /missing HTTP/2"}) {
        ASSERT_EQ(byTarget.count(line + overTls), 1u) << line;
    }
    const Exchange* a = byTarget["GET /a.txt HTTP/2" + overTls];
    EXPECT_THAT(a->response, testing::StartsWith("HTTP/2 200\r\nserver: nginx"));
    EXPECT_EQ(body(a->response), "alpha\n");
    EXPECT_EQ(body(byTarget["GET /b.txt HTTP/2" + overTls]->response), "bravo\n");
    EXPECT_EQ(body(byTarget["GET /c.txt HTTP/2" + overTls]->response), std::string(100'000, 'c'));
    const Exchange* posted = byTarget["POST /post HTTP/2" + overTls];
    EXPECT_EQ(body(posted->request), "name=value");
    EXPECT_THAT(posted->request,
                testing::HasSubstr("\r\ncontent-type: application/x-www-form-urlencoded\r\n"));
    EXPECT_THAT(byTarget["GET /missing HTTP/2" + overTls]->response,
                testing::StartsWith("HTTP/2 404\r\n"));
    // Prior knowledge in clear text.
    const auto priorKnowledge = byTarget.find("GET /a.txt HTTP/2 IP: 127.0.0.1:" + clearH2);
    ASSERT_NE(priorKnowledge, byTarget.end());
    EXPECT_EQ(body(priorKnowledge->second->response), "alpha\n");
}

TEST_F(EndToEndTest, WebSocketFramesAreLinesUnderThe101) {
    const std::string ws = StartScriptServer("websocket.py", {"server"});
    ASSERT_FALSE(ws.empty());
    const auto file = directory / "ws.vtr";
    StartCapture({"--save", file.string()});
    const RunResult client =
        Run(Captured({"python3", kScripts + "/websocket.py", "client", ws, "/chat"}));
    EXPECT_EQ(client.status, 0) << client.errors;
    EXPECT_EQ(Run(Captured({"curl", "-s", "-o", "/dev/null", Url("/echo/after")})).status, 0);
    const auto rows = StopCapture();
    ASSERT_EQ(rows.size(), 4u) << "the upgrade, its 101, and the next exchange";
    CSnifferDoc document;
    ASSERT_EQ(document.OnOpenDocument(file), std::nullopt);
    ASSERT_EQ(document.responses().size(), 2u);
    const std::string text(document.responses()[0]->text());
    EXPECT_THAT(text, testing::StartsWith("HTTP/1.1 101 Switching Protocols\r\n"));
    EXPECT_THAT(text, testing::EndsWith("\r\n\r\n"
                                        "client text, 5 bytes: hello\r\n"
                                        "client binary, 300 bytes\r\n"
                                        "client text (first fragment), 4 bytes: two \r\n"
                                        "client continuation (last fragment), 5 bytes: parts\r\n"
                                        "client ping, 1 byte\r\n"
                                        "server text, 5 bytes: hello\r\n"
                                        "server binary, 300 bytes\r\n"
                                        "server text (first fragment), 4 bytes: two \r\n"
                                        "server continuation (last fragment), 5 bytes: parts\r\n"
                                        "server pong, 1 byte\r\n"
                                        "client close, 5 bytes: 1000 (normal closure) bye\r\n"
                                        "server close, 5 bytes: 1000 (normal closure) bye\r\n"));
    EXPECT_EQ(document.requests()[0]->response(), document.responses()[0]);
}

// node's OpenSSL is built in: the hooks see none of it, the key log it writes when vantor-run
// asks (--tls-keylog in NODE_OPTIONS) opens fetch, https and http2 alike.
TEST_F(Http2EndToEndTest, NodesBuiltInTlsIsDecryptedWithTheKeysItLogs) {
    StartHttp2Nginx();
    if (HasFatalFailure()) {
        return;
    }
    StartCapture();
    // Options the user gave node are kept.
    const RunResult node =
        Run({"env", "NODE_OPTIONS=--max-old-space-size=256", "NODE_EXTRA_CA_CERTS=" + certificate,
             test::kBin + "/vantor-run", "node", kScripts + "/node_client.js", certificate,
             HttpsUrl("/echo/node-fetch"), HttpsUrl("/echo/node-https"),
             "https://127.0.0.1:" + tlsH2, "/b.txt"});
    EXPECT_EQ(node.status, 0) << node.errors;
    EXPECT_EQ(node.output, "fetch 200 16\nhttps 200\nhttp2 200\n");
    const auto rows = StopCapture();
    ASSERT_EQ(rows.size(), 6u) << "each exchange once, nothing else:\n"
                               << ReadWholeFile(directory / "dump.out")
                               << ReadWholeFile(directory / "dump.err");
    std::set<std::string> captions;
    for (std::size_t i = 0; i < rows.size(); i += 2) {
        EXPECT_EQ(rows[i + 1].paired, std::to_string(i));
        captions.insert(rows[i].targetOrClass + " " + rows[i + 1].caption);
    }
    EXPECT_EQ(captions, (std::set<std::string>{
                            "127.0.0.1:" + tlsPort + "/echo/node-fetch 200 /echo/node-fetch",
                            "127.0.0.1:" + tlsPort + "/echo/node-https 200 /echo/node-https",
                            "127.0.0.1:" + tlsH2 + "/b.txt 200"}));
}

// Chromium's TLS library is its own, built in: it logs its keys to SSLKEYLOGFILE, which
// vantor-run sets.
TEST_F(TlsEndToEndTest, ChromiumIsDecryptedWithTheKeysItLogs) {
    if (!std::filesystem::exists("/usr/bin/chromium")) {
        GTEST_SKIP() << "chromium is not installed";
    }
    StartCapture();
    // --no-sandbox: the test may run as root, where Chromium's sandbox will not start.
    const RunResult page = Run(Captured({"chromium", "--headless=new", "--no-sandbox",
                                         "--disable-gpu", "--ignore-certificate-errors",
                                         "--user-data-dir=" + (directory / "chromium").string(),
                                         "--dump-dom", HttpsUrl("/echo/chromium")}));
    EXPECT_EQ(page.status, 0) << page.errors;
    EXPECT_THAT(page.output, testing::HasSubstr("/echo/chromium"));
    const auto rows = StopCapture();
    const auto listed = std::count_if(rows.begin(), rows.end(), [&](const Row& row) {
        return row.caption == "200 /echo/chromium" && row.paired != "-" &&
               rows.at(std::stoul(row.paired)).targetOrClass ==
                   "127.0.0.1:" + tlsPort + "/echo/chromium";
    });
    EXPECT_EQ(listed, 1) << ReadWholeFile(directory / "dump.out");
    for (const Row& row : rows) {
        EXPECT_EQ(row.caption.find("[TLS"), std::string::npos) << row.caption;
    }
}

TEST_F(TlsEndToEndTest, SessionsWithoutASocketAreDecryptedFromTheirRecordsWithTheKeyLog) {
    StartCapture();
    // asyncio runs TLS over memory buffers and moves the records through the socket itself:
    // the hooks cannot tell its socket, the key log vantor-run asked for opens the records.
    const RunResult asyncio = Run(Captured(Python({"asyncio", tlsPort, certificate, "/echo/a"})));
    EXPECT_EQ(asyncio.status, 0) << asyncio.errors;
    EXPECT_EQ(asyncio.output, "/echo/a");
    EXPECT_EQ(Run(Captured({"curl", "-s", "-o", "/dev/null", "--cacert", certificate,
                            HttpsUrl("/echo/after")}))
                  .status,
              0);
    const auto rows = StopCapture();
    const std::string listing = ReadWholeFile(directory / "dump.out");
    ASSERT_EQ(rows.size(), 4u) << listing;
    // Each exchange once, paired; in either order: the asyncio one waits for its keys, which
    // may let curl's, seen by the hooks, be listed first.
    for (const std::string path : {"/echo/a", "/echo/after"}) {
        const auto response = std::find_if(
            rows.begin(), rows.end(), [&](const Row& row) { return row.caption == "200 " + path; });
        ASSERT_NE(response, rows.end()) << path << "\n" << listing;
        ASSERT_NE(response->paired, "-") << path << "\n" << listing;
        const std::size_t request = std::stoul(response->paired);
        EXPECT_TRUE(rows.at(request).caption.ends_with(path)) << path << "\n" << listing;
    }
    for (const auto& entry :
         std::filesystem::directory_iterator(directory / "runtime" / "vantor")) {
        EXPECT_NE(entry.path().filename().string().rfind("keylog-", 0), 0u)
            << entry.path() << ": the key logs go when capture stops";
    }
}

TEST_F(TlsEndToEndTest, SessionsInMemoryAfterOneThatEndedOnAnOpenSocketAreListedOnTheirOwn) {
    // The first session ends (unwrap) on a socket that stays open; the next ones run in memory
    // buffers, to another server, and may get the address the first one had.
    const std::string other = StartServer({"--tls", certificate, key});
    ASSERT_FALSE(other.empty());
    StartCapture();
    const RunResult run = Run(Captured(Python({"unwrapped", tlsPort, other, certificate})));
    EXPECT_EQ(run.status, 0) << run.errors;
    const auto rows = StopCapture();
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[0].targetOrClass, "127.0.0.1/unwrap");
    EXPECT_EQ(rows[1].caption, "200 OK");
    for (std::size_t i = 0; i < 3; ++i) {
        const Row& response = rows[3 + 2 * i];
        EXPECT_EQ(response.caption, "200 /echo/bio/" + std::to_string(i));
        EXPECT_EQ(response.paired, std::to_string(2 + 2 * i));
        EXPECT_NE(response.connection, rows[0].connection) << "never under the first session";
    }
}

TEST_F(TlsEndToEndTest, AProgramWithoutATlsLibraryIsGivenNone) {
    StartCapture();
    const RunResult plain = Run(Captured(Python({"maps", port})));
    EXPECT_EQ(plain.status, 0) << plain.errors;
    EXPECT_EQ(plain.output, "TLS libraries: none\n");
    const auto rows = StopCapture();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].caption, "200 /echo/maps");
}

}  // namespace
}  // namespace vantor
