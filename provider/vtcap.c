/* libvtcap.so, the capture provider. Loaded into a program by vantor-run (LD_PRELOAD), it
 * reports the bytes of the program's client TCP/IPv4 connections that carry HTTP to Vantor,
 * one record at a time, through the capture channel (capture/ChannelLayout.h).
 *
 * Rules it keeps: every call goes to the real function first and its result, errno included,
 * is returned unchanged; nothing here allocates, starts a thread, keeps a descriptor open or
 * takes a lock; a program waits for Vantor at most VTCAP_WAIT_MS per call, and not at all
 * while capture is not running. Only libc is used. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
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
#include "vtcap_logic.h"

#define VTCAP_EXPORT __attribute__((visibility("default")))
#define VTCAP_WAIT_MS 2000  /* the longest a program waits for the buffer */
#define VTCAP_PROBE_MS 1000 /* how often a program looks for a channel that is not there */
#define VTCAP_MAX_FDS (1 << 20)
#define VTCAP_CHANNEL_SLOTS 8

/* ---- the real functions ------------------------------------------------------------------ */

static ssize_t (*real_send)(int, const void*, size_t, int);
static ssize_t (*real_sendto)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);
static ssize_t (*real_sendmsg)(int, const struct msghdr*, int);
static ssize_t (*real_write)(int, const void*, size_t);
static ssize_t (*real_writev)(int, const struct iovec*, int);
static ssize_t (*real_recv)(int, void*, size_t, int);
static ssize_t (*real_recvfrom)(int, void*, size_t, int, struct sockaddr*, socklen_t*);
static ssize_t (*real_recvmsg)(int, struct msghdr*, int);
static ssize_t (*real_read)(int, void*, size_t);
static ssize_t (*real_readv)(int, const struct iovec*, int);
static ssize_t (*real_recv_chk)(int, void*, size_t, size_t, int);
static ssize_t (*real_recvfrom_chk)(int, void*, size_t, size_t, int, struct sockaddr*, socklen_t*);
static ssize_t (*real_read_chk)(int, void*, size_t, size_t);
static int (*real_connect)(int, const struct sockaddr*, socklen_t);
static int (*real_close)(int);
static int (*real_dup)(int);
static int (*real_dup2)(int, int);
static int (*real_dup3)(int, int, int);
static int (*real_fcntl)(int, int, ...);
static int (*real_fcntl64)(int, int, ...);
static int (*real_close_range)(unsigned, unsigned, int);
static void (*real_closefrom)(int);

static void fatal(const char* what) {
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
        fatal(name);
    }
    return found;
}

