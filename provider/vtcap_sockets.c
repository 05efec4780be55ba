#include "vtcap_sockets.h"

#include <string.h>

#include "capture/ChannelLayout.h"

static uint32_t home_slot(uint64_t inode, uint32_t slots) {
    return (uint32_t)((inode * 0x9E3779B97F4A7C15ull) >> 32) & (slots - 1);
}

static void set_up(struct vtcap_socket* slot, const struct vtcap_peer* peer, uint32_t now) {
    atomic_fetch_add(&slot->sequence, 1); /* odd: readers of the peer look again */
    slot->peer = *peer;
    for (int i = 0; i < VTCAP_STREAMS; ++i) {
        struct vtcap_stream* stream = &slot->streams[i];
        stream->heldLength = 0;
        atomic_store(&stream->http, VTCAP_UNDECIDED);
        atomic_store(&stream->order, 0);
        atomic_store(&stream->deciding, 0);
        stream->lostFirst = 0;
        stream->lostBefore = 0;
        stream->lostLast = 0;
        atomic_store(&stream->lostCount, 0);
        stream->lostBytes[0] = 0;
        stream->lostBytes[1] = 0;
        atomic_store(&stream->lossFlag, 0);
    }
    atomic_store(&slot->lastUse, now);
    atomic_fetch_add(&slot->sequence, 1);
}

struct vtcap_socket* vtcap_socket_claim(struct vtcap_socket* table, uint32_t slots, uint64_t inode,
                                        const struct vtcap_peer* peer, uint32_t now) {
    if (inode == 0 || slots == 0 || (slots & (slots - 1)) != 0) {
        return NULL;
    }
    const uint32_t window = slots < VTCAP_SOCKET_WINDOW ? slots : VTCAP_SOCKET_WINDOW;
    const uint32_t home = home_slot(inode, slots);
    for (int attempt = 0; attempt < 8; ++attempt) {
        struct vtcap_socket* own = NULL;
        struct vtcap_socket* unused = NULL;
        struct vtcap_socket* stalest = NULL;
        uint64_t stalestKey = 0;
        uint32_t stalestAge = 0;
        for (uint32_t i = 0; i < window && own == NULL; ++i) {
            struct vtcap_socket* slot = &table[(home + i) & (slots - 1)];
            const uint64_t key = atomic_load(&slot->inode);
            if (key == inode) {
                own = slot;
            } else if (key == 0) {
                if (unused == NULL) {
                    unused = slot;
                }
            } else {
                const uint32_t age = now - atomic_load(&slot->lastUse);
                if (stalest == NULL || age > stalestAge) {
                    stalest = slot;
                    stalestKey = key;
                    stalestAge = age;
                }
            }
        }
        /* A socket's inode is unique among open sockets: a slot with our inode is left over
         * from a closed socket of the same number, or ours from an earlier connect. */
        if (own != NULL) {
            set_up(own, peer, now);
            return own;
        }
        struct vtcap_socket* chosen = unused != NULL ? unused : stalest;
        uint64_t expected = unused != NULL ? 0 : stalestKey;
        if (atomic_compare_exchange_strong(&chosen->inode, &expected, inode)) {
            set_up(chosen, peer, now);
            return chosen;
        }
        /* Another process took that slot at the same moment: look again. */
    }
    return NULL;
}

int vtcap_socket_peer(const struct vtcap_socket* slot, uint64_t inode, struct vtcap_peer* out) {
    const uint32_t before = atomic_load_explicit(&slot->sequence, memory_order_acquire);
    if ((before & 1u) != 0 || atomic_load(&slot->inode) != inode) {
        return 0;
    }
    memcpy(out, &slot->peer, sizeof *out);
    atomic_thread_fence(memory_order_acquire);
    return atomic_load(&slot->sequence) == before && atomic_load(&slot->inode) == inode;
}

void vtcap_socket_touch(struct vtcap_socket* slot, uint32_t now) {
    if (atomic_load_explicit(&slot->lastUse, memory_order_relaxed) != now) {
        atomic_store_explicit(&slot->lastUse, now, memory_order_relaxed);
    }
}

