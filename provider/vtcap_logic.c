#include "vtcap_logic.h"

#include <string.h>
#include <sys/socket.h>

#include "record/RecordLayout.h"

static int is_method_char(char c) {
    return (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

int vtcap_classify(const char* bytes, size_t length) {
    if (length > 0 && bytes[0] == 0x16) {
        if (length < 3) {
            return VTCAP_UNDECIDED;
        }
        return bytes[1] == 0x03 && bytes[2] <= 0x04 ? VTCAP_TLS : VTCAP_NOT_HTTP;
    }
    size_t i = 0;
    while (i < length && i < 20 && is_method_char(bytes[i])) {
        ++i;
    }
    if (i == length) {
        return VTCAP_UNDECIDED; /* all method characters so far */
    }
    if (i == 0 || bytes[i] != ' ') {
        return VTCAP_NOT_HTTP;
    }
    if (i + 1 == length) {
        return VTCAP_UNDECIDED;
    }
    const unsigned char target = (unsigned char)bytes[i + 1];
    return target > 0x20 && target < 0x7F ? VTCAP_HTTP : VTCAP_NOT_HTTP;
}

int vtcap_receive_kind(int flags) {
    if ((flags & (MSG_PEEK | MSG_OOB | MSG_ERRQUEUE)) != 0) {
        return VTCAP_RECEIVE_IGNORE;
    }
    return (flags & MSG_TRUNC) != 0 ? VTCAP_RECEIVE_UNSEEN : VTCAP_RECEIVE_DATA;
}

size_t vtcap_iov_capacity(const struct iovec* iov, int iovcnt, size_t limit) {
    size_t total = 0;
    for (int i = 0; i < iovcnt && total < limit; ++i) {
        const size_t length = iov[i].iov_len;
        total = length > limit - total ? limit : total + length;
    }
    return total;
}

void vtcap_gather(unsigned char* out, const struct vtcap_source* source, size_t offset,
                  size_t count) {
    if (offset < source->heldLength) {
        size_t take = source->heldLength - offset;
        if (take > count) {
            take = count;
        }
        memcpy(out, source->held + offset, take);
        out += take;
        count -= take;
        offset = 0;
    } else {
        offset -= source->heldLength;
    }
    for (int i = 0; i < source->iovcnt && count > 0; ++i) {
        const size_t length = source->iov[i].iov_len;
        if (offset >= length) {
            offset -= length;
            continue;
        }
        size_t take = length - offset;
        if (take > count) {
            take = count;
        }
        memcpy(out, (const unsigned char*)source->iov[i].iov_base + offset, take);
        out += take;
        count -= take;
        offset = 0;
    }
}

/* Days since 1970-01-01 to a civil date (proleptic Gregorian), after H. Hinnant's algorithm. */
static void civil_from_days(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = (unsigned)(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shifted = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    *month = shifted < 10 ? shifted + 3 : shifted - 9;
    *year = (int64_t)yearOfEra + era * 400 + (*month <= 2);
}

void vtcap_calendar_time(int64_t seconds, unsigned milliseconds, long utcOffset, uint16_t out[8]) {
    const int64_t local = seconds + utcOffset;
    int64_t days = local / 86400;
    int64_t second = local % 86400;
    if (second < 0) {
        second += 86400;
        --days;
    }
    int64_t year;
    unsigned month;
    unsigned day;
    civil_from_days(days, &year, &month, &day);
    const int64_t weekday = (days % 7 + 11) % 7; /* 1970-01-01 was a Thursday */
    out[0] = (uint16_t)year;
    out[1] = (uint16_t)month;
    out[2] = (uint16_t)weekday;
    out[3] = (uint16_t)day;
    out[4] = (uint16_t)(second / 3600);
    out[5] = (uint16_t)(second / 60 % 60);
    out[6] = (uint16_t)(second % 60);
    out[7] = (uint16_t)milliseconds;
}

static void put32(unsigned char* out, uint32_t value) {
    out[0] = (unsigned char)value;
    out[1] = (unsigned char)(value >> 8);
    out[2] = (unsigned char)(value >> 16);
    out[3] = (unsigned char)(value >> 24);
}

void vtcap_write_header(unsigned char* out, uint32_t direction, uint32_t previousDirection,
                        uint32_t connectionId, const struct vtcap_peer* peer, uint32_t dataLength,
                        uint32_t sequence, const uint16_t time[8]) {
    put32(out + 0, direction);
    put32(out + 4, previousDirection);
    put32(out + 8, connectionId);
    out[12] = (unsigned char)peer->family; /* family, little-endian */
    out[13] = (unsigned char)(peer->family >> 8);
    memcpy(out + 14, &peer->port, 2); /* network byte order as it is */
    memset(out + 16, 0, 12);
    if (peer->family == AF_INET) {
        memcpy(out + 16, peer->address, 4); /* network byte order as it is */
    }
    put32(out + 28, dataLength);
    put32(out + 32, sequence); /* providerData: the record's place among its connection's */
    for (int i = 0; i < 8; ++i) {
        out[36 + 2 * i] = (unsigned char)time[i];
        out[37 + 2 * i] = (unsigned char)(time[i] >> 8);
    }
}

void vtcap_set_extension_flags(unsigned char* header, uint32_t flags) {
    put32(header + VANTOR_RECORD_EXTENSIONS_OFFSET, flags);
}

size_t vtcap_peer_extension_size(const struct vtcap_peer* peer) {
    return peer->family == AF_INET6 ? VANTOR_PEER_EXTENSION_SIZE : 0;
}

void vtcap_write_peer_extension(unsigned char* out, const struct vtcap_peer* peer) {
    if (peer->family == AF_INET6) {
        memcpy(out, peer->address, 16);
        put32(out + 16, peer->scopeId);
    }
}

int vtcap_peer_of(const struct sockaddr* address, size_t length, struct vtcap_peer* peer) {
    if (address == NULL) {
        return 0;
    }
    memset(peer, 0, sizeof *peer);
    if (address->sa_family == AF_INET && length >= sizeof(struct sockaddr_in)) {
        const struct sockaddr_in* in = (const struct sockaddr_in*)address;
        peer->family = AF_INET;
        peer->port = in->sin_port;
        memcpy(peer->address, &in->sin_addr.s_addr, 4);
        return 1;
    }
    if (address->sa_family == AF_INET6 && length >= sizeof(struct sockaddr_in6)) {
        const struct sockaddr_in6* in6 = (const struct sockaddr_in6*)address;
        peer->port = in6->sin6_port;
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            peer->family = AF_INET;
            memcpy(peer->address, &in6->sin6_addr.s6_addr[12], 4);
        } else {
            peer->family = AF_INET6;
            memcpy(peer->address, in6->sin6_addr.s6_addr, 16);
            peer->scopeId = in6->sin6_scope_id;
        }
        return 1;
    }
    return 0;
}
