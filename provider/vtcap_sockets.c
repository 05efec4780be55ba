#include "vtcap_sockets.h"

#include <string.h>

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
        atomic_store(&stream->previous, 0);
        atomic_store(&stream->deciding, 0);
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
