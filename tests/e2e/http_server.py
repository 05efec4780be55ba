#!/usr/bin/env python3
"""A small HTTP/1.1 server on 127.0.0.1 for the end-to-end tests. Prints its port, then serves
until killed.

  http_server.py [--host ADDRESS] [--tls CERTIFICATE KEY] [--alpn PROTOCOL]

--host binds another loopback address (::1); --tls serves HTTPS with that certificate and key;
--alpn offers that protocol (h2) as the only one a TLS client may choose.

Paths:
  /echo/<anything>   200, the path as reason phrase and as text/plain body
  /status/<code>     that status, a short text/html body
  /text/<n>          n bytes of text/plain
  /bytes/<n>         n bytes of application/octet-stream (i mod 251 for byte i)
  /slow/<n>          like /bytes/<n>, sent in 16 KiB pieces a few milliseconds apart
  /stream/<n>        like /bytes/<n>, without making the body first (for transfers far larger
                     than memory, ended by the client going away)
  /delay/<ms>/<name> 200 after ms milliseconds, like /echo/<name>
  /image             a small image/png
  /unwrap            200, then (over TLS) both ends close TLS and the connection goes on plain
  POST anything      reads the body, answers how many bytes came
"""

import argparse
import http.server
import socket
import ssl
import sys
import time

BLOCK = bytes(i % 251 for i in range(251 * 4096))


def pattern(n):
    whole, rest = divmod(n, len(BLOCK))
    return BLOCK * whole + BLOCK[:rest]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *arguments):
        pass

    def reply(self, code, content_type, body, reason=None):
        self.send_response(code, reason)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path
        if path.startswith("/echo/"):
            self.reply(200, "text/plain", path.encode(), reason=path)
        elif path.startswith("/status/"):
            self.reply(int(path.split("/")[2]), "text/html", b"<p>status</p>")
        elif path.startswith("/text/"):
            self.reply(200, "text/plain", (b"0123456789abcdef\n" * (int(path.split("/")[2]) // 17 + 1))[: int(path.split("/")[2])])
        elif path.startswith("/bytes/"):
            self.reply(200, "application/octet-stream", pattern(int(path.split("/")[2])))
        elif path.startswith("/stream/"):
            size = int(path.split("/")[2])
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            try:
                for start in range(0, size, len(BLOCK)):
                    self.wfile.write(BLOCK[: min(len(BLOCK), size - start)])
            except (BrokenPipeError, ConnectionResetError):
                self.close_connection = True
        elif path.startswith("/slow/"):
            body = pattern(int(path.split("/")[2]))
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            for start in range(0, len(body), 16384):
                self.wfile.write(body[start:start + 16384])
                self.wfile.flush()
                time.sleep(0.004)
        elif path.startswith("/delay/"):
            time.sleep(int(path.split("/")[2]) / 1000)
            self.reply(200, "text/plain", path.encode(), reason=path)
        elif path == "/image":
            self.reply(200, "image/png", b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 4)
        elif path == "/unwrap":
            # Over TLS: the answer, then TLS ends and the connection stays, plain.
            self.reply(200, "text/plain", b"unwrapped")
            self.wfile.flush()
            self.connection.unwrap()
            self.close_connection = True
        else:
            self.reply(404, "text/html", b"<p>not here</p>")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        received = self.rfile.read(length)
        self.reply(200, "text/plain", ("got %d bytes" % len(received)).encode())


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    context = None

    def get_request(self):
        connection, address = super().get_request()
        if self.context is not None:
            # The handshake happens in the handler's thread, on its first read.
            connection = self.context.wrap_socket(connection, server_side=True,
                                                  do_handshake_on_connect=False)
        return connection, address


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--tls", nargs=2, metavar=("CERTIFICATE", "KEY"))
    parser.add_argument("--alpn")
    arguments = parser.parse_args()
    if ":" in arguments.host:
        Server.address_family = socket.AF_INET6
    server = Server((arguments.host, 0), Handler)
    if arguments.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*arguments.tls)
        if arguments.alpn:
            context.set_alpn_protocols([arguments.alpn])
        server.context = context
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
