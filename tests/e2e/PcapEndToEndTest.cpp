// A real packet capture: tcpdump records the loopback while curl talks to nginx, and
// vantor-dump --pcap must list every exchange nginx logged.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <sstream>

#include "e2e/EndToEndFixture.h"
#include "e2e/TlsFixtures.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using test::Accepts;
using test::ChildProcess;
using test::EndToEndTest;
using test::ReadWholeFile;
using test::Row;
using test::RunResult;

class PcapEndToEndTest : public EndToEndTest {
protected:
    // nginx from Debian on 127.0.0.1 and ::1, logging "METHOD URI STATUS" per request.
    void StartLoggingNginx() {
        const auto www = directory / "www";
        std::filesystem::create_directories(www);
        std::ofstream(www / "a.txt") << "alpha\n";
        std::ofstream(www / "b.txt") << "bravo\n";
        std::ofstream(www / "big.txt") << std::string(1'500'000, 'x');
        nginxPort = test::FreePort();
        const std::string prefix = directory.path().string();
        std::ostringstream http;
        http << "  log_format plain '$request_method $request_uri $status';\n"
             << "  access_log " << prefix << "/access.log plain;\n"
             << "  server {\n    listen 127.0.0.1:" << nginxPort
             << ";\n    listen [::1]:" << nginxPort << ";\n    root " << www.string() << ";\n  }\n";
        StartNginx(http.str(), {nginxPort});
    }

    std::string nginxPort;
};

// tcpdump writing what passes port on the loopback into file, once it listens; nothing when
// it cannot capture here (tcpdump.err says why).
std::unique_ptr<ChildProcess> StartTcpdump(const std::filesystem::path& directory,
                                           const std::filesystem::path& file,
                                           const std::string& port) {
    if (!std::filesystem::exists("/usr/bin/tcpdump") &&
        !std::filesystem::exists("/usr/sbin/tcpdump")) {
        return nullptr;
    }
    // -Z root: tcpdump would otherwise write the file as another user, into our own folder;
    // -B: a kernel buffer large enough for the loopback's 64 KiB packets; --immediate-mode:
    // each packet written as it comes, not a buffer's worth a second later.
    auto tcpdump = std::make_unique<ChildProcess>(
        std::vector<std::string>{"tcpdump", "-i", "lo", "--immediate-mode", "-U", "-B", "65536",
                                 "-s", "0", "-Z", "root", "-w", file.string(), "tcp port " + port},
        directory / "tcpdump.out", directory / "tcpdump.err");
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ReadWholeFile(directory / "tcpdump.err").find("listening on") == std::string::npos) {
        if (tcpdump->Wait(0ms) || std::chrono::steady_clock::now() > deadline) {
            return nullptr;
        }
        std::this_thread::sleep_for(10ms);
    }
    return tcpdump;
}

void StopTcpdump(ChildProcess& tcpdump, const std::filesystem::path& directory) {
    std::this_thread::sleep_for(200ms);  // the last packets written
    tcpdump.Signal(SIGINT);
    ASSERT_EQ(tcpdump.Wait(20s), 0) << ReadWholeFile(directory / "tcpdump.err");
}

// "METHOD /path STATUS" of every exchange a tsv listing pairs.
std::multiset<std::string> ListedExchanges(const std::vector<Row>& rows) {
    std::multiset<std::string> exchanges;
    for (const Row& response : rows) {
        if (response.kind != "RES" || response.paired == "-") {
            continue;
        }
        const Row& request = rows.at(std::stoul(response.paired));
        const std::size_t path = request.targetOrClass.find('/');
        exchanges.insert(request.methodOrStatus + " " +
                         (path == std::string::npos ? "?" : request.targetOrClass.substr(path)) +
                         " " + response.methodOrStatus);
    }
    return exchanges;
}

