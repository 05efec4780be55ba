#include <arpa/inet.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "vtcap_sockets.h"

namespace vantor {
namespace {

vtcap_peer Peer(std::uint16_t port) {
    vtcap_peer peer{};
    peer.family = AF_INET;
    peer.port = htons(port);
    peer.address[0] = 127;
    peer.address[3] = 1;
    return peer;
}

// A socket table as the provider makes it: shared with forked children, zeroed.
class SocketTable {
public:
    explicit SocketTable(std::uint32_t slots = VTCAP_SOCKET_SLOTS) : m_slots(slots) {
        void* memory =
            ::mmap(nullptr, Bytes(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        m_table = memory == MAP_FAILED ? nullptr : static_cast<vtcap_socket*>(memory);
    }
    ~SocketTable() { ::munmap(m_table, Bytes()); }
    SocketTable(const SocketTable&) = delete;
    SocketTable& operator=(const SocketTable&) = delete;

    vtcap_socket* Claim(std::uint64_t inode, std::uint16_t port, std::uint32_t now = 100) {
        const vtcap_peer peer = Peer(port);
        return vtcap_socket_claim(m_table, m_slots, inode, &peer, now);
    }
    vtcap_socket* begin() const { return m_table; }
    std::uint32_t slots() const { return m_slots; }

private:
    std::size_t Bytes() const { return m_slots * sizeof(vtcap_socket); }
    std::uint32_t m_slots;
    vtcap_socket* m_table;
};

TEST(VtcapSocketsTest, AConnectedSocketStartsUndecidedWithItsPeer) {
    SocketTable table;
    vtcap_socket* socket = table.Claim(4711, 8080);
    ASSERT_NE(socket, nullptr);
    EXPECT_EQ(socket->inode.load(), 4711u);
    for (const vtcap_stream& stream : socket->streams) {
        EXPECT_EQ(stream.http.load(), static_cast<std::uint32_t>(VTCAP_UNDECIDED));
        EXPECT_EQ(stream.order.load(), 0u) << "place 0, no direction yet";
        EXPECT_EQ(stream.heldLength, 0u);
    }
    vtcap_peer peer{};
    ASSERT_EQ(vtcap_socket_peer(socket, 4711, &peer), 1);
    EXPECT_EQ(ntohs(peer.port), 8080);
    EXPECT_EQ(vtcap_socket_peer(socket, 4712, &peer), 0) << "another socket's slot";
    EXPECT_EQ(table.Claim(0, 80), nullptr) << "no socket has inode 0";
}

TEST(VtcapSocketsTest, ASocketNumberSeenAgainStartsAfresh) {
    SocketTable table;
    vtcap_socket* first = table.Claim(99, 80);
    for (vtcap_stream& stream : first->streams) {
        stream.http = VTCAP_HTTP;
        vtcap_stream_take(&stream, 2, 5);
        vtcap_stream_note_loss(&stream, 4, 1, 2, 2, 100);
        stream.heldLength = 3;
    }
    // The same inode connecting again is a new socket that got a closed one's number.
    vtcap_socket* again = table.Claim(99, 81);
    EXPECT_EQ(again, first);
    for (const vtcap_stream& stream : again->streams) {
        EXPECT_EQ(stream.http.load(), static_cast<std::uint32_t>(VTCAP_UNDECIDED));
        EXPECT_EQ(stream.order.load(), 0u);
        EXPECT_EQ(stream.lostCount.load(), 0u) << "an earlier socket's losses are not its";
        EXPECT_EQ(stream.heldLength, 0u);
    }
    vtcap_peer peer{};
    ASSERT_EQ(vtcap_socket_peer(again, 99, &peer), 1);
    EXPECT_EQ(ntohs(peer.port), 81);
}

TEST(VtcapSocketsTest, PlacesAreTakenInTurnGivenBackOrToldLost) {
    SocketTable table;
    vtcap_stream& stream = table.Claim(7, 80)->streams[VTCAP_STREAM_SOCKET];
    const vtcap_ticket request = vtcap_stream_take(&stream, 1, 1);
    EXPECT_EQ(request.sequence, 0u);
    EXPECT_EQ(request.previous, 0u) << "the socket's first";
    const vtcap_ticket response = vtcap_stream_take(&stream, 2, 3);  // a receive of 3 records
    EXPECT_EQ(response.sequence, 1u);
    EXPECT_EQ(response.previous, 1u);
    // A send that moved nothing gives its place back while nobody took a later one...
    const vtcap_ticket nothing = vtcap_stream_take(&stream, 1, 1);
    EXPECT_EQ(nothing.sequence, 4u);
    EXPECT_EQ(vtcap_stream_give_back(&stream, nothing, 1), 1);
    const vtcap_ticket next = vtcap_stream_take(&stream, 1, 1);
    EXPECT_EQ(next.sequence, 4u);
    EXPECT_EQ(next.previous, 2u) << "as if the send never happened";
    // ...and cannot once one was.
    vtcap_stream_take(&stream, 2, 1);
    EXPECT_EQ(vtcap_stream_give_back(&stream, next, 1), 0);

    // Records that could not be written: noted from the first on, bytes by direction, told
    // once, or put back when they could not be told.
    vtcap_loss loss{};
    EXPECT_EQ(vtcap_stream_take_loss(&stream, &loss), 0);
    ASSERT_EQ(vtcap_stream_note_loss(&stream, 6, 1, 2, 1, 300), 1);
    ASSERT_EQ(vtcap_stream_note_loss(&stream, 8, 1, 1, 2, 20), 1);
    ASSERT_EQ(vtcap_stream_take_loss(&stream, &loss), 1);
    EXPECT_EQ(loss.first, 6u);
    EXPECT_EQ(loss.count, 3u) << "from the first noted to the last";
    EXPECT_EQ(loss.bytes[0], 20u);
    EXPECT_EQ(loss.bytes[1], 300u);
    EXPECT_EQ(loss.before, 1u);
    EXPECT_EQ(loss.last, 1u);
    EXPECT_EQ(vtcap_stream_take_loss(&stream, &loss), 0) << "told once";
    ASSERT_EQ(vtcap_stream_note_loss(&stream, 9, 1, 2, 1, 5), 1);
    vtcap_stream_return_loss(&stream, &loss);
    vtcap_loss both{};
    ASSERT_EQ(vtcap_stream_take_loss(&stream, &both), 1);
    EXPECT_EQ(both.first, 6u);
    EXPECT_EQ(both.count, 4u);
    EXPECT_EQ(both.bytes[1], 305u);
}

TEST(VtcapSocketsTest, AFullNeighbourhoodGivesUpItsStalestSlot) {
    // With sixteen slots, every socket's neighbourhood is the whole table.
    SocketTable small(16);
    std::vector<vtcap_socket*> slots;
    for (std::uint64_t inode = 1; inode <= 16; ++inode) {
        slots.push_back(small.Claim(inode, 80, static_cast<std::uint32_t>(1000 + inode)));
        ASSERT_NE(slots.back(), nullptr);
    }
    EXPECT_EQ(std::set<vtcap_socket*>(slots.begin(), slots.end()).size(), 16u)
        << "sixteen sockets, sixteen slots";
    vtcap_socket_touch(slots[0], 5000);  // the oldest is used again: not the one to go
    vtcap_socket* taken = small.Claim(17, 90, 5001);
    EXPECT_EQ(taken, slots[1]) << "the stalest goes";
    vtcap_peer peer{};
    EXPECT_EQ(vtcap_socket_peer(taken, 2, &peer), 0) << "its old socket no longer finds it";
    EXPECT_EQ(vtcap_socket_peer(taken, 17, &peer), 1);
    EXPECT_EQ(vtcap_socket_peer(slots[0], 1, &peer), 1);
}

TEST(VtcapSocketsTest, ThreadsClaimingAtOnceNeverShareASlot) {
    SocketTable table(1024);
    constexpr int kThreads = 8;
    constexpr int kEach = 100;
    std::vector<std::vector<std::pair<std::uint64_t, vtcap_socket*>>> results(kThreads);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) {
            }
            for (int i = 0; i < kEach; ++i) {
                const std::uint64_t inode = static_cast<std::uint64_t>(t * kEach + i + 1);
                results[static_cast<std::size_t>(t)].emplace_back(inode, table.Claim(inode, 80));
            }
        });
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<vtcap_socket*> used;
    for (const auto& claims : results) {
        for (const auto& [inode, slot] : claims) {
            ASSERT_NE(slot, nullptr);
            EXPECT_TRUE(used.insert(slot).second) << "slot given twice";
            vtcap_peer peer{};
            EXPECT_EQ(vtcap_socket_peer(slot, inode, &peer), 1) << inode;
        }
    }
}

TEST(VtcapSocketsTest, AForkedChildSeesAndChangesTheParentsSockets) {
    SocketTable table;
    vtcap_socket* socket = table.Claim(555, 8080);
    ASSERT_NE(socket, nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child sends the request: the verdict and the direction are the socket's.
        socket->streams[VTCAP_STREAM_TLS].http = VTCAP_HTTP;
        vtcap_stream_take(&socket->streams[VTCAP_STREAM_TLS], 1, 1);
        vtcap_socket* own = table.Claim(556, 9090);
        ::_exit(own != nullptr && own != socket ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(socket->streams[VTCAP_STREAM_TLS].http.load(),
              static_cast<std::uint32_t>(VTCAP_HTTP));
    const vtcap_ticket next = vtcap_stream_take(&socket->streams[VTCAP_STREAM_TLS], 2, 1);
    EXPECT_EQ(next.sequence, 1u) << "the child took place 0";
    EXPECT_EQ(next.previous, 1u);
    // The socket the child connected is in the parent's table too.
    bool found = false;
    for (std::uint32_t i = 0; i < table.slots(); ++i) {
        found = found || table.begin()[i].inode.load() == 556u;
    }
    EXPECT_TRUE(found);
}

}  // namespace
}  // namespace vantor
