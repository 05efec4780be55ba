#include "document/ExchangeQuery.h"

#include <algorithm>
#include <charconv>

#include "platform/AsciiText.h"

namespace vantor {

namespace {

struct Token {
    std::string text;  // quotes taken out
    std::size_t at = 0;
    std::size_t length = 0;
    bool quoted = false;  // a quote began before any field name could end
    bool bar = false;     // "|"
};

bool EqualsFolded(std::string_view text, std::string_view lower) {
    return text.size() == lower.size() && ContainsFolded(text, lower);
}

// A number with an optional unit: its value in the unit's base (bytes, milliseconds).
std::optional<double> Amount(std::string_view text, bool time) {
    double value = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (failure != std::errc() || value < 0) {
        return std::nullopt;
    }
    const std::string unit = AsciiLower(text.substr(static_cast<std::size_t>(end - text.data())));
    if (time) {
        if (unit.empty() || unit == "ms") {
            return value;
        }
        if (unit == "s") {
            return value * 1000;
        }
        return std::nullopt;
    }
    if (unit.empty() || unit == "b") {
        return value;
    }
    if (unit == "k" || unit == "kb") {
        return value * 1024;
    }
    if (unit == "m" || unit == "mb") {
        return value * 1024 * 1024;
    }
    if (unit == "g" || unit == "gb") {
        return value * 1024 * 1024 * 1024;
    }
    return std::nullopt;
}

}  // namespace

std::variant<ExchangeQuery, ExchangeQuery::Error> ExchangeQuery::Parse(std::string_view text) {
    // Tokens: runs of characters up to a space or "|", quotes keeping spaces and bars.
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        if (IsAsciiSpace(text[i])) {
            ++i;
            continue;
        }
        Token token;
        token.at = i;
        if (text[i] == '|') {
            token.bar = true;
            token.text = "|";
            ++i;
        } else {
            bool inQuote = false;
            std::size_t quoteAt = 0;
            while (i < text.size() && (inQuote || (!IsAsciiSpace(text[i]) && text[i] != '|'))) {
                if (text[i] == '"') {
                    inQuote = !inQuote;
                    quoteAt = i;
                    if (inQuote && token.text.find_first_of(":<>") == std::string::npos) {
                        token.quoted = true;
                    }
                } else {
                    token.text += text[i];
                }
                ++i;
            }
            if (inQuote) {
                return Error{quoteAt, text.size() - quoteAt, "a quote is not closed"};
            }
        }
        token.length = i - token.at;
        tokens.push_back(std::move(token));
    }