#define RESOLVE(variable, name, required) \
    variable = (__typeof__(variable))next_symbol(#name, (void*)&name, required)

/* Fortified variants that the headers declare only for fortified builds. */
ssize_t __recv_chk(int, void*, size_t, size_t, int);
ssize_t __recvfrom_chk(int, void*, size_t, size_t, int, struct sockaddr*, socklen_t*);
ssize_t __read_chk(int, void*, size_t, size_t);

static atomic_int g_resolved;

static void resolve_all(void) {
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
    atomic_store(&g_resolved, 1);
}

/* A hook can run before our constructor (from another library's), so each one makes sure. */
#define ENSURE_RESOLVED()                                               \
    do {                                                                \
        if (!atomic_load_explicit(&g_resolved, memory_order_acquire)) { \
            resolve_all();                                              \
        }                                                               \
    } while (0)

/* ---- per-descriptor state ---------------------------------------------------------------- */

struct fd_state {
    atomic_uint tracked; /* 1: a client TCP socket connected to an IPv4 peer */
    uint32_t inode;      /* the socket's inode number: the connection id */
    struct sockaddr_in peer;
    atomic_uint http;  /* VTCAP_UNDECIDED, VTCAP_HTTP, VTCAP_NOT_HTTP */
    uint32_t previous; /* direction of the last record written for the socket */
    uint32_t heldLength;
    char held[VTCAP_CLASSIFY_BYTES];
};

static struct fd_state* g_fds;
static int g_fdCapacity;

static struct fd_state* tracked_state(int fd) {
    if (fd < 0 || fd >= g_fdCapacity || g_fds == NULL) {
        return NULL;
    }
    struct fd_state* state = &g_fds[fd];
    return atomic_load_explicit(&state->tracked, memory_order_acquire) ? state : NULL;
}

static void untrack(int fd) {
    if (fd >= 0 && fd < g_fdCapacity && g_fds != NULL) {
        atomic_store(&g_fds[fd].tracked, 0);
    }
}

static void copy_state(int from, int to) {
    if (to < 0 || to >= g_fdCapacity || g_fds == NULL) {
        return;
    }
    struct fd_state* source = tracked_state(from);
    atomic_store(&g_fds[to].tracked, 0);
    if (source == NULL) {
        return;
    }
    struct fd_state* target = &g_fds[to];
    target->inode = source->inode;
    target->peer = source->peer;
    atomic_store(&target->http, atomic_load(&source->http));
    target->previous = source->previous;
    target->heldLength = source->heldLength;
    memcpy(target->held, source->held, sizeof target->held);
    atomic_store_explicit(&target->tracked, 1, memory_order_release);
}

/* ---- the channel ------------------------------------------------------------------------- */

struct channel {
    atomic_uint* full;
    atomic_uint* empty;
    unsigned char* buffer;
    pid_t owner;
    atomic_int inUse; /* 0 free, 1 mapped, 2 retired: waiting to be unmapped */
};

static char g_fullName[VANTOR_OBJECT_NAME_SIZE];
static char g_emptyName[VANTOR_OBJECT_NAME_SIZE];
static char g_bufferName[VANTOR_OBJECT_NAME_SIZE];
static int g_namesReady;
static long g_utcOffset;

static struct channel g_channels[VTCAP_CHANNEL_SLOTS];
static _Atomic(struct channel*) g_current;
static atomic_int g_users;       /* hooks using g_current right now */
static atomic_llong g_nextProbe; /* when to look for a channel next, monotonic ms */
static atomic_int g_probing;

static __thread int t_inHook __attribute__((tls_model("initial-exec")));

static int64_t monotonic_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static long futex(atomic_uint* word, int operation, unsigned value,
                  const struct timespec* timeout) {
    return syscall(SYS_futex, (unsigned*)word, operation, value, timeout, NULL, 0);
}

static int owner_alive(const struct channel* channel) {
    return kill(channel->owner, 0) == 0 || errno == EPERM;
}

static void* map_object(const char* name, size_t size) {
    const int fd = shm_open(name, O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) {
        return NULL;
    }
    struct stat status;
    void* mapped = MAP_FAILED;
    if (fstat(fd, &status) == 0 && status.st_uid == geteuid() && (size_t)status.st_size >= size) {
        mapped = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    real_close(fd);
    return mapped == MAP_FAILED ? NULL : mapped;
}

static void unmap_channel(struct channel* channel) {
    munmap((void*)channel->full, VANTOR_EVENT_OBJECT_SIZE);
    munmap((void*)channel->empty, VANTOR_EVENT_OBJECT_SIZE);
    munmap(channel->buffer, VANTOR_BUFFER_SIZE);
    atomic_store(&channel->inUse, 0);
}

/* Unmaps retired channels that no hook can still be using. Everything that wants a channel
 * first counts itself in g_users and only then reads g_current, so with g_current already
 * pointing elsewhere, no user means nobody holds a retired one. */
static void sweep_retired(void) {
    if (atomic_load(&g_users) != 0) {
        return;
    }
    for (int i = 0; i < VTCAP_CHANNEL_SLOTS; ++i) {
        if (atomic_load(&g_channels[i].inUse) == 2) {
            unmap_channel(&g_channels[i]);
        }
    }
}

static void retire_current(struct channel* expected) {
    if (atomic_compare_exchange_strong(&g_current, &expected, NULL)) {
        atomic_store(&expected->inUse, 2);
    }
    atomic_store(&g_nextProbe, monotonic_ms() + VTCAP_PROBE_MS);
}

static void probe(void) {
    if (!g_namesReady || atomic_exchange(&g_probing, 1)) {
        return;
    }
    atomic_store(&g_nextProbe, monotonic_ms() + VTCAP_PROBE_MS);
    sweep_retired();
    struct channel* slot = NULL;
    for (int i = 0; i < VTCAP_CHANNEL_SLOTS && slot == NULL; ++i) {
        int free = 0;
        if (atomic_compare_exchange_strong(&g_channels[i].inUse, &free, 1)) {
            slot = &g_channels[i];
        }
    }
    if (slot != NULL) {
        void* full = map_object(g_fullName, VANTOR_EVENT_OBJECT_SIZE);
        void* empty = full ? map_object(g_emptyName, VANTOR_EVENT_OBJECT_SIZE) : NULL;
        void* buffer = empty ? map_object(g_bufferName, VANTOR_BUFFER_SIZE) : NULL;
        if (buffer != NULL) {
            slot->full = (atomic_uint*)((unsigned char*)full + VANTOR_EVENT_STATE_OFFSET);
            slot->empty = (atomic_uint*)((unsigned char*)empty + VANTOR_EVENT_STATE_OFFSET);
            slot->buffer = buffer;
            memcpy(&slot->owner, (unsigned char*)full + VANTOR_EVENT_OWNER_OFFSET,
                   sizeof slot->owner);
        }
        const int usable = buffer != NULL && (atomic_load(slot->full) & VANTOR_EVENT_CLOSED) == 0 &&
                           owner_alive(slot);
        if (usable) {
            struct channel* expected = NULL;
            if (!atomic_compare_exchange_strong(&g_current, &expected, slot)) {
                atomic_store(&slot->inUse, 2);
            }
        } else {
            if (full)
                munmap(full, VANTOR_EVENT_OBJECT_SIZE);
            if (empty)
                munmap(empty, VANTOR_EVENT_OBJECT_SIZE);
            if (buffer)
                munmap(buffer, VANTOR_BUFFER_SIZE);
            atomic_store(&slot->inUse, 0);
        }
    }
    atomic_store(&g_probing, 0);
}

/* The open channel, counted in g_users until release(); NULL while capture is not running. */
static struct channel* acquire(void) {
    atomic_fetch_add(&g_users, 1);
    struct channel* channel = atomic_load(&g_current);
    if (channel != NULL && (atomic_load(channel->full) & VANTOR_EVENT_CLOSED) == 0) {
        return channel;
    }
    atomic_fetch_sub(&g_users, 1);
    if (channel != NULL) {
        retire_current(channel); /* capture stopped */
    }
    if (monotonic_ms() >= atomic_load(&g_nextProbe)) {
        probe();
        atomic_fetch_add(&g_users, 1);
        channel = atomic_load(&g_current);
        if (channel != NULL) {
            return channel;
        }
        atomic_fetch_sub(&g_users, 1);
    }
    return NULL;
}

static void release(void) {
    atomic_fetch_sub(&g_users, 1);
}

/* Takes the free buffer; 0 when capture stopped, Vantor is gone, or the deadline passed. */
static int take_buffer(struct channel* channel, int64_t deadline) {
    for (;;) {
        unsigned value = atomic_load(channel->empty);
        if (value & VANTOR_EVENT_CLOSED) {
            return 0;
        }
        if (value & VANTOR_EVENT_SIGNALLED) {
            if (atomic_compare_exchange_weak(channel->empty, &value,
                                             value & ~VANTOR_EVENT_SIGNALLED)) {
                return 1;
            }
            continue;
        }
        const int64_t left = deadline - monotonic_ms();
        if (left <= 0 || !owner_alive(channel)) {
            return 0;
        }
        const int64_t slice = left < 100 ? left : 100;
        const struct timespec timeout = {0, (long)slice * 1000000L};
        futex(channel->empty, FUTEX_WAIT, value, &timeout);
    }
}

static void hand_over(struct channel* channel) {
    const unsigned before = atomic_fetch_or(channel->full, VANTOR_EVENT_SIGNALLED);
    if ((before & VANTOR_EVENT_SIGNALLED) == 0) {
        futex(channel->full, FUTEX_WAKE, INT_MAX, NULL);
    }
}

static void local_time(uint16_t out[8]) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    vtcap_calendar_time((int64_t)now.tv_sec, (unsigned)(now.tv_nsec / 1000000), g_utcOffset, out);
}

/* Writes the transfer as records of at most VANTOR_MAX_RECORD_DATA bytes. */
static void report(int fd, struct fd_state* state, uint32_t direction,
                   const struct vtcap_source* source, size_t total) {
    if (total == 0 || t_inHook) {
        return; /* nothing moved, or a signal handler inside our own hand-over */
    }
    t_inHook = 1;
    struct channel* channel = acquire();
    if (channel != NULL) {
        /* The descriptor may have been closed behind our back (fclose, a raw syscall) and now
         * be something else: only the socket that connected is reported. */
        struct stat status;
        if (fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode) ||
            (uint32_t)status.st_ino != state->inode) {
            untrack(fd);
        } else {
            uint16_t time[8];
            local_time(time);
            const int64_t deadline = monotonic_ms() + VTCAP_WAIT_MS;
            for (size_t offset = 0; offset < total;) {
                size_t count = total - offset;
                if (count > VANTOR_MAX_RECORD_DATA) {
                    count = VANTOR_MAX_RECORD_DATA;
                }
                if (!take_buffer(channel, deadline)) {
                    retire_current(channel); /* not now; look again in a while */
                    break;
                }
                vtcap_write_header(channel->buffer, direction, state->previous, state->inode,
                                   &state->peer, (uint32_t)count, time);
                vtcap_gather(channel->buffer + VANTOR_RECORD_HEADER_SIZE, source, offset, count);
                state->previous = direction;
                hand_over(channel);
                offset += count;
            }
        }
        release();
    }
    t_inHook = 0;
}

