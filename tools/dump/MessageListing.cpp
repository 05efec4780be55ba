#include "tools/dump/MessageListing.h"

#include "content/Exchange.h"
#include "document/ExchangeQuery.h"

#include <arpa/inet.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>
#include <unordered_map>

#include "content/MessageParts.h"
#include "document/CSnifferDoc.h"

namespace vantor {

namespace {

// Appends bytes escaped so that they stay on one line and in one column.
void AppendEscaped(std::string& out, std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t plain = 0;  // the start of the run of bytes that need nothing
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            continue;
        }
        out.append(bytes.substr(plain, i - plain));
        plain = i + 1;
        switch (byte) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += "\\x";
                out += kHex[byte >> 4];
                out += kHex[byte & 0xF];
        }
    }
    out.append(bytes.substr(plain));
}

void AppendDecimal(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// Appends text, then spaces up to width (as "%-Ns").
void AppendPadded(std::string& out, std::string_view text, std::size_t width) {
    out.append(text);
    if (text.size() < width) {
        out.append(width - text.size(), ' ');
    }
}

// a.b.c.d:port, or [IPv6 address]:port.
void AppendPeer(std::string& out, const HTTPMessage& message) {
    const SockAddrIn& peer = message.peerAddress();
    if (const auto& ipv6 = message.peerIpv6()) {
        char address[INET6_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET6, ipv6->address.data(), address, sizeof address);
        out += '[';
        out += address;
        if (ipv6->scopeId != 0) {
            out += '%';
            AppendDecimal(out, ipv6->scopeId);
        }
        out += "]:";
    } else {
        for (std::size_t i = 0; i < peer.address.size(); ++i) {
            AppendDecimal(out, peer.address[i]);
            out += i + 1 < peer.address.size() ? '.' : ':';
        }
    }
    AppendDecimal(out, peer.HostPort());
}

std::string PeerString(const HTTPMessage& message) {
    std::string text;
    AppendPeer(text, message);
    return text;
}

// A name, or the number when the name is not known (a file from a newer program).
void AppendNameOrNumber(std::string& out, std::string_view name, std::int32_t number) {
    if (name.empty()) {
        out += std::to_string(number);
    } else {
        out += name;
    }
}

void AppendState(std::string& out, AssemblyState state) {
    AppendNameOrNumber(out, AssemblyStateName(state), static_cast<std::int32_t>(state));
}

void AppendContentClass(std::string& out, ContentClass contentClass) {
    AppendNameOrNumber(out, ContentClassName(contentClass),
                       static_cast<std::int32_t>(contentClass));
}

std::string StateString(AssemblyState state) {
    std::string text;
    AppendState(text, state);
    return text;
}

std::string ContentClassString(ContentClass contentClass) {
    return std::string(ContentClassName(contentClass).empty()
                           ? std::to_string(static_cast<std::int32_t>(contentClass))
                           : ContentClassName(contentClass));
}

// The index of the request a response answers, or nothing.
std::optional<std::size_t> PairedRequestIndex(const HTTPMessage& message,
                                              const MessageIndexes& indexOf) {
    if (message.kind() != MessageKind::Response) {
        return std::nullopt;
    }
    const HTTPRequest* request = static_cast<const HTTPResponse&>(message).request();
    if (request == nullptr) {
        return std::nullopt;
    }
    const auto paired = indexOf.find(request);
    return paired != indexOf.end() ? std::optional(paired->second) : std::nullopt;
}

// Method and target of a request, or status code and content class of a response.
void AppendWhatAndWhere(std::string& out, const HTTPMessage& message, char separator) {
    if (message.kind() == MessageKind::Request) {
        const auto& request = static_cast<const HTTPRequest&>(message);
        AppendEscaped(out, request.method());
        out += separator;
        AppendEscaped(out, request.target());
    } else {
        const auto& response = static_cast<const HTTPResponse&>(message);
        AppendDecimal(out, response.statusCode());
        out += separator;
        AppendContentClass(out, response.contentClass());
    }
}

void WriteTsvRow(std::string& line, std::size_t index, const HTTPMessage& message,
                 const MessageIndexes& indexOf) {
    AppendDecimal(line, index);
    line += message.kind() == MessageKind::Request ? "\tREQ\t" : "\tRES\t";
    AppendDecimal(line, message.GetSocket());
    line += '\t';
    AppendPeer(line, message);
    line += '\t';
    AppendState(line, message.state());
    line += '\t';
    AppendEscaped(line, message.caption());
    line += '\t';
    AppendWhatAndWhere(line, message, '\t');
    line += '\t';
    line += std::to_string(message.skipped());
    line += '\t';
    AppendDecimal(line, message.capturedSize());
    line += '\t';
    if (const auto paired = PairedRequestIndex(message, indexOf)) {
        AppendDecimal(line, *paired);
    } else {
        line += '-';
    }
    if (const ProcessInfo* process = message.process()) {
        line += '\t';
        AppendEscaped(line, DescribeProcess(*process));
    }
    line += '\n';
}

// One line for a reader: where, what state, the caption, then the details that matter.
void WriteTextRow(std::string& line, std::size_t index, const HTTPMessage& message,
                  const MessageIndexes& indexOf) {
    std::string number;
    AppendDecimal(number, index);
    line.append(number.size() < 5 ? 5 - number.size() : 0, ' ');
    line += number;
    line += message.kind() == MessageKind::Request ? "  REQ  " : "  RES  ";
    const std::string time = message.timeText();
    line += time.substr(std::min(time.size(), time.find(' ') + 1));
    line += "  ";
    std::string field;
    AppendPeer(field, message);
    AppendPadded(line, field, 21);
    line += "  conn ";
    field.clear();
    AppendDecimal(field, message.GetSocket());
    AppendPadded(line, field, 10);
    line += "  ";
    field.clear();
    AppendState(field, message.state());
    AppendPadded(line, field, 13);
    line += "  ";
    AppendEscaped(line, message.caption());
    line += "  [";
    if (message.kind() == MessageKind::Response) {
        AppendContentClass(line, static_cast<const HTTPResponse&>(message).contentClass());
        line += ", ";
    }
    AppendDecimal(line, message.capturedSize());
    line += " bytes";
    if (message.skipped() != 0) {
        line += ", " + std::to_string(message.skipped()) + " skipped";
    }
    if (message.HasMissing()) {
        line += message.missingMore() ? ", at least " : ", ";
        AppendDecimal(line, message.missing());
        line += " not captured";
    }
    line += ']';
    if (const auto paired = PairedRequestIndex(message, indexOf)) {
        line += "  answers ";
        AppendDecimal(line, *paired);
    }
    if (const ProcessInfo* process = message.process()) {
        line += "  by ";
        AppendEscaped(line, DescribeProcess(*process));
    }
    line += '\n';
}

std::optional<std::size_t> IndexOf(const HTTPMessage* message, const MessageIndexes& indexOf) {
    if (message == nullptr) {
        return std::nullopt;
    }
    const auto found = indexOf.find(message);
    return found != indexOf.end() ? std::optional(found->second) : std::nullopt;
}

void WriteJsonRow(std::ostream& output, std::size_t index, const HTTPMessage& message,
                  const MessageIndexes& indexOf, bool bodies) {
    using Json = nlohmann::ordered_json;
    const std::string body = BodyBytes(message);
    Json row;
    row["index"] = index;
    row["kind"] = message.kind() == MessageKind::Request ? "request" : "response";
    row["connection"] = message.GetSocket();
    row["peer"] = PeerString(message);
    row["time"] = IsoLocalTime(message.firstTime());
    row["state"] = StateString(message.state());
    std::optional<std::size_t> pair;
    if (const auto* request = dynamic_cast<const HTTPRequest*>(&message)) {
        row["method"] = request->method();
        row["target"] = request->target();
        pair = IndexOf(request->response(), indexOf);
    } else if (const auto* response = dynamic_cast<const HTTPResponse*>(&message)) {
        row["status"] = response->statusCode();
        row["contentClass"] = ContentClassString(response->contentClass());
        pair = IndexOf(response->request(), indexOf);
    }
    row["caption"] = message.caption();
    // A body only counted (nobody reads it) is as long as if it were held.
    const std::uint64_t bodySize = body.size() + (message.capturedSize() - message.text().size());
    row["size"] = message.capturedSize();
    row["headerSize"] = message.capturedSize() - bodySize;
    row["bodySize"] = bodySize;
    row["skipped"] = message.skipped();
    if (message.HasMissing()) {
        row["missing"] = message.missing();  // bytes that followed but were not captured
        if (message.missingMore()) {
            row["missingMore"] = true;  // and more, of a size not known
        }
    }
    row["pair"] = pair ? Json(*pair) : Json(nullptr);
    if (const ProcessInfo* process = message.process()) {
        Json& known = row["process"];
        known["pid"] = process->pid;
        known["command"] = process->command;
        known["uid"] = process->uid;
        if (!process->user.empty()) {
            known["user"] = process->user;
        }
        if (!process->cgroup.empty()) {
            known["cgroup"] = process->cgroup;
        }
    }
    Json headers = Json::array();
    for (const HeaderField& field : HeaderFields(message)) {
        headers.push_back(Json::array({field.name, field.value}));
    }
    row["headers"] = std::move(headers);
    if (bodies) {
        const ExportedBody exported = BodyWithinLimit(message);
        if (IsText(exported.bytes)) {
            row["body"] = exported.bytes;
        } else {
            row["body"] = Base64(exported.bytes);
            row["bodyEncoding"] = "base64";
        }
        if (exported.leftOut != 0) {
            row["bodyLeftOut"] = exported.leftOut;  // past the size limit
        }
    }
    output << row.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
}

}  // namespace

