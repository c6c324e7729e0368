#!/usr/bin/python3
"""Checks the scripted POP3 server (fake_pop3.py): every scenario answers as it says it does,
and the program starts, logs and stops as the tests rely on. Prints a line per check and exits
non-zero when any failed."""
import os
import socket
import subprocess
import sys
import tempfile
import time

from fake_pop3 import SCENARIOS, FakeServer, combine, generated_messages

FAKE_POP3 = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_pop3.py")


class Client:
    """A raw client: exact bytes, no line-ending assumptions, bounded waits."""

    def __init__(self, port, eol=b"\r\n"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.eol = eol
        self.buffer = b""
        self.receives = 0

    def receive_until(self, ending, timeout=5.0):
        deadline = time.monotonic() + timeout
        while ending not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no {ending!r} in {self.buffer!r}")
            self.sock.settimeout(left)
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError(f"closed; have {self.buffer!r}")
            self.receives += 1
            self.buffer += data
        cut = self.buffer.index(ending) + len(ending)
        taken, self.buffer = self.buffer[:cut], self.buffer[cut:]
        return taken

    def line(self):
        return self.receive_until(self.eol)[:-len(self.eol)].decode()

    def multiline(self):
        """The body of a multi-line answer, dot-unstuffed, as a list of lines."""
        data = self.receive_until(self.eol + b"." + self.eol)
        lines = data.split(self.eol)[:-2]
        return [line[1:] if line.startswith(b".") else line for line in lines]

    def nothing_for(self, seconds):
        self.sock.settimeout(seconds)
        try:
            data = self.sock.recv(1)
        except (socket.timeout, TimeoutError):
            return True
        self.buffer += data
        return False

    def command(self, text):
        self.sock.sendall(text.encode() + b"\r\n")

    def ask(self, text):
        self.command(text)
        return self.line()

    def login(self):
        assert self.line().startswith("+OK"), "greeting"
        assert self.ask("USER alice").startswith("+OK"), "USER"
        assert self.ask("PASS alice-secret").startswith("+OK"), "PASS"

    def close(self):
        self.sock.close()


def expect(condition, what):
    if not condition:
        raise AssertionError(what)


def capabilities(c):
    expect(c.ask("CAPA").startswith("+OK"), "CAPA")
    return c.multiline()


def check_normal(port, log, eol=b"\r\n"):
    logged_before = os.path.getsize(log)
    c = Client(port, eol)
    c.login()
    expect(c.ask("STAT") == f"+OK 3 {sum(m.size for m in generated_messages(3))}", "STAT")
    expect(b"PIPELINING" in capabilities(c), "CAPA lists PIPELINING")
    expect(c.ask("UIDL").startswith("+OK"), "UIDL")
    expect(c.multiline() == [b"1 fake-uid-0001", b"2 fake-uid-0002", b"3 fake-uid-0003"], "UIDL ids")
    expect(c.ask("UIDL 2") == "+OK 2 fake-uid-0002", "UIDL 2")
    expect(c.ask("LIST").startswith("+OK"), "LIST")
    expect(len(c.multiline()) == 3, "LIST lines")
    expect(c.ask("TOP 1 0").startswith("+OK"), "TOP")
    top = c.multiline()
    expect(top[-1] == b"" and b"Subject: Test message 1" in top and b"Last line." not in top,
           "TOP 1 0 gives the header only")
    retr = c.ask("RETR 2")
    expect(retr.startswith("+OK"), "RETR")
    body = c.multiline()
    expect(body == generated_messages(3)[1].lines, "RETR 2 gives message 2, dot-unstuffed")
    expect(c.ask("NOOP") == "+OK", "NOOP")
    expect(c.ask("DELE 1").startswith("+OK"), "DELE")
    expect(c.ask("RETR 1").startswith("-ERR"), "RETR of a deleted message")
    expect(c.ask("QUIT").startswith("+OK"), "QUIT")
    c.close()
    c = Client(port, eol)
    c.login()
    expect(c.ask("STAT").startswith("+OK 2 "), "the deletion outlives its connection")
    expect(c.ask("QUIT").startswith("+OK"), "QUIT")
    c.close()
    expect(open(log, "rb").read()[logged_before:].startswith(
        b"USER alice\r\nPASS ****\r\nSTAT\r\nCAPA\r\nUIDL\r\nUIDL 2\r\nLIST\r\nTOP 1 0\r\n"),
        "the log holds the exact commands, the password masked")


def check_pipelined_commands(port, log):
    """Commands sent together are answered in order; those sent ahead are in the ahead log."""
    ahead_log = log + ".ahead"
    c = Client(port)
    c.login()
    c.sock.sendall(b"NOOP\r\nTOP 1 0\r\nSTAT\r\n")
    expect(c.line() == "+OK", "NOOP first")
    expect(c.line().startswith("+OK") and b"Subject: Test message 1" in c.multiline(), "then TOP")
    expect(c.line().startswith("+OK 3 "), "then STAT")
    expect(c.ask("NOOP") == "+OK", "NOOP asked alone")
    c.close()
    expect(open(ahead_log, "rb").read() == b"TOP 1 0\r\nSTAT\r\n",
           "only the commands sent ahead of an answer are in the ahead log")


def check_no_pipelining(port, log):
    c = Client(port)
    c.login()
    caps = capabilities(c)
    expect(b"PIPELINING" not in caps and b"TOP" in caps, "CAPA without PIPELINING")
    c.close()


def check_no_capa(port, log):
    c = Client(port)
    c.login()
    expect(c.ask("CAPA").startswith("-ERR"), "CAPA refused")
    expect(c.ask("NOOP") == "+OK", "one line only")
    c.close()


def check_split(port, log):
    c = Client(port)
    greeting = c.line()
    expect(greeting.startswith("+OK") and c.receives > 1, "the greeting comes in pieces")
    c.close()
    check_normal(port, log)


def check_lfcr(port, log):
    c = Client(port, eol=b"\n\r")
    expect(c.receive_until(b"\n\r").startswith(b"+OK") and b"\r\n" not in c.buffer, "LF CR")
    c.close()
    check_normal(port, log, eol=b"\n\r")


def check_barelf(port, log):
    c = Client(port, eol=b"\n")
    c.login()
    c.command("RETR 1")
    data = c.receive_until(b"\n.\n")
    expect(b"\r" not in data and data.startswith(b"+OK"), "bare LF throughout")
    c.close()
    check_normal(port, log, eol=b"\n")


def check_silent_greeting(port, log):
    c = Client(port)
    expect(c.nothing_for(0.5), "no greeting")
    c.command("USER alice")
    expect(c.nothing_for(0.3), "no answer to USER")
    c.close()
    expect(open(log, "rb").read() == b"USER alice\r\n", "commands are still read and logged")


def check_silent_after_user(port, log):
    c = Client(port)
    expect(c.line().startswith("+OK"), "greeting")
    expect(c.ask("USER alice").startswith("+OK"), "USER answered")
    c.command("PASS x")
    expect(c.nothing_for(0.5), "PASS unanswered")
    c.close()


def check_silent_after_stat(port, log):
    c = Client(port)
    c.login()
    expect(c.ask("STAT").startswith("+OK 3 "), "STAT answered")
    c.command("UIDL")
    expect(c.nothing_for(0.5), "UIDL unanswered")
    c.close()


def check_no_noop_after_top(port, log):
    c = Client(port)
    c.login()
    expect(c.ask("NOOP") == "+OK", "NOOP before TOP")
    expect(c.ask("TOP 1 0").startswith("+OK"), "TOP")
    c.multiline()
    c.command("NOOP")
    expect(c.nothing_for(0.5), "NOOP after TOP unanswered")
    expect(c.ask("STAT").startswith("+OK 3 "), "other commands still answered")
    c.close()
    c = Client(port)
    c.login()
    expect(c.ask("NOOP") == "+OK", "a new connection answers NOOP")
    c.close()


def check_no_uidl(port, log):
    c = Client(port)
    c.login()
    expect(c.ask("UIDL").startswith("-ERR"), "UIDL refused")
    expect(c.ask("UIDL 1").startswith("-ERR"), "UIDL 1 refused")
    expect(c.ask("CAPA").startswith("+OK") and b"UIDL" not in c.multiline(), "CAPA without UIDL")
    c.close()


def check_uidl_missing_id(port, log):
    c = Client(port)
    c.login()
    expect(c.ask("UIDL").startswith("+OK"), "UIDL")
    expect(c.multiline() == [b"1 fake-uid-0001", b"2", b"3 fake-uid-0003"], "line 2 has no id")
    c.close()


def check_duplicate_ids(port, log):
    c = Client(port)
    c.login()
    expect(c.ask("UIDL").startswith("+OK"), "UIDL")
    expect(c.multiline() == [b"1 fake-uid-0001", b"2 fake-uid-0001", b"3 fake-uid-0003"],
           "messages 1 and 2 share an id")
    c.close()


def check_refuse_top(port, log):
    c = Client(port)
    c.login()
    expect(c.ask("TOP 1 0").startswith("-ERR"), "TOP refused")
    expect(c.ask("NOOP") == "+OK", "in one line")
    c.close()


def check_refuse_user(port, log):
    c = Client(port)
    expect(c.line().startswith("+OK"), "greeting")
    expect(c.ask("USER alice").startswith("-ERR"), "USER refused")
    c.close()


def check_refuse_pass(port, log):
    c = Client(port)
    expect(c.line().startswith("+OK"), "greeting")
    expect(c.ask("USER alice").startswith("+OK"), "USER")
    expect(c.ask("PASS secret").startswith("-ERR"), "PASS refused")
    c.close()
    expect(open(log, "rb").read() == b"USER alice\r\nPASS ****\r\n", "password masked")


def check_negative_multiline(port, log):
    c = Client(port)
    c.login()
    for command in ("CAPA", "LIST", "UIDL", "TOP 1 0", "RETR 1"):
        expect(c.ask(command).startswith("-ERR"), f"{command} refused")
        # Had a body followed, NOOP's answer would not be the next line.
        expect(c.ask("NOOP") == "+OK", f"nothing follows the -ERR of {command}")
    expect(c.ask("LIST 1").startswith("+OK 1 "), "the one-line LIST form still works")
    c.close()


SELF_TESTS = {
    "normal": lambda port, log: (check_pipelined_commands(port, log), check_normal(port, log)),
    "no-pipelining": check_no_pipelining,
    "no-capa": check_no_capa,
    "split": check_split,
    "lfcr": check_lfcr,
    "barelf": check_barelf,
    "silent-greeting": check_silent_greeting,
    "silent-after-user": check_silent_after_user,
    "silent-after-stat": check_silent_after_stat,
    "no-noop-after-top": check_no_noop_after_top,
    "no-uidl": check_no_uidl,
    "uidl-missing-id": check_uidl_missing_id,
    "duplicate-ids": check_duplicate_ids,
    "refuse-top": check_refuse_top,
    "refuse-user": check_refuse_user,
    "refuse-pass": check_refuse_pass,
    "negative-multiline": check_negative_multiline,
}


def check_command_line(work):
    """The program as a test starts it: port file, log, a messages directory, stop on EOF."""
    mail = os.path.join(work, "mail")
    os.mkdir(mail)
    for name, subject in (("b-second", "Second"), ("a-first", "First")):
        with open(os.path.join(mail, name), "wb") as f:
            f.write(f"Subject: {subject}\n\n.hidden dot\nbody\n".encode())
    port_file, log = os.path.join(work, "port"), os.path.join(work, "log")
    server = subprocess.Popen(
        [sys.executable, FAKE_POP3, "--scenario", "normal", "--messages", mail,
         "--port-file", port_file, "--log", log, "--stop-on-stdin-eof"],
        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not os.path.exists(port_file):
            expect(time.monotonic() < deadline and server.poll() is None, "port file written")
            time.sleep(0.05)
        c = Client(int(open(port_file).read()))
        c.login()
        expect(c.ask("UIDL").startswith("+OK"), "UIDL")
        expect(c.multiline() == [b"1 a-first", b"2 b-second"], "files in name order, named ids")
        expect(c.ask("RETR 1").startswith("+OK"), "RETR")
        expect(c.multiline() == [b"Subject: First", b"", b".hidden dot", b"body"], "file content")
        expect(c.ask("QUIT").startswith("+OK"), "QUIT")
        c.close()
        expect(open(log, "rb").read() ==
               b"USER alice\r\nPASS ****\r\nUIDL\r\nRETR 1\r\nQUIT\r\n", "log")
        server.stdin.close()
        expect(server.wait(timeout=10) == 0, "stops cleanly when stdin closes")
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
    # Without a port file the port is announced on stdout.
    server = subprocess.Popen([sys.executable, FAKE_POP3, "--scenario",
                               "split,barelf", "--messages", "1", "--stop-on-stdin-eof"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        announced = server.stdout.readline().decode()
        expect(announced.startswith("PORT "), f"PORT line, got {announced!r}")
        c = Client(int(announced.split()[1]), eol=b"\n")
        c.login()
        expect(c.ask("STAT").startswith("+OK 1 "), "STAT over split bare-LF replies")
        c.close()
        server.stdin.close()
        expect(server.wait(timeout=10) == 0, "stops cleanly when stdin closes")
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()


def self_test():
    missing = set(SCENARIOS) - set(SELF_TESTS)
    passed = failed = 0
    if missing:
        print(f"FAIL scenarios without a self-test: {sorted(missing)}")
        failed += 1
    with tempfile.TemporaryDirectory(prefix="fake-pop3-") as work:
        for name, check in SELF_TESTS.items():
            log = os.path.join(work, f"{name}.log")
            server = FakeServer(combine([name]), generated_messages(3), log, log + ".ahead").start()
            try:
                check(server.port, log)
                print(f"ok   {name}")
                passed += 1
            except Exception as e:  # every scenario is reported, whatever failed
                print(f"FAIL {name}: {e!r}")
                failed += 1
            finally:
                server.stop()
        try:
            check_command_line(work)
            print("ok   command line")
            passed += 1
        except Exception as e:
            print(f"FAIL command line: {e!r}")
            failed += 1
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(self_test())
