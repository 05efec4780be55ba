/* The capture channel as both of its ends see it: Vantor (C++) and the capture provider (C,
 * loaded into captured programs). Plain C, so that the provider needs nothing but libc.
 *
 * Three POSIX shared memory objects per capture run, mode 0600 and owned by the user:
 *   /VANTOR_HTTPBUFFER_FULL.<tag>      event, the doorbell: set by a writer that committed a
 *                                      record while Vantor's reader had gone to sleep
 *   /VANTOR_HTTPBUFFER_EMPTY.<tag>     event: set by the reader when it frees room that a
 *                                      writer waits for
 *   /HTTP_SNIFFER_BUFFER_VANTOR.<tag>  the ring: a control page, then VANTOR_RING_SIZE bytes
 *                                      of records that any number of writers fill at once
 * The events follow platform/EventLayout.h; stopping capture marks both closed.
 *
 * The ring. Positions count bytes since the start and only grow; a position's place in the
 * ring is the position modulo VANTOR_RING_SIZE. Writers take the reservation lock (a word
 * holding the writer's holder word, see EventLayout.h), read the tail and the head, write the
 * header of each slot they take and move the tail on, then drop the lock: a handful of
 * instructions. A slot never wraps: one that would is preceded by a padding slot to the ring's
 * end, reserved in the same step. The writer then fills its slot (a record: its 52-byte header
 * and data, as the record format has always been) and commits it by storing its state. The
 * reader takes committed slots in position order, hands them to dispatch in batches and moves
 * the head past them afterwards. A slot whose writer ended before committing it is skipped by
 * the reader, as is a lock whose holder ended freed; neither stops the ring.
 * The reader trusts nothing here: a slot's size and state and the tail are checked against the
 * ring before anything is read.
 *
 * <tag> is 32 random hexadecimal digits, new at every start of capture, so that nobody can
 * make the objects before Vantor does. Vantor publishes it in the channel file, "channel" in
 * the private runtime folder (<runtime>/vantor/, owned by the user, mode 0700), as one line:
 * the tag, a space, and the inode number of Vantor's process id namespace. <runtime> is
 * $XDG_RUNTIME_DIR, or ${TMPDIR:-/tmp}/vantor-runtime-<uid> without one. vantor-run passes the
 * file's path to the programs it starts in VANTOR_CHANNEL; the provider reads it again
 * whenever it looks for a channel. */
#ifndef VANTOR_CAPTURE_CHANNEL_LAYOUT_H
#define VANTOR_CAPTURE_CHANNEL_LAYOUT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "platform/EventLayout.h"
#include "platform/RuntimeFolder.h"

#define VANTOR_FULL_EVENT_NAME "VANTOR_HTTPBUFFER_FULL"
#define VANTOR_EMPTY_EVENT_NAME "VANTOR_HTTPBUFFER_EMPTY"
#define VANTOR_BUFFER_NAME "HTTP_SNIFFER_BUFFER_VANTOR"
#define VANTOR_CHANNEL_VARIABLE "VANTOR_CHANNEL"

#define VANTOR_DIRECTION_SENT 1u
#define VANTOR_DIRECTION_RECEIVED 2u

/* A record is at most this long, its header included, as when the buffer held one record. */
#define VANTOR_MAX_RECORD_SIZE 1048576u
#define VANTOR_RECORD_HEADER_SIZE 52u
#define VANTOR_MAX_RECORD_DATA (VANTOR_MAX_RECORD_SIZE - VANTOR_RECORD_HEADER_SIZE)

/* The ring object: the control page, then the ring. */
#define VANTOR_RING_CONTROL_SIZE 4096u
#define VANTOR_RING_SIZE (4u * 1048576u)
#define VANTOR_BUFFER_SIZE (VANTOR_RING_CONTROL_SIZE + VANTOR_RING_SIZE)
/* In the control page, each on a cache line of its own: */
#define VANTOR_RING_LOCK_OFFSET 0u      /* uint32: 0, or the holder word of the writer in it */
#define VANTOR_RING_TAIL_OFFSET 64u     /* uint64: the end of the slots reserved so far */
#define VANTOR_RING_HEAD_OFFSET 128u    /* uint64: the end of the slots the reader is done with */
#define VANTOR_RING_DROPPED_OFFSET 192u /* uint64: records writers dropped (ring full too long) */
/* A lock word with this bit has writers asleep on it: the one that drops the lock wakes them. */
#define VANTOR_RING_LOCK_WAITERS 2u

/* A slot: its size (uint32, a multiple of VANTOR_SLOT_ALIGN, its header included) and its
 * state (uint32: the kind in the low bits, the holder word's holder above them while
 * reserved), then its contents. */
#define VANTOR_SLOT_HEADER_SIZE 8u
#define VANTOR_SLOT_ALIGN 8u
#define VANTOR_SLOT_STATE_OFFSET 4u
#define VANTOR_SLOT_KIND_MASK 3u
#define VANTOR_SLOT_RESERVED 1u  /* being written */
#define VANTOR_SLOT_COMMITTED 2u /* a record */
#define VANTOR_SLOT_PADDING 3u   /* nothing: the rest of the ring before a slot that would wrap */
#define VANTOR_MAX_SLOT_SIZE                                                       \
    ((VANTOR_SLOT_HEADER_SIZE + VANTOR_MAX_RECORD_SIZE + VANTOR_SLOT_ALIGN - 1u) & \
     ~(VANTOR_SLOT_ALIGN - 1u))

/* Room for "/" + the longest object name + "." + the tag + NUL. */
#define VANTOR_OBJECT_NAME_SIZE 96u
#define VANTOR_CHANNEL_TAG_LENGTH 32u
#define VANTOR_CHANNEL_TAG_SIZE (VANTOR_CHANNEL_TAG_LENGTH + 1u)
/* The channel file, in the private runtime folder (platform/RuntimeFolder.h). */
#define VANTOR_CHANNEL_FILE_NAME "channel"
/* The channel file's longest text: the tag, a space, 20 digits, a line feed. */
#define VANTOR_CHANNEL_FILE_MAX 64u

/* C casts below are for the C side; C++ includes this header too. */
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#endif

/* Reads the channel file's text: the tag (VANTOR_CHANNEL_TAG_LENGTH lower-case hexadecimal
 * digits, written NUL-terminated to tag) and the process id namespace. 0 when it is not that. */
static inline int vantor_parse_channel_file(const char* text, size_t length, char* tag,
                                            unsigned long long* pidNamespace) {
    size_t i = 0;
    for (; i < VANTOR_CHANNEL_TAG_LENGTH; ++i) {
        const char c = i < length ? text[i] : '\0';
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return 0;
        }
        tag[i] = c;
    }
    tag[i] = '\0';
    if (i >= length || text[i] != ' ') {
        return 0;
    }
    unsigned long long value = 0;
    size_t digits = 0;
    for (++i; i < length && text[i] >= '0' && text[i] <= '9' && digits < 20; ++i, ++digits) {
        value = value * 10 + (unsigned long long)(text[i] - '0');
    }
    if (digits == 0 || i >= length || text[i] != '\n') {
        return 0;
    }
    *pidNamespace = value;
    return 1;
}

/* "/" name "." tag; 0 when it does not fit or the tag is unusable. */
static inline int vantor_object_name(char* out, size_t size, const char* name, const char* tag) {
    if (tag[0] == '\0' || strchr(tag, '/') != NULL) {
        return 0;
    }
    const int length = snprintf(out, size, "/%s.%s", name, tag);
    return length > 0 && (size_t)length < size;
}

#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#endif