static void on_sent(int fd, const struct iovec* iov, int iovcnt, ssize_t moved) {
    struct fd_state* state = tracked_state(fd);
    if (state == NULL || moved <= 0) {
        return;
    }
    const unsigned http = atomic_load(&state->http);
    if (http == VTCAP_NOT_HTTP) {
        return;
    }
    struct vtcap_source source = {NULL, 0, iov, iovcnt};
    size_t total = (size_t)moved;
    if (http == VTCAP_UNDECIDED) {
        /* Decide on the first bytes; hold them back until it is decided. */
        char first[VTCAP_CLASSIFY_BYTES];
        size_t take = VTCAP_CLASSIFY_BYTES - state->heldLength;
        if (take > (size_t)moved) {
            take = (size_t)moved;
        }
        memcpy(first, state->held, state->heldLength);
        vtcap_gather((unsigned char*)first + state->heldLength, &source, 0, take);
        const int verdict = vtcap_classify(first, state->heldLength + take);
        if (verdict == VTCAP_NOT_HTTP) {
            atomic_store(&state->http, VTCAP_NOT_HTTP);
            return;
        }
        if (verdict == VTCAP_UNDECIDED) {
            memcpy(state->held, first, state->heldLength + take);
            state->heldLength += (uint32_t)take;
            return;
        }
        atomic_store(&state->http, VTCAP_HTTP);
        source.held = state->held;
        source.heldLength = state->heldLength;
        total += state->heldLength;
    }
    report(fd, state, VANTOR_DIRECTION_SENT, &source, total);
    state->heldLength = 0;
}

