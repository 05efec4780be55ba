/* The kernel side of the system-wide capture: the bytes that processes move over their TCP
 * sockets, from the socket system calls, and the plain text of their TLS, from probes on the
 * TLS libraries' and runtimes' functions, handed to the reader through one ring buffer.
 *
 * Each connection (a socket, or a TLS object of a process) numbers its pieces: a transfer takes
 * its places before the kernel moves the bytes when it sends, after when it receives, so that
 * the reader can put the pieces of every connection in the order the kernel moved them however
 * the events of several CPUs interleave. A place taken whose bytes could not be handed over is
 * told by a skip event, so that the reader never waits for it long. */
#include "kernel.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "../SystemEvents.h"

char LICENSE[] SEC("license") = "GPL";

#define AF_INET 2
#define AF_INET6 10
#define IPPROTO_TCP 6
#define SOCK_STREAM 1
#define S_IFMT 0170000
#define S_IFSOCK 0140000
#define PROT_EXEC 4
#define MSG_PEEK 2 /* a receive that leaves the bytes where they are: not a transfer */
#define TCP_ESTABLISHED 1
#define TCP_SYN_SENT 2
#define TCP_SYN_RECV 3
#define TCP_CLOSE 7

/* System calls by their x86-64 numbers, in a 64-bit process's registers. */
#define NR_READ 0
#define NR_MMAP 9
#define NR_READV 19
#define NR_RECVFROM 45
#define NR_RECVMSG 47
#define USER64_CS 0x33

#define MOST_IOVECS 16
#define MOST_MESSAGES 8
#define CLASSIFY_BYTES 24

/* ------------------------------------------------------------------------------------------ */
/* Maps */

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 64 << 20); /* the reader may set another size before loading */
} events SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct vt_config);
} config SEC(".maps");

/* Processes never captured: the reader's own. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 64);
    __type(key, __u32);
    __type(value, __u8);
} excluded SEC(".maps");

/* Events the ring buffer had no room for. */
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} drops SEC(".maps");

/* The last generation given out: a socket's or TLS object's memory serves one connection after
 * another, each of a generation of its own. */
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} generations SEC(".maps");

enum { UNDECIDED = 0, HTTP = 1, NOT_HTTP = 2, TLS = 3 };

struct conn_state {
    __u32 next;    /* the next place */
    __u32 generation;
    __u32 decided; /* UNDECIDED, HTTP, NOT_HTTP, TLS (a socket whose plain text is seen) */
    __u32 role;    /* VT_CONNECTED, VT_ACCEPTED or 0 */
    __u64 sock;    /* a TLS object's socket, once seen */
    __u16 family;  /* a socket's peer, once read: AF_INET or AF_INET6, 0 before */
    __u16 port;
    __u8 address[16];
};

/* Per socket, by its address. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 65536);
    __type(key, __u64);
    __type(value, struct conn_state);
} socks SEC(".maps");

struct tls_key {
    __u64 object; /* the SSL, gnutls_session_t or tls.Conn */
    __u64 tgid;
};

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 65536);
    __type(key, struct tls_key);
    __type(value, struct conn_state);
} tls_conns SEC(".maps");

/* A call of sendmmsg or recvmmsg, whose messages take their places one by one at its return. */
#define CALL_BATCH 0x80000000u

/* A call between its entry and its return. */
struct call {
    __u64 buf;    /* the bytes, or the kernel's iovec array when iovcnt is not 0; 0: a count */
    __u64 sock;   /* the socket */
    __u64 length; /* bytes asked for */
    __u64 out;    /* SSL_read_ex, SSL_write_ex: where the count is written */
    __u32 iovcnt;
    __u32 flags;  /* VT_SENT or VT_RECEIVED, VT_PLAIN */
    __u32 place;  /* places taken at the entry (a send's) */
    __u32 places;
    __u32 generation;
    __u32 kernelIovecs; /* the iovec array is the kernel's copy */
    struct tls_key key;
};

/* System calls by thread, TLS calls by thread, Go's reads by goroutine. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 16384);
    __type(key, __u64);
    __type(value, struct call);
} sys_calls SEC(".maps");

/* A TLS call by its thread and its stack pointer at the entry: its return finds it by the stack
 * pointer just above, so that a return the kernel did not report (it may drop a probe's run)
 * leaves an entry nobody finds, which the map forgets in time, rather than one that later calls
 * would take for theirs. */
struct tls_call_key {
    __u64 thread;
    __u64 sp;
};

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 16384);
    __type(key, struct tls_call_key);
    __type(value, struct call);
} tls_calls SEC(".maps");

/* The TLS call a thread is in, for the system calls it makes meanwhile. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 16384);
    __type(key, __u64);
    __type(value, struct tls_call_key);
} tls_active SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 16384);
    __type(key, __u64);
    __type(value, struct call);
} go_reads SEC(".maps");

/* The state of a transfer being handed over in pieces: in the map value, not on the stack,
 * so that the verifier need not follow its numbers through every turn of the loop. */
struct pieces {
    __u64 buf;
    __u32 iovcnt;
    __u32 place;   /* of the first piece */
    __u64 total;   /* bytes to hand over */
    __u64 done;
    __u32 emitted; /* pieces handed over */
    __u32 iovIndex;
    __u64 iovOffset;
};

/* An event being built (its bytes go straight into the ring), and what building it needs. */
struct scratch {
    struct vt_event event;
    __u8 first[32];
    struct iovec iov[MOST_IOVECS];
    __u8 spare[256]; /* what the mask of an iovec copy lets the verifier fear */
    struct pieces pieces;
    struct call batch; /* sendmmsg, recvmmsg: the call whose messages are handed over */
    __u32 batchCount;
};

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct scratch);
} scratch SEC(".maps");

/* ------------------------------------------------------------------------------------------ */
/* Helpers */

static __always_inline struct scratch* Scratch(void) {
    __u32 zero = 0;
    return bpf_map_lookup_elem(&scratch, &zero);
}

static __always_inline void CountDrop(void) {
    __u32 zero = 0;
    __u64* count = bpf_map_lookup_elem(&drops, &zero);
    if (count != 0) {
        *count += 1;
    }
}

static __always_inline bool SameComm(const char* a, const char* b) {
    for (int i = 0; i < 16; i++) {
        if (a[i] != b[i]) {
            return false;
        }
        if (a[i] == 0) {
            return true;
        }
    }
    return true;
}

/* Whether the current process is one the reader wants. */
static __always_inline bool Wanted(void) {
    __u32 tgid = bpf_get_current_pid_tgid() >> 32;
    __u32 zero = 0;
    struct vt_config* cfg = bpf_map_lookup_elem(&config, &zero);
    if (cfg == 0) {
        return false;
    }
    if (cfg->pid != 0 && cfg->pid != tgid) {
        return false;
    }
    if ((cfg->options & VT_ONLY_UID) != 0 && (__u32)bpf_get_current_uid_gid() != cfg->uid) {
        return false;
    }
    if ((cfg->options & VT_ONLY_COMM) != 0) {
        char comm[16] = {};
        bpf_get_current_comm(comm, sizeof comm);
        if (!SameComm(comm, cfg->comm)) {
            return false;
        }
    }
    return bpf_map_lookup_elem(&excluded, &tgid) == 0;
}

static __always_inline bool Servers(void) {
    __u32 zero = 0;
    struct vt_config* cfg = bpf_map_lookup_elem(&config, &zero);
    return cfg != 0 && (cfg->options & VT_SERVERS) != 0;
}

