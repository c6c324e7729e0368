#!/usr/bin/python3
"""The reference loop for bench/pop3_bench: the first listing of a mailbox done with the
standard library's poplib, one command at a time, as a plain script would do it.

usage: pop3_poplib.py listing HOST PORT USER PASSWORD [--tls CA_FILE]
       pop3_poplib.py noop HOST PORT USER PASSWORD COUNT [--tls CA_FILE]

listing: login, STAT, LIST, UIDL, TOP n 0 for every message, QUIT. Prints
"seconds MESSAGES HEADER_BYTES", the time taken from before the connection to after QUIT (the
interpreter's start is not counted), so that the caller can check that every header came.
noop: after login, COUNT NOOPs one after the other; prints "seconds COUNT" for the NOOPs alone.
"""
import poplib
import ssl
import sys
import time


def connect(host, port, ca):
    if ca is None:
        return poplib.POP3(host, port, timeout=30)
    context = ssl.create_default_context(cafile=ca)
    return poplib.POP3_SSL(host, port, context=context, timeout=30)


def login(client, user, password):
    client.user(user)
    client.pass_(password)


def listing(host, port, user, password, ca):
    start = time.perf_counter()
    client = connect(host, port, ca)
    login(client, user, password)
    count, _ = client.stat()
    client.list()
    client.uidl()
    header_bytes = 0
    messages = 0
    for number in range(1, count + 1):
        _, lines, _ = client.top(number, 0)
        header_bytes += sum(len(line) for line in lines)
        messages += 1
    client.quit()
    return time.perf_counter() - start, messages, header_bytes


def noops(host, port, user, password, count, ca):
    client = connect(host, port, ca)
    login(client, user, password)
    start = time.perf_counter()
    for _ in range(count):
        client.noop()
    elapsed = time.perf_counter() - start
    client.quit()
    return elapsed


def main(argv):
    ca = None
    if "--tls" in argv:
        at = argv.index("--tls")
        ca = argv[at + 1]
        del argv[at:at + 2]
    if len(argv) >= 5 and argv[0] == "listing":
        _, host, port, user, password = argv[:5]
        seconds, messages, header_bytes = listing(host, int(port), user, password, ca)
        print(f"{seconds:.6f} {messages} {header_bytes}")
        return 0
    if len(argv) >= 6 and argv[0] == "noop":
        _, host, port, user, password, count = argv[:6]
        print(f"{noops(host, int(port), user, password, int(count), ca):.6f} {count}")
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
