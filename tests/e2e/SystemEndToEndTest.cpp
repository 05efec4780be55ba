// The system-wide source, for real: programs started without vantor-run, whose TLS is in shared
// libraries (curl, python, PHP's curl extension), built into the program (node) or written in
// the program's own language (a static Go client built here), each exchange listed once, paired
// and named by its process. Needs root (BPF programs and probes) and a kernel with BTF.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "e2e/TlsFixtures.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::kScripts;
using test::ReadWholeFile;
using test::RunResult;

// What a saved document says of one request target.
struct Seen {
    int requests = 0;
    int paired = 0;
    std::string command;
    std::string response;  // its response's first line
};

class SystemEndToEndTest : public test::Http2EndToEndTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "system-wide capture loads BPF programs: it needs root";
        }
        if (!std::filesystem::exists("/sys/kernel/btf/vmlinux")) {
            GTEST_SKIP() << "system-wide capture needs a kernel with BTF";
        }
        Http2EndToEndTest::SetUp();
    }

    // Every request target of a saved document: how often it was asked for, answered, and by
    // which process.
    static std::map<std::string, Seen> Targets(const std::filesystem::path& file) {
        CSnifferDoc document;
        EXPECT_EQ(document.OnOpenDocument(file), std::nullopt);
        std::map<std::string, Seen> seen;
        for (const HTTPRequest* request : document.requests()) {
            Seen& target = seen[std::string(request->target())];
            ++target.requests;
            if (const HTTPResponse* response = request->response()) {
                ++target.paired;
                const std::string_view text = response->text();
                target.response = std::string(text.substr(0, text.find('\r')));
            }
            if (const ProcessInfo* process = request->process()) {
                target.command = process->command;
            }
        }
        return seen;
    }

    std::string Plain(const std::string& path) const { return Url(path); }
    std::string Tls(const std::string& path) const { return HttpsUrl(path); }
    std::string Http2(const std::string& path) const { return "https://127.0.0.1:" + tlsH2 + path; }
};

TEST_F(SystemEndToEndTest, EveryRuntimeIsSeenWithoutVantorRun) {
    StartHttp2Nginx();
    if (HasFatalFailure()) {
        return;
    }
    for (const char* name : {"curl-h2.txt", "go-h2.txt", "node-h2.txt", "php-h2.txt"}) {
        std::ofstream(directory / "www" / name) << name << '\n';
    }
    const std::string go = (directory / "goclient").string();
    const RunResult built =
        Run({"env", "CGO_ENABLED=0", "GOCACHE=" + (directory / "gocache").string(),
             "HOME=" + directory.path().string(), "GOFLAGS=-mod=mod", "go", "build", "-o", go,
             kScripts + "/go_client.go"},
            300s);
    ASSERT_EQ(built.status, 0) << built.errors;

    const auto file = directory / "system.vtr";
    StartCapture({"--system", "--save", file.string()});
    if (HasFatalFailure()) {
        return;
    }
    const std::vector<std::vector<std::string>> clients = {
        {"curl", "-s", Plain("/echo/curl-plain")},
        {"curl", "-s", "--cacert", certificate, Tls("/echo/curl-tls")},
        {"curl", "-s", "--http2", "--cacert", certificate, Http2("/curl-h2.txt")},
        {"python3", kScripts + "/tls_client.py", "urllib", Tls("/echo/python-tls"), certificate},
        {go, certificate, Plain("/echo/go-plain"), Tls("/echo/go-tls"), Http2("/go-h2.txt")},
        {"env", "NODE_EXTRA_CA_CERTS=" + certificate, "node", kScripts + "/node_client.js",
         certificate, Tls("/echo/node-fetch"), Tls("/echo/node-https"),
         "https://127.0.0.1:" + tlsH2, "/node-h2.txt"},
        {"php", kScripts + "/php_client.php", certificate, Tls("/echo/php-tls"),
         Http2("/php-h2.txt")},
    };
    for (const auto& client : clients) {
        const RunResult ran = Run(client);
        EXPECT_EQ(ran.status, 0) << client[0] << ": " << ran.errors;
    }
    StopCapture();

    const auto seen = Targets(file);
    const std::string plain = "127.0.0.1:" + port;
    const std::string tls = "127.0.0.1:" + tlsPort;
    const std::string h2 = "127.0.0.1:" + tlsH2;
    const std::vector<std::pair<std::string, std::string>> expected = {
        {plain + "/echo/curl-plain", "curl"},   {tls + "/echo/curl-tls", "curl"},
        {h2 + "/curl-h2.txt", "curl"},          {tls + "/echo/python-tls", "python3"},
        {plain + "/echo/go-plain", "goclient"}, {tls + "/echo/go-tls", "goclient"},
        {h2 + "/go-h2.txt", "goclient"},        {tls + "/echo/node-fetch", "node"},
        {tls + "/echo/node-https", "node"},     {h2 + "/node-h2.txt", "node"},
        {tls + "/echo/php-tls", "php"},         {h2 + "/php-h2.txt", "php"},
    };
    for (const auto& [target, command] : expected) {
        const auto found = seen.find(target);
        if (found == seen.end()) {
            std::string listed;
            for (const auto& [other, what] : seen) {
                listed += "\n  " + other + " by " + what.command;
            }
            ADD_FAILURE() << target << " was not listed; listed:" << listed;
            continue;
        }
        EXPECT_EQ(found->second.requests, 1) << target << ": listed once";
        EXPECT_EQ(found->second.paired, 1) << target << ": answered";
        EXPECT_NE(found->second.response.find("200"), std::string::npos) << target;
        EXPECT_EQ(found->second.command, command) << target;
    }
    // Nothing else of this test's servers: no ciphertext listed, no server's side, nothing of
    // Vantor's own (other programs on the machine are listed too, of course).
    const auto ours = std::count_if(seen.begin(), seen.end(), [&](const auto& target) {
        return target.first.starts_with(plain + "/") || target.first.starts_with(tls + "/") ||
               target.first.starts_with(h2 + "/");
    });
    EXPECT_EQ(static_cast<std::size_t>(ours), expected.size());
}

