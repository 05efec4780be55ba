/* libvtcap.so, the capture provider. Loaded into a program by vantor-run (LD_PRELOAD), it
 * reports the bytes of the program's client TCP connections (IPv4 and IPv6) that carry HTTP to
 * Vantor as records in the process's own capture ring (capture/ChannelLayout.h, vtcap_ring.c,
 * vtcap_channel.c); for a connection that runs TLS, the plain text that goes through the TLS
 * library (vtcap_tls.c).
 *
 * Rules it keeps: every call goes to the real function and its result, errno included, is
 * returned unchanged; nothing here allocates or starts a thread, and the only descriptor kept
 * is the connection to Vantor while capture runs; the only lock is the ring's, held by the
 * process's threads for the few instructions of a reservation; a program waits for Vantor only
 * while its ring is full, at most VTCAP_WAIT_MS per call, and not at all while capture is not
 * running. A ring that stayed full that long is not waited for again for VTCAP_FULL_MS: records
 * meanwhile are dropped, counted, and told in their place. Only libc is used.
 *
 * Order: a send takes its records' place among its connection's (a ticket: sequence number
 * and previous direction) before the real call, a receive after it, so that whatever thread or
 * process writes its record first, Vantor puts them in the order the bytes moved. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "capture/ChannelLayout.h"
#include "vtcap_channel.h"
#include "vtcap_internal.h"
#include "vtcap_logic.h"
#include "vtcap_real.h"
#include "vtcap_report.h"
#include "vtcap_ring.h"
#include "vtcap_sessions.h"
#include "vtcap_sockets.h"

#define VTCAP_EXPORT __attribute__((visibility("default")))

__attribute__((constructor)) static void vtcap_initialize(void) {
    ENSURE_RESOLVED();
    vtcap_report_initialize();
    vtcap_channel_locate(getenv(VANTOR_CHANNEL_VARIABLE), getenv("XDG_RUNTIME_DIR"),
                         getenv("TMPDIR"));
    /* A forked child reports through a ring of its own. */
    pthread_atfork(NULL, NULL, vtcap_channel_forget_after_fork);
}

/* ---- the hooks --------------------------------------------------------------------------- */

static struct iovec one_buffer(const void* data, size_t length) {
    struct iovec iov = {(void*)data, length};
    return iov;
}

VTCAP_EXPORT int connect(int fd, const struct sockaddr* address, socklen_t length) {
    ENSURE_RESOLVED();
    const int result = real_connect(fd, address, length);
    const int error = errno;
    if (result == 0 || error == EINPROGRESS || error == EINTR) {
        vtcap_track_connection(fd, address, length);
    } else if (error != EALREADY && error != EISCONN) {
        vtcap_untrack(fd); /* asked again while connecting, or connected: it stays as it is */
    }
    errno = error;
    return result;
}

/* The program closes or replaces descriptor fd: what is still to be told of its socket goes
 * out first, and a connection of ours at that number is given up. */
static void closing(int fd) {
    if (fd < 0) {
        return;
    }
    const int saved = errno;
    if (vtcap_is_tracked(fd)) {
        vtcap_tell_losses(fd);
    }
    vtcap_channel_descriptors_closing((unsigned)fd, (unsigned)fd);
    vtcap_untrack(fd);
    errno = saved;
}

VTCAP_EXPORT int close(int fd) {
    ENSURE_RESOLVED();
    closing(fd);
    return real_close(fd);
}

VTCAP_EXPORT int dup(int fd) {
    ENSURE_RESOLVED();
    const int result = real_dup(fd);
    const int error = errno;
    if (result >= 0) {
        vtcap_copy_entry(fd, result);
    }
    errno = error;
    return result;
}

VTCAP_EXPORT int dup2(int fd, int target) {
    ENSURE_RESOLVED();
    if (fd != target) {
        vtcap_channel_descriptors_closing((unsigned)target, (unsigned)target);
    }
    const int result = real_dup2(fd, target);
    const int error = errno;
    if (result >= 0 && fd != target) {
        vtcap_copy_entry(fd, result);
    }
    errno = error;
    return result;
}

VTCAP_EXPORT int dup3(int fd, int target, int flags) {
    ENSURE_RESOLVED();
    if (fd != target) {
        vtcap_channel_descriptors_closing((unsigned)target, (unsigned)target);
    }
    const int result = real_dup3(fd, target, flags);
    const int error = errno;
    if (result >= 0) {
        vtcap_copy_entry(fd, result);
    }
    errno = error;
    return result;
}

static int forward_fcntl(int (*real)(int, int, ...), int fd, int command, void* argument) {
    const int result = real(fd, command, argument);
    const int error = errno;
    if (result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC)) {
        vtcap_copy_entry(fd, result);
    }
    errno = error;
    return result;
}

