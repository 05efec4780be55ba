#include "capture/RingReader.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>

#include "capture/ChannelLayout.h"

namespace vantor {

namespace {

template <typename T>
std::atomic_ref<T> Word(std::uint8_t* address) {
    return std::atomic_ref<T>(*reinterpret_cast<T*>(address));
}

void Wake(std::uint8_t* word) {
    ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

// A broken tail or slot costs at most this many looks per Collect beyond the records taken,
// whatever the writers keep changing meanwhile.
constexpr std::size_t kExtraLooks = 64;

}  // namespace

RingReader::RingReader(std::uint8_t* object)
    : m_object(object),
      m_ring(object + VANTOR_RING_CONTROL_SIZE),
      m_next(Word<std::uint64_t>(object + VANTOR_RING_HEAD_OFFSET).load()) {}

std::uint64_t RingReader::Tail() const {
    return Word<std::uint64_t>(m_object + VANTOR_RING_TAIL_OFFSET).load(std::memory_order_acquire);
}

std::uint64_t RingReader::DroppedByWriters() const {
    return Word<std::uint64_t>(m_object + VANTOR_RING_DROPPED_OFFSET)
        .load(std::memory_order_relaxed);
}

RingReader::Slot RingReader::Look(std::uint64_t tail, std::uint32_t& size) const {
    const std::uint64_t used = tail - m_next;
    if (used == 0) {
        return Slot::None;
    }
    // Slots start on VANTOR_SLOT_ALIGN; a tail that does not is skipped to as it is, and then
    // waited at like any other.
    if (used > VANTOR_RING_SIZE || m_next % VANTOR_SLOT_ALIGN != 0) {
        return Slot::Broken;
    }
    const std::size_t place = m_next % VANTOR_RING_SIZE;
    std::uint8_t* slot = m_ring + place;
    size = Word<std::uint32_t>(slot).load(std::memory_order_relaxed);
    const std::uint32_t state = Word<std::uint32_t>(slot + VANTOR_SLOT_STATE_OFFSET).load();
    if (size < VANTOR_SLOT_HEADER_SIZE || size % VANTOR_SLOT_ALIGN != 0 ||
        size > VANTOR_RING_SIZE - place || size > used) {
        return Slot::Broken;
    }
    switch (state) {
        case VANTOR_SLOT_COMMITTED:
            return Slot::Committed;
        case VANTOR_SLOT_PADDING:
            return Slot::Padding;
        default:
            return Slot::Reserved;
    }
}

void RingReader::Collect(std::vector<PendingRecord>& batch, std::size_t maxRecords) {
    std::size_t taken = 0;
    for (std::size_t looks = 0; taken < maxRecords && looks < maxRecords + kExtraLooks; ++looks) {
        const std::uint64_t tail = Tail();
        std::uint32_t size = 0;
        switch (Look(tail, size)) {
            case Slot::None:
            case Slot::Reserved:
                return;
            case Slot::Broken:
                // Nothing between here and the tail can be trusted to have a size.
                m_next = tail;
                ++m_lost;
                continue;
            case Slot::Padding:
                m_next += size;
                continue;
            case Slot::Committed:
                break;
        }
        const std::uint8_t* record = m_ring + m_next % VANTOR_RING_SIZE + VANTOR_SLOT_HEADER_SIZE;
        const std::size_t length = size - VANTOR_SLOT_HEADER_SIZE;
        m_next += size;
        if (length < kCaptureHeaderSize) {
            ++m_lost;
            continue;
        }
        PendingRecord& pending = batch.emplace_back();
        pending.header = ReadCaptureRecord(
            std::span<const std::uint8_t, kCaptureHeaderSize>(record, kCaptureHeaderSize));
        pending.data = {
            record + kCaptureHeaderSize,
            std::min<std::size_t>(pending.header.dataLength, length - kCaptureHeaderSize)};
        ++taken;
    }
}

bool RingReader::HasWork(std::uint32_t wakeAt) const {
    if (wakeAt > 1) {
        return Tail() - m_next >= wakeAt;
    }
    std::uint32_t size = 0;
    const Slot slot = Look(Tail(), size);
    return slot != Slot::None && slot != Slot::Reserved;
}

bool RingReader::Drained() const {
    return Tail() == m_next;
}

void RingReader::Release() {
    // Sequentially consistent with the writers, which say they wait for room and then look at
    // the head once more.
    Word<std::uint64_t>(m_object + VANTOR_RING_HEAD_OFFSET).store(m_next);
    auto room = Word<std::uint32_t>(m_object + VANTOR_RING_ROOM_OFFSET);
    if (const std::uint32_t value = room.load(); (value & VANTOR_RING_WAITERS) != 0) {
        room.store((value + 1) & ~VANTOR_RING_WAITERS);
        Wake(m_object + VANTOR_RING_ROOM_OFFSET);
    }
}

bool RingReader::SkipAbandoned() {
    std::uint32_t size = 0;
    if (Look(Tail(), size) != Slot::Reserved) {
        return false;
    }
    m_next += size;
    ++m_lost;
    return true;
}

void RingReader::Sleeping(std::uint32_t wakeAt) {
    Word<std::uint32_t>(m_object + VANTOR_RING_ASLEEP_OFFSET).store(std::max<std::uint32_t>(wakeAt, 1));
}

void RingReader::Awake() {
    auto asleep = Word<std::uint32_t>(m_object + VANTOR_RING_ASLEEP_OFFSET);
    if (asleep.load(std::memory_order_relaxed) != 0) {
        asleep.store(0, std::memory_order_relaxed);
    }
}

void RingReader::Close() {
    Word<std::uint32_t>(m_object + VANTOR_RING_STATE_OFFSET).fetch_or(VANTOR_RING_CLOSED);
    auto room = Word<std::uint32_t>(m_object + VANTOR_RING_ROOM_OFFSET);
    room.fetch_add(1);
    Wake(m_object + VANTOR_RING_ROOM_OFFSET);
}

}  // namespace vantor
