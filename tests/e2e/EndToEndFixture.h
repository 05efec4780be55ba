#pragma once

// What the end-to-end tests share: a local HTTP server on 127.0.0.1, clients started through
// vantor-run, and vantor-dump capturing them. Every test has folders of its own, so tests run
// side by side without meeting each other or a Vantor the user runs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempDirectory.h"
#include "e2e/ChildProcess.h"

namespace vantor::test {

using namespace std::chrono_literals;

inline const std::string kBin = VANTOR_BIN_DIR;
inline const std::string kScripts = std::string(VANTOR_SOURCE_DIR) + "/tests/e2e";

inline sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A port nothing listens on now.
inline std::string FreePort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return std::to_string(ntohs(address.sin_port));
}

// Whether something accepts connections on 127.0.0.1:port.
inline bool Accepts(const std::string& port) {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(static_cast<std::uint16_t>(std::stoi(port)));
    const bool connected =
        ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return connected;
}

// One line of vantor-dump's tsv listing.
struct Row {
    std::size_t index = 0;
    std::string kind;
    std::string connection;
    std::string peer;
    std::string state;
    std::string caption;
    std::string methodOrStatus;
    std::string targetOrClass;
    long skipped = 0;
    std::size_t length = 0;
    std::string paired;
    std::string process;  // where it is known
};

inline std::vector<Row> ParseListing(const std::string& text) {
    std::vector<Row> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, '\t')) {
            fields.push_back(cell);
        }
        if (fields.size() != 11 && fields.size() != 12) {
            ADD_FAILURE() << "not a listing line: " << line;
            continue;
        }
        rows.push_back({std::stoul(fields[0]), fields[1], fields[2], fields[3], fields[4],
                        fields[5], fields[6], fields[7], std::stol(fields[8]),
                        std::stoul(fields[9]), fields[10],
                        fields.size() == 12 ? fields[11] : std::string()});
    }
    return rows;
}

struct RunResult {
    std::optional<int> status;
    std::string output;
    std::string errors;
    std::chrono::milliseconds took{};
};

class EndToEndTest : public testing::Test {
protected:
    void SetUp() override {
        for (const char* folder : {"config", "state", "runtime"}) {
            std::filesystem::create_directories(directory / folder);
        }
        std::filesystem::permissions(directory / "runtime", std::filesystem::perms::owner_all);
        ::setenv("XDG_CONFIG_HOME", (directory / "config").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (directory / "state").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (directory / "runtime").c_str(), 1);
        port = StartServer({});
        ASSERT_FALSE(port.empty());
    }

