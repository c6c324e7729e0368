#!/usr/bin/python3
"""A scripted POP3 server for the misbehaviour a real server will not show on demand.

usage: fake_pop3.py --scenario NAME[,NAME...] [--messages DIR_OR_COUNT] [--port-file FILE]
                    [--log FILE] [--ahead-log FILE] [--stop-on-stdin-eof] [--lifetime SECONDS]
       fake_pop3.py --list-scenarios

It listens on 127.0.0.1, on a port the kernel picks, and writes that port to --port-file (written
whole, then renamed into place, so a poller never reads half of it) or, without one, prints
"PORT n" on stdout, flushed. It then serves any number of connections, one thread each, until it
is killed, until its standard input reaches end of file when --stop-on-stdin-eof is given (start
it with a pipe as stdin and close the pipe to stop it), or after --lifetime seconds (default
600), so that a forgotten server never outlives its test run for long.

Any user name and password are accepted unless the scenario refuses them. The messages are
--messages COUNT generated ones (default 3), or the files of --messages DIR in name order, each
file's name its unique id. Deletions are made at QUIT and seen by later connections.

--log FILE receives every command line exactly as it arrived, line ending included, in arrival
order across connections, the password replaced: "USER alice\\r\\nPASS ****\\r\\nSTAT\\r\\n".
A command is in the log before its answer is sent, so a client that has its answer can read it.
--ahead-log FILE receives, in the same form, the commands that had arrived before the answer to
the command before them was sent: those of a client that pipelines (RFC 2449), never those of a
client that waits for each answer.

Scenarios (combine several with commas, e.g. "split,barelf"):
  normal              USER PASS STAT LIST UIDL TOP RETR DELE RSET NOOP CAPA QUIT, well behaved;
                      CAPA announces PIPELINING
  no-pipelining       CAPA does not announce PIPELINING
  no-capa             CAPA is answered -ERR
  split               every reply sent in pieces of 1 to 3 bytes with a short pause between
  lfcr                lines end in LF CR instead of CR LF
  barelf              lines end in a bare LF
  silent-greeting     accepts connections and never sends a byte
  silent-after-user   greets, answers USER, and answers nothing after it
  silent-after-stat   logs in and answers STAT, then answers nothing (a listing that times out)
  no-noop-after-top   after its first TOP reply a connection never answers NOOP again (it still
                      reads them and answers everything else); a new connection behaves normally
  no-uidl             UIDL is answered -ERR and not listed in CAPA
  uidl-missing-id     UIDL's line for message 2 (1 when there is only one) has no id
  duplicate-ids       messages 1 and 2 share one unique id
  refuse-top          TOP is answered -ERR
  refuse-user         USER is answered -ERR
  refuse-pass         PASS is answered -ERR
  negative-multiline  CAPA, LIST, UIDL (these two without a message number), TOP and RETR,
                      whose positive answers are multi-line, get a single -ERR line

A new scenario is one more entry in SCENARIOS, made of the Scenario fields below, and one more
check in SELF_TESTS of fake_pop3_check.py.
"""
import argparse
import dataclasses
import os
import socket
import socketserver
import sys
import threading
import time


@dataclasses.dataclass(frozen=True)
class Scenario:
    description: str = ""
    eol: bytes = b"\r\n"               # what ends every line sent
    piece: int = 0                     # >0: replies go out in pieces of 1..piece bytes
    pause: float = 0.0                 # seconds between two pieces
    greet: bool = True                 # False: nothing is ever sent
    silent_after: str = ""             # after answering this command, nothing more is sent
    refuse: frozenset = frozenset()    # commands answered -ERR
    refuse_multiline: bool = False     # multi-line answers replaced by one -ERR line
    uidl: str = "normal"               # "normal", "missing-id" or "duplicate"
    mute_noop_after_top: bool = False  # NOOP unanswered once the connection has seen a TOP
    pipelining: bool = True            # PIPELINING listed in CAPA


