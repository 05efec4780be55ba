#pragma once

#include <cstdint>
#include <string>

#include "http/HTTPMessage.h"

namespace vantor {

class HTTPRequest;

// The bytes a captured program receives on a socket: status code, content class and a
// caption made from the status line.
class HTTPResponse : public HTTPMessage {
public:
    static const CRuntimeClass classHTTPResponse;
    const CRuntimeClass* GetRuntimeClass() const override;

    HTTPResponse();
    // The message's fields, then content class, state, caption, status code, skipped and the
    // notice line.
    void Serialize(CArchive& archive) override;
    HTTPResponse(bool captureBody, std::int32_t maxSizeKB, std::uint32_t socket,
                 const SockAddrIn& peerAddress, const std::optional<Ipv6Peer>& ipv6 = std::nullopt);

    // 0 until the header completes, or when no number could be read.
    std::uint32_t statusCode() const { return m_statusCode; }
    ContentClass contentClass() const { return m_contentClass; }
    // The request this response is paired with, if any (set by HTTPRequest::SetResponse). An
    // interim response keeps it when the final response takes its place.
    HTTPRequest* request() const { return m_request; }

    // An interim response (1xx but 101 Switching Protocols) whose header is complete: it ends
    // with its header, and the request it answers goes on after it.
    bool IsInterim() const;
    // Whether the start of this response, with more bytes after what it has, reads as the
    // status line of an interim response; for a response whose header is incomplete.
    bool BeginsInterim(std::span<const std::uint8_t> more) const;

    void ParseStatusLine();
    void BuildCaption() override;
    int GetTreeImage() const override;
    std::string GetStartLine() override { return m_caption; }

protected:
    void ParseStartLine() override { ParseStatusLine(); }
    void OnHeaderCompletedLater() override { SetCaptionChanged(true); }

private:
    friend class HTTPRequest;

    HTTPRequest* m_request = nullptr;
    std::uint32_t m_statusCode = 0;
    ContentClass m_contentClass = ContentClass::WithoutContent;
};

}  // namespace vantor
