/* What the capture provider knows of each socket, shared by every descriptor of the socket and
 * by every process forked from the one that connected it: a fixed table that lives in a
 * MAP_SHARED mapping made at load, keyed by the socket's inode number. A program that reads
 * through one descriptor what it wrote through another, or a child that sends while its parent
 * receives, sees one verdict and one direction per socket.
 *
 * Slots are never freed (no process can tell whether another still uses a socket); a socket
 * that connects takes a free slot near its home, or the least recently used one. Everything is
 * atomics: no locks, nothing that waits. */
#ifndef VANTOR_PROVIDER_VTCAP_SOCKETS_H
#define VANTOR_PROVIDER_VTCAP_SOCKETS_H

#include <stdint.h>

#include "vtcap_logic.h"

#include "vtcap_atomic.h"

VTCAP_BEGIN_DECLARATIONS

/* How many slots a table has (a power of two), and how many after its home a socket may take. */
#define VTCAP_SOCKET_SLOTS 8192u
#define VTCAP_SOCKET_WINDOW 16u

/* The byte streams a socket carries: its own bytes, and the plain text of a TLS session over
 * it. Each is decided on and ordered by itself; a TLS connection's socket stream is never HTTP
 * (its first byte is a handshake record), and a plain connection never has plain text. */
enum { VTCAP_STREAM_SOCKET = 0, VTCAP_STREAM_TLS = 1, VTCAP_STREAMS = 2 };

struct vtcap_stream {
    VTCAP_ATOMIC(uint32_t) http;     /* VTCAP_UNDECIDED, VTCAP_HTTP or VTCAP_NOT_HTTP */
    VTCAP_ATOMIC(uint32_t) previous; /* direction of the last transfer, reported or not */
    VTCAP_ATOMIC(uint32_t) deciding; /* 1 while one sender looks at the first bytes */
    uint32_t heldLength;             /* first bytes sent while undecided, held back */
    char held[VTCAP_CLASSIFY_BYTES];
};

struct vtcap_socket {
    VTCAP_ATOMIC(uint64_t) inode;    /* the key; 0 marks a slot never used */
    VTCAP_ATOMIC(uint32_t) sequence; /* odd while the slot is being set up for a socket */
    VTCAP_ATOMIC(uint32_t) lastUse;  /* a coarse clock: the stalest slot is taken first */
    struct vtcap_peer peer;
    struct vtcap_stream streams[VTCAP_STREAMS];
};

/* Sets a socket that has just connected up in the table: its slot (the one it had, a free one,
 * or the least recently used one near its home) with its peer, both streams undecided, no
 * direction yet.
 * NULL only when other processes kept taking the candidate slots from under it. */
struct vtcap_socket* vtcap_socket_claim(struct vtcap_socket* table, uint32_t slots, uint64_t inode,
                                        const struct vtcap_peer* peer, uint32_t now);

/* Copies the peer of the socket in the slot; 0 when the slot is being set up or no longer
 * belongs to the socket with this inode. */
int vtcap_socket_peer(const struct vtcap_socket* slot, uint64_t inode, struct vtcap_peer* out);

/* Marks the slot as used now, writing only when the clock moved on. */
void vtcap_socket_touch(struct vtcap_socket* slot, uint32_t now);

VTCAP_END_DECLARATIONS

#endif
