#include "interop/HarWriter.h"

#include <ext/stdio_filebuf.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "document/CSnifferDoc.h"
#include "interop/BodyDecoder.h"
#include "interop/MessageParts.h"
#include "platform/UserFiles.h"

namespace vantor {

namespace {

using Json = nlohmann::ordered_json;

// Bodies are decoded for the archive up to this size.
constexpr std::size_t kMostDecoded = 64 * 1024 * 1024;

// The start line's three parts: method, target, version (request); version, code, reason.
struct StartLine {
    std::string first;
    std::string second;
    std::string rest;
};

StartLine SplitStartLine(const HTTPMessage& message) {
    std::string_view line = message.text();
    line = line.substr(0, line.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.remove_suffix(1);
    }
    StartLine parts;
    const std::size_t firstSpace = line.find(' ');
    parts.first = line.substr(0, firstSpace);
    if (firstSpace == std::string_view::npos) {
        return parts;
    }
    line.remove_prefix(firstSpace + 1);
    const std::size_t secondSpace = line.find(' ');
    parts.second = line.substr(0, secondSpace);
    if (secondSpace != std::string_view::npos) {
        parts.rest = line.substr(secondSpace + 1);
    }
    return parts;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The value of the first field of that name, or empty.
std::string FieldValue(const std::vector<HeaderField>& fields, std::string_view name) {
    for (const HeaderField& field : fields) {
        if (SameName(field.name, name)) {
            return field.value;
        }
    }
    return {};
}

std::vector<const HeaderField*> FieldsNamed(const std::vector<HeaderField>& fields,
                                            std::string_view name) {
    std::vector<const HeaderField*> found;
    for (const HeaderField& field : fields) {
        if (SameName(field.name, name)) {
            found.push_back(&field);
        }
    }
    return found;
}

Json NameValues(const std::vector<HeaderField>& fields) {
    Json list = Json::array();
    for (const HeaderField& field : fields) {
        list.push_back({{"name", field.name}, {"value", field.value}});
    }
    return list;
}

std::string PercentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// name=value pairs separated by separator; pieces without '=' have an empty value.
std::vector<HeaderField> Pairs(std::string_view text, char separator, bool decode) {
    std::vector<HeaderField> pairs;
    while (!text.empty()) {
        const std::size_t end = text.find(separator);
        std::string_view piece = text.substr(0, end);
        while (!piece.empty() && piece.front() == ' ') {
            piece.remove_prefix(1);
        }
        if (!piece.empty()) {
            const std::size_t equals = piece.find('=');
            std::string name(piece.substr(0, equals));
            std::string value(equals == std::string_view::npos ? "" : piece.substr(equals + 1));
            pairs.push_back(
                {decode ? PercentDecoded(name) : name, decode ? PercentDecoded(value) : value});
        }
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return pairs;
}

Json Cookies(const std::vector<HeaderField>& fields, bool response) {
    Json cookies = Json::array();
    for (const HeaderField* field : FieldsNamed(fields, response ? "set-cookie" : "cookie")) {
        const auto pairs = Pairs(field->value, ';', false);
        if (!response) {
            for (const HeaderField& pair : pairs) {
                cookies.push_back({{"name", pair.name}, {"value", pair.value}});
            }
            continue;
        }
        if (pairs.empty()) {
            continue;
        }
        Json cookie = {{"name", pairs[0].name}, {"value", pairs[0].value}};
        for (std::size_t i = 1; i < pairs.size(); ++i) {
            std::string attribute = pairs[i].name;
            std::transform(attribute.begin(), attribute.end(), attribute.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (attribute == "path" || attribute == "domain" || attribute == "expires") {
                cookie[attribute] = pairs[i].value;
            } else if (attribute == "httponly") {
                cookie["httpOnly"] = true;
            } else if (attribute == "secure") {
                cookie["secure"] = true;
            }
        }
        cookies.push_back(std::move(cookie));
    }
    return cookies;
}

double EpochMilliseconds(const SystemTime& time) {
    return static_cast<double>(EpochSeconds(time)) * 1000.0 + time.milliseconds % 1000;
}

double Between(const SystemTime& from, const SystemTime& to) {
    return std::max(0.0, EpochMilliseconds(to) - EpochMilliseconds(from));
}

// The body as text, or in base64 with its encoding.
void PutBody(Json& into, const std::string& bytes) {
    if (IsUtf8(bytes)) {
        into["text"] = bytes;
    } else {
        into["text"] = Base64(bytes);
        into["encoding"] = "base64";
    }
}

std::string NotKept(const HTTPMessage& message) {
    switch (message.state()) {
        case AssemblyState::BodyFiltered:
            return "The body was not kept: its content type is not among those kept (" +
                   std::to_string(message.skipped()) + " bytes skipped).";
        case AssemblyState::TooLarge:
            return "The body was not kept in full: the message passed its size limit.";
        case AssemblyState::BodyOff:
            return "The body was not kept: body capture is off (" +
                   std::to_string(message.skipped()) + " bytes skipped).";
        default:
            return {};
    }
}

std::string Url(const HTTPRequest& request, const std::string& target,
                const std::vector<HeaderField>& fields) {
    if (target.find("://") != std::string::npos) {
        return target;  // absolute form, as to a proxy
    }
    const SockAddrIn& peer = request.peerAddress();
    std::string host = FieldValue(fields, "host");
    if (host.empty()) {
        host = std::string(request.peerText());
    }
    const char* scheme = peer.HostPort() == 443 ? "https" : "http";
    return std::string(scheme) + "://" + host + (target.starts_with('/') ? "" : "/") + target;
}

Json RequestJson(const HTTPRequest& request) {
    const auto fields = HeaderFields(request);
    const StartLine start = SplitStartLine(request);
    const std::string body = BodyBytes(request);
    const std::string target = start.second;
    Json json;
    json["method"] = start.first;
    json["url"] = Url(request, target, fields);
    json["httpVersion"] = start.rest;
    json["cookies"] = Cookies(fields, false);
    json["headers"] = NameValues(fields);
    const std::size_t question = target.find('?');
    json["queryString"] = NameValues(
        question == std::string::npos
            ? std::vector<HeaderField>{}
            : Pairs(std::string_view(target).substr(question + 1, target.find('#') - question - 1),
                    '&', true));
    if (!body.empty()) {
        const DecodedBody decoded =
            DecodeBody(body, FieldValue(fields, "transfer-encoding"), "", kMostDecoded);
        Json post = {{"mimeType", FieldValue(fields, "content-type")}};
        PutBody(post, decoded.bytes);
        if (!decoded.notice.empty()) {
            post["comment"] = decoded.notice;
        }
        json["postData"] = std::move(post);
    }
    json["headersSize"] = request.text().size() - body.size();
    json["bodySize"] = body.size();
    if (const std::string notKept = NotKept(request); !notKept.empty()) {
        json["comment"] = notKept;
    }
    return json;
}

Json ResponseJson(const HTTPResponse& response) {
    const auto fields = HeaderFields(response);
    const StartLine start = SplitStartLine(response);
    const std::string body = BodyBytes(response);
    const DecodedBody decoded = DecodeBody(body, FieldValue(fields, "transfer-encoding"),
                                           FieldValue(fields, "content-encoding"), kMostDecoded);
    Json content = {{"size", decoded.bytes.size()},
                    {"mimeType", FieldValue(fields, "content-type")}};
    if (!body.empty()) {
        PutBody(content, decoded.bytes);
    }
    std::string comment = NotKept(response);
    if (!decoded.notice.empty()) {
        comment += (comment.empty() ? "" : " ") + decoded.notice;
    }
    if (!comment.empty()) {
        content["comment"] = comment;
    }
    Json json;
    json["status"] = response.statusCode();
    json["statusText"] = start.rest;
    json["httpVersion"] = start.first;
    json["cookies"] = Cookies(fields, true);
    json["headers"] = NameValues(fields);
    json["content"] = std::move(content);
    json["redirectURL"] = FieldValue(fields, "location");
    json["headersSize"] = response.text().size() - body.size();
    json["bodySize"] = body.size();
    return json;
}

Json NoResponse() {
    return {{"status", 0},
            {"statusText", ""},
            {"httpVersion", ""},
            {"cookies", Json::array()},
            {"headers", Json::array()},
            {"content", {{"size", 0}, {"mimeType", ""}}},
            {"redirectURL", ""},
            {"headersSize", -1},
            {"bodySize", -1},
            {"comment", "No response was captured."}};
}

std::string Address(const HTTPMessage& message) {
    const std::string peer(message.peerText());
    if (peer.starts_with('[')) {
        return peer.substr(1, peer.find(']') - 1);
    }
    return peer.substr(0, peer.rfind(':'));
}

}  // namespace

bool WriteHar(std::ostream& output, const CSnifferDoc& document) {
    Json entries = Json::array();
    for (const HTTPRequest* request : document.requests()) {
        const HTTPResponse* response = request->response();
        Json entry;
        entry["startedDateTime"] = IsoLocalTime(request->firstTime());
        const double send = Between(request->firstTime(), request->lastTime());
        const double wait = response ? Between(request->lastTime(), response->firstTime()) : 0;
        const double receive = response ? Between(response->firstTime(), response->lastTime()) : 0;
        entry["time"] = send + wait + receive;
        entry["request"] = RequestJson(*request);
        entry["response"] = response ? ResponseJson(*response) : NoResponse();
        entry["cache"] = Json::object();
        entry["timings"] = {{"blocked", -1}, {"dns", -1},          {"connect", -1}, {"send", send},
                            {"wait", wait},  {"receive", receive}, {"ssl", -1}};
        entry["serverIPAddress"] = Address(*request);
        entry["connection"] = std::to_string(request->GetSocket());
        entries.push_back(std::move(entry));
    }
    const Json har = {{"log",
                       {{"version", "1.2"},
                        {"creator", {{"name", "Vantor"}, {"version", VANTOR_VERSION}}},
                        {"entries", std::move(entries)}}}};
    output << har.dump(1, ' ', false, Json::error_handler_t::replace) << '\n';
    return static_cast<bool>(output);
}

std::optional<std::string> ExportHarFile(const std::filesystem::path& path,
                                         const CSnifferDoc& document) {
    const int fd = OpenUserFileForWriting(path);
    if (fd < 0) {
        return "Cannot write " + path.string() + ": " + std::strerror(errno) + ".";
    }
    __gnu_cxx::stdio_filebuf<char> file(fd, std::ios::out | std::ios::binary);
    std::ostream har(&file);
    const bool written = WriteHar(har, document) && har.flush() && file.close() != nullptr;
    if (!written) {
        return "Cannot write " + path.string() + ".";
    }
    return std::nullopt;
}

}  // namespace vantor
