#!/usr/bin/env python3
"""Writes the small seed corpus of the fuzz targets into fuzz/corpus/. The seeds are
committed; run this again only to change them:  python3 fuzz/make_seed_corpus.py
"""

import gzip
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def record(direction, previous, connection, data, port=8080):
    peer = struct.pack("<H", 2) + struct.pack(">H", port) + bytes([127, 0, 0, 1]) + bytes(8)
    header = struct.pack("<III", direction, previous, connection) + peer
    header += struct.pack("<II", len(data), 0) + struct.pack("<8H", 2026, 12, 2, 8, 9, 30, 0, 5)
    return header + data


def record6(direction, previous, connection, data, address=bytes(15) + b"\x01", scope=0):
    """A record of an IPv6 peer: family 10, then the address and scope ahead of the data."""
    extension = address + struct.pack("<I", scope)
    peer = struct.pack("<H", 10) + struct.pack(">H", 8443) + bytes(12)
    header = struct.pack("<III", direction, previous, connection) + peer
    header += struct.pack("<II", len(extension) + len(data), 0)
    header += struct.pack("<8H", 2026, 12, 2, 8, 9, 30, 0, 5)
    return header + extension + data


def string(text):
    if len(text) < 255:
        return bytes([len(text)]) + text
    if len(text) < 0xFFFE:
        return b"\xff" + struct.pack("<H", len(text)) + text
    return b"\xff\xff\xff" + struct.pack("<I", len(text)) + text


def fixed(text, size):
    return text + bytes(size - len(text))


def message_fields(connection, text, stored_text=None, peer=b""):
    """peer: the schema-1 peer fields after the start line (nothing in schema 0)."""
    fields = struct.pack("<I", connection) + struct.pack(">H", 8080) + bytes([127, 0, 0, 1])
    fields += bytes(8) + fixed(b"Time: 09:30:00.005", 30) + fixed(b"IP: 127.0.0.1:8080", 30)
    fields += struct.pack("<8H", 2026, 12, 2, 8, 9, 30, 0, 5) * 2
    return fields + (string(text) if stored_text is None else stored_text) + string(b"") + peer


def request_entry(tag, connection, text, caption, method, target, peer=b""):
    return tag + message_fields(connection, text, peer=peer) + struct.pack("<II", 0, 2) + \
        string(caption) + string(method) + string(target)


def response_entry(tag, connection, text, caption, code, content_class=1, notice=b"", peer=b""):
    return tag + message_fields(connection, text, peer=peer) + \
        struct.pack("<II", content_class, 2) + string(caption) + struct.pack("<II", code, 0) + \
        fixed(notice, 128)


def stage_record(connection, sent, data, fresh=False):
    """A record of the protocol stage's fuzz input: control byte, 16-bit length, data."""
    control = connection | (4 if sent else 0) | (8 if fresh else 0)
    return bytes([control]) + struct.pack("<H", len(data)) + data


def h2_frame(kind, flags, stream, payload):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + \
        struct.pack(">I", stream) + payload


def hpack(fields, indexing=False):
    """A header block of literal fields (with incremental indexing, or without)."""
    block = b""
    for name, value in fields:
        block += (b"\x40" if indexing else b"\x00") + bytes([len(name)]) + name + \
            bytes([len(value)]) + value
    return block


def ws_frame(opcode, payload, masked):
    head = bytes([0x80 | opcode, (0x80 if masked else 0) | len(payload)])
    if not masked:
        return head + payload
    key = b"\x01\x02\x03\x04"
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


