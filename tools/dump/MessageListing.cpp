#include "tools/dump/MessageListing.h"

#include <arpa/inet.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <optional>
#include <unordered_map>

#include "document/CSnifferDoc.h"
#include "interop/MessageParts.h"

namespace vantor {

namespace {

// a.b.c.d:port, or [IPv6 address]:port.
std::string PeerString(const HTTPMessage& message) {
    const SockAddrIn& peer = message.peerAddress();
    if (const auto& ipv6 = message.peerIpv6()) {
        char address[INET6_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET6, ipv6->address.data(), address, sizeof address);
        std::string text = std::string("[") + address;
        if (ipv6->scopeId != 0) {
            text += "%" + std::to_string(ipv6->scopeId);
        }
        return text + "]:" + std::to_string(peer.HostPort());
    }
    const auto& a = peer.address;
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]) + ":" + std::to_string(peer.HostPort());
}

std::string StateString(AssemblyState state) {
    const std::string_view name = AssemblyStateName(state);
    return name.empty() ? std::to_string(static_cast<std::int32_t>(state)) : std::string(name);
}

std::string ContentClassString(ContentClass contentClass) {
    const std::string_view name = ContentClassName(contentClass);
    return name.empty() ? std::to_string(static_cast<std::int32_t>(contentClass))
                        : std::string(name);
}

struct Row {
    std::size_t index;
    bool isRequest;
    std::uint32_t connectionId;
    std::string peer;
    std::string state;
    std::string caption;
    std::string methodOrStatus;
    std::string targetOrClass;
    std::int32_t skipped;
    std::size_t textLength;
    std::string pairedRequest;
    std::string time;
    std::uint64_t missing;  // bytes after the text that were not captured
    bool missingMore;       // and more, of a size not known
};

Row MakeRow(std::size_t index, const HTTPMessage& message, const MessageIndexes& indexOf) {
    Row row{index,
            message.kind() == MessageKind::Request,
            message.GetSocket(),
            PeerString(message),
            StateString(message.state()),
            EscapeField(message.caption()),
            {},
            {},
            message.skipped(),
            message.text().size(),
            "-",
            std::string(message.timeText().substr(message.timeText().find(' ') + 1)),
            message.missing(),
            message.missingMore()};
    if (const auto* request = dynamic_cast<const HTTPRequest*>(&message)) {
        row.methodOrStatus = EscapeField(request->method());
        row.targetOrClass = EscapeField(request->target());
    } else if (const auto* response = dynamic_cast<const HTTPResponse*>(&message)) {
        row.methodOrStatus = std::to_string(response->statusCode());
        row.targetOrClass = ContentClassString(response->contentClass());
        if (response->request() != nullptr) {
            const auto paired = indexOf.find(response->request());
            if (paired != indexOf.end()) {
                row.pairedRequest = std::to_string(paired->second);
            }
        }
    }
    return row;
}

void WriteTsvRow(std::ostream& output, const Row& row) {
    output << row.index << '\t' << (row.isRequest ? "REQ" : "RES") << '\t' << row.connectionId
           << '\t' << row.peer << '\t' << row.state << '\t' << row.caption << '\t'
           << row.methodOrStatus << '\t' << row.targetOrClass << '\t' << row.skipped << '\t'
           << row.textLength << '\t' << row.pairedRequest << '\n';
}

// One line for a reader: where, what state, the caption, then the details that matter.
void WriteTextRow(std::ostream& output, const Row& row) {
    char prefix[128];
    std::snprintf(prefix, sizeof prefix, "%5zu  %s  %s  %-21s  conn %-10u  %-13s  ", row.index,
                  row.isRequest ? "REQ" : "RES", row.time.c_str(), row.peer.c_str(),
                  row.connectionId, row.state.c_str());
    output << prefix << row.caption << "  [";
    if (!row.isRequest) {
        output << row.targetOrClass << ", ";
    }
    output << row.textLength << " bytes";
    if (row.skipped != 0) {
        output << ", " << row.skipped << " skipped";
    }
    if (row.missing != 0 || row.missingMore) {
        output << ", " << (row.missingMore ? "at least " : "") << row.missing << " not captured";
    }
    output << ']';
    if (row.pairedRequest != "-") {
        output << "  answers " << row.pairedRequest;
    }
    output << '\n';
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
    row["size"] = message.text().size();
    row["headerSize"] = message.text().size() - body.size();
    row["bodySize"] = body.size();
    row["skipped"] = message.skipped();
    if (message.HasMissing()) {
        row["missing"] = message.missing();  // bytes that followed but were not captured
        if (message.missingMore()) {
            row["missingMore"] = true;  // and more, of a size not known
        }
    }
    row["pair"] = pair ? Json(*pair) : Json(nullptr);
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
    for (const char c : bytes) {
        switch (c) {
            case '\\':
                result += "\\\\";
                break;
            case '\t':
                result += "\\t";
                break;
            case '\r':
                result += "\\r";
                break;
            case '\n':
                result += "\\n";
                break;
            default: {
                const auto byte = static_cast<unsigned char>(c);
                if (byte < 0x20 || byte >= 0x7F) {
                    static constexpr char kHex[] = "0123456789abcdef";
                    result += "\\x";
                    result += kHex[byte >> 4];
                    result += kHex[byte & 0xF];
                } else {
                    result += c;
                }
            }
        }
    }
    return result;
}

void WriteListingRow(std::ostream& output, std::size_t index, const HTTPMessage& message,
                     const MessageIndexes& indexOf, ListingFormat format, bool bodies) {
    if (format == ListingFormat::Jsonl) {
        WriteJsonRow(output, index, message, indexOf, bodies);
        return;
    }
    const Row row = MakeRow(index, message, indexOf);
    if (format == ListingFormat::Tsv) {
        WriteTsvRow(output, row);
    } else {
        WriteTextRow(output, row);
    }
}

void WriteListing(std::ostream& output, const CSnifferDoc& document, ListingFormat format,
                  bool bodies) {
    const auto& messages = document.messages();
    MessageIndexes indexOf;
    indexOf.reserve(messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        indexOf.emplace(messages[i].get(), i);
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
        WriteListingRow(output, i, *messages[i], indexOf, format, bodies);
    }
}

}  // namespace vantor
