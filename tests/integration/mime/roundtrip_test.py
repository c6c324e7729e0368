#!/usr/bin/python3
"""Composed messages read back by Python's standard email package.

Each case composes a message (through the compose tool, or phctl itself), parses it with
email.message_from_bytes under the default policy and checks that the reader sees what was
composed: the parts and their order, the decoded bytes of every part, attachment names, the
decoded subject and a Date in the machine's zone. Text bodies of MIME parts are dot-stuffed for
SMTP, so the raw text is unstuffed first, as a receiving server would.
"""
import argparse
import datetime
import email
import email.policy
import os
import random
import subprocess
import sys

FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)


def crlf(text):
    return text.replace(b"\r\n", b"\n").replace(b"\r", b"\n").replace(b"\n", b"\r\n")


def unstuff(raw):
    return b"\r\n".join(line[1:] if line.startswith(b".") else line for line in raw.split(b"\r\n"))


def random_text(rng, lines):
    """Latin-1 text with long lines, "=" signs, lines that start with dots and blank lines."""
    words = [b"mail", b"caf\xe9", b"na\xefve", b"x=y", b"r\xe9sum\xe9", b"tab\there", b"?_!", b"\xff\xa0"]
    out = []
    for i in range(lines):
        line = b" ".join(rng.choice(words) for _ in range(rng.randint(0, 40)))
        if i % 5 == 1:
            line = b"." + line
        out.append(line)
    return b"\n".join(out) + b"\n"


def before_attachment(text):
    """An attachment's delimiter is preceded by a blank line, which a reader counts as the end
    of the part before it."""
    return crlf(text) + b"\r\n"


def random_bytes(rng, size):
    data = bytearray(rng.getrandbits(8) for _ in range(size))
    data[:4] = b"\x00\x00\xff\x80"
    return bytes(data)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def parse(raw, stuffed):
    return email.message_from_bytes(unstuff(raw) if stuffed else raw, policy=email.policy.default)


def check_common(msg, raw, expected):
    """The parts in order, their bytes and names, the subject, the Date and what must not show."""
    parts = list(msg.walk())
    check([p.get_content_type() for p in parts] == expected["types"],
          "part types %s" % [p.get_content_type() for p in parts])
    leaves = [p for p in parts if not p.is_multipart()]
    for part, (name, data) in zip(leaves, expected["leaves"]):
        check(part.get_filename() == name, "file name %r, want %r" % (part.get_filename(), name))
        check(part.get_payload(decode=True) == data, "payload of %s %r differs" % (part.get_content_type(), name))
    check(str(msg["Subject"]) == expected["subject"], "subject %r" % str(msg["Subject"]))
    check([a.addr_spec for a in msg["To"].addresses] == expected["to"], "To %s" % msg["To"])

    date = msg["Date"].datetime
    now = datetime.datetime.now().astimezone()
    check(date.utcoffset() == now.utcoffset(), "Date zone %s, local %s" % (date.utcoffset(), now.utcoffset()))
    check(abs((now - date).total_seconds()) < 300, "Date %s is not now (%s)" % (date, now))

    check(b"Bcc" not in raw and b"hidden@" not in raw, "a Bcc recipient was written")


def compose(args, options, name):
    out = os.path.join(args.work, name + ".eml")
    subprocess.run([args.tool] + options + ["--out", out], check=True)
    with open(out, "rb") as f:
        return f.read()


def case_plain(args, rng):
    # A single-part message carries its text as stored: no encoding and no dot-stuffing.
    text = random_text(rng, 12)
    body = write(os.path.join(args.work, "body.txt"), text)
    raw = compose(args, ["--mode", "0", "--from", "a@example.org", "--to", "b@example.org",
                         "--bcc", "hidden@example.org", "--subject", "Plain", "--text", body], "plain")
    msg = parse(raw, stuffed=False)
    check_common(msg, raw, {"types": ["text/plain"], "leaves": [(None, crlf(text))], "subject": "Plain",
                            "to": ["b@example.org"]})
    check(msg.get_content_charset() == "iso-8859-1", "charset %s" % msg.get_content_charset())


