#include "content/Exchange.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "TestSupport.h"
#include "UserSettings.h"
#include "capture/CaptureDispatch.h"
#include "capture/RecordReplay.h"
#include "document/CSnifferDoc.h"
#include "document/ExchangeQuery.h"
#include "options/Options.h"

namespace vantor {
namespace {

using namespace std::string_literals;

// The sample of every kind of exchange, replayed through the capture path as capture feeds it.
class SampleExchanges : public testing::Test {
protected:
    SampleExchanges() {
        Preferences().allowed_content = R"("" "text/" "application/" "image/")";
        Preferences().ParseContentTypes();
        document.SetCaptureRules(CaptureRules::From(Preferences()));
        std::ifstream input(std::string(VANTOR_SOURCE_DIR) + "/samples/exchanges.records",
                            std::ios::binary);
        CaptureDispatch dispatch([this] { return &document; });
        EXPECT_TRUE(ReplayRecordStream(input, dispatch).ok());
    }
    // The exchange whose request target is path.
    Exchange Find(std::string_view path) const {
        for (const HTTPRequest* request : document.requests()) {
            if (Summarize(ExchangeOf(*request)).target == path) {
                return ExchangeOf(*request);
            }
        }
        ADD_FAILURE() << "no exchange for " << path;
        return {};
    }

    test::ScopedDefaultOptions options;
    CSnifferDoc document;
};

TEST_F(SampleExchanges, EachKindOfExchangeIsSummarizedAsTheListShowsIt) {
    struct Case {
        std::string_view path;
        std::string url;
        std::string_view method;
        std::optional<std::uint32_t> status;
        std::string_view mediaType;
        std::string protocol;
        TlsText tls;
        std::uint64_t size;
        double milliseconds;
    };
    const Case cases[] = {
        {"/v1/users?page=1", "http://api.example.test/v1/users?page=1", "GET", 200,
         "application/json", "HTTP/1.1", TlsText::None, 456, 35},
        {"/chat", "http://api.example.test/chat", "GET", 101, "", "WebSocket", TlsText::None, 597,
         57},
        {"/cart", "https://shop.example.test/cart", "GET", 200, "application/json",
         "HTTP/2 stream 1", TlsText::Hooked, 179, 34},
        {"/style.css", "https://shop.example.test/style.css", "GET", 200, "text/css",
         "HTTP/2 stream 3", TlsText::Hooked, 170, 23},
        {"/files/index.json", "http://files.example.test/files/index.json", "GET", 503,
         "application/json", "HTTP/1.1", TlsText::None, 197, 641},
    };
    for (const Case& c : cases) {
        const ExchangeSummary summary = Summarize(Find(c.path));
        EXPECT_EQ(summary.Url(), c.url);
        EXPECT_EQ(summary.method, c.method) << c.path;
        EXPECT_EQ(summary.status, c.status) << c.path;
        EXPECT_EQ(summary.mediaType, c.mediaType) << c.path;
        EXPECT_EQ(summary.ProtocolText(), c.protocol) << c.path;
        EXPECT_EQ(summary.tls, c.tls) << c.path;
        EXPECT_EQ(summary.size, c.size) << c.path;
        EXPECT_EQ(summary.milliseconds, c.milliseconds) << c.path;
    }
    EXPECT_EQ(document.requests().size(), 9u);

    // Query terms that look into headers and decoded bodies (the list is gzip-coded).
    const auto count = [this](std::string_view text) {
        const ExchangeQuery query = std::get<ExchangeQuery>(ExchangeQuery::Parse(text));
        std::size_t passed = 0;
        for (const HTTPRequest* request : document.requests()) {
            const Exchange exchange = ExchangeOf(*request);
            passed += ExchangeMatches(query, exchange, Summarize(exchange)) ? 1u : 0u;
        }
        return passed;
    };
    EXPECT_EQ(count("body:linus"), 1u);
    EXPECT_EQ(count("header:x-request-id=c0ffee"), 1u);
    EXPECT_EQ(count("header:set-cookie proto:h1"), 1u);
    EXPECT_EQ(count("proto:h2 | proto:ws"), 3u);
    EXPECT_EQ(count("dur>500ms"), 1u);
}

TEST_F(SampleExchanges, AWebSocketsLogReadsAsItsMessages) {
    const std::vector<WebSocketMessage> messages = WebSocketMessages(*Find("/chat").response);
    ASSERT_EQ(messages.size(), 8u);
    EXPECT_TRUE(messages[0].fromClient);
    EXPECT_EQ(messages[0].kind, "text");
    EXPECT_EQ(messages[0].length, 19u);
    EXPECT_EQ(messages[0].text, R"({"join": "general"})");
    EXPECT_FALSE(messages[3].fromClient);
    EXPECT_EQ(messages[3].kind, "binary");
    EXPECT_EQ(messages[3].length, 24u);
    EXPECT_EQ(messages[3].text, "");
    EXPECT_EQ(messages[6].kind, "close");
    EXPECT_EQ(messages[6].text, "1000 (normal closure) bye");
}

// What a shell hands curl of a command line: curl is a function that prints its arguments,
// NUL-separated, and what it reads for the argument "@-".
std::string ArgumentsOf(const std::string& command) {
    const std::string script =
        "curl() { for a in \"$@\"; do if [ \"$a\" = @- ]; then cat; printf '\\0'; "
        "else printf '%s\\0' \"$a\"; fi; done; }; " +
        command;
    const std::string path = testing::TempDir() + "/curl-command.sh";
    std::ofstream(path, std::ios::binary) << script;
    FILE* shell = ::popen(("/bin/bash " + path).c_str(), "r");
    std::string out;
    char buffer[4096];
    for (std::size_t got = 0; (got = std::fread(buffer, 1, sizeof buffer, shell)) > 0;) {
        out.append(buffer, got);
    }
    ::pclose(shell);
    return out;
}

TEST(CurlCommandTest, TheShellHandsCurlEveryByteOfTheRequest) {
    std::string body = "a'b\"c $HOME `id` \\ \n\r\t end \x01\x7f\xff\xc3\xa9";
    body += '\0';
    body += "after NUL";
    struct Case {
        std::string request;
        std::string arguments;  // NUL-separated
    };
    const Case cases[] = {
        {"GET /p?q=1&r='2' HTTP/1.1\r\nHost: h.test:8080\r\nX-A: it's\r\nX-Empty:\r\n\r\n",
         "http://h.test:8080/p?q=1&r='2'\0-H\0Host: h.test:8080\0-H\0X-A: it's\0-H\0X-Empty;\0"s},
        {"POST /u HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\n\r\n" + body,
         "-X\0POST\0http://h/u\0-H\0Host: h\0--data-binary\0"s + body + '\0'},
        {"POST /t HTTP/1.1\r\nHost: h\r\nContent-Length: 9\r\n\r\n$'x'\\\n%s!",
         "-X\0POST\0http://h/t\0-H\0Host: h\0--data-binary\0$'x'\\\n%s!\0"s},
        {"PUT /c HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         "-X\0PUT\0http://h/c\0-H\0Host: h\0--data-binary\0abc\0"s},
    };
    for (const Case& c : cases) {
        CSnifferDoc document;
        document.NewRequest(test::Header(1, 0, 5), test::Bytes(c.request));
        const std::string command = CurlCommand(*document.requests().back());
        EXPECT_EQ(ArgumentsOf(command), c.arguments) << command;
        EXPECT_EQ(command.find('\n'), std::string::npos) << "one line: " << command;
    }
}

}  // namespace
}  // namespace vantor
