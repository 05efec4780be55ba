#include "vtcap_ring.h"

#include <limits.h>
#include <linux/futex.h>
#include <sched.h>
#include <stdatomic.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "capture/ChannelLayout.h"

/* Contention for the lock lasts the few instructions of a reservation: spin, then yield, and
 * only then sleep. Room in a full ring comes back a batch at a time: yield a little first. */
#define VTCAP_LOCK_SPINS 64
#define VTCAP_LOCK_YIELDS 64
#define VTCAP_ROOM_YIELDS 8
#define VTCAP_SLEEP_MS 10
#define VTCAP_LOCK_HELD 1u

typedef VTCAP_ATOMIC(uint32_t) word32;
typedef VTCAP_ATOMIC(uint64_t) word64;

static inline void cpu_relax(void) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

int64_t vtcap_monotonic_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static word32* control32(const struct vtcap_ring* ring, unsigned offset) {
    return (word32*)(void*)(ring->object + offset);
}

static word64* control64(const struct vtcap_ring* ring, unsigned offset) {
    return (word64*)(void*)(ring->object + offset);
}

static unsigned char* ring_at(const struct vtcap_ring* ring, uint64_t position) {
    return ring->object + VANTOR_RING_CONTROL_SIZE + position % VANTOR_RING_SIZE;
}

static void futex_wait(word32* word, uint32_t value, int64_t milliseconds) {
    const struct timespec timeout = {(time_t)(milliseconds / 1000),
                                     (long)(milliseconds % 1000) * 1000000L};
    syscall(SYS_futex, (uint32_t*)word, FUTEX_WAIT, value, &timeout, NULL, 0);
}

static void futex_wake(word32* word) {
    syscall(SYS_futex, (uint32_t*)word, FUTEX_WAKE, INT_MAX, NULL, NULL, 0);
}

int vtcap_ring_closed(const struct vtcap_ring* ring) {
    return (atomic_load_explicit(control32(ring, VANTOR_RING_STATE_OFFSET),
                                 memory_order_relaxed) &
            VANTOR_RING_CLOSED) != 0;
}

/* May a writer sleep until deadline? Not when capture stopped, Vantor ended or time is up. */
static int may_wait(const struct vtcap_ring* ring, int64_t deadline, int* status) {
    if (vtcap_ring_closed(ring) ||
        (ring->vantor_alive != NULL && !ring->vantor_alive(ring->context))) {
        *status = VTCAP_RING_CLOSED;
        return 0;
    }
    if (vtcap_monotonic_ms() >= deadline) {
        *status = VTCAP_RING_TIMED_OUT;
        return 0;
    }
    return 1;
}

static int64_t sleep_slice(int64_t deadline) {
    const int64_t left = deadline - vtcap_monotonic_ms();
    return left < 1 ? 1 : left < VTCAP_SLEEP_MS ? left : VTCAP_SLEEP_MS;
}

static int lock_ring(const struct vtcap_ring* ring, int64_t deadline) {
    word32* lock = control32(ring, VANTOR_RING_LOCK_OFFSET);
    for (unsigned attempt = 0;; ++attempt) {
        uint32_t value = atomic_load_explicit(lock, memory_order_relaxed);
        if (value == 0) {
            if (atomic_compare_exchange_weak_explicit(lock, &value, VTCAP_LOCK_HELD,
                                                      memory_order_acquire,
                                                      memory_order_relaxed)) {
                return VTCAP_RING_RESERVED;
            }
            continue;
        }
        if (attempt < VTCAP_LOCK_SPINS) {
            cpu_relax();
            continue;
        }
        if (attempt < VTCAP_LOCK_SPINS + VTCAP_LOCK_YIELDS) {
            sched_yield();
            continue;
        }
        int status = VTCAP_RING_RESERVED;
        if (!may_wait(ring, deadline, &status)) {
            return status;
        }
        if ((value & VANTOR_RING_WAITERS) == 0 &&
            !atomic_compare_exchange_weak(lock, &value, value | VANTOR_RING_WAITERS)) {
            continue;
        }
        futex_wait(lock, value | VANTOR_RING_WAITERS, sleep_slice(deadline));
    }
}

static void unlock_ring(const struct vtcap_ring* ring) {
    word32* lock = control32(ring, VANTOR_RING_LOCK_OFFSET);
    if (atomic_exchange_explicit(lock, 0, memory_order_release) & VANTOR_RING_WAITERS) {
        futex_wake(lock);
    }
}

static void write_slot(unsigned char* slot, uint32_t size, uint32_t state) {
    atomic_store_explicit((word32*)(void*)slot, size, memory_order_relaxed);
    atomic_store_explicit((word32*)(void*)(slot + VANTOR_SLOT_STATE_OFFSET), state,
                          memory_order_relaxed);
}

/* Padding before a slot of size at tail: what is left of the ring when the slot would wrap. */
static uint64_t padding_for(uint64_t tail, uint64_t size) {
    const uint64_t toEnd = VANTOR_RING_SIZE - tail % VANTOR_RING_SIZE;
    return size > toEnd ? toEnd : 0;
}

/* kept: what must stay free after the slot (the reserve of lost records, for other records). */
static int has_room(uint64_t tail, uint64_t head, uint64_t size, uint64_t kept) {
    const uint64_t used = tail - head;
    return used <= VANTOR_RING_SIZE &&
           used + padding_for(tail, size) + size + kept <= VANTOR_RING_SIZE;
}

