/* The provider's tracked sockets and its reports: which descriptors are client connections of
 * the program, and how their bytes become records in the ring, in their place (vtcap.c tells
 * the rules the provider keeps). */
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

#define VTCAP_MAX_FDS (1 << 20)
#define VTCAP_WAIT_MS 2000 /* the longest a program waits for room in the ring */
#define VTCAP_FULL_MS 1000 /* how long a ring that stayed full is not waited for again */

/* ---- sockets ------------------------------------------------------------------------------ */

/* Per descriptor, private to the process (descriptor numbers are): which slot of the shared
 * socket table the descriptor's socket has, and its inode, to notice a slot taken over since. */
struct fd_entry {
    atomic_uint slot;    /* slot index + 1; 0: not a tracked socket */
    atomic_uint checked; /* when the descriptor was last seen to be the socket, monotonic ms */
    uint64_t inode;
};

/* How long a descriptor seen to be its socket is taken to stay it without looking again. */
#define VTCAP_CHECK_MS 10u

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

int vtcap_is_tracked(int fd) {
    return fd >= 0 && fd < g_fdCapacity && g_fds != NULL &&
           atomic_load_explicit(&g_fds[fd].slot, memory_order_relaxed) != 0;
}

void vtcap_untrack(int fd) {
    if (fd >= 0 && fd < g_fdCapacity && g_fds != NULL) {
        atomic_store(&g_fds[fd].slot, 0);
    }
}

static void set_entry(int fd, unsigned slot, uint64_t inode) {
    struct fd_entry* entry = &g_fds[fd];
    atomic_store(&entry->slot, 0);
    entry->inode = inode;
    atomic_store(&entry->checked, 0);
    atomic_store_explicit(&entry->slot, slot, memory_order_release);
    int high = atomic_load(&g_fdHighWater);
    while (fd + 1 > high && !atomic_compare_exchange_weak(&g_fdHighWater, &high, fd + 1)) {
    }
}

void vtcap_copy_entry(int from, int to) {
    if (to < 0 || to >= g_fdCapacity || g_fds == NULL) {
        return;
    }
    uint64_t inode = 0;
    if (tracked_socket(from, &inode) == NULL) {
        vtcap_untrack(to);
        return;
    }
    set_entry(to, atomic_load(&g_fds[from].slot), inode);
}

/* Starts tracking a socket that connect (or a sendto with MSG_FASTOPEN) connected to address:
 * TCP to an IPv4 or IPv6 peer only. A socket already tracked keeps what is known of it. */
void vtcap_track_connection(int fd, const struct sockaddr* address, socklen_t length) {
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
        vtcap_untrack(fd);
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
        vtcap_untrack(fd);
        return;
    }
    set_entry(fd, (unsigned)(socket - g_sockets) + 1, inode);
}

/* ---- reporting ---------------------------------------------------------------------------- */

static long g_utcOffset;
static atomic_llong g_fullUntil; /* until when the ring counts as full, monotonic ms */

static __thread int t_inHook __attribute__((tls_model("initial-exec")));
/* Inside the real call of a TLS library function: how deep, and the tracked socket (+ 1) that
 * call moved bytes on, if any. */
static __thread int t_tlsDepth __attribute__((tls_model("initial-exec")));
static __thread int t_tlsSocket __attribute__((tls_model("initial-exec")));

static void local_time(uint16_t out[8]) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    vtcap_calendar_time((int64_t)now.tv_sec, (unsigned)(now.tv_nsec / 1000000), g_utcOffset, out);
}

/* What a record is written for: the socket, its peer, when. */
struct destination {
    const struct vtcap_channel* channel;
    uint32_t connectionId;
    struct vtcap_peer peer;
    uint16_t time[8];
    size_t extension; /* the peer extension's bytes ahead of the data */
};

