#include "capture/RingReader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "capture/ChannelLayout.h"
#include "vtcap_ring.h"

namespace vantor {
namespace {

// A ring object in this process's memory, written with the provider's own ring code or by hand
// as a hostile writer would.
class RingReaderTest : public testing::Test {
protected:
    RingReaderTest() : m_storage(VANTOR_RING_OBJECT_SIZE / sizeof(std::uint64_t)) {
        m_writer = {object(), nullptr, &RingReaderTest::Doorbell, this};
    }

    std::uint8_t* object() { return reinterpret_cast<std::uint8_t*>(m_storage.data()); }
    std::uint8_t* ring() { return object() + VANTOR_RING_CONTROL_SIZE; }
    void Set64(std::size_t offset, std::uint64_t value) {
        std::memcpy(object() + offset, &value, sizeof value);
    }
    std::uint64_t Get64(std::size_t offset) {
        std::uint64_t value = 0;
        std::memcpy(&value, object() + offset, sizeof value);
        return value;
    }
    void Slot(std::uint64_t position, std::uint32_t size, std::uint32_t state) {
        std::uint8_t* slot = ring() + position % VANTOR_RING_SIZE;
        std::memcpy(slot, &size, sizeof size);
        std::memcpy(slot + VANTOR_SLOT_STATE_OFFSET, &state, sizeof state);
    }

    // Reserves, fills and (unless told not to) commits a record as the provider does.
    std::uint8_t* Write(std::uint32_t connection, std::string_view data, bool commit = true) {
        unsigned char* record = nullptr;
        m_status = vtcap_ring_reserve(&m_writer, kCaptureHeaderSize + data.size(),
                                      vtcap_monotonic_ms(), &record);
        if (m_status != VTCAP_RING_RESERVED) {
            return nullptr;
        }
        CaptureRecord header = test::Header(1, 0, connection);
        header.dataLength = static_cast<std::uint32_t>(data.size());
        WriteCaptureRecord(header,
                           std::span<std::uint8_t, kCaptureHeaderSize>(record, kCaptureHeaderSize));
        std::memcpy(record + kCaptureHeaderSize, data.data(), data.size());
        if (commit) {
            vtcap_ring_commit(&m_writer, record);
        }
        return record;
    }

    static std::vector<std::string> Texts(const std::vector<PendingRecord>& batch) {
        std::vector<std::string> texts;
        for (const PendingRecord& record : batch) {
            texts.emplace_back(record.data.begin(), record.data.end());
        }
        return texts;
    }

    static void Doorbell(const void* context) {
        ++static_cast<RingReaderTest*>(const_cast<void*>(context))->m_rings;
    }

