#include "exporters/HarWriter.h"

#include <ext/stdio_filebuf.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "content/BodyDecoder.h"
#include "content/MessageParts.h"
#include "document/CSnifferDoc.h"
#include "exporters/JsonWriter.h"
#include "platform/AsciiText.h"
#include "platform/UserFiles.h"

namespace vantor {

namespace {

// Bodies are decoded for the archive up to this size.
constexpr std::size_t kMostDecoded = 64 * 1024 * 1024;

// The value of the first field of that name, or empty.
std::string FieldValue(const std::vector<HeaderField>& fields, std::string_view name) {
    for (const HeaderField& field : fields) {
        if (EqualsIgnoringAsciiCase(field.name, name)) {
            return field.value;
        }
    }
    return {};
}

std::vector<const HeaderField*> FieldsNamed(const std::vector<HeaderField>& fields,
                                            std::string_view name) {
    std::vector<const HeaderField*> found;
    for (const HeaderField& field : fields) {
        if (EqualsIgnoringAsciiCase(field.name, name)) {
            found.push_back(&field);
        }
    }
    return found;
}

void WriteNameValues(JsonWriter& json, const std::vector<HeaderField>& fields) {
    json.BeginArray();
    for (const HeaderField& field : fields) {
        json.BeginObject();
        json.Field("name", field.name);
        json.Field("value", field.value);
        json.EndObject();
    }
    json.EndArray();
}

std::string PercentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
                   HexDigitValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
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

void WriteCookies(JsonWriter& json, const std::vector<HeaderField>& fields, bool response) {
    json.BeginArray();
    for (const HeaderField* field : FieldsNamed(fields, response ? "set-cookie" : "cookie")) {
        const auto pairs = Pairs(field->value, ';', false);
        if (!response) {
            for (const HeaderField& pair : pairs) {
                json.BeginObject();
                json.Field("name", pair.name);
                json.Field("value", pair.value);
                json.EndObject();
            }
            continue;
        }
        if (pairs.empty()) {
            continue;
        }
        json.BeginObject();
        json.Field("name", pairs[0].name);
        json.Field("value", pairs[0].value);
        for (std::size_t i = 1; i < pairs.size(); ++i) {
            const std::string attribute = AsciiLower(pairs[i].name);
            if (attribute == "path" || attribute == "domain" || attribute == "expires") {
                json.Field(attribute, pairs[i].value);
            } else if (attribute == "httponly") {
                json.Field("httpOnly", true);
            } else if (attribute == "secure") {
                json.Field("secure", true);
            }
        }
        json.EndObject();
    }
    json.EndArray();
}

double EpochMilliseconds(const SystemTime& time) {
    return static_cast<double>(EpochSeconds(time)) * 1000.0 + time.milliseconds % 1000;
}

double Between(const SystemTime& from, const SystemTime& to) {
    return std::max(0.0, EpochMilliseconds(to) - EpochMilliseconds(from));
}

// The body as text, or in base64 with its encoding.
void WriteBody(JsonWriter& json, const std::string& bytes) {
    if (IsText(bytes)) {
        json.Field("text", bytes);
    } else {
        json.Field("text", Base64(bytes));
        json.Field("encoding", "base64");
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
        host = PeerHostAndPort(request);
    }
    const char* scheme = peer.HostPort() == 443 ? "https" : "http";
    return std::string(scheme) + "://" + host + (target.starts_with('/') ? "" : "/") + target;
}

// Bodies are decoded up to the message's size limit too: a small compressed body can inflate
// to any size.
std::size_t DecodingLimit(const HTTPMessage& message) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(kMostDecoded, message.maxSize()));
}

// The body captured: what follows the header (all of the text while the header is
// incomplete counts as header).
std::size_t HeaderSize(const HTTPMessage& message) {
    const std::int64_t end = message.headerEnd();
    return end < 0 ? message.text().size()
                   : std::min(static_cast<std::size_t>(end), message.text().size());
}

// What an entry's comment says was not kept or not exported.
std::string Joined(std::initializer_list<std::string> notices) {
    std::string joined;
    for (const std::string& notice : notices) {
        if (!notice.empty()) {
            joined += (joined.empty() ? "" : " ") + notice;
        }
    }
    return joined;
}

