#include "document/ExchangeQuery.h"

#include <gtest/gtest.h>

namespace vantor {
namespace {

// Two exchanges: a JSON API call over HTTP/2 and a failed image fetch over HTTP/1.1.
struct Facts {
    std::vector<std::pair<std::string_view, std::string_view>> headers;
    ExchangeFacts facts;
};

Facts Api() {
    Facts api;
    api.headers = {
        {"Cookie", "session=1"}, {"X-Token", "ABC-123"}, {"Content-Type", "application/json"}};
    api.facts.method = "POST";
    api.facts.url = "api.example.test/v1/users?id=7";
    api.facts.host = "api.example.test";
    api.facts.path = "/v1/users?id=7";
    api.facts.status = 201;
    api.facts.mediaType = "application/json";
    api.facts.contentClass = "application";
    api.facts.bodyContains = [](std::string_view text) {
        return std::string_view("{\"name\":\"ada\"}").find(text) != std::string_view::npos;
    };
    api.facts.protocol = "h2";
    api.facts.process = "node (pid 7, user ada)";
    api.facts.size = 20 * 1024;
    api.facts.milliseconds = 350;
    return api;
}

Facts Image() {
    Facts image;
    image.facts.method = "GET";
    image.facts.url = "cdn.example.test/logo.png";
    image.facts.host = "cdn.example.test";
    image.facts.path = "/logo.png";
    image.facts.status = 404;
    image.facts.mediaType = "image/png";
    image.facts.contentClass = "image";
    image.facts.protocol = "h1";
    image.facts.size = 300;
    return image;
}

TEST(ExchangeQueryTest, TermsFieldsNegationAndAlternativesPickTheRightExchanges) {
    Facts api = Api();
    api.facts.headers = api.headers;
    const Facts image = Image();
    struct Case {
        std::string_view query;
        bool api;
        bool image;
    };
    const Case cases[] = {
        {"", true, true},
        {"USERS", true, false},
        {"example.test", true, true},
        {"method:post", true, false},
        {"method:pos", false, false},  // a method is matched whole
        {"host:cdn", false, true},
        {"path:/v1", true, false},
        {"url:logo", false, true},
        {"status:404", false, true},
        {"status:2xx", true, false},
        {"status:400-499", false, true},
        {"type:json", true, false},
        {"type:image", false, true},
        {"type:application", true, false},
        {"header:cookie", true, false},
        {"header:x-token=abc", true, false},
        {"header:x-token=xyz", false, false},
        {"body:ada", true, false},
        {"proto:h2", true, false},
        {"process:node", true, false},
        {"size>10k", true, false},
        {"size<1k", false, true},
        {"dur>200ms", true, false},
        {"dur<1s", true, false},  // an exchange without a duration passes no time test
        {"-status:404", true, false},
        {"-example", false, false},
        {"status:404 | proto:h2", true, true},
        {"example status:404|method:post", true, true},
        {"host:cdn | host:api -type:image", true, false},
        {"\"users?id=7\"", true, false},
        {"\"a b\"", false, false},
    };
    for (const Case& c : cases) {
        const auto parsed = ExchangeQuery::Parse(c.query);
        ASSERT_TRUE(std::holds_alternative<ExchangeQuery>(parsed)) << c.query;
        const ExchangeQuery& query = std::get<ExchangeQuery>(parsed);
        EXPECT_EQ(query.Matches(api.facts), c.api) << c.query;
        EXPECT_EQ(query.Matches(image.facts), c.image) << c.query;
    }
}

TEST(ExchangeQueryTest, MistakesArePointedAt) {
    struct Case {
        std::string_view query;
        ExchangeQuery::Error error;
    };
    const Case cases[] = {
        {"ok stauts:404", {3, 10, "unknown field 'stauts' (a word with ':' in it goes in quotes)"}},
        {"status:4x", {0, 9, "a status is a code (404), a class (4xx) or a range (400-499)"}},
        {"status:499-400", {0, 14, "a status is a code (404), a class (4xx) or a range (400-499)"}},
        {"size:10", {0, 7, "size compares with > or < (size>10k)"}},
        {"size>ten", {0, 8, "a size is a number of bytes, with k, m or g (10k)"}},
        {"dur>2h", {0, 6, "a time is a number of ms or s (200ms, 2s)"}},
        {"host>3", {0, 6, "'>' and '<' are for size and dur"}},
        {"proto:h3", {0, 8, "proto is h1, h2 or ws"}},
        {"host:", {0, 5, "host needs a value"}},
        {"| a", {0, 1, "'|' needs a term on each side"}},
        {"a |", {2, 1, "'|' needs a term on each side"}},
        {"a | | b", {4, 1, "'|' needs a term on each side"}},
        {"path:\"a b", {5, 4, "a quote is not closed"}},
    };
    for (const Case& c : cases) {
        const auto parsed = ExchangeQuery::Parse(c.query);
        ASSERT_TRUE(std::holds_alternative<ExchangeQuery::Error>(parsed)) << c.query;
        EXPECT_EQ(std::get<ExchangeQuery::Error>(parsed), c.error) << c.query;
    }
}

}  // namespace
}  // namespace vantor
