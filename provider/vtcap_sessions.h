/* Which socket a TLS session was last seen on, for the calls that do not touch the socket (a
 * read the library answers from what it already holds): a fixed table private to the process,
 * indexed by the session's address, where a newer session may take an older one's entry.
 * Lock-free: a writer that finds its entry being written by another leaves it to that one, and
 * a reader that finds an entry changing finds nothing. */
#ifndef VANTOR_PROVIDER_VTCAP_SESSIONS_H
#define VANTOR_PROVIDER_VTCAP_SESSIONS_H

#include <stdint.h>

#include "vtcap_atomic.h"

VTCAP_BEGIN_DECLARATIONS

#define VTCAP_SESSION_SLOTS 4096u /* a power of two */

struct vtcap_session {
    VTCAP_ATOMIC(uint32_t) sequence; /* odd while being written */
    VTCAP_ATOMIC(int32_t) fd;
    VTCAP_ATOMIC(uintptr_t) session;
    VTCAP_ATOMIC(uint64_t) inode; /* of the socket fd had then: a reused number is not it */
};

/* Remembers that session runs over the socket with this inode at fd. */
void vtcap_session_remember(struct vtcap_session* table, uint32_t slots, const void* session,
                            int fd, uint64_t inode);

/* Forgets session (it is freed: a new session may get its address). */
void vtcap_session_forget(struct vtcap_session* table, uint32_t slots, const void* session);

/* The descriptor and socket inode last remembered for session; 0 when there are none. */
int vtcap_session_recall(const struct vtcap_session* table, uint32_t slots, const void* session,
                         int* fd, uint64_t* inode);

VTCAP_END_DECLARATIONS

#endif
