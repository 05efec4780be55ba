#!/usr/bin/env python3
"""Writes samples/sample.records: a capture-record stream of a few ordinary HTTP/1.1
exchanges on the loopback interface, the way the capture provider hands them over (records
back to back, each a 52-byte little-endian header followed by its data).

The stream is committed; run this script again only to change it:
    python3 samples/make_sample_capture.py samples/sample.records
"""

import struct
import sys
import zlib

SENT, RECEIVED = 1, 2


class Clock:
    def __init__(self):
        self.ms = ((9 * 60 + 14) * 60 + 3) * 1000 + 117  # 09:14:03.117

    def tick(self, ms):
        self.ms += ms

    def systemtime(self):
        ms = self.ms
        return (2026, 12, 2, 8, ms // 3600000 % 24, ms // 60000 % 60, ms // 1000 % 60, ms % 1000)


class Socket:
    def __init__(self, stream, connection_id, port, address=(127, 0, 0, 1)):
        self.stream = stream
        self.connection_id = connection_id
        self.port = port
        self.address = address
        self.previous = 0

    def record(self, direction, data, previous=None):
        peer = struct.pack("<H", 2) + struct.pack(">H", self.port) + bytes(self.address) + bytes(8)
        header = struct.pack("<III", direction, self.previous if previous is None else previous,
                             self.connection_id)
        header += peer + struct.pack("<II", len(data), 0x0804C0DE)
        header += struct.pack("<8H", *self.stream.clock.systemtime())
        assert len(header) == 52
        self.stream.out += header + data
        self.previous = direction
        self.stream.clock.tick(1 + len(data) // 50000)

    def send(self, *pieces):
        for piece in pieces:
            self.record(SENT, piece)

    def receive(self, *pieces):
        for piece in pieces:
            self.record(RECEIVED, piece)


class Stream:
    def __init__(self):
        self.out = bytearray()
        self.clock = Clock()


def response(status, headers, body=b""):
    lines = [f"HTTP/1.1 {status}"] + [f"{k}: {v}" for k, v in headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


def request(line, headers, body=b""):
    return ("\r\n".join([line] + [f"{k}: {v}" for k, v in headers]) + "\r\n\r\n").encode() + body


def server_headers(content_type=None, length=None, extra=()):
    headers = [("Server", "SimpleHTTP/0.6 Python/3.11.2"),
               ("Date", "Tue, 08 Dec 2026 09:14:03 GMT")]
    if content_type:
        headers.append(("Content-Type", content_type))
    if length is not None:
        headers.append(("Content-Length", str(length)))
    return headers + list(extra)


def png_bytes():
    raw = b"".join(b"\x00" + bytes((x * 7 + y * 3) & 0xFF for x in range(48)) for y in range(16))
    ihdr = struct.pack(">IIBBBBB", 16, 16, 8, 2, 0, 0, 0)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw)) + \
        chunk(b"IEND", b"")


def main(path):
    s = Stream()
    curl = [("Host", "127.0.0.1:8080"), ("User-Agent", "curl/7.88.1"), ("Accept", "*/*")]

    # curl fetches a page; the body arrives in two pieces.
    page = (b"<!DOCTYPE html>\n<html><head><title>Orders</title>"
            b"<link rel=\"stylesheet\" href=\"/style.css\"></head>\n<body><h1>Orders</h1>\n" +
            b"".join(b"<p>Order %d: shipped</p>\n" % n for n in range(1, 41)) + b"</body></html>\n")
    c = Socket(s, 48213, 8080)
    c.send(request("GET / HTTP/1.1", curl))
    whole = response("200 OK", server_headers("text/html; charset=utf-8", len(page)), page)
    c.receive(whole[:700], whole[700:])

    # A browser-like client keeps the connection open for the stylesheet and a script; the
    # script is not modified, so its response has no body at all.
    b = Socket(s, 48231, 8080)
    browser = [("Host", "127.0.0.1:8080"),
               ("User-Agent", "Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101"),
               ("Accept", "text/css,*/*;q=0.1"), ("Connection", "keep-alive")]
    css = b"body { font-family: sans-serif; margin: 2em; }\nh1 { color: #203060; }\n"
    b.send(request("GET /style.css HTTP/1.1", browser))
    b.receive(response("200 OK", server_headers("text/css", len(css)), css))
    b.send(request("GET /app.js HTTP/1.1",
                   browser + [("If-Modified-Since", "Mon, 07 Dec 2026 18:00:00 GMT")]))
    b.receive(response("304 Not Modified", server_headers()))

    # An image: its content type is not in the allowed list, so only its header is kept.
    image = png_bytes()
    i = Socket(s, 48240, 8080)
    i.send(request("GET /logo.png HTTP/1.1", curl))
    i.receive(response("200 OK", server_headers("image/png", len(image)), image))

    # python's urllib posts a form; the request line and Host field arrive in separate
    # pieces, and the JSON answer is cut (not in the allowed list).
    form = b"user=alice&password=s3cret&remember=on"
    p = Socket(s, 48257, 5000)
    whole = request("POST /api/login HTTP/1.1",
                    [("Accept-Encoding", "identity"), ("Content-Length", str(len(form))),
                     ("Host", "127.0.0.1:5000"),
                     ("User-Agent", "Python-urllib/3.11"),
                     ("Content-Type", "application/x-www-form-urlencoded"),
                     ("Connection", "close")], form)
    p.send(whole[:30], whole[30:])
    answer = b'{"ok": true, "token": "4f1c9a0e", "expires": 3600}'
    whole = response("200 OK", [("Content-Type", "application/json"),
                                ("Content-Length", str(len(answer)))], answer)
    p.receive(whole[:20], whole[20:])

    # wget asks for a page that is not there.
    w = Socket(s, 48262, 8080)
    w.send(request("GET /reports/2026/q4.html HTTP/1.1",
                   [("User-Agent", "Wget/1.21.3"), ("Accept", "*/*"),
                    ("Accept-Encoding", "identity"), ("Host", "127.0.0.1:8080"),
                    ("Connection", "Keep-Alive")]))
    missing = (b"<!DOCTYPE HTML>\n<html><head><title>Error response</title></head>\n"
               b"<body><h1>Error response</h1><p>Error code: 404</p>\n"
               b"<p>Message: File not found.</p></body></html>\n")
    w.receive(response("404 File not found",
                       server_headers("text/html;charset=utf-8", len(missing),
                                      [("Connection", "close")]), missing))

    # A redirect, then a chunked plain-text answer on the same connection.
    r = Socket(s, 48270, 8080)
    r.send(request("GET /old-orders HTTP/1.1", curl))
    r.receive(response("301 Moved Permanently",
                       server_headers(None, 0, [("Location", "/orders.txt")])))
    r.send(request("GET /orders.txt HTTP/1.1", curl))
    chunks = b"1a\r\norder,customer,amount\r\n\r\n" + b"".join(
        b"%x\r\n%s\r\n" % (len(line), line)
        for line in (b"1001,alice,19.90\n", b"1002,bob,5.00\n")) + b"0\r\n\r\n"
    r.receive(response("200 OK", server_headers("text/plain", None,
                                                [("Transfer-Encoding", "chunked")])), chunks)

    # A download of 300 KB in 64 KiB pieces: counted, not kept.
    d = Socket(s, 48288, 8080)
    d.send(request("GET /backup.tar HTTP/1.1", curl))
    blob = bytes((n * 131 + 17) & 0xFF for n in range(300_000))
    whole = response("200 OK", server_headers("application/x-tar", len(blob)), blob)
    d.receive(*(whole[k:k + 65536] for k in range(0, len(whole), 65536)))

    # A request through a proxy carries an absolute URI; the proxy fails.
    x = Socket(s, 48301, 3128)
    x.send(request("GET http://intranet.example/status HTTP/1.1",
                   [("Host", "intranet.example"), ("User-Agent", "curl/7.88.1"),
                    ("Accept", "*/*"), ("Proxy-Connection", "Keep-Alive")]))
    failure = b'{"error": "upstream timed out"}'
    x.receive(response("502 Bad Gateway",
                       [("Content-Type", "application/json"),
                        ("Content-Length", str(len(failure)))], failure))

    # Bytes received on a socket that never sent anything are not a response: dropped.
    stray = Socket(s, 48315, 8080)
    stray.receive(b"HTTP/1.1 408 Request Timeout\r\n\r\n")

    # A status line split inside the header: the caption is refreshed when it completes.
    h = Socket(s, 48322, 8080)
    h.send(request("HEAD /health HTTP/1.1", curl))
    whole = response("200 OK", server_headers("text/plain", 2))
    h.receive(whole[:40], whole[40:])

    with open(path, "wb") as f:
        f.write(s.out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples/sample.records")
