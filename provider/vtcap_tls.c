/* The TLS side of the capture provider: the plain text a program hands to, and gets from,
 * OpenSSL 3 (SSL_write, SSL_write_ex, SSL_read, SSL_read_ex) and GnuTLS (gnutls_record_send,
 * gnutls_record_recv), reported as the records of the socket the session runs over.
 *
 * The real functions are found at the first call, behind us in the program's own lookup order,
 * or else in the TLS library the program loaded by itself (Python's ssl module loads OpenSSL
 * with dlopen, out of the global lookup order). Nothing here loads a TLS library: a program
 * that has none never calls these hooks.
 *
 * Which socket a session runs over: the one the real call moved bytes on (whatever the
 * library's transport, the socket hooks see it on this thread), else the descriptor the
 * library says it uses, else, when the library cannot say, the socket the session was last seen
 * on (sessions are forgotten when they are freed). A session with none (memory buffers, a
 * transport on another thread) is not reported, never shown under another socket. A send takes
 * its place among its connection's records before the library's call when its socket is known
 * by then. Whatever a socket carries inside these calls is the session's own traffic and is
 * never reported itself.
 *
 * SSL_peek and SSL_peek_ex are not reported (the bytes are reported when they are read), and
 * neither are the handshake and shutdown; their traffic is kept off the socket's records too. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <stdatomic.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include "record/RecordLayout.h"
#include "vtcap_internal.h"
#include "vtcap_sessions.h"

#define VTCAP_EXPORT __attribute__((visibility("default")))
#define VTCAP_LIBRARY_PATH_SIZE 4096

/* ---- finding the real functions ---------------------------------------------------------- */

struct library_search {
    const char* prefix;
    char path[VTCAP_LIBRARY_PATH_SIZE];
    int found;
};

static int match_library(struct dl_phdr_info* info, size_t size, void* data) {
    (void)size;
    struct library_search* search = data;
    const char* name = info->dlpi_name;
    if (name == NULL || name[0] == '\0') {
        return 0;
    }
    const char* slash = strrchr(name, '/');
    const char* base = slash != NULL ? slash + 1 : name;
    if (strncmp(base, search->prefix, strlen(search->prefix)) != 0 ||
        strlen(name) >= sizeof search->path) {
        return 0;
    }
    strcpy(search->path, name);
    search->found = 1;
    return 1;
}

/* A handle on the loaded library whose file name begins with prefix; NULL when the program has
 * not loaded one (RTLD_NOLOAD: it is never loaded here). */
static void* loaded_library(const char* prefix) {
    struct library_search search;
    search.prefix = prefix;
    search.found = 0;
    dl_iterate_phdr(match_library, &search);
    return search.found ? dlopen(search.path, RTLD_LAZY | RTLD_NOLOAD) : NULL;
}

static char g_missing; /* marks a function looked for and not found */

/* The real function called name: behind us in the global lookup order, or in the loaded library
 * whose name begins with prefix. Looked up once; NULL when there is none. The handle taken on
 * the library is kept: it stays loaded while we may call into it. */
static void* real_function(_Atomic(void*)* cache, const char* name, const void* ours,
                           const char* prefix) {
    void* function = atomic_load_explicit(cache, memory_order_acquire);
    if (function == NULL) {
        function = dlsym(RTLD_NEXT, name);
        if (function == NULL || function == ours) {
            void* library = loaded_library(prefix);
            function = library != NULL ? dlsym(library, name) : NULL;
            if (function == ours) {
                function = NULL;
            }
        }
        atomic_store_explicit(cache, function != NULL ? function : (void*)&g_missing,
                              memory_order_release);
    }
    return function == (void*)&g_missing ? NULL : function;
}

/* The real function a hook forwards to; without one the program cannot go on. */
static void* forward_to(_Atomic(void*)* cache, const char* name, const void* ours,
                        const char* prefix) {
    const int saved = errno;
    vtcap_ensure_resolved();
    void* function = real_function(cache, name, ours, prefix);
    if (function == NULL) {
        vtcap_fatal(name);
    }
    errno = saved;
    return function;
}

#define OPENSSL "libssl.so"
#define GNUTLS "libgnutls.so"