def stage_seeds():
    preface = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
    settings = h2_frame(4, 0, 0, b"")
    get = hpack([(b":method", b"GET"), (b":path", b"/a"), (b":authority", b"h")], True)
    status = hpack([(b":status", b"200"), (b"content-type", b"text/plain")], True)
    client = preface + settings + h2_frame(1, 5, 1, get) + h2_frame(1, 4, 3, b"\xbe\x82") + \
        h2_frame(0, 1, 3, b"body")
    server = settings + h2_frame(4, 1, 0, b"") + h2_frame(1, 4, 3, status) + \
        h2_frame(1, 4, 1, b"\xbe") + h2_frame(0, 0, 1, b"one") + h2_frame(0, 1, 3, b"three") + \
        h2_frame(3, 0, 1, b"\x00\x00\x00\x08") + h2_frame(7, 0, 0, bytes(8))
    write("stage", "h2-streams", b"\x00" +
          stage_record(0, True, client[:30], True) + stage_record(0, True, client[30:]) +
          stage_record(0, False, server[:40]) + stage_record(0, False, server[40:]))
    upgrade = b"GET / HTTP/1.1\r\nHost: h\r\nUpgrade: h2c\r\nConnection: Upgrade\r\n\r\n"
    switching = b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\n"
    write("stage", "h2c-upgrade", b"\x80" +
          stage_record(1, True, upgrade, True) +
          stage_record(1, False, switching + settings + h2_frame(1, 4, 1, status)) +
          stage_record(1, True, preface + settings) + stage_record(1, False, h2_frame(0, 1, 1, b"x")))
    ws = b"GET /ws HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"
    ws_switch = b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n"
    write("stage", "websocket", b"\x00" +
          stage_record(2, True, ws, True) + stage_record(2, False, ws_switch + ws_frame(1, b"hi", False)) +
          stage_record(2, True, ws_frame(1, b"hello", True) + ws_frame(9, b"", True)) +
          stage_record(2, False, ws_frame(10, b"", False) + ws_frame(8, b"\x03\xe8", False)) +
          stage_record(2, True, ws_frame(8, b"\x03\xe8", True) + b"after"))
    write("stage", "other-upgrade-and-refused", b"\x80" +
          stage_record(3, True, ws.replace(b"websocket", b"custom"), True) +
          stage_record(3, False, ws_switch.replace(b"websocket", b"custom") + b"xyz") +
          stage_record(0, True, ws, True) +
          stage_record(0, False, b"HTTP/1.1 426 Upgrade Required\r\n\r\n") +
          stage_record(0, True, b"GET /next HTTP/1.1\r\n\r\n"))
    write("stage", "h2-bad", b"\x00" +
          stage_record(0, True, preface + h2_frame(0, 0, 1, bytes(20000)), True) +
          stage_record(1, True, preface + h2_frame(1, 4, 1, b"\xff\xff\xff"), True) +
          stage_record(2, True, b"PRI * HTTP/2.0\r\n\r\nXX", True))


def write(folder, name, data):
    os.makedirs(os.path.join(HERE, "corpus", folder), exist_ok=True)
    with open(os.path.join(HERE, "corpus", folder, name), "wb") as f:
        f.write(data)


