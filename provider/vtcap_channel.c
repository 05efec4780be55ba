#define _GNU_SOURCE
#include "vtcap_channel.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "capture/ChannelLayout.h"

#define VTCAP_PROBE_MS 1000 /* how often a process looks for a capture that is not there */
/* The longest a thread waits for another thread's look, as long as for room in the ring: on a
 * busy machine making the ring can take far longer than its usual millisecond. */
#define VTCAP_PROBE_WAIT_MS 2000
#define VTCAP_CHANNEL_SLOTS 8
#define VTCAP_PATH_SIZE 4096
#define VTCAP_NAME_SIZE 256
/* The connection's descriptor is moved this far below the limit, out of the way of programs
 * that count on the lowest free numbers. */
#define VTCAP_HIGH_DESCRIPTORS 64

static char g_folder[VTCAP_PATH_SIZE]; /* the private folder holding the socket */
static char g_socketName[VTCAP_NAME_SIZE];
static int g_located;

static struct vtcap_channel g_channels[VTCAP_CHANNEL_SLOTS];
static _Atomic(struct vtcap_channel*) g_current;
static atomic_int g_users;       /* hooks using g_current right now */
static atomic_llong g_nextProbe; /* when to look for a capture next, monotonic ms */
static atomic_int g_probing;

static void close_descriptor(int fd) {
    syscall(SYS_close, fd);
}

void vtcap_channel_locate(const char* socketPath, const char* runtimeDir, const char* tmpDir) {
    g_located = 0;
    if (socketPath != NULL && socketPath[0] == '/' && strlen(socketPath) < sizeof g_folder) {
        strcpy(g_folder, socketPath);
        char* slash = strrchr(g_folder, '/');
        if (slash == g_folder || slash[1] == '\0' || strlen(slash + 1) >= sizeof g_socketName) {
            return;
        }
        strcpy(g_socketName, slash + 1);
        *slash = '\0';
        g_located = 1;
        return;
    }
    char runtime[VTCAP_PATH_SIZE];
    if (!vantor_runtime_folder(runtime, sizeof runtime, runtimeDir, tmpDir,
                               (unsigned long)geteuid())) {
        return;
    }
    const int length =
        snprintf(g_folder, sizeof g_folder, "%s/%s", runtime, VANTOR_PRIVATE_FOLDER_NAME);
    strcpy(g_socketName, VANTOR_CHANNEL_SOCKET_NAME);
    g_located = length > 0 && (size_t)length < sizeof g_folder;
}

/* ---- the connection ---------------------------------------------------------------------- */

/* Connects to Vantor's socket in the private folder, trusting neither unless they are the
 * user's own: the folder closed to others, the listener the user (or root). -1 when not. */
static int connect_to_vantor(void) {
    const int folder = open(g_folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) {
        return -1;
    }
    struct stat status;
    int fd = -1;
    if (fstat(folder, &status) == 0 && status.st_uid == geteuid() && (status.st_mode & 077) == 0) {
        fd = (int)syscall(SYS_socket, AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    }
    int connected = 0;
    if (fd >= 0) {
        /* Through the folder just checked, whatever the length of its path; the path itself
         * where /proc is not there. */
        struct sockaddr_un address;
        memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        for (int way = 0; way < 2 && !connected; ++way) {
            const int length =
                way == 0 ? snprintf(address.sun_path, sizeof address.sun_path,
                                    "/proc/self/fd/%d/%s", folder, g_socketName)
                         : snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", g_folder,
                                    g_socketName);
            if (length > 0 && (size_t)length < sizeof address.sun_path) {
                connected = syscall(SYS_connect, fd, (const struct sockaddr*)&address,
                                    (socklen_t)(offsetof(struct sockaddr_un, sun_path) +
                                                (size_t)length + 1)) == 0;
            }
        }
        struct ucred peer;
        socklen_t peerLength = sizeof peer;
        if (connected &&
            (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 ||
             (peer.uid != geteuid() && peer.uid != 0))) {
            connected = 0;
        }
    }
    close_descriptor(folder);
    if (!connected) {
        if (fd >= 0) {
            close_descriptor(fd);
        }
        return -1;
    }
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur > 4 * VTCAP_HIGH_DESCRIPTORS) {
        const int high = (int)syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC,
                                      (int)(limit.rlim_cur - VTCAP_HIGH_DESCRIPTORS));
        if (high >= 0) {
            close_descriptor(fd);
            fd = high;
        }
    }
    return fd;
}

static void put32(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = (unsigned char)(value >> (8 * i));
    }
}