TEST_F(PcapEndToEndTest, ATcpdumpCaptureOfCurlListsEveryExchangeTheServerLogged) {
    StartLoggingNginx();
    if (HasFatalFailure()) {
        return;
    }
    const auto file = directory / "capture.pcap";
    auto tcpdump = StartTcpdump(directory.path(), file, nginxPort);
    if (tcpdump == nullptr) {
        GTEST_SKIP() << "tcpdump cannot capture here (it needs CAP_NET_RAW): "
                     << ReadWholeFile(directory / "tcpdump.err");
    }
    const std::string base = "http://127.0.0.1:" + nginxPort;
    // Keep-alive with a 404 among them, a body of many segments, a POST nginx refuses, IPv6.
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"curl", "-s", "-o", "/dev/null", "-o", "/dev/null", "-o", "/dev/null",
              base + "/a.txt", base + "/missing", base + "/b.txt"},
             {"curl", "-s", "-o", "/dev/null", base + "/big.txt"},
             {"curl", "-s", "-o", "/dev/null", "-d", "x=1", base + "/a.txt"},
             {"curl", "-s", "-g", "-o", "/dev/null", "http://[::1]:" + nginxPort + "/b.txt?v=6"}}) {
        const RunResult run = Run(arguments);
        EXPECT_EQ(run.status, 0) << run.errors;
    }
    StopTcpdump(*tcpdump, directory.path());
    if (HasFatalFailure()) {
        return;
    }

    const RunResult listed =
        Run({test::kBin + "/vantor-dump", "--pcap", file.string(), "--format", "tsv"});
    ASSERT_EQ(listed.status, 0) << listed.errors;
    EXPECT_NE(listed.errors.find("4 HTTP connections"), std::string::npos) << listed.errors;
    EXPECT_EQ(listed.errors.find("not captured"), std::string::npos) << listed.errors;

    std::multiset<std::string> logged;
    std::istringstream log(ReadWholeFile(directory / "access.log"));
    for (std::string line; std::getline(log, line);) {
        logged.insert(line);
    }
    ASSERT_EQ(logged.size(), 6u) << ReadWholeFile(directory / "access.log");
    EXPECT_EQ(ListedExchanges(test::ParseListing(listed.output)), logged) << listed.output;

    // Read from a pipe, as from tcpdump -w -.
    const RunResult piped = Run(
        {"/bin/sh", "-c",
         "cat '" + file.string() + "' | '" + test::kBin + "/vantor-dump' --pcap - --format tsv"});
    ASSERT_EQ(piped.status, 0) << piped.errors;
    EXPECT_EQ(ListedExchanges(test::ParseListing(piped.output)), logged);
    EXPECT_NE(piped.errors.find("standard input: "), std::string::npos) << piped.errors;

    // The same file kept as a document lists the same exchanges.
    const auto saved = directory / "capture.vtr";
    const RunResult save = Run({test::kBin + "/vantor-dump", "--pcap", file.string(), "--save",
                                saved.string(), "--format", "tsv"});
    ASSERT_EQ(save.status, 0) << save.errors;
    EXPECT_EQ(ListedExchanges(Saved(saved)), logged);
}

class PcapTlsEndToEndTest : public test::Http2EndToEndTest {};

// HTTPS in a tcpdump capture, with the key log curl wrote: HTTP/1.1 over TLS 1.3 and 1.2, and
// HTTP/2, become exchanges; a connection whose keys are not in the log is listed as such.
TEST_F(PcapTlsEndToEndTest, HttpsOfATcpdumpCaptureIsDecryptedWithTheKeyLog) {
    StartHttp2Nginx();
    if (HasFatalFailure()) {
        return;
    }
    const auto file = directory / "capture.pcap";
    auto tcpdump = StartTcpdump(directory.path(), file, tlsH2);
    if (tcpdump == nullptr) {
        GTEST_SKIP() << "tcpdump cannot capture here (it needs CAP_NET_RAW): "
                     << ReadWholeFile(directory / "tcpdump.err");
    }
    // curl appends to the key log: made first, readable by its owner only.
    const auto keys = directory / "keys.log";
    std::ofstream(keys).close();
    std::filesystem::permissions(
        keys, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const std::string base = "https://127.0.0.1:" + tlsH2;
    const std::string logged = "SSLKEYLOGFILE='" + keys.string() + "' ";
    for (const std::string& command :
         {logged + "curl -sk --http1.1 -o /dev/null -o /dev/null " + base + "/a.txt " + base +
              "/missing",
          logged + "curl -sk --http1.1 --tls-max 1.2 -o /dev/null " + base + "/b.txt",
          logged + "curl -sk --http2 -o /dev/null -o /dev/null " + base + "/a.txt " + base +
              "/c.txt",
          std::string("curl -sk -o /dev/null ") + base + "/b.txt?unlogged"}) {
        const RunResult run = Run({"/bin/sh", "-c", command});
        EXPECT_EQ(run.status, 0) << command << ": " << run.errors;
    }
    StopTcpdump(*tcpdump, directory.path());
    if (HasFatalFailure()) {
        return;
    }

    const RunResult listed = Run({test::kBin + "/vantor-dump", "--pcap", file.string(), "--keylog",
                                  keys.string(), "--format", "tsv"});
    ASSERT_EQ(listed.status, 0) << listed.errors;
    EXPECT_NE(listed.errors.find("4 TLS connections"), std::string::npos) << listed.errors;
    const std::vector<Row> rows = test::ParseListing(listed.output);
    EXPECT_EQ(ListedExchanges(rows),
              (std::multiset<std::string>{"GET /a.txt 200", "GET /missing 404", "GET /b.txt 200",
                                          "GET /a.txt 200", "GET /c.txt 200"}))
        << listed.output << listed.errors;
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                            [](const Row& row) {
                                return row.caption ==
                                       "[TLS, not decrypted: its keys are not in the key log]";
                            }),
              1)
        << listed.output;

    // A key log other users could read is refused, and nothing is imported.
    std::filesystem::permissions(keys, std::filesystem::perms::group_read,
                                 std::filesystem::perm_options::add);
    const RunResult refused =
        Run({test::kBin + "/vantor-dump", "--pcap", file.string(), "--keylog", keys.string()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.errors.find("can be read or written by other users: refused"),
              std::string::npos)
        << refused.errors;
    EXPECT_EQ(refused.output, "");
}

}  // namespace
}  // namespace vantor
