/* libvtcap.so, the capture provider. Loaded into a program by vantor-run (LD_PRELOAD), it
 * reports the bytes of the program's client TCP connections (IPv4 and IPv6) that carry HTTP to
 * Vantor as records in the capture ring (capture/ChannelLayout.h, vtcap_ring.c); for a
 * connection that runs TLS, the plain text that goes through the TLS library (vtcap_tls.c).
 *
 * Rules it keeps: every call goes to the real function first and its result, errno included,
 * is returned unchanged; nothing here allocates, starts a thread or keeps a descriptor open,
 * and the only lock is the ring's, held for the few instructions of a reservation; a program
 * waits for Vantor only while the ring is full, at most VTCAP_WAIT_MS per call, and not at all
 * while capture is not running. A ring that stayed full that long is not waited for again for
 * VTCAP_PROBE_MS: records meanwhile are dropped and counted. Only libc is used. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
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
#include "vtcap_internal.h"
#include "vtcap_logic.h"
#include "vtcap_ring.h"
#include "vtcap_sessions.h"
#include "vtcap_sockets.h"

#define VTCAP_EXPORT __attribute__((visibility("default")))
#define VTCAP_WAIT_MS 2000  /* the longest a program waits for room in the ring */
#define VTCAP_PROBE_MS 1000 /* how often a program looks for a channel that is not there */
#define VTCAP_MAX_FDS (1 << 20)
#define VTCAP_CHANNEL_SLOTS 8
#define VTCAP_PATH_SIZE 4096

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

void vtcap_ensure_resolved(void) {
    ENSURE_RESOLVED();
}

/* ---- sockets ------------------------------------------------------------------------------ */

/* Per descriptor, private to the process (descriptor numbers are): which slot of the shared
 * socket table the descriptor's socket has, and its inode, to notice a slot taken over since. */
struct fd_entry {
    atomic_uint slot; /* slot index + 1; 0: not a tracked socket */
    uint32_t unused;
    uint64_t inode;
};

static struct fd_entry* g_fds;
static int g_fdCapacity;
static atomic_int g_fdHighWater; /* above every descriptor ever tracked */
static struct vtcap_socket* g_sockets;
static struct vtcap_session* g_sessions;

static uint32_t coarse_seconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return (uint32_t)now.tv_sec;
}

/* The socket a descriptor is tracked as, and its inode; NULL when it is not tracked. */
static struct vtcap_socket* tracked_socket(int fd, uint64_t* inode) {
    if (fd < 0 || fd >= g_fdCapacity || g_fds == NULL) {
        return NULL;
    }
    struct fd_entry* entry = &g_fds[fd];
    const unsigned slot = atomic_load_explicit(&entry->slot, memory_order_acquire);
    if (slot == 0) {
        return NULL;
    }
    struct vtcap_socket* socket = &g_sockets[slot - 1];
    *inode = entry->inode;
    if (atomic_load(&socket->inode) != *inode) {
        atomic_store(&entry->slot, 0); /* its slot went to another socket long ago */
        return NULL;
    }
    return socket;
}

static int is_tracked(int fd) {
    return fd >= 0 && fd < g_fdCapacity && g_fds != NULL &&
           atomic_load_explicit(&g_fds[fd].slot, memory_order_relaxed) != 0;
}

static void untrack(int fd) {
    if (fd >= 0 && fd < g_fdCapacity && g_fds != NULL) {
        atomic_store(&g_fds[fd].slot, 0);
    }
}

static void set_entry(int fd, unsigned slot, uint64_t inode) {
    struct fd_entry* entry = &g_fds[fd];
    atomic_store(&entry->slot, 0);
    entry->inode = inode;
    atomic_store_explicit(&entry->slot, slot, memory_order_release);
    int high = atomic_load(&g_fdHighWater);
    while (fd + 1 > high && !atomic_compare_exchange_weak(&g_fdHighWater, &high, fd + 1)) {
    }
}