/* The hello message, with the ring's descriptor when there is one. */
static int send_hello(int fd, int ring, uint32_t status) {
    unsigned char hello[VANTOR_HELLO_SIZE];
    memset(hello, 0, sizeof hello);
    put32(hello + VANTOR_HELLO_MAGIC_OFFSET, VANTOR_HELLO_MAGIC);
    put32(hello + VANTOR_HELLO_PID_OFFSET, (uint32_t)getpid());
    put32(hello + VANTOR_HELLO_STATUS_OFFSET, status);
    struct iovec iov = {hello, sizeof hello};
    union {
        struct cmsghdr align;
        char buffer[CMSG_SPACE(sizeof(int))];
    } control;
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    if (ring >= 0) {
        memset(&control, 0, sizeof control);
        message.msg_control = control.buffer;
        message.msg_controllen = sizeof control.buffer;
        struct cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(header), &ring, sizeof ring);
    }
    return syscall(SYS_sendmsg, fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT) ==
           (long)VANTOR_HELLO_SIZE;
}

/* A ring object with its pages allocated now (a full memory shows here, not as a crash on a
 * later write), sealed so that it can never shrink under Vantor's reader. Its descriptor and
 * mapping, or -1 with *status why not. */
static int make_ring(unsigned char** object, uint32_t* status) {
    *status = VANTOR_HELLO_NO_MEMORY;
    const int fd =
        (int)syscall(SYS_memfd_create, "vantor-ring", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        return -1;
    }
    void* mapped = MAP_FAILED;
    if (syscall(SYS_ftruncate, fd, (off_t)VANTOR_RING_OBJECT_SIZE) == 0 &&
        syscall(SYS_fallocate, fd, 0, (off_t)0, (off_t)VANTOR_RING_OBJECT_SIZE) == 0 &&
        syscall(SYS_fcntl, fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0) {
        mapped = mmap(NULL, VANTOR_RING_OBJECT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (mapped == MAP_FAILED) {
        close_descriptor(fd);
        return -1;
    }
    *object = mapped;
    *status = VANTOR_HELLO_RING;
    return fd;
}

/* ---- what the ring asks of the connection ------------------------------------------------- */

static int connection(const struct vtcap_channel* channel) {
    const int fd = atomic_load(&channel->socket);
    if (fd < 0) {
        return -1;
    }
    struct stat status;
    return fstat(fd, &status) == 0 && (uint64_t)status.st_ino == channel->socketInode ? fd : -1;
}

static int vantor_alive(const void* context) {
    const int saved = errno;
    const int fd = connection(context);
    struct pollfd poll = {fd, 0, 0};
    const int alive = fd >= 0 && syscall(SYS_poll, &poll, 1, 0) >= 0 &&
                      (poll.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
    errno = saved;
    return alive;
}

static void ring_doorbell(const void* context) {
    const int saved = errno;
    const int fd = connection(context);
    const char bell = 1;
    if (fd >= 0) {
        syscall(SYS_sendto, fd, &bell, 1, MSG_DONTWAIT | MSG_NOSIGNAL, NULL, 0);
    }
    errno = saved;
}

/* ---- making and letting go ----------------------------------------------------------------- */

static void free_slot(struct vtcap_channel* channel) {
    munmap(channel->object, VANTOR_RING_OBJECT_SIZE);
    const int fd = atomic_exchange(&channel->socket, -1);
    if (fd >= 0) {
        close_descriptor(fd);
    }
    atomic_store(&channel->inUse, 0);
}

/* Unmaps channels let go that no hook can still be using. Everything that wants a channel
 * first counts itself in g_users and only then reads g_current, so with g_current already
 * pointing elsewhere, no user means nobody holds one let go. */
static void sweep(void) {
    if (atomic_load(&g_users) != 0) {
        return;
    }
    for (int i = 0; i < VTCAP_CHANNEL_SLOTS; ++i) {
        if (atomic_load(&g_channels[i].inUse) == 2) {
            free_slot(&g_channels[i]);
        }
    }
}

static int make_channel(struct vtcap_channel* slot) {
    const int fd = connect_to_vantor();
    if (fd < 0) {
        return 0;
    }
    unsigned char* object = NULL;
    uint32_t status = VANTOR_HELLO_RING;
    const int ring = make_ring(&object, &status);
    struct stat socketStatus;
    const int said = send_hello(fd, ring, status) && fstat(fd, &socketStatus) == 0;
    if (ring >= 0) {
        close_descriptor(ring); /* Vantor holds its own */
    }
    if (!said || ring < 0) {
        if (object != NULL) {
            munmap(object, VANTOR_RING_OBJECT_SIZE);
        }
        close_descriptor(fd);
        return 0;
    }
    slot->object = object;
    slot->socketInode = (uint64_t)socketStatus.st_ino;
    atomic_store(&slot->socket, fd);
    slot->ring = (struct vtcap_ring){object, vantor_alive, ring_doorbell, slot};
    return 1;
}

/* Waits for a look another thread is taking right now, so that its threads' first records are
 * not left out: yielding at first (it usually takes a millisecond or so), then sleeping a
 * millisecond at a time, at most VTCAP_PROBE_WAIT_MS (a thread stopped half way holds up the
 * others no longer). */
static void wait_for_probe(void) {
    const int64_t until = vtcap_monotonic_ms() + VTCAP_PROBE_WAIT_MS;
    for (unsigned round = 0; atomic_load(&g_probing) && vtcap_monotonic_ms() < until; ++round) {
        if (round < 100) {
            sched_yield();
        } else {
            const struct timespec slice = {0, 1000000};
            syscall(SYS_nanosleep, &slice, NULL);
        }
    }
}

static void probe(void) {
    if (!g_located) {
        return;
    }
    if (atomic_exchange(&g_probing, 1)) {
        wait_for_probe();
        return;
    }
    atomic_store(&g_nextProbe, vtcap_monotonic_ms() + VTCAP_PROBE_MS);
    sweep();
    for (int i = 0; i < VTCAP_CHANNEL_SLOTS; ++i) {
        int free = 0;
        if (atomic_compare_exchange_strong(&g_channels[i].inUse, &free, 1)) {
            if (!make_channel(&g_channels[i])) {
                atomic_store(&g_channels[i].inUse, 0);
                break;
            }
            struct vtcap_channel* expected = NULL;
            if (!atomic_compare_exchange_strong(&g_current, &expected, &g_channels[i])) {
                atomic_store(&g_channels[i].inUse, 2);
            }
            break;
        }
    }
    atomic_store(&g_probing, 0);
}

void vtcap_channel_let_go(struct vtcap_channel* expected) {
    if (atomic_compare_exchange_strong(&g_current, &expected, NULL)) {
        atomic_store(&expected->inUse, 2);
    }
    atomic_store(&g_nextProbe, vtcap_monotonic_ms() + VTCAP_PROBE_MS);
}

struct vtcap_channel* vtcap_channel_acquire(void) {
    atomic_fetch_add(&g_users, 1);
    struct vtcap_channel* channel = atomic_load(&g_current);
    if (channel != NULL && !vtcap_ring_closed(&channel->ring)) {
        return channel;
    }
    atomic_fetch_sub(&g_users, 1);
    if (channel != NULL) {
        /* Capture stopped: a capture started again meanwhile is looked for at once. */
        vtcap_channel_let_go(channel);
        atomic_store(&g_nextProbe, 0);
    }
    /* The time of the next look first: a look moves it on only after it began, so a time not
     * yet come means a look that we then see running, or see done. */
    const int64_t nextProbe = atomic_load(&g_nextProbe);
    if (atomic_load(&g_probing) || vtcap_monotonic_ms() >= nextProbe) {
        probe();
    }
    /* Looked at again either way: another thread's look may have ended between our first
     * glance and our look at g_probing. A glance first, so that a process with no capture
     * pays no more than loads. */
    if (atomic_load(&g_current) == NULL) {
        return NULL;
    }
    atomic_fetch_add(&g_users, 1);
    channel = atomic_load(&g_current);
    if (channel != NULL && !vtcap_ring_closed(&channel->ring)) {
        return channel;
    }
    atomic_fetch_sub(&g_users, 1);
    return NULL;
}

void vtcap_channel_release(void) {
    atomic_fetch_sub(&g_users, 1);
}

void vtcap_channel_descriptors_closing(unsigned first, unsigned last) {
    for (int i = 0; i < VTCAP_CHANNEL_SLOTS; ++i) {
        struct vtcap_channel* channel = &g_channels[i];
        const int fd = atomic_load(&channel->socket);
        if (atomic_load(&channel->inUse) != 0 && fd >= 0 && (unsigned)fd >= first &&
            (unsigned)fd <= last) {
            /* The program takes the number: never closed or written by us again. */
            int expected = fd;
            if (atomic_compare_exchange_strong(&channel->socket, &expected, -1)) {
                vtcap_channel_let_go(channel);
            }
        }
    }
}

void vtcap_channel_forget_after_fork(void) {
    atomic_store(&g_current, NULL);
    for (int i = 0; i < VTCAP_CHANNEL_SLOTS; ++i) {
        if (atomic_load(&g_channels[i].inUse) != 0) {
            free_slot(&g_channels[i]);
        }
    }
    atomic_store(&g_users, 0);
    atomic_store(&g_probing, 0);
    atomic_store(&g_nextProbe, 0);
}
