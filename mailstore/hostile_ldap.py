#!/usr/bin/env python3
"""A misbehaving LDAP server for the tests of the directory client's bounds.

    hostile_ldap.py MODE [--entry-bytes N] [--entries N] [--bytes N] [--link-port P]

It listens on a free loopback port, prints it on the first line of standard output, and
serves every connection in a thread of its own until it is killed. Every mode answers the
root DSE (the configuration naming context) and any other base read with an entry of that
DN; what differs is the answer to a paged search (and, in "backlinks", to the database).
The entries of pages have an empty DN, which the walk passes over without reading more:

  pages      no end of pages, each with --entries entries of --entry-bytes and a cookie
  flood      one page of entries of --entry-bytes without end, up to --bytes in all
  huge       one entry whose message says it is --bytes long, sent up to that
  backlinks  one database whose homeMDBBL values name 127.0.0.1:--link-port; a base read
             of a DN that names it is "no such object"
  homed      a root DSE with a default naming context, one database whose back-links are
             the first three users of the domain and one it does not hold, and a search of
             the domain answered with pages of 500 users without end (each with a display
             name, a mail and --entry-bytes more)
  slow       a page of one entry and a cookie every 4 s, without end
  silent     no answer at all

Raw BER, only what these answers need.
"""
import socket
import sys
import threading
import time

DOMAIN = b"DC=example,DC=test"
CONFIG = b"CN=Configuration," + DOMAIN
DATABASE = b"CN=DB,CN=Microsoft Exchange,CN=Services," + CONFIG
PAGED = b"1.2.840.113556.1.4.319"


def length(n):
    if n < 0x80:
        return bytes([n])
    raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(raw)]) + raw


def tlv(tag, content):
    return bytes([tag]) + length(len(content)) + content


