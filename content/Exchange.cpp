#include "content/Exchange.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "content/BodyDecoder.h"
#include "content/MessageParts.h"
#include "document/ExchangeQuery.h"
#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"
#include "platform/AsciiText.h"

namespace vantor {

namespace {

// Bodies a body: term looks into are decoded up to this size.
constexpr std::size_t kMostSearched = 16 * 1024 * 1024;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

double Milliseconds(const SystemTime& time) {
    const std::int64_t days = DaysFromCivil(time.year, time.month, time.day);
    const std::int64_t seconds = days * 86400 + time.hour * 3600 + time.minute * 60 + time.second;
    return static_cast<double>(seconds) * 1000.0 + time.milliseconds;
}

bool Timed(const SystemTime& time) {
    return time.year != 0;
}

// Whether the decoded body of a message holds text (lower-cased), case-insensitively.
bool BodyHolds(const HTTPMessage* message, std::string_view text) {
    if (message == nullptr || message->headerEnd() < 0) {
        return false;
    }
    return ContainsFolded(DecodeMessageBody(*message, kMostSearched).bytes, text);
}

// One argument for a POSIX shell: in single quotes, or as $'...' where it holds bytes a plain
// quote would let the terminal or the shell misread (control bytes, a quote).
std::string ShellQuoted(std::string_view text) {
    bool plain = true;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || byte >= 0x80 || c == '\'') {
            plain = false;
            break;
        }
    }
    if (plain) {
        return "'" + std::string(text) + "'";
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string quoted = "$'";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '\'') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            quoted += "\\x";
            quoted += kHex[byte >> 4];
            quoted += kHex[byte & 15];
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// Bytes for printf %b in single quotes: printable ASCII as it is, every other byte (NUL among
// them, which no argument can carry) as an octal escape.
std::string PrintfEscaped(std::string_view bytes) {
    std::string escaped = "'";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && c != '\\' && c != '\'') {
            escaped += c;
        } else {
            char octal[8];
            std::snprintf(octal, sizeof octal, "\\0%03o", byte);
            escaped += octal;
        }
    }
    return escaped + "'";
}

}  // namespace

const HTTPMessage& Exchange::first() const {
    return request != nullptr ? static_cast<const HTTPMessage&>(*request) : *response;
}

Exchange ExchangeOf(const HTTPMessage& message) {
    if (message.kind() == MessageKind::Request) {
        const auto& request = static_cast<const HTTPRequest&>(message);
        return {&request, request.response()};
    }
    const auto& response = static_cast<const HTTPResponse&>(message);
    if (const HTTPRequest* request = response.request()) {
        return {request, request->response()};
    }
    return {nullptr, &response};
}

double MillisecondsBetween(const SystemTime& from, const SystemTime& to) {
    return Milliseconds(to) - Milliseconds(from);
}

