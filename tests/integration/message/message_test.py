#!/usr/bin/python3
"""phctl message parse and import over crafted message files.

  parse   the JSON fields of a multipart/alternative message, a multipart/mixed one with
          base64 attachments and one with control characters; a missing file is an error
  save    --save-attachments writes only inside the chosen folder, under plain file names,
          however the attachment names try to leave it
  import  two files imported twice into a store are stored once each
"""
import base64
import hashlib
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from phctl_support import check, run_cases  # noqa: E402


def crlf(*lines):
    return ("\r\n".join(lines)).encode("latin-1")


ALTERNATIVE = crlf(
    "Return-Path: <bounce@example.org>",
    "Message-ID: <1@example.org>",
    "From: \"Dora Diaz\" <dora@example.org>",
    "To: ann@example.com",
    "CC: cleo@example.net",
    "Subject: Lunch",
    " plans",
    "Date: Tue, 15 Nov 2005 08:12:31 -0800",
    "Content-Type: multipart/alternative; boundary=\"alt-7\"",
    "",
    "--alt-7",
    "Content-Type: text/plain; charset=iso-8859-1",
    "Content-Transfer-Encoding: quoted-printable",
    "",
    "Caf=E9 at one, =3D",
    "noon=",
    "-ish.",
    "--alt-7",
    "Content-Type: text/html",
    "",
    "<html><body><p>Caf\xe9</p></body></html>",
    "--alt-7--",
    "")

EVIL_SH = b"#!/bin/sh\necho pwned\n"
PASSWD = b"root:x:0:0::/root:/bin/sh\n"
TRICKY = bytes(range(256))
TRICKY_NAME = "bad\x01\x1b[2Jname\x7f.txt"

MIXED = crlf(
    "Received: from mx.example.org by mail.example.com; Wed, 02 Mar 2005 17:02:09 +0100",
    "Received: from elsewhere by mx.example.org; Thu, 03 Mar 2005 01:00:00 +0000",
    "From: eve@example.org",
    "Reply-To: replies@example.org",
    "To: ann@example.com",
    "Subject: \x07Files\x1b[0m for you",
    "Date: Fri, 04 Mar 2005 10:00:00 +0000",
    "Content-Type: multipart/mixed; boundary=mix",
    "",
    "--mix",
    "Content-Type: text/plain",
    "",
    "See attached.",
    "--mix",
    "Content-Type: application/x-sh; name=\"../../evil.sh\"",
    "Content-Transfer-Encoding: base64",
    "",
    base64.encodebytes(EVIL_SH).decode().replace("\n", "\r\n").rstrip(),
    "--mix",
    "Content-Type: application/octet-stream",
    "Content-Disposition: attachment; filename=\"/etc/passwd\"",
    "Content-Transfer-Encoding: base64",
    "",
    base64.encodebytes(PASSWD).decode().replace("\n", "\r\n").rstrip(),
    "--mix",
    "Content-Type: application/octet-stream; name=\"" + TRICKY_NAME + "\"",
    "Content-Transfer-Encoding: base64",
    "",
    base64.encodebytes(TRICKY).decode().replace("\n", "\r\n").rstrip(),
    "--mix--",
    "")

# Attachment names as the message gives them, with their data and the plain file names
# they must be saved under.
ATTACHMENTS = [("../../evil.sh", EVIL_SH, "evil.sh"),
               ("/etc/passwd", PASSWD, "passwd"),
               (TRICKY_NAME, TRICKY, "bad[2Jname.txt")]


def expect_fields(got, want, what):
    for key, value in want.items():
        check(got.get(key) == value, f"{what}: {key} is {got.get(key)!r}, expected {value!r}")


