// Frames as a packet capture could hold them, through the link-layer parser and the TCP
// reassembler into the document: whatever the bytes, nothing is read outside a frame, what
// waits stays within its bounds, and every byte handed on lies inside what was given.
//
// Input: a byte choosing the link type, then frames, each a length (2 bytes, little-endian)
// and that many bytes.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "capture/CaptureDispatch.h"
#include "document/CSnifferDoc.h"
#include "sources/TcpReassembly.h"

namespace {

using namespace vantor;

class DocumentSink : public FlowSink {
public:
    explicit DocumentSink(CSnifferDoc& document)
        : m_document(document), m_dispatch([&document] { return &document; }) {}
    void Bytes(std::uint32_t connectionId, const TcpEndpoint& server, Direction direction,
               bool newMessage, std::span<const std::uint8_t> data, std::int64_t) override {
        if (data.empty() || connectionId == 0) {
            std::abort();  // nothing empty, and only flows that were given an id
        }
        CaptureRecord header;
        header.direction = direction;
        header.previousDirection =
            newMessage ? (direction == Direction::Sent ? Direction::None : Direction::Sent)
                       : Direction::Sent;
        header.connectionId = connectionId;
        header.peerAddress.port = {static_cast<std::uint8_t>(server.port >> 8),
                                   static_cast<std::uint8_t>(server.port)};
        header.dataLength = static_cast<std::uint32_t>(data.size());
        m_dispatch.Dispatch(header, data);
    }
    void Missing(std::uint32_t connectionId, Direction direction, std::uint64_t count) override {
        m_document.NoteMissingBytes(connectionId, direction, count);
    }
    void Ended(std::uint32_t connectionId) override { m_document.EndConnection(connectionId); }

private:
    CSnifferDoc& m_document;
    CaptureDispatch m_dispatch;
};

constexpr int kLinkTypes[] = {kLinkNull,     kLinkEthernet, kLinkRaw,  kLinkLoop,
                              kLinkLinuxSll, kLinkIpv4,     kLinkIpv6, kLinkLinuxSll2};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const int linkType = kLinkTypes[data[0] % std::size(kLinkTypes)];
    CSnifferDoc document;
    document.OnNewDocument();
    DocumentSink sink(document);
    TcpReassembler reassembler(sink);
    std::int64_t time = 0;
    for (std::size_t at = 1; at + 2 <= size;) {
        const std::size_t length = data[at] | static_cast<std::size_t>(data[at + 1]) << 8;
        at += 2;
        const std::span<const std::uint8_t> frame(data + at, std::min(length, size - at));
        at += frame.size();
        TcpSegment segment;
        if (ParseFrame(linkType, frame, segment) == FrameVerdict::Segment) {
            if (segment.payload.data() < frame.data() ||
                segment.payload.data() + segment.payload.size() > frame.data() + frame.size()) {
                std::abort();
            }
            reassembler.Add(segment, time += 1000);
        }
        if (reassembler.waitingBytes() >
            TcpReassembler::kMostWaitingBytes + TcpReassembler::kMostWaitingPerSide) {
            std::abort();
        }
    }
    reassembler.Finish();
    if (reassembler.openFlows() != 0 || reassembler.waitingBytes() != 0) {
        std::abort();
    }
    return 0;
}