/* Whether a socket is TCP over IPv4 or IPv6. */
static __always_inline bool IsTcp(struct sock* sk) {
    __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
    return (family == AF_INET || family == AF_INET6) &&
           BPF_CORE_READ(sk, sk_protocol) == IPPROTO_TCP &&
           BPF_CORE_READ(sk, sk_type) == SOCK_STREAM;
}

/* The file behind a descriptor of the current process, or 0. */
static __always_inline struct file* FileOfFd(__u64 fd) {
    struct task_struct* task = (struct task_struct*)bpf_get_current_task();
    struct fdtable* fdt = BPF_CORE_READ(task, files, fdt);
    if (fdt == 0 || fd >= BPF_CORE_READ(fdt, max_fds)) {
        return 0;
    }
    struct file** files = BPF_CORE_READ(fdt, fd);
    struct file* file = 0;
    bpf_probe_read_kernel(&file, sizeof file, &files[fd]);
    return file;
}

/* The TCP socket (IPv4 or IPv6) behind a descriptor of the current process, or 0. */
static __always_inline struct sock* SockOfFd(__u64 fd) {
    struct file* file = FileOfFd(fd);
    if (file == 0 || (BPF_CORE_READ(file, f_inode, i_mode) & S_IFMT) != S_IFSOCK) {
        return 0;
    }
    struct socket* socket = BPF_CORE_READ(file, private_data);
    struct sock* sk = BPF_CORE_READ(socket, sk);
    return sk != 0 && IsTcp(sk) ? sk : 0;
}

static __always_inline __u32 NextGeneration(void) {
    __u32 zero = 0;
    __u64* last = bpf_map_lookup_elem(&generations, &zero);
    return last != 0 ? (__u32)__sync_fetch_and_add(last, 1) + 1 : 0;
}

static __always_inline struct conn_state* SockState(__u64 sock) {
    struct conn_state* state = bpf_map_lookup_elem(&socks, &sock);
    if (state != 0) {
        return state;
    }
    struct conn_state fresh = {.generation = NextGeneration()};
    bpf_map_update_elem(&socks, &sock, &fresh, BPF_NOEXIST);
    return bpf_map_lookup_elem(&socks, &sock);
}

static __always_inline struct conn_state* TlsState(struct tls_key* key) {
    struct conn_state* state = bpf_map_lookup_elem(&tls_conns, key);
    if (state != 0) {
        return state;
    }
    struct conn_state fresh = {.generation = NextGeneration()};
    bpf_map_update_elem(&tls_conns, key, &fresh, BPF_NOEXIST);
    return bpf_map_lookup_elem(&tls_conns, key);
}

/* Places for a transfer of length bytes: a piece each, and one for what passes the pieces. */
static __always_inline __u32 PlacesFor(__u64 length) {
    if (length > (__u64)VT_PIECE * VT_MOST_PIECES) {
        return VT_MOST_PIECES + 1;
    }
    return (__u32)((length + VT_PIECE - 1) / VT_PIECE);
}

/* What a connection's first bytes say it is: a request line (a method of capital letters, '-'
 * or '_', a space, a visible character) is HTTP when it goes the way the reader follows; a TLS
 * record is TLS; anything else is not HTTP. Bytes too few to tell count as HTTP: the reader
 * decides again on everything it is handed. */
static __always_inline __u32 Classify(const __u8* b, __u32 n, __u32 flags) {
    if (n >= 2 && b[0] == 0x16 && b[1] == 0x03 && (flags & VT_PLAIN) == 0) {
        return TLS;
    }
    __u32 i = 0;
    for (; i < 21; i++) {
        if (i >= n) {
            return HTTP;
        }
        __u8 c = b[i];
        if (c == ' ') {
            break;
        }
        if (!((c >= 'A' && c <= 'Z') || c == '-' || c == '_')) {
            return NOT_HTTP;
        }
    }
    if (i == 0 || i > 20) {
        return NOT_HTTP;
    }
    if (i + 1 < n && (b[i + 1] <= 0x20 || b[i + 1] >= 0x7f)) {
        return NOT_HTTP;
    }
    if ((flags & VT_RECEIVED) != 0 && !Servers()) {
        return NOT_HTTP; /* a request received: a server's connection */
    }
    return HTTP;
}

/* Whether bytes that are no request line may still begin a client's HTTP: the plain text a TLS
 * client receives before it sends anything (an HTTP/2 server's SETTINGS may come first). They
 * are handed over, and the connection stays undecided until its first bytes sent. */
static __always_inline bool ServerSpeaksFirst(const __u8* b, __u32 n, __u32 flags) {
    if ((flags & (VT_PLAIN | VT_RECEIVED)) != (VT_PLAIN | VT_RECEIVED)) {
        return false;
    }
    /* Not if it is a request (a server's connection), by the same test as Classify's. */
    return Classify(b, n, (flags & ~VT_RECEIVED) | VT_SENT) != HTTP;
}

/* The first bytes of a transfer, into s->first: n of them. */
static __always_inline __u32 FirstBytes(struct scratch* s, struct call* c, __u64 moved) {
    __u64 from = c->buf;
    __u64 length = moved;
    if (c->iovcnt != 0) {
        struct iovec first = {};
        if (c->kernelIovecs) {
            bpf_probe_read_kernel(&first, sizeof first, (void*)c->buf);
        } else {
            bpf_probe_read_user(&first, sizeof first, (void*)c->buf);
        }
        from = (__u64)first.iov_base;
        if (first.iov_len < length) {
            length = first.iov_len;
        }
    }
    __u32 n = length < CLASSIFY_BYTES ? (__u32)length : CLASSIFY_BYTES;
    asm volatile("%[n] &= 31" : [n] "+r"(n));
    if (bpf_probe_read_user(s->first, n, (void*)from) != 0) {
        return 0;
    }
    return n;
}

/* Fills in the event's peer from its socket, or from the socket's state (under, when known),
 * which keeps it once read. */
static __always_inline void Peer(struct vt_event* e, __u64 sock, struct conn_state* under) {
    e->family = 0;
    e->port = 0;
    if (under != 0 && under->family != 0) {
        e->family = under->family;
        e->port = under->port;
        __builtin_memcpy(e->address, under->address, sizeof e->address);
        return;
    }
    if (sock == 0) {
        return;
    }
    struct sock* sk = (struct sock*)sock;
    e->family = BPF_CORE_READ(sk, __sk_common.skc_family);
    e->port = BPF_CORE_READ(sk, __sk_common.skc_dport);
    if (e->family == AF_INET6) {
        BPF_CORE_READ_INTO(&e->address, sk, __sk_common.skc_v6_daddr);
    } else {
        __u32 address = BPF_CORE_READ(sk, __sk_common.skc_daddr);
        __builtin_memcpy(e->address, &address, 4);
    }
    if (under != 0 && e->port != 0) {
        __builtin_memcpy(under->address, e->address, sizeof e->address);
        under->port = e->port;
        under->family = e->family;
    }
}

static __always_inline void Header(struct vt_event* e, __u32 kind, __u32 flags, __u64 conn,
                                   __u64 sock, struct conn_state* under) {
    __u64 id = bpf_get_current_pid_tgid();
    e->kind = kind;
    e->flags = flags;
    e->conn = conn;
    e->sock = sock;
    e->time = bpf_ktime_get_ns();
    e->cgroup = bpf_get_current_cgroup_id();
    e->tgid = id >> 32;
    e->uid = (__u32)bpf_get_current_uid_gid();
    e->count = 1;
    e->missing = 0;
    e->length = 0;
    bpf_get_current_comm(e->comm, sizeof e->comm);
    Peer(e, sock, under);
}