std::string EscapeField(std::string_view bytes) {
    std::string result;
    result.reserve(bytes.size());
    AppendEscaped(result, bytes);
    return result;
}

void WriteListingRow(std::ostream& output, std::size_t index, const HTTPMessage& message,
                     const MessageIndexes& indexOf, ListingFormat format, bool bodies) {
    if (format == ListingFormat::Curl) {
        if (message.kind() == MessageKind::Request) {
            output << CurlCommand(static_cast<const HTTPRequest&>(message)) << '\n';
        }
        return;
    }
    if (format == ListingFormat::Jsonl) {
        WriteJsonRow(output, index, message, indexOf, bodies);
        return;
    }
    // Built in one buffer and written at once: a busy capture lists many lines a second.
    thread_local std::string line;
    line.clear();
    if (format == ListingFormat::Tsv) {
        WriteTsvRow(line, index, message, indexOf);
    } else {
        WriteTextRow(line, index, message, indexOf);
    }
    output.write(line.data(), static_cast<std::streamsize>(line.size()));
}

std::optional<bool> ListingVerdict(const ExchangeQuery& query, const HTTPMessage& message,
                                   bool ended) {
    if (query.empty()) {
        return true;
    }
    const Exchange exchange = ExchangeOf(message);
    if (!ended && (query.needs().whole || exchange.response == nullptr ||
                   exchange.response->headerEnd() < 0)) {
        return std::nullopt;
    }
    return ExchangeMatches(query, exchange, Summarize(exchange));
}

void WriteListing(std::ostream& output, const CSnifferDoc& document, ListingFormat format,
                  bool bodies, const ExchangeQuery* query) {
    const auto& messages = document.messages();
    MessageIndexes indexOf;
    indexOf.reserve(messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        indexOf.emplace(messages[i].get(), i);
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (query == nullptr || ListingVerdict(*query, *messages[i], true).value_or(false)) {
            WriteListingRow(output, i, *messages[i], indexOf, format, bodies);
        }
    }
}

}  // namespace vantor
