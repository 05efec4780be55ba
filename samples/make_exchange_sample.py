#!/usr/bin/env python3
"""Writes samples/exchanges.records: a capture-record stream of the kinds of exchange the
exchange list shows differently: a JSON API (gzip-coded, then posted to), an image, an error
page, a WebSocket conversation, HTTP/2 streams over TLS seen by the TLS hooks, and a binary
download. The records are what the capture provider hands over.

The stream is committed; run this script again only to change it:
    python3 samples/make_exchange_sample.py samples/exchanges.records
"""

import gzip
import json
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_sample_capture import (RECEIVED, SENT, Socket, Stream, png_bytes,  # noqa: E402
                                 request, response)

# The record header's extension flag for plain text taken by the TLS hooks.
TLS_PLAIN = 4


class HookedSocket(Socket):
    """A socket whose records carry plain text that the TLS hooks took."""

    def record(self, direction, data, previous=None):
        start = len(self.stream.out)
        super().record(direction, data, previous)
        struct.pack_into("<I", self.stream.out, start + 20, TLS_PLAIN)


def h2_frame(kind, flags, stream, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes((kind, flags)) + \
        struct.pack(">I", stream) + payload


def hpack(fields):
    """Literal fields without indexing, names and values as plain strings."""
    out = bytearray()
    for name, value in fields:
        name, value = name.encode(), value.encode()
        assert len(name) < 127 and len(value) < 127
        out += b"\x00" + bytes((len(name),)) + name + bytes((len(value),)) + value
    return bytes(out)


def ws_frame(opcode, payload, mask=None):
    head = bytes((0x80 | opcode,))
    length = len(payload)
    bit = 0x80 if mask else 0
    if length < 126:
        head += bytes((bit | length,))
    else:
        head += bytes((bit | 126,)) + struct.pack(">H", length)
    if mask:
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        return head + mask + payload
    return head + payload


def main(path):
    s = Stream()
    api = "api.example.test"
    browser = [("Host", api),
               ("User-Agent", "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/120"),
               ("Accept", "application/json"), ("Accept-Encoding", "gzip"),
               ("Cookie", "session=7f3a91")]

    # A JSON API on a keep-alive connection: a list, gzip-coded; a post that creates a user.
    users = {"users": [{"id": n, "name": name, "admin": n == 1, "tags": ["staff", "eu"]}
                       for n, name in enumerate(["ada", "grace", "linus", "barbara"], 1)],
             "next": None, "total": 4}
    body = gzip.compress(json.dumps(users).encode(), mtime=0)
    a = Socket(s, 51001, 8080)
    a.send(request("GET /v1/users?page=1 HTTP/1.1", browser))
    s.clock.tick(34)
    a.receive(response("200 OK", [("Content-Type", "application/json; charset=utf-8"),
                                  ("Content-Encoding", "gzip"),
                                  ("Content-Length", str(len(body)))], body))
    created = json.dumps({"name": "margaret", "admin": False}).encode()
    a.send(request("POST /v1/users HTTP/1.1",
                   browser + [("Content-Type", "application/json"),
                              ("X-Request-Id", "c0ffee-42"),
                              ("Content-Length", str(len(created)))], created))
    s.clock.tick(81)
    answer = json.dumps({"id": 5, "name": "margaret", "admin": False}).encode()
    a.receive(response("201 Created", [("Content-Type", "application/json"),
                                       ("Location", "/v1/users/5"),
                                       ("Set-Cookie", "session=7f3a91; Path=/; HttpOnly"),
                                       ("Content-Length", str(len(answer)))], answer))

    # An image, and a page that is not there.
    image = png_bytes()
    i = Socket(s, 51002, 8080)
    i.send(request("GET /static/logo.png HTTP/1.1", [("Host", "cdn.example.test"),
                                                      ("Accept", "image/*")]))
    s.clock.tick(12)
    i.receive(response("200 OK", [("Content-Type", "image/png"),
                                  ("Content-Length", str(len(image)))], image))
    missing = b"<!DOCTYPE html>\n<html><body><h1>404</h1><p>No such page.</p></body></html>\n"
    i.send(request("GET /static/old.css HTTP/1.1", [("Host", "cdn.example.test")]))
    s.clock.tick(7)
    i.receive(response("404 Not Found", [("Content-Type", "text/html"),
                                         ("Content-Length", str(len(missing)))], missing))

    # A WebSocket: the upgrade, then messages both ways, a ping and the close.
    w = Socket(s, 51003, 8080)
    w.send(request("GET /chat HTTP/1.1", [("Host", api), ("Upgrade", "websocket"),
                                         ("Connection", "Upgrade"),
                                         ("Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="),
                                         ("Sec-WebSocket-Version", "13")]))
    s.clock.tick(3)
    w.receive(response("101 Switching Protocols",
                       [("Upgrade", "websocket"), ("Connection", "Upgrade"),
                        ("Sec-WebSocket-Accept", "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=")]))
    mask = b"\x1f\x2e\x3d\x4c"
    w.send(ws_frame(1, b'{"join": "general"}', mask))
    s.clock.tick(5)
    w.receive(ws_frame(1, b'{"joined": "general", "members": 3}'))
    w.send(ws_frame(1, b"hello, everyone", mask))
    s.clock.tick(40)
    w.receive(ws_frame(2, bytes(range(24))))
    w.receive(ws_frame(9, b"hb"))
    w.send(ws_frame(10, b"hb", mask))
    w.send(ws_frame(8, struct.pack(">H", 1000) + b"bye", mask))
    w.receive(ws_frame(8, struct.pack(">H", 1000)))

    # HTTP/2 over TLS, the plain text from the TLS hooks: two streams on one connection.
    h = HookedSocket(s, 51004, 443)
    preface = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
    h.send(preface + h2_frame(4, 0, 0) +
           h2_frame(1, 5, 1, hpack([(":method", "GET"), (":scheme", "https"),
                                    (":authority", "shop.example.test"), (":path", "/cart"),
                                    ("user-agent", "curl/7.88.1"), ("accept", "*/*")])))
    h.send(h2_frame(1, 5, 3, hpack([(":method", "GET"), (":scheme", "https"),
                                    (":authority", "shop.example.test"),
                                    (":path", "/style.css"), ("user-agent", "curl/7.88.1")])))
    s.clock.tick(22)
    cart = json.dumps({"items": [{"sku": "A-1", "qty": 2}], "sum": 39.8}).encode()
    css = b"body { font: 14px sans-serif; }\n.cart { display: grid; }\n"
    h.receive(h2_frame(4, 0, 0) + h2_frame(4, 1, 0) +
              h2_frame(1, 4, 3, hpack([(":status", "200"), ("content-type", "text/css")])) +
              h2_frame(0, 1, 3, css))
    s.clock.tick(9)
    h.receive(h2_frame(1, 4, 1, hpack([(":status", "200"),
                                       ("content-type", "application/json")])) +
              h2_frame(0, 1, 1, cart))

    # A binary download, and a server error.
    d = Socket(s, 51005, 8080)
    blob = bytes((n * 37 + 11) & 0xFF for n in range(3000))
    d.send(request("GET /files/firmware.bin HTTP/1.1", [("Host", "files.example.test")]))
    s.clock.tick(120)
    whole = response("200 OK", [("Content-Type", "application/octet-stream"),
                                ("Content-Length", str(len(blob)))], blob)
    d.receive(whole[:1000], whole[1000:])
    d.send(request("GET /files/index.json HTTP/1.1", [("Host", "files.example.test")]))
    s.clock.tick(640)
    failure = b'{"error": "storage unavailable"}'
    d.receive(response("503 Service Unavailable",
                       [("Content-Type", "application/json"), ("Retry-After", "30"),
                        ("Content-Length", str(len(failure)))], failure))

    assert SENT and RECEIVED
    with open(path, "wb") as f:
        f.write(s.out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples/exchanges.records")