/* fcntl's third argument is an int or a pointer; on this ABI both travel the same way. */
VTCAP_EXPORT int fcntl(int fd, int command, ...) {
    ENSURE_RESOLVED();
    va_list arguments;
    va_start(arguments, command);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    return forward_fcntl(real_fcntl, fd, command, argument);
}

VTCAP_EXPORT int fcntl64(int fd, int command, ...) {
    ENSURE_RESOLVED();
    va_list arguments;
    va_start(arguments, command);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    return forward_fcntl(real_fcntl64 != NULL ? real_fcntl64 : real_fcntl, fd, command, argument);
}

VTCAP_EXPORT int close_range(unsigned first, unsigned last, int flags) {
    ENSURE_RESOLVED();
    if (real_close_range == NULL) {
        errno = ENOSYS;
        return -1;
    }
    if (((unsigned)flags & CLOSE_RANGE_CLOEXEC) == 0) {
        vtcap_channel_descriptors_closing(first, last);
    }
    const int result = real_close_range(first, last, flags);
    const int error = errno;
    if (result == 0 && ((unsigned)flags & CLOSE_RANGE_CLOEXEC) == 0) {
        vtcap_untrack_range(first, last);
    }
    errno = error;
    return result;
}

VTCAP_EXPORT void closefrom(int lowest) {
    ENSURE_RESOLVED();
    if (lowest >= 0) {
        vtcap_channel_descriptors_closing((unsigned)lowest, UINT_MAX);
        vtcap_untrack_range((unsigned)lowest, UINT_MAX);
    }
    if (real_closefrom != NULL) {
        real_closefrom(lowest);
    }
}

/* Data calls. A send takes its place among the connection's records before the real call and
 * is reported after it; a receive is reported after it. errno is kept as the call left it. */
static void before_send(int fd, const struct iovec* iov, int iovcnt, size_t length,
                        struct vtcap_outgoing* out) {
    const int saved = errno;
    vtcap_begin_send(fd, VTCAP_STREAM_SOCKET, iov, iovcnt, length, out);
    errno = saved;
}

static void after_send(struct vtcap_outgoing* out, const struct iovec* iov, int iovcnt,
                       ssize_t result) {
    const int saved = errno;
    vtcap_finish_send(out, iov, iovcnt,
                      result > 0 ? vtcap_iov_capacity(iov, iovcnt, (size_t)result) : 0);
    errno = saved;
}

static void after_receive(int fd, const struct iovec* iov, int iovcnt, ssize_t result, int kind) {
    const int saved = errno;
    vtcap_on_received(fd, VTCAP_STREAM_SOCKET, iov, iovcnt, (size_t)result, kind);
    errno = saved;
}

/* A sendto or sendmsg with MSG_FASTOPEN connects the socket as it sends: its first bytes are
 * reported after the call. */
static void after_fast_open(int fd, int flags, const struct sockaddr* to, socklen_t toLength,
                            const struct iovec* iov, int iovcnt, ssize_t result) {
    if ((flags & MSG_FASTOPEN) != 0 && to != NULL && (result >= 0 || errno == EINPROGRESS) &&
        !vtcap_is_tracked(fd)) {
        const int saved = errno;
        vtcap_track_connection(fd, to, toLength);
        if (result > 0 && vtcap_is_tracked(fd)) {
            struct vtcap_outgoing out;
            const size_t moved = vtcap_iov_capacity(iov, iovcnt, (size_t)result);
            vtcap_begin_send(fd, VTCAP_STREAM_SOCKET, iov, iovcnt, moved, &out);
            vtcap_finish_send(&out, iov, iovcnt, moved);
        }
        errno = saved;
    }
}

VTCAP_EXPORT ssize_t send(int fd, const void* data, size_t length, int flags) {
    ENSURE_RESOLVED();
    if (!vtcap_is_tracked(fd)) {
        return real_send(fd, data, length, flags);
    }
    const struct iovec iov = one_buffer(data, length);
    struct vtcap_outgoing out;
    before_send(fd, &iov, 1, length, &out);
    const ssize_t result = real_send(fd, data, length, flags);
    after_send(&out, &iov, 1, result);
    return result;
}

VTCAP_EXPORT ssize_t sendto(int fd, const void* data, size_t length, int flags,
                            const struct sockaddr* to, socklen_t toLength) {
    ENSURE_RESOLVED();
    const struct iovec iov = one_buffer(data, length);
    if (!vtcap_is_tracked(fd)) {
        const ssize_t result = real_sendto(fd, data, length, flags, to, toLength);
        after_fast_open(fd, flags, to, toLength, &iov, 1, result);
        return result;
    }
    struct vtcap_outgoing out;
    before_send(fd, &iov, 1, length, &out);
    const ssize_t result = real_sendto(fd, data, length, flags, to, toLength);
    after_send(&out, &iov, 1, result);
    return result;
}

