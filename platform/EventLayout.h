/* A named event object as every process that opens it sees it. Plain C, so that the capture
 * provider (libc only) shares it.
 *
 * The object holds a 32-bit state word, used with futex wait and wake across processes, and the
 * process id of its creator. */
#ifndef VANTOR_PLATFORM_EVENT_LAYOUT_H
#define VANTOR_PLATFORM_EVENT_LAYOUT_H

#define VANTOR_EVENT_OBJECT_SIZE 64u
#define VANTOR_EVENT_STATE_OFFSET 0u
#define VANTOR_EVENT_OWNER_OFFSET 4u
/* Bits of the state word. A closed event wakes every waiter and stays closed. */
#define VANTOR_EVENT_SIGNALLED 1u
#define VANTOR_EVENT_CLOSED 2u
/* A writer names itself in the capture ring (the reservation lock, the slots it reserves) by
 * its process id in the bits above these, so that the reader can tell a slot being written from
 * one whose writer died. Process ids fit: the kernel keeps them below 2^22. A holder of 1 is a
 * writer that the reader cannot name (another process id namespace): never taken for dead. */
#define VANTOR_EVENT_HOLDER_SHIFT 2u
#define VANTOR_EVENT_UNKNOWN_HOLDER 1u

#endif
