#!/usr/bin/env python3
"""HTTP clients for the end-to-end tests, each a different way of using sockets.
  echo PORT NAME COUNT   COUNT requests to /echo/NAME/<i> on one keep-alive connection
  post PORT SIZE         one POST whose whole request goes out in a single send
  download PORT PATH     GET PATH and print the SHA-256 of the body
  peek PORT              read the response after peeking at it with MSG_PEEK
  tls PORT               send the start of a TLS handshake, then close
  steps PORT DIR         on one keep-alive connection: GET /echo/a; send GET /delay/1500/b and
                         write DIR/sent-b, then DIR/got-b once answered; wait for DIR/go-c;
                         GET /echo/c
  bigrecv PORT PATH      GET PATH (Connection: close) into one large buffer per recv; print the
                         size of the body
  threads PORT COUNT     COUNT requests to /echo/threads/<i> on one keep-alive connection,
                         written (writev) on the main thread and read on another, as Java's
                         HttpClient does
"""

import hashlib
import http.client
import os
import socket
import sys
import time


def echo(port, name, count):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    for i in range(count):
        path = "/echo/%s/%d" % (name, i)
        connection.request("GET", path)
        response = connection.getresponse()
        if response.read() != path.encode() or response.status != 200:
            return 1
    connection.close()
    return 0


def receive_response(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        data += sock.recv(65536)
    head, body = data.split(b"\r\n\r\n", 1)
    length = int([line.split(b":")[1] for line in head.split(b"\r\n") if line.lower().startswith(b"content-length")][0])
    while len(body) < length:
        body += sock.recv(65536)
    return head, body


def post(port, size):
    body = bytes(i % 251 for i in range(size))
    request = ("POST /upload HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: text/plain\r\n"
               "Content-Length: %d\r\nConnection: close\r\n\r\n" % (port, size)).encode() + body
    sock = socket.create_connection(("127.0.0.1", port))
    sock.sendall(request)
    _, answer = receive_response(sock)
    print(answer.decode())
    return 0 if answer == ("got %d bytes" % size).encode() else 1


def download(port, path):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    connection.request("GET", path)
    body = connection.getresponse().read()
    print(hashlib.sha256(body).hexdigest(), len(body))
    return 0


def peek(port):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.sendall(b"GET /echo/peek HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    first = sock.recv(16, socket.MSG_PEEK)
    _, body = receive_response(sock)
    print(first[:8].decode(), body.decode())
    return 0


def tls(port):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.sendall(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + bytes(64))
    sock.settimeout(0.5)
    try:
        sock.recv(1024)
    except OSError:
        pass
    sock.close()
    return 0


def steps(port, folder):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    for path in ("/echo/a", "/delay/1500/b", "/echo/c"):
        if path == "/echo/c":
            deadline = time.monotonic() + 30
            while not os.path.exists(os.path.join(folder, "go-c")):
                if time.monotonic() > deadline:
                    return 1
                time.sleep(0.01)
        connection.request("GET", path)
        if path == "/delay/1500/b":
            # Only once the request has left: stopping capture earlier would lose it.
            open(os.path.join(folder, "sent-b"), "w").close()
        response = connection.getresponse()
        if response.read() != path.encode():
            return 1
        if path == "/delay/1500/b":
            open(os.path.join(folder, "got-b"), "w").close()
    connection.close()
    return 0


def bigrecv(port, path):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" % path).encode())
    buffer = bytearray(8 << 20)
    total = 0
    while True:
        count = sock.recv_into(buffer)
        if count == 0:
            break
        total += count
    print(total)
    return 0


def threads(port, count):
    import threading
    sock = socket.create_connection(("127.0.0.1", port))
    answered = [threading.Event() for _ in range(count)]
    bodies = []

    def reader():
        data = b""
        for i in range(count):
            while b"\r\n\r\n" not in data:
                data += sock.recv(65536)
            head, data = data.split(b"\r\n\r\n", 1)
            length = int([line.split(b":")[1] for line in head.split(b"\r\n")
                          if line.lower().startswith(b"content-length")][0])
            while len(data) < length:
                data += sock.recv(65536)
            bodies.append(data[:length])
            data = data[length:]
            answered[i].set()

    thread = threading.Thread(target=reader)
    thread.start()
    for i in range(count):
        os.writev(sock.fileno(), [("GET /echo/threads/%d HTTP/1.1\r\n" % i).encode(),
                                  b"Host: 127.0.0.1\r\n\r\n"])
        answered[i].wait(30)
    thread.join(30)
    sock.close()
    expected = [("/echo/threads/%d" % i).encode() for i in range(count)]
    return 0 if bodies == expected else 1


def main(arguments):
    port = int(arguments[1])
    if arguments[0] == "echo":
        return echo(port, arguments[2], int(arguments[3]))
    if arguments[0] == "post":
        return post(port, int(arguments[2]))
    if arguments[0] == "download":
        return download(port, arguments[2])
    if arguments[0] == "peek":
        return peek(port)
    if arguments[0] == "tls":
        return tls(port)
    if arguments[0] == "steps":
        return steps(port, arguments[2])
    if arguments[0] == "bigrecv":
        return bigrecv(port, arguments[2])
    if arguments[0] == "threads":
        return threads(port, int(arguments[2]))
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