def case_parse(ph):
    alt = ph.json("message", "parse", ph.write("alternative.eml", ALTERNATIVE), "--json")
    expect_fields(alt, {
        "to": "ann@example.com", "cc": "cleo@example.net", "subject": "Lunch   plans",
        "from": "\"Dora Diaz\" <dora@example.org>", "fromName": "Dora Diaz", "fromAddress": "dora@example.org",
        "fromIconState": 0, "replyTo": "\"Dora Diaz\" <dora@example.org>",
        "sentDate": "11/15/05 08:12:31", "storedDate": "November 15, 2005 08:12:31",
        "hasAttachment": False, "attachmentType": "", "attachments": [],
        "plainText": "Café at one, =\r\nnoon-ish.\r\n",
        "htmlText": "<html><body><p>Café</p></body></html>\r\n",
    }, "multipart/alternative")

    mixed = ph.json("message", "parse", ph.write("mixed.eml", MIXED), "--json")
    expect_fields(mixed, {
        "subject": "\x07Files\x1b[0m for you", "from": "eve@example.org", "fromName": "eve@example.org",
        "fromAddress": "eve@example.org", "replyTo": "replies@example.org",
        # The first Received header dates the message, not the Date header.
        "sentDate": "03/02/05 17:02:09", "storedDate": "March 02, 2005 17:02:09",
        "hasAttachment": True, "attachmentType": TRICKY_NAME, "plainText": "See attached.\r\n", "htmlText": "",
        "attachments": [{"name": name, "size": len(data)} for name, data, _ in ATTACHMENTS],
    }, "multipart/mixed")

    # The lines for a person show control characters escaped and never raw.
    out, _ = ph.run("message", "parse", ph.path("mixed.eml"))
    check(not any(c in out for c in "\x01\x07\x1b\x7f"), "a control character reached the terminal")
    check("Subject: \\x07Files\\x1b[0m for you\n" in out, f"escaped subject missing:\n{out}")

    _, err = ph.run("message", "parse", ph.path("missing.eml"), rc="nonzero")
    check("missing.eml" in err, f"the error does not name the file: {err}")
    ph.run("message", "parse", ph.work, rc="nonzero")


def all_files(top):
    return {os.path.relpath(os.path.join(d, f), top) for d, _, files in os.walk(top) for f in files}


def case_save(ph):
    message = ph.write("mixed.eml", MIXED)
    # Deep enough that a name climbing out of the folder would still land inside the work
    # folder, where the check below sees it.
    target = ph.path("a", "b", "saved")
    before = all_files(ph.work)
    got = ph.json("message", "parse", message, "--json", "--save-attachments", target)
    new = all_files(ph.work) - before
    wanted = {os.path.join("a", "b", "saved", plain) for _, _, plain in ATTACHMENTS}
    check(new == wanted, f"files written: {sorted(new)}, expected {sorted(wanted)}")
    check(got["saved"]["written"] == len(ATTACHMENTS), f"written: {got['saved']}")
    check(got["saved"]["files"] == [plain for _, _, plain in ATTACHMENTS], f"files reported: {got['saved']}")
    for _, data, plain in ATTACHMENTS:
        with open(os.path.join(target, plain), "rb") as f:
            check(f.read() == data, f"{plain} does not hold the decoded attachment")


def emails(ph, store):
    tables = ph.json("--store", store, "store", "dump", "--json")["tables"]
    return next(t["records"] for t in tables if t["name"] == "Emails")


def case_import(ph):
    store = ph.path("test.stg")
    files = [ph.write("alternative.eml", ALTERNATIVE), ph.write("mixed.eml", MIXED)]
    ph.run("--store", store, "store", "create")
    ph.run("--store", store, "accounts", "add", "--address", "ann@example.com", "--user", "ann",
           "--pop3", "mail.example.com", "--smtp", "smtp.example.com")
    ph.run("--store", store, "message", "import", "--account", "ann@example.com", *files)
    out, _ = ph.run("--store", store, "message", "import", "--account", "ann@example.com", *files)
    check(out.count("skipped") == 2, f"the second import stored again:\n{out}")

    records = emails(ph, store)
    check(len(records) == 2, f"{len(records)} messages stored, expected 2")
    by_id = {r["fields"]["MsgUniqueID"]: r for r in records}
    for name, data in (("alternative.eml", ALTERNATIVE), ("mixed.eml", MIXED)):
        unique_id = "file-" + hashlib.md5(data).hexdigest()
        check(unique_id in by_id, f"{name} not stored under {unique_id}: {sorted(by_id)}")
    lunch = by_id["file-" + hashlib.md5(ALTERNATIVE).hexdigest()]
    check(lunch["fields"]["Subject"] == "Lunch   plans", f"stored subject: {lunch['fields']['Subject']!r}")
    check(lunch["streams"]["Blob_Xml_%s/PlainText" % lunch["id"]] == "Café at one, =\r\nnoon-ish.\r\n",
          f"stored texts: {lunch['streams']}")

    ph.run("--store", store, "message", "import", "--account", "nobody@example.com", files[0], rc="nonzero")
    ph.run("--store", store, "message", "import", "--account", "ann@example.com", ph.path("missing.eml"),
           rc="nonzero")
    check(len(emails(ph, store)) == 2, "a failed import changed the store")


CASES = {"parse": case_parse, "save": case_save, "import": case_import}


if __name__ == "__main__":
    sys.exit(run_cases(CASES))