/* The reader is woken when the bytes waiting in the ring pass this mark, or for an event it must
 * see at once (a program started); else it takes what waits every few milliseconds. Only the
 * event that passes the mark wakes it: a wakeup per event (each an interrupt) would cost the
 * busiest programs more than the copy of their bytes, the more so while the reader is late. */
#define WAKE_AT (256 * 1024)

static __always_inline __u64 WakeFlags(__u32 kind, __u32 size) {
    if (kind == VT_EVENT_EXEC || kind == VT_EVENT_MAP) {
        return BPF_RB_FORCE_WAKEUP;
    }
    __u64 waiting = bpf_ringbuf_query(&events, BPF_RB_AVAIL_DATA);
    return waiting < WAKE_AT && waiting + size >= WAKE_AT ? BPF_RB_FORCE_WAKEUP : BPF_RB_NO_WAKEUP;
}

/* The event alone, without bytes. */
static __always_inline bool Output(struct scratch* s) {
    __u32 size = sizeof(struct vt_event);
    if (bpf_ringbuf_output(&events, &s->event, size, WakeFlags(s->event.kind, size)) != 0) {
        CountDrop();
        return false;
    }
    return true;
}

/* A skip: count places from place, whose missing bytes went the event's way. */
static __always_inline void Skip(struct scratch* s, __u32 place, __u32 count, __u64 missing) {
    s->event.kind = VT_EVENT_SKIP;
    s->event.place = place;
    s->event.count = count;
    s->event.missing = missing;
    s->event.length = 0;
    Output(s);
}

/* A piece's bytes, read straight into the ring, in a room of the smallest power of two that
 * holds them (the reader takes the event's length, not the room's): no copy through the
 * scratch, and the reads of buffers of the usual sizes fill their rooms. */
enum { PIECE_DONE, PIECE_NO_ROOM, PIECE_UNREADABLE };

