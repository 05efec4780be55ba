#!/usr/bin/env python3
"""vantor-dump --har against the HAR 1.2 schema, on the shipped sample and on records written
here: binary, gzip-coded and chunked bodies, cookies, a query string, a request body, and a
request without a response. Every paired exchange must be an entry with its status, and every
body must come back byte for byte.

Usage: validate_har.py VANTOR_DUMP SCHEMA SAMPLE_RECORDS
       validate_har.py --file HAR SCHEMA    (only validates an archive made elsewhere)
"""

import base64
import gzip
import json
import os
import struct
import subprocess
import sys
import tempfile

import jsonschema


def validate(har, schema):
    """The schema's types and the formats it names (IP addresses, times) both."""
    jsonschema.validate(har, schema, format_checker=jsonschema.FormatChecker())


def record(direction, previous, connection, data, port=8080, ipv6=False):
    if ipv6:  # ::1, its address ahead of the data
        peer = struct.pack("<H", 10) + struct.pack(">H", port) + bytes(12)
        data = bytes(15) + b"\x01" + struct.pack("<I", 0) + data
    else:
        peer = struct.pack("<H", 2) + struct.pack(">H", port) + bytes((127, 0, 0, 1)) + bytes(8)
    header = struct.pack("<III", direction, previous, connection) + peer
    header += struct.pack("<II", len(data), 0) + struct.pack("<8H", 2026, 12, 2, 8, 9, 0, 0, 0)
    return header + data


def crafted():
    png = bytes(range(256)) * 4
    text = b'{"ok": true, "list": [1, 2, 3]}' * 20
    coded = gzip.compress(text, mtime=0)
    chunked = b"%x\r\n" % len(coded) + coded + b"\r\n0\r\n\r\n"
    out = b""
    out += record(1, 0, 1, b"GET /img.png?size=big&name=a%20b HTTP/1.1\r\nHost: h\r\n"
                  b"Cookie: session=abc; theme=dark\r\n\r\n")
    out += record(2, 1, 1, b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                  b"Set-Cookie: id=7; Path=/; HttpOnly\r\nContent-Length: %d\r\n\r\n" % len(png)
                  + png)
    out += record(1, 2, 1, b"POST /api HTTP/1.1\r\nHost: h\r\nContent-Type: application/json\r\n"
                  b"Content-Length: 9\r\n\r\n{\"a\": 1}\n")
    out += record(2, 1, 1, b"HTTP/1.1 201 Created\r\nContent-Type: text/json\r\n"
                  b"Content-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked)
    out += record(1, 0, 2, b"GET /never HTTP/1.1\r\nHost: h\r\n\r\n")
    out += record(1, 0, 3, b"GET /six HTTP/1.0\r\n\r\n", ipv6=True)
    return out, png, text


def export(program, records, folder, name, settings=()):
    source = os.path.join(folder, name + ".records")
    target = os.path.join(folder, name + ".har")
    with open(source, "wb") as f:
        f.write(records)
    arguments = ["--set", "allowed_content=\"text/\" \"application/json\""]
    for setting in settings:
        arguments += ["--set", setting]
    listing = subprocess.run([program, "--replay", source, "--format", "jsonl", "--bodies"]
                             + arguments + ["--har", target],
                             capture_output=True, check=True).stdout
    assert os.stat(target).st_mode & 0o777 == 0o600, "a new archive is the user's alone"
    with open(target) as f:
        return json.load(f), [json.loads(line) for line in listing.splitlines()]


def check_pairs(har, messages):
    entries = har["log"]["entries"]
    requests = [m for m in messages if m["kind"] == "request"]
    assert len(entries) == len(requests), (len(entries), len(requests))
    for entry, request in zip(entries, requests):
        assert entry["request"]["method"] == request["method"]
        if request["pair"] is None:
            assert entry["response"]["status"] == 0
        else:
            assert entry["response"]["status"] == messages[request["pair"]]["status"]


def main():
    if sys.argv[1] == "--file":
        with open(sys.argv[2]) as f, open(sys.argv[3]) as schema:
            validate(json.load(f), json.load(schema))
        print("HAR valid")
        return
    program, schema_file, sample = sys.argv[1:4]
    with open(schema_file) as f:
        schema = json.load(f)
    with tempfile.TemporaryDirectory() as folder:
        with open(sample, "rb") as f:
            har, messages = export(program, f.read(), folder, "sample")
        validate(har, schema)
        check_pairs(har, messages)

        records, png, text = crafted()
        har, messages = export(program, records, folder, "crafted")
        validate(har, schema)
        check_pairs(har, messages)
        image, post, missing, six = har["log"]["entries"]
        assert image["serverIPAddress"] == "127.0.0.1" and six["serverIPAddress"] == "::1"
        assert six["request"]["url"] == "http://[::1]:8080/six"
        content = image["response"]["content"]
        assert content["encoding"] == "base64"
        assert base64.b64decode(content["text"]) == png, "binary bodies round-trip"
        assert image["request"]["url"] == "http://h/img.png?size=big&name=a%20b"
        assert image["request"]["queryString"] == [{"name": "size", "value": "big"},
                                                   {"name": "name", "value": "a b"}]
        assert [c["name"] for c in image["request"]["cookies"]] == ["session", "theme"]
        assert image["response"]["cookies"][0] == {"name": "id", "value": "7", "path": "/",
                                                   "httpOnly": True}
        assert post["request"]["postData"]["text"] == '{"a": 1}\n'
        assert post["response"]["content"]["text"] == text.decode(), "codings removed"
        assert post["response"]["content"]["size"] == len(text)
        assert missing["response"]["status"] == 0 and missing["response"]["bodySize"] == -1

        # With a limit of 1 KB: a body kept whole with its header is cut at the limit, and a
        # small body that inflates to a megabyte of zeros is decoded up to it, in base64.
        header = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3000\r\n\r\n"
        bomb = gzip.compress(bytes(1_000_000), mtime=0)
        limited = (record(1, 0, 5, b"GET /big HTTP/1.1\r\n\r\n") + record(2, 1, 5, header + b"a" * 3000)
                   + record(1, 0, 6, b"GET /bomb HTTP/1.1\r\n\r\n")
                   + record(2, 1, 6, b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                            b"Content-Encoding: gzip\r\n\r\n" + bomb))
        har, messages = export(program, limited, folder, "limited", ["max_res_size=1"])
        validate(har, schema)
        big, inflated = har["log"]["entries"]
        assert big["response"]["content"]["text"] == "a" * (1024 - len(header))
        assert "left out" in big["response"]["content"]["comment"]
        assert messages[1]["body"] == "a" * (1024 - len(header))
        assert messages[1]["bodyLeftOut"] == 3000 - (1024 - len(header))
        content = inflated["response"]["content"]
        assert content["encoding"] == "base64" and base64.b64decode(content["text"]) == bytes(1024)
        assert "cut at 1024 bytes" in content["comment"], content
    print("HAR valid")


if __name__ == "__main__":
    main()
