#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/MessageTypes.h"
#include "platform/SystemTime.h"
#include "record/TlsText.h"

namespace vantor {

class ExchangeQuery;
class HTTPMessage;
class HTTPRequest;
class HTTPResponse;

// One exchange: a request and the final response paired with it (its interim responses hang
// on the request), or a response that no request owns. Either may be null, not both.
struct Exchange {
    const HTTPRequest* request = nullptr;
    const HTTPResponse* response = nullptr;

    // The message the exchange began with.
    const HTTPMessage& first() const;
    friend bool operator==(const Exchange&, const Exchange&) = default;
};

// The exchange a message is part of: a request's, or an interim or final response's (with
// its request, when it has one).
Exchange ExchangeOf(const HTTPMessage& message);

enum class ExchangeProtocol : std::uint8_t { Http1, Http2, WebSocket };

// What a row of the exchange list shows of an exchange, and what a filter looks at. The views
// point into the messages' texts: valid while they do not grow.
struct ExchangeSummary {
    std::string_view method;
    std::string host;          // the Host field (lower-cased), else the peer's address and port
    std::string_view target;   // the request target as sent
    std::string_view path;     // the target without its query
    std::string_view version;  // "HTTP/1.1", "HTTP/2"
    std::optional<std::uint32_t> status;  // of the final response, once its header came
    std::string_view reason;
    std::string_view mediaType;                // lower-cased, without parameters
    std::optional<ContentClass> contentClass;  // of the response, once there is one
    ExchangeProtocol protocol = ExchangeProtocol::Http1;
    std::uint32_t stream = 0;  // the HTTP/2 stream, where capture said
    TlsText tls = TlsText::None;
    std::string_view process;  // the command, where known
    std::uint32_t pid = 0;
    std::uint64_t size = 0;              // bytes of both messages as captured
    std::uint64_t bodySize = 0;          // of the response's body
    std::optional<double> milliseconds;  // first request byte to last response byte
    bool https = false;                  // TLS on the wire (or port 443)

    // scheme://host target (the target as it is when absolute).
    std::string Url() const;
    // "HTTP/1.1", "HTTP/2 stream 3", "WebSocket".
    std::string ProtocolText() const;
};

ExchangeSummary Summarize(const Exchange& exchange);

// "plain", "hooked" (taken from inside the program's TLS library), "decrypted" (with logged
// keys); "" for a message whose origin is not known (one read from a document file).
std::string_view TlsTextName(TlsText text, bool loaded);

// Milliseconds from one capture time to another (negative when to is earlier).
double MillisecondsBetween(const SystemTime& from, const SystemTime& to);

// Whether the exchange passes the query.
bool ExchangeMatches(const ExchangeQuery& query, const Exchange& exchange,
                     const ExchangeSummary& summary);

// A shell command that sends the request again with curl: its method, URL, header fields and
// body, every argument in single quotes (or $'...' with escapes for bytes a quote cannot
// carry), so that any byte survives the shell.
std::string CurlCommand(const HTTPRequest& request);

// One message of a WebSocket conversation, as the 101 response's log lists it.
struct WebSocketMessage {
    bool fromClient = false;
    std::string kind;  // text, binary, ping, pong, close, continuation
    std::uint64_t length = 0;
    std::string text;  // the text shown of it (nothing for binary frames)
};
// The messages logged after a WebSocket's 101 response header; lines that are not messages
// (notices) come as kind "notice" with their text.
std::vector<WebSocketMessage> WebSocketMessages(const HTTPResponse& response);

}  // namespace vantor
