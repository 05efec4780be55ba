#pragma once

// Fixtures of the HTTPS end-to-end tests: a certificate made for the test, a TLS test server,
// nginx serving HTTP/2, and the exchanges of a saved document.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "document/CSnifferDoc.h"
#include "e2e/EndToEndFixture.h"
#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"

namespace vantor::test {

using namespace std::chrono_literals;

// One request and the response paired with it, as a saved document holds them.
struct Exchange {
    std::string connection;
    std::string peer;
    std::string request;
    std::string response;
};

class TlsEndToEndTest : public EndToEndTest {
protected:
    void SetUp() override {
        EndToEndTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        certificate = (directory / "certificate.pem").string();
        key = (directory / "key.pem").string();
        const RunResult made =
            Run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                 "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost",
                 "-keyout", key, "-out", certificate});
        ASSERT_EQ(made.status, 0) << made.errors;
        tlsPort = StartServer({"--tls", certificate, key});
        ASSERT_FALSE(tlsPort.empty());
    }

    std::string HttpsUrl(const std::string& path) const {
        return "https://127.0.0.1:" + tlsPort + path;
    }

    std::vector<std::string> Python(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"python3", kScripts + "/tls_client.py"});
        return arguments;
    }

    // Every request of a saved document with the response paired with it, in the order the
    // requests came; a response paired with nothing fails the test.
    static std::vector<Exchange> Exchanges(const std::filesystem::path& file) {
        CSnifferDoc document;
        EXPECT_EQ(document.OnOpenDocument(file), std::nullopt);
        std::vector<Exchange> exchanges;
        std::map<const HTTPMessage*, std::size_t> indexOf;
        for (const auto& message : document.messages()) {
            const std::string connection = std::to_string(message->GetSocket());
            if (message->kind() == MessageKind::Request) {
                indexOf[message.get()] = exchanges.size();
                exchanges.push_back({connection,
                                     std::string(message->peerText()),
                                     std::string(message->text()),
                                     {}});
                continue;
            }
            const auto* response = static_cast<const HTTPResponse*>(message.get());
            const auto found = indexOf.find(response->request());
            if (found == indexOf.end()) {
                ADD_FAILURE() << "a response paired with no request: " << message->caption();
                continue;
            }
            Exchange& exchange = exchanges[found->second];
            EXPECT_EQ(exchange.connection, connection) << message->caption();
            EXPECT_TRUE(exchange.response.empty()) << "two responses for one request";
            exchange.response = std::string(message->text());
        }
        return exchanges;
    }

    // A text as the same exchange with the plain server would have it: its port, no Date.
    std::string AsPlain(std::string text) const {
        for (const std::string host : {"127.0.0.1:", "[::1]:"}) {
            text = std::regex_replace(
                text,
                std::regex(std::regex_replace(host + tlsPort, std::regex(R"([\[\].])"), R"(\$&)")),
                host + port);
        }
        return WithoutDate(text);
    }
    static std::string WithoutDate(const std::string& text) {
        return std::regex_replace(text, std::regex("\r\nDate: [^\r]*"), "");
    }

    std::string certificate;
    std::string key;
    std::string tlsPort;
};

class Http2EndToEndTest : public TlsEndToEndTest {
protected:
    // nginx from Debian, one process, serving www/ over HTTP/2: with TLS (ALPN h2) on one
    // port, in clear text (prior knowledge) on the other.
    void StartHttp2Nginx() {
        const auto www = directory / "www";
        std::filesystem::create_directories(www);
        std::ofstream(www / "a.txt") << "alpha\n";
        std::ofstream(www / "b.txt") << "bravo\n";
        std::ofstream(www / "c.txt") << std::string(100'000, 'c');
        tlsH2 = FreePort();
        clearH2 = FreePort();
        std::ostringstream http;
        http << "  access_log off;\n"
             << "  server {\n    listen 127.0.0.1:" << tlsH2 << " ssl http2;\n"
             << "    ssl_certificate " << certificate << ";\n    ssl_certificate_key " << key
             << ";\n    root " << www.string() << ";\n"
             << "    location = /post { return 200 \"posted\\n\"; }\n  }\n"
             << "  server {\n    listen 127.0.0.1:" << clearH2 << " http2;\n    root "
             << www.string() << ";\n  }\n";
        StartNginx(http.str(), {tlsH2, clearH2});
    }

    std::string tlsH2;
    std::string clearH2;
};

}  // namespace vantor::test
