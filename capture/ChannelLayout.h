/* The capture channel as both of its ends see it: Vantor (C++) and the capture provider (C,
 * loaded into captured programs). Plain C, so that the provider needs nothing but libc.
 *
 * Three POSIX shared memory objects per capture run, mode 0600 and owned by the user:
 *   /VANTOR_HTTPBUFFER_FULL.<tag>      event: a complete record is in the buffer
 *   /VANTOR_HTTPBUFFER_EMPTY.<tag>     event: the buffer is free for a provider
 *   /HTTP_SNIFFER_BUFFER_VANTOR.<tag>  the 1 MiB buffer: one record, header then data
 * The events follow platform/EventLayout.h.
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

#define VANTOR_BUFFER_SIZE 1048576u
#define VANTOR_RECORD_HEADER_SIZE 52u
#define VANTOR_MAX_RECORD_DATA (VANTOR_BUFFER_SIZE - VANTOR_RECORD_HEADER_SIZE)

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