SCENARIOS = {
    "normal": Scenario("a well-behaved server"),
    "split": Scenario("replies in tiny pieces", piece=3, pause=0.002),
    "lfcr": Scenario("lines end in LF CR", eol=b"\n\r"),
    "barelf": Scenario("lines end in bare LF", eol=b"\n"),
    "silent-greeting": Scenario("never sends anything", greet=False),
    "silent-after-user": Scenario("silent after answering USER", silent_after="USER"),
    "silent-after-stat": Scenario("silent after answering STAT", silent_after="STAT"),
    "no-noop-after-top": Scenario("NOOP unanswered after TOP", mute_noop_after_top=True),
    "no-pipelining": Scenario("CAPA without PIPELINING", pipelining=False),
    "no-capa": Scenario("CAPA refused", refuse=frozenset({"CAPA"})),
    "no-uidl": Scenario("UIDL refused", refuse=frozenset({"UIDL"})),
    "uidl-missing-id": Scenario("a UIDL line without its id", uidl="missing-id"),
    "duplicate-ids": Scenario("two messages share an id", uidl="duplicate"),
    "refuse-top": Scenario("TOP refused", refuse=frozenset({"TOP"})),
    "refuse-user": Scenario("USER refused", refuse=frozenset({"USER"})),
    "refuse-pass": Scenario("PASS refused", refuse=frozenset({"PASS"})),
    "negative-multiline": Scenario("-ERR for multi-line commands", refuse_multiline=True),
}
MULTILINE = {"CAPA", "LIST", "UIDL", "TOP", "RETR"}  # when given no message number, for LIST/UIDL


def combine(names):
    """The scenario made of NAMES: each one's non-default fields laid over the defaults."""
    default = Scenario()
    merged = {}
    for name in names:
        if name not in SCENARIOS:
            raise KeyError(name)
        for field in dataclasses.fields(Scenario):
            value = getattr(SCENARIOS[name], field.name)
            if field.name == "refuse":
                merged["refuse"] = merged.get("refuse", frozenset()) | value
            elif value != getattr(default, field.name):
                merged[field.name] = value
    merged["description"] = "+".join(names)
    return Scenario(**merged)


# --- messages ----------------------------------------------------------------------------------

class Message:
    def __init__(self, uid, lines):
        self.uid = uid
        self.lines = lines  # without line endings
        self.size = sum(len(line) + 2 for line in lines)  # as on the wire, in CR LF form

    def top(self, count):
        blank = self.lines.index(b"") if b"" in self.lines else len(self.lines)
        return self.lines[:blank + 1 + count]


def generated_messages(count):
    messages = []
    for i in range(1, count + 1):
        lines = [f"From: Sender {i} <sender{i}@example.com>",
                 "To: Alice <alice@example.com>",
                 f"Subject: Test message {i}",
                 f"Date: Mon, {i % 28 + 1:02d} Apr 2024 10:{i % 60:02d}:00 +0000",
                 f"Message-ID: <fake-{i}@example.com>",
                 "",
                 f"This is message {i}.",
                 ".A line starting with a dot, stuffed on the wire.",
                 "",
                 "Last line."]
        messages.append(Message(f"fake-uid-{i:04d}", [line.encode() for line in lines]))
    return messages


def directory_messages(path):
    messages = []
    for name in sorted(os.listdir(path)):
        full = os.path.join(path, name)
        if not os.path.isfile(full):
            continue
        data = open(full, "rb").read().replace(b"\r\n", b"\n")
        lines = data.split(b"\n")
        if lines and lines[-1] == b"":
            lines.pop()
        # A unique id is 1 to 70 characters from 0x21 to 0x7E.
        uid = "".join(c if 0x21 <= ord(c) <= 0x7E else "_" for c in name)[:70]
        messages.append(Message(uid, lines))
    return messages


class Mailbox:
    """The messages, shared by all connections; deletions land at a connection's QUIT."""

    def __init__(self, messages):
        self.lock = threading.Lock()
        self.messages = list(messages)

    def snapshot(self):
        with self.lock:
            return list(self.messages)

    def remove(self, gone):
        with self.lock:
            self.messages = [m for m in self.messages if m not in gone]


# --- server ------------------------------------------------------------------------------------

class CommandLog:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        if path:
            open(path, "wb").close()

    def write(self, line):
        if not self.path:
            return
        if line[:5].upper() == b"PASS ":
            ending = line[len(line.rstrip(b"\r\n")):]
            line = b"PASS ****" + ending
        with self.lock, open(self.path, "ab") as f:
            f.write(line)


