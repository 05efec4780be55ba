#!/usr/bin/env python3
"""Python clients for the HTTPS end-to-end tests. CAFILE is the certificate the test server uses;
"-" means plain HTTP to the same kind of server, for the twin of an HTTPS exchange.
  keepalive HOST PORT CAFILE NAME COUNT   COUNT requests to /echo/NAME/<i> on one connection
                                          (http.client)
  urllib URL CAFILE                       GET URL with urllib.request; print the body
  post HOST PORT CAFILE SIZE              POST SIZE bytes in one request (http.client)
  asyncio PORT CAFILE PATH                GET https://127.0.0.1:PORT/PATH with asyncio, whose TLS
                                          runs in memory buffers; print the body
  unwrapped PORT OTHER CAFILE             GET /unwrap over TLS, unwrap() the socket and keep it
                                          open, then GET /echo/bio/<i> to OTHER over TLS in
                                          memory buffers (ssl.MemoryBIO), three times
  maps PORT                               GET http://127.0.0.1:PORT/echo/maps with a plain
                                          socket (no ssl module), then print whether a TLS
                                          library is mapped into this process
"""

import sys

# Only what a mode needs is imported: http.client brings the ssl module in.


def connection(host, port, cafile):
    import http.client
    if cafile == "-":
        return http.client.HTTPConnection(host, port, timeout=60)
    import ssl
    context = ssl.create_default_context(cafile=cafile)
    return http.client.HTTPSConnection(host, port, timeout=60, context=context)


def keepalive(host, port, cafile, name, count):
    client = connection(host, port, cafile)
    for i in range(count):
        path = "/echo/%s/%d" % (name, i)
        client.request("GET", path)
        response = client.getresponse()
        if response.read() != path.encode() or response.status != 200:
            return 1
    client.close()
    return 0


def urllib_get(url, cafile):
    import urllib.request
    if cafile == "-":
        body = urllib.request.urlopen(url, timeout=60).read()
    else:
        import ssl
        context = ssl.create_default_context(cafile=cafile)
        body = urllib.request.urlopen(url, timeout=60, context=context).read()
    sys.stdout.buffer.write(body)
    return 0


def post(host, port, cafile, size):
    client = connection(host, port, cafile)
    body = bytes(i % 251 for i in range(size))
    client.request("POST", "/upload", body=body, headers={"Content-Type": "text/plain"})
    answer = client.getresponse().read()
    print(answer.decode())
    return 0 if answer == ("got %d bytes" % size).encode() else 1


def asyncio_get(port, cafile, path):
    import asyncio
    import ssl

    async def get():
        context = ssl.create_default_context(cafile=cafile)
        reader, writer = await asyncio.open_connection("127.0.0.1", port, ssl=context)
        writer.write(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
                      % path).encode())
        answer = await reader.read()
        writer.close()
        return answer.split(b"\r\n\r\n", 1)[1]

    sys.stdout.buffer.write(asyncio.run(get()))
    return 0


def unwrapped(port, other, cafile):
    import socket
    import ssl
    context = ssl.create_default_context(cafile=cafile)
    first = context.wrap_socket(socket.create_connection(("127.0.0.1", port)),
                                server_hostname="127.0.0.1")
    first.sendall(b"GET /unwrap HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    answer = b""
    while not answer.endswith(b"unwrapped"):
        answer += first.recv(65536)
    kept = first.unwrap()  # the session ends and is freed; the socket stays open
    for i in range(3):
        plain = socket.create_connection(("127.0.0.1", other))
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        session = context.wrap_bio(incoming, outgoing, server_hostname="127.0.0.1")

        def pump(step):
            while True:
                try:
                    return step()
                except ssl.SSLWantReadError:
                    plain.sendall(outgoing.read())
                    data = plain.recv(65536)
                    if not data:
                        raise
                    incoming.write(data)

        pump(session.do_handshake)
        session.write(("GET /echo/bio/%d HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                       "Connection: close\r\n\r\n" % i).encode())
        plain.sendall(outgoing.read())
        body = b""
        while b"/echo/bio/" not in body.split(b"\r\n\r\n", 1)[-1]:
            body += pump(lambda: session.read(65536))
        plain.close()
    kept.close()
    print("done")
    return 0


def maps(port):
    import socket
    sock = socket.create_connection(("127.0.0.1", port))
    sock.sendall(b"GET /echo/maps HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
    while sock.recv(65536):
        pass
    sock.close()
    with open("/proc/self/maps") as mapped:
        names = {line.split()[-1].rsplit("/", 1)[-1] for line in mapped if "/" in line}
    tls = sorted(name for name in names if name.startswith(("libssl.so", "libgnutls.so")))
    print("TLS libraries:", " ".join(tls) if tls else "none")
    return 0


def main(arguments):
    if arguments[0] == "keepalive":
        return keepalive(arguments[1], int(arguments[2]), arguments[3], arguments[4],
                         int(arguments[5]))
    if arguments[0] == "urllib":
        return urllib_get(arguments[1], arguments[2])
    if arguments[0] == "post":
        return post(arguments[1], int(arguments[2]), arguments[3], int(arguments[4]))
    if arguments[0] == "asyncio":
        return asyncio_get(int(arguments[1]), arguments[2], arguments[3])
    if arguments[0] == "unwrapped":
        return unwrapped(int(arguments[1]), int(arguments[2]), arguments[3])
    if arguments[0] == "maps":
        return maps(int(arguments[1]))
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
