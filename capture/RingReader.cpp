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

RingReader::Slot RingReader::Look(std::uint64_t tail, std::uint32_t& size,
                                  std::uint32_t& state) const {
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
    state = Word<std::uint32_t>(slot + VANTOR_SLOT_STATE_OFFSET).load();
    if (size < VANTOR_SLOT_HEADER_SIZE || size % VANTOR_SLOT_ALIGN != 0 ||
        size > VANTOR_RING_SIZE - place || size > used) {
        return Slot::Broken;
    }
    switch (state & VANTOR_SLOT_KIND_MASK) {
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
        std::uint32_t state = 0;
        switch (Look(tail, size, state)) {
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
        pending.header.providerData = kCaptureHeaderSize;
        pending.data = {
            record + kCaptureHeaderSize,
            std::min<std::size_t>(pending.header.dataLength, length - kCaptureHeaderSize)};
        ++taken;
    }
}

bool RingReader::HasWork() const {
    std::uint32_t size = 0;
    std::uint32_t state = 0;
    const Slot slot = Look(Tail(), size, state);
    return slot != Slot::None && slot != Slot::Reserved;
}

void RingReader::Release() {
    // Sequentially consistent with the writers' look at the head before they sleep for room.
    Word<std::uint64_t>(m_object + VANTOR_RING_HEAD_OFFSET).store(m_next);
}

bool RingReader::ClearAbandoned(const std::function<bool(std::uint32_t)>& hasEnded) {
    bool cleared = false;
    auto lock = Word<std::uint32_t>(m_object + VANTOR_RING_LOCK_OFFSET);
    std::uint32_t locked = lock.load();
    const std::uint32_t lockHolder = locked >> VANTOR_EVENT_HOLDER_SHIFT;
    // A writer that ended inside the lock left at most a reservation whose tail it did or did
    // not publish: either way the ring is whole, only the lock is left to free.
    if (locked != 0 && lockHolder > VANTOR_EVENT_UNKNOWN_HOLDER && hasEnded(lockHolder) &&
        lock.compare_exchange_strong(locked, 0)) {
        ::syscall(SYS_futex, m_object + VANTOR_RING_LOCK_OFFSET, FUTEX_WAKE, INT_MAX, nullptr,
                  nullptr, 0);
        cleared = true;
    }
    std::uint32_t size = 0;
    std::uint32_t state = 0;
    if (Look(Tail(), size, state) == Slot::Reserved) {
        const std::uint32_t holder = state >> VANTOR_EVENT_HOLDER_SHIFT;
        if (holder > VANTOR_EVENT_UNKNOWN_HOLDER && hasEnded(holder)) {
            m_next += size;
            ++m_lost;
            cleared = true;
        }
    }
    return cleared;
}

}  // namespace vantor