def main():
    get = b"GET /a HTTP/1.1\r\nHost: h\r\n\r\n"
    ok = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nhi"
    write("records", "pair", record(1, 0, 7, get) + record(2, 1, 7, ok))
    write("records", "split-header",
          record(1, 0, 3, get[:9]) + record(1, 1, 3, get[9:]) + record(2, 1, 3, ok[:20]) +
          record(2, 2, 3, ok[20:]) + record(1, 2, 3, get))
    write("records", "stray-and-odd-directions",
          record(2, 0, 1, ok) + record(3, 1, 1, b"x") + record(1, 3, 1, get) +
          record(1, 0, 2, b"") + record(1, 1, 2, b"\0\0GET\0 /\n\n"))
    write("records", "truncated", (record(1, 0, 9, get) + record(2, 1, 9, ok))[:-5])
    upload = b"POST /u HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n"
    interim = b"HTTP/1.1 100 Continue\r\n\r\n"
    write("records", "interim-responses",
          record(1, 0, 4, upload) + record(2, 1, 4, interim[:10]) +
          record(2, 2, 4, interim[10:] + b"HTTP/1.1 103 Early Hints\r\n\r\n" + ok[:12]) +
          record(1, 2, 4, b"body") + record(2, 1, 4, ok) + record(1, 2, 4, get))

    new_request = b"\xff\xff\x00\x00\x0b\x00HTTPRequest"
    new_response = b"\xff\xff\x00\x00\x0c\x00HTTPResponse"
    pair = request_entry(new_request, 7, get, b"GET h/a", b"GET", b"h/a") + \
        response_entry(new_response, 7, ok, b"200 OK", 200)
    write("document", "empty", b"")
    write("document", "no-messages", b"\x00\x00")
    write("document", "pair", b"\x02\x00" + pair)
    write("document", "class-index",
          b"\x03\x00" + pair + request_entry(b"\x01\x80", 7, get, b"GET h/a", b"GET", b"h/a"))
    write("document", "big-count", b"\xff\xff\x03\x00\x00\x00" + pair +
          response_entry(b"\x03\x80", 7, ok, b"200 OK", 200, 0, b"2 bytes skipped."))
    write("document", "wide-string",
          b"\x01\x00" + new_request +
          message_fields(5, None, b"\xff\xfe\xff\x03A\x00\xe9\x00=\xd8") +
          struct.pack("<II", 0, 2) + string(b"GET /") + string(b"GET") + string(b"/"))
    write("settings", "user",
          b"; Vantor settings store\n\n[Software\\Orvane\\Vantor\\Preferences]\n"
          b"\"max_req_size\"=dword:00000100\n\"allowed_content\"=\"\\\"\\\" \\\"text/\\\"\"\n"
          b"[Software\\Orvane\\Vantor\\Recent File List]\n\"File1\"=\"/tmp/a b.vtr\\x01\"\n")
    write("settings", "damaged", b"[a\\b\n\"x\"=dword:1\n[c]\n\"y\"=\"\\q\"\n[" + b"d\\" * 70 + b"]\n")
    # Family 10 with less data than the address takes: dropped.
    short6 = struct.pack("<III", 1, 0, 13) + struct.pack("<H", 10) + bytes(14) + \
        struct.pack("<II", 1, 0) + struct.pack("<8H", 2026, 12, 2, 8, 9, 30, 0, 5) + b"x"
    write("records", "ipv6",
          record6(1, 0, 11, get) + record(1, 0, 12, get) + record6(2, 1, 11, ok, scope=3) +
          short6 + record(2, 1, 12, ok))

    ipv6 = struct.pack("<H", 10) + bytes(15) + b"\x01" + struct.pack("<I", 0)
    ipv4 = struct.pack("<H", 2)
    request6 = b"\xff\xff\x01\x00\x0b\x00HTTPRequest"
    response6 = b"\xff\xff\x01\x00\x0c\x00HTTPResponse"
    write("document", "ipv6-peers", b"\x03\x00" +
          request_entry(request6, 7, get, b"GET h/a", b"GET", b"h/a", ipv6) +
          response_entry(response6, 7, ok, b"200 OK", 200, peer=ipv6) +
          request_entry(b"\x01\x80", 8, get, b"GET h/a", b"GET", b"h/a", ipv4))
    write("document", "base-class", b"\x01\x00\xff\xff\x00\x00\x0b\x00HTTPMessage" + bytes(200))
    stage_seeds()
    ring_seeds()
    body_seeds()
    packet_seeds()


def ring_patch(position, data):
    return struct.pack("<IH", position, len(data)) + data


def ring_slot(size, state, contents=b""):
    return struct.pack("<II", size, state) + contents


def ring_seeds():
    """Rings: head and tail, then patches of the ring (slots: size, state, contents)."""
    ring_size = 4 * 1048576
    committed, padding, reserved = 2, 3, 1
    get = record(1, 0, 7, b"GET /a HTTP/1.1\r\n\r\n")
    one = ring_slot(8 + len(get) + (-len(get)) % 8, committed, get)
    write("ring", "two-records", struct.pack("<QQ", 0, 2 * len(one)) +
          ring_patch(0, one) + ring_patch(len(one), one))
    end = ring_size - 16
    write("ring", "padding-at-the-end", struct.pack("<QQ", end, ring_size + len(one)) +
          ring_patch(end, ring_slot(16, padding)) + ring_patch(0, one))
    write("ring", "reserved-by-a-writer", struct.pack("<QQ", 64, 64 + 2 * len(one)) +
          ring_patch(64, ring_slot(len(one), reserved | (4321 << 2))) +
          ring_patch(64 + len(one), one))
    write("ring", "broken-sizes", struct.pack("<QQ", 0, 4096) +
          ring_patch(0, ring_slot(12, committed)) + ring_patch(16, ring_slot(1 << 30, committed)))
    write("ring", "tail-behind-head", struct.pack("<QQ", 1 << 40, 5) + ring_patch(0, one))


