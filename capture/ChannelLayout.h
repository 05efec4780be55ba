/* The capture channel as both of its ends see it: Vantor (C++) and the capture provider (C,
 * loaded into captured programs). Plain C, so that the provider needs nothing but libc.
 *
 * While capture runs, Vantor listens on a Unix socket, VANTOR_CHANNEL_SOCKET_NAME in the private
 * runtime folder (<runtime>/vantor/, owned by the user, mode 0700; <runtime> is $XDG_RUNTIME_DIR,
 * or ${TMPDIR:-/tmp}/vantor-runtime-<uid> without one). vantor-run passes the socket's path to
 * the programs it starts in VANTOR_CHANNEL. A captured process that has something to report
 * connects once and makes a ring of its own: a memfd of VANTOR_RING_OBJECT_SIZE bytes, its pages
 * allocated, sealed against shrinking and growing. It hands the ring over in its hello message
 * and writes its records into that ring alone; the connection stays open while the process
 * captures. So a process that misbehaves, stops or dies holds up nothing but its own ring:
 * Vantor learns of its end when the connection closes, reads what it committed and skips what
 * it left half written.
 *
 * A ring object: a control page, then VANTOR_RING_SIZE bytes of slots. Positions count bytes
 * since the start and only grow; a position's place is the position modulo VANTOR_RING_SIZE.
 * The process's threads take the ring's lock for the few instructions of a reservation (read
 * the tail and the head, write the header of each slot taken, move the tail on), fill their
 * slot (a record: its 52-byte header and data, as the record format has always been) and commit
 * it by storing its state. A slot never wraps: one that would is preceded by a padding slot to
 * the ring's end, reserved in the same step. Vantor takes committed slots in position order and
 * moves the head past them once they are dispatched. It trusts nothing here: a slot's size and
 * state and the tail are checked against the ring before anything is read.
 *
 * Order. Each record's providerData is its sequence number among the records of its connection
 * (taken before a send and after a receive, with the previous direction in the same step), so
 * that Vantor puts the records of a connection in the order its bytes moved, whichever thread or
 * process wrote them and whichever ring they went to. A record that could not be written (the
 * ring stayed full) is told by a lost record in its place: direction VANTOR_DIRECTION_LOST,
 * providerData the first sequence number it stands for, and VANTOR_LOST_DATA_SIZE bytes of
 * data (see below). */
#ifndef VANTOR_CAPTURE_CHANNEL_LAYOUT_H
#define VANTOR_CAPTURE_CHANNEL_LAYOUT_H

#include <stddef.h>
#include <stdint.h>

#include "platform/RuntimeFolder.h"
#include "record/RecordLayout.h"

#define VANTOR_CHANNEL_VARIABLE "VANTOR_CHANNEL"
/* The socket, in the private runtime folder (platform/RuntimeFolder.h). */
#define VANTOR_CHANNEL_SOCKET_NAME "capture"

/* The ring object: the control page, then the ring. */
#define VANTOR_RING_CONTROL_SIZE 4096u
#define VANTOR_RING_SIZE (4u * 1048576u)
#define VANTOR_RING_OBJECT_SIZE (VANTOR_RING_CONTROL_SIZE + VANTOR_RING_SIZE)
/* In the control page, each on a cache line of its own: */
#define VANTOR_RING_LOCK_OFFSET 0u      /* uint32: the process's threads take turns reserving */
#define VANTOR_RING_TAIL_OFFSET 64u     /* uint64: the end of the slots reserved so far */
#define VANTOR_RING_HEAD_OFFSET 128u    /* uint64: the end of the slots the reader is done with */
#define VANTOR_RING_DROPPED_OFFSET 192u /* uint64: records dropped (the ring stayed full) */
#define VANTOR_RING_STATE_OFFSET 256u   /* uint32: VANTOR_RING_CLOSED once Vantor let it go */
/* uint32: 0 while the reader reads; while it sleeps, how many bytes not yet read wake it: the
 * commit that leaves at least that many rings the doorbell (1: any commit). */
#define VANTOR_RING_ASLEEP_OFFSET 320u
#define VANTOR_RING_ROOM_OFFSET 384u    /* uint32: futex word of writers waiting for room */
#define VANTOR_RING_CLOSED 1u
/* A lock or room word with this bit has writers asleep on it: whoever frees it wakes them. */
#define VANTOR_RING_WAITERS 0x80000000u

/* A slot: its size (uint32, a multiple of VANTOR_SLOT_ALIGN, its header included) and its
 * state (uint32), then its contents. */
#define VANTOR_SLOT_HEADER_SIZE 8u
#define VANTOR_SLOT_ALIGN 8u
#define VANTOR_SLOT_STATE_OFFSET 4u
#define VANTOR_SLOT_RESERVED 1u  /* being written */
#define VANTOR_SLOT_COMMITTED 2u /* a record */
#define VANTOR_SLOT_PADDING 3u   /* nothing: the rest of the ring, or a reservation given up */
#define VANTOR_MAX_SLOT_SIZE                                                       \
    ((VANTOR_SLOT_HEADER_SIZE + VANTOR_MAX_RECORD_SIZE + VANTOR_SLOT_ALIGN - 1u) & \
     ~(VANTOR_SLOT_ALIGN - 1u))

/* The hello message a process sends on connecting, with its ring's descriptor attached
 * (SCM_RIGHTS) unless it could make none. Little-endian uint32 each. Every later message on the
 * connection is one byte: the doorbell. */
#define VANTOR_HELLO_SIZE 16u
#define VANTOR_HELLO_MAGIC 0x31727476u /* "vtr1" */
#define VANTOR_HELLO_MAGIC_OFFSET 0u
#define VANTOR_HELLO_PID_OFFSET 4u    /* the process id, as the process sees it */
#define VANTOR_HELLO_STATUS_OFFSET 8u /* VANTOR_HELLO_RING, or why there is no ring */
#define VANTOR_HELLO_RING 0u
#define VANTOR_HELLO_NO_MEMORY 1u     /* the ring's pages could not be allocated */

#endif
