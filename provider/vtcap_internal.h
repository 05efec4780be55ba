/* What the TLS hooks (vtcap_tls.c) use of the socket side of the provider (vtcap.c). Nothing
 * here is exported from libvtcap.so. */
#ifndef VANTOR_PROVIDER_VTCAP_INTERNAL_H
#define VANTOR_PROVIDER_VTCAP_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "vtcap_sessions.h"

/* Says that the real function called what cannot be found, and ends the program: a hook with
 * nothing to forward to has no result to give. */
void vtcap_fatal(const char* what) __attribute__((noreturn));

/* Finds the real socket functions, if no hook did yet. */
void vtcap_ensure_resolved(void);

/* Around the real call of a TLS library function: what the socket hooks see inside it is the
 * session's own traffic, never reported. Enter returns what leave needs back; leave returns the
 * tracked socket the call moved bytes on, or -1. Calls may nest. */
int vtcap_tls_enter(void);
int vtcap_tls_leave(int outer);

/* Whether fd is a tracked socket, and its inode. */
int vtcap_tracked_inode(int fd, uint64_t* inode);

/* The plain text of a TLS session over the tracked socket fd, sent or received. */
void vtcap_plain_sent(int fd, const void* data, size_t length);
void vtcap_plain_received(int fd, const void* data, size_t length);

/* The process's table of sessions and their sockets; NULL if it could not be made. */
struct vtcap_session* vtcap_sessions(void);

#endif