struct vtcap_ticket vtcap_stream_take(struct vtcap_stream* stream, uint32_t direction,
                                      uint32_t count) {
    uint64_t old = atomic_load(&stream->order);
    uint64_t next;
    do {
        next = (((old >> VTCAP_ORDER_SHIFT) + count) << VTCAP_ORDER_SHIFT) | direction;
    } while (!atomic_compare_exchange_weak(&stream->order, &old, next));
    const struct vtcap_ticket ticket = {(uint32_t)(old >> VTCAP_ORDER_SHIFT),
                                        (uint32_t)(old & VTCAP_ORDER_DIRECTION)};
    return ticket;
}

int vtcap_stream_give_back(struct vtcap_stream* stream, struct vtcap_ticket ticket,
                           uint32_t direction) {
    /* The word as the ticket left it; only the low bits of the sequence travel in records. */
    uint64_t expected = atomic_load(&stream->order);
    if ((uint32_t)(expected >> VTCAP_ORDER_SHIFT) != ticket.sequence + 1u ||
        (expected & VTCAP_ORDER_DIRECTION) != direction) {
        return 0;
    }
    const uint64_t before =
        (((expected >> VTCAP_ORDER_SHIFT) - 1u) << VTCAP_ORDER_SHIFT) | ticket.previous;
    return atomic_compare_exchange_strong(&stream->order, &expected, before);
}

static int lock_loss(struct vtcap_stream* stream) {
    uint32_t free = 0;
    return atomic_compare_exchange_strong(&stream->lossFlag, &free, 1);
}

static void unlock_loss(struct vtcap_stream* stream) {
    atomic_store(&stream->lossFlag, 0);
}

int vtcap_stream_note_loss(struct vtcap_stream* stream, uint32_t sequence, uint32_t count,
                           uint32_t direction, uint32_t previous, uint64_t bytes) {
    if (!lock_loss(stream)) {
        return 0;
    }
    const uint32_t noted = atomic_load(&stream->lostCount);
    stream->lostLast = (uint16_t)direction;
    if (noted == 0) {
        stream->lostFirst = sequence;
        stream->lostBefore = (uint16_t)previous;
        atomic_store(&stream->lostCount, count);
    } else if (sequence + count - stream->lostFirst > noted) {
        /* From the first noted on, whatever was written between is told by its own record. */
        atomic_store(&stream->lostCount, sequence + count - stream->lostFirst);
    }
    stream->lostBytes[direction == VANTOR_DIRECTION_RECEIVED ? 1 : 0] += bytes;
    unlock_loss(stream);
    return 1;
}

int vtcap_stream_take_loss(struct vtcap_stream* stream, struct vtcap_loss* loss) {
    if (atomic_load_explicit(&stream->lostCount, memory_order_relaxed) == 0 || !lock_loss(stream)) {
        return 0;
    }
    loss->first = stream->lostFirst;
    loss->count = atomic_load(&stream->lostCount);
    loss->before = stream->lostBefore;
    loss->last = stream->lostLast;
    loss->bytes[0] = stream->lostBytes[0];
    loss->bytes[1] = stream->lostBytes[1];
    atomic_store(&stream->lostCount, 0);
    stream->lostBytes[0] = 0;
    stream->lostBytes[1] = 0;
    unlock_loss(stream);
    return loss->count != 0;
}

void vtcap_stream_return_loss(struct vtcap_stream* stream, const struct vtcap_loss* loss) {
    if (!lock_loss(stream)) {
        return;
    }
    const uint32_t noted = atomic_load(&stream->lostCount);
    if (noted == 0) {
        stream->lostFirst = loss->first;
        stream->lostLast = (uint16_t)loss->last;
        atomic_store(&stream->lostCount, loss->count);
    } else {
        const uint32_t end = stream->lostFirst + noted;
        stream->lostFirst = loss->first;
        atomic_store(&stream->lostCount, end - loss->first);
    }
    stream->lostBefore = (uint16_t)loss->before;
    stream->lostBytes[0] += loss->bytes[0];
    stream->lostBytes[1] += loss->bytes[1];
    unlock_loss(stream);
}
