#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vantor {

// What a query looks at of one exchange (a request with its response).
struct ExchangeFacts {
    std::string_view method;
    std::string_view url;  // as listed: host and target
    std::string_view host;
    std::string_view path;
    std::optional<int> status;      // of the final response, once there is one
    std::string_view mediaType;     // the response's Content-Type, without parameters
    std::string_view contentClass;  // "text", "image", "application", "audio/video", ...
    // The header fields of both messages, in order.
    std::span<const std::pair<std::string_view, std::string_view>> headers;
    // Whether the decoded body of either message contains the text (case-insensitively); asked
    // only when a query has a body term.
    std::function<bool(std::string_view)> bodyContains;
    std::string_view protocol;           // "h1", "h2" or "ws"
    std::string_view process;            // as listed; empty where not known
    std::uint64_t size = 0;              // bytes of both messages
    std::optional<double> milliseconds;  // first request byte to last response byte
};

// The filter language of the exchange list and of vantor-dump --filter. Terms are separated by
// spaces and all must hold; "a | b" holds when either does ("|" binds its neighbours only).
// A bare word is a case-insensitive substring of the URL; "field:value" looks at one fact:
// method, host, path, url, status (404, 4xx, 400-499), type (a substring of the media type,
// or a content class: json, image, text), header (a field's name, or name=value), body,
// proto (h1, h2, ws), process; size and dur compare with ">" or "<" (size>10k, dur>200ms).
// "-" before a term negates it; "..." quotes a value with spaces.
class ExchangeQuery {
public:
    struct Error {
        std::size_t at = 0;      // where in the text
        std::size_t length = 0;  // how much of it is wrong
        std::string message;

        friend bool operator==(const Error&, const Error&) = default;
    };

    static std::variant<ExchangeQuery, Error> Parse(std::string_view text);

    bool Matches(const ExchangeFacts& facts) const;
    // The facts a match may ask for that cost something to gather.
    struct Needs {
        bool headers = false;
        bool body = false;
        bool whole = false;  // the exchange as it ends: its bodies, size or duration
    };
    Needs needs() const;
    bool empty() const { return m_clauses.empty(); }

private:
    enum class Field {
        Url,
        Method,
        Host,
        Path,
        Status,
        Type,
        Header,
        Body,
        Proto,
        Process,
        Size,
        Duration
    };
    enum class Compare { Contains, Equals, Range, Greater, Less };
    struct Term {
        Field field = Field::Url;
        Compare compare = Compare::Contains;
        bool negated = false;
        std::string text;   // lower-cased; a header term's name
        std::string value;  // a header term's value (after "="), lower-cased
        double low = 0;     // status ranges, sizes in bytes, durations in milliseconds
        double high = 0;
    };
    // Terms joined by "|"; the query holds when every clause does.
    using Clause = std::vector<Term>;

    static bool Holds(const Term& term, const ExchangeFacts& facts);

    std::vector<Clause> m_clauses;
};

}  // namespace vantor
