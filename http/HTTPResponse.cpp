#include "http/HTTPResponse.h"

#include <algorithm>

#include "framework/CArchive.h"
#include "http/ScanFormat.h"

namespace vantor {

namespace {

std::unique_ptr<CObject> CreateResponse() {
    return std::make_unique<HTTPResponse>();
}

// The class of a lower-case Content-Type value, by its leading word.
ContentClass ClassifyContentType(std::string_view value) {
    if (value.starts_with("application")) {
        return ContentClass::Application;
    }
    if (value.starts_with("text")) {
        return ContentClass::Text;
    }
    if (value.starts_with("image")) {
        return ContentClass::Image;
    }
    if (value.starts_with("audio") || value.starts_with("video")) {
        return ContentClass::AudioVideo;
    }
    return ContentClass::Other;
}

bool IsInterimCode(std::uint32_t code) {
    return code >= 100 && code <= 199 && code != 101;
}

// Offset of needle in text as a 32-bit value, all ones when absent.
std::uint32_t Offset32(std::string_view text, std::string_view needle) {
    const std::size_t found = text.find(needle);
    return found == std::string_view::npos ? 0xFFFFFFFFu : static_cast<std::uint32_t>(found);
}

}  // namespace

const CRuntimeClass HTTPResponse::classHTTPResponse{"HTTPResponse", 0, &CreateResponse,
                                                    &HTTPMessage::classHTTPMessage,
                                                    HTTPMessage::kSchemaWithProcesses};

const CRuntimeClass* HTTPResponse::GetRuntimeClass() const {
    return &classHTTPResponse;
}

namespace {
const bool kRegistered = (CRuntimeClass::Register(HTTPResponse::classHTTPResponse), true);
}  // namespace

void HTTPResponse::Serialize(CArchive& archive) {
    HTTPMessage::Serialize(archive);
    if (archive.IsStoring()) {
        archive.WriteU32(static_cast<std::uint32_t>(m_contentClass));
        SerializeState(archive);
        SerializeCaption(archive);
        archive.WriteU32(m_statusCode);
    } else {
        m_contentClass = static_cast<ContentClass>(archive.ReadU32());
        SerializeState(archive);
        SerializeCaption(archive);
        m_statusCode = archive.ReadU32();
    }
    SerializeSkipped(archive);
    SerializeNotice(archive);
}

HTTPResponse::HTTPResponse() : HTTPMessage(MessageKind::Response) {}

HTTPResponse::HTTPResponse(bool captureBody, std::int32_t maxSizeKB, std::uint32_t socket,
                           const SockAddrIn& peerAddress, const std::optional<Ipv6Peer>& ipv6)
    : HTTPMessage(MessageKind::Response, captureBody, maxSizeKB, socket, peerAddress, ipv6) {}

bool HTTPResponse::IsInterim() const {
    return m_state != AssemblyState::New && m_state != AssemblyState::ReadingHeader &&
           IsInterimCode(m_statusCode);
}

bool HTTPResponse::BeginsInterim(std::span<const std::uint8_t> more) const {
    if (m_state != AssemblyState::New && m_state != AssemblyState::ReadingHeader) {
        return false;
    }
    constexpr std::size_t kEnough = 32;  // "HTTP/1.1 100 " and then some
    std::string start(text().substr(0, kEnough));
    start.append(reinterpret_cast<const char*>(more.data()),
                 std::min(more.size(), kEnough - start.size()));
    if (!start.starts_with("HTTP/")) {
        return false;
    }
    const auto code = ScanStatusCode(start);
    return code && IsInterimCode(*code);
}

void HTTPResponse::ParseStatusLine() {
    if (const auto code = ScanStatusCode(text())) {
        m_statusCode = *code;
    }
    if (const auto contentType = headers().Find("content-type")) {
        m_contentClass = ClassifyContentType(*contentType);
        return;
    }
    // Without a Content-Type the class depends on whether body bytes came with the header:
    // at least two bytes after the terminator make it Other. The sums are 32-bit on purpose,
    // so that an absent pattern (all ones) passes its own test.
    const std::uint32_t bareLineFeeds = Offset32(text(), "\n\n");
    const std::uint32_t crLineFeeds = Offset32(text(), "\r\n\r\n");
    const auto length = static_cast<std::uint32_t>(text().size());
    const bool bodyFollows = bareLineFeeds + 3u < length && crLineFeeds + 5u < length;
    m_contentClass = bodyFollows ? ContentClass::Other : ContentClass::WithoutContent;
}

void HTTPResponse::BuildCaption() {
    if (auto caption = ScanStatusCaption(text())) {
        m_caption = std::move(*caption);
        return;
    }
    const std::string_view line = text();
    const std::size_t lineFeed = line.find('\n');
    if (lineFeed == std::string_view::npos) {
        SetCaption(line);
    } else if (line.find(' ') == std::string_view::npos) {
        const bool carriageReturn = lineFeed > 0 && line[lineFeed - 1] == '\r';
        SetCaption(line.substr(0, carriageReturn ? lineFeed - 1 : lineFeed));
    }
}

int HTTPResponse::GetTreeImage() const {
    if (m_state == AssemblyState::ReadingHeader || m_statusCode == 0) {
        return kImageResponseIncomplete;
    }
    if (m_statusCode >= 400 && m_statusCode <= 599) {
        return kImageResponseError;
    }
    if (m_statusCode >= 200 && m_statusCode <= 299) {
        return kImageResponseSuccess;
    }
    return kImageResponseOther;
}

}  // namespace vantor