/* Tells records that could not be written, in the place of the first of them. */
static int write_lost(const struct destination* to, const struct vtcap_loss* loss,
                      uint32_t sizesKnown, int64_t deadline) {
    unsigned char* record = NULL;
    if (vtcap_ring_reserve_lost(&to->channel->ring,
                                VANTOR_RECORD_HEADER_SIZE + to->extension + VANTOR_LOST_DATA_SIZE,
                                deadline, &record) != VTCAP_RING_RESERVED) {
        return 0;
    }
    vtcap_write_header(record, VANTOR_DIRECTION_LOST, 0, to->connectionId, &to->peer,
                       (uint32_t)(to->extension + VANTOR_LOST_DATA_SIZE), loss->first, to->time);
    unsigned char* data = record + VANTOR_RECORD_HEADER_SIZE;
    vtcap_write_peer_extension(data, &to->peer);
    unsigned char* lost = data + to->extension;
    memset(lost, 0, VANTOR_LOST_DATA_SIZE);
    const uint32_t flags = sizesKnown | loss->before << VANTOR_LOST_BEFORE_SHIFT |
                           loss->last << VANTOR_LOST_LAST_SHIFT;
    const uint64_t fields[3] = {(uint64_t)loss->count | (uint64_t)flags << 32, loss->bytes[0],
                                loss->bytes[1]};
    for (int field = 0; field < 3; ++field) {
        for (int byte = 0; byte < 8; ++byte) {
            lost[8 * field + byte] = (unsigned char)(fields[field] >> (8 * byte));
        }
    }
    vtcap_ring_commit(&to->channel->ring, record);
    return 1;
}

/* Sets up where the records of a tracked socket go; 0 when nowhere (the descriptor is no
 * longer the socket). */
static int destination_of(int fd, uint64_t inode, const struct vtcap_peer* peer,
                          const struct vtcap_channel* channel, struct destination* to) {
    /* The descriptor may have been closed behind our back (fclose, a raw syscall) and now be
     * something else: only the socket that connected is reported. Looked at again after
     * VTCAP_CHECK_MS, not on every record of a busy connection. */
    const uint32_t now = (uint32_t)vtcap_monotonic_ms();
    atomic_uint* checked = &g_fds[fd].checked;
    if (now - atomic_load_explicit(checked, memory_order_relaxed) >= VTCAP_CHECK_MS) {
        struct stat status;
        if (fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode) ||
            (uint64_t)status.st_ino != inode) {
            vtcap_untrack(fd);
            return 0;
        }
        atomic_store_explicit(checked, now == 0 ? 1 : now, memory_order_relaxed);
    }
    to->channel = channel;
    to->connectionId = (uint32_t)inode;
    to->peer = *peer;
    to->extension = vtcap_peer_extension_size(peer);
    local_time(to->time);
    return 1;
}

/* Writes a transfer of total bytes as records of at most VANTOR_MAX_RECORD_DATA bytes (the
 * peer extension of an IPv6 peer included), in their places among the connection's records: the
 * one a send took before its call (sent), and the others taken now. What cannot be written is
 * noted, to be told in its place. */