void WriteRequest(JsonWriter& json, const HTTPRequest& request) {
    const auto fields = HeaderFields(request);
    const StartLineParts start = SplitStartLine(request.text());
    const ExportedBody exported = BodyWithinLimit(request);
    const std::string& body = exported.bytes;
    const std::string target(start.second);
    json.BeginObject();
    json.Field("method", start.first);
    json.Field("url", Url(request, target, fields));
    json.Field("httpVersion", start.rest);
    json.Key("cookies");
    WriteCookies(json, fields, false);
    json.Key("headers");
    WriteNameValues(json, fields);
    json.Key("queryString");
    const std::size_t question = target.find('?');
    WriteNameValues(json, question == std::string::npos
                              ? std::vector<HeaderField>{}
                              : Pairs(std::string_view(target).substr(
                                          question + 1, target.find('#') - question - 1),
                                      '&', true));
    if (!body.empty()) {
        const DecodedBody decoded =
            DecodeBody(body, FieldValue(fields, "transfer-encoding"), "", DecodingLimit(request));
        json.Key("postData");
        json.BeginObject();
        json.Field("mimeType", FieldValue(fields, "content-type"));
        WriteBody(json, decoded.bytes);
        if (!decoded.notice.empty()) {
            json.Field("comment", decoded.notice);
        }
        json.EndObject();
    }
    json.Field("headersSize", HeaderSize(request));
    json.Field("bodySize", request.text().size() - HeaderSize(request));
    if (const std::string comment = Joined({BodyNotKeptNotice(request), LeftOutNotice(exported)});
        !comment.empty()) {
        json.Field("comment", comment);
    }
    json.EndObject();
}

void WriteResponse(JsonWriter& json, const HTTPResponse& response) {
    const auto fields = HeaderFields(response);
    const StartLineParts start = SplitStartLine(response.text());
    ExportedBody exported = BodyWithinLimit(response);
    const std::string transfer = FieldValue(fields, "transfer-encoding");
    const std::string coding = FieldValue(fields, "content-encoding");
    const std::size_t bodySize = response.text().size() - HeaderSize(response);
    const bool anyBody = !exported.bytes.empty();
    DecodedBody decoded;
    if (transfer.empty() && coding.empty()) {
        decoded.bytes = std::move(exported.bytes);  // nothing to take off
    } else {
        decoded = DecodeBody(exported.bytes, transfer, coding, DecodingLimit(response));
    }
    const std::string comment =
        Joined({BodyNotKeptNotice(response), LeftOutNotice(exported), decoded.notice});
    json.BeginObject();
    json.Field("status", response.statusCode());
    json.Field("statusText", start.rest);
    json.Field("httpVersion", start.first);
    json.Key("cookies");
    WriteCookies(json, fields, true);
    json.Key("headers");
    WriteNameValues(json, fields);
    json.Key("content");
    json.BeginObject();
    json.Field("size", decoded.bytes.size());
    json.Field("mimeType", FieldValue(fields, "content-type"));
    if (anyBody) {
        WriteBody(json, decoded.bytes);
    }
    if (!comment.empty()) {
        json.Field("comment", comment);
    }
    json.EndObject();
    json.Field("redirectURL", FieldValue(fields, "location"));
    json.Field("headersSize", HeaderSize(response));
    json.Field("bodySize", bodySize);
    json.EndObject();
}

void WriteNoResponse(JsonWriter& json) {
    json.BeginObject();
    json.Field("status", 0);
    json.Field("statusText", "");
    json.Field("httpVersion", "");
    json.Key("cookies");
    json.BeginArray();
    json.EndArray();
    json.Key("headers");
    json.BeginArray();
    json.EndArray();
    json.Key("content");
    json.BeginObject();
    json.Field("size", 0);
    json.Field("mimeType", "");
    json.EndObject();
    json.Field("redirectURL", "");
    json.Field("headersSize", -1);
    json.Field("bodySize", -1);
    json.Field("comment", "No response was captured.");
    json.EndObject();
}

}  // namespace