def case_html_and_plain(args, rng):
    text = random_text(rng, 20)
    html = b"<html><body>\n<p>" + random_text(rng, 8).replace(b"\n", b"</p>\n<p>") + b"</p>\n</body></html>\n"
    raw = compose(args, ["--mode", "1", "--from", "a@example.org", "--to", "b@example.org", "--to", "c@example.org",
                         "--subject", "Both", "--text", write(os.path.join(args.work, "t.txt"), text),
                         "--html", write(os.path.join(args.work, "h.html"), html)], "html")
    msg = parse(raw, stuffed=True)
    check_common(msg, raw, {"types": ["multipart/related", "text/plain", "text/html"],
                            "leaves": [(None, crlf(text)), (None, crlf(html))], "subject": "Both",
                            "to": ["b@example.org", "c@example.org"]})


def case_attachments(args, rng):
    text = random_text(rng, 6)
    from_file = random_bytes(rng, 5000)
    in_memory = random_bytes(rng, 777)
    raw = compose(args, ["--mode", "1", "--from", "a@example.org", "--to", "b@example.org",
                         "--text", write(os.path.join(args.work, "t.txt"), text),
                         "--attach", write(os.path.join(args.work, "data.bin"), from_file),
                         "--attach-memory", write(os.path.join(args.work, "memory.dat"), in_memory),
                         "--subject", "Files"], "attachments")
    msg = parse(raw, stuffed=True)
    check_common(msg, raw, {"types": ["multipart/mixed", "text/plain", "application/octet-stream",
                                      "application/octet-stream"],
                            "leaves": [(None, before_attachment(text)), ("data.bin", from_file), ("memory.dat", in_memory)],
                            "subject": "Files", "to": ["b@example.org"]})


def case_latin1_subject(args, rng):
    subject = b"Caf\xe9 cr\xe8me = 100% _s\xfbr_? \xbfs\xed!"
    text = b".leading dot\nmiddle\n..two dots\n"
    raw = compose(args, ["--mode", "1", "--from", "a@example.org", "--to", "b@example.org",
                         "--subject", subject, "--text", write(os.path.join(args.work, "t.txt"), text)], "subject")
    # The stuffing is for SMTP: on the wire every body line that starts with "." has one more.
    check(b"\r\n\r\n..leading dot\r\nmiddle\r\n...two dots\r\n" in raw, "dot-stuffing missing")
    msg = parse(raw, stuffed=True)
    check_common(msg, raw, {"types": ["multipart/mixed", "text/plain"], "leaves": [(None, crlf(text))],
                            "subject": subject.decode("latin-1"), "to": ["b@example.org"]})


def case_phctl(args, rng):
    text = random_text(rng, 10)
    first, second = random_bytes(rng, 300), random_bytes(rng, 4096)
    paths = [write(os.path.join(args.work, n), d) for n, d in (("one.bin", first), ("two.bin", second))]
    body = write(os.path.join(args.work, "body.txt"), text)
    base = [args.phctl, "message", "compose", "--from", "Ann <a@example.org>", "--to", "b@example.org",
            "--cc", "c@example.org", "--bcc", "hidden@example.org", "--subject", "From phctl"]
    done = subprocess.run(base + ["--text", body, "--attach", paths[0], "--attach", paths[1]],
                          stdout=subprocess.PIPE, check=True)
    msg = parse(done.stdout, stuffed=True)
    check_common(msg, done.stdout, {"types": ["multipart/mixed", "text/plain", "application/octet-stream",
                                              "application/octet-stream"],
                                    "leaves": [(None, before_attachment(text)), ("one.bin", first), ("two.bin", second)],
                                    "subject": "From phctl", "to": ["b@example.org"]})
    check([a.addr_spec for a in msg["Cc"].addresses] == ["c@example.org"], "Cc %s" % msg["Cc"])
    check(msg["From"].addresses[0].display_name == "Ann", "From %s" % msg["From"])

    missing = os.path.join(args.work, "missing.bin")
    for extra in (["--attach", missing], ["--text", missing]):
        failed = subprocess.run(base + extra, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        check(failed.returncode != 0, "phctl succeeded with %s" % extra)
        check(failed.stdout == b"", "phctl wrote a message despite %s" % extra)
        check(missing.encode() in failed.stderr, "phctl did not name the missing file: %r" % failed.stderr)


CASES = {
    "plain": case_plain,
    "html-and-plain": case_html_and_plain,
    "attachments": case_attachments,
    "latin1-subject": case_latin1_subject,
    "phctl": case_phctl,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--phctl", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    CASES[args.case](args, random.Random(args.case))
    for failure in FAILURES:
        print("FAIL:", failure)
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