static void report(int fd, struct vtcap_socket* socket, uint64_t inode, struct vtcap_stream* stream,
                   uint32_t direction, const struct vtcap_ticket* sent,
                   const struct vtcap_source* source, size_t total) {
    struct vtcap_peer peer;
    const int known = vtcap_socket_peer(socket, inode, &peer);
    const size_t most = VANTOR_MAX_RECORD_DATA - (known ? vtcap_peer_extension_size(&peer) : 0);
    const uint32_t records = (uint32_t)((total + most - 1) / most);
    const uint32_t ticketed = sent != NULL ? 1 : records;
    const struct vtcap_ticket first =
        sent != NULL ? *sent : vtcap_stream_take(stream, direction, records);
    struct vtcap_ticket more = {0, 0};
    if (records > ticketed) {
        more = vtcap_stream_take(stream, direction, records - ticketed);
    }
    if (!known || total == 0) {
        return; /* the socket's slot went to another socket */
    }
    if (t_inHook) { /* a signal handler inside our own hand-over: told as lost */
        vtcap_stream_note_loss(stream, first.sequence, ticketed, direction, first.previous, total);
        return;
    }
    t_inHook = 1;
    struct vtcap_channel* channel = vtcap_channel_acquire();
    struct destination to;
    if (channel != NULL && destination_of(fd, inode, &peer, channel, &to)) {
        const int64_t now = vtcap_monotonic_ms();
        const int waits = now >= atomic_load(&g_fullUntil);
        const int64_t deadline = waits ? now + VTCAP_WAIT_MS : now;
        int outcome = waits ? VTCAP_RING_RESERVED : VTCAP_RING_TIMED_OUT;
        /* Records lost before go first, in their place. */
        struct vtcap_loss loss;
        if (vtcap_stream_take_loss(stream, &loss) &&
            !write_lost(&to, &loss, VANTOR_LOST_SIZES_KNOWN, deadline)) {
            vtcap_stream_return_loss(stream, &loss);
        }
        uint32_t written = 0;
        for (; written < records && outcome == VTCAP_RING_RESERVED; ++written) {
            const size_t offset = (size_t)written * most;
            const size_t count = total - offset < most ? total - offset : most;
            const uint32_t sequence = written < ticketed ? first.sequence + written
                                                         : more.sequence + (written - ticketed);
            const uint32_t previous = written == 0          ? first.previous
                                      : written == ticketed ? more.previous
                                                            : direction;
            unsigned char* record = NULL;
            outcome =
                vtcap_ring_reserve(&channel->ring, VANTOR_RECORD_HEADER_SIZE + to.extension + count,
                                   deadline, &record);
            if (outcome != VTCAP_RING_RESERVED) {
                break;
            }
            unsigned char* data = record + VANTOR_RECORD_HEADER_SIZE;
            vtcap_write_header(record, direction, previous, to.connectionId, &to.peer,
                               (uint32_t)(to.extension + count), sequence, to.time);
            if (atomic_load(&stream->http) == VTCAP_TLS) {
                vtcap_set_extension_flags(record, VANTOR_EXTENSION_TLS);
            } else if (stream == &socket->streams[VTCAP_STREAM_TLS]) {
                vtcap_set_extension_flags(record, VANTOR_EXTENSION_TLS_PLAIN);
            }
            vtcap_write_peer_extension(data, &to.peer);
            vtcap_gather(data + to.extension, source, offset, count);
            vtcap_ring_commit(&channel->ring, record);
        }
        if (outcome == VTCAP_RING_CLOSED) {
            vtcap_channel_let_go(channel); /* not now; look again in a while */
        } else if (written < records) {
            /* Vantor runs but does not keep up: the program goes on, and the user is told in
             * the place of each record. */
            if (outcome == VTCAP_RING_TIMED_OUT && waits) {
                atomic_store(&g_fullUntil, vtcap_monotonic_ms() + VTCAP_FULL_MS);
            }
            vtcap_ring_count_dropped(&channel->ring, records - written);
            for (uint32_t i = written; i < records; ++i) {
                const size_t count =
                    total - (size_t)i * most < most ? total - (size_t)i * most : most;
                const uint32_t sequence =
                    i < ticketed ? first.sequence + i : more.sequence + (i - ticketed);
                const uint32_t previous = i == 0          ? first.previous
                                          : i == ticketed ? more.previous
                                                          : direction;
                vtcap_stream_note_loss(stream, sequence, 1, direction, previous, count);
            }
            /* Told at once where the ring's reserve allows, else before the next record. */
            if (outcome == VTCAP_RING_TIMED_OUT && vtcap_stream_take_loss(stream, &loss) &&
                !write_lost(&to, &loss, VANTOR_LOST_SIZES_KNOWN, vtcap_monotonic_ms())) {
                vtcap_stream_return_loss(stream, &loss);
            }
        }
    }
    if (channel != NULL) {
        vtcap_channel_release();
    }
    t_inHook = 0;
}

/* A number taken for a transfer that moved nothing: given back, or told as a loss of nothing
 * so that Vantor does not wait for it. */
static void give_back(struct vtcap_stream* stream, struct vtcap_ticket ticket, uint32_t direction) {
    if (!vtcap_stream_give_back(stream, ticket, direction)) {
        vtcap_stream_note_loss(stream, ticket.sequence, 1, direction, ticket.previous, 0);
    }
}

