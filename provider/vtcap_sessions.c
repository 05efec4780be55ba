#include "vtcap_sessions.h"

#include <stddef.h>

static uint32_t entry_of(const void* session, uint32_t slots) {
    /* Sessions are heap blocks: the low bits say little, the middle ones a lot. */
    const uint64_t address = (uint64_t)(uintptr_t)session;
    return (uint32_t)((address * 0x9E3779B97F4A7C15ull) >> 40) & (slots - 1);
}

void vtcap_session_remember(struct vtcap_session* table, uint32_t slots, const void* session,
                            int fd, uint64_t inode) {
    if (table == NULL || session == NULL || slots == 0 || (slots & (slots - 1)) != 0) {
        return;
    }
    struct vtcap_session* entry = &table[entry_of(session, slots)];
    if (atomic_load(&entry->session) == (uintptr_t)session && atomic_load(&entry->fd) == fd &&
        atomic_load(&entry->inode) == inode) {
        return; /* known already: no write on every call */
    }
    uint32_t sequence = atomic_load(&entry->sequence);
    if ((sequence & 1u) != 0 ||
        !atomic_compare_exchange_strong(&entry->sequence, &sequence, sequence + 1)) {
        return; /* another thread is writing it */
    }
    atomic_store(&entry->session, (uintptr_t)session);
    atomic_store(&entry->fd, fd);
    atomic_store(&entry->inode, inode);
    atomic_store(&entry->sequence, sequence + 2);
}

int vtcap_session_recall(const struct vtcap_session* table, uint32_t slots, const void* session,
                         int* fd, uint64_t* inode) {
    if (table == NULL || session == NULL || slots == 0 || (slots & (slots - 1)) != 0) {
        return 0;
    }
    const struct vtcap_session* entry = &table[entry_of(session, slots)];
    const uint32_t before = atomic_load(&entry->sequence);
    if ((before & 1u) != 0 || atomic_load(&entry->session) != (uintptr_t)session) {
        return 0;
    }
    const int foundFd = atomic_load(&entry->fd);
    const uint64_t foundInode = atomic_load(&entry->inode);
    if (atomic_load(&entry->sequence) != before ||
        atomic_load(&entry->session) != (uintptr_t)session) {
        return 0;
    }
    *fd = foundFd;
    *inode = foundInode;
    return 1;
}

void vtcap_session_forget(struct vtcap_session* table, uint32_t slots, const void* session) {
    if (table == NULL || session == NULL || slots == 0 || (slots & (slots - 1)) != 0) {
        return;
    }
    struct vtcap_session* entry = &table[entry_of(session, slots)];
    uint32_t sequence = atomic_load(&entry->sequence);
    if (atomic_load(&entry->session) != (uintptr_t)session || (sequence & 1u) != 0 ||
        !atomic_compare_exchange_strong(&entry->sequence, &sequence, sequence + 1)) {
        return;
    }
    if (atomic_load(&entry->session) == (uintptr_t)session) {
        atomic_store(&entry->session, 0);
        atomic_store(&entry->fd, -1);
    }
    atomic_store(&entry->sequence, sequence + 2);
}
