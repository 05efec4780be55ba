/* A capture record as both its writers (the capture provider, in C) and its readers see it: the
 * numbers of the record format (docs/record-format.md) in one place. Plain C. */
#ifndef VANTOR_RECORD_LAYOUT_H
#define VANTOR_RECORD_LAYOUT_H

/* The header: thirteen little-endian 32-bit fields. */
#define VANTOR_RECORD_HEADER_SIZE 52u
/* A record is at most this long, its header included. */
#define VANTOR_MAX_RECORD_SIZE 1048576u
#define VANTOR_MAX_RECORD_DATA (VANTOR_MAX_RECORD_SIZE - VANTOR_RECORD_HEADER_SIZE)
#define VANTOR_RECORD_SEQUENCE_OFFSET 32u /* providerData */

#define VANTOR_DIRECTION_NONE 0u /* as the previous direction: the socket's first record */
#define VANTOR_DIRECTION_SENT 1u
#define VANTOR_DIRECTION_RECEIVED 2u
/* A record that stands for records that could not be written. Dispatch without knowledge of it
 * drops it, as any record of a direction it does not know. Its data: */
#define VANTOR_DIRECTION_LOST 0x74736f6cu /* "lost" */
#define VANTOR_LOST_DATA_SIZE 24u
#define VANTOR_LOST_COUNT_OFFSET 0u     /* uint32: how many sequence numbers it stands for */
#define VANTOR_LOST_FLAGS_OFFSET 4u     /* uint32: the flags below */
#define VANTOR_LOST_SENT_OFFSET 8u      /* uint64: bytes sent that are missing */
#define VANTOR_LOST_RECEIVED_OFFSET 16u /* uint64: bytes received that are missing */
/* Flags: whether the two sizes are known; the direction of the transfer before the first lost
 * record (0: not known), and that of the last one (0: not known). */
#define VANTOR_LOST_SIZES_KNOWN 1u
#define VANTOR_LOST_BEFORE_SHIFT 8u
#define VANTOR_LOST_LAST_SHIFT 16u

/* An IPv6 peer's extension at the start of the data: its address and its scope id. */
#define VANTOR_PEER_EXTENSION_SIZE 20u

/* Which further extensions follow (after the IPv6 peer's): a u32 in the first four of the
 * peer's zero bytes; 0 in every record that has none. */
#define VANTOR_RECORD_EXTENSIONS_OFFSET 20u
#define VANTOR_EXTENSION_PROCESS 1u /* the process that moved the bytes (record/ProcessInfo.h) */
/* No bytes of its own: the data are the connection's TLS records as they went over the wire,
 * to be decrypted with logged keys. */
#define VANTOR_EXTENSION_TLS 2u
/* No bytes of its own: the data are plain text that the TLS hooks took from inside the
 * program's TLS library (the connection is TLS on the wire). */
#define VANTOR_EXTENSION_TLS_PLAIN 4u

#endif