/* Tells what is noted as lost of the socket's streams now, if anything (the socket closes). */
void vtcap_tell_losses(int fd) {
    uint64_t inode = 0;
    struct vtcap_socket* socket = tracked_socket(fd, &inode);
    if (socket == NULL || t_inHook) {
        return;
    }
    for (int i = 0; i < VTCAP_STREAMS; ++i) {
        struct vtcap_stream* stream = &socket->streams[i];
        if (atomic_load_explicit(&stream->lostCount, memory_order_relaxed) == 0) {
            continue;
        }
        t_inHook = 1;
        struct vtcap_channel* channel = vtcap_channel_acquire();
        struct destination to;
        struct vtcap_loss loss;
        struct vtcap_peer peer;
        if (channel != NULL && vtcap_socket_peer(socket, inode, &peer) &&
            destination_of(fd, inode, &peer, channel, &to) &&
            vtcap_stream_take_loss(stream, &loss) &&
            !write_lost(&to, &loss, VANTOR_LOST_SIZES_KNOWN, vtcap_monotonic_ms())) {
            vtcap_stream_return_loss(stream, &loss);
        }
        if (channel != NULL) {
            vtcap_channel_release();
        }
        t_inHook = 0;
    }
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

/* The verdict on bytes about to be sent, before the call: decided now when they say enough
 * by themselves (nothing held back before), so that an answer that comes before the call
 * returns finds the connection HTTP. VTCAP_UNDECIDED leaves it to decide after the call. */
static unsigned decide_ahead(struct vtcap_stream* stream, const struct vtcap_source* source,
                             size_t length) {
    unsigned verdict = atomic_load(&stream->http);
    unsigned idle = 0;
    if (verdict != VTCAP_UNDECIDED ||
        !atomic_compare_exchange_strong(&stream->deciding, &idle, 1)) {
        return verdict;
    }
    verdict = atomic_load(&stream->http);
    if (verdict == VTCAP_UNDECIDED && stream->heldLength == 0) {
        char first[VTCAP_CLASSIFY_BYTES];
        const size_t take = length < VTCAP_CLASSIFY_BYTES ? length : VTCAP_CLASSIFY_BYTES;
        vtcap_gather((unsigned char*)first, source, 0, take);
        const int found = vtcap_classify(first, take);
        if (found != VTCAP_UNDECIDED) {
            unsigned expected = VTCAP_UNDECIDED;
            atomic_compare_exchange_strong(&stream->http, &expected, (unsigned)found);
        }
        verdict = atomic_load(&stream->http);
    }
    atomic_store(&stream->deciding, 0);
    return verdict;
}

/* A socket's own bytes moved inside a TLS library call are the session's records: never
 * reported, and the socket stream can no longer turn out to be HTTP. The socket is the one the
 * session runs over. A socket already handed over as TLS (its handshake began outside any TLS
 * call: the library runs over a transport of the program's own, as node's does) goes on being
 * handed over whole, wherever its bytes move, until its plain text is seen (plain_seen). */
static int inside_tls(int fd, struct vtcap_socket* socket) {
    if (t_tlsDepth == 0 || atomic_load(&socket->streams[VTCAP_STREAM_SOCKET].http) == VTCAP_TLS) {
        return 0;
    }
    t_tlsSocket = fd + 1;
    unsigned undecided = VTCAP_UNDECIDED;
    atomic_compare_exchange_strong(&socket->streams[VTCAP_STREAM_SOCKET].http, &undecided,
                                   VTCAP_NOT_HTTP);
    return 1;
}

/* The hooks report a socket's plain text: its TLS records are handed over no more. */
static void plain_seen(struct vtcap_socket* socket) {
    unsigned tls = VTCAP_TLS;
    atomic_compare_exchange_strong(&socket->streams[VTCAP_STREAM_SOCKET].http, &tls,
                                   VTCAP_NOT_HTTP);
}

void vtcap_begin_send(int fd, int streamIndex, const struct iovec* iov, int iovcnt, size_t length,
                      struct vtcap_outgoing* out) {
    out->socket = NULL;
    out->ticketed = 0;
    out->fd = fd;
    uint64_t inode = 0;
    struct vtcap_socket* socket = tracked_socket(fd, &inode);
    if (socket == NULL || length == 0) {
        return;
    }
    if (streamIndex == VTCAP_STREAM_SOCKET && inside_tls(fd, socket)) {
        return;
    }
    if (streamIndex == VTCAP_STREAM_TLS) {
        plain_seen(socket);
    }
    struct vtcap_stream* stream = &socket->streams[streamIndex];
    const struct vtcap_source source = {NULL, 0, iov, iovcnt};
    const unsigned http = decide_ahead(stream, &source, length);
    if (http == VTCAP_NOT_HTTP) {
        return;
    }
    out->socket = socket;
    out->stream = stream;
    out->inode = inode;
    if (http == VTCAP_HTTP || http == VTCAP_TLS) {
        out->ticket = vtcap_stream_take(stream, VANTOR_DIRECTION_SENT, 1);
        out->ticketed = 1;
    }
}

/* The send returned: its bytes are reported in the place taken before. */
void vtcap_finish_send(const struct vtcap_outgoing* out, const struct iovec* iov, int iovcnt,
                       size_t moved) {
    if (out->socket == NULL) {
        return;
    }
    struct vtcap_stream* stream = out->stream;
    if (moved == 0) {
        if (out->ticketed) {
            give_back(stream, out->ticket, VANTOR_DIRECTION_SENT);
        }
        return;
    }
    vtcap_socket_touch(out->socket, coarse_seconds());
    struct vtcap_source source = {NULL, 0, iov, iovcnt};
    char held[VTCAP_CLASSIFY_BYTES];
    size_t heldLength = 0;
    struct vtcap_ticket ticket = out->ticket;
    if (!out->ticketed) {
        /* Undecided before the call: decided on what it moved, with what was held back. */
        const unsigned verdict = decide(stream, &source, moved, held, &heldLength);
        if (verdict != VTCAP_HTTP && verdict != VTCAP_TLS) {
            return;
        }
        source.held = held;
        source.heldLength = heldLength;
        ticket = vtcap_stream_take(stream, VANTOR_DIRECTION_SENT, 1);
    }
    report(out->fd, out->socket, out->inode, stream, VANTOR_DIRECTION_SENT, &ticket, &source,
           heldLength + moved);
}

/* kind: what the call did to the stream (vtcap_receive_kind). The direction moves on whether
 * or not the bytes can be reported. */
void vtcap_on_received(int fd, int streamIndex, const struct iovec* iov, int iovcnt, size_t moved,
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
    if (streamIndex == VTCAP_STREAM_TLS) {
        plain_seen(socket);
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
    if (http != VTCAP_HTTP && http != VTCAP_TLS) {
        return;
    }
    if (kind != VTCAP_RECEIVE_DATA) {
        /* Bytes that left the stream unseen: the direction moves on, nothing is reported. */
        vtcap_stream_take(stream, VANTOR_DIRECTION_RECEIVED, 0);
        return;
    }
    const struct vtcap_source source = {NULL, 0, iov, iovcnt};
    const size_t total = vtcap_iov_capacity(iov, iovcnt, moved);
    report(fd, socket, inode, stream, VANTOR_DIRECTION_RECEIVED, NULL, &source, total);
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

void vtcap_plain_send_begin(int fd, const void* data, size_t length, struct vtcap_outgoing* out) {
    const int saved = errno;
    const struct iovec iov = {(void*)data, length};
    vtcap_begin_send(fd, VTCAP_STREAM_TLS, &iov, 1, length, out);
    errno = saved;
}

void vtcap_plain_send_finish(struct vtcap_outgoing* out, const void* data, size_t moved) {
    const struct iovec iov = {(void*)data, moved};
    vtcap_finish_send(out, &iov, 1, moved);
}

void vtcap_plain_send_abandon(struct vtcap_outgoing* out) {
    if (out->socket != NULL && out->ticketed) {
        give_back(out->stream, out->ticket, VANTOR_DIRECTION_SENT);
    }
    out->socket = NULL;
}

void vtcap_plain_received(int fd, const void* data, size_t length) {
    const struct iovec iov = {(void*)data, length};
    vtcap_on_received(fd, VTCAP_STREAM_TLS, &iov, 1, length, VTCAP_RECEIVE_DATA);
}

struct vtcap_session* vtcap_sessions(void) {
    return g_sessions;
}

void vtcap_report_initialize(void) {
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

    /* Local time is UTC plus this offset, taken once: the hooks cannot call localtime, which
     * locks and may read files, and they may run inside signal handlers. */
    tzset();
    const time_t now = time(NULL);
    struct tm local;
    if (localtime_r(&now, &local) != NULL) {
        g_utcOffset = local.tm_gmtoff;
    }
}

/* Only descriptors below the highest one ever tracked can be tracked: a program closing every
 * descriptor up to the limit does not walk (and touch) the whole table. */
void vtcap_untrack_range(unsigned first, unsigned last) {
    const unsigned high = (unsigned)atomic_load(&g_fdHighWater);
    for (unsigned fd = first; fd <= last && fd < high; ++fd) {
        vtcap_untrack((int)fd);
    }
}