/* Sleeps until the reader frees room (or a while); 0 with *status when the writer must stop. */
static int wait_for_room(const struct vtcap_ring* ring, uint64_t size, uint64_t kept,
                         int64_t deadline, unsigned round, int* status) {
    if (round < VTCAP_ROOM_YIELDS && !vtcap_ring_closed(ring)) {
        sched_yield();
        return 1;
    }
    /* Sequentially consistent with the reader, which moves the head on and then looks for
     * waiters: either it sees our bit and wakes us, or we see the head it moved. */
    word32* room = control32(ring, VANTOR_RING_ROOM_OFFSET);
    const uint32_t value = atomic_fetch_or(room, VANTOR_RING_WAITERS) | VANTOR_RING_WAITERS;
    if (!may_wait(ring, deadline, status)) {
        return 0;
    }
    const uint64_t tail = atomic_load(control64(ring, VANTOR_RING_TAIL_OFFSET));
    const uint64_t head = atomic_load(control64(ring, VANTOR_RING_HEAD_OFFSET));
    if (!has_room(tail, head, size, kept)) {
        futex_wait(room, value, sleep_slice(deadline));
    }
    return 1;
}

static int reserve(const struct vtcap_ring* ring, size_t length, uint64_t kept, int64_t deadline,
                   unsigned char** record) {
    if (length == 0 || length > VANTOR_MAX_RECORD_SIZE) {
        return VTCAP_RING_TOO_LONG;
    }
    if (vtcap_ring_closed(ring)) {
        return VTCAP_RING_CLOSED;
    }
    const uint64_t size = (VANTOR_SLOT_HEADER_SIZE + length + VANTOR_SLOT_ALIGN - 1u) &
                          ~(uint64_t)(VANTOR_SLOT_ALIGN - 1u);
    word64* tailWord = control64(ring, VANTOR_RING_TAIL_OFFSET);
    word64* headWord = control64(ring, VANTOR_RING_HEAD_OFFSET);
    for (unsigned round = 0;; ++round) {
        const int locked = lock_ring(ring, deadline);
        if (locked != VTCAP_RING_RESERVED) {
            return locked;
        }
        const uint64_t tail = atomic_load_explicit(tailWord, memory_order_relaxed);
        const uint64_t head = atomic_load_explicit(headWord, memory_order_acquire);
        if (has_room(tail, head, size, kept)) {
            const uint64_t padding = padding_for(tail, size);
            if (padding != 0) {
                write_slot(ring_at(ring, tail), (uint32_t)padding, VANTOR_SLOT_PADDING);
            }
            unsigned char* slot = ring_at(ring, tail + padding);
            write_slot(slot, (uint32_t)size, VANTOR_SLOT_RESERVED);
            atomic_store_explicit(tailWord, tail + padding + size, memory_order_release);
            unlock_ring(ring);
            *record = slot + VANTOR_SLOT_HEADER_SIZE;
            return VTCAP_RING_RESERVED;
        }
        unlock_ring(ring);
        int status = VTCAP_RING_RESERVED;
        if (!wait_for_room(ring, size, kept, deadline, round, &status)) {
            return status;
        }
    }
}

int vtcap_ring_reserve(const struct vtcap_ring* ring, size_t length, int64_t deadline,
                       unsigned char** record) {
    return reserve(ring, length, VTCAP_RING_LOSS_RESERVE, deadline, record);
}

int vtcap_ring_reserve_lost(const struct vtcap_ring* ring, size_t length, int64_t deadline,
                            unsigned char** record) {
    return reserve(ring, length, 0, deadline, record);
}

void vtcap_ring_commit(const struct vtcap_ring* ring, unsigned char* record) {
    word32* state = (word32*)(void*)(record - VANTOR_SLOT_HEADER_SIZE + VANTOR_SLOT_STATE_OFFSET);
    /* Sequentially consistent with the reader, which says it sleeps and then looks at the slot
     * once more: either it sees the commit, or we see that it sleeps and ring. A reader that
     * waits for a fuller ring sleeps a short while at most; a doorbell missed then costs no
     * more than that while. */
    atomic_store(state, VANTOR_SLOT_COMMITTED);
    word32* asleep = control32(ring, VANTOR_RING_ASLEEP_OFFSET);
    const uint32_t wake_at = atomic_load(asleep);
    if (wake_at == 0) {
        return;
    }
    if (wake_at > 1) {
        const uint64_t tail = atomic_load_explicit(control64(ring, VANTOR_RING_TAIL_OFFSET),
                                                   memory_order_relaxed);
        const uint64_t head = atomic_load_explicit(control64(ring, VANTOR_RING_HEAD_OFFSET),
                                                   memory_order_relaxed);
        if (tail - head < wake_at) {
            return;
        }
    }
    if (atomic_exchange(asleep, 0) != 0 && ring->ring_doorbell != NULL) {
        ring->ring_doorbell(ring->context);
    }
}

void vtcap_ring_count_dropped(const struct vtcap_ring* ring, uint64_t records) {
    atomic_fetch_add_explicit(control64(ring, VANTOR_RING_DROPPED_OFFSET), records,
                              memory_order_relaxed);
}