class Session:
    def __init__(self, scenario, mailbox, log, ahead_log, sock):
        self.sc = scenario
        self.mailbox = mailbox
        self.log = log
        self.ahead_log = ahead_log
        self.sock = sock
        self.received = b""  # bytes received and not yet taken as commands
        self.silent = not scenario.greet
        self.user = None
        self.messages = None  # set once logged in
        self.deleted = set()
        self.seen_top = False

    # Sending ---------------------------------------------------------------------------------
    def send(self, data):
        if self.silent:
            return
        if not self.sc.piece:
            self.sock.sendall(data)
            return
        offset, size = 0, 1
        while offset < len(data):
            self.sock.sendall(data[offset:offset + size])
            offset += size
            size = size % self.sc.piece + 1
            if self.sc.pause:
                time.sleep(self.sc.pause)

    def line(self, text):
        self.send((text.encode() if isinstance(text, str) else text) + self.sc.eol)

    def multiline(self, first, lines):
        eol = self.sc.eol
        out = [first.encode() + eol]
        for line in lines:
            out.append((b"." + line if line.startswith(b".") else line) + eol)
        out.append(b"." + eol)
        self.send(b"".join(out))

    # Commands --------------------------------------------------------------------------------
    def message(self, arg):
        """The message numbered ARG, or None after answering -ERR."""
        try:
            number = int(arg)
        except (TypeError, ValueError):
            self.line("-ERR a message number is needed")
            return None, None
        if not 1 <= number <= len(self.messages) or number in self.deleted:
            self.line(f"-ERR no message {number}")
            return None, None
        return number, self.messages[number - 1]

    def uid_of(self, number):
        """The id UIDL gives message NUMBER, "" for none, as the scenario has it."""
        if self.sc.uidl == "missing-id" and number == min(2, len(self.messages)):
            return ""
        if self.sc.uidl == "duplicate" and number == 2:
            return self.messages[0].uid
        return self.messages[number - 1].uid

    def handle(self, command, args):
        sc = self.sc
        plain_form = not args or command in ("CAPA", "TOP", "RETR")
        if command in sc.refuse or (sc.refuse_multiline and command in MULTILINE and plain_form):
            self.line(f"-ERR {command} refused")
            return True
        if command == "QUIT":
            if self.messages is not None and self.deleted:
                self.mailbox.remove({self.messages[n - 1] for n in self.deleted})
            self.line("+OK bye")
            return False
        if command == "CAPA":
            caps = ["TOP", "USER", "RESP-CODES"]
            if sc.pipelining:
                caps.insert(2, "PIPELINING")
            if "UIDL" not in sc.refuse:
                caps.insert(1, "UIDL")
            self.multiline("+OK capabilities follow", [c.encode() for c in caps])
            return True
        if self.messages is None:
            if command == "USER" and args:
                self.user = args[0]
                self.line("+OK send PASS")
            elif command == "PASS" and self.user is not None:
                self.messages = self.mailbox.snapshot()
                self.line(f"+OK {self.user} has {len(self.messages)} messages")
            else:
                self.line("-ERR not logged in (USER and PASS only)")
            return True
        if command == "STAT":
            live = [m for n, m in enumerate(self.messages, 1) if n not in self.deleted]
            self.line(f"+OK {len(live)} {sum(m.size for m in live)}")
        elif command in ("LIST", "UIDL"):
            value = (lambda n, m: str(m.size)) if command == "LIST" else \
                (lambda n, m: self.uid_of(n))
            if args:
                number, message = self.message(args[0])
                if message:
                    self.line(f"+OK {number} {value(number, message)}".rstrip())
            else:
                self.multiline("+OK listing follows", [
                    f"{n} {value(n, m)}".rstrip().encode()
                    for n, m in enumerate(self.messages, 1) if n not in self.deleted])
        elif command == "TOP":
            number, message = self.message(args[0] if args else None)
            if message:
                try:
                    count = int(args[1])
                    if count < 0:
                        raise ValueError(count)
                except (IndexError, ValueError):
                    self.line("-ERR TOP needs a message number and a line count")
                    return True
                self.multiline("+OK top of message follows", message.top(count))
                self.seen_top = True
        elif command == "RETR":
            number, message = self.message(args[0] if args else None)
            if message:
                self.multiline(f"+OK {message.size} octets", message.lines)
        elif command == "DELE":
            number, message = self.message(args[0] if args else None)
            if message:
                self.deleted.add(number)
                self.line(f"+OK message {number} deleted")
        elif command == "RSET":
            self.deleted.clear()
            self.line("+OK")
        elif command == "NOOP":
            if not (sc.mute_noop_after_top and self.seen_top):
                self.line("+OK")
        else:
            self.line(f"-ERR unknown command {command}")
        return True

    def read_command(self):
        """The next command line (at most 1024 bytes), b"" at the end, and whether it had come
        before the answer to the command before it was sent: it was whole in what an earlier
        receive brought, and receives happen only while no whole command is waiting."""
        ahead = True
        while b"\n" not in self.received[:1024] and len(self.received) < 1024:
            ahead = False
            data = self.sock.recv(4096)
            if not data:
                line, self.received = self.received, b""
                return line, False
            self.received += data
        cut = self.received.find(b"\n", 0, 1024) + 1 or 1024
        line, self.received = self.received[:cut], self.received[cut:]
        return line, ahead

    def run(self):
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.settimeout(300)
        try:
            self.line("+OK fake POP3 server ready")
            while True:
                raw, ahead = self.read_command()
                if not raw:
                    return
                self.log.write(raw)
                if ahead:
                    self.ahead_log.write(raw)
                if self.silent:
                    continue
                words = raw.decode("latin-1").strip().split()
                if not words:
                    self.line("-ERR empty command")
                    continue
                command = words[0].upper()
                keep_going = self.handle(command, words[1:])
                if command == self.sc.silent_after:
                    self.silent = True
                if not keep_going:
                    return
        except OSError:
            return  # the client went away or fell silent for too long