def integer(tag, n):
    return tlv(tag, n.to_bytes(max(1, (n.bit_length() + 8) // 8), "big", signed=True))


def message(msgid, op, controls=b""):
    return tlv(0x30, integer(0x02, msgid) + op + controls)


def entry(msgid, dn, attributes):
    listed = b"".join(tlv(0x30, tlv(0x04, name) + tlv(0x31, b"".join(tlv(0x04, v) for v in values)))
                      for name, values in attributes)
    return message(msgid, tlv(0x64, tlv(0x04, dn) + tlv(0x30, listed)))


def done(msgid, code=0, cookie=None):
    controls = b""
    if cookie is not None:
        value = tlv(0x30, integer(0x02, 0) + tlv(0x04, cookie))
        controls = tlv(0xA0, tlv(0x30, tlv(0x04, PAGED) + tlv(0x04, value)))
    return message(msgid, tlv(0x65, integer(0x0A, code) + tlv(0x04, b"") + tlv(0x04, b"")), controls)


def read_tlv(data, at):
    """(tag, content start, end) of the element at `at`, or None when incomplete."""
    if at + 2 > len(data):
        return None
    tag, first = data[at], data[at + 1]
    start = at + 2
    if first & 0x80:
        count = first & 0x7F
        if start + count > len(data):
            return None
        size = int.from_bytes(data[start:start + count], "big")
        start += count
    else:
        size = first
    if start + size > len(data):
        return None
    return tag, start, start + size


def filler(size):
    return [b"x" * 1024] * (size // 1024) + ([b"x" * (size % 1024)] if size % 1024 else [])


class Responder:
    def __init__(self, mode, options):
        self.mode = mode
        self.entry_bytes = int(options.get("--entry-bytes", "64"))
        self.entries = int(options.get("--entries", "0"))
        self.bytes = int(options.get("--bytes", str(1200 << 20)))
        self.link_port = options.get("--link-port", "0").encode()

    def serve(self, connection):
        data = b""
        try:
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    return
                data += chunk
                while True:
                    element = read_tlv(data, 0)
                    if element is None:
                        break
                    _, start, end = element
                    self.answer(connection, data[start:end])
                    data = data[end:]
        except OSError:
            return
        finally:
            connection.close()

    def answer(self, connection, body):
        _, id_start, id_end = read_tlv(body, 0)
        msgid = int.from_bytes(body[id_start:id_end], "big", signed=True)
        op, op_start, op_end = read_tlv(body, id_end)
        if op == 0x60:  # bind
            connection.sendall(message(msgid, tlv(0x61, integer(0x0A, 0) + tlv(0x04, b"") + tlv(0x04, b""))))
            return
        if op != 0x63:  # unbind, abandon
            return
        _, base_start, base_end = read_tlv(body, op_start)
        base = body[base_start:base_end]
        paged = PAGED in body[op_end:]
        if not paged:
            connection.sendall(self.base_read(msgid, base))
            return
        if self.mode == "homed" and base == DOMAIN:
            self.users(connection, msgid)
            return
        getattr(self, "backlinks" if self.mode == "homed" else self.mode)(connection, msgid)

    def base_read(self, msgid, base):
        if base == b"":
            contexts = [(b"configurationNamingContext", [CONFIG])]
            if self.mode == "homed":
                contexts.append((b"defaultNamingContext", [DOMAIN]))
            return entry(msgid, b"", contexts) + done(msgid)
        if self.mode == "homed" and base.lower() == DATABASE.lower():
            links = [self.user_dn(n) for n in range(3)] + [b"CN=Gone," + DOMAIN]
            return entry(msgid, base, [(b"homeMDBBL", links)]) + done(msgid)
        if self.mode == "backlinks" and b"127.0.0.1" in base:
            return done(msgid, 32)
        if self.mode == "backlinks" and base.lower() == DATABASE.lower():
            here = b"127.0.0.1:" + self.link_port
            links = [here + b"/CN=Plain,DC=example,DC=test",
                     b"LDAP://" + here + b"/CN=Url,DC=example,DC=test",
                     b"ldap://" + here + b"/CN=Lower,DC=example,DC=test"]
            return entry(msgid, base, [(b"homeMDBBL", links)]) + done(msgid)
        return entry(msgid, base, [(b"objectClass", [b"top"])]) + done(msgid)

    @staticmethod
    def user_dn(n):
        return b"CN=u%d,%s" % (n, DOMAIN)

    def users(self, connection, msgid):
        first = getattr(self, "next_user", 0)
        self.next_user = first + 500
        page = b"".join(entry(msgid, self.user_dn(n), [(b"displayName", [b"U %d" % n]),
                                                       (b"mail", [b"u%d@example.test" % n]),
                                                       (b"description", filler(self.entry_bytes))])
                        for n in range(first, first + 500))
        connection.sendall(page + done(msgid, 0, b"more"))

    def pages(self, connection, msgid):
        one = entry(msgid, b"", [(b"description", filler(self.entry_bytes))])
        connection.sendall(one * self.entries + done(msgid, 0, b"more"))

    def flood(self, connection, msgid):
        batch = entry(msgid, b"", [(b"description", filler(self.entry_bytes))]) * 16
        sent = 0
        while sent < self.bytes:
            connection.sendall(batch)
            sent += len(batch)
        connection.sendall(done(msgid))

    def huge(self, connection, msgid):
        connection.sendall(b"\x30\x84" + self.bytes.to_bytes(4, "big") + integer(0x02, msgid))
        block = b"\x00" * (1 << 20)
        for _ in range(self.bytes >> 20):
            connection.sendall(block)

    def backlinks(self, connection, msgid):
        connection.sendall(entry(msgid, DATABASE, [(b"distinguishedName", [DATABASE])]) + done(msgid))

    def slow(self, connection, msgid):
        time.sleep(4)
        self.entries, self.entry_bytes = 1, 64
        self.pages(connection, msgid)

    def silent(self, connection, msgid):
        pass


def main():
    mode = sys.argv[1]
    options = dict(zip(sys.argv[2::2], sys.argv[3::2]))
    responder = Responder(mode, options)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=responder.serve, args=(connection,), daemon=True).start()


if __name__ == "__main__":
    main()