static void on_received(int fd, const struct iovec* iov, int iovcnt, ssize_t moved) {
    struct fd_state* state = tracked_state(fd);
    if (state == NULL || moved <= 0) {
        return;
    }
    const unsigned http = atomic_load(&state->http);
    if (http == VTCAP_UNDECIDED) {
        atomic_store(&state->http, VTCAP_NOT_HTTP); /* the server spoke first: not HTTP */
        return;
    }
    if (http == VTCAP_HTTP) {
        const struct vtcap_source source = {NULL, 0, iov, iovcnt};
        report(fd, state, VANTOR_DIRECTION_RECEIVED, &source, (size_t)moved);
    }
}

/* ---- set-up ------------------------------------------------------------------------------ */

__attribute__((constructor)) static void vtcap_initialize(void) {
    ENSURE_RESOLVED();

    struct rlimit limit;
    rlim_t capacity = 65536;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max != RLIM_INFINITY &&
        limit.rlim_max > capacity) {
        capacity = limit.rlim_max;
    }
    if (capacity > VTCAP_MAX_FDS) {
        capacity = VTCAP_MAX_FDS;
    }
    /* Untouched pages of the table cost nothing. */
    void* table = mmap(NULL, (size_t)capacity * sizeof(struct fd_state), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (table != MAP_FAILED) {
        g_fds = table;
        g_fdCapacity = (int)capacity;
    }

    char tag[VANTOR_CHANNEL_TAG_SIZE];
    const char* given = getenv(VANTOR_CHANNEL_VARIABLE);
    if (given != NULL && given[0] != '\0' && strlen(given) < sizeof tag) {
        strcpy(tag, given);
    } else {
        const char* runtime = getenv("XDG_RUNTIME_DIR");
        char fallback[64];
        if (runtime == NULL || runtime[0] != '/') {
            snprintf(fallback, sizeof fallback, "/tmp/vantor-runtime-%lu",
                     (unsigned long)geteuid());
            runtime = fallback;
        }
        vantor_channel_tag(tag, sizeof tag, (unsigned long)geteuid(), runtime);
    }
    g_namesReady =
        vantor_object_name(g_fullName, sizeof g_fullName, VANTOR_FULL_EVENT_NAME, tag) &&
        vantor_object_name(g_emptyName, sizeof g_emptyName, VANTOR_EMPTY_EVENT_NAME, tag) &&
        vantor_object_name(g_bufferName, sizeof g_bufferName, VANTOR_BUFFER_NAME, tag);

    /* Local time is UTC plus this offset, taken once: the hooks cannot call localtime, which
     * locks and may read files, and they may run inside signal handlers. */
    tzset();
    const time_t now = time(NULL);
    struct tm local;
    if (localtime_r(&now, &local) != NULL) {
        g_utcOffset = local.tm_gmtoff;
    }
}