    std::vector<std::uint64_t> m_storage;
    vtcap_ring m_writer{};
    int m_status = VTCAP_RING_RESERVED;
    int m_rings = 0;  // times the doorbell rang
};

TEST_F(RingReaderTest, CommittedRecordsComeInPositionOrderAndTheirRoomGoesBackOnRelease) {
    RingReader reader(object());
    ASSERT_NE(Write(1, "one"), nullptr);
    EXPECT_EQ(m_rings, 0) << "the reader does not sleep";
    reader.Sleeping();
    std::uint8_t* slow = Write(2, "two", false);
    ASSERT_NE(slow, nullptr);
    ASSERT_NE(Write(3, "three"), nullptr);
    ASSERT_NE(Write(4, "four"), nullptr);
    EXPECT_EQ(m_rings, 1) << "the first commit while it sleeps rings, once";

    std::vector<PendingRecord> batch;
    reader.Collect(batch, 10);
    EXPECT_EQ(Texts(batch), std::vector<std::string>{"one"}) << "stops at the slot being written";
    EXPECT_FALSE(reader.HasWork());
    EXPECT_EQ(Get64(VANTOR_RING_HEAD_OFFSET), 0u) << "nothing given back before Release";
    reader.Release();
    EXPECT_EQ(Get64(VANTOR_RING_HEAD_OFFSET), 8u + 56u);

    vtcap_ring_commit(&m_writer, slow);
    EXPECT_TRUE(reader.HasWork());
    batch.clear();
    reader.Collect(batch, 1);
    EXPECT_EQ(Texts(batch), std::vector<std::string>{"two"}) << "at most as many as asked";
    reader.Collect(batch, 10);
    EXPECT_EQ(Texts(batch), (std::vector<std::string>{"two", "three", "four"}));
    EXPECT_EQ(batch[1].header.connectionId, 3u);
    EXPECT_EQ(reader.lost(), 0u);
    EXPECT_TRUE(reader.Drained());
}

// A reader that sleeps only until the ring fills (just after records came) is woken by the
// commit that leaves its wake level unread, not before, and once.
TEST_F(RingReaderTest, AReaderWaitingForAFullerRingIsWokenAtItsLevel) {
    RingReader reader(object());
    const std::string piece(1000, 'x');
    reader.Sleeping(3000);
    ASSERT_NE(Write(1, piece), nullptr);
    ASSERT_NE(Write(1, piece), nullptr);
    EXPECT_EQ(m_rings, 0);
    EXPECT_FALSE(reader.HasWork(3000));
    EXPECT_TRUE(reader.HasWork());
    ASSERT_NE(Write(1, piece), nullptr);
    ASSERT_NE(Write(1, piece), nullptr);
    EXPECT_EQ(m_rings, 1);
    EXPECT_TRUE(reader.HasWork(3000));
    reader.Awake();
    ASSERT_NE(Write(1, piece), nullptr);
    EXPECT_EQ(m_rings, 1) << "an awake reader is not rung";
}

TEST_F(RingReaderTest, AReservationThatWouldWrapIsPaddedAndTheRecordStartsTheRing) {
    const std::uint64_t start = VANTOR_RING_SIZE - 40;
    Set64(VANTOR_RING_HEAD_OFFSET, start);
    Set64(VANTOR_RING_TAIL_OFFSET, start);
    RingReader reader(object());
    ASSERT_NE(Write(1, std::string(100, 'w')), nullptr);
    EXPECT_EQ(Get64(VANTOR_RING_TAIL_OFFSET), VANTOR_RING_SIZE + 8u + 52u + 100u);
    std::vector<PendingRecord> batch;
    reader.Collect(batch, 10);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].data.data(), ring() + 8 + kCaptureHeaderSize);
    EXPECT_EQ(Texts(batch)[0], std::string(100, 'w'));
}

TEST_F(RingReaderTest, WritersFindNoRoomUntilTheReaderReleasesIt) {
    RingReader reader(object());
    const std::string big(VANTOR_MAX_RECORD_DATA, 'b');
    int written = 0;
    while (Write(1, big) != nullptr) {
        ++written;
    }
    EXPECT_EQ(written, 3) << "three of the largest records fit a ring of 4 MiB";
    std::vector<PendingRecord> batch;
    reader.Collect(batch, 10);
    EXPECT_EQ(Write(1, big), nullptr) << "taken is not given back";
    EXPECT_EQ(m_status, VTCAP_RING_TIMED_OUT);
    // Lost records may still take the ring's reserve.
    unsigned char* lost = nullptr;
    EXPECT_EQ(vtcap_ring_reserve_lost(&m_writer, 80, vtcap_monotonic_ms(), &lost),
              VTCAP_RING_RESERVED);
    vtcap_ring_commit(&m_writer, lost);
    reader.Release();
    EXPECT_NE(Write(1, big), nullptr);
    reader.Close();
    EXPECT_EQ(Write(1, "x"), nullptr) << "capture stopped";
    EXPECT_EQ(m_status, VTCAP_RING_CLOSED);
}

TEST_F(RingReaderTest, BrokenTailsAndSizesSkipToTheTailAndCountALoss) {
    struct Case {
        const char* name;
        std::uint64_t tail;
        std::uint32_t size;
    };
    for (const Case& broken :
         {Case{"a tail a whole ring ahead", VANTOR_RING_SIZE + 64, 64},
          Case{"a tail behind the head", 0, 64}, Case{"a size of nothing", 256, 0},
          Case{"a size short of a slot header", 256, 4},
          Case{"a size not a multiple of 8", 256, 68}, Case{"a size past the tail", 256, 264},
          Case{"a size past the ring's end", 8 * VANTOR_RING_SIZE / 8, 0xFFFFFFF8}}) {
        SCOPED_TRACE(broken.name);
        std::fill(m_storage.begin(), m_storage.end(), 0);
        const std::uint64_t head = 1024;
        Set64(VANTOR_RING_HEAD_OFFSET, head);
        Set64(VANTOR_RING_TAIL_OFFSET, broken.tail == 0 ? head - 8 : head + broken.tail);
        Slot(head, broken.size, VANTOR_SLOT_COMMITTED);
        RingReader reader(object());
        std::vector<PendingRecord> batch;
        reader.Collect(batch, 10);
        EXPECT_TRUE(batch.empty());
        EXPECT_EQ(reader.lost(), 1u);
        reader.Release();
        // Writing goes on from the tail, and the reader with it.
        ASSERT_NE(Write(1, "after"), nullptr);
        reader.Collect(batch, 10);
        EXPECT_EQ(Texts(batch), std::vector<std::string>{"after"});
    }
}

