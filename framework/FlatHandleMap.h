#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace vantor {

// A hash map from handles (pointers or pointer-sized numbers, never zero) to small values, in
// one array probed linearly. A lookup touches one or two neighbouring slots where a node-based
// map follows pointers to scattered nodes: walking a hundred thousand tree items and asking
// for each one's message stays within the cache.
template <typename Key, typename Value>
class FlatHandleMap {
    static_assert(sizeof(Key) <= sizeof(std::uintptr_t));
    static_assert(std::is_trivially_copyable_v<Key> && std::is_trivially_copyable_v<Value>);

public:
    // The value of key, or nullptr.
    const Value* Find(Key key) const {
        const std::uintptr_t word = Word(key);
        if (word == 0 || m_slots.empty()) {
            return nullptr;
        }
        for (std::size_t i = Home(word);; i = Next(i)) {
            if (m_slots[i].key == word) {
                return &m_slots[i].value;
            }
            if (m_slots[i].key == 0) {
                return nullptr;
            }
        }
    }

    // Adds key or replaces its value. A zero key is not stored.
    void Set(Key key, Value value) {
        const std::uintptr_t word = Word(key);
        if (word == 0) {
            return;
        }
        if ((m_size + 1) * 2 > m_slots.size()) {
            Grow();
        }
        std::size_t i = Home(word);
        while (m_slots[i].key != 0 && m_slots[i].key != word) {
            i = Next(i);
        }
        if (m_slots[i].key == 0) {
            ++m_size;
        }
        m_slots[i] = Slot{word, value};
    }

    bool Erase(Key key) {
        const std::uintptr_t word = Word(key);
        if (word == 0 || m_slots.empty()) {
            return false;
        }
        std::size_t hole = Home(word);
        while (m_slots[hole].key != word) {
            if (m_slots[hole].key == 0) {
                return false;
            }
            hole = Next(hole);
        }
        // Moves back every later entry of the run that could no longer be found past the hole.
        for (std::size_t i = Next(hole); m_slots[i].key != 0; i = Next(i)) {
            const std::size_t home = Home(m_slots[i].key);
            const bool reachable =
                hole <= i ? (home > hole && home <= i) : (home > hole || home <= i);
            if (!reachable) {
                m_slots[hole] = m_slots[i];
                hole = i;
            }
        }
        m_slots[hole] = Slot{};
        --m_size;
        return true;
    }

    void Clear() {
        m_slots.clear();
        m_size = 0;
    }

    std::size_t size() const { return m_size; }

private:
    struct Slot {
        std::uintptr_t key = 0;
        Value value{};
    };

    static std::uintptr_t Word(Key key) {
        if constexpr (std::is_pointer_v<Key>) {
            return reinterpret_cast<std::uintptr_t>(key);
        } else {
            return static_cast<std::uintptr_t>(key);
        }
    }

    // Pointers have their low bits clear and neighbouring objects share their high bits: mix.
    std::size_t Home(std::uintptr_t word) const {
        std::uint64_t h = word;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        return static_cast<std::size_t>(h) & (m_slots.size() - 1);
    }

    std::size_t Next(std::size_t i) const { return (i + 1) & (m_slots.size() - 1); }

    void Grow() {
        std::vector<Slot> old;
        old.swap(m_slots);
        m_slots.resize(old.empty() ? 16 : old.size() * 2);
        for (const Slot& slot : old) {
            if (slot.key != 0) {
                std::size_t i = Home(slot.key);
                while (m_slots[i].key != 0) {
                    i = Next(i);
                }
                m_slots[i] = slot;
            }
        }
    }

    std::vector<Slot> m_slots;  // a power of two long, at most half full
    std::size_t m_size = 0;
};

}  // namespace vantor
