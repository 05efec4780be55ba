#include "capture/CaptureDispatch.h"

#include <algorithm>

#include "capture/ChannelLayout.h"
#include "document/CSnifferDoc.h"
#include "platform/Endian.h"

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

std::optional<LostBytes> ReadLostBytes(std::span<const std::uint8_t> data) {
    if (data.size() != VANTOR_LOST_DATA_SIZE) {
        return std::nullopt;
    }
    const auto u32 = [&data](std::size_t at) {
        return LoadLE32(std::span<const std::uint8_t, 4>(data.data() + at, 4));
    };
    const auto u64 = [&u32](std::size_t at) {
        return std::uint64_t{u32(at)} | std::uint64_t{u32(at + 4)} << 32;
    };
    const std::uint32_t flags = u32(VANTOR_LOST_FLAGS_OFFSET);
    LostBytes lost;
    lost.sizesKnown = (flags & VANTOR_LOST_SIZES_KNOWN) != 0;
    lost.sent = u64(VANTOR_LOST_SENT_OFFSET);
    lost.received = u64(VANTOR_LOST_RECEIVED_OFFSET);
    lost.before = (flags >> VANTOR_LOST_BEFORE_SHIFT) & 0xFFu;
    lost.last = (flags >> VANTOR_LOST_LAST_SHIFT) & 0xFFu;
    return lost;
}

int CaptureDispatch::OnCaptureRecord() {
    CSnifferDoc* document = m_activeDocument ? m_activeDocument() : nullptr;
    CaptureRecord header = m_pending.header;
    const EntryPoint entryPoint = ChooseEntryPoint(header.direction, header.previousDirection);
    // The header's length comes from another process: never hand on more than the bytes the
    // reader actually has.
    std::span<const std::uint8_t> data =
        m_pending.data.first(std::min<std::size_t>(m_pending.data.size(), header.dataLength));
    if (document != nullptr && header.direction == VANTOR_DIRECTION_LOST) {
        // Records that could not be written, told in their place.
        if (TakePeerExtension(header, data)) {
            if (const auto lost = ReadLostBytes(data)) {
                const std::lock_guard lock(m_captureLock);
                m_protocols.Lost(*document, header, *lost);
            }
        }
        return 0;
    }
    // An IPv6 peer's address travels ahead of the data; a record too short for it is dropped.
    if (document != nullptr && entryPoint != EntryPoint::None && TakePeerExtension(header, data)) {
        const std::lock_guard lock(m_captureLock);
        m_protocols.Deliver(*document, entryPoint, header, data);
    }
    return 0;
}

}  // namespace vantor
