/* What the kernel side of the system-wide capture (bpf/capture.bpf.c) hands to its reader
 * through the ring buffer: events of a fixed header, some followed by bytes. Plain C, shared by
 * the BPF program and the reader, which trusts none of it. */
#ifndef VANTOR_SYSTEM_EVENTS_H
#define VANTOR_SYSTEM_EVENTS_H

#ifndef __bpf__
#include <linux/types.h>
#endif

/* Bytes per data event; a transfer larger than this is handed over in pieces, each taking a
 * place of its own, and what passes VT_MOST_PIECES pieces is told as a count. */
#define VT_PIECE 16384u
#define VT_MOST_PIECES 128u

enum vt_event_kind {
    VT_EVENT_DATA = 1, /* bytes of a transfer: length bytes follow (in a room that may be larger) */
    VT_EVENT_SKIP = 2, /* places taken whose bytes were not captured: count places, missing bytes */
    VT_EVENT_CLOSE = 3, /* the socket closed */
    VT_EVENT_EXEC = 4,  /* a process started a program: look for TLS code in it */
    VT_EVENT_MAP = 5,   /* a process mapped a file as code: look at its libraries */
};

/* flags */
#define VT_SENT 1u      /* by the process */
#define VT_RECEIVED 2u  /* by the process */
#define VT_PLAIN 4u     /* the plain text of TLS, from a library's or runtime's calls */
#define VT_CONNECTED 8u /* the socket was connected by the process (a client's) */
#define VT_ACCEPTED 16u /* the socket was accepted by the process (a server's) */

struct vt_event {
    __u32 kind;
    __u32 flags;
    __u64 conn;       /* the connection: its socket, or its TLS object (with tgid) */
    __u32 generation; /* which connection of that socket or object (its memory is reused) */
    __u32 spare;
    __u64 sock;   /* the socket under it, 0 when not known */
    __u64 time;   /* CLOCK_MONOTONIC, nanoseconds */
    __u64 cgroup; /* the cgroup's id */
    __u32 tgid;
    __u32 uid;
    __u32 place;   /* the first place among the connection's events */
    __u32 count;   /* places this event stands for (1 for data) */
    __u64 missing; /* SKIP: bytes not captured */
    __u32 length;  /* DATA: bytes that follow */
    __u16 family;  /* the peer: AF_INET or AF_INET6, 0 when not known */
    __u16 port;    /* network byte order */
    __u8 address[16];
    char comm[16];
};

/* What the reader asks of the kernel side (the config map's one entry). */
struct vt_config {
    __u32 pid;     /* only this process (0: any) */
    __u32 uid;     /* only this user's processes, when VT_ONLY_UID */
    __u32 options; /* VT_ONLY_UID, VT_ONLY_COMM, VT_SERVERS */
    __u32 unused;
    char comm[16]; /* only processes of this command name, when VT_ONLY_COMM */
};
#define VT_ONLY_UID 1u
#define VT_ONLY_COMM 2u
#define VT_SERVERS 4u

#endif
