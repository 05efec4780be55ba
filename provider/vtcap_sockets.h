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
 * (its first byte is a handshake record): it is handed over as TLS records, for decryption with
 * logged keys, until the hooks see the session's plain text. A plain connection never has plain
 * text. */
enum { VTCAP_STREAM_SOCKET = 0, VTCAP_STREAM_TLS = 1, VTCAP_STREAMS = 2 };

/* A stream's order word: the sequence number of its next record, shifted past the direction of
 * its last transfer (reported or not). */
#define VTCAP_ORDER_SHIFT 2u
#define VTCAP_ORDER_DIRECTION 3u

struct vtcap_stream {
    VTCAP_ATOMIC(uint32_t) http;     /* VTCAP_UNDECIDED, VTCAP_HTTP or VTCAP_NOT_HTTP */
    VTCAP_ATOMIC(uint32_t) deciding; /* 1 while one sender looks at the first bytes */
    VTCAP_ATOMIC(uint64_t) order;
    /* Records that could not be written and are still to be told (a lost record): from this
     * sequence number, how many, and their bytes by direction. Changed only under the flag. */
    VTCAP_ATOMIC(uint32_t) lossFlag;
    VTCAP_ATOMIC(uint32_t) lostCount; /* read without the flag: whether there is anything */
    uint32_t lostFirst;
    uint16_t lostBefore; /* the direction before the first of them */
    uint16_t lostLast;   /* the direction of the last of them */
    uint64_t lostBytes[2]; /* sent, received */
    uint32_t heldLength;   /* first bytes sent while undecided, held back */
    char held[VTCAP_CLASSIFY_BYTES];
};

/* Takes count sequence numbers for records of a transfer in direction: the first one and the
 * direction of the transfer before, as they stood. */
struct vtcap_ticket {
    uint32_t sequence;
    uint32_t previous;
};
struct vtcap_ticket vtcap_stream_take(struct vtcap_stream* stream, uint32_t direction,
                                      uint32_t count);
/* Gives back the one number taken with ticket for a transfer in direction that moved nothing;
 * 0 when later numbers were taken meanwhile (a lost record of no bytes must tell it). */
int vtcap_stream_give_back(struct vtcap_stream* stream, struct vtcap_ticket ticket,
                           uint32_t direction);

/* Notes records that could not be written (the first of them after a transfer in direction
 * previous), to be told before the stream's next record. 0 when another note is being taken at
 * this moment (the reader then finds a gap of unknown size). */
int vtcap_stream_note_loss(struct vtcap_stream* stream, uint32_t sequence, uint32_t count,
                           uint32_t direction, uint32_t previous, uint64_t bytes);
/* Takes the notes, if any: 1 with what they say. */
struct vtcap_loss {
    uint32_t first;
    uint32_t count;
    uint32_t before; /* the direction before the first lost record */
    uint32_t last;   /* the direction of the last */
    uint64_t bytes[2];
};
int vtcap_stream_take_loss(struct vtcap_stream* stream, struct vtcap_loss* loss);
/* Puts notes taken back, when they could not be told after all. */
void vtcap_stream_return_loss(struct vtcap_stream* stream, const struct vtcap_loss* loss);

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
