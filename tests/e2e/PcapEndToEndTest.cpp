// A real packet capture: tcpdump records the loopback while curl talks to nginx, and
// vantor-dump --pcap must list every exchange nginx logged.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <sstream>

#include "e2e/EndToEndFixture.h"

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
    if (!std::filesystem::exists("/usr/bin/tcpdump") &&
        !std::filesystem::exists("/usr/sbin/tcpdump")) {
        GTEST_SKIP() << "tcpdump is not installed";
    }
    StartLoggingNginx();
    if (HasFatalFailure()) {
        return;
    }
    const auto file = directory / "capture.pcap";
    // -Z root: tcpdump would otherwise write the file as another user, into our own folder;
    // -B: a kernel buffer large enough for the loopback's 64 KiB packets; --immediate-mode:
    // each packet written as it comes, not a buffer's worth a second later.
    ChildProcess tcpdump({"tcpdump", "-i", "lo", "--immediate-mode", "-U", "-B", "65536", "-s", "0",
                          "-Z", "root", "-w", file.string(), "tcp port " + nginxPort},
                         directory / "tcpdump.out", directory / "tcpdump.err");
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ReadWholeFile(directory / "tcpdump.err").find("listening on") == std::string::npos) {
        if (tcpdump.Wait(0ms)) {
            GTEST_SKIP() << "tcpdump cannot capture here (it needs CAP_NET_RAW): "
                         << ReadWholeFile(directory / "tcpdump.err");
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(10ms);
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
    std::this_thread::sleep_for(200ms);  // the last packets written
    tcpdump.Signal(SIGINT);
    ASSERT_EQ(tcpdump.Wait(20s), 0) << ReadWholeFile(directory / "tcpdump.err");

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

}  // namespace
}  // namespace vantor
