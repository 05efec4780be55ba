/* What the capture provider decides and writes, as plain functions: which connections are
 * HTTP, how a transfer becomes records, how a record header is laid out. The hooks in vtcap.c
 * only call these; the tests call them without preloading anything. */
#ifndef VANTOR_PROVIDER_VTCAP_LOGIC_H
#define VANTOR_PROVIDER_VTCAP_LOGIC_H

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/uio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* VTCAP_TLS: a TLS handshake, handed over as it is, for Vantor to decrypt with logged keys. */
enum { VTCAP_UNDECIDED = 0, VTCAP_HTTP = 1, VTCAP_NOT_HTTP = 2, VTCAP_TLS = 3 };

/* How many of a connection's first bytes decide whether it is HTTP. */
#define VTCAP_CLASSIFY_BYTES 22

/* Whether the first bytes a client sent begin an HTTP request line: a method of 1 to 20
 * capital letters, '-' or '_', one space, then a visible character (the request target).
 * VTCAP_UNDECIDED while the bytes so far could still become one. A TLS handshake record
 * (0x16 0x03 0x00-0x04) is VTCAP_TLS. Database protocols and the like fail at their first byte.
 * The HTTP/2 connection preface ("PRI * HTTP/2.0") passes like a request line: Vantor decodes
 * HTTP/2 itself. */
int vtcap_classify(const char* bytes, size_t length);

/* A peer as a record carries it: IPv4 (the address in the first 4 bytes) or IPv6. */
struct vtcap_peer {
    uint16_t family;     /* AF_INET or AF_INET6 */
    uint16_t port;       /* network byte order */
    uint8_t address[16]; /* network byte order */
    uint32_t scopeId;    /* IPv6 only */
};

/* The peer of a connect() address: AF_INET, or AF_INET6 (an IPv4-mapped one as IPv4). 0 for
 * anything else. */
int vtcap_peer_of(const struct sockaddr* address, size_t length, struct vtcap_peer* peer);

/* An IPv6 peer's record carries its address ahead of the data (record/CaptureRecord.h): how
 * many bytes, 0 for IPv4. */
size_t vtcap_peer_extension_size(const struct vtcap_peer* peer);
/* Writes that extension; out has room for vtcap_peer_extension_size bytes. */
void vtcap_write_peer_extension(unsigned char* out, const struct vtcap_peer* peer);

/* The bytes of one transfer: a few held-back bytes (sent before the connection was known to be
 * HTTP), then the buffers of the call. */
struct vtcap_source {
    const char* held;
    size_t heldLength;
    const struct iovec* iov;
    int iovcnt;
};

/* What a receive call with these flags did to the byte stream of a TCP socket. */
enum {
    VTCAP_RECEIVE_IGNORE = 0, /* nothing left the stream (MSG_PEEK), or what came was not
                                 stream data (MSG_OOB, MSG_ERRQUEUE) */
    VTCAP_RECEIVE_UNSEEN = 1, /* bytes left the stream but the buffer was not filled with them
                                 (MSG_TRUNC discards them) */
    VTCAP_RECEIVE_DATA = 2    /* the buffer holds the bytes the call returned */
};
int vtcap_receive_kind(int flags);

/* How many bytes the buffers can hold, but at most limit. */
size_t vtcap_iov_capacity(const struct iovec* iov, int iovcnt, size_t limit);

/* Copies count bytes from offset in the source into out. The source must hold them. */
void vtcap_gather(unsigned char* out, const struct vtcap_source* source, size_t offset,
                  size_t count);

/* Local calendar time from seconds since the epoch, milliseconds and the offset of local time
 * from UTC in seconds: year, month, day of week (0 Sunday), day, hour, minute, second,
 * milliseconds. */
void vtcap_calendar_time(int64_t seconds, unsigned milliseconds, long utcOffset, uint16_t out[8]);

/* Writes the 52-byte record header, little-endian. dataLength counts the peer extension;
 * sequence is the record's place among the records of its connection (providerData). */
void vtcap_write_header(unsigned char* out, uint32_t direction, uint32_t previousDirection,
                        uint32_t connectionId, const struct vtcap_peer* peer, uint32_t dataLength,
                        uint32_t sequence, const uint16_t time[8]);

/* Sets a written header's extension flags (VANTOR_EXTENSION_...). */
void vtcap_set_extension_flags(unsigned char* header, uint32_t flags);

#ifdef __cplusplus
}
#endif

#endif