TEST_F(RingReaderTest, PositionsOffTheSlotsAlignmentAreSkippedToAndThenWaitedAt) {
    Set64(VANTOR_RING_HEAD_OFFSET, 1027);
    Set64(VANTOR_RING_TAIL_OFFSET, 1027 + 4099);
    Slot(1024, 64, VANTOR_SLOT_COMMITTED);
    RingReader reader(object());
    std::vector<PendingRecord> batch;
    reader.Collect(batch, 10);
    EXPECT_TRUE(batch.empty());
    EXPECT_EQ(reader.lost(), 1u);
    EXPECT_FALSE(reader.HasWork()) << "nothing to do until the tail moves";
    reader.Collect(batch, 10);
    EXPECT_EQ(reader.lost(), 1u);
}

TEST_F(RingReaderTest, ACommittedSlotTooShortForARecordHeaderIsSkippedAndCounted) {
    Slot(0, 16, VANTOR_SLOT_COMMITTED);
    Set64(VANTOR_RING_TAIL_OFFSET, 16);
    RingReader reader(object());
    ASSERT_NE(Write(1, "next"), nullptr);
    std::vector<PendingRecord> batch;
    reader.Collect(batch, 10);
    EXPECT_EQ(Texts(batch), std::vector<std::string>{"next"});
    EXPECT_EQ(reader.lost(), 1u);
}

TEST_F(RingReaderTest, ASlotLeftHalfWrittenIsSkippedOnceItsWriterEnded) {
    RingReader reader(object());
    ASSERT_NE(Write(1, "half", false), nullptr);
    ASSERT_NE(Write(2, "whole"), nullptr);
    std::vector<PendingRecord> batch;
    reader.Collect(batch, 10);
    EXPECT_TRUE(batch.empty()) << "a writer of the process may still be at it";
    EXPECT_FALSE(reader.Drained());
    EXPECT_TRUE(reader.SkipAbandoned());
    EXPECT_FALSE(reader.SkipAbandoned()) << "only a reserved slot";
    EXPECT_EQ(reader.lost(), 1u);
    reader.Collect(batch, 10);
    EXPECT_EQ(Texts(batch), std::vector<std::string>{"whole"});
    EXPECT_TRUE(reader.Drained());
}

TEST_F(RingReaderTest, RandomRingsNeverLeadOutsideTheRingOrIntoEndlessWork) {
    std::mt19937_64 random(11);
    for (int round = 0; round < 300; ++round) {
        std::fill(m_storage.begin(), m_storage.end(), 0);
        const std::uint64_t head = random() % (3 * VANTOR_RING_SIZE);
        Set64(VANTOR_RING_HEAD_OFFSET, head);
        Set64(VANTOR_RING_TAIL_OFFSET, head + random() % (VANTOR_RING_SIZE + 4096));
        for (std::uint64_t slot = 0; slot < 200; ++slot) {
            const std::uint64_t at = head + (random() % 64) * 8 + (random() % 2) * slot * 4096;
            const std::uint32_t size = random() % 3 == 0
                                           ? static_cast<std::uint32_t>(random())
                                           : static_cast<std::uint32_t>(8 * (random() % 9000));
            Slot(at, size, static_cast<std::uint32_t>(random()));
        }
        RingReader reader(object());
        std::vector<PendingRecord> batch;
        for (int pass = 0; pass < 4; ++pass) {
            reader.Collect(batch, 100);
            reader.SkipAbandoned();
            reader.Release();
        }
        for (const PendingRecord& record : batch) {
            ASSERT_GE(record.data.data(), ring());
            ASSERT_LE(record.data.data() + record.data.size(), ring() + VANTOR_RING_SIZE);
        }
    }
}

}  // namespace
}  // namespace vantor
