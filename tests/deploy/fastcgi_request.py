#!/usr/bin/env python3
"""Sends one FastCGI request straight to a PHP-FPM socket, as any process that can connect
to it could, and prints what came back (the response's stdout, then its stderr).

    fastcgi_request.py SOCKET NAME=VALUE...

The parameters are sent as given (SCRIPT_FILENAME, PHP_ADMIN_VALUE, ...); REQUEST_METHOD
defaults to GET. Exit status: 0 with an answer, 3 when the socket refuses the connection
(permission, no such socket), 4 when the server closed without ending the request.
"""
import socket
import struct
import sys

VERSION = 1
BEGIN_REQUEST, END_REQUEST, PARAMS, STDIN, STDOUT, STDERR = 1, 3, 4, 5, 6, 7
RESPONDER = 1
REQUEST_ID = 1


def record(kind, content=b""):
    return struct.pack("!BBHHBx", VERSION, kind, REQUEST_ID, len(content), 0) + content


def length(n):
    return struct.pack("!B", n) if n < 128 else struct.pack("!I", n | 0x80000000)


def pairs(params):
    body = b""
    for name, value in params.items():
        name, value = name.encode(), value.encode()
        body += length(len(name)) + length(len(value)) + name + value
    return body


def read_exactly(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    params = {"REQUEST_METHOD": "GET", "SERVER_PROTOCOL": "HTTP/1.1", "GATEWAY_INTERFACE": "CGI/1.1"}
    for argument in sys.argv[2:]:
        name, _, value = argument.partition("=")
        params[name] = value
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(20)
    try:
        sock.connect(sys.argv[1])
    except OSError as error:
        print(f"connect: {error.strerror}", file=sys.stderr)
        return 3
    body = pairs(params)
    sock.sendall(record(BEGIN_REQUEST, struct.pack("!HB5x", RESPONDER, 0))
                 + record(PARAMS, body) + record(PARAMS) + record(STDIN))
    out, err = b"", b""
    while True:
        header = read_exactly(sock, 8)
        if header is None:
            sys.stdout.buffer.write(out)
            sys.stderr.buffer.write(err)
            return 4
        _, kind, _, size, padding = struct.unpack("!BBHHBx", header)
        content = read_exactly(sock, size + padding) or b""
        content = content[:size]
        if kind == STDOUT:
            out += content
        elif kind == STDERR:
            err += content
        elif kind == END_REQUEST:
            sys.stdout.buffer.write(out)
            sys.stderr.buffer.write(err)
            return 0


if __name__ == "__main__":
    sys.exit(main())