/* ---- the hooks --------------------------------------------------------------------------- */

static struct iovec one_buffer(const void* data, size_t length) {
    struct iovec iov = {(void*)data, length};
    return iov;
}

VTCAP_EXPORT int connect(int fd, const struct sockaddr* address, socklen_t length) {
    ENSURE_RESOLVED();
    untrack(fd);
    const int result = real_connect(fd, address, length);
    const int error = errno;
    struct sockaddr_in peer;
    if ((result == 0 || error == EINPROGRESS || error == EINTR) && fd >= 0 && fd < g_fdCapacity &&
        g_fds != NULL && vtcap_ipv4_peer(address, length, &peer)) {
        int type = 0;
        socklen_t typeLength = sizeof type;
        struct stat status;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 && type == SOCK_STREAM &&
            fstat(fd, &status) == 0) {
            struct fd_state* state = &g_fds[fd];
            state->inode = (uint32_t)status.st_ino;
            state->peer = peer;
            atomic_store(&state->http, VTCAP_UNDECIDED);
            state->previous = 0;
            state->heldLength = 0;
            atomic_store_explicit(&state->tracked, 1, memory_order_release);
        }
    }
    errno = error;
    return result;
}

VTCAP_EXPORT int close(int fd) {
    ENSURE_RESOLVED();
    untrack(fd);
    return real_close(fd);
}

VTCAP_EXPORT int dup(int fd) {
    ENSURE_RESOLVED();
    const int result = real_dup(fd);
    const int error = errno;
    if (result >= 0) {
        copy_state(fd, result);
    }
    errno = error;
    return result;
}

VTCAP_EXPORT int dup2(int fd, int target) {
    ENSURE_RESOLVED();
    const int result = real_dup2(fd, target);
    const int error = errno;
    if (result >= 0 && fd != target) {
        copy_state(fd, result);
    }
    errno = error;
    return result;
}

VTCAP_EXPORT int dup3(int fd, int target, int flags) {
    ENSURE_RESOLVED();
    const int result = real_dup3(fd, target, flags);
    const int error = errno;
    if (result >= 0) {
        copy_state(fd, result);
    }
    errno = error;
    return result;
}

