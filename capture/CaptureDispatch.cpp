#include "capture/CaptureDispatch.h"

#include <algorithm>

#include "capture/ChannelLayout.h"
#include "capture/KeyLogFiles.h"
#include "document/MessageSink.h"
#include "platform/Endian.h"

namespace vantor {

EntryPoint ChooseEntryPoint(Direction direction, Direction previousDirection) {
    if (direction == Direction::Sent) {
        switch (previousDirection) {
            case Direction::None:
            case Direction::Received:
                return EntryPoint::NewRequest;
            case Direction::Sent:
                return EntryPoint::AppendRequest;
            default:
                return EntryPoint::None;
        }
    }
    if (direction == Direction::Received) {
        switch (previousDirection) {
            case Direction::Sent:
                return EntryPoint::NewResponse;
            case Direction::Received:
                return EntryPoint::AppendResponse;
            default:
                return EntryPoint::None;
        }
    }
    return EntryPoint::None;
}

CaptureDispatch::CaptureDispatch(std::function<MessageSink*()> activeDocument)
    : m_activeDocument(std::move(activeDocument)),
      m_tls([this](const CaptureRecord& header, std::span<const std::uint8_t> data) {
          if (m_tlsDocument != nullptr) {
              DeliverPlain(*m_tlsDocument, header, data);
          }
      }) {}

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
    lost.before = static_cast<Direction>((flags >> VANTOR_LOST_BEFORE_SHIFT) & 0xFFu);
    lost.last = static_cast<Direction>((flags >> VANTOR_LOST_LAST_SHIFT) & 0xFFu);
    return lost;
}

void CaptureDispatch::Dispatch(const CaptureRecord& record, std::span<const std::uint8_t> bytes) {
    MessageSink* document = m_activeDocument ? m_activeDocument() : nullptr;
    CaptureRecord header = record;
    const EntryPoint entryPoint = ChooseEntryPoint(header.direction, header.previousDirection);
    // The header's length comes from another process: never hand on more than the bytes the
    // reader actually has.
    std::span<const std::uint8_t> data =
        bytes.first(std::min<std::size_t>(bytes.size(), header.dataLength));
    if (document != nullptr && header.direction == Direction::Lost) {
        // Records that could not be written, told in their place.
        if (TakeRecordExtensions(header, data, m_processes)) {
            if (const auto lost = ReadLostBytes(data)) {
                const std::lock_guard lock(m_captureLock);
                m_tlsDocument = document;
                m_tls.Lost(header);
                m_tlsDocument = nullptr;
                m_protocols.Lost(*document, header, *lost);
            }
        }
        return;
    }
    // An IPv6 peer's address and the process travel ahead of the data; a record too short for
    // them is dropped.
    if (document == nullptr || entryPoint == EntryPoint::None ||
        !TakeRecordExtensions(header, data, m_processes)) {
        return;
    }
    const std::lock_guard lock(m_captureLock);
    if (header.tls) {
        m_tlsDocument = document;
        m_tls.Deliver(header, data, TlsStage::Clock::now());
        m_tlsDocument = nullptr;
        return;
    }
    m_tls.Forget(header.connectionId);
    m_protocols.Deliver(*document, entryPoint, header, data);
}

void CaptureDispatch::DeliverPlain(MessageSink& document, const CaptureRecord& header,
                                   std::span<const std::uint8_t> data) {
    const EntryPoint entryPoint = ChooseEntryPoint(header.direction, header.previousDirection);
    if (entryPoint != EntryPoint::None) {
        m_protocols.Deliver(document, entryPoint, header, data);
    }
}

void CaptureDispatch::AddKeys(std::string_view text) {
    const std::lock_guard lock(m_captureLock);
    m_tls.keys().Feed(text);
}

void CaptureDispatch::Tick(KeyLogFiles& keyLogs) {
    MessageSink* document = m_activeDocument ? m_activeDocument() : nullptr;
    const std::lock_guard lock(m_captureLock);
    keyLogs.Read(m_tls.keys());
    if (document == nullptr || m_tls.waiting() == 0) {
        return;
    }
    m_tlsDocument = document;
    m_tls.Poll(TlsStage::Clock::now());
    m_tlsDocument = nullptr;
}

void CaptureDispatch::FinishTls(std::string_view why) {
    MessageSink* document = m_activeDocument ? m_activeDocument() : nullptr;
    const std::lock_guard lock(m_captureLock);
    if (document == nullptr) {
        return;
    }
    m_tlsDocument = document;
    m_tls.Finish(why);
    m_tlsDocument = nullptr;
}

}  // namespace vantor
