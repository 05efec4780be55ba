/* The writers' end of the capture ring (capture/ChannelLayout.h): any number of threads and
 * processes reserve slots at once, fill them, and commit them. */
#ifndef VANTOR_PROVIDER_VTCAP_RING_H
#define VANTOR_PROVIDER_VTCAP_RING_H

#include <stddef.h>
#include <stdint.h>

#include "vtcap_atomic.h"

VTCAP_BEGIN_DECLARATIONS

struct vtcap_ring {
    unsigned char* object;         /* the ring object, VANTOR_BUFFER_SIZE bytes */
    VTCAP_ATOMIC(uint32_t) * full; /* the events' state words */
    VTCAP_ATOMIC(uint32_t) * empty;
    /* Whether the Vantor that made the ring still runs; asked before every sleep. */
    int (*vantor_alive)(const void* context);
    const void* context;
};

enum {
    VTCAP_RING_RESERVED = 0,
    VTCAP_RING_CLOSED = 1,    /* capture stopped, or Vantor is gone */
    VTCAP_RING_TIMED_OUT = 2, /* the ring stayed full (or locked) past the deadline */
    VTCAP_RING_TOO_LONG = 3   /* longer than VANTOR_MAX_RECORD_SIZE, or empty */
};

/* Reserves a slot for a record of length bytes (its header and data). On VTCAP_RING_RESERVED
 * *record is where the record goes, to be committed with vtcap_ring_commit. holder names the
 * writer (platform/EventLayout.h); deadline is on the monotonic clock, in milliseconds. */
int vtcap_ring_reserve(const struct vtcap_ring* ring, size_t length, uint32_t holder,
                       int64_t deadline, unsigned char** record);

/* Hands the record over, waking Vantor's reader if it sleeps. */
void vtcap_ring_commit(const struct vtcap_ring* ring, unsigned char* record);

/* Counts records that were not written, for the user to be told. */
void vtcap_ring_count_dropped(const struct vtcap_ring* ring, uint64_t records);

int64_t vtcap_monotonic_ms(void);

VTCAP_END_DECLARATIONS

#endif
