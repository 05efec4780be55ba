// The records of each connection in the order their bytes moved, whatever order they come in.
#include "capture/RecordOrder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "capture/ChannelLayout.h"
#include "platform/Endian.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using Clock = RecordOrder::Clock;

// A record of connection 7 (unless said), its place, direction and previous direction; its
// data is its name.
struct Step {
    std::string name;
    std::uint32_t sequence;
    Direction direction = Direction::Sent;
    Direction previous = Direction::Received;
    std::uint32_t connection = 7;
    std::uint32_t lostCount = 0;  // a lost record for this many places
    Clock::duration after{};      // how long after the start it comes
};

struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> expected;  // names in dispatch order; "?N" a loss of N places
    Clock::duration end = 0s;           // when the last look is taken
};

std::string Named(const PendingRecord& record) {
    if (record.header.direction == Direction::Lost) {
        return "?" + std::to_string(LoadLE32(std::span<const std::uint8_t, 4>(
                         record.data.data() + VANTOR_LOST_COUNT_OFFSET, 4)));
    }
    return std::string(record.data.begin(), record.data.end());
}

class RecordOrderTest : public testing::TestWithParam<Case> {};

TEST_P(RecordOrderTest, EachConnectionsRecordsComeInTheOrderTheirBytesMoved) {
    const Case& c = GetParam();
    RecordOrder order;
    std::vector<std::string> dispatched;
    const Clock::time_point start = Clock::now();
    const auto take = [&] {
        for (const PendingRecord& record : order.ready()) {
            dispatched.push_back(Named(record));
        }
        order.Dispatched();
    };
    for (const Step& step : c.steps) {
        std::vector<std::uint8_t> data(step.name.begin(), step.name.end());
        CaptureRecord header = test::Header(step.direction, step.previous, step.connection);
        if (step.lostCount != 0) {
            header.direction = Direction::Lost;
            data.assign(VANTOR_LOST_DATA_SIZE, 0);
            StoreLE32(std::span<std::uint8_t, 4>(data.data() + VANTOR_LOST_COUNT_OFFSET, 4),
                      step.lostCount);
        }
        header.providerData = step.sequence;
        header.dataLength = static_cast<std::uint32_t>(data.size());
        order.Expire(start + step.after);
        order.Offer({header, data}, start + step.after);
        take();  // the data of a record that waits must outlive the ring's
        data.assign(data.size(), 'x');
    }
    order.Expire(start + c.end);
    take();
    EXPECT_EQ(dispatched, c.expected);
    EXPECT_FALSE(order.Waiting());
}

const Direction kNone = Direction::None;
const Direction kSent = Direction::Sent;
const Direction kReceived = Direction::Received;

INSTANTIATE_TEST_SUITE_P(
    Orders, RecordOrderTest,
    testing::Values(
        Case{"in_order",
             {{"request", 0, kSent, kNone}, {"response", 1, kReceived, kSent}},
             {"request", "response"}},
        // A receive on one thread written before the send it answers on another.
        Case{"answer_written_first",
             {{"response", 1, kReceived, kSent}, {"request", 0, kSent, kNone}},
             {"request", "response"}},
        Case{"inverted_later",
             {{"a", 0, kSent, kNone}, {"c", 2, kSent}, {"b", 1, kReceived, kSent}, {"d", 3}},
             {"a", "b", "c", "d"}},
        // Other connections are not held up by one that waits.
        Case{"others_go_on",
             {{"a", 0, kSent, kNone}, {"c", 2}, {"other", 0, kSent, kNone, 9}, {"b", 1}},
             {"a", "other", "b", "c"}},
        Case{"lost_records_fill_their_places",
             {{"a", 0, kSent, kNone}, {"d", 3}, {"", 1, kSent, kSent, 7, 2}},
             {"a", "?2", "d"}},
        // Nothing fills the gap: after the wait, a loss of unknown size in its place.
        Case{"a_gap_given_up",
             {{"a", 0, kSent, kNone}, {"c", 2}},
             {"a", "?1", "c"},
             RecordOrder::kGapWait},
        Case{"a_gap_waited_for_in_time",
             {{"a", 0, kSent, kNone}, {"c", 2}, {"b", 1, kSent, kSent, 7, 0, 100ms}},
             {"a", "b", "c"},
             RecordOrder::kGapWait},
        // Capture started while the connection was open: its first places never come.
        Case{"joined_part_way",
             {{"f", 5, kReceived, kSent}, {"e", 4}},
             {"e", "f"},
             RecordOrder::kStartWait},
        // A late record (its gap given up) still goes on, as it is.
        Case{"late",
             {{"a", 0, kSent, kNone},
              {"c", 2},
              {"d", 3, kSent, kSent, 7, 0, RecordOrder::kGapWait},
              {"b", 1, kSent, kSent, 7, 0, RecordOrder::kGapWait + 1ms}},
             {"a", "?1", "c", "d", "b"},
             RecordOrder::kGapWait + 1ms},
        // A new socket that got the number of one that waits: the old one gives its gap up.
        Case{"number_reused",
             {{"a", 0, kSent, kNone}, {"c", 2}, {"new", 0, kSent, kNone}, {"next", 1}},
             {"a", "?1", "c", "new", "next"}},
        Case{"places_wrap",
             {{"a", 0xFFFFFFFEu, kSent, kNone}, {"c", 0}, {"b", 0xFFFFFFFFu}},
             {"a", "b", "c"}}),
    [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(RecordOrderBoundsTest, WaitingRecordsStayWithinTheirBounds) {
    RecordOrder order;
    const auto now = Clock::now();
    std::vector<std::uint8_t> data(1 << 20, 'x');
    CaptureRecord header = test::Header(Direction::Sent, Direction::None, 3);
    header.dataLength = static_cast<std::uint32_t>(data.size());
    order.Offer({header, data}, now);
    std::size_t dispatched = order.ready().size();
    order.Dispatched();
    header.previousDirection = Direction::Sent;
    // Place 1 never comes: past the bound of one connection, its gap is given up.
    for (std::uint32_t sequence = 2; sequence < 40; ++sequence) {
        header.providerData = sequence;
        order.Offer({header, data}, now);
        dispatched += order.ready().size();
        order.Dispatched();
    }
    EXPECT_EQ(dispatched, 1u + 1u + 38u) << "the first, the gap, and every record after it";
    EXPECT_FALSE(order.Waiting());
}

}  // namespace
}  // namespace vantor
