#!/usr/bin/python3
"""SMTP servers for the tests: a real one (aiosmtpd) that keeps what it receives, and scripted
ones for the misbehaviour a real server will not show on demand.

usage: smtp_server.py --scenario NAME [--user U --password P] [--spool DIR] [--port-file FILE]
                      [--log FILE] [--stop-on-stdin-eof] [--lifetime SECONDS]

It listens on 127.0.0.1, on a port the kernel picks, and writes that port to --port-file (written
whole, then renamed into place) or prints "PORT n". It stops when killed, when its standard input
reaches end of file with --stop-on-stdin-eof, or after --lifetime seconds (default 600).

Scenarios:
  real              aiosmtpd with AUTH LOGIN (challenges "Username:" and "Password:"); the login
                    --user/--password is required; every message received goes to --spool as
                    N.eml with N.json beside it ({"from": ..., "to": [...]})
  wrong-challenge   every AUTH LOGIN is answered with a 334 challenge of "User Name"
  upper-only        accepts the login only with --user/--password upper-cased
  split             every reply goes out in pieces of 1 to 3 bytes with a pause between, and
                    EHLO is answered in several lines
  silent-after-ehlo greets and answers EHLO, then answers nothing
  refuse-rcpt       accepts the login and MAIL FROM, refuses every RCPT TO with 550
The scripted scenarios accept the login --user/--password (except as said), take messages
without keeping them, and write every line they receive to --log, in arrival order.
"""
import argparse
import asyncio
import base64
import json
import os
import socket
import socketserver
import sys
import threading
import time
import warnings

SCRIPTED = ("wrong-challenge", "upper-only", "split", "silent-after-ehlo", "refuse-rcpt")


def write_port(port, port_file):
    if port_file:
        tmp = port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(str(port))
        os.replace(tmp, port_file)
    else:
        print("PORT %d" % port, flush=True)


def b64(text):
    return base64.b64encode(text.encode()).decode()


class Scripted:
    def __init__(self, args):
        self.args = args
        self.log_lock = threading.Lock()

    def log(self, line):
        if self.args.log:
            with self.log_lock, open(self.args.log, "ab") as f:
                f.write(line)

    def handle(self, sock):
        scenario = self.args.scenario
        reader = sock.makefile("rb")

        def send(text):
            data = text.encode()
            if scenario == "split":
                for i in range(0, len(data), 2):
                    sock.sendall(data[i:i + 2])
                    time.sleep(0.01)
            else:
                sock.sendall(data)

        def line():
            got = reader.readline()
            if not got:
                raise EOFError
            self.log(got)
            return got.decode(errors="replace").rstrip("\r\n")

        user, password = self.args.user, self.args.password
        if scenario == "upper-only":
            user, password = user.upper(), password.upper()
        send("220 scripted ready\r\n")
        in_data = False
        while True:
            command = line()
            if in_data:
                if command == ".":
                    in_data = False
                    send("250 queued\r\n")
                continue
            verb = command.split(" ")[0].upper()
            if scenario == "silent-after-ehlo" and verb != "EHLO":
                continue
            if verb == "EHLO":
                send("250-scripted\r\n250-AUTH LOGIN\r\n250 8BITMIME\r\n")
            elif verb == "HELO":
                send("250 scripted\r\n")
            elif verb == "AUTH":
                if scenario == "wrong-challenge":
                    send("334 %s\r\n" % b64("User Name"))
                    continue
                send("334 %s\r\n" % b64("Username:"))
                given_user = base64.b64decode(line()).decode(errors="replace")
                send("334 %s\r\n" % b64("Password:"))
                given_password = base64.b64decode(line()).decode(errors="replace")
                if (given_user, given_password) == (user, password):
                    send("235 authenticated\r\n")
                else:
                    send("535 authentication failed\r\n")
            elif verb == "MAIL":
                send("250 sender ok\r\n")
            elif verb == "RCPT":
                send("550 no such user\r\n" if scenario == "refuse-rcpt" else "250 recipient ok\r\n")
            elif verb == "DATA":
                in_data = True
                send("354 go ahead\r\n")
            elif verb == "QUIT":
                send("221 bye\r\n")
                return
            else:
                send("502 unknown\r\n")

    def run(self):
        scripted = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                try:
                    scripted.handle(self.request)
                except (OSError, ValueError, EOFError):
                    pass

        socketserver.ThreadingTCPServer.allow_reuse_address = True
        socketserver.ThreadingTCPServer.daemon_threads = True
        server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        write_port(server.server_address[1], self.args.port_file)
        threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()


def run_real(args):
    # aiosmtpd warns about its own use of a deprecated field on every login.
    warnings.filterwarnings("ignore", category=DeprecationWarning)
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import SMTP, AuthResult

    class LoginSmtp(SMTP):
        AuthLoginUsernameChallenge = "Username:"
        AuthLoginPasswordChallenge = "Password:"

    class Spool:
        def __init__(self):
            self.count = 0

        async def handle_DATA(self, server, session, envelope):
            if not session.authenticated:
                return "530 authentication required"
            self.count += 1
            base = os.path.join(args.spool, str(self.count))
            with open(base + ".eml", "wb") as f:
                f.write(envelope.original_content)
            with open(base + ".json.tmp", "w") as f:
                json.dump({"from": envelope.mail_from, "to": envelope.rcpt_tos}, f)
            os.replace(base + ".json.tmp", base + ".json")
            return "250 OK"

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (auth_data.login.decode(), auth_data.password.decode()) == (args.user, args.password)
        return AuthResult(success=ok)

    class LoginController(Controller):
        def factory(self):
            return LoginSmtp(self.handler, authenticator=authenticator, auth_require_tls=False)

    os.makedirs(args.spool, exist_ok=True)
    # The controller checks that it is up by connecting to its port, so it needs a real one.
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    controller = LoginController(Spool(), hostname="127.0.0.1", port=port)
    controller.start()
    write_port(port, args.port_file)
    return controller


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scenario", required=True, choices=("real",) + SCRIPTED)
    parser.add_argument("--user", default="alice")
    parser.add_argument("--password", default="alice-secret")
    parser.add_argument("--spool")
    parser.add_argument("--port-file")
    parser.add_argument("--log")
    parser.add_argument("--stop-on-stdin-eof", action="store_true")
    parser.add_argument("--lifetime", type=float, default=600)
    args = parser.parse_args()
    if args.scenario == "real" and not args.spool:
        parser.error("--scenario real needs --spool")

    if args.scenario == "real":
        run_real(args)
    else:
        Scripted(args).run()

    deadline = time.monotonic() + args.lifetime
    if args.stop_on_stdin_eof:
        threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    while time.monotonic() < deadline:
        time.sleep(0.2)
    os._exit(0)


if __name__ == "__main__":
    main()