static int forward_fcntl(int (*real)(int, int, ...), int fd, int command, void* argument) {
    const int result = real(fd, command, argument);
    const int error = errno;
    if (result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC)) {
        copy_state(fd, result);
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

static void untrack_range(unsigned first, unsigned last) {
    for (unsigned fd = first; fd <= last && fd < (unsigned)g_fdCapacity; ++fd) {
        untrack((int)fd);
        if (fd == UINT_MAX) {
            break;
        }
    }
}

VTCAP_EXPORT int close_range(unsigned first, unsigned last, int flags) {
    ENSURE_RESOLVED();
    if (real_close_range == NULL) {
        errno = ENOSYS;
        return -1;
    }
    const int result = real_close_range(first, last, flags);
    const int error = errno;
    if (result == 0 && ((unsigned)flags & CLOSE_RANGE_CLOEXEC) == 0) {
        untrack_range(first, last);
    }
    errno = error;
    return result;
}

VTCAP_EXPORT void closefrom(int lowest) {
    ENSURE_RESOLVED();
    if (lowest >= 0) {
        untrack_range((unsigned)lowest, UINT_MAX);
    }
    if (real_closefrom != NULL) {
        real_closefrom(lowest);
    }
}

/* Data calls: the real call first, then what it moved, with errno kept as it returned. */
#define AFTER_SEND(fd, iov, iovcnt, result) \
    do {                                    \
        const int saved = errno;            \
        on_sent(fd, iov, iovcnt, result);   \
        errno = saved;                      \
    } while (0)

#define AFTER_RECEIVE(fd, iov, iovcnt, result) \
    do {                                       \
        const int saved = errno;               \
        on_received(fd, iov, iovcnt, result);  \
        errno = saved;                         \
    } while (0)

VTCAP_EXPORT ssize_t send(int fd, const void* data, size_t length, int flags) {
    ENSURE_RESOLVED();
    const ssize_t result = real_send(fd, data, length, flags);
    if (result > 0 && tracked_state(fd) != NULL) {
        const struct iovec iov = one_buffer(data, length);
        AFTER_SEND(fd, &iov, 1, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t sendto(int fd, const void* data, size_t length, int flags,
                            const struct sockaddr* to, socklen_t toLength) {
    ENSURE_RESOLVED();
    const ssize_t result = real_sendto(fd, data, length, flags, to, toLength);
    if (result > 0 && tracked_state(fd) != NULL) {
        const struct iovec iov = one_buffer(data, length);
        AFTER_SEND(fd, &iov, 1, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t sendmsg(int fd, const struct msghdr* message, int flags) {
    ENSURE_RESOLVED();
    const ssize_t result = real_sendmsg(fd, message, flags);
    if (result > 0 && tracked_state(fd) != NULL) {
        AFTER_SEND(fd, message->msg_iov, (int)message->msg_iovlen, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t write(int fd, const void* data, size_t length) {
    ENSURE_RESOLVED();
    const ssize_t result = real_write(fd, data, length);
    if (result > 0 && tracked_state(fd) != NULL) {
        const struct iovec iov = one_buffer(data, length);
        AFTER_SEND(fd, &iov, 1, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
    ENSURE_RESOLVED();
    const ssize_t result = real_writev(fd, iov, iovcnt);
    if (result > 0 && tracked_state(fd) != NULL) {
        AFTER_SEND(fd, iov, iovcnt, result);
    }
    return result;
}

/* Bytes only peeked at stay in the socket and are reported when they are really read. */
VTCAP_EXPORT ssize_t recv(int fd, void* data, size_t length, int flags) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recv(fd, data, length, flags);
    if (result > 0 && (flags & MSG_PEEK) == 0 && tracked_state(fd) != NULL) {
        const struct iovec iov = one_buffer(data, length);
        AFTER_RECEIVE(fd, &iov, 1, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t recvfrom(int fd, void* data, size_t length, int flags, struct sockaddr* from,
                              socklen_t* fromLength) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recvfrom(fd, data, length, flags, from, fromLength);
    if (result > 0 && (flags & MSG_PEEK) == 0 && tracked_state(fd) != NULL) {
        const struct iovec iov = one_buffer(data, length);
        AFTER_RECEIVE(fd, &iov, 1, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t recvmsg(int fd, struct msghdr* message, int flags) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recvmsg(fd, message, flags);
    if (result > 0 && (flags & MSG_PEEK) == 0 && tracked_state(fd) != NULL) {
        AFTER_RECEIVE(fd, message->msg_iov, (int)message->msg_iovlen, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t read(int fd, void* data, size_t length) {
    ENSURE_RESOLVED();
    const ssize_t result = real_read(fd, data, length);
    if (result > 0 && tracked_state(fd) != NULL) {
        const struct iovec iov = one_buffer(data, length);
        AFTER_RECEIVE(fd, &iov, 1, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t readv(int fd, const struct iovec* iov, int iovcnt) {
    ENSURE_RESOLVED();
    const ssize_t result = real_readv(fd, iov, iovcnt);
    if (result > 0 && tracked_state(fd) != NULL) {
        AFTER_RECEIVE(fd, iov, iovcnt, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t __recv_chk(int fd, void* data, size_t length, size_t size, int flags) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recv_chk(fd, data, length, size, flags);
    if (result > 0 && (flags & MSG_PEEK) == 0 && tracked_state(fd) != NULL) {
        const struct iovec iov = one_buffer(data, length);
        AFTER_RECEIVE(fd, &iov, 1, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t __recvfrom_chk(int fd, void* data, size_t length, size_t size, int flags,
                                    struct sockaddr* from, socklen_t* fromLength) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recvfrom_chk(fd, data, length, size, flags, from, fromLength);
    if (result > 0 && (flags & MSG_PEEK) == 0 && tracked_state(fd) != NULL) {
        const struct iovec iov = one_buffer(data, length);
        AFTER_RECEIVE(fd, &iov, 1, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t __read_chk(int fd, void* data, size_t length, size_t size) {
    ENSURE_RESOLVED();
    const ssize_t result = real_read_chk(fd, data, length, size);
    if (result > 0 && tracked_state(fd) != NULL) {
        const struct iovec iov = one_buffer(data, length);
        AFTER_RECEIVE(fd, &iov, 1, result);
    }
    return result;
}