class FakeServer:
    def __init__(self, scenario, messages, log_path=None, ahead_log_path=None):
        scenario_, mailbox = scenario, Mailbox(messages)
        log, ahead_log = CommandLog(log_path), CommandLog(ahead_log_path)

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                Session(scenario_, mailbox, log, ahead_log, self.request).run()

        socketserver.ThreadingTCPServer.allow_reuse_address = True
        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.mailbox = mailbox

    def serve(self):
        self.server.serve_forever(poll_interval=0.1)
        self.server.server_close()

    def start(self):
        threading.Thread(target=self.serve, daemon=True).start()
        return self

    def stop(self):
        self.server.shutdown()


# --- main --------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description="A scripted POP3 server for tests.")
    parser.add_argument("--scenario", default="normal",
                        help="scenario name, or several joined by commas")
    parser.add_argument("--messages", default="3", help="a message count or a directory")
    parser.add_argument("--port-file", help="write the port here instead of printing PORT n")
    parser.add_argument("--log", help="append every command received to this file")
    parser.add_argument("--ahead-log", help="append the commands sent ahead of an answer here")
    parser.add_argument("--stop-on-stdin-eof", action="store_true",
                        help="exit when standard input reaches end of file")
    parser.add_argument("--lifetime", type=float, default=600,
                        help="exit after this many seconds whatever happens (default 600)")
    parser.add_argument("--list-scenarios", action="store_true")
    args = parser.parse_args()

    if args.list_scenarios:
        for name, scenario in SCENARIOS.items():
            print(f"{name:20} {scenario.description}")
        return 0
    try:
        scenario = combine(args.scenario.split(","))
    except KeyError as e:
        parser.error(f"unknown scenario {e}; known: {', '.join(SCENARIOS)}")
    if os.path.isdir(args.messages):
        messages = directory_messages(args.messages)
    elif args.messages.isdigit():
        messages = generated_messages(int(args.messages))
    else:
        parser.error(f"--messages: {args.messages!r} is neither a count nor a directory")

    server = FakeServer(scenario, messages, args.log, args.ahead_log)
    if args.port_file:
        staged = args.port_file + ".new"
        with open(staged, "w") as f:
            f.write(f"{server.port}\n")
        os.replace(staged, args.port_file)
    else:
        print(f"PORT {server.port}", flush=True)

    if args.stop_on_stdin_eof:
        def watch_stdin():
            try:
                while sys.stdin.buffer.read(4096):
                    pass
            except OSError:
                pass
            server.stop()
        threading.Thread(target=watch_stdin, daemon=True).start()
    timer = threading.Timer(args.lifetime, server.stop)
    timer.daemon = True
    timer.start()
    server.serve()
    return 0


if __name__ == "__main__":
    sys.exit(main())
