/* The capture channel as both of its ends see it: Vantor (C++) and the capture provider (C,
 * loaded into captured programs). Plain C, so that the provider needs nothing but libc.
 *
 * Three POSIX shared memory objects per channel, mode 0600 and owned by the user:
 *   /VANTOR_HTTPBUFFER_FULL.<tag>   event: a complete record is in the buffer
 *   /VANTOR_HTTPBUFFER_EMPTY.<tag>  event: the buffer is free for a provider
 *   /HTTP_SNIFFER_BUFFER_VANTOR.<tag>  the 1 MiB buffer: one record, header then data
 * The events follow platform/EventLayout.h.
 * <tag> is "<uid>-<hash>", the hash (FNV-1a, 32 bits, 8 lower-case hex digits) of the runtime
 * folder ($XDG_RUNTIME_DIR, or /tmp/vantor-runtime-<uid> without one), so that every user and
 * every runtime folder has a channel of its own. vantor-run passes the tag to the programs it
 * starts in VANTOR_CHANNEL. */
#ifndef VANTOR_CAPTURE_CHANNEL_LAYOUT_H
#define VANTOR_CAPTURE_CHANNEL_LAYOUT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "platform/EventLayout.h"

#define VANTOR_FULL_EVENT_NAME "VANTOR_HTTPBUFFER_FULL"
#define VANTOR_EMPTY_EVENT_NAME "VANTOR_HTTPBUFFER_EMPTY"
#define VANTOR_BUFFER_NAME "HTTP_SNIFFER_BUFFER_VANTOR"
#define VANTOR_CHANNEL_VARIABLE "VANTOR_CHANNEL"

#define VANTOR_DIRECTION_SENT 1u
#define VANTOR_DIRECTION_RECEIVED 2u

#define VANTOR_BUFFER_SIZE 1048576u
#define VANTOR_RECORD_HEADER_SIZE 52u
#define VANTOR_MAX_RECORD_DATA (VANTOR_BUFFER_SIZE - VANTOR_RECORD_HEADER_SIZE)

/* Room for "/" + the longest object name + "." + the longest tag + NUL. */
#define VANTOR_OBJECT_NAME_SIZE 96u
#define VANTOR_CHANNEL_TAG_SIZE 40u

/* C casts below are for the C side; C++ includes this header too. */
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#endif

static inline uint32_t vantor_fnv1a(const char* text) {
    uint32_t hash = 2166136261u;
    for (; *text != '\0'; ++text) {
        hash ^= (unsigned char)*text;
        hash *= 16777619u;
    }
    return hash;
}

/* The channel tag of a user and runtime folder. */
static inline void vantor_channel_tag(char* out, size_t size, unsigned long uid,
                                      const char* runtimeFolder) {
    snprintf(out, size, "%lu-%08x", uid, (unsigned)vantor_fnv1a(runtimeFolder));
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
