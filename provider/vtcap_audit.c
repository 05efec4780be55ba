/* libvtcap_audit.so, loaded by vantor-run beside the capture provider (LD_AUDIT). A library
 * that a program opens with RTLD_DEEPBIND (PHP opens its extensions so, and libcurl with them)
 * binds its calls to its own dependencies first, past the preloaded provider, which then sees
 * none of its sockets. The dynamic linker asks an audit library about every binding it makes:
 * here a binding of a function the provider hooks that went past the provider is turned to the
 * provider's, as it would have gone without RTLD_DEEPBIND. Every other binding is left as it is.
 *
 * The audit library runs inside the dynamic linker, in a namespace of its own, before the
 * program's C library is set up: it only reads the provider's symbol table and compares names.
 * Only libc is used. */
#define _GNU_SOURCE
#include <elf.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define VTCAP_EXPORT __attribute__((visibility("default")))

/* What the provider defines and hooks (vtcap.c, vtcap_tls.c). */
static const char* const kHooked[] = {
    "send", "sendto", "sendmsg", "write", "writev", "recv", "recvfrom", "recvmsg", "read",
    "readv", "__recv_chk", "__recvfrom_chk", "__read_chk", "connect", "close", "dup", "dup2",
    "dup3", "fcntl", "fcntl64", "close_range", "closefrom", "SSL_read", "SSL_read_ex",
    "SSL_write", "SSL_write_ex", "SSL_peek", "SSL_peek_ex", "SSL_do_handshake", "SSL_connect",
    "SSL_shutdown", "SSL_free", "gnutls_record_recv", "gnutls_record_send", "gnutls_handshake",
    "gnutls_bye", "gnutls_deinit"};

#define VTCAP_PROVIDER_NAME "libvtcap.so"

/* The provider once loaded: its map and its dynamic symbol table. */
static struct link_map* g_provider;
static const ElfW(Sym) * g_symbols;
static const char* g_strings;
static const uint32_t* g_gnuHash;

static int is_hooked(const char* name) {
    for (size_t i = 0; i < sizeof kHooked / sizeof kHooked[0]; ++i) {
        if (strcmp(name, kHooked[i]) == 0) {
            return 1;
        }
    }
    return 0;
}

static int is_provider(const char* path) {
    if (path == NULL) {
        return 0;
    }
    const char* slash = strrchr(path, '/');
    return strcmp(slash != NULL ? slash + 1 : path, VTCAP_PROVIDER_NAME) == 0;
}

/* An address of the dynamic section, as the dynamic linker left it (relocated or not). */
static uintptr_t dynamic_address(const struct link_map* map, ElfW(Addr) value) {
    return value < map->l_addr ? map->l_addr + value : value;
}

static void read_provider_symbols(struct link_map* map) {
    for (const ElfW(Dyn)* entry = map->l_ld; entry->d_tag != DT_NULL; ++entry) {
        switch (entry->d_tag) {
            case DT_SYMTAB:
                g_symbols = (const ElfW(Sym)*)dynamic_address(map, entry->d_un.d_ptr);
                break;
            case DT_STRTAB:
                g_strings = (const char*)dynamic_address(map, entry->d_un.d_ptr);
                break;
            case DT_GNU_HASH:
                g_gnuHash = (const uint32_t*)dynamic_address(map, entry->d_un.d_ptr);
                break;
            default:
                break;
        }
    }
    if (g_symbols != NULL && g_strings != NULL && g_gnuHash != NULL) {
        g_provider = map;
    }
}

/* The provider's definition of name, through its GNU hash table; 0 when it has none. */
static uintptr_t provider_symbol(const char* name) {
    uint32_t hash = 5381;
    for (const unsigned char* c = (const unsigned char*)name; *c != '\0'; ++c) {
        hash = hash * 33 + *c;
    }
    const uint32_t buckets = g_gnuHash[0];
    const uint32_t first = g_gnuHash[1];
    const uint32_t bloomWords = g_gnuHash[2];
    const uint32_t* bucket = (const uint32_t*)((const ElfW(Addr)*)(g_gnuHash + 4) + bloomWords);
    const uint32_t* chain = bucket + buckets;
    if (buckets == 0) {
        return 0;
    }
    uint32_t index = bucket[hash % buckets];
    if (index < first) {
        return 0;
    }
    for (;; ++index) {
        const uint32_t chained = chain[index - first];
        const ElfW(Sym)* symbol = &g_symbols[index];
        if ((chained | 1u) == (hash | 1u) && strcmp(g_strings + symbol->st_name, name) == 0) {
            return symbol->st_shndx != SHN_UNDEF && symbol->st_value != 0
                       ? g_provider->l_addr + symbol->st_value
                       : 0;
        }
        if ((chained & 1u) != 0) {
            return 0;
        }
    }
}

VTCAP_EXPORT unsigned int la_version(unsigned int version) {
    (void)version;
    return LAV_CURRENT;
}

VTCAP_EXPORT unsigned int la_objopen(struct link_map* map, Lmid_t lmid, uintptr_t* cookie) {
    *cookie = (uintptr_t)map;
    if (lmid != LM_ID_BASE) {
        return 0; /* not the program's */
    }
    if (g_provider == NULL && is_provider(map->l_name)) {
        read_provider_symbols(map);
    }
    return LA_FLG_BINDFROM | LA_FLG_BINDTO;
}

VTCAP_EXPORT uintptr_t la_symbind64(ElfW(Sym) * symbol, unsigned int index, uintptr_t* refcook,
                                    uintptr_t* defcook, unsigned int* flags,
                                    const char* name) {
    (void)index;
    (void)flags;
    const struct link_map* from = (const struct link_map*)*refcook;
    const struct link_map* to = (const struct link_map*)*defcook;
    if (g_provider == NULL || from == g_provider || to == g_provider || name == NULL ||
        !is_hooked(name)) {
        return symbol->st_value;
    }
    const uintptr_t ours = provider_symbol(name);
    return ours != 0 ? ours : symbol->st_value;
}
