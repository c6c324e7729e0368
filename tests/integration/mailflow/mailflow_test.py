#!/usr/bin/python3
"""Mail through phctl from end to end, against the suite's dovecot and bob's maildir.

A fresh store gets a POP3 account for bob and a rule that copies the "Ledger report" messages
into a folder. Then: a check stores every message with its headers and files the rule's ones;
messages removed from the maildir behind the program's back are marked not on the server by
the next check, which fetches nothing twice; phctl show fetches a text from the server;
phctl delete removes messages on the server, or from a folder only; phctl download saves an
attachment; a message put in the outbox goes out through the account's SMTP server with the
next check and moves to the sent items; and with a wrong password the check and a server delete
fail, leaving the mail where it is.
"""
import argparse
import base64
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from phctl_support import Failure, Phctl, check  # noqa: E402

ACCOUNT = "bob@example.org"
FOLDER = "/Filed"
ATTACHMENT = b"\x00\x01ledger\xff\r\n" * 40
# Every view switch on: the listing shows whatever the store holds.
SHOW_ALL = ["--period", "0", "--show-not-on-server", "1", "--show-old", "1", "--show-read", "1",
            "--show-unread", "1"]


def env(name):
    value = os.environ.get(name)
    if not value:
        raise Failure(f"{name} is not set: run the suite with tools/run-tests")
    return value


def handmade(subject, attachment):
    head = ["From: Lena Lindqvist <lena.lindqvist@example.org>", "To: bob@example.org",
            f"Subject: {subject}", "Date: Mon, 04 Mar 2024 10:00:00 +0000",
            f"Message-ID: <{subject.replace(' ', '.')}@example.org>", "MIME-Version: 1.0"]
    text = f"The ledger for {subject} balances.\n"
    if not attachment:
        return ("\n".join(head + ["Content-Type: text/plain; charset=us-ascii", "", text])).encode()
    data = base64.encodebytes(ATTACHMENT).decode()
    return ("\n".join(head + [
        'Content-Type: multipart/mixed; boundary="=_ledger"', "",
        "--=_ledger", "Content-Type: text/plain; charset=us-ascii", "", text,
        "--=_ledger", 'Content-Type: application/octet-stream; name="ledger.bin"',
        'Content-Disposition: attachment; filename="ledger.bin"',
        "Content-Transfer-Encoding: base64", "", data, "--=_ledger--", ""])).encode()