    void TearDown() override {
        dump.reset();
        servers.clear();
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"}) {
            ::unsetenv(name);
        }
    }

    // Starts one more test server (http_server.py with these options) and returns its port;
    // empty when it did not start.
    std::string StartServer(const std::vector<std::string>& options) {
        return StartScriptServer("http_server.py", options);
    }

    // Starts a test server script that prints its port first; returns the port.
    std::string StartScriptServer(const std::string& script,
                                  const std::vector<std::string>& options) {
        std::vector<std::string> arguments{"python3", kScripts + "/" + script};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const std::string name = "server" + std::to_string(servers.size());
        const auto output = directory / (name + ".out");
        const auto errors = directory / (name + ".err");
        servers.push_back(std::make_unique<ChildProcess>(arguments, output, errors));
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string text = ReadWholeFile(output);
            if (text.find('\n') != std::string::npos) {
                return text.substr(0, text.find('\n'));
            }
            if (servers.back()->Wait(0ms)) {
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        ADD_FAILURE() << "the test server did not start: " << ReadWholeFile(errors);
        return {};
    }

    // Starts nginx from Debian, one process with its files in the test's folder, with more lines
    // for its http block (server blocks among them), and waits until every port accepts.
    void StartNginx(const std::string& httpLines, const std::vector<std::string>& ports) {
        const std::string prefix = directory.path().string();
        std::ofstream(directory / "nginx.conf")
            << "daemon off;\nmaster_process off;\npid " << prefix << "/nginx.pid;\n"
            << "error_log " << prefix << "/nginx.err;\nevents { worker_connections 64; }\n"
            << "http {\n  default_type text/plain;\n"
            << "  client_body_temp_path " << prefix << "/body;\n"
            << "  proxy_temp_path " << prefix << "/proxy;\n"
            << "  fastcgi_temp_path " << prefix << "/fastcgi;\n"
            << "  uwsgi_temp_path " << prefix << "/uwsgi;\n"
            << "  scgi_temp_path " << prefix << "/scgi;\n"
            << httpLines << "}\n";
        servers.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/sbin/nginx", "-p", prefix, "-e", prefix + "/nginx.err",
                                     "-c", prefix + "/nginx.conf"},
            directory / "nginx.out", directory / "nginx.out2"));
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        const auto allAccept = [&ports] {
            return std::all_of(ports.begin(), ports.end(),
                               [](const auto& p) { return Accepts(p); });
        };
        while (!allAccept()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline)
                << ReadWholeFile(directory / "nginx.err")
                << ReadWholeFile(directory / "nginx.out2");
            ASSERT_FALSE(servers.back()->Wait(0ms)) << ReadWholeFile(directory / "nginx.err");
            std::this_thread::sleep_for(10ms);
        }
    }

    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + port + path; }
    std::string Target(const std::string& path) const { return "127.0.0.1:" + port + path; }

    // Starts vantor-dump capturing and waits until it says so.
    void StartCapture(std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(), {kBin + "/vantor-dump", "--format", "tsv"});
        dump = std::make_unique<ChildProcess>(arguments, directory / "dump.out",
                                              directory / "dump.err");
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (ReadWholeFile(directory / "dump.err").find("capturing") == std::string::npos) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline)
                << ReadWholeFile(directory / "dump.err");
            ASSERT_FALSE(dump->Wait(0ms)) << ReadWholeFile(directory / "dump.err");
            std::this_thread::sleep_for(10ms);
        }
    }

    // Stops vantor-dump as Ctrl-C does and returns what it listed.
    std::vector<Row> StopCapture() {
        dump->Signal(SIGINT);
        const auto status = dump->Wait(20s);
        EXPECT_EQ(status, 0) << ReadWholeFile(directory / "dump.err");
        return ParseListing(ReadWholeFile(directory / "dump.out"));
    }

    RunResult Run(const std::vector<std::string>& arguments,
                  std::chrono::milliseconds limit = 60s) {
        static int runs = 0;
        const auto output = directory / ("run" + std::to_string(++runs) + ".out");
        const auto errors = directory / ("run" + std::to_string(runs) + ".err");
        const auto started = std::chrono::steady_clock::now();
        ChildProcess child(arguments, output, errors);
        RunResult result;
        result.status = child.Wait(limit);
        result.took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        result.output = ReadWholeFile(output);
        result.errors = ReadWholeFile(errors);
        return result;
    }

    // The arguments that run a program through vantor-run.
    static std::vector<std::string> Captured(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), kBin + "/vantor-run");
        return arguments;
    }

    std::vector<std::string> Client(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"python3", kScripts + "/client.py"});
        arguments.insert(arguments.begin() + 3, port);
        return arguments;
    }

    // The listing of what a capture with --save saved: every message as it ended, where the
    // live listing shows each as its header completed.
    std::vector<Row> Saved(const std::filesystem::path& file) {
        const RunResult listed =
            Run({kBin + "/vantor-dump", "--open", file.string(), "--format", "tsv"});
        EXPECT_EQ(listed.status, 0) << listed.errors;
        return ParseListing(listed.output);
    }

    static std::vector<Row> Of(const std::vector<Row>& rows, const std::string& kind) {
        std::vector<Row> matching;
        for (const Row& row : rows) {
            if (row.kind == kind) {
                matching.push_back(row);
            }
        }
        return matching;
    }

    // The request row each response row is paired with.
    static const Row* PairedRequest(const std::vector<Row>& rows, const Row& response) {
        if (response.paired == "-") {
            return nullptr;
        }
        const std::size_t index = std::stoul(response.paired);
        return index < rows.size() ? &rows[index] : nullptr;
    }

    test::TempDirectory directory;
    std::vector<std::unique_ptr<ChildProcess>> servers;
    std::unique_ptr<ChildProcess> dump;
    std::string port;
};

}  // namespace vantor::test