ExchangeSummary Summarize(const Exchange& exchange) {
    ExchangeSummary summary;
    const HTTPRequest* request = exchange.request;
    const HTTPResponse* response = exchange.response;
    const HTTPMessage& first = exchange.first();
    if (request != nullptr) {
        const StartLineParts line = SplitStartLine(request->text());
        summary.method = request->method().empty() ? line.first : request->method();
        summary.target = line.second;
        summary.path = summary.target.substr(0, summary.target.find('?'));
        summary.version = line.rest;
        if (const auto host = request->headers().Find("host")) {
            summary.host = *host;
        }
        if (summary.version == "HTTP/2") {
            summary.protocol = ExchangeProtocol::Http2;
        }
    }
    if (summary.host.empty()) {
        summary.host = PeerHostAndPort(first);
    }
    if (response != nullptr) {
        const StartLineParts line = SplitStartLine(response->text());
        if (response->headerEnd() >= 0) {
            summary.status = response->statusCode();
            summary.contentClass = response->contentClass();
        }
        summary.reason = line.rest;
        if (summary.version.empty()) {
            summary.version = line.first;
        }
        if (line.first == "HTTP/2") {
            summary.protocol = ExchangeProtocol::Http2;
        }
        const HeaderLookup fields = response->headers();
        if (const auto type = fields.Find("content-type")) {
            std::string_view media = type->substr(0, type->find(';'));
            while (!media.empty() && media.back() == ' ') {
                media.remove_suffix(1);
            }
            summary.mediaType = media;
        }
        if (response->statusCode() == 101 &&
            EqualsIgnoringAsciiCase(fields.Find("upgrade").value_or(""), "websocket")) {
            summary.protocol = ExchangeProtocol::WebSocket;
        }
        if (response->headerEnd() >= 0) {
            summary.bodySize =
                response->capturedSize() - static_cast<std::uint64_t>(response->headerEnd());
        }
    }
    summary.stream = first.http2Stream();
    summary.tls = first.tlsText();
    if (const ProcessInfo* process = first.process()) {
        summary.process = process->command;
        summary.pid = process->pid;
    }
    summary.size = (request != nullptr ? request->capturedSize() : 0) +
                   (response != nullptr ? response->capturedSize() : 0);
    if (request != nullptr) {
        for (const HTTPResponse* interim : request->interimResponses()) {
            summary.size += interim->capturedSize();
        }
    }
    const HTTPMessage& last =
        response != nullptr ? static_cast<const HTTPMessage&>(*response) : first;
    if (Timed(first.firstTime()) && Timed(last.lastTime())) {
        summary.milliseconds =
            std::max(0.0, MillisecondsBetween(first.firstTime(), last.lastTime()));
    }
    summary.https = summary.tls != TlsText::None || first.peerAddress().HostPort() == 443;
    return summary;
}

std::string ExchangeSummary::Url() const {
    if (target.find("://") != std::string_view::npos) {
        return std::string(target);  // absolute form, as to a proxy
    }
    std::string url = https ? "https://" : "http://";
    url += host;
    if (!target.starts_with('/') && !target.empty() && target != "*") {
        url += '/';
    }
    url += target;
    return url;
}

std::string ExchangeSummary::ProtocolText() const {
    switch (protocol) {
        case ExchangeProtocol::WebSocket:
            return "WebSocket";
        case ExchangeProtocol::Http2:
            return stream != 0 ? "HTTP/2 stream " + std::to_string(stream) : "HTTP/2";
        case ExchangeProtocol::Http1:
            break;
    }
    return version.empty() ? std::string("HTTP/1.x") : std::string(version);
}

std::string_view TlsTextName(TlsText text, bool loaded) {
    switch (text) {
        case TlsText::Hooked:
            return "hooked";
        case TlsText::Decrypted:
            return "decrypted";
        case TlsText::None:
            break;
    }
    return loaded ? "" : "plain";
}

bool ExchangeMatches(const ExchangeQuery& query, const Exchange& exchange,
                     const ExchangeSummary& summary) {
    if (query.empty()) {
        return true;
    }
    ExchangeFacts facts;
    facts.method = summary.method;
    // The URL as the list shows it, less its scheme: host and target.
    std::string url;
    if (summary.target.find("://") != std::string_view::npos) {
        url = summary.target;
    } else {
        url = summary.host;
        url += summary.target;
    }
    facts.url = url;
    facts.host = summary.host;
    facts.path = summary.target;
    if (summary.status) {
        facts.status = static_cast<int>(*summary.status);
    }
    facts.mediaType = summary.mediaType;
    if (summary.contentClass) {
        facts.contentClass = *summary.contentClass == ContentClass::AudioVideo
                                 ? std::string_view("audio/video")
                                 : ContentClassName(*summary.contentClass);
    }
    const ExchangeQuery::Needs needs = query.needs();
    std::vector<std::pair<std::string_view, std::string_view>> headers;
    std::vector<std::string> names;  // the lookup lends each name only for its visit
    if (needs.headers) {
        for (const HTTPMessage* message : {static_cast<const HTTPMessage*>(exchange.request),
                                           static_cast<const HTTPMessage*>(exchange.response)}) {
            if (message != nullptr) {
                message->headers().ForEach([&](std::string_view name, std::string_view value) {
                    names.emplace_back(name);
                    headers.emplace_back(std::string_view(), value);
                });
            }
        }
        for (std::size_t i = 0; i < headers.size(); ++i) {
            headers[i].first = names[i];
        }
    }
    facts.headers = headers;
    if (needs.body) {
        facts.bodyContains = [&exchange](std::string_view text) {
            return BodyHolds(exchange.request, text) || BodyHolds(exchange.response, text);
        };
    }
    switch (summary.protocol) {
        case ExchangeProtocol::Http1:
            facts.protocol = "h1";
            break;
        case ExchangeProtocol::Http2:
            facts.protocol = "h2";
            break;
        case ExchangeProtocol::WebSocket:
            facts.protocol = "ws";
            break;
    }
    facts.process = summary.process;
    facts.size = summary.size;
    facts.milliseconds = summary.milliseconds;
    return query.Matches(facts);
}