    ExchangeQuery query;
    bool joinNext = false;
    for (std::size_t t = 0; t < tokens.size(); ++t) {
        const Token& token = tokens[t];
        if (token.bar) {
            if (query.m_clauses.empty() || joinNext || t + 1 == tokens.size()) {
                return Error{token.at, 1, "'|' needs a term on each side"};
            }
            joinNext = true;
            continue;
        }
        Term term;
        std::string_view body = token.text;
        if (body.size() > 1 && body.front() == '-') {
            term.negated = true;
            body.remove_prefix(1);
        }
        const std::size_t mark = token.quoted ? std::string_view::npos : body.find_first_of(":<>");
        if (mark == std::string_view::npos) {
            term.text = AsciiLower(body);
        } else {
            const std::string name = AsciiLower(body.substr(0, mark));
            const char how = body[mark];
            const std::string_view value = body.substr(mark + 1);
            static const std::pair<std::string_view, Field> kFields[] = {
                {"url", Field::Url},         {"method", Field::Method}, {"host", Field::Host},
                {"path", Field::Path},       {"status", Field::Status}, {"type", Field::Type},
                {"header", Field::Header},   {"body", Field::Body},     {"proto", Field::Proto},
                {"process", Field::Process}, {"size", Field::Size},     {"dur", Field::Duration}};
            const auto known = std::find_if(std::begin(kFields), std::end(kFields),
                                            [&name](const auto& f) { return f.first == name; });
            if (known == std::end(kFields)) {
                return Error{token.at, token.length,
                             "unknown field '" + name + "' (a word with ':' in it goes in quotes)"};
            }
            term.field = known->second;
            const bool compares = term.field == Field::Size || term.field == Field::Duration;
            if (compares != (how != ':')) {
                return Error{token.at, token.length,
                             compares ? name + " compares with > or < (" + name +
                                            (term.field == Field::Size ? ">10k)" : ">200ms)")
                                      : "'>' and '<' are for size and dur"};
            }
            if (value.empty()) {
                return Error{token.at, token.length, name + " needs a value"};
            }
            if (compares) {
                const auto amount = Amount(value, term.field == Field::Duration);
                if (!amount) {
                    return Error{token.at, token.length,
                                 term.field == Field::Size
                                     ? "a size is a number of bytes, with k, m or g (10k)"
                                     : "a time is a number of ms or s (200ms, 2s)"};
                }
                term.compare = how == '>' ? Compare::Greater : Compare::Less;
                term.low = *amount;
            } else if (term.field == Field::Status) {
                int low = 0;
                int high = 0;
                const std::string lower = AsciiLower(value);
                const auto dash = lower.find('-');
                const auto number = [](std::string_view digits, int& out) {
                    const auto [end, failure] =
                        std::from_chars(digits.data(), digits.data() + digits.size(), out);
                    return failure == std::errc() && end == digits.data() + digits.size() &&
                           digits.size() == 3;
                };
                bool good = false;
                if (lower.size() == 3 && lower[0] >= '1' && lower[0] <= '9' &&
                    lower.substr(1) == "xx") {
                    low = (lower[0] - '0') * 100;
                    high = low + 99;
                    good = true;
                } else if (dash != std::string::npos) {
                    good = number(std::string_view(lower).substr(0, dash), low) &&
                           number(std::string_view(lower).substr(dash + 1), high) && low <= high;
                } else {
                    good = number(lower, low);
                    high = low;
                }
                if (!good) {
                    return Error{token.at, token.length,
                                 "a status is a code (404), a class (4xx) or a range (400-499)"};
                }
                term.compare = Compare::Range;
                term.low = low;
                term.high = high;
            } else if (term.field == Field::Proto) {
                term.text = AsciiLower(value);
                if (term.text != "h1" && term.text != "h2" && term.text != "ws") {
                    return Error{token.at, token.length, "proto is h1, h2 or ws"};
                }
                term.compare = Compare::Equals;
            } else if (term.field == Field::Header) {
                const auto equals = value.find('=');
                term.text = AsciiLower(value.substr(0, equals));
                if (equals != std::string_view::npos) {
                    term.value = AsciiLower(value.substr(equals + 1));
                }
                term.compare =
                    equals == std::string_view::npos ? Compare::Equals : Compare::Contains;
            } else {
                term.text = AsciiLower(value);
                term.compare = term.field == Field::Method ? Compare::Equals : Compare::Contains;
            }
        }
        if (joinNext) {
            query.m_clauses.back().push_back(std::move(term));
            joinNext = false;
        } else {
            query.m_clauses.push_back({std::move(term)});
        }
    }
    return query;
}

bool ExchangeQuery::Holds(const Term& term, const ExchangeFacts& facts) {
    const auto amount = [&term](double value) {
        return term.compare == Compare::Greater ? value > term.low : value < term.low;
    };
    const auto text = [&term](std::string_view fact) {
        return term.compare == Compare::Equals ? EqualsFolded(fact, term.text)
                                               : ContainsFolded(fact, term.text);
    };
    switch (term.field) {
        case Field::Url:
            return text(facts.url);
        case Field::Method:
            return text(facts.method);
        case Field::Host:
            return text(facts.host);
        case Field::Path:
            return text(facts.path);
        case Field::Process:
            return text(facts.process);
        case Field::Proto:
            return text(facts.protocol);
        case Field::Status:
            return facts.status && *facts.status >= term.low && *facts.status <= term.high;
        case Field::Type:
            return ContainsFolded(facts.mediaType, term.text) ||
                   EqualsFolded(facts.contentClass, term.text);
        case Field::Header:
            return std::any_of(facts.headers.begin(), facts.headers.end(), [&term](const auto& f) {
                return EqualsFolded(f.first, term.text) &&
                       (term.compare == Compare::Equals || ContainsFolded(f.second, term.value));
            });
        case Field::Body:
            return facts.bodyContains && facts.bodyContains(term.text);
        case Field::Size:
            return amount(static_cast<double>(facts.size));
        case Field::Duration:
            return facts.milliseconds && amount(*facts.milliseconds);
    }
    return false;
}

ExchangeQuery::Needs ExchangeQuery::needs() const {
    Needs needs;
    for (const Clause& clause : m_clauses) {
        for (const Term& term : clause) {
            needs.headers = needs.headers || term.field == Field::Header;
            needs.body = needs.body || term.field == Field::Body;
            needs.whole = needs.whole || term.field == Field::Body || term.field == Field::Size ||
                          term.field == Field::Duration;
        }
    }
    return needs;
}

bool ExchangeQuery::Matches(const ExchangeFacts& facts) const {
    return std::all_of(m_clauses.begin(), m_clauses.end(), [&facts](const Clause& clause) {
        return std::any_of(clause.begin(), clause.end(), [&facts](const Term& term) {
            return Holds(term, facts) != term.negated;
        });
    });
}

}  // namespace vantor
