/* The capture provider's channel to Vantor (capture/ChannelLayout.h): the connection to Vantor's
 * socket and the process's own ring, made when the process first has something to report while
 * capture runs, and let go when capture stops, when Vantor is gone, when the program closes the
 * connection's descriptor, and in a forked child (which makes a ring of its own).
 *
 * Everything here goes straight to the kernel (syscall), never through the hooked functions, and
 * nothing blocks: a Vantor that does not answer costs a failed connect, tried again a second
 * later. */
#ifndef VANTOR_PROVIDER_VTCAP_CHANNEL_H
#define VANTOR_PROVIDER_VTCAP_CHANNEL_H

#include <stdint.h>

#include "vtcap_atomic.h"
#include "vtcap_ring.h"

VTCAP_BEGIN_DECLARATIONS

struct vtcap_channel {
    unsigned char* object; /* the process's ring object, mapped */
    struct vtcap_ring ring;
    VTCAP_ATOMIC(int) socket; /* the connection to Vantor; -1 once the program closed it */
    uint64_t socketInode;     /* so that a descriptor number the program reused is never ours */
    VTCAP_ATOMIC(int) inUse;  /* 0 free, 1 in use, 2 let go: unmapped once no hook uses it */
};

/* Where Vantor's socket is: socketPath (VANTOR_CHANNEL), else the socket in the private runtime
 * folder that the environment names. Called once, at load. */
void vtcap_channel_locate(const char* socketPath, const char* runtimeDir, const char* tmpDir);

/* The process's channel, counted as in use until vtcap_channel_release; NULL while capture does
 * not run (looked for again at most once a second). */
struct vtcap_channel* vtcap_channel_acquire(void);
void vtcap_channel_release(void);

/* Lets the channel go (capture stopped, Vantor gone) and looks for a new one only in a while. */
void vtcap_channel_let_go(struct vtcap_channel* channel);

/* The program closes (or replaces) descriptors first..last: a connection among them is given
 * up before it goes. */
void vtcap_channel_descriptors_closing(unsigned first, unsigned last);

/* In a forked child: the parent's channel is the parent's. */
void vtcap_channel_forget_after_fork(void);

VTCAP_END_DECLARATIONS

#endif
