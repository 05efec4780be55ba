#!/usr/bin/env python3
"""Writes the small seed corpus of the fuzz targets into fuzz/corpus/. The seeds are
committed; run this again only to change them:  python3 fuzz/make_seed_corpus.py
"""

import os
import struct

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


if __name__ == "__main__":
    main()
