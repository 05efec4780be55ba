#pragma once

#include <cstdint>
#include <vector>

namespace vantor {

// Connection id to the latest message of one kind on that connection. An open-addressing
// table: lookups and updates are constant time and take no allocation per connection, which
// matters when every record of a capture goes through it. Entries are added, replaced and
// erased (a document that keeps only open exchanges forgets connections as it goes); the
// whole index is cleared with its document.
template <typename Message>
class ConnectionIndex {
public:
    Message* Find(std::uint32_t connectionId) const {
        if (m_slots.empty()) {
            return nullptr;
        }
        for (std::size_t i = Home(connectionId);; i = (i + 1) & Mask()) {
            const Slot& slot = m_slots[i];
            if (slot.message == nullptr) {
                return nullptr;
            }
            if (slot.connectionId == connectionId) {
                return slot.message;
            }
        }
    }

    // Makes message the latest of its connection. message must not be null.
    void Set(std::uint32_t connectionId, Message* message) {
        if ((m_count + 1) * 2 > m_slots.size()) {
            Grow();
        }
        Slot& slot = Probe(connectionId);
        if (slot.message == nullptr) {
            ++m_count;
        }
        slot = {connectionId, message};
    }

    // Forgets the connection, if it is there. Later entries of its probe run move back into the
    // hole, so that every lookup still ends at the first free slot.
    void Erase(std::uint32_t connectionId) {
        if (m_slots.empty()) {
            return;
        }
        std::size_t hole = Home(connectionId);
        while (m_slots[hole].message != nullptr && m_slots[hole].connectionId != connectionId) {
            hole = (hole + 1) & Mask();
        }
        if (m_slots[hole].message == nullptr) {
            return;
        }
        m_slots[hole] = Slot{};
        --m_count;
        for (std::size_t next = (hole + 1) & Mask(); m_slots[next].message != nullptr;
             next = (next + 1) & Mask()) {
            // An entry may move back to the hole unless its home lies after the hole, up to
            // where it stands (cyclically).
            const std::size_t home = Home(m_slots[next].connectionId);
            const bool homeBetween =
                hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
            if (!homeBetween) {
                m_slots[hole] = m_slots[next];
                m_slots[next] = Slot{};
                hole = next;
            }
        }
    }

    void Clear() {
        m_slots.clear();
        m_slots.shrink_to_fit();
        m_count = 0;
    }

    std::size_t size() const { return m_count; }

private:
    struct Slot {
        std::uint32_t connectionId = 0;
        Message* message = nullptr;  // null: the slot is free
    };

    std::size_t Mask() const { return m_slots.size() - 1; }

    // Fibonacci hashing spreads the sequential ids that sockets tend to get.
    std::size_t Home(std::uint32_t connectionId) const {
        return static_cast<std::size_t>((std::uint64_t{connectionId} * 0x9E3779B97F4A7C15ull) >>
                                        m_shift);
    }

    Slot& Probe(std::uint32_t connectionId) {
        for (std::size_t i = Home(connectionId);; i = (i + 1) & Mask()) {
            Slot& slot = m_slots[i];
            if (slot.message == nullptr || slot.connectionId == connectionId) {
                return slot;
            }
        }
    }

    void Grow() {
        std::vector<Slot> old = std::move(m_slots);
        const std::size_t capacity = old.empty() ? 16 : old.size() * 2;
        m_slots.assign(capacity, Slot{});
        m_shift = 64;
        for (std::size_t c = capacity; c > 1; c >>= 1) {
            --m_shift;
        }
        for (const Slot& slot : old) {
            if (slot.message != nullptr) {
                Probe(slot.connectionId) = slot;
            }
        }
    }

    std::vector<Slot> m_slots;  // size a power of two, at most half full
    std::size_t m_count = 0;
    int m_shift = 64;
};

}  // namespace vantor