static void copy_entry(int from, int to) {
    if (to < 0 || to >= g_fdCapacity || g_fds == NULL) {
        return;
    }
    uint64_t inode = 0;
    if (tracked_socket(from, &inode) == NULL) {
        untrack(to);
        return;
    }
    set_entry(to, atomic_load(&g_fds[from].slot), inode);
}

/* Starts tracking a socket that connect (or a sendto with MSG_FASTOPEN) connected to address:
 * TCP to an IPv4 or IPv6 peer only. A socket already tracked keeps what is known of it. */
static void track_connection(int fd, const struct sockaddr* address, socklen_t length) {
    if (fd < 0 || fd >= g_fdCapacity || g_fds == NULL || g_sockets == NULL) {
        return;
    }
    struct vtcap_peer peer;
    int type = 0;
    int protocol = 0;
    socklen_t typeLength = sizeof type;
    socklen_t protocolLength = sizeof protocol;
    struct stat status;
    if (!vtcap_peer_of(address, length, &peer) ||
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM ||
        getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &protocolLength) != 0 ||
        protocol != IPPROTO_TCP || fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) {
        untrack(fd);
        return;
    }
    const uint64_t inode = (uint64_t)status.st_ino;
    uint64_t known = 0;
    if (tracked_socket(fd, &known) != NULL && known == inode) {
        return;
    }
    struct vtcap_socket* socket =
        vtcap_socket_claim(g_sockets, VTCAP_SOCKET_SLOTS, inode, &peer, coarse_seconds());
    if (socket == NULL) {
        untrack(fd);
        return;
    }
    set_entry(fd, (unsigned)(socket - g_sockets) + 1, inode);
}

/* ---- the channel ------------------------------------------------------------------------- */

struct channel {
    atomic_uint* full;
    atomic_uint* empty;
    unsigned char* buffer;
    struct vtcap_ring ring;
    pid_t owner;
    int sameNamespace; /* Vantor sees our process ids as we do */
    atomic_int inUse;  /* 0 free, 1 mapped, 2 retired: waiting to be unmapped */
};

static char g_channelFolder[VTCAP_PATH_SIZE]; /* the private folder holding the channel file */
static int g_channelKnown;
static long g_utcOffset;

static struct channel g_channels[VTCAP_CHANNEL_SLOTS];
static _Atomic(struct channel*) g_current;
static atomic_int g_users;       /* hooks using g_current right now */
static atomic_llong g_nextProbe; /* when to look for a channel next, monotonic ms */
static atomic_llong g_fullUntil; /* until when the ring counts as full, monotonic ms */
static atomic_int g_probing;

static __thread int t_inHook __attribute__((tls_model("initial-exec")));
/* Inside the real call of a TLS library function: how deep, and the tracked socket (+ 1) that
 * call moved bytes on, if any. */
static __thread int t_tlsDepth __attribute__((tls_model("initial-exec")));
static __thread int t_tlsSocket __attribute__((tls_model("initial-exec")));

static int owner_alive(const void* context) {
    /* A Vantor in another process id namespace cannot be asked; its stop closes the events. */
    const struct channel* channel = context;
    const int saved = errno;
    const int alive = !channel->sameNamespace || kill(channel->owner, 0) == 0 || errno == EPERM;
    errno = saved;
    return alive;
}