HarOutcome WriteHar(std::ostream& output, const CSnifferDoc& document,
                    const ExportProgress& progress) {
    // The requests of now: capture may add to the document while progress is told.
    const std::vector<const HTTPRequest*> requests(document.requests().begin(),
                                                   document.requests().end());
    return WriteHar(output, requests, progress);
}

HarOutcome WriteHar(std::ostream& output, std::span<const HTTPRequest* const> requests,
                    const ExportProgress& progress) {
    constexpr std::size_t kProgressEvery = 256;
    std::size_t written = 0;
    std::string text;
    JsonWriter json(text);
    json.BeginObject();
    json.Key("log");
    json.BeginObject();
    json.Field("version", "1.2");
    json.Key("creator");
    json.BeginObject();
    json.Field("name", "Vantor");
    json.Field("version", VANTOR_VERSION);
    json.EndObject();
    json.Key("entries");
    json.BeginArray();
    // An entry at a time goes out: memory holds one entry, not the archive.
    for (const HTTPRequest* request : requests) {
        if (progress && written % kProgressEvery == 0 && !progress(written, requests.size())) {
            return HarOutcome::Cancelled;
        }
        ++written;
        const HTTPResponse* response = request->response();
        const double send = Between(request->firstTime(), request->lastTime());
        const double wait = response ? Between(request->lastTime(), response->firstTime()) : 0;
        const double receive = response ? Between(response->firstTime(), response->lastTime()) : 0;
        json.BeginObject();
        json.Field("startedDateTime", IsoLocalTime(request->firstTime()));
        json.Field("time", send + wait + receive);
        json.Key("request");
        WriteRequest(json, *request);
        json.Key("response");
        if (response != nullptr) {
            WriteResponse(json, *response);
        } else {
            WriteNoResponse(json);
        }
        json.Key("cache");
        json.BeginObject();
        json.EndObject();
        json.Key("timings");
        json.BeginObject();
        json.Field("blocked", -1);
        json.Field("dns", -1);
        json.Field("connect", -1);
        json.Field("send", send);
        json.Field("wait", wait);
        json.Field("receive", receive);
        json.Field("ssl", -1);
        json.EndObject();
        json.Field("serverIPAddress", PeerAddress(*request));
        json.Field("connection", std::to_string(request->GetSocket()));
        if (const ProcessInfo* process = request->process()) {
            json.Key("_process");
            json.BeginObject();
            json.Field("pid", process->pid);
            json.Field("command", process->command);
            json.Field("uid", process->uid);
            if (!process->user.empty()) {
                json.Field("user", process->user);
            }
            if (!process->cgroup.empty()) {
                json.Field("cgroup", process->cgroup);
            }
            json.EndObject();
        }
        json.EndObject();
        text += '\n';
        output.write(text.data(), static_cast<std::streamsize>(text.size()));
        text.clear();
    }
    json.EndArray();
    json.EndObject();
    json.EndObject();
    text += '\n';
    output.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (progress) {
        progress(requests.size(), requests.size());
    }
    return output ? HarOutcome::Written : HarOutcome::Failed;
}

std::optional<std::string> ExportHarFile(const std::filesystem::path& path,
                                         const CSnifferDoc& document,
                                         const ExportProgress& progress) {
    const std::vector<const HTTPRequest*> requests(document.requests().begin(),
                                                   document.requests().end());
    return ExportHarFile(path, requests, progress);
}

std::optional<std::string> ExportHarFile(const std::filesystem::path& path,
                                         std::span<const HTTPRequest* const> requests,
                                         const ExportProgress& progress) {
    ReplacingFile file(path);
    if (!file.ok()) {
        return "Cannot write " + path.string() + ": " + std::strerror(file.error()) + ".";
    }
    __gnu_cxx::stdio_filebuf<char> buffer(file.TakeDescriptor(), std::ios::out | std::ios::binary);
    std::ostream har(&buffer);
    const HarOutcome outcome = WriteHar(har, requests, progress);
    const bool closed = har.flush() && buffer.close() != nullptr;
    if (outcome == HarOutcome::Cancelled) {
        return std::nullopt;
    }
    if (outcome != HarOutcome::Written || !closed || !file.Commit()) {
        return "Cannot write " + path.string() + ".";
    }
    return std::nullopt;
}

}  // namespace vantor
