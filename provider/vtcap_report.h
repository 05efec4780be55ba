/* The provider's tracked sockets and reports (vtcap_report.c), as the hooks (vtcap.c) use them.
 * Nothing here is exported from libvtcap.so. */
#ifndef VANTOR_PROVIDER_VTCAP_REPORT_H
#define VANTOR_PROVIDER_VTCAP_REPORT_H

#include <stddef.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "vtcap_internal.h"

/* Makes the descriptor, socket and session tables and takes the local time's offset; once, from
 * the provider's constructor. Without the tables nothing is tracked. */
void vtcap_report_initialize(void);

/* Which descriptors are tracked connections. */
int vtcap_is_tracked(int fd);
void vtcap_untrack(int fd);
void vtcap_untrack_range(unsigned first, unsigned last);
/* Descriptor to now refers to the socket from refers to (dup and its kin). */
void vtcap_copy_entry(int from, int to);
/* Starts tracking a socket that connect (or a sendto with MSG_FASTOPEN) connected to address:
 * TCP to an IPv4 or IPv6 peer only. A socket already tracked keeps what is known of it. */
void vtcap_track_connection(int fd, const struct sockaddr* address, socklen_t length);
/* Tells what is noted as lost of the socket's streams now, if anything (the socket closes). */
void vtcap_tell_losses(int fd);

/* A send on stream streamIndex of fd takes its place before the real call and is reported
 * after it; a receive is reported after its call (kind: vtcap_receive_kind). */
void vtcap_begin_send(int fd, int streamIndex, const struct iovec* iov, int iovcnt, size_t length,
                      struct vtcap_outgoing* out);
void vtcap_finish_send(const struct vtcap_outgoing* out, const struct iovec* iov, int iovcnt,
                       size_t moved);
void vtcap_on_received(int fd, int streamIndex, const struct iovec* iov, int iovcnt, size_t moved,
                       int kind);

#endif