class Maildir:
    """bob's maildir on the test server: unique id (the file name up to ":") -> file."""

    def __init__(self, fill, build):
        self.fill, self.build = fill, build
        self.root = os.path.join(env("POP3_MAILDIR_ROOT"), "bob")

    def refill(self, count):
        listed = subprocess.run([self.fill, self.build, "bob", str(count), "--clear", "--list"],
                                check=True, capture_output=True, text=True).stdout.split()
        check(len(listed) == count, f"fill-maildir listed {listed}")
        return listed

    def deliver(self, name, data):
        """A message put into new/ as a delivery would: written in tmp/, then renamed."""
        owner = os.stat(self.root)
        tmp = os.path.join(self.root, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(data)
        os.chown(tmp, owner.st_uid, owner.st_gid)
        os.rename(tmp, os.path.join(self.root, "new", name))

    def files(self):
        found = {}
        for sub in ("new", "cur"):
            for name in os.listdir(os.path.join(self.root, sub)):
                found[name.split(":")[0]] = os.path.join(self.root, sub, name)
        return found

    def remove(self, uid):
        os.remove(self.files()[uid])

    def from_header(self, uid):
        with open(self.files()[uid], "rb") as f:
            for line in f.read().decode("latin-1").split("\n"):
                if line.startswith("From: "):
                    return line[len("From: "):].rstrip("\r")
        return ""


def watch_until(ph, text, seconds=60):
    """Runs phctl watch until it prints `text` (or the time is up), then ends it as Ctrl-C
    would; what it printed. It must exit cleanly."""
    watch = subprocess.Popen([ph.program, "--store", ph.store, "watch"], env=ph.env, cwd=ph.work,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    said = []
    deadline = time.monotonic() + seconds
    os.set_blocking(watch.stdout.fileno(), False)
    while time.monotonic() < deadline and not any(text in line for line in said):
        line = watch.stdout.readline()
        if line:
            said.append(line)
        else:
            time.sleep(0.1)
    watch.send_signal(signal.SIGINT)
    out, err = watch.communicate(timeout=30)
    check(watch.returncode == 0, f"phctl watch ended with {watch.returncode}: {err}")
    return "".join(said) + (out or "")


def rows(ph, *where):
    return {r["storeId"]: r for r in ph.json("list", *where, "--json", *SHOW_ALL)["rows"]}


def run(ph, mail, smtp):
    uids = mail.refill(6)
    stamp = int(time.time())
    ledgers = [f"{stamp}.M{n}P{os.getpid()}Q{n}.handmade" for n in (1, 2)]
    mail.deliver(ledgers[0], handmade("Ledger report 1", attachment=False))
    mail.deliver(ledgers[1], handmade("Ledger report 2", attachment=True))

    ph.run("accounts", "add", "--address", ACCOUNT, "--user", "bob", "--password-env", "BOB_PASSWORD",
           "--pop3", env("POP3_HOST"), "--pop3-port", env("POP3_PORT"), "--smtp", "127.0.0.1",
           "--smtp-port", str(smtp.port), env={"BOB_PASSWORD": "bob-secret"})
    ph.run("folders", "add", "Filed")
    ph.run("rules", "add", "--name", "ledgers", "--subject", "Ledger report", "--copy-to", FOLDER)

    # The first check stores everything, with the headers the maildir holds.
    ph.run("check", "--all")
    stored = rows(ph, "--account", ACCOUNT)
    check(len(stored) == 8, f"stored after the first check: {stored}")
    check(all(r["marks"][0] == "S" for r in stored.values()), f"not all on the server: {stored}")
    by_subject = {r["subject"]: sid for sid, r in stored.items()}
    check(sorted(r["from"] for r in stored.values()) ==
          sorted(mail.from_header(u) for u in uids + ledgers), f"From lines differ from the maildir: {stored}")
    ledger1, ledger2 = by_subject.get("Ledger report 1"), by_subject.get("Ledger report 2")
    check(ledger1 and ledger2, f"the hand-made messages are missing: {stored}")
    check(sorted(rows(ph, "--folder", FOLDER)) == sorted([ledger1, ledger2]),
          f"the rule's folder holds {rows(ph, '--folder', FOLDER)}")
    others = sorted((sid for sid in stored if sid not in (ledger1, ledger2)), key=int)

    # Two leave the server behind the program's back: the next check marks them and fetches
    # nothing again (no new rows, the same ids).
    vanished, kept = others[:2], others[2:]
    # A filled message is known by its sender and its size, which the file name gives.
    listed_as = {(mail.from_header(u), int(re.search(r",W=(\d+)", u).group(1))): u for u in uids}
    uid_of = {sid: listed_as.get((stored[sid]["from"], stored[sid]["size"])) for sid in others}
    check(sorted(filter(None, uid_of.values())) == sorted(uids), f"stored {stored} as listed {listed_as}")
    for sid in vanished:
        mail.remove(uid_of[sid])
    ph.run("check", "--all")
    after = rows(ph, "--account", ACCOUNT)
    check(sorted(after) == sorted(stored), f"the second check changed the stored messages: {after}")
    for sid, row in after.items():
        check(row["marks"][0] == ("-" if sid in vanished else "S"), f"message {sid} marked {row['marks']}")
    _, err = ph.run("show", vanished[0], rc="nonzero")
    check("no longer on its server" in err, f"show of a vanished message: {err}")
    _, err = ph.run("download", "--full", vanished[1], "--save-attachments", ph.path("nothing"), rc="nonzero")
    check("SORRY: Message is no longer on server" in err, f"download of a vanished message: {err}")

    # The viewer's text comes from the server the first time and from the store after.
    out, _ = ph.run("show", ledger1)
    check("The ledger for Ledger report 1 balances." in out, f"show printed: {out}")
    out, _ = ph.run("show", ledger1, "--headers")
    check("Subject: Ledger report 1" in out, f"show --headers printed: {out}")

    # Deleted on the server: gone from the maildir and from the store.
    doomed = kept[:2]
    out, err = ph.run("--yes", "delete", *doomed)
    check("2 of them on their server" in out and "Deleting 2 of 2" in err, f"delete said: {out}{err}")
    remaining = mail.files()
    check(all(uid_of[sid] not in remaining for sid in doomed), f"still in the maildir: {remaining}")
    check(all(uid_of[sid] in remaining for sid in kept[2:]), f"too much deleted: {remaining}")
    check(sorted(rows(ph, "--account", ACCOUNT)) == sorted(set(stored) - set(doomed)), "store after delete")

    # Out of the folder only: the message stays in its account and on the server.
    ph.run("delete", ledger1, "--folder", FOLDER, "--folder-only")
    check(sorted(rows(ph, "--folder", FOLDER)) == [ledger2], "folder after --folder-only")
    check(ledger1 in rows(ph, "--account", ACCOUNT) and ledgers[0] in mail.files(), "ledger 1 went too far")

    # The whole message of the one with an attachment, saved.
    saved = ph.path("saved")
    out, _ = ph.run("download", "--full", ledger2, "--save-attachments", saved)
    check("saved 1 attachments" in out, f"download said: {out}")
    with open(os.path.join(saved, "ledger.bin"), "rb") as f:
        check(f.read() == ATTACHMENT, "the saved attachment differs")

    ph.run("delete", "99999", rc="nonzero")

    # The outbox goes out with the next check, attachment and all, and becomes a sent item.
    report = ph.path("report.txt")
    with open(report, "wb") as f:
        f.write(b"totals\r\n")
    out, _ = ph.run("outbox", "add", "--account", ACCOUNT, "--to", "Carol <carol@example.org>",
                    "--bcc", "dave@example.org", "--subject", "Totals", "--body", "<p>Totals attached.</p>",
                    "--attach", report)
    waiting = out.strip()
    check(list(rows(ph, "--outbox")) == [waiting], f"outbox listing {rows(ph, '--outbox')}")
    ph.run("check", "--all")
    envelope, text = smtp.received(1)
    check(envelope == {"from": ACCOUNT, "to": ["carol@example.org", "dave@example.org"]}, f"envelope {envelope}")
    check("Subject: Totals" in text and base64.b64encode(b"totals\r\n").decode() in text, f"sent {text}")
    check(rows(ph, "--outbox") == {}, "the sent message is still in the outbox")
    sent = rows(ph, "--sent")
    check([r["subject"] for r in sent.values()] == ["Totals"], f"sent items: {sent}")

    # Without a check there is nothing to tell: the messages already on the server are not news.
    said = watch_until(ph, "EMAIL", seconds=3)
    check("EMAIL" not in said, f"phctl watch told of mail without checking: {said}")

    # phctl watch checks on start, says what came in, and ends on Ctrl-C with it stored.
    ph.run("prefs", "set", "CheckOnStart", "on")
    before = set(rows(ph, "--account", ACCOUNT))
    mail.deliver(f"{stamp}.M3P{os.getpid()}Q3.handmade", handmade("Watched", attachment=False))
    said = watch_until(ph, "1 NEW EMAILS")
    check("1 NEW EMAILS" in said, f"phctl watch printed: {said}")
    added = {sid: r for sid, r in rows(ph, "--account", ACCOUNT).items() if sid not in before}
    check([r["subject"] for r in added.values()] == ["Watched"], f"stored by watch: {added}")

    # A wrong password: the check fails and says so; a server delete fails and leaves the
    # server's copy (the message is removed here all the same).
    ph.run("accounts", "set", ACCOUNT, "--password-env", "BOB_PASSWORD", env={"BOB_PASSWORD": "wrong"})
    out, _ = ph.run("check", "--all", rc=1)
    check("BAD USER OR PASSWORD" in out, f"check with a wrong password showed: {out}")
    ph.run("--yes", "delete", ledger1, rc="nonzero")
    check(ledgers[0] in mail.files(), "a delete that could not log in removed the server's copy")


class SmtpServer:
    """The suite's SMTP server for bob: aiosmtpd, keeping what it receives in a spool folder."""

    def __init__(self, work):
        self.spool = os.path.join(work, "smtp-spool")
        port_file = os.path.join(work, "smtp-port")
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "fakes", "smtp_server.py")
        self.process = subprocess.Popen(
            ["/usr/bin/python3", script, "--scenario", "real", "--user", "bob", "--password", "bob-secret",
             "--spool", self.spool, "--port-file", port_file, "--stop-on-stdin-eof"],
            stdin=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while not os.path.exists(port_file):
            if time.monotonic() > deadline:
                raise Failure("the SMTP server did not start")
            time.sleep(0.05)
        with open(port_file) as f:
            self.port = int(f.read())

    def received(self, number):
        base = os.path.join(self.spool, str(number))
        if not os.path.exists(base + ".json"):
            raise Failure(f"the SMTP server has no message {number}")
        with open(base + ".json") as f, open(base + ".eml", "rb") as g:
            return json.load(f), g.read().decode("latin-1")

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


def main():
    parser = argparse.ArgumentParser()
    for option in ("--phctl", "--work", "--fill", "--build"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    ph = Phctl(os.path.abspath(args.phctl), os.path.abspath(args.work))
    try:
        ph.run("store", "create", ph.path("mail.stg"))
        ph.store = ph.path("mail.stg")
        smtp = SmtpServer(args.work)
        try:
            run(ph, Maildir(args.fill, args.build), smtp)
        finally:
            smtp.stop()
    except Failure as e:
        print(f"FAIL: {e}", file=sys.stderr)
        return 1
    print("mailflow: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
