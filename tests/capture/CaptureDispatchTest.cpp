#include "capture/CaptureDispatch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "capture/ChannelLayout.h"
#include "platform/Endian.h"
#include "document/CSnifferDoc.h"

namespace vantor {
namespace {

using test::Header;
using testing::ElementsAre;

struct TableCase {
    std::uint32_t direction;
    std::uint32_t previous;
    EntryPoint expected;
    friend void PrintTo(const TableCase& c, std::ostream* os) {
        *os << c.direction << " after " << c.previous;
    }
};

class DispatchTableTest : public testing::TestWithParam<TableCase> {};

TEST_P(DispatchTableTest, PicksTheEntryPoint) {
    EXPECT_EQ(ChooseEntryPoint(static_cast<Direction>(GetParam().direction),
                               static_cast<Direction>(GetParam().previous)),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    AllPairs, DispatchTableTest,
    testing::Values(TableCase{1, 0, EntryPoint::NewRequest},
                    TableCase{1, 2, EntryPoint::NewRequest},
                    TableCase{1, 1, EntryPoint::AppendRequest},
                    TableCase{2, 1, EntryPoint::NewResponse},
                    TableCase{2, 2, EntryPoint::AppendResponse}, TableCase{2, 0, EntryPoint::None},
                    TableCase{1, 3, EntryPoint::None}, TableCase{2, 7, EntryPoint::None},
                    TableCase{0, 0, EntryPoint::None}, TableCase{0, 1, EntryPoint::None},
                    TableCase{3, 1, EntryPoint::None}, TableCase{0xFFFFFFFF, 2, EntryPoint::None}));

// Whether anyone holds the lock, asked from another thread: a thread may not try a mutex it
// may hold itself.
bool IsHeld(std::mutex& lock) {
    bool held = false;
    std::thread([&] {
        if (lock.try_lock()) {
            lock.unlock();
        } else {
            held = true;
        }
    }).join();
    return held;
}

// Checks from inside a document update whether the capture lock is held.
class LockProbeView : public CView {
public:
    explicit LockProbeView(std::mutex& lock) : m_lock(lock) {}
    void OnUpdate(CView*, std::intptr_t, CObject*) override {
        heldDuringUpdate.push_back(IsHeld(m_lock));
    }
    std::vector<bool> heldDuringUpdate;

private:
    std::mutex& m_lock;
};

class CaptureDispatchTest : public testing::Test {
protected:
    CaptureDispatchTest() : dispatch([this] { return &document; }) {}

    void Dispatch(std::uint32_t direction, std::uint32_t previous, std::uint32_t connection,
                  std::string_view data) {
        dispatch.Dispatch(
            Header(direction, previous, connection, static_cast<std::uint32_t>(data.size())),
            test::Bytes(data));
    }

    CSnifferDoc document;
    CaptureDispatch dispatch;
};

TEST_F(CaptureDispatchTest, RecordsWithoutAnEntryPointOrAMessageToGrowArePassedOver) {
    Dispatch(1, 0, 4, "GET / HTTP/1.1\r\n\r\n");
    Dispatch(2, 0, 4, "dropped");
    Dispatch(3, 1, 4, "dropped");
    Dispatch(1, 1, 99, "no such request");
    EXPECT_EQ(document.messages().size(), 1u);
}

TEST_F(CaptureDispatchTest, DirectionsGrowRequestsAndResponsesPerConnection) {
    Dispatch(1, 0, 8, "GET / HTTP/1.1\r\n");
    Dispatch(1, 1, 8, "Host: a\r\n\r\n");
    Dispatch(2, 1, 8, "HTTP/1.1 200 OK\r\n");
    Dispatch(2, 2, 8, "\r\nbody");
    Dispatch(1, 2, 8, "GET /next HTTP/1.1\r\n\r\n");
    Dispatch(2, 0, 8, "stray");

    ASSERT_EQ(document.requests().size(), 2u);
    ASSERT_EQ(document.responses().size(), 1u);
    EXPECT_EQ(document.requests()[0]->text(), "GET / HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(document.responses()[0]->text(), "HTTP/1.1 200 OK\r\n\r\nbody");
    EXPECT_EQ(document.requests()[0]->response(), document.responses()[0]);
    EXPECT_EQ(document.requests()[1]->text(), "GET /next HTTP/1.1\r\n\r\n");
}

TEST_F(CaptureDispatchTest, AnEmptyFirstRecordStillCreatesARequest) {
    Dispatch(1, 0, 3, "");
    ASSERT_EQ(document.requests().size(), 1u);
    EXPECT_EQ(document.requests()[0]->text(), "");
    EXPECT_EQ(document.requests()[0]->state(), AssemblyState::ReadingHeader);
}

TEST_F(CaptureDispatchTest, OnlyBytesBothTheHeaderAndTheReaderVouchForAreUsed) {
    dispatch.Dispatch(Header(1, 0, 1, 3), test::Bytes("GET /"));
    dispatch.Dispatch(Header(1, 1, 1, 1'000'000), test::Bytes(" /x"));
    EXPECT_EQ(document.requests()[0]->text(), "GET /x");
}

TEST_F(CaptureDispatchTest, EntryPointsRunInsideTheCaptureLockWhichIsFreeAfterwards) {
    CaptureDispatch probed([this] { return &document; });
    LockProbeView probe(probed.captureLock());
    document.AddView(&probe);

    probed.Dispatch(Header(1, 0, 1, 3), test::Bytes("GET"));
    EXPECT_THAT(probe.heldDuringUpdate, ElementsAre(true));
    EXPECT_FALSE(IsHeld(probed.captureLock()));
}

// Records a full ring could not take are told in their place: the message the hole cut says
// so, the rest of what it cut is counted and never appended to it, and the side goes on at its
// next message.
TEST_F(CaptureDispatchTest, AHoleCutsOneMessageAndTheSideGoesOnAtItsNextOne) {
    const auto lost = [&](std::uint32_t connection, std::uint64_t sent, std::uint64_t received,
                          std::uint32_t before, std::uint32_t last, bool sizesKnown = true) {
        std::vector<std::uint8_t> data(VANTOR_LOST_DATA_SIZE);
        const std::uint32_t flags = (sizesKnown ? VANTOR_LOST_SIZES_KNOWN : 0) |
                                    before << VANTOR_LOST_BEFORE_SHIFT |
                                    last << VANTOR_LOST_LAST_SHIFT;
        StoreLE32(std::span<std::uint8_t, 4>(data.data() + VANTOR_LOST_COUNT_OFFSET, 4), 1);
        StoreLE32(std::span<std::uint8_t, 4>(data.data() + VANTOR_LOST_FLAGS_OFFSET, 4), flags);
        for (unsigned i = 0; i < 8; ++i) {
            data[VANTOR_LOST_SENT_OFFSET + i] = static_cast<std::uint8_t>(sent >> (8 * i));
            data[VANTOR_LOST_RECEIVED_OFFSET + i] = static_cast<std::uint8_t>(received >> (8 * i));
        }
        dispatch.Dispatch(Header(VANTOR_DIRECTION_LOST, 0, connection, VANTOR_LOST_DATA_SIZE), data);
    };
    // A download loses its middle: the response says how much, its later bytes are counted,
    // the next exchange is whole.
    Dispatch(1, 0, 1, "GET /big HTTP/1.1\r\n\r\n");
    Dispatch(2, 1, 1, "HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\nfirst");
    lost(1, 0, 4000, VANTOR_DIRECTION_RECEIVED, VANTOR_DIRECTION_RECEIVED);
    Dispatch(2, 2, 1, "the rest");
    Dispatch(1, 2, 1, "GET /next HTTP/1.1\r\n\r\n");
    Dispatch(2, 1, 1, "HTTP/1.1 204 No Content\r\n\r\n");
    ASSERT_EQ(document.messages().size(), 4u);
    const HTTPMessage& cut = *document.responses()[0];
    EXPECT_EQ(cut.text(), "HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\nfirst");
    EXPECT_EQ(cut.missing(), 4000u + 8u);
    EXPECT_EQ(document.requests()[1]->response(), document.responses()[1]);
    EXPECT_FALSE(document.responses()[1]->HasMissing());

    // An upload loses part of its body: the next request line after it is a request of its
    // own, whatever its record's previous direction says; a hole of unknown size says so.
    Dispatch(1, 0, 2, "POST /up HTTP/1.1\r\nContent-Length: 100\r\n\r\nab");
    lost(2, 50, 0, VANTOR_DIRECTION_SENT, VANTOR_DIRECTION_SENT);
    Dispatch(1, 1, 2, "the rest of the body");
    Dispatch(1, 1, 2, "GET /after HTTP/1.1\r\n\r\n");
    Dispatch(1, 0, 3, "GET /other HTTP/1.1\r\n\r\n");
    lost(3, 0, 0, 0, VANTOR_DIRECTION_SENT, false);
    Dispatch(1, 1, 3, "more");
    ASSERT_EQ(document.requests().size(), 5u);
    EXPECT_EQ(document.requests()[2]->missing(), 50u + 20u);
    EXPECT_EQ(document.requests()[3]->text(), "GET /after HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(document.requests()[4]->missingMore());
    EXPECT_EQ(document.requests()[4]->text(), "GET /other HTTP/1.1\r\n\r\n");

    // A loss of nothing (a send that moved nothing) changes nothing.
    lost(1, 0, 0, VANTOR_DIRECTION_SENT, VANTOR_DIRECTION_SENT);
    Dispatch(2, 2, 1, " more");
    EXPECT_EQ(document.responses()[1]->text(), "HTTP/1.1 204 No Content\r\n\r\n more");
}

}  // namespace
}  // namespace vantor
