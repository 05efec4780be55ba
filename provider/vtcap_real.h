/* The real socket functions behind the provider's hooks (vtcap_real.c). Nothing here is
 * exported from libvtcap.so. */
#ifndef VANTOR_PROVIDER_VTCAP_REAL_H
#define VANTOR_PROVIDER_VTCAP_REAL_H

#include <stdatomic.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

extern ssize_t (*real_send)(int, const void*, size_t, int);
extern ssize_t (*real_sendto)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);
extern ssize_t (*real_sendmsg)(int, const struct msghdr*, int);
extern ssize_t (*real_write)(int, const void*, size_t);
extern ssize_t (*real_writev)(int, const struct iovec*, int);
extern ssize_t (*real_recv)(int, void*, size_t, int);
extern ssize_t (*real_recvfrom)(int, void*, size_t, int, struct sockaddr*, socklen_t*);
extern ssize_t (*real_recvmsg)(int, struct msghdr*, int);
extern ssize_t (*real_read)(int, void*, size_t);
extern ssize_t (*real_readv)(int, const struct iovec*, int);
extern ssize_t (*real_recv_chk)(int, void*, size_t, size_t, int);
extern ssize_t (*real_recvfrom_chk)(int, void*, size_t, size_t, int, struct sockaddr*, socklen_t*);
extern ssize_t (*real_read_chk)(int, void*, size_t, size_t);
extern int (*real_connect)(int, const struct sockaddr*, socklen_t);
extern int (*real_close)(int);
extern int (*real_dup)(int);
extern int (*real_dup2)(int, int);
extern int (*real_dup3)(int, int, int);
extern int (*real_fcntl)(int, int, ...);
extern int (*real_fcntl64)(int, int, ...);
extern int (*real_close_range)(unsigned, unsigned, int);
extern void (*real_closefrom)(int);

extern atomic_int vtcap_resolved;
void vtcap_resolve_all(void);

/* A hook can run before our constructor (from another library's), so each one makes sure. */
#define ENSURE_RESOLVED()                                                   \
    do {                                                                    \
        if (!atomic_load_explicit(&vtcap_resolved, memory_order_acquire)) { \
            vtcap_resolve_all();                                            \
        }                                                                   \
    } while (0)

#endif
