#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/CaptureDispatch.h"

namespace vantor {

// Vantor's end of one process's capture ring (capture/ChannelLayout.h): takes committed records
// in position order, without copying them, and gives their room back once they are dispatched.
// Everything in the ring object is written by another process and checked before use: sizes,
// states and the tail can make a record be skipped (and counted lost), never make this read
// outside the object or loop without end.
class RingReader {
public:
    // object: the whole ring object, VANTOR_RING_OBJECT_SIZE bytes, mapped for the reader's life.
    explicit RingReader(std::uint8_t* object);

    // Appends the committed records that follow the ones already taken, at most maxRecords;
    // stops at a slot not yet committed. Their data stay in the ring until Release.
    void Collect(std::vector<PendingRecord>& batch, std::size_t maxRecords);
    // Whether the slot after the ones taken is committed (or a padding or a broken slot, which
    // Collect gets past), so that there is something to collect; with wakeAt, whether at least
    // that many bytes wait.
    bool HasWork(std::uint32_t wakeAt = 1) const;
    // Whether everything reserved so far was taken.
    bool Drained() const;
    // Gives the room of everything taken back to the writers, waking those that wait for it.
    void Release();

    // Once the writing process has ended: a slot it reserved and never committed is skipped
    // (a lost record). True when one was.
    bool SkipAbandoned();

    // Says that the reader sleeps, so that the next commit that leaves at least wakeAt bytes to
    // read rings the doorbell (with 1, the next commit); and that it is awake again.
    void Sleeping(std::uint32_t wakeAt = 1);
    void Awake();
    // Tells the writers that Vantor reads no more (capture stopped), waking any that wait.
    void Close();

    // Records skipped here (abandoned or broken slots), and records the writers dropped.
    std::uint64_t lost() const { return m_lost; }
    std::uint64_t DroppedByWriters() const;

private:
    enum class Slot { None, Committed, Padding, Reserved, Broken };
    // The slot at m_next as far as it can be trusted; size as read, once.
    Slot Look(std::uint64_t tail, std::uint32_t& size) const;
    std::uint64_t Tail() const;

    std::uint8_t* m_object;
    std::uint8_t* m_ring;
    std::uint64_t m_next;  // the end of what was taken
    std::uint64_t m_lost = 0;
};

}  // namespace vantor
