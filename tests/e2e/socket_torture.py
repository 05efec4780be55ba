#!/usr/bin/env python3
"""Uses sockets in every unusual way a real program might, against the test server, and
prints what it received. Run with and without the capture provider, the output must be the
same. Usage: socket_torture.py PORT"""

import ctypes
import os
import select
import signal
import socket
import sys
import threading

PORT = int(sys.argv[1])


def request(path):
    return ("GET %s HTTP/1.1\r\nHost: torture\r\n\r\n" % path).encode()


def read_response(receive):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = receive()
        if not chunk:
            break
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = int([l.split(b":")[1] for l in head.split(b"\r\n") if l.lower().startswith(b"content-length")][0])
    while len(body) < length:
        body += receive()
    return head.split(b"\r\n")[0] + b" " + body


def connect():
    return socket.create_connection(("127.0.0.1", PORT))


def vectored():
    # sendmsg with several buffers, a zero-length send, recvmsg_into several buffers.
    sock = connect()
    sock.send(b"")
    sock.sendmsg([b"GET /echo/", b"vectored", b" HTTP/1.1\r\nHost: torture\r\n\r\n"])
    parts = [bytearray(7), bytearray(300)]

    def receive():
        count = sock.recvmsg_into(parts)[0]
        joined = bytes(parts[0]) + bytes(parts[1])
        return joined[:count]
    return read_response(receive)


def nonblocking():
    sock = connect()
    sock.setblocking(False)
    sock.send(request("/echo/nonblocking"))

    def receive():
        while True:
            try:
                return sock.recv(5)
            except BlockingIOError:
                select.select([sock], [], [], 5)
    return read_response(receive)


def peeking():
    sock = connect()
    sock.sendall(request("/echo/peeking"))
    sock.recv(10, socket.MSG_PEEK)
    sock.recv(10, socket.MSG_PEEK)
    return read_response(lambda: sock.recv(4096))


def duplicated():
    # The request goes out through a dup, the answer comes in through os.read on another.
    sock = connect()
    other = os.dup(sock.fileno())
    os.write(other, request("/echo/duplicated"))
    third = os.dup(other)
    os.close(other)
    return read_response(lambda: os.read(third, 4096))


def duplicated_before_sending():
    # The request goes out through a dup made before anything was sent; the answer comes in
    # through the original descriptor.
    sock = connect()
    other = os.dup(sock.fileno())
    os.write(other, request("/echo/dup-first"))
    os.close(other)
    return read_response(lambda: os.read(sock.fileno(), 4096))


def written_through_a_file():
    # A file object on a dup writes the request (write(2) under the hood), the socket reads.
    sock = connect()
    stream = os.fdopen(os.dup(sock.fileno()), "wb", buffering=0)
    stream.write(request("/echo/fdopen"))
    answer = read_response(lambda: sock.recv(4096))
    stream.close()
    return answer


def keep_alive_through_a_dup():
    # Three requests on one connection, each written through the same dup, read through the
    # socket: three requests, not one that grows.
    sock = connect()
    writer = os.dup(sock.fileno())
    answers = []
    for n in range(3):
        os.write(writer, request("/echo/dup-keepalive/%d" % n))
        answers.append(read_response(lambda: sock.recv(4096)))
    os.close(writer)
    return b"|".join(answers)


LIBC = ctypes.CDLL(None, use_errno=True)
LIBC.recv.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
LIBC.recv.restype = ctypes.c_ssize_t


def discarded():
    # The body is thrown away unread with MSG_TRUNC and no buffer at all, on a keep-alive
    # connection whose next request must still be a request of its own.
    sock = connect()
    sock.sendall(request("/echo/discarded/0"))
    head = b""
    while not head.endswith(b"\r\n\r\n"):
        head += sock.recv(1)
    length = int([l.split(b":")[1] for l in head.split(b"\r\n") if l.lower().startswith(b"content-length")][0])
    while length > 0:
        thrown = LIBC.recv(sock.fileno(), None, length, socket.MSG_TRUNC)
        if thrown <= 0:
            raise OSError(ctypes.get_errno(), "recv with MSG_TRUNC")
        length -= thrown
    # With a buffer too: the kernel leaves it as it was, so nothing in it may be reported.
    sock.sendall(request("/echo/discarded/1"))
    head = b""
    while not head.endswith(b"\r\n\r\n"):
        head += sock.recv(1)
    sock.recv(len("/echo/discarded/1"), socket.MSG_TRUNC)
    sock.sendall(request("/echo/discarded/2"))
    return head.split(b"\r\n")[0] + b" " + read_response(lambda: sock.recv(4096))


def forked():
    sock = connect()
    pid = os.fork()
    if pid == 0:
        sock.sendall(request("/echo/forked"))
        os._exit(0)
    os.waitpid(pid, 0)
    return read_response(lambda: sock.recv(4096))


def interrupted():
    # Signals arrive while the program sits in recv; the handler itself writes to a socket.
    side = connect()
    side.sendall(request("/echo/side"))

    def handler(number, frame):
        os.write(side.fileno(), b"")
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    sock = connect()
    sock.sendall(request("/slow/200000"))
    body = read_response(lambda: sock.recv(1000))
    signal.setitimer(signal.ITIMER_REAL, 0, 0)
    return body[:40] + b"...%d" % len(body)


def threaded():
    results = [None] * 6

    def work(i):
        sock = connect()
        for n in range(10):
            sock.sendall(request("/echo/thread%d/%d" % (i, n)))
            results[i] = read_response(lambda: sock.recv(4096))
    threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return b"|".join(results)


def closed_under_a_file():
    # A socket closed through a file object, then the number reused for a file.
    sock = connect()
    sock.sendall(request("/echo/file"))
    answer = read_response(lambda: sock.recv(4096))
    stream = os.fdopen(sock.detach(), "rb")
    stream.close()
    reader, writer = os.pipe()
    os.write(writer, b"pipe bytes")
    return answer + b" " + os.read(reader, 100)


for case in (vectored, nonblocking, peeking, duplicated, duplicated_before_sending,
             written_through_a_file, keep_alive_through_a_dup, discarded, forked, interrupted,
             threaded, closed_under_a_file):
    sys.stdout.buffer.write(case.__name__.encode() + b": " + case() + b"\n")
    sys.stdout.flush()
