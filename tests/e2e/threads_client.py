#!/usr/bin/env python3
"""16 threads on one socket, as clients with writer threads and a reader thread do (Java's
HttpClient): each thread in turn sends GET /echo/thread-<i> while the main thread reads the
responses; a thread sends once the response before is read. Prints how many came.

  threads_client.py PORT
"""

import socket
import sys
import threading

port = int(sys.argv[1])
connection = socket.create_connection(("127.0.0.1", port))
turn = threading.Semaphore(1)


def send(i):
    turn.acquire()
    connection.sendall(f"GET /echo/thread-{i} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())


threads = [threading.Thread(target=send, args=(i,)) for i in range(16)]
for thread in threads:
    thread.start()
buffered = b""
answered = 0
while answered < 16:
    end = buffered.find(b"\r\n\r\n")
    if end >= 0:
        head = buffered[:end].decode("latin-1").lower()
        length = int(head.split("content-length:")[1].split("\r\n")[0])
        if len(buffered) >= end + 4 + length:
            buffered = buffered[end + 4 + length:]
            answered += 1
            turn.release()
            continue
    chunk = connection.recv(65536)
    if not chunk:
        break
    buffered += chunk
for thread in threads:
    thread.join()
print(answered)
