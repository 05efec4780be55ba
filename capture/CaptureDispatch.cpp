#include "capture/CaptureDispatch.h"

#include <algorithm>

#include "document/CSnifferDoc.h"

namespace vantor {

EntryPoint ChooseEntryPoint(std::uint32_t direction, std::uint32_t previousDirection) {
    if (direction == DIRECTION_SENT) {
        switch (previousDirection) {
            case DIRECTION_NONE:
            case DIRECTION_RECEIVED:
                return EntryPoint::NewRequest;
            case DIRECTION_SENT:
                return EntryPoint::AppendRequest;
            default:
                return EntryPoint::None;
        }
    }
    if (direction == DIRECTION_RECEIVED) {
        switch (previousDirection) {
            case DIRECTION_SENT:
                return EntryPoint::NewResponse;
            case DIRECTION_RECEIVED:
                return EntryPoint::AppendResponse;
            default:
                return EntryPoint::None;
        }
    }
    return EntryPoint::None;
}

CaptureDispatch::CaptureDispatch(std::function<CSnifferDoc*()> activeDocument)
    : m_activeDocument(std::move(activeDocument)) {}

int CaptureDispatch::OnCaptureRecord() {
    CSnifferDoc* document = m_activeDocument ? m_activeDocument() : nullptr;
    CaptureRecord header = m_pending.header;
    const EntryPoint entryPoint = ChooseEntryPoint(header.direction, header.previousDirection);
    // The header's length comes from another process: never hand on more than the bytes the
    // reader actually has.
    std::span<const std::uint8_t> data =
        m_pending.data.first(std::min<std::size_t>(m_pending.data.size(), header.dataLength));
    // An IPv6 peer's address travels ahead of the data; a record too short for it is dropped.
    if (document != nullptr && entryPoint != EntryPoint::None && TakePeerExtension(header, data)) {
        const std::lock_guard lock(m_captureLock);
        m_protocols.Deliver(*document, entryPoint, header, data);
    }
    return 0;
}

}  // namespace vantor