#define REAL(type, name, library)                                      \
    ({                                                                 \
        static _Atomic(void*) cache;                                   \
        (type) forward_to(&cache, #name, (const void*)&name, library); \
    })

#define COMPANION(type, name, library)                      \
    ({                                                      \
        static _Atomic(void*) cache;                        \
        (type) real_function(&cache, #name, NULL, library); \
    })

/* ---- sessions and sockets ---------------------------------------------------------------- */

/* What a library says of the descriptor a session uses, besides a descriptor: */
#define VTCAP_NO_DESCRIPTOR (-1) /* none: the session runs over something else (memory buffers) */
#define VTCAP_UNTOLD (-2)        /* it cannot say */

/* The tracked socket a session runs over, as the call showed it (seen), as the library says
 * (reported), or, when the library cannot say, as it was last seen; -1 when none. A session
 * that the library says runs over no descriptor is never tied to a socket from memory: its
 * address may be that of a freed session that did. */
static int session_socket(const void* session, int seen, int reported) {
    uint64_t inode = 0;
    for (int i = 0; i < 2; ++i) {
        const int fd = i == 0 ? seen : reported;
        if (fd >= 0 && vtcap_tracked_inode(fd, &inode)) {
            vtcap_session_remember(vtcap_sessions(), VTCAP_SESSION_SLOTS, session, fd, inode);
            return fd;
        }
    }
    if (reported != VTCAP_UNTOLD) {
        return -1;
    }
    int fd = -1;
    uint64_t known = 0;
    if (vtcap_session_recall(vtcap_sessions(), VTCAP_SESSION_SLOTS, session, &fd, &known) &&
        vtcap_tracked_inode(fd, &inode) && inode == known) {
        return fd;
    }
    return -1;
}

/* A call that moved no plain text still shows which socket the session uses. */
static void note_socket(const void* session, int seen) {
    uint64_t inode = 0;
    if (seen >= 0 && vtcap_tracked_inode(seen, &inode)) {
        vtcap_session_remember(vtcap_sessions(), VTCAP_SESSION_SLOTS, session, seen, inode);
    }
}

static void forget_session(const void* session) {
    vtcap_session_forget(vtcap_sessions(), VTCAP_SESSION_SLOTS, session);
}

/* Before a send: its place among the records of the socket the session is known to run over. */
static void send_begins(const void* session, int reported, const void* data, size_t length,
                        struct vtcap_outgoing* out) {
    const int saved = errno;
    const int fd = data != NULL && length > 0 ? session_socket(session, -1, reported) : -1;
    vtcap_plain_send_begin(fd, data, length, out);
    errno = saved;
}

/* After a send of length plain bytes (0: none went): reported in the place taken before when it
 * ran over that socket, else as it comes. */
static void sent(const void* session, int seen, int reported, struct vtcap_outgoing* out,
                 const void* data, size_t length) {
    const int saved = errno;
    if (length == 0) {
        vtcap_plain_send_abandon(out);
        note_socket(session, seen);
    } else {
        const int fd = session_socket(session, seen, reported);
        if (out->socket != NULL && out->fd == fd) {
            vtcap_plain_send_finish(out, data, length);
        } else {
            vtcap_plain_send_abandon(out);
            if (fd >= 0) {
                struct vtcap_outgoing after;
                vtcap_plain_send_begin(fd, data, length, &after);
                vtcap_plain_send_finish(&after, data, length);
            }
        }
    }
    errno = saved;
}

static void received(const void* session, int seen, int reported, const void* data,
                     size_t length) {
    const int saved = errno;
    if (length > 0 && data != NULL) {
        const int fd = session_socket(session, seen, reported);
        if (fd >= 0) {
            vtcap_plain_received(fd, data, length);
        }
    } else {
        note_socket(session, seen);
    }
    errno = saved;
}

/* ---- OpenSSL ----------------------------------------------------------------------------- */

/* The descriptor of the session's socket BIO, read or write side; VTCAP_NO_DESCRIPTOR for
 * other transports. */
static int openssl_descriptor(const void* ssl, uint32_t direction) {
    int (*get)(const void*) = direction == VANTOR_DIRECTION_SENT
                                  ? COMPANION(int (*)(const void*), SSL_get_wfd, OPENSSL)
                                  : COMPANION(int (*)(const void*), SSL_get_rfd, OPENSSL);
    if (get == NULL) {
        return VTCAP_UNTOLD;
    }
    const int fd = get(ssl);
    return fd >= 0 ? fd : VTCAP_NO_DESCRIPTOR;
}

int SSL_read(void* ssl, void* buffer, int count);
int SSL_read_ex(void* ssl, void* buffer, size_t count, size_t* done);
int SSL_write(void* ssl, const void* buffer, int count);
int SSL_write_ex(void* ssl, const void* buffer, size_t count, size_t* done);
int SSL_peek(void* ssl, void* buffer, int count);
int SSL_peek_ex(void* ssl, void* buffer, size_t count, size_t* done);
int SSL_do_handshake(void* ssl);
int SSL_connect(void* ssl);
int SSL_shutdown(void* ssl);
void SSL_free(void* ssl);

VTCAP_EXPORT int SSL_read(void* ssl, void* buffer, int count) {
    int (*real)(void*, void*, int) = REAL(int (*)(void*, void*, int), SSL_read, OPENSSL);
    const int outer = vtcap_tls_enter();
    const int result = real(ssl, buffer, count);
    const int seen = vtcap_tls_leave(outer);
    received(ssl, seen, seen >= 0 ? -1 : openssl_descriptor(ssl, VANTOR_DIRECTION_RECEIVED), buffer,
             result > 0 ? (size_t)result : 0);
    return result;
}

VTCAP_EXPORT int SSL_read_ex(void* ssl, void* buffer, size_t count, size_t* done) {
    int (*real)(void*, void*, size_t, size_t*) =
        REAL(int (*)(void*, void*, size_t, size_t*), SSL_read_ex, OPENSSL);
    const int outer = vtcap_tls_enter();
    const int result = real(ssl, buffer, count, done);
    const int seen = vtcap_tls_leave(outer);
    received(ssl, seen, seen >= 0 ? -1 : openssl_descriptor(ssl, VANTOR_DIRECTION_RECEIVED), buffer,
             result == 1 && done != NULL ? *done : 0);
    return result;
}

VTCAP_EXPORT int SSL_write(void* ssl, const void* buffer, int count) {
    int (*real)(void*, const void*, int) =
        REAL(int (*)(void*, const void*, int), SSL_write, OPENSSL);
    struct vtcap_outgoing out;
    send_begins(ssl, openssl_descriptor(ssl, VANTOR_DIRECTION_SENT), buffer, count > 0 ? (size_t)count : 0, &out);
    const int outer = vtcap_tls_enter();
    const int result = real(ssl, buffer, count);
    const int seen = vtcap_tls_leave(outer);
    sent(ssl, seen, seen >= 0 ? -1 : openssl_descriptor(ssl, VANTOR_DIRECTION_SENT), &out, buffer,
         result > 0 ? (size_t)result : 0);
    return result;
}

VTCAP_EXPORT int SSL_write_ex(void* ssl, const void* buffer, size_t count, size_t* done) {
    int (*real)(void*, const void*, size_t, size_t*) =
        REAL(int (*)(void*, const void*, size_t, size_t*), SSL_write_ex, OPENSSL);
    struct vtcap_outgoing out;
    send_begins(ssl, openssl_descriptor(ssl, VANTOR_DIRECTION_SENT), buffer, count, &out);
    const int outer = vtcap_tls_enter();
    const int result = real(ssl, buffer, count, done);
    const int seen = vtcap_tls_leave(outer);
    sent(ssl, seen, seen >= 0 ? -1 : openssl_descriptor(ssl, VANTOR_DIRECTION_SENT), &out, buffer,
         result == 1 && done != NULL ? *done : 0);
    return result;
}

/* Calls whose traffic is the session's own: seen only to learn the socket. */
#define OPENSSL_QUIET_CALL(real, ssl, ...)           \
    ({                                               \
        const int outer = vtcap_tls_enter();         \
        const int result = real(ssl, ##__VA_ARGS__); \
        const int seen = vtcap_tls_leave(outer);     \
        received(ssl, seen, -1, NULL, 0);            \
        result;                                      \
    })

VTCAP_EXPORT int SSL_peek(void* ssl, void* buffer, int count) {
    int (*real)(void*, void*, int) = REAL(int (*)(void*, void*, int), SSL_peek, OPENSSL);
    return OPENSSL_QUIET_CALL(real, ssl, buffer, count);
}

VTCAP_EXPORT int SSL_peek_ex(void* ssl, void* buffer, size_t count, size_t* done) {
    int (*real)(void*, void*, size_t, size_t*) =
        REAL(int (*)(void*, void*, size_t, size_t*), SSL_peek_ex, OPENSSL);
    return OPENSSL_QUIET_CALL(real, ssl, buffer, count, done);
}

VTCAP_EXPORT int SSL_do_handshake(void* ssl) {
    int (*real)(void*) = REAL(int (*)(void*), SSL_do_handshake, OPENSSL);
    return OPENSSL_QUIET_CALL(real, ssl);
}

VTCAP_EXPORT int SSL_connect(void* ssl) {
    int (*real)(void*) = REAL(int (*)(void*), SSL_connect, OPENSSL);
    return OPENSSL_QUIET_CALL(real, ssl);
}

VTCAP_EXPORT int SSL_shutdown(void* ssl) {
    int (*real)(void*) = REAL(int (*)(void*), SSL_shutdown, OPENSSL);
    return OPENSSL_QUIET_CALL(real, ssl);
}

/* A freed session's address may come back for another session. */
VTCAP_EXPORT void SSL_free(void* ssl) {
    void (*real)(void*) = REAL(void (*)(void*), SSL_free, OPENSSL);
    forget_session(ssl);
    real(ssl);
}

/* ---- GnuTLS ------------------------------------------------------------------------------ */

/* The descriptor the session's transport was given (gnutls_transport_set_int), or VTCAP_UNTOLD
 * when it was given a pointer: transports keep an int in the pointer's place, and a real
 * pointer is far above any descriptor. */
static int gnutls_descriptor(void* session, uint32_t direction) {
    void (*get)(void*, void**, void**) =
        COMPANION(void (*)(void*, void**, void**), gnutls_transport_get_ptr2, GNUTLS);
    if (get == NULL) {
        return VTCAP_UNTOLD;
    }
    void* receiving = NULL;
    void* sending = NULL;
    get(session, &receiving, &sending);
    const uintptr_t value = (uintptr_t)(direction == VANTOR_DIRECTION_SENT ? sending : receiving);
    return value < (1u << 20) ? (int)value : VTCAP_UNTOLD;
}

ssize_t gnutls_record_recv(void* session, void* data, size_t size);
ssize_t gnutls_record_send(void* session, const void* data, size_t size);
int gnutls_handshake(void* session);
int gnutls_bye(void* session, int how);
void gnutls_deinit(void* session);

VTCAP_EXPORT ssize_t gnutls_record_recv(void* session, void* data, size_t size) {
    ssize_t (*real)(void*, void*, size_t) =
        REAL(ssize_t(*)(void*, void*, size_t), gnutls_record_recv, GNUTLS);
    const int outer = vtcap_tls_enter();
    const ssize_t result = real(session, data, size);
    const int seen = vtcap_tls_leave(outer);
    received(session, seen, seen >= 0 ? -1 : gnutls_descriptor(session, VANTOR_DIRECTION_RECEIVED), data,
             result > 0 ? (size_t)result : 0);
    return result;
}

/* A send resumed after GNUTLS_E_AGAIN may pass no data at all: what it finishes sending cannot
 * be reported then. */
VTCAP_EXPORT ssize_t gnutls_record_send(void* session, const void* data, size_t size) {
    ssize_t (*real)(void*, const void*, size_t) =
        REAL(ssize_t(*)(void*, const void*, size_t), gnutls_record_send, GNUTLS);
    struct vtcap_outgoing out;
    send_begins(session, gnutls_descriptor(session, VANTOR_DIRECTION_SENT), data, size, &out);
    const int outer = vtcap_tls_enter();
    const ssize_t result = real(session, data, size);
    const int seen = vtcap_tls_leave(outer);
    sent(session, seen, seen >= 0 ? -1 : gnutls_descriptor(session, VANTOR_DIRECTION_SENT), &out, data,
         result > 0 && (size_t)result <= size ? (size_t)result : 0);
    return result;
}

VTCAP_EXPORT int gnutls_handshake(void* session) {
    int (*real)(void*) = REAL(int (*)(void*), gnutls_handshake, GNUTLS);
    const int outer = vtcap_tls_enter();
    const int result = real(session);
    received(session, vtcap_tls_leave(outer), -1, NULL, 0);
    return result;
}

VTCAP_EXPORT int gnutls_bye(void* session, int how) {
    int (*real)(void*, int) = REAL(int (*)(void*, int), gnutls_bye, GNUTLS);
    const int outer = vtcap_tls_enter();
    const int result = real(session, how);
    received(session, vtcap_tls_leave(outer), -1, NULL, 0);
    return result;
}

VTCAP_EXPORT void gnutls_deinit(void* session) {
    void (*real)(void*) = REAL(void (*)(void*), gnutls_deinit, GNUTLS);
    forget_session(session);
    real(session);
}
