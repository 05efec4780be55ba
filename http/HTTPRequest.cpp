#include "http/HTTPRequest.h"

#include "platform/AsciiText.h"
#include "framework/CArchive.h"
#include "http/HTTPResponse.h"
#include "http/ScanFormat.h"

namespace vantor {

namespace {
std::unique_ptr<CObject> CreateRequest() {
    return std::make_unique<HTTPRequest>();
}
}  // namespace

const CRuntimeClass HTTPRequest::classHTTPRequest{
    "HTTPRequest", 0, &CreateRequest, &HTTPMessage::classHTTPMessage, HTTPMessage::kSchemaWithProcesses};

const CRuntimeClass* HTTPRequest::GetRuntimeClass() const {
    return &classHTTPRequest;
}

namespace {
const bool kRegistered = (CRuntimeClass::Register(HTTPRequest::classHTTPRequest), true);
}  // namespace

void HTTPRequest::Serialize(CArchive& archive) {
    HTTPMessage::Serialize(archive);
    SerializeSkipped(archive);
    SerializeState(archive);
    SerializeCaption(archive);
    if (archive.IsStoring()) {
        archive.WriteString(method());
        archive.WriteString(target());
    } else {
        std::string method = archive.ReadString();
        std::string target = archive.ReadString();
        m_response = nullptr;
        m_extras.reset();
        SetMethodAndTarget(std::move(method), std::move(target));
    }
}

HTTPRequest::Extras& HTTPRequest::MakeExtras() {
    if (m_extras == nullptr) {
        m_extras = std::make_unique<Extras>();
    }
    return *m_extras;
}

const std::vector<HTTPResponse*>& HTTPRequest::interimResponses() const {
    static const std::vector<HTTPResponse*> kNone;
    return m_extras != nullptr ? m_extras->interimResponses : kNone;
}

void HTTPRequest::SetMethodAndTarget(std::string method, std::string target) {
    // Most often the caption is made of the two, and they are read from it.
    const std::string_view caption = m_caption;
    if (!method.empty() && method.size() < caption.size() && caption.starts_with(method) &&
        caption[method.size()] == ' ' && caption.substr(method.size() + 1) == target) {
        m_methodLength = static_cast<std::uint32_t>(method.size());
        if (m_extras != nullptr) {
            m_extras->methodAndTarget.reset();
        }
        return;
    }
    m_methodLength = 0;
    if (m_extras != nullptr || !method.empty() || !target.empty()) {
        MakeExtras().methodAndTarget.emplace(std::move(method), std::move(target));
    }
}

std::string_view HTTPRequest::method() const {
    if (m_extras != nullptr && m_extras->methodAndTarget) {
        return m_extras->methodAndTarget->first;
    }
    return std::string_view(m_caption).substr(0, m_methodLength);
}

std::string_view HTTPRequest::target() const {
    if (m_extras != nullptr && m_extras->methodAndTarget) {
        return m_extras->methodAndTarget->second;
    }
    return m_methodLength == 0 ? std::string_view()
                               : std::string_view(m_caption).substr(m_methodLength + 1);
}

HTTPRequest::HTTPRequest() : HTTPMessage(MessageKind::Request) {}

HTTPRequest::HTTPRequest(bool captureBody, std::int32_t maxSizeKB, std::uint32_t socket,
                         const SockAddrIn& peerAddress, const std::optional<Ipv6Peer>& ipv6)
    : HTTPMessage(MessageKind::Request, captureBody, maxSizeKB, socket, peerAddress, ipv6) {}

void HTTPRequest::SetResponse(HTTPResponse* response) {
    if (m_response != nullptr && m_response != response) {
        MakeExtras().interimResponses.push_back(m_response);
    }
    m_response = response;
    if (response != nullptr) {
        response->m_request = this;
    }
}

void HTTPRequest::ParseRequestLine() {
    std::string method = ScanMethod(text());
    AsciiUpperInPlace(method);
    const std::string uri = ScanRequestUri(text());
    std::string target;
    if (!uri.empty() && uri.front() == '/') {
        target = headers().Find("host").value_or(std::string_view{});
    }
    target += uri;
    SetCaption(method + " " + target);
    SetMethodAndTarget(std::move(method), std::move(target));
}

void HTTPRequest::BuildCaption() {
    if (m_state != AssemblyState::ReadingHeader) {
        return;
    }
    const std::string_view line = text();
    const std::size_t lineFeed = line.find('\n');
    if (lineFeed == std::string_view::npos) {
        SetCaption(line);
        return;
    }
    std::size_t end = lineFeed + 1;
    while (end > 0 && IsAsciiSpace(line[end - 1])) {
        --end;
    }
    SetCaption(line.substr(0, end));
}

int HTTPRequest::GetTreeImage() const {
    return m_state == AssemblyState::ReadingHeader ? kImageRequestIncomplete : kImageRequest;
}

}  // namespace vantor