VTCAP_EXPORT ssize_t sendmsg(int fd, const struct msghdr* message, int flags) {
    ENSURE_RESOLVED();
    if (message == NULL) {
        return real_sendmsg(fd, message, flags);
    }
    const int iovcnt = (int)message->msg_iovlen;
    if (!vtcap_is_tracked(fd)) {
        const ssize_t result = real_sendmsg(fd, message, flags);
        after_fast_open(fd, flags, (const struct sockaddr*)message->msg_name, message->msg_namelen,
                        message->msg_iov, iovcnt, result);
        return result;
    }
    struct vtcap_outgoing out;
    before_send(fd, message->msg_iov, iovcnt,
                vtcap_iov_capacity(message->msg_iov, iovcnt, SIZE_MAX), &out);
    const ssize_t result = real_sendmsg(fd, message, flags);
    after_send(&out, message->msg_iov, iovcnt, result);
    return result;
}

VTCAP_EXPORT ssize_t write(int fd, const void* data, size_t length) {
    ENSURE_RESOLVED();
    if (!vtcap_is_tracked(fd)) {
        return real_write(fd, data, length);
    }
    const struct iovec iov = one_buffer(data, length);
    struct vtcap_outgoing out;
    before_send(fd, &iov, 1, length, &out);
    const ssize_t result = real_write(fd, data, length);
    after_send(&out, &iov, 1, result);
    return result;
}

VTCAP_EXPORT ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
    ENSURE_RESOLVED();
    if (!vtcap_is_tracked(fd)) {
        return real_writev(fd, iov, iovcnt);
    }
    struct vtcap_outgoing out;
    before_send(fd, iov, iovcnt, vtcap_iov_capacity(iov, iovcnt, SIZE_MAX), &out);
    const ssize_t result = real_writev(fd, iov, iovcnt);
    after_send(&out, iov, iovcnt, result);
    return result;
}

/* Bytes only peeked at stay in the socket and are reported when they are really read; bytes
 * discarded with MSG_TRUNC were never in the buffer. */
VTCAP_EXPORT ssize_t recv(int fd, void* data, size_t length, int flags) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recv(fd, data, length, flags);
    if (result > 0 && vtcap_is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_receive(fd, &iov, 1, result, vtcap_receive_kind(flags));
    }
    return result;
}

VTCAP_EXPORT ssize_t recvfrom(int fd, void* data, size_t length, int flags, struct sockaddr* from,
                              socklen_t* fromLength) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recvfrom(fd, data, length, flags, from, fromLength);
    if (result > 0 && vtcap_is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_receive(fd, &iov, 1, result, vtcap_receive_kind(flags));
    }
    return result;
}

VTCAP_EXPORT ssize_t recvmsg(int fd, struct msghdr* message, int flags) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recvmsg(fd, message, flags);
    if (result > 0 && vtcap_is_tracked(fd)) {
        after_receive(fd, message->msg_iov, (int)message->msg_iovlen, result,
                      vtcap_receive_kind(flags));
    }
    return result;
}

VTCAP_EXPORT ssize_t read(int fd, void* data, size_t length) {
    ENSURE_RESOLVED();
    const ssize_t result = real_read(fd, data, length);
    if (result > 0 && vtcap_is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_receive(fd, &iov, 1, result, VTCAP_RECEIVE_DATA);
    }
    return result;
}

VTCAP_EXPORT ssize_t readv(int fd, const struct iovec* iov, int iovcnt) {
    ENSURE_RESOLVED();
    const ssize_t result = real_readv(fd, iov, iovcnt);
    if (result > 0 && vtcap_is_tracked(fd)) {
        after_receive(fd, iov, iovcnt, result, VTCAP_RECEIVE_DATA);
    }
    return result;
}

VTCAP_EXPORT ssize_t __recv_chk(int fd, void* data, size_t length, size_t size, int flags) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recv_chk(fd, data, length, size, flags);
    if (result > 0 && vtcap_is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_receive(fd, &iov, 1, result, vtcap_receive_kind(flags));
    }
    return result;
}

VTCAP_EXPORT ssize_t __recvfrom_chk(int fd, void* data, size_t length, size_t size, int flags,
                                    struct sockaddr* from, socklen_t* fromLength) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recvfrom_chk(fd, data, length, size, flags, from, fromLength);
    if (result > 0 && vtcap_is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_receive(fd, &iov, 1, result, vtcap_receive_kind(flags));
    }
    return result;
}

VTCAP_EXPORT ssize_t __read_chk(int fd, void* data, size_t length, size_t size) {
    ENSURE_RESOLVED();
    const ssize_t result = real_read_chk(fd, data, length, size);
    if (result > 0 && vtcap_is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_receive(fd, &iov, 1, result, VTCAP_RECEIVE_DATA);
    }
    return result;
}