std::string CurlCommand(const HTTPRequest& request) {
    const ExchangeSummary summary = Summarize({&request, nullptr});
    std::string command = "curl";
    if (summary.protocol == ExchangeProtocol::Http2) {
        command += " --http2";
    }
    const std::string method(summary.method);
    const std::vector<HeaderField> fields = HeaderFields(request);
    const std::string body = BodyBytes(request);
    if (!(method == "GET" && body.empty()) && !method.empty()) {
        command += " -X " + ShellQuoted(method);
    }
    command += " " + ShellQuoted(summary.Url());
    for (const HeaderField& field : fields) {
        // Framing is curl's to write: the body it sends is the body decoded of its chunks.
        if (EqualsIgnoringAsciiCase(field.name, "content-length") ||
            EqualsIgnoringAsciiCase(field.name, "transfer-encoding") ||
            (summary.protocol == ExchangeProtocol::Http2 &&
             EqualsIgnoringAsciiCase(field.name, "host"))) {
            continue;
        }
        // "Name;" is curl's way to send a field with an empty value.
        command += " -H " + ShellQuoted(field.value.empty() ? field.name + ";"
                                                            : field.name + ": " + field.value);
    }
    if (!body.empty()) {
        const HeaderLookup lookup = request.headers();
        const DecodedBody unchunked =
            DecodeBody(body, lookup.Find("transfer-encoding").value_or(""), "", body.size() * 2);
        if (unchunked.bytes.find('\0') != std::string::npos) {
            // A command line cannot carry a NUL byte: the body comes through a pipe.
            command = "printf %b " + PrintfEscaped(unchunked.bytes) + " | " + command +
                      " --data-binary @-";
        } else {
            command += " --data-binary " + ShellQuoted(unchunked.bytes);
        }
    }
    // A body that was not kept cannot be sent again: said after the command, where the shell
    // takes it as a comment.
    if (std::string notice = BodyNotKeptNotice(request); !notice.empty()) {
        std::replace(notice.begin(), notice.end(), '\n', ' ');
        command += " # " + notice;
    }
    return command;
}

std::vector<WebSocketMessage> WebSocketMessages(const HTTPResponse& response) {
    std::vector<WebSocketMessage> messages;
    if (response.headerEnd() < 0) {
        return messages;
    }
    std::string_view log = response.text().substr(static_cast<std::size_t>(response.headerEnd()));
    while (!log.empty()) {
        const std::size_t end = log.find("\r\n");
        const std::string_view line = log.substr(0, end);
        log = end == std::string_view::npos ? std::string_view() : log.substr(end + 2);
        if (line.empty()) {
            continue;
        }
        WebSocketMessage message;
        const bool client = line.starts_with("client ");
        if (!client && !line.starts_with("server ")) {
            message.kind = "notice";
            message.text = line;
            messages.push_back(std::move(message));
            continue;
        }
        message.fromClient = client;
        std::string_view rest = line.substr(7);
        const std::size_t comma = rest.find(", ");
        message.kind = rest.substr(0, comma);
        if (comma != std::string_view::npos) {
            rest.remove_prefix(comma + 2);
            std::uint64_t length = 0;
            const auto [after, error] =
                std::from_chars(rest.data(), rest.data() + rest.size(), length);
            if (error == std::errc()) {
                message.length = length;
            }
            rest.remove_prefix(static_cast<std::size_t>(after - rest.data()));
            if (const std::size_t colon = rest.find(": "); colon != std::string_view::npos) {
                message.text = rest.substr(colon + 2);
            }
        }
        messages.push_back(std::move(message));
    }
    return messages;
}

}  // namespace vantor