static void* map_object(const char* name, size_t size) {
    const int fd = shm_open(name, O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd < 0) {
        return NULL;
    }
    struct stat status;
    void* mapped = MAP_FAILED;
    if (fstat(fd, &status) == 0 && status.st_uid == geteuid() && (status.st_mode & 077) == 0 &&
        (size_t)status.st_size >= size) {
        mapped = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    real_close(fd);
    return mapped == MAP_FAILED ? NULL : mapped;
}

/* Reads the channel file from the private folder, trusting neither unless they are the
 * user's own and closed to others: the tag and Vantor's process id namespace. */
static int read_channel_file(char tag[VANTOR_CHANNEL_TAG_SIZE], unsigned long long* namespace) {
    const int folder = open(g_channelFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) {
        return 0;
    }
    struct stat status;
    int fd = -1;
    if (fstat(folder, &status) == 0 && status.st_uid == geteuid() && (status.st_mode & 077) == 0) {
        fd = openat(folder, VANTOR_CHANNEL_FILE_NAME,
                    O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    }
    real_close(folder);
    if (fd < 0) {
        return 0;
    }
    char text[VANTOR_CHANNEL_FILE_MAX];
    ssize_t length = -1;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid()) {
        length = real_read(fd, text, sizeof text);
    }
    real_close(fd);
    return length > 0 && vantor_parse_channel_file(text, (size_t)length, tag, namespace);
}

static unsigned long long own_pid_namespace(void) {
    struct stat status;
    return stat("/proc/self/ns/pid", &status) == 0 ? (unsigned long long)status.st_ino : 0;
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
    atomic_store(&g_nextProbe, vtcap_monotonic_ms() + VTCAP_PROBE_MS);
}

static void map_channel(struct channel* slot, const char* tag, unsigned long long namespace) {
    char fullName[VANTOR_OBJECT_NAME_SIZE];
    char emptyName[VANTOR_OBJECT_NAME_SIZE];
    char bufferName[VANTOR_OBJECT_NAME_SIZE];
    void* full = NULL;
    void* empty = NULL;
    void* buffer = NULL;
    if (vantor_object_name(fullName, sizeof fullName, VANTOR_FULL_EVENT_NAME, tag) &&
        vantor_object_name(emptyName, sizeof emptyName, VANTOR_EMPTY_EVENT_NAME, tag) &&
        vantor_object_name(bufferName, sizeof bufferName, VANTOR_BUFFER_NAME, tag)) {
        full = map_object(fullName, VANTOR_EVENT_OBJECT_SIZE);
        empty = full ? map_object(emptyName, VANTOR_EVENT_OBJECT_SIZE) : NULL;
        buffer = empty ? map_object(bufferName, VANTOR_BUFFER_SIZE) : NULL;
    }
    if (buffer != NULL) {
        slot->full = (atomic_uint*)((unsigned char*)full + VANTOR_EVENT_STATE_OFFSET);
        slot->empty = (atomic_uint*)((unsigned char*)empty + VANTOR_EVENT_STATE_OFFSET);
        slot->buffer = buffer;
        memcpy(&slot->owner, (unsigned char*)full + VANTOR_EVENT_OWNER_OFFSET, sizeof slot->owner);
        slot->sameNamespace = namespace != 0 && namespace == own_pid_namespace();
        slot->ring = (struct vtcap_ring){buffer, slot->full, slot->empty, owner_alive, slot};
    }
    const int usable =
        buffer != NULL && (atomic_load(slot->full) & VANTOR_EVENT_CLOSED) == 0 && owner_alive(slot);
    if (usable) {
        struct channel* expected = NULL;
        atomic_store(&g_fullUntil, 0);
        if (!atomic_compare_exchange_strong(&g_current, &expected, slot)) {
            atomic_store(&slot->inUse, 2);
        }
        return;
    }
    if (full)
        munmap(full, VANTOR_EVENT_OBJECT_SIZE);
    if (empty)
        munmap(empty, VANTOR_EVENT_OBJECT_SIZE);
    if (buffer)
        munmap(buffer, VANTOR_BUFFER_SIZE);
    atomic_store(&slot->inUse, 0);
}

static void probe(void) {
    if (!g_channelKnown || atomic_exchange(&g_probing, 1)) {
        return;
    }
    atomic_store(&g_nextProbe, vtcap_monotonic_ms() + VTCAP_PROBE_MS);
    sweep_retired();
    char tag[VANTOR_CHANNEL_TAG_SIZE];
    unsigned long long namespace = 0;
    if (read_channel_file(tag, &namespace)) {
        for (int i = 0; i < VTCAP_CHANNEL_SLOTS; ++i) {
            int free = 0;
            if (atomic_compare_exchange_strong(&g_channels[i].inUse, &free, 1)) {
                map_channel(&g_channels[i], tag, namespace);
                break;
            }
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
        /* Capture stopped: a capture started again meanwhile is looked for at once. */
        retire_current(channel);
        atomic_store(&g_nextProbe, 0);
    }
    if (vtcap_monotonic_ms() >= atomic_load(&g_nextProbe)) {
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

/* How this process names itself in the ring: its process id, when Vantor can look it up. */
static uint32_t ring_holder(const struct channel* channel) {
    const unsigned holder = channel->sameNamespace ? (unsigned)getpid() : 0u;
    if (holder == 0 || holder >= (1u << (32 - VANTOR_EVENT_HOLDER_SHIFT))) {
        return VANTOR_EVENT_UNKNOWN_HOLDER;
    }
    return holder;
}

static void local_time(uint16_t out[8]) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    vtcap_calendar_time((int64_t)now.tv_sec, (unsigned)(now.tv_nsec / 1000000), g_utcOffset, out);
}

/* Writes the transfer as records of at most VANTOR_MAX_RECORD_DATA bytes (the peer extension
 * of an IPv6 peer included); the first carries the direction of the stream's transfer before
 * this one. */
static void report(int fd, const struct vtcap_socket* socket, uint64_t inode, uint32_t direction,
                   uint32_t previous, const struct vtcap_source* source, size_t total) {
    if (total == 0 || t_inHook) {
        return; /* nothing moved, or a signal handler inside our own hand-over */
    }
    t_inHook = 1;
    struct channel* channel = acquire();
    if (channel != NULL) {
        /* The descriptor may have been closed behind our back (fclose, a raw syscall) and now
         * be something else: only the socket that connected is reported. */
        struct stat status;
        struct vtcap_peer peer;
        if (fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode) ||
            (uint64_t)status.st_ino != inode) {
            untrack(fd);
        } else if (vtcap_socket_peer(socket, inode, &peer)) {
            uint16_t time[8];
            local_time(time);
            const int64_t now = vtcap_monotonic_ms();
            const size_t extension = vtcap_peer_extension_size(&peer);
            const size_t most = VANTOR_MAX_RECORD_DATA - extension;
            const uint64_t records = (total + most - 1) / most;
            uint64_t written = 0;
            int outcome = VTCAP_RING_TIMED_OUT;
            if (now >= atomic_load(&g_fullUntil)) {
                const int64_t deadline = now + VTCAP_WAIT_MS;
                const uint32_t holder = ring_holder(channel);
                for (size_t offset = 0; offset < total; offset += most, ++written) {
                    const size_t count = total - offset < most ? total - offset : most;
                    unsigned char* record = NULL;
                    outcome = vtcap_ring_reserve(&channel->ring,
                                                 VANTOR_RECORD_HEADER_SIZE + extension + count,
                                                 holder, deadline, &record);
                    if (outcome != VTCAP_RING_RESERVED) {
                        break;
                    }
                    unsigned char* data = record + VANTOR_RECORD_HEADER_SIZE;
                    vtcap_write_header(record, direction, offset == 0 ? previous : direction,
                                       (uint32_t)inode, &peer, (uint32_t)(extension + count), time);
                    vtcap_write_peer_extension(data, &peer);
                    vtcap_gather(data + extension, source, offset, count);
                    vtcap_ring_commit(&channel->ring, record);
                }
            }
            if (outcome == VTCAP_RING_CLOSED) {
                retire_current(channel); /* not now; look again in a while */
            } else if (written < records) {
                /* Vantor runs but does not keep up: the program goes on, the user is told. */
                if (outcome == VTCAP_RING_TIMED_OUT && now >= atomic_load(&g_fullUntil)) {
                    atomic_store(&g_fullUntil, vtcap_monotonic_ms() + VTCAP_PROBE_MS);
                }
                vtcap_ring_count_dropped(&channel->ring, records - written);
            }
        }
        release();
    }
    t_inHook = 0;
}

/* Decides on the first bytes a client sends whether its connection is HTTP, holding them back
 * until it is decided. The verdict; for VTCAP_HTTP, held receives the bytes held back so far,
 * which go out before the call's own. */
static unsigned decide(struct vtcap_stream* socket, const struct vtcap_source* source, size_t moved,
                       char held[VTCAP_CLASSIFY_BYTES], size_t* heldLength) {
    unsigned idle = 0;
    if (!atomic_compare_exchange_strong(&socket->deciding, &idle, 1)) {
        /* Two senders at once before the first request line: nothing that can be put in order. */
        atomic_store(&socket->http, VTCAP_NOT_HTTP);
        return VTCAP_NOT_HTTP;
    }
    unsigned verdict = atomic_load(&socket->http);
    if (verdict == VTCAP_UNDECIDED) {
        char first[VTCAP_CLASSIFY_BYTES];
        size_t had = socket->heldLength;
        if (had > VTCAP_CLASSIFY_BYTES) {
            had = VTCAP_CLASSIFY_BYTES;
        }
        size_t take = VTCAP_CLASSIFY_BYTES - had;
        if (take > moved) {
            take = moved;
        }
        memcpy(first, socket->held, had);
        vtcap_gather((unsigned char*)first + had, source, 0, take);
        const int found = vtcap_classify(first, had + take);
        if (found == VTCAP_UNDECIDED) {
            memcpy(socket->held, first, had + take);
            socket->heldLength = (uint32_t)(had + take);
        } else {
            memcpy(held, first, had);
            *heldLength = had;
            socket->heldLength = 0;
            unsigned expected = VTCAP_UNDECIDED;
            /* A receive that came first has made it "not HTTP" meanwhile. */
            atomic_compare_exchange_strong(&socket->http, &expected, (unsigned)found);
        }
        verdict = atomic_load(&socket->http);
    }
    atomic_store(&socket->deciding, 0);
    return verdict;
}

/* A socket's own bytes moved inside a TLS library call are the session's records: never
 * reported, and the socket stream can no longer turn out to be HTTP. The socket is the one the
 * session runs over. */
static int inside_tls(int fd, struct vtcap_socket* socket) {
    if (t_tlsDepth == 0) {
        return 0;
    }
    t_tlsSocket = fd + 1;
    unsigned undecided = VTCAP_UNDECIDED;
    atomic_compare_exchange_strong(&socket->streams[VTCAP_STREAM_SOCKET].http, &undecided,
                                   VTCAP_NOT_HTTP);
    return 1;
}

static void on_sent(int fd, int streamIndex, const struct iovec* iov, int iovcnt, size_t moved) {
    uint64_t inode = 0;
    struct vtcap_socket* socket = tracked_socket(fd, &inode);
    if (socket == NULL || moved == 0) {
        return;
    }
    vtcap_socket_touch(socket, coarse_seconds());
    if (streamIndex == VTCAP_STREAM_SOCKET && inside_tls(fd, socket)) {
        return;
    }
    struct vtcap_stream* stream = &socket->streams[streamIndex];
    struct vtcap_source source = {NULL, 0, iov, iovcnt};
    char held[VTCAP_CLASSIFY_BYTES];
    size_t heldLength = 0;
    unsigned http = atomic_load(&stream->http);
    if (http == VTCAP_UNDECIDED) {
        http = decide(stream, &source, moved, held, &heldLength);
        source.held = held;
        source.heldLength = heldLength;
    }
    if (http != VTCAP_HTTP) {
        return;
    }
    const uint32_t previous = atomic_exchange(&stream->previous, VANTOR_DIRECTION_SENT);
    report(fd, socket, inode, VANTOR_DIRECTION_SENT, previous, &source, heldLength + moved);
}

/* kind: what the call did to the stream (vtcap_receive_kind). The direction moves on whether
 * or not the bytes can be reported. */
static void on_received(int fd, int streamIndex, const struct iovec* iov, int iovcnt, size_t moved,
                        int kind) {
    uint64_t inode = 0;
    struct vtcap_socket* socket = tracked_socket(fd, &inode);
    if (socket == NULL || moved == 0 || kind == VTCAP_RECEIVE_IGNORE) {
        return;
    }
    vtcap_socket_touch(socket, coarse_seconds());
    if (streamIndex == VTCAP_STREAM_SOCKET && inside_tls(fd, socket)) {
        return;
    }
    struct vtcap_stream* stream = &socket->streams[streamIndex];
    unsigned http = atomic_load(&stream->http);
    /* A sender deciding right now (another descriptor or process) has sent the request this
     * answers: give it a moment to say so. */
    for (int i = 0; i < 64 && http == VTCAP_UNDECIDED && atomic_load(&stream->deciding); ++i) {
        sched_yield();
        http = atomic_load(&stream->http);
    }
    if (http == VTCAP_UNDECIDED) {
        unsigned expected = VTCAP_UNDECIDED;
        if (atomic_compare_exchange_strong(&stream->http, &expected, VTCAP_NOT_HTTP)) {
            return; /* the server spoke first: not HTTP */
        }
        http = expected;
    }
    if (http != VTCAP_HTTP) {
        return;
    }
    const uint32_t previous = atomic_exchange(&stream->previous, VANTOR_DIRECTION_RECEIVED);
    if (kind == VTCAP_RECEIVE_DATA) {
        const struct vtcap_source source = {NULL, 0, iov, iovcnt};
        report(fd, socket, inode, VANTOR_DIRECTION_RECEIVED, previous, &source,
               vtcap_iov_capacity(iov, iovcnt, moved));
    }
}

/* ---- what the TLS hooks use ---------------------------------------------------------------- */

int vtcap_tls_enter(void) {
    const int outer = t_tlsSocket;
    t_tlsSocket = 0;
    ++t_tlsDepth;
    return outer;
}

int vtcap_tls_leave(int outer) {
    const int seen = t_tlsSocket - 1;
    --t_tlsDepth;
    t_tlsSocket = outer;
    return seen;
}

int vtcap_tracked_inode(int fd, uint64_t* inode) {
    return tracked_socket(fd, inode) != NULL;
}

void vtcap_plain_sent(int fd, const void* data, size_t length) {
    const struct iovec iov = {(void*)data, length};
    on_sent(fd, VTCAP_STREAM_TLS, &iov, 1, length);
}

void vtcap_plain_received(int fd, const void* data, size_t length) {
    const struct iovec iov = {(void*)data, length};
    on_received(fd, VTCAP_STREAM_TLS, &iov, 1, length, VTCAP_RECEIVE_DATA);
}

struct vtcap_session* vtcap_sessions(void) {
    return g_sessions;
}

/* ---- set-up ------------------------------------------------------------------------------ */

static void find_channel_folder(void) {
    const char* given = getenv(VANTOR_CHANNEL_VARIABLE);
    int known = 0;
    if (given != NULL && given[0] == '/' && strlen(given) < sizeof g_channelFolder) {
        strcpy(g_channelFolder, given);
        char* slash = strrchr(g_channelFolder, '/');
        known = slash != g_channelFolder && strcmp(slash + 1, VANTOR_CHANNEL_FILE_NAME) == 0;
        *slash = '\0';
    } else {
        char runtime[VTCAP_PATH_SIZE];
        known = vantor_runtime_folder(runtime, sizeof runtime, getenv("XDG_RUNTIME_DIR"),
                                      getenv("TMPDIR"), (unsigned long)geteuid());
        if (known) {
            const int length = snprintf(g_channelFolder, sizeof g_channelFolder, "%s/%s", runtime,
                                        VANTOR_PRIVATE_FOLDER_NAME);
            known = length > 0 && (size_t)length < sizeof g_channelFolder;
        }
    }
    g_channelKnown = known;
}

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
    /* Untouched pages of either table cost nothing. The socket table is shared with every
     * process forked from this one. */
    void* fds = mmap(NULL, (size_t)capacity * sizeof(struct fd_entry), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    void* sockets = mmap(NULL, VTCAP_SOCKET_SLOTS * sizeof(struct vtcap_socket),
                         PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    void* sessions =
        mmap(NULL, VTCAP_SESSION_SLOTS * sizeof(struct vtcap_session), PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (fds != MAP_FAILED && sockets != MAP_FAILED && sessions != MAP_FAILED) {
        g_sockets = sockets;
        g_sessions = sessions;
        g_fds = fds;
        g_fdCapacity = (int)capacity;
    }

    find_channel_folder();

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
    const int result = real_connect(fd, address, length);
    const int error = errno;
    if (result == 0 || error == EINPROGRESS || error == EINTR) {
        track_connection(fd, address, length);
    } else if (error != EALREADY && error != EISCONN) {
        untrack(fd); /* asked again while connecting, or connected: it stays as it is */
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
        copy_entry(fd, result);
    }
    errno = error;
    return result;
}

VTCAP_EXPORT int dup2(int fd, int target) {
    ENSURE_RESOLVED();
    const int result = real_dup2(fd, target);
    const int error = errno;
    if (result >= 0 && fd != target) {
        copy_entry(fd, result);
    }
    errno = error;
    return result;
}

VTCAP_EXPORT int dup3(int fd, int target, int flags) {
    ENSURE_RESOLVED();
    const int result = real_dup3(fd, target, flags);
    const int error = errno;
    if (result >= 0) {
        copy_entry(fd, result);
    }
    errno = error;
    return result;
}

static int forward_fcntl(int (*real)(int, int, ...), int fd, int command, void* argument) {
    const int result = real(fd, command, argument);
    const int error = errno;
    if (result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC)) {
        copy_entry(fd, result);
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

/* Only descriptors below the highest one ever tracked can be tracked: a program closing every
 * descriptor up to the limit does not walk (and touch) the whole table. */
static void untrack_range(unsigned first, unsigned last) {
    const unsigned high = (unsigned)atomic_load(&g_fdHighWater);
    for (unsigned fd = first; fd <= last && fd < high; ++fd) {
        untrack((int)fd);
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
static void after_send(int fd, const struct iovec* iov, int iovcnt, ssize_t result) {
    const int saved = errno;
    on_sent(fd, VTCAP_STREAM_SOCKET, iov, iovcnt, vtcap_iov_capacity(iov, iovcnt, (size_t)result));
    errno = saved;
}

static void after_receive(int fd, const struct iovec* iov, int iovcnt, ssize_t result, int kind) {
    const int saved = errno;
    on_received(fd, VTCAP_STREAM_SOCKET, iov, iovcnt, (size_t)result, kind);
    errno = saved;
}

/* A sendto or sendmsg with MSG_FASTOPEN connects the socket as it sends. */
static void after_fast_open(int fd, int flags, const struct sockaddr* to, socklen_t toLength,
                            ssize_t result) {
    if ((flags & MSG_FASTOPEN) != 0 && to != NULL && (result >= 0 || errno == EINPROGRESS) &&
        !is_tracked(fd)) {
        const int saved = errno;
        track_connection(fd, to, toLength);
        errno = saved;
    }
}

VTCAP_EXPORT ssize_t send(int fd, const void* data, size_t length, int flags) {
    ENSURE_RESOLVED();
    const ssize_t result = real_send(fd, data, length, flags);
    if (result > 0 && is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_send(fd, &iov, 1, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t sendto(int fd, const void* data, size_t length, int flags,
                            const struct sockaddr* to, socklen_t toLength) {
    ENSURE_RESOLVED();
    const ssize_t result = real_sendto(fd, data, length, flags, to, toLength);
    after_fast_open(fd, flags, to, toLength, result);
    if (result > 0 && is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_send(fd, &iov, 1, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t sendmsg(int fd, const struct msghdr* message, int flags) {
    ENSURE_RESOLVED();
    const ssize_t result = real_sendmsg(fd, message, flags);
    if (message != NULL) {
        after_fast_open(fd, flags, (const struct sockaddr*)message->msg_name, message->msg_namelen,
                        result);
    }
    if (result > 0 && is_tracked(fd)) {
        after_send(fd, message->msg_iov, (int)message->msg_iovlen, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t write(int fd, const void* data, size_t length) {
    ENSURE_RESOLVED();
    const ssize_t result = real_write(fd, data, length);
    if (result > 0 && is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_send(fd, &iov, 1, result);
    }
    return result;
}

VTCAP_EXPORT ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
    ENSURE_RESOLVED();
    const ssize_t result = real_writev(fd, iov, iovcnt);
    if (result > 0 && is_tracked(fd)) {
        after_send(fd, iov, iovcnt, result);
    }
    return result;
}

/* Bytes only peeked at stay in the socket and are reported when they are really read; bytes
 * discarded with MSG_TRUNC were never in the buffer. */
VTCAP_EXPORT ssize_t recv(int fd, void* data, size_t length, int flags) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recv(fd, data, length, flags);
    if (result > 0 && is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_receive(fd, &iov, 1, result, vtcap_receive_kind(flags));
    }
    return result;
}

VTCAP_EXPORT ssize_t recvfrom(int fd, void* data, size_t length, int flags, struct sockaddr* from,
                              socklen_t* fromLength) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recvfrom(fd, data, length, flags, from, fromLength);
    if (result > 0 && is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_receive(fd, &iov, 1, result, vtcap_receive_kind(flags));
    }
    return result;
}

VTCAP_EXPORT ssize_t recvmsg(int fd, struct msghdr* message, int flags) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recvmsg(fd, message, flags);
    if (result > 0 && is_tracked(fd)) {
        after_receive(fd, message->msg_iov, (int)message->msg_iovlen, result,
                      vtcap_receive_kind(flags));
    }
    return result;
}

VTCAP_EXPORT ssize_t read(int fd, void* data, size_t length) {
    ENSURE_RESOLVED();
    const ssize_t result = real_read(fd, data, length);
    if (result > 0 && is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_receive(fd, &iov, 1, result, VTCAP_RECEIVE_DATA);
    }
    return result;
}

VTCAP_EXPORT ssize_t readv(int fd, const struct iovec* iov, int iovcnt) {
    ENSURE_RESOLVED();
    const ssize_t result = real_readv(fd, iov, iovcnt);
    if (result > 0 && is_tracked(fd)) {
        after_receive(fd, iov, iovcnt, result, VTCAP_RECEIVE_DATA);
    }
    return result;
}

VTCAP_EXPORT ssize_t __recv_chk(int fd, void* data, size_t length, size_t size, int flags) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recv_chk(fd, data, length, size, flags);
    if (result > 0 && is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_receive(fd, &iov, 1, result, vtcap_receive_kind(flags));
    }
    return result;
}

VTCAP_EXPORT ssize_t __recvfrom_chk(int fd, void* data, size_t length, size_t size, int flags,
                                    struct sockaddr* from, socklen_t* fromLength) {
    ENSURE_RESOLVED();
    const ssize_t result = real_recvfrom_chk(fd, data, length, size, flags, from, fromLength);
    if (result > 0 && is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_receive(fd, &iov, 1, result, vtcap_receive_kind(flags));
    }
    return result;
}

VTCAP_EXPORT ssize_t __read_chk(int fd, void* data, size_t length, size_t size) {
    ENSURE_RESOLVED();
    const ssize_t result = real_read_chk(fd, data, length, size);
    if (result > 0 && is_tracked(fd)) {
        const struct iovec iov = one_buffer(data, length);
        after_receive(fd, &iov, 1, result, VTCAP_RECEIVE_DATA);
    }
    return result;
}