def body_seeds():
    """Bodies: a byte choosing the codings (bit 3 chunked, bits 0-2 the content codings), then
    the body."""
    json_text = b'{"a": [1, 2.5e3, "x\\u00e9"], "b": {"c": null}}'
    write("body", "gzip-json", b"\x01" + gzip.compress(json_text, mtime=0))
    write("body", "deflate", b"\x02" + zlib.compress(json_text))
    write("body", "chunked-gzip", b"\x09" + b"%x\r\n" % len(gzip.compress(json_text, mtime=0)) +
          gzip.compress(json_text, mtime=0) + b"\r\n0\r\n\r\n")
    write("body", "plain-json", b"\x00" + json_text)
    write("body", "bomb", b"\x01" + gzip.compress(bytes(4 << 20), mtime=0))


def tcp_packet(source, destination, sequence, acknowledgement, flags, payload=b"", ipv6=False):
    """An IP packet of one TCP segment between (address, port) pairs."""
    tcp = struct.pack(">HHIIBBHHH", source[1], destination[1], sequence, acknowledgement,
                      5 << 4, flags, 65535, 0, 0) + payload
    if ipv6:
        return (struct.pack(">IHBB", 0x60000000, len(tcp), 6, 64) + source[0] + destination[0] +
                tcp)
    return (struct.pack(">BBHIBBH", 0x45, 0, 20 + len(tcp), 0x4000, 64, 6, 0) + source[0] +
            destination[0] + tcp)


def frames(link_index, packets, ethernet=False):
    out = bytes([link_index])
    for packet in packets:
        frame = (bytes(12) + b"\x81\x00\x00\x64" + (b"\x86\xdd" if packet[0] >> 4 == 6 else
                                                       b"\x08\x00") + packet) if ethernet else packet
        out += struct.pack("<H", len(frame)) + frame
    return out


def packet_seeds():
    """Frames of one HTTP exchange with a handshake, out of order, with a gap, in IPv6."""
    get = b"GET /a HTTP/1.1\r\nHost: h\r\n\r\n"
    ok = b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"
    for name, ipv6 in (("ipv4", False), ("ipv6", True)):
        client = ((bytes(15) + b"\x01") if ipv6 else b"\x0a\x00\x00\x01", 40000)
        server = ((bytes(15) + b"\x02") if ipv6 else b"\x0a\x00\x00\x02", 80)
        exchange = [tcp_packet(client, server, 99, 0, 0x02, ipv6=ipv6),
                    tcp_packet(server, client, 499, 100, 0x12, ipv6=ipv6),
                    tcp_packet(client, server, 100, 500, 0x18, get[:9], ipv6),
                    tcp_packet(client, server, 109, 500, 0x18, get[9:], ipv6),
                    tcp_packet(server, client, 520, 100 + len(get), 0x18, ok[20:], ipv6),
                    tcp_packet(server, client, 500, 100 + len(get), 0x18, ok[:20], ipv6),
                    tcp_packet(client, server, 100 + len(get), 500 + len(ok), 0x11, ipv6=ipv6),
                    tcp_packet(server, client, 500 + len(ok), 101 + len(get), 0x11, ipv6=ipv6)]
        write("packets", "raw-" + name, frames(2, exchange))
        write("packets", "ethernet-vlan-" + name, frames(1, exchange, ethernet=True))
        gap = exchange[:5] + [tcp_packet(client, server, 100 + len(get), 600, 0x10, ipv6=ipv6)]
        write("packets", "lost-segment-" + name, frames(2, gap))


if __name__ == "__main__":
    main()
