/* The few kernel types the capture program reads, declared by hand: every field access is
 * relocated against the running kernel's BTF when the program loads (CO-RE), so only the names
 * matter here, not the layout. */
#ifndef VANTOR_BPF_KERNEL_H
#define VANTOR_BPF_KERNEL_H
/* bpf_tracing.h: the registers by their kernel names. */
#define __VMLINUX_H__

typedef unsigned char __u8;
typedef unsigned short __u16;
typedef unsigned int __u32;
typedef unsigned long long __u64;
typedef signed char __s8;
typedef short __s16;
typedef int __s32;
typedef long long __s64;
typedef __u16 __be16;
typedef __u32 __be32;
typedef __u32 __wsum;
typedef _Bool bool;
#define true 1
#define false 0

enum bpf_map_type {
    BPF_MAP_TYPE_HASH = 1,
    BPF_MAP_TYPE_ARRAY = 2,
    BPF_MAP_TYPE_PERCPU_ARRAY = 6,
    BPF_MAP_TYPE_LRU_HASH = 9,
    BPF_MAP_TYPE_RINGBUF = 27,
    BPF_MAP_TYPE_TASK_STORAGE = 29,
};
enum { BPF_ANY = 0, BPF_NOEXIST = 1 };
enum { BPF_LOCAL_STORAGE_GET_F_CREATE = 1 };
enum { BPF_RB_NO_WAKEUP = 1, BPF_RB_FORCE_WAKEUP = 2 };
enum { BPF_RB_AVAIL_DATA = 0 };
#define BPF_F_NO_PREALLOC 1u

#pragma clang attribute push(__attribute__((preserve_access_index)), apply_to = record)

struct fdtable {
    unsigned int max_fds;
    struct file** fd;
};
struct files_struct {
    struct fdtable* fdt;
};
struct task_struct {
    struct files_struct* files;
};
struct inode {
    unsigned short i_mode;
};
struct qstr {
    const unsigned char* name;
};
struct dentry {
    struct qstr d_name;
};
struct path {
    struct dentry* dentry;
};
struct file {
    struct inode* f_inode;
    struct path f_path;
    void* private_data;
};
struct socket {
    struct sock* sk;
};
struct in6_addr {
    __u8 bytes[16];
};
struct sock_common {
    __be32 skc_daddr;
    __be16 skc_dport;
    unsigned short skc_family;
    struct in6_addr skc_v6_daddr;
};
struct sock {
    struct sock_common __sk_common;
    __u16 sk_type;
    __u16 sk_protocol;
};

struct iovec;
enum iter_type { ITER_UBUF, ITER_IOVEC, ITER_KVEC };
struct iov_iter {
    __u8 iter_type;
    __u64 iov_offset;
    void* ubuf; /* in the union with the iovec array's pointer */
    __u64 count;
    unsigned long nr_segs;
};
/* Before 6.0: no ubuf, the array's pointer under this name. */
struct iov_iter___old {
    const struct iovec* iov;
};
struct msghdr {
    struct iov_iter msg_iter;
};

#pragma clang attribute pop

/* The registers of a user-space probe, as the kernel saves them (x86-64). */
struct pt_regs {
    unsigned long r15, r14, r13, r12, bp, bx, r11, r10, r9, r8, ax, cx, dx, si, di, orig_ax, ip, cs,
        flags, sp, ss;
};

/* An iovec. */
struct iovec {
    void* iov_base;
    __u64 iov_len;
};
/* A process's own message header and batch of them. */
struct user_msghdr {
    void* msg_name;
    int msg_namelen;
    struct iovec* msg_iov;
    __u64 msg_iovlen;
    void* msg_control;
    __u64 msg_controllen;
    unsigned int msg_flags;
};
struct mmsghdr {
    struct user_msghdr msg_hdr;
    unsigned int msg_len;
};

/* A raw tracepoint's arguments, as its function was called. */
struct bpf_raw_tracepoint_args {
    __u64 args[0];
};

#endif
