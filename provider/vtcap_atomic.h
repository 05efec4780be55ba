/* Atomics in structures that the provider (C) and its tests (C++) both use. */
#ifndef VANTOR_PROVIDER_VTCAP_ATOMIC_H
#define VANTOR_PROVIDER_VTCAP_ATOMIC_H

#ifdef __cplusplus
#include <atomic>
#define VTCAP_ATOMIC(type) std::atomic<type>
#define VTCAP_BEGIN_DECLARATIONS extern "C" {
#define VTCAP_END_DECLARATIONS }
#else
#include <stdatomic.h>
#define VTCAP_ATOMIC(type) _Atomic(type)
#define VTCAP_BEGIN_DECLARATIONS
#define VTCAP_END_DECLARATIONS
#endif

#endif