#define PIECE_ROOM(ROOM, MASK)                                                              \
    if (n <= ROOM) {                                                                        \
        __u8* room = bpf_ringbuf_reserve(&events, sizeof(struct vt_event) + ROOM, 0);       \
        if (room == 0) {                                                                    \
            return PIECE_NO_ROOM;                                                           \
        }                                                                                   \
        __builtin_memcpy(room, &s->event, sizeof(struct vt_event));                         \
        __u32 k = n - 1;                                                                    \
        asm volatile("%[k] &= " #MASK : [k] "+r"(k));                                       \
        if (bpf_probe_read_user(room + sizeof(struct vt_event), k + 1, (void*)from) != 0) { \
            bpf_ringbuf_discard(room, BPF_RB_NO_WAKEUP);                                    \
            return PIECE_UNREADABLE;                                                        \
        }                                                                                   \
        bpf_ringbuf_submit(room, WakeFlags(VT_EVENT_DATA, sizeof(struct vt_event) + ROOM)); \
        return PIECE_DONE;                                                                  \
    }

static __always_inline int PieceInto(struct scratch* s, __u64 from, __u32 n) {
    if (n == 0) {
        return PIECE_UNREADABLE;
    }
    PIECE_ROOM(256, 255)
    PIECE_ROOM(512, 511)
    PIECE_ROOM(1024, 1023)
    PIECE_ROOM(2048, 2047)
    PIECE_ROOM(4096, 4095)
    PIECE_ROOM(8192, 8191)
    PIECE_ROOM(16384, 16383)
    return PIECE_UNREADABLE;
}

/* The next piece of a transfer: length bytes at from (1 to VT_PIECE of them). Whether they
 * could be read. */
static __always_inline bool Piece(struct scratch* s, struct pieces* p, __u64 from, __u32 length) {
    s->event.kind = VT_EVENT_DATA;
    s->event.place = p->place + p->emitted;
    s->event.count = 1;
    s->event.missing = 0;
    s->event.length = length;
    int got = PieceInto(s, from, length);
    if (got == PIECE_UNREADABLE) {
        return false;
    }
    if (got == PIECE_NO_ROOM) {
        /* No room for the bytes: the place is told as a skip of their number, which is small
         * enough to fit where they did not, so that the message they belong to says so. */
        CountDrop();
        s->event.kind = VT_EVENT_SKIP;
        s->event.missing = length;
        s->event.length = 0;
        Output(s);
    }
    p->done += length;
    p->emitted++;
    return true;
}

/* One piece of a plain buffer's bytes: up to VT_PIECE of them. */
static long BufferPiece(__u32 index, void* unused) {
    struct scratch* s = Scratch();
    if (s == 0) {
        return 1;
    }
    struct pieces* p = &s->pieces;
    if (p->done >= p->total) {
        return 1;
    }
    __u64 want = p->total - p->done;
    __u32 n = want < VT_PIECE ? (__u32)want : VT_PIECE;
    return Piece(s, p, p->buf + p->done, n) ? 0 : 1;
}

/* One piece of an iovec's bytes (in s->iov): up to VT_PIECE of them, never across iovecs. */
static long IovecPiece(__u32 index, void* unused) {
    struct scratch* s = Scratch();
    if (s == 0) {
        return 1;
    }
    struct pieces* p = &s->pieces;
    if (p->done >= p->total || p->iovIndex >= p->iovcnt) {
        return 1;
    }
    struct iovec* v = &s->iov[p->iovIndex & (MOST_IOVECS - 1)];
    if (p->iovOffset >= v->iov_len) {
        p->iovIndex++;
        p->iovOffset = 0;
        return 0;
    }
    __u64 want = p->total - p->done;
    if (want > v->iov_len - p->iovOffset) {
        want = v->iov_len - p->iovOffset;
    }
    __u32 n = want < VT_PIECE ? (__u32)want : VT_PIECE;
    if (!Piece(s, p, (__u64)v->iov_base + p->iovOffset, n)) {
        return 1;
    }
    p->iovOffset += n;
    return 0;
}

/* The iovecs of a call (the first MOST_IOVECS of them), into s->iov; how many. */
static __always_inline __u32 ReadIovecs(struct scratch* s, struct call* c) {
    __u32 n = c->iovcnt < MOST_IOVECS ? c->iovcnt : MOST_IOVECS;
    __u32 bytes = n * sizeof(struct iovec);
    asm volatile("%[b] &= 0x1ff" : [b] "+r"(bytes));
    long failed = c->kernelIovecs ? bpf_probe_read_kernel(s->iov, bytes, (void*)c->buf)
                                  : bpf_probe_read_user(s->iov, bytes, (void*)c->buf);
    return failed != 0 ? 0 : n;
}

/* The places moved bytes take in the iovecs read into s->iov (n of them): a piece per VT_PIECE
 * bytes of each iovec, and one for what passes VT_MOST_PIECES pieces. */
static __always_inline __u32 IovecPlaces(struct scratch* s, __u32 n, __u64 moved) {
    __u64 pieces = 0;
    for (int i = 0; i < MOST_IOVECS; i++) {
        if (i >= n || moved == 0) {
            break;
        }
        __u64 take = s->iov[i].iov_len < moved ? s->iov[i].iov_len : moved;
        pieces += (take + VT_PIECE - 1) / VT_PIECE;
        moved -= take;
    }
    return pieces > VT_MOST_PIECES ? VT_MOST_PIECES + 1 : (__u32)pieces;
}

/* Places for a transfer of moved bytes: read from its iovecs, or a piece per VT_PIECE bytes. */
static __always_inline __u32 TransferPlaces(struct scratch* s, struct call* c, __u64 moved) {
    if (c->iovcnt == 0) {
        return PlacesFor(moved);
    }
    return IovecPlaces(s, ReadIovecs(s, c), moved);
}

/* Hands over moved bytes of a transfer in the places c->place on (c->places of them taken):
 * pieces, then a skip for what passed the pieces or could not be read, and one for the places
 * the transfer did not use. */
static __noinline void Transfer(struct scratch* s, struct call* c, __u64 conn, __u64 moved,
                                struct conn_state* under) {
    if (s == 0 || c == 0) {
        return;
    }
    Header(&s->event, VT_EVENT_DATA, c->flags, conn, c->sock, under);
    s->event.generation = c->generation;
    __u32 place = c->place;
    __u32 places = c->places;
    __u32 most = places < VT_MOST_PIECES ? places : VT_MOST_PIECES;
    struct pieces* p = &s->pieces;
    p->buf = c->buf;
    p->iovcnt = 0;
    p->place = place;
    p->total = moved;
    p->done = 0;
    p->emitted = 0;
    p->iovIndex = 0;
    p->iovOffset = 0;
    if (c->iovcnt != 0) {
        p->iovcnt = ReadIovecs(s, c);
        bpf_loop(most + MOST_IOVECS, IovecPiece, 0, 0);
    } else if (c->buf != 0 && moved != 0 && moved <= VT_PIECE && places != 0) {
        Piece(s, p, c->buf, (__u32)moved); /* the usual transfer, one piece: no loop */
    } else if (c->buf != 0) {
        bpf_loop(most, BufferPiece, 0, 0);
    }
    __u32 used = p->emitted;
    __u64 done = p->done;
    if (done < moved && used < places) {
        Skip(s, place + used, 1, moved - done);
        used++;
    }
    if (used < places) {
        Skip(s, place + used, places - used, 0);
    }
    /* The verifier wants a number where a function returns, even one whose value is unused,
     * and the compiler leaves whatever it had there. */
    asm volatile("r0 = 0" ::: "r0");
}

/* ------------------------------------------------------------------------------------------ */
/* Transfers: what the socket tracepoints (or, on older kernels, the system calls) tell is turned
 * into the pieces of a connection here. */

/* Whether a transfer of a wanted process on socket sock (whose state is known, or 0) is to be
 * handed over: its state then, and its call, with the places of a send taken (before the kernel
 * moves its bytes). buf is the bytes, or iovcnt iovecs (in kernel memory when kernelIovecs), or
 * 0 for bytes the process never held (a count); length the bytes asked for, when known. */
static __always_inline struct conn_state* Prepare(__u64 sock, __u64 buf, __u32 iovcnt,
                                                  __u32 kernelIovecs, __u64 length, __u32 flags,
                                                  struct call* c, struct conn_state* known) {
    __u64 id = bpf_get_current_pid_tgid();
    struct conn_state* state = known != 0 ? known : SockState(sock);
    if (state == 0) {
        return 0;
    }
    struct tls_call_key* active = bpf_map_lookup_elem(&tls_active, &id);
    if (active != 0) {
        /* Within a TLS call: the call learns its socket, and its ciphertext is not handed over
         * (a socket whose plain bytes are HTTP is never a TLS call's, whatever a stale entry
         * says). */
        struct call* tls = bpf_map_lookup_elem(&tls_calls, active);
        if (tls != 0) {
            tls->sock = sock;
        }
        if (state->decided != HTTP) {
            return 0;
        }
    }
    if (state->decided == NOT_HTTP || state->decided == TLS) {
        return 0;
    }
    __builtin_memset(c, 0, sizeof *c);
    c->buf = buf;
    c->sock = sock;
    c->iovcnt = iovcnt;
    c->kernelIovecs = kernelIovecs;
    c->length = length;
    c->flags = flags;
    c->generation = state->generation;
    if ((flags & (VT_SENT | CALL_BATCH)) == VT_SENT && state->decided == HTTP && buf != 0) {
        struct scratch* s = Scratch();
        if (s == 0) {
            return 0;
        }
        c->places = TransferPlaces(s, c, length != 0 ? length : ~0ull);
        c->place = __sync_fetch_and_add(&state->next, c->places);
    }
    return state;
}

/* Decides an undecided connection on the first bytes it moved; whether it is HTTP. */
static __always_inline bool Decide(struct scratch* s, struct conn_state* state, struct call* c,
                                   __u64 moved) {
    if (state->decided == HTTP) {
        return true;
    }
    if (state->decided != UNDECIDED) {
        return false;
    }
    __u32 n = FirstBytes(s, c, moved);
    __u32 verdict = Classify(s->first, n, c->flags);
    if (verdict == NOT_HTTP && ServerSpeaksFirst(s->first, n, c->flags)) {
        return true;
    }
    state->decided = verdict;
    return verdict == HTTP;
}

/* Places of a transfer on a socket whose bytes are not handed over: a skip of missing bytes. */
static __always_inline void SkipOnSocket(struct scratch* s, struct conn_state* state,
                                         struct call* c, __u32 place, __u32 count, __u64 missing) {
    Header(&s->event, VT_EVENT_SKIP, c->flags | state->role, c->sock, c->sock, state);
    s->event.generation = state->generation;
    Skip(s, place, count, missing);
}

/* A prepared transfer moved ret bytes (or failed): they are handed over. */
static __always_inline void Finish(struct call* c, long ret, struct conn_state* state) {
    struct scratch* s = Scratch();
    if (state == 0 || s == 0) {
        return;
    }
    __u64 moved = ret > 0 ? (__u64)ret : 0;
    if (c->buf == 0) {
        /* Bytes the process never held (sendfile, splice): a place told as their count. */
        if (state->decided != HTTP || moved == 0) {
            return;
        }
        __u32 place = __sync_fetch_and_add(&state->next, 1);
        SkipOnSocket(s, state, c, place, 1, moved);
        return;
    }
    if (c->places == 0) {
        if (moved == 0 || !Decide(s, state, c, moved)) {
            return;
        }
        c->places = TransferPlaces(s, c, moved);
        c->place = __sync_fetch_and_add(&state->next, c->places);
    }
    c->flags |= state->role;
    Transfer(s, c, c->sock, moved, state);
}

/* A transfer's entry, kept for its end by thread. */
static __always_inline int Begin(__u64 sock, __u64 buf, __u32 iovcnt, __u32 kernelIovecs,
                                 __u64 length, __u32 flags) {
    struct call c;
    if (Prepare(sock, buf, iovcnt, kernelIovecs, length, flags, &c, 0) != 0) {
        __u64 id = bpf_get_current_pid_tgid();
        bpf_map_update_elem(&sys_calls, &id, &c, BPF_ANY);
    }
    return 0;
}

/* The end of the thread's transfer on sock (any socket when sock is 0). */
static __always_inline int End(__u64 sock, long ret) {
    __u64 id = bpf_get_current_pid_tgid();
    struct call* found = bpf_map_lookup_elem(&sys_calls, &id);
    if (found == 0) {
        return 0;
    }
    struct call c = *found;
    bpf_map_delete_elem(&sys_calls, &id);
    if (sock == 0 || c.sock == sock) {
        Finish(&c, ret, bpf_map_lookup_elem(&socks, &c.sock));
    }
    return 0;
}

/* ------------------------------------------------------------------------------------------ */
/* The socket tracepoints (kernels from 6.12): every way a process moves bytes over a TCP socket
 * (write, send, their vector and message forms, batches, io_uring) passes them, and the other
 * system calls of every process on the machine cost nothing. A send is seen at the first turn
 * of the kernel's copy loop, before any of its bytes moved, and ends when the socket layer
 * returns; a receive when the socket layer returns. */

enum { ITER_NONE = 0, ITER_USER = 1, ITER_IOVECS = 2, ITER_COUNT = 3 };

/* What a send's iterator holds: a user buffer (buf), an array of iovcnt iovecs in kernel memory
 * (buf), pages the process never held (a count: sendfile, splice), or kernel bytes (nothing of a
 * process's). */
static __always_inline __u32 Iterator(struct msghdr* msg, __u64* buf, __u32* iovcnt,
                                      __u64* length) {
    struct iov_iter* it = &msg->msg_iter;
    __u8 type = it->iter_type;
    __u64 offset = it->iov_offset;
    __u64 base = 0;
    if (bpf_core_field_exists(it->ubuf)) {
        base = (__u64)it->ubuf;
    } else {
        base = (__u64)((struct iov_iter___old*)it)->iov;
    }
    *buf = 0;
    *iovcnt = 0;
    *length = it->count;
    if (bpf_core_enum_value_exists(enum iter_type, ITER_UBUF) &&
        type == bpf_core_enum_value(enum iter_type, ITER_UBUF)) {
        *buf = base + offset;
        return ITER_USER;
    }
    if (type == bpf_core_enum_value(enum iter_type, ITER_IOVEC)) {
        __u64 segments = it->nr_segs;
        if (segments == 0) {
            return ITER_NONE;
        }
        if (offset != 0) {
            return ITER_COUNT;
        }
        *buf = base;
        *iovcnt = segments > 0xffff ? 0xffff : (__u32)segments;
        return ITER_IOVECS;
    }
    if (type == bpf_core_enum_value(enum iter_type, ITER_KVEC)) {
        return ITER_NONE;
    }
    return ITER_COUNT;
}

/* The send a thread is in, kept with the thread itself: cheaper than a map by thread. */
struct sending {
    struct call call;
    __u32 active;
};

struct {
    __uint(type, BPF_MAP_TYPE_TASK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct sending);
} sendings SEC(".maps");

SEC("tp_btf/tcp_sendmsg_locked")
int BPF_PROG(send_begin, struct sock* sk, struct msghdr* msg) {
    __u64 sock = (__u64)sk;
    struct task_struct* task = bpf_get_current_task_btf();
    struct sending* found = bpf_task_storage_get(&sendings, task, 0, 0);
    if (found != 0 && found->active) {
        if (found->call.sock == sock) {
            return 0; /* a later turn of the same send */
        }
        found->active = 0; /* one whose end never came */
    }
    if (!Wanted()) {
        return 0;
    }
    __u64 buf = 0;
    __u32 iovcnt = 0;
    __u64 length = 0;
    __u32 kind = Iterator(msg, &buf, &iovcnt, &length);
    if (kind == ITER_NONE) {
        return 0;
    }
    struct call c;
    struct conn_state* state =
        Prepare(sock, buf, iovcnt, kind == ITER_IOVECS, length, VT_SENT, &c, 0);
    if (state == 0) {
        return 0;
    }
    struct sending* sending =
        found != 0 ? found
                   : bpf_task_storage_get(&sendings, task, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
    if (sending != 0) {
        sending->call = c;
        sending->active = 1;
        return 0;
    }
    /* Nowhere to keep it (the kernel may refuse a nested use): its places, if any, are told as
     * not captured. */
    CountDrop();
    struct scratch* s = Scratch();
    if (s != 0 && c.places != 0) {
        SkipOnSocket(s, state, &c, c.place, c.places, length);
    }
    return 0;
}

SEC("tp_btf/sock_send_length")
int BPF_PROG(send_end, struct sock* sk, int ret) {
    struct sending* sending = bpf_task_storage_get(&sendings, bpf_get_current_task_btf(), 0, 0);
    if (sending == 0 || !sending->active) {
        return 0;
    }
    sending->active = 0;
    struct call c = sending->call;
    if (c.sock == (__u64)sk) {
        Finish(&c, ret, bpf_map_lookup_elem(&socks, &c.sock));
    }
    return 0;
}

/* Where the received bytes went, from the system call the process made (its registers): a
 * buffer, or the process's iovecs; 0 when the call is another (recvmmsg, io_uring: a count). */
static __always_inline __u64 ReceivedInto(__u32* iovcnt) {
    struct pt_regs regs = {};
    *iovcnt = 0;
    if (bpf_probe_read_kernel(&regs, sizeof regs,
                              (void*)bpf_task_pt_regs(bpf_get_current_task_btf())) != 0 ||
        regs.cs != USER64_CS) {
        return 0;
    }
    switch (regs.orig_ax) {
        case NR_READ:
        case NR_RECVFROM:
            return regs.si;
        case NR_READV:
            *iovcnt = (__u32)regs.dx;
            return regs.si;
        case NR_RECVMSG: {
            struct user_msghdr msg = {};
            if (bpf_probe_read_user(&msg, sizeof msg, (void*)regs.si) != 0 || msg.msg_iovlen == 0) {
                return 0;
            }
            *iovcnt = (__u32)msg.msg_iovlen;
            return (__u64)msg.msg_iov;
        }
    }
    return 0;
}

SEC("tp_btf/sock_recv_length")
int BPF_PROG(receive, struct sock* sk, int ret, int flags) {
    if (ret <= 0 || (flags & MSG_PEEK) != 0) {
        return 0;
    }
    __u64 sock = (__u64)sk;
    struct conn_state* known = bpf_map_lookup_elem(&socks, &sock);
    if (known == 0 &&
        (sk->sk_protocol != IPPROTO_TCP || sk->sk_type != SOCK_STREAM ||
         (sk->__sk_common.skc_family != AF_INET && sk->__sk_common.skc_family != AF_INET6))) {
        return 0;
    }
    if (!Wanted()) {
        return 0;
    }
    struct call c;
    struct conn_state* state = Prepare(sock, 0, 0, false, 0, VT_RECEIVED, &c, known);
    if (state != 0) {
        /* Where the bytes went, looked for only now that they are wanted. */
        c.buf = ReceivedInto(&c.iovcnt);
        Finish(&c, ret, state);
    }
    return 0;
}

/* ------------------------------------------------------------------------------------------ */
/* The socket system calls, for kernels without the socket tracepoints: a tracepoint on any
 * system call costs every system call of every process, so these are loaded only there. */

static __always_inline int BeginCall(__u64 fd, __u64 buf, __u32 iovcnt, __u64 length, __u32 flags) {
    if (!Wanted()) {
        return 0;
    }
    struct sock* sk = SockOfFd(fd);
    return sk != 0 ? Begin((__u64)sk, buf, iovcnt, false, length, flags) : 0;
}

struct sys_enter {
    __u64 common;
    long id;
    unsigned long args[6];
};
struct sys_exit {
    __u64 common;
    long id;
    long ret;
};

/* A transfer's return: its bytes handed over (End). */
#define EXIT_OF(call)                          \
    SEC("tracepoint/syscalls/sys_exit_" #call) \
    int exit_##call(struct sys_exit* ctx) {    \
        return End(0, ctx->ret);               \
    }

SEC("tracepoint/syscalls/sys_enter_write")
int enter_write(struct sys_enter* ctx) {
    return BeginCall(ctx->args[0], ctx->args[1], 0, ctx->args[2], VT_SENT);
}
EXIT_OF(write)

SEC("tracepoint/syscalls/sys_enter_sendto")
int enter_sendto(struct sys_enter* ctx) {
    return BeginCall(ctx->args[0], ctx->args[1], 0, ctx->args[2], VT_SENT);
}
EXIT_OF(sendto)

SEC("tracepoint/syscalls/sys_enter_writev")
int enter_writev(struct sys_enter* ctx) {
    return BeginCall(ctx->args[0], ctx->args[1], (__u32)ctx->args[2], 0, VT_SENT);
}
EXIT_OF(writev)

/* sendmsg and recvmsg: the transfer of a message header's iovecs. */
static __always_inline int BeginMessage(__u64 fd, __u64 header, __u32 flags) {
    struct user_msghdr msg = {};
    if (bpf_probe_read_user(&msg, sizeof msg, (void*)header) != 0 || msg.msg_iovlen == 0) {
        return 0;
    }
    return BeginCall(fd, (__u64)msg.msg_iov, (__u32)msg.msg_iovlen, 0, flags);
}

SEC("tracepoint/syscalls/sys_enter_sendmsg")
int enter_sendmsg(struct sys_enter* ctx) {
    return BeginMessage(ctx->args[0], ctx->args[1], VT_SENT);
}
EXIT_OF(sendmsg)

SEC("tracepoint/syscalls/sys_enter_read")
int enter_read(struct sys_enter* ctx) {
    return BeginCall(ctx->args[0], ctx->args[1], 0, 0, VT_RECEIVED);
}
EXIT_OF(read)

SEC("tracepoint/syscalls/sys_enter_recvfrom")
int enter_recvfrom(struct sys_enter* ctx) {
    if ((ctx->args[3] & MSG_PEEK) != 0) {
        return 0;
    }
    return BeginCall(ctx->args[0], ctx->args[1], 0, 0, VT_RECEIVED);
}
EXIT_OF(recvfrom)

SEC("tracepoint/syscalls/sys_enter_readv")
int enter_readv(struct sys_enter* ctx) {
    return BeginCall(ctx->args[0], ctx->args[1], (__u32)ctx->args[2], 0, VT_RECEIVED);
}
EXIT_OF(readv)

SEC("tracepoint/syscalls/sys_enter_recvmsg")
int enter_recvmsg(struct sys_enter* ctx) {
    if ((ctx->args[2] & MSG_PEEK) != 0) {
        return 0;
    }
    return BeginMessage(ctx->args[0], ctx->args[1], VT_RECEIVED);
}
EXIT_OF(recvmsg)

/* sendfile moves bytes the process never holds: they are told as a count. */
SEC("tracepoint/syscalls/sys_enter_sendfile64")
int enter_sendfile(struct sys_enter* ctx) {
    return BeginCall(ctx->args[0], 0, 0, 0, VT_SENT);
}
EXIT_OF(sendfile64)

/* sendmmsg and recvmmsg: each message a transfer, its places taken at the return. */
static __always_inline int BeginMessages(__u64 fd, __u64 messages, __u32 flags) {
    return BeginCall(fd, messages, 0, 0, flags | CALL_BATCH);
}

/* One message of a batch (in the scratch's batch): a transfer of its own. */
static long OneMessage(__u32 index, void* unused) {
    struct scratch* s = Scratch();
    if (s == 0 || index >= s->batchCount) {
        return 1;
    }
    struct call c = s->batch;
    struct mmsghdr message = {};
    if (bpf_probe_read_user(&message, sizeof message,
                            (void*)(c.buf + index * sizeof(struct mmsghdr))) != 0) {
        return 1;
    }
    struct conn_state* state = bpf_map_lookup_elem(&socks, &c.sock);
    if (state == 0) {
        return 1;
    }
    c.buf = (__u64)message.msg_hdr.msg_iov;
    c.iovcnt = (__u32)message.msg_hdr.msg_iovlen;
    c.flags &= ~CALL_BATCH;
    if (c.iovcnt == 0 || message.msg_len == 0 || !Decide(s, state, &c, message.msg_len)) {
        return 0;
    }
    c.places = TransferPlaces(s, &c, message.msg_len);
    c.place = __sync_fetch_and_add(&state->next, c.places);
    c.flags |= state->role;
    Transfer(s, &c, c.sock, message.msg_len, state);
    return 0;
}

static __always_inline int EndMessages(long ret) {
    __u64 id = bpf_get_current_pid_tgid();
    struct call* found = bpf_map_lookup_elem(&sys_calls, &id);
    if (found == 0) {
        return 0;
    }
    struct scratch* s = Scratch();
    if (s == 0 || ret <= 0) {
        bpf_map_delete_elem(&sys_calls, &id);
        return 0;
    }
    s->batch = *found;
    s->batchCount = (__u32)ret;
    bpf_map_delete_elem(&sys_calls, &id);
    bpf_loop(MOST_MESSAGES, OneMessage, 0, 0);
    return 0;
}

SEC("tracepoint/syscalls/sys_enter_sendmmsg")
int enter_sendmmsg(struct sys_enter* ctx) {
    return BeginMessages(ctx->args[0], ctx->args[1], VT_SENT);
}
SEC("tracepoint/syscalls/sys_exit_sendmmsg")
int exit_sendmmsg(struct sys_exit* ctx) { return EndMessages(ctx->ret); }

SEC("tracepoint/syscalls/sys_enter_recvmmsg")
int enter_recvmmsg(struct sys_enter* ctx) {
    if ((ctx->args[3] & MSG_PEEK) != 0) {
        return 0;
    }
    return BeginMessages(ctx->args[0], ctx->args[1], VT_RECEIVED);
}
SEC("tracepoint/syscalls/sys_exit_recvmmsg")
int exit_recvmmsg(struct sys_exit* ctx) { return EndMessages(ctx->ret); }

/* ------------------------------------------------------------------------------------------ */
/* A socket's life: who opened it, and its end. */

struct sock_state_args {
    __u64 common;
    __u64 skaddr;
    int oldstate;
    int newstate;
    __u16 sport;
    __u16 dport;
    __u16 family;
    __u16 protocol;
};

SEC("tracepoint/sock/inet_sock_set_state")
int sock_state(struct sock_state_args* ctx) {
    if (ctx->protocol != IPPROTO_TCP) {
        return 0;
    }
    __u64 sock = ctx->skaddr;
    if (ctx->newstate == TCP_SYN_SENT ||
        (ctx->oldstate == TCP_SYN_RECV && ctx->newstate == TCP_ESTABLISHED)) {
        struct conn_state fresh = {.generation = NextGeneration()};
        fresh.role = ctx->newstate == TCP_SYN_SENT ? VT_CONNECTED : VT_ACCEPTED;
        bpf_map_update_elem(&socks, &sock, &fresh, BPF_ANY);
        return 0;
    }
    if (ctx->newstate != TCP_CLOSE) {
        return 0;
    }
    struct conn_state* state = bpf_map_lookup_elem(&socks, &sock);
    if (state == 0) {
        return 0;
    }
    __u32 decided = state->decided;
    __u32 generation = state->generation;
    bpf_map_delete_elem(&socks, &sock);
    if (decided == HTTP || decided == TLS) {
        /* Not in the scratch: this may run in the middle of another program's event. */
        struct vt_event e = {
            .kind = VT_EVENT_CLOSE, .conn = sock, .generation = generation, .sock = sock};
        e.time = bpf_ktime_get_ns();
        if (bpf_ringbuf_output(&events, &e, sizeof e, BPF_RB_NO_WAKEUP) != 0) {
            CountDrop();
        }
    }
    return 0;
}

/* ------------------------------------------------------------------------------------------ */
/* Programs that start, and code that is mapped: the reader looks for TLS functions in them. */

SEC("tracepoint/sched/sched_process_exec")
int process_exec(void* ctx) {
    struct scratch* s = Scratch();
    if (s == 0 || !Wanted()) {
        return 0;
    }
    Header(&s->event, VT_EVENT_EXEC, 0, 0, 0, 0);
    Output(s);
    return 0;
}

/* A TLS library a process maps by itself (dlopen), outside the folders probed from the start:
 * seen as the kernel finds room for the mapping of the whole file, whose name tells. */
static __always_inline bool IsTlsLibrary(const char* name) {
    const char ssl[] = "libssl.so";
    const char gnutls[] = "libgnutls.so";
    bool isSsl = true;
    bool isGnutls = true;
    for (int i = 0; i < sizeof gnutls - 1; i++) {
        if (i < sizeof ssl - 1 && name[i] != ssl[i]) {
            isSsl = false;
        }
        if (name[i] != gnutls[i]) {
            isGnutls = false;
        }
    }
    return isSsl || isGnutls;
}

SEC("raw_tp/vm_unmapped_area")
int map_area(struct bpf_raw_tracepoint_args* ctx) {
    struct pt_regs regs = {};
    if (bpf_probe_read_kernel(&regs, sizeof regs,
                              (void*)bpf_task_pt_regs(bpf_get_current_task_btf())) != 0 ||
        regs.cs != USER64_CS || regs.orig_ax != NR_MMAP || (long)regs.r8 < 0) {
        return 0;
    }
    struct file* file = FileOfFd(regs.r8);
    if (file == 0) {
        return 0;
    }
    char name[16] = {};
    bpf_probe_read_kernel_str(name, sizeof name, BPF_CORE_READ(file, f_path.dentry, d_name.name));
    if (!IsTlsLibrary(name)) {
        return 0;
    }
    struct scratch* s = Scratch();
    if (s == 0 || !Wanted()) {
        return 0;
    }
    Header(&s->event, VT_EVENT_MAP, 0, 0, 0, 0);
    Output(s);
    return 0;
}

/* ------------------------------------------------------------------------------------------ */
/* TLS libraries: OpenSSL (SSL_read, SSL_write and their _ex forms) and GnuTLS
 * (gnutls_record_recv, gnutls_record_send), in shared libraries or built into programs. */

static __always_inline int TlsBegin(__u64 sp, __u64 object, __u64 buf, __u64 length,
                                    __u64 out, __u32 flags) {
    __u64 id = bpf_get_current_pid_tgid();
    if (!Wanted()) {
        return 0;
    }
    struct call c = {.buf = buf, .length = length, .out = out, .flags = flags | VT_PLAIN};
    c.key.object = object;
    c.key.tgid = id >> 32;
    struct conn_state* state = TlsState(&c.key);
    if (state == 0 || state->decided == NOT_HTTP) {
        return 0;
    }
    c.sock = state->sock;
    c.generation = state->generation;
    if ((flags & VT_SENT) != 0 && state->decided == HTTP) {
        c.places = PlacesFor(length);
        c.place = __sync_fetch_and_add(&state->next, c.places);
    }
    struct tls_call_key key = {.thread = id, .sp = sp};
    bpf_map_update_elem(&tls_calls, &key, &c, BPF_ANY);
    bpf_map_update_elem(&tls_active, &id, &key, BPF_ANY);
    return 0;
}

/* A TLS call returned: moved plain bytes, or -1 to read the count from where the call wrote
 * it (the _ex forms). */
static __always_inline int TlsEnd(__u64 sp, long moved, bool countOut) {
    __u64 id = bpf_get_current_pid_tgid();
    /* The return address was popped: the stack pointer is one word above the entry's. */
    struct tls_call_key key = {.thread = id, .sp = sp - 8};
    struct call* found = bpf_map_lookup_elem(&tls_calls, &key);
    struct tls_call_key* active = bpf_map_lookup_elem(&tls_active, &id);
    if (active != 0 && active->sp == key.sp) {
        bpf_map_delete_elem(&tls_active, &id);
    }
    if (found == 0) {
        return 0;
    }
    struct call c = *found;
    bpf_map_delete_elem(&tls_calls, &key);
    if (countOut) {
        __u64 count = 0;
        if (moved == 1 && c.out != 0) {
            bpf_probe_read_user(&count, sizeof count, (void*)c.out);
        }
        moved = (long)count;
    }
    struct conn_state* state = bpf_map_lookup_elem(&tls_conns, &c.key);
    struct scratch* s = Scratch();
    if (state == 0 || s == 0) {
        return 0;
    }
    if (c.sock != 0 && state->sock != 0 && c.sock != state->sock) {
        /* The object serves another connection now (a session reused, memory reused). */
        state->generation = NextGeneration();
        state->next = 0;
        state->decided = UNDECIDED;
        c.places = 0;
    }
    if (c.sock != 0) {
        state->sock = c.sock;
    }
    c.sock = state->sock;
    c.generation = state->generation;
    __u64 bytes = moved > 0 ? (__u64)moved : 0;
    if (c.places == 0) {
        if (bytes == 0 || !Decide(s, state, &c, bytes)) {
            return 0;
        }
        c.places = PlacesFor(bytes);
        c.place = __sync_fetch_and_add(&state->next, c.places);
    }
    struct conn_state* under = c.sock != 0 ? bpf_map_lookup_elem(&socks, &c.sock) : 0;
    if (under != 0) {
        c.flags |= under->role;
    }
    Transfer(s, &c, c.key.object, bytes, under);
    return 0;
}

SEC("uprobe")
int BPF_KPROBE(ssl_write, void* ssl, const void* buf, int num) {
    return TlsBegin(PT_REGS_SP(ctx), (__u64)ssl, (__u64)buf, num > 0 ? num : 0, 0, VT_SENT);
}
SEC("uretprobe")
int BPF_KRETPROBE(ssl_write_return, int ret) { return TlsEnd(PT_REGS_SP(ctx), ret, false); }

SEC("uprobe")
int BPF_KPROBE(ssl_write_ex, void* ssl, const void* buf, __u64 num, __u64* written) {
    return TlsBegin(PT_REGS_SP(ctx), (__u64)ssl, (__u64)buf, num, (__u64)written, VT_SENT);
}
SEC("uretprobe")
int BPF_KRETPROBE(ssl_write_ex_return, int ret) { return TlsEnd(PT_REGS_SP(ctx), ret, true); }

SEC("uprobe")
int BPF_KPROBE(ssl_read, void* ssl, void* buf, int num) {
    return TlsBegin(PT_REGS_SP(ctx), (__u64)ssl, (__u64)buf, num > 0 ? num : 0, 0, VT_RECEIVED);
}
SEC("uretprobe")
int BPF_KRETPROBE(ssl_read_return, int ret) { return TlsEnd(PT_REGS_SP(ctx), ret, false); }

SEC("uprobe")
int BPF_KPROBE(ssl_read_ex, void* ssl, void* buf, __u64 num, __u64* readbytes) {
    return TlsBegin(PT_REGS_SP(ctx), (__u64)ssl, (__u64)buf, num, (__u64)readbytes, VT_RECEIVED);
}
SEC("uretprobe")
int BPF_KRETPROBE(ssl_read_ex_return, int ret) { return TlsEnd(PT_REGS_SP(ctx), ret, true); }

SEC("uprobe")
int BPF_KPROBE(gnutls_send, void* session, const void* buf, __u64 size) {
    return TlsBegin(PT_REGS_SP(ctx), (__u64)session, (__u64)buf, size, 0, VT_SENT);
}
SEC("uretprobe")
int BPF_KRETPROBE(gnutls_send_return, long ret) { return TlsEnd(PT_REGS_SP(ctx), ret, false); }

SEC("uprobe")
int BPF_KPROBE(gnutls_recv, void* session, void* buf, __u64 size) {
    return TlsBegin(PT_REGS_SP(ctx), (__u64)session, (__u64)buf, size, 0, VT_RECEIVED);
}
SEC("uretprobe")
int BPF_KRETPROBE(gnutls_recv_return, long ret) { return TlsEnd(PT_REGS_SP(ctx), ret, false); }

/* The object of a TLS connection is freed: the connection ended, and its memory may serve the
 * next one. */
static __always_inline int TlsFree(__u64 object) {
    struct tls_key key = {.object = object, .tgid = bpf_get_current_pid_tgid() >> 32};
    struct conn_state* state = bpf_map_lookup_elem(&tls_conns, &key);
    if (state == 0) {
        return 0;
    }
    __u32 decided = state->decided;
    struct vt_event e = {.kind = VT_EVENT_CLOSE,
                         .flags = VT_PLAIN,
                         .conn = object,
                         .generation = state->generation,
                         .sock = state->sock,
                         .tgid = key.tgid};
    bpf_map_delete_elem(&tls_conns, &key);
    if (decided == HTTP) {
        e.time = bpf_ktime_get_ns();
        if (bpf_ringbuf_output(&events, &e, sizeof e, BPF_RB_NO_WAKEUP) != 0) {
            CountDrop();
        }
    }
    return 0;
}

SEC("uprobe")
int BPF_KPROBE(ssl_free, void* ssl) { return TlsFree((__u64)ssl); }

SEC("uprobe")
int BPF_KPROBE(gnutls_deinit, void* session) { return TlsFree((__u64)session); }

/* ------------------------------------------------------------------------------------------ */
/* Go's crypto/tls: (*Conn).Write and (*Conn).Read, arguments in registers (Go's internal ABI:
 * the receiver in AX, the slice's pointer and length in BX and CX; the goroutine in R14). A
 * read is taken at the function's return instructions, each probed by itself, since return
 * probes corrupt Go's moving stacks. */

/* The descriptor under a tls.Conn whose conn is a *net.TCPConn: the interface's data, its
 * *netFD, and the Sysfd of the poll.FD at its start. */
static __always_inline long GoFd(__u64 conn) {
    __u64 data = 0;
    __u64 netfd = 0;
    long fd = -1;
    if (bpf_probe_read_user(&data, sizeof data, (void*)(conn + 8)) != 0 || data == 0 ||
        bpf_probe_read_user(&netfd, sizeof netfd, (void*)data) != 0 || netfd == 0 ||
        bpf_probe_read_user(&fd, sizeof fd, (void*)(netfd + 16)) != 0) {
        return -1;
    }
    return fd;
}

/* The socket under a tls.Conn, learnt once per connection: its ciphertext is not handed over. */
static __always_inline __u64 GoSock(struct conn_state* state, __u64 conn) {
    if (state->sock != 0) {
        return state->sock;
    }
    long fd = GoFd(conn);
    struct sock* sk = fd >= 0 ? SockOfFd((__u64)fd) : 0;
    if (sk != 0) {
        state->sock = (__u64)sk;
        struct conn_state* under = SockState(state->sock);
        if (under != 0) {
            under->decided = TLS;
        }
    }
    return state->sock;
}

SEC("uprobe")
int go_tls_write(struct pt_regs* ctx) {
    if (!Wanted()) {
        return 0;
    }
    struct call c = {.buf = ctx->bx, .length = ctx->cx, .flags = VT_SENT | VT_PLAIN};
    c.key.object = ctx->ax;
    c.key.tgid = bpf_get_current_pid_tgid() >> 32;
    struct conn_state* state = TlsState(&c.key);
    struct scratch* s = Scratch();
    if (state == 0 || s == 0 || c.length == 0) {
        return 0;
    }
    c.sock = GoSock(state, c.key.object);
    c.generation = state->generation;
    if (!Decide(s, state, &c, c.length)) {
        return 0;
    }
    /* Write hands over all of its bytes or fails: they are taken as sent. */
    c.places = PlacesFor(c.length);
    c.place = __sync_fetch_and_add(&state->next, c.places);
    struct conn_state* under = c.sock != 0 ? bpf_map_lookup_elem(&socks, &c.sock) : 0;
    if (under != 0) {
        c.flags |= under->role;
    }
    Transfer(s, &c, c.key.object, c.length, under);
    return 0;
}

SEC("uprobe")
int go_tls_read(struct pt_regs* ctx) {
    if (!Wanted()) {
        return 0;
    }
    struct call c = {.buf = ctx->bx, .length = ctx->cx, .flags = VT_RECEIVED | VT_PLAIN};
    c.key.object = ctx->ax;
    c.key.tgid = bpf_get_current_pid_tgid() >> 32;
    struct conn_state* state = TlsState(&c.key);
    if (state == 0 || state->decided == NOT_HTTP) {
        return 0;
    }
    c.sock = GoSock(state, c.key.object);
    c.generation = state->generation;
    __u64 goroutine = ctx->r14;
    bpf_map_update_elem(&go_reads, &goroutine, &c, BPF_ANY);
    return 0;
}

SEC("uprobe")
int go_tls_read_return(struct pt_regs* ctx) {
    __u64 goroutine = ctx->r14;
    struct call* found = bpf_map_lookup_elem(&go_reads, &goroutine);
    if (found == 0) {
        return 0;
    }
    struct call c = *found;
    bpf_map_delete_elem(&go_reads, &goroutine);
    long moved = (long)ctx->ax;
    struct conn_state* state = bpf_map_lookup_elem(&tls_conns, &c.key);
    struct scratch* s = Scratch();
    if (state == 0 || s == 0 || moved <= 0 || (__u64)moved > c.length) {
        return 0;
    }
    if (!Decide(s, state, &c, (__u64)moved)) {
        return 0;
    }
    c.places = PlacesFor((__u64)moved);
    c.place = __sync_fetch_and_add(&state->next, c.places);
    struct conn_state* under = c.sock != 0 ? bpf_map_lookup_elem(&socks, &c.sock) : 0;
    if (under != 0) {
        c.flags |= under->role;
    }
    Transfer(s, &c, c.key.object, (__u64)moved, under);
    return 0;
}
