#!/usr/bin/env python3
"""A WebSocket server and client on 127.0.0.1, with the standard library only.
  server            accept connections; answer each upgrade with 101 and echo every text and
                    binary message, answer pings, return the close; prints its port first
  client PORT PATH  upgrade, send a text, a binary message, a text in two fragments and a
                    ping, read the answers, close with 1000 "bye"; prints what came back
"""

import base64
import hashlib
import os
import socket
import struct
import sys
import threading

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC11B0A"


def read_exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def read_header(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(1)
        if not chunk:
            raise EOFError
        data += chunk
    return data.decode("latin-1")


def read_frame(sock):
    first, second = read_exactly(sock, 2)
    length = second & 0x7F
    if length == 126:
        length = struct.unpack("!H", read_exactly(sock, 2))[0]
    elif length == 127:
        length = struct.unpack("!Q", read_exactly(sock, 8))[0]
    mask = read_exactly(sock, 4) if second & 0x80 else None
    payload = read_exactly(sock, length)
    if mask:
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
    return first & 0x80 != 0, first & 0x0F, payload


def frame(opcode, payload, masked, fin=True):
    head = bytes([(0x80 if fin else 0) | opcode])
    bit = 0x80 if masked else 0
    if len(payload) < 126:
        head += bytes([bit | len(payload)])
    elif len(payload) < 65536:
        head += bytes([bit | 126]) + struct.pack("!H", len(payload))
    else:
        head += bytes([bit | 127]) + struct.pack("!Q", len(payload))
    if not masked:
        return head + payload
    mask = os.urandom(4)
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


def serve(conn):
    with conn:
        request = read_header(conn)
        key = ""
        for line in request.split("\r\n"):
            if line.lower().startswith("sec-websocket-key:"):
                key = line.split(":", 1)[1].strip()
        accept = base64.b64encode(hashlib.sha1(key.encode() + GUID).digest()).decode()
        conn.sendall(("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                      "Connection: Upgrade\r\nSec-WebSocket-Accept: %s\r\n\r\n" % accept).encode())
        while True:
            fin, opcode, payload = read_frame(conn)
            if opcode == 0x8:
                conn.sendall(frame(0x8, payload, False))
                return
            if opcode == 0x9:
                conn.sendall(frame(0xA, payload, False))
            else:
                conn.sendall(frame(opcode, payload, False, fin))


def server():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def client(port, path):
    sock = socket.create_connection(("127.0.0.1", port))
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
                  "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n"
                  % (path, port, key)).encode())
    answer = read_header(sock)
    if not answer.startswith("HTTP/1.1 101"):
        return 1
    sock.sendall(frame(0x1, b"hello", True))
    sock.sendall(frame(0x2, bytes(range(256)) + bytes(44), True))
    sock.sendall(frame(0x1, b"two ", True, fin=False) + frame(0x0, b"parts", True))
    sock.sendall(frame(0x9, b"p", True))
    got = [read_frame(sock) for _ in range(5)]
    sock.sendall(frame(0x8, struct.pack("!H", 1000) + b"bye", True))
    got.append(read_frame(sock))
    sock.close()
    for fin, opcode, payload in got:
        print(fin, opcode, len(payload))
    return 0


def main(arguments):
    if arguments[0] == "server":
        return server()
    return client(int(arguments[1]), arguments[2])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
