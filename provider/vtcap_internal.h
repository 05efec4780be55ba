/* What the TLS hooks (vtcap_tls.c) use of the socket side of the provider (vtcap_report.c).
 * Nothing here is exported from libvtcap.so. */
#ifndef VANTOR_PROVIDER_VTCAP_INTERNAL_H
#define VANTOR_PROVIDER_VTCAP_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "vtcap_sessions.h"
#include "vtcap_sockets.h"

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

/* A send about to be made on one of a tracked socket's streams: the stream, and its place
 * among the connection's records (a ticket) when the stream is known to be HTTP. */
struct vtcap_outgoing {
    struct vtcap_socket* socket; /* NULL: nothing to report */
    struct vtcap_stream* stream;
    uint64_t inode;
    int fd;
    int ticketed;
    struct vtcap_ticket ticket;
};

/* The plain text of a TLS session over the tracked socket fd: a send takes its place before the
 * library's call (fd -1 when the socket is not known yet) and is reported after it; a
 * receive is reported after its call. Abandon gives back a place taken for a send that turned
 * out to run over another socket. */
void vtcap_plain_send_begin(int fd, const void* data, size_t length, struct vtcap_outgoing* out);
void vtcap_plain_send_finish(struct vtcap_outgoing* out, const void* data, size_t moved);
void vtcap_plain_send_abandon(struct vtcap_outgoing* out);
void vtcap_plain_received(int fd, const void* data, size_t length);

/* The process's table of sessions and their sockets; NULL if it could not be made. */
struct vtcap_session* vtcap_sessions(void);

#endif
