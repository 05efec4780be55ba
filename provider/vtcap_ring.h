/* The writers' end of a process's capture ring (capture/ChannelLayout.h): the process's threads
 * reserve slots, fill them and commit them, in any number at once. */
#ifndef VANTOR_PROVIDER_VTCAP_RING_H
#define VANTOR_PROVIDER_VTCAP_RING_H

#include <stddef.h>
#include <stdint.h>

#include "vtcap_atomic.h"

VTCAP_BEGIN_DECLARATIONS

struct vtcap_ring {
    unsigned char* object; /* the ring object, VANTOR_RING_OBJECT_SIZE bytes */
    /* Whether Vantor still reads the ring; asked before every sleep. */
    int (*vantor_alive)(const void* context);
    /* Wakes Vantor's reader, which sleeps. */
    void (*ring_doorbell)(const void* context);
    const void* context;
};

enum {
    VTCAP_RING_RESERVED = 0,
    VTCAP_RING_CLOSED = 1,    /* capture stopped, or Vantor is gone */
    VTCAP_RING_TIMED_OUT = 2, /* the ring stayed full (or locked) past the deadline */
    VTCAP_RING_TOO_LONG = 3   /* longer than VANTOR_MAX_RECORD_SIZE, or empty */
};

/* The part of a ring that only lost records may take, so that a record that could not be
 * written can be told at once even while the ring is full. */
#define VTCAP_RING_LOSS_RESERVE (256u * 1024u)

/* Reserves a slot for a record of length bytes (its header and data); a lost record may take
 * the ring's reserve. On VTCAP_RING_RESERVED *record is where the record goes, to be committed
 * with vtcap_ring_commit. deadline is on the monotonic clock, in milliseconds. */
int vtcap_ring_reserve(const struct vtcap_ring* ring, size_t length, int64_t deadline,
                       unsigned char** record);
int vtcap_ring_reserve_lost(const struct vtcap_ring* ring, size_t length, int64_t deadline,
                            unsigned char** record);

/* Hands the record over, waking Vantor's reader if it sleeps. */
void vtcap_ring_commit(const struct vtcap_ring* ring, unsigned char* record);

/* Counts records that were not written, for the user to be told. */
void vtcap_ring_count_dropped(const struct vtcap_ring* ring, uint64_t records);

/* Whether Vantor has let the ring go (capture stopped). */
int vtcap_ring_closed(const struct vtcap_ring* ring);

int64_t vtcap_monotonic_ms(void);

VTCAP_END_DECLARATIONS

#endif