// Both ways the kernel's transfers are followed: its socket tracepoints (where it has them) and
// the socket system calls (older kernels).
class SystemHooksTest : public SystemEndToEndTest,
                        public ::testing::WithParamInterface<const char*> {
protected:
    void TearDown() override {
        ::unsetenv("VANTOR_SYSTEM_HOOKS");
        SystemEndToEndTest::TearDown();
    }
};

TEST_P(SystemHooksTest, ThreadsOnOneSocketProgramsThatEndAtOnceAndKilledOnes) {
    const auto file = directory / "endings.vtr";
    ::setenv("VANTOR_SYSTEM_HOOKS", GetParam(), 1);
    StartCapture({"--system", "--save", file.string()});
    if (HasFatalFailure()) {
        return;
    }
    // 16 threads write to one socket in turn while another reads: each response under its
    // request, whichever thread's call the kernel's events come from first.
    const RunResult threads = Run({"python3", kScripts + "/threads_client.py", port});
    EXPECT_EQ(threads.output, "16\n") << threads.errors;
    // A program that sends, reads the first bytes back and is gone.
    const RunResult atOnce =
        Run({"python3", "-c",
             "import socket,sys; s=socket.create_connection(('127.0.0.1'," + port +
                 ")); s.sendall(b'GET /echo/at-once HTTP/1.1\\r\\nHost: 127.0.0.1:" + port +
                 "\\r\\n\\r\\n'); s.recv(9)"});
    EXPECT_EQ(atOnce.status, 0) << atOnce.errors;
    // One killed mid-download costs only its own exchange.
    {
        ChildProcess killed(
            {"curl", "-s", "-o", "/dev/null", "--limit-rate", "200k", Url("/bytes/20000000")},
            directory / "killed.out", directory / "killed.err");
        std::this_thread::sleep_for(500ms);
        killed.Signal(SIGKILL);
        EXPECT_TRUE(killed.Wait(10s));
    }
    const RunResult after = Run({"curl", "-s", Url("/echo/after-kill")});
    EXPECT_EQ(after.status, 0);
    StopCapture();

    const auto seen = Targets(file);
    const std::string host = "127.0.0.1:" + port;
    for (int i = 0; i < 16; ++i) {
        const std::string path = "/echo/thread-" + std::to_string(i);
        const auto found = seen.find(host + path);
        ASSERT_NE(found, seen.end()) << path;
        EXPECT_EQ(found->second.requests, 1) << path;
        EXPECT_EQ(found->second.response, "HTTP/1.1 200 " + path) << "paired in order";
    }
    for (const std::string path : {"/echo/at-once", "/bytes/20000000", "/echo/after-kill"}) {
        const auto found = seen.find(host + path);
        ASSERT_NE(found, seen.end()) << path;
        EXPECT_EQ(found->second.requests, 1) << path;
        EXPECT_EQ(found->second.paired, 1) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(EitherHooks, SystemHooksTest, ::testing::Values("sockets", "syscalls"));

}  // namespace
}  // namespace vantor
