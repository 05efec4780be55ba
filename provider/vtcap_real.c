/* The real socket functions behind the provider's hooks, found once with dlsym(RTLD_NEXT). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "vtcap_real.h"

ssize_t (*real_send)(int, const void*, size_t, int);
ssize_t (*real_sendto)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);
ssize_t (*real_sendmsg)(int, const struct msghdr*, int);
ssize_t (*real_write)(int, const void*, size_t);
ssize_t (*real_writev)(int, const struct iovec*, int);
ssize_t (*real_recv)(int, void*, size_t, int);
ssize_t (*real_recvfrom)(int, void*, size_t, int, struct sockaddr*, socklen_t*);
ssize_t (*real_recvmsg)(int, struct msghdr*, int);
ssize_t (*real_read)(int, void*, size_t);
ssize_t (*real_readv)(int, const struct iovec*, int);
ssize_t (*real_recv_chk)(int, void*, size_t, size_t, int);
ssize_t (*real_recvfrom_chk)(int, void*, size_t, size_t, int, struct sockaddr*, socklen_t*);
ssize_t (*real_read_chk)(int, void*, size_t, size_t);
int (*real_connect)(int, const struct sockaddr*, socklen_t);
int (*real_close)(int);
int (*real_dup)(int);
int (*real_dup2)(int, int);
int (*real_dup3)(int, int, int);
int (*real_fcntl)(int, int, ...);
int (*real_fcntl64)(int, int, ...);
int (*real_close_range)(unsigned, unsigned, int);
void (*real_closefrom)(int);

void vtcap_fatal(const char* what) {
    static const char prefix[] = "libvtcap.so: cannot find the real ";
    if (syscall(SYS_write, 2, prefix, sizeof prefix - 1) < 0 ||
        syscall(SYS_write, 2, what, strlen(what)) < 0 || syscall(SYS_write, 2, "\n", 1) < 0) {
        /* nothing more to say */
    }
    _exit(127);
}

/* Looks a function up behind us; finding our own hook would mean endless recursion. */
static void* next_symbol(const char* name, void* ours, int required) {
    void* found = dlsym(RTLD_NEXT, name);
    if ((found == NULL && required) || found == ours) {
        vtcap_fatal(name);
    }
    return found;
}

#define RESOLVE(variable, name, required) \
    variable = (__typeof__(variable))next_symbol(#name, (void*)&name, required)

/* Fortified variants that the headers declare only for fortified builds. */
ssize_t __recv_chk(int, void*, size_t, size_t, int);
ssize_t __recvfrom_chk(int, void*, size_t, size_t, int, struct sockaddr*, socklen_t*);
ssize_t __read_chk(int, void*, size_t, size_t);

atomic_int vtcap_resolved;

void vtcap_resolve_all(void) {
    RESOLVE(real_send, send, 1);
    RESOLVE(real_sendto, sendto, 1);
    RESOLVE(real_sendmsg, sendmsg, 1);
    RESOLVE(real_write, write, 1);
    RESOLVE(real_writev, writev, 1);
    RESOLVE(real_recv, recv, 1);
    RESOLVE(real_recvfrom, recvfrom, 1);
    RESOLVE(real_recvmsg, recvmsg, 1);
    RESOLVE(real_read, read, 1);
    RESOLVE(real_readv, readv, 1);
    RESOLVE(real_recv_chk, __recv_chk, 1);
    RESOLVE(real_recvfrom_chk, __recvfrom_chk, 1);
    RESOLVE(real_read_chk, __read_chk, 1);
    RESOLVE(real_connect, connect, 1);
    RESOLVE(real_close, close, 1);
    RESOLVE(real_dup, dup, 1);
    RESOLVE(real_dup2, dup2, 1);
    RESOLVE(real_dup3, dup3, 1);
    RESOLVE(real_fcntl, fcntl, 1);
    RESOLVE(real_fcntl64, fcntl64, 0);
    RESOLVE(real_close_range, close_range, 0);
    RESOLVE(real_closefrom, closefrom, 0);
    atomic_store(&vtcap_resolved, 1);
}

void vtcap_ensure_resolved(void) {
    ENSURE_RESOLVED();
}
