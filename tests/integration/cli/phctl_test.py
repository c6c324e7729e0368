#!/usr/bin/python3
"""phctl end to end, as a person or a script would use it.

Each case runs phctl with HOME and the XDG directories inside its own work folder, so the
profile, the default store and the autostart entry are private to the case.

  fill        fill a store through phctl and read it back through phctl and the raw dump
  round-trip  fill A, export A to B, import B into a new C, compact C: every record of A must
              be found in B and in C, compared by content with record ids taken out
  refusals    export or import to the open store's own path is refused and changes nothing
  usage       wrong command lines exit non-zero and show usage

Every case also checks that no password it handed to phctl ever shows in any output.
"""
import collections
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from phctl_support import Phctl, check, run_cases  # noqa: E402

ACCOUNT_PASSWORD = "Pw-4d7f1-account"
STDIN_PASSWORD = "Pw-92c0e-from-stdin"
STORE_PASSWORD = "Pw-5b1aa-store"
SECRETS = (ACCOUNT_PASSWORD, STDIN_PASSWORD, STORE_PASSWORD)


class CliPhctl(Phctl):
    """Also looks through everything phctl printed or wrote for a password."""

    def dump(self, store):
        return {t["name"]: t["records"] for t in self.json("--store", store, "store", "dump", "--json")["tables"]}

    def check_no_secret_shown(self):
        for args, out, err in self.outputs:
            for secret in SECRETS:
                check(secret not in out and secret not in err,
                      f"a password was shown by phctl {' '.join(args)}")
        for folder, _, files in os.walk(self.env["HOME"]):
            for name in files:
                with open(os.path.join(folder, name), "rb") as f:
                    data = f.read()
                for secret in SECRETS:
                    check(secret.encode() not in data, f"a password was written into {name}")


# ---------------------------------------------------------------------------------------
# Filling a store

def fill(ph, store):
    """Fills `store` through phctl; returns what was put in, for the checks."""
    s = ["--store", store]
    ph.run(*s, "store", "create")
    ph.run(*s, "accounts", "add", "--address", "ann@example.com", "--user", "ann", "--password-env", "ACCT_PW",
           "--pop3", "mail.example.com", "--pop3-port", "995", "--smtp", "smtp1.example.com",
           "--smtp2", "smtp2.example.com", "--smtp3", "smtp3.example.com", "--smtp-port", "465", "--ssl",
           "--default", env={"ACCT_PW": ACCOUNT_PASSWORD})
    ph.run(*s, "accounts", "add", "--address", "bert@example.org", "--user", "bert", "--type", "gmail",
           "--disabled")
    ph.run(*s, "accounts", "add", "--address", "cleo@example.net", "--user", "cleo", "--password-stdin",
           "--pop3", "pop.example.net", "--smtp", "out.example.net", stdin=STDIN_PASSWORD + "\n")

    # Server folders hang under their account; "Spam" gets a folder of its own inside it.
    ph.run(*s, "folders", "add", "Archive")
    ph.run(*s, "folders", "add", "2024", "--parent", "/Archive")
    ph.run(*s, "folders", "add", "Q1", "--parent", "/Archive/2024")
    ph.run(*s, "folders", "add", "Receipts")
    ph.run(*s, "folders", "add", "Spam", "--account", "ann@example.com", "--type", "2")
    ph.run(*s, "folders", "add", "Old spam", "--parent", "ann@example.com/Spam")
    ph.run(*s, "folders", "add", "Drafts", "--account", "cleo@example.net")

    ph.run(*s, "addressbook", "add", "--name", "Dörte Weiß", "--email", "doerte@example.com")
    ph.run(*s, "addressbook", "add", "--name", "Emil", "--email", "emil@example.com")
    ph.run(*s, "addressbook", "add", "--name", "Fay", "--email", "fay@example.com")
    ph.run(*s, "groups", "add", "Friends")
    ph.run(*s, "groups", "add", "Close friends", "--parent", "Friends")
    ph.run(*s, "groups", "add", "Work")
    ph.run(*s, "groups", "member", "add", "Friends", "doerte@example.com")
    ph.run(*s, "groups", "member", "add", "Friends", "emil@example.com")
    ph.run(*s, "groups", "member", "add", "Close friends", "EMIL@example.com")
    ph.run(*s, "groups", "member", "add", "Work", "fay@example.com")
    ph.run(*s, "groups", "member", "add", "Work", "doerte@example.com")

    ph.run(*s, "prefs", "set", "AutoCheck", "on")
    ph.run(*s, "prefs", "set", "AutoCheckInterval", "15")
    ph.run(*s, "prefs", "set", "ShowReallyDelAcct", "off")
    ph.run(*s, "prefs", "set", "dwTimeout", "7000")
    ph.run(*s, "prefs", "set", "DbPswd", "--value-env", "STORE_PW", env={"STORE_PW": STORE_PASSWORD})


def by_address(ph, store):
    return {a["address"]: a for a in ph.json("--store", store, "accounts", "list", "--json")["accounts"]}


def check_accounts(ph, store, with_default=True):
    accounts = by_address(ph, store)
    check(sorted(accounts) == ["ann@example.com", "bert@example.org", "cleo@example.net"],
          f"accounts: {sorted(accounts)}")
    ann, bert, cleo = accounts["ann@example.com"], accounts["bert@example.org"], accounts["cleo@example.net"]
    if with_default:
        check([a["address"] for a in accounts.values() if a["default"]] == ["ann@example.com"], "one default: ann")
        check(ann["typeName"] == "example.com (default)", f"ann's type name: {ann['typeName']}")
    check((ann["pop3Server"], ann["pop3Port"], ann["smtpPort"], ann["ssl"]) == ("mail.example.com", 995, 465, True),
          f"ann's servers: {ann}")
    check(ann["smtpServers"] == ["smtp1.example.com", "smtp2.example.com", "smtp3.example.com"], f"ann: {ann}")
    check(bert["type"] == 4 and bert["kind"] == "gmail" and bert["shownAddress"] == "bert@gmail.com",
          f"bert's type: {bert}")
    check(bert["forceDisabled"] and not bert["allowCheckmail"], f"bert is disabled: {bert}")
    check(not cleo["forceDisabled"] and cleo["allowCheckmail"], f"cleo is enabled: {cleo}")
    check(ann["passwordSet"] and cleo["passwordSet"] and not bert["passwordSet"], "passwords set as given")


def check_trees(ph, store):
    listed = ph.json("--store", store, "folders", "list", "--json")

    def paths(nodes):
        for n in nodes:
            yield n["path"]
            yield from paths(n["children"])

    check(sorted(paths(listed["folders"])) == ["/Archive", "/Archive/2024", "/Archive/2024/Q1", "/Receipts"],
          f"own folders: {sorted(paths(listed['folders']))}")
    server = {a["address"]: sorted(paths(a["folders"])) for a in listed["accounts"]}
    check(server == {"ann@example.com": ["ann@example.com/Spam", "ann@example.com/Spam/Old spam"],
                     "bert@gmail.com": [], "cleo@example.net": ["cleo@example.net/Drafts"]},
          f"server folders: {server}")
    check(listed["unattached"] == [], "every folder hangs in a tree")

    groups = ph.json("--store", store, "groups", "list", "--json")["groups"]
    members = {}

    def walk(nodes, prefix):
        for g in nodes:
            members[prefix + g["name"]] = sorted(m["email"] for m in g["members"])
            walk(g["children"], prefix + g["name"] + "/")

    walk(groups, "")
    check(members == {"Friends": ["doerte@example.com", "emil@example.com"],
                      "Friends/Close friends": ["emil@example.com"],
                      "Work": ["doerte@example.com", "fay@example.com"]}, f"groups: {members}")


def case_fill(ph):
    fill(ph, "A")
    check_accounts(ph, "A")
    check_trees(ph, "A")

    # A name typed in UTF-8 is stored in the 8-bit code page and read back unchanged: the raw
    # dump shows it the same way only when the stored bytes are ISO 8859-1.
    names = {e["email"]: e["name"] for e in ph.json("--store", "A", "addressbook", "list", "--json")["entries"]}
    check(names["doerte@example.com"] == "Dörte Weiß", f"name read back: {names}")
    stored = [r["fields"]["Name"] for r in ph.dump("A")["AddressBook"]]
    check("Dörte Weiß" in stored, f"stored names: {stored}")
    ph.run("--store", "A", "addressbook", "add", "--name", "Snow ☃", "--email", "snow@example.com", rc="nonzero")

    # The default moves: the old default's record loses its mark.
    ph.run("--store", "A", "accounts", "set", "cleo@example.net", "--default")
    defaults = [a for a, v in by_address(ph, "A").items() if v["default"]]
    check(defaults == ["cleo@example.net"], f"defaults after the move: {defaults}")
    marked = [r["fields"]["EmailName"] for r in ph.dump("A")["Accounts"] if int(r["fields"]["AccountType"]) >= 1000]
    check(marked == ["cleo@example.net"], f"default marks in the store: {marked}")
    ph.run("--store", "A", "accounts", "set", "bert@gmail.com", "--enabled")
    check(by_address(ph, "A")["bert@example.org"]["allowCheckmail"], "bert enabled again by his shown address")

    # Removing takes what hangs below along.
    ph.run("--store", "A", "accounts", "add", "--address", "gone@example.com", "--user", "gone")
    ph.run("--store", "A", "folders", "add", "Inbox", "--account", "gone@example.com")
    ph.run("--store", "A", "folders", "add", "Trash")
    ph.run("--store", "A", "folders", "add", "Older", "--parent", "/Trash")
    ph.run("--store", "A", "addressbook", "add", "--name", "Gone", "--email", "gone@example.com")
    ph.run("--store", "A", "groups", "member", "add", "Work", "gone@example.com")
    ph.run("--store", "A", "accounts", "remove", "gone@example.com")
    ph.run("--store", "A", "folders", "remove", "/Trash")
    ph.run("--store", "A", "addressbook", "remove", "gone@example.com")
    ph.run("--store", "A", "groups", "member", "remove", "Work", "fay@example.com")
    ph.run("--store", "A", "groups", "member", "remove", "Work", "fay@example.com", rc="nonzero")
    ph.run("--store", "A", "groups", "member", "add", "Work", "fay@example.com")
    ph.run("--store", "A", "accounts", "set", "ann@example.com", "--default")
    ph.run("--store", "A", "accounts", "set", "bert@example.org", "--disabled")
    check_accounts(ph, "A")
    check_trees(ph, "A")
    dump = ph.dump("A")
    check(len(dump["Folders"]) == 7 and len(dump["AddressBook"]) == 3 and len(dump["GroupContents"]) == 5,
          "removed records are gone from the store")

    check_preferences(ph, "A")


def check_preferences(ph, store):
    s = ["--store", store]
    prefs = ph.json(*s, "prefs", "get", "--json")
    check(prefs["DbPswd"] == "<set>", f"the store password shows as set: {prefs['DbPswd']}")
    out, _ = ph.run(*s, "prefs", "get", "dbpswd")
    check(out.strip() == "DbPswd = <set>", f"one preference by name: {out!r}")
    ph.run(*s, "prefs", "set", "DbPswd", "on-the-command-line", rc="nonzero")
    _, err = ph.run(*s, "prefs", "set", "NoSuchThing", "1", rc="nonzero")
    check("AutoCheck" in err and "dwTimeout2" in err, f"an unknown name lists the known ones: {err}")
    ph.run(*s, "prefs", "set", "dwTimeout", "12x", rc="nonzero")
    ph.run(*s, "prefs", "set", "AutoCheck", "maybe", rc="nonzero")

    # Each name set through phctl must land in the stored field of that name: a different,
    # recognisable value per preference, compared with the raw record afterwards.
    expected = {}
    for i, (name, value) in enumerate(prefs.items()):
        if name == "DbPswd":
            continue
        if isinstance(value, bool):
            word = ("off", "false", "0")[i % 3] if value else ("on", "true", "1")[i % 3]
            ph.run(*s, "prefs", "set", name, word)
            expected[name] = "F" if value else "T"
        else:
            ph.run(*s, "prefs", "set", name, str(100 + i))
            expected[name] = str(100 + i)
    record = ph.dump(store)["Preferences"]
    check(len(record) == 1, "one preferences record")
    for name, value in expected.items():
        check(record[0]["fields"].get(name) == value,
              f"{name} set to {value} is stored as {record[0]['fields'].get(name)}")
    after = ph.json(*s, "prefs", "get", "--json")
    check(set(after) == set(prefs) and set(record[0]["fields"]) == set(prefs),
          "get shows exactly the stored preferences")

    # Starting with the system follows PutInStartup.
    entry = os.path.join(ph.env["XDG_CONFIG_HOME"], "autostart", "postharbour.desktop")
    ph.run(*s, "prefs", "set", "PutInStartup", "on")
    check(os.path.exists(entry), "PutInStartup on writes the autostart entry")
    ph.run(*s, "prefs", "set", "PutInStartup", "off")
    check(not os.path.exists(entry), "PutInStartup off removes the autostart entry")


# ---------------------------------------------------------------------------------------
# Comparing stores by content

# Fields that hold the id of another record: (table, field) -> how to find the target.
def reference_target(table, field, value, fields):
    n = int(value) if value.lstrip("-").isdigit() else 0
    if n == 0:
        return None
    if field == "ParentID" and table == "Folders":
        return ("Folders", n) if n > 0 else ("Accounts", -n)
    if field == "ParentID" and table == "Groups":
        return ("Groups", n)
    if field == "AcctID" and table == "GroupContents":
        return ("AddressBook", n)
    if field == "GroupID":
        return ("Groups", n)
    if field == "AcctID":
        return ("Accounts", n)
    if field == "FolderID" or field in ("ActionMoveFolderid", "ActionCopyFolderid"):
        return ("Folders", n)
    if field == "MsgID" and table == "FolderContents":
        return ("Emails", n) if fields.get("IsInboxMsg") == "T" else ("SentItems", n)
    return None


def without_default_mark(tables):
    """The store with the default account's mark taken out of its type: an import leaves the
    open store's choice of default alone, so an imported account never brings its mark along."""
    copy = json.loads(json.dumps(tables))
    for record in copy["Accounts"]:
        kind = int(record["fields"]["AccountType"])
        record["fields"]["AccountType"] = str(kind - 1000 if kind >= 1000 else kind)
    return copy


def normalised_store(tables):
    """Each table as a sorted list of its records' contents, every reference replaced by the
    content of the record it points at, so that two stores with different ids compare equal."""
    by_id = {name: {int(r["id"]): r for r in records} for name, records in tables.items()}
    memo = {}

    def content(table, record_id, depth=0):
        key = (table, record_id)
        if key in memo:
            return memo[key]
        record = by_id.get(table, {}).get(record_id)
        if record is None or depth > 32:
            return f"<missing {table}>"
        out = {}
        for field, value in record["fields"].items():
            target = reference_target(table, field, value, record["fields"])
            out[field] = content(*target, depth + 1) if target else value
        if record.get("streams"):
            out["streams"] = record["streams"]
        memo[key] = out
        return out

    return {name: sorted(json.dumps(content(name, i), sort_keys=True) for i in ids)
            for name, ids in by_id.items()}


def check_same_records(left, right, tables, what):
    for table in tables:
        a, b = collections.Counter(left[table]), collections.Counter(right[table])
        missing = list((a - b).elements())
        extra = list((b - a).elements())
        check(not missing and not extra,
              f"{what}, table {table}:\n  only in the first: {missing}\n  only in the second: {extra}")


def case_round_trip(ph):
    fill(ph, "A")
    before = ph.dump("A")
    out, _ = ph.run("--store", "A", "export", "B")
    check(os.path.exists(ph.path("B")), f"export wrote B: {out}")
    check(ph.dump("A") == before, "exporting does not change the open store")

    ph.run("--store", "C", "store", "create")
    ph.run("--store", "C", "import", "B", "--accounts", "--email", "--folders", "--folder-contents",
           "--addressbook", "--groups", "--group-entries", "--rules")
    ph.run("--store", "C", "compact")

    dump_a = ph.dump("A")
    a, b = normalised_store(dump_a), normalised_store(ph.dump("B"))
    for table in ("Accounts", "Folders", "AddressBook", "Groups", "GroupContents"):
        check(a[table], f"the filled store has {table} records to compare")
    # The export is a copy of every table.
    check_same_records(a, b, a.keys(), "A exported to B")
    # The import brings every kind it was asked for: every table but the preferences (there is
    # no choice for them) and the outbox and canned inserts (never imported).
    imported = [t for t in a if t not in ("Preferences", "Outbox", "EZinserts")]
    a_unmarked = normalised_store(without_default_mark(dump_a))
    c = normalised_store(without_default_mark(ph.dump("C")))
    check_same_records(a_unmarked, c, imported, "B imported into C and compacted")
    check_accounts(ph, "C", with_default=False)
    check_trees(ph, "C")

    # Choices on the command line hold for that import only: without them the profile's are
    # used (the defaults here: accounts, messages and address book, but no folders, groups or
    # rules), and with stdin not a terminal nothing is asked.
    ph.run("--store", "D", "store", "create")
    ph.run("--store", "D", "import", "B", stdin="")
    d = normalised_store(without_default_mark(ph.dump("D")))
    by_default = ("Accounts", "Emails", "AddressBook", "SentItems")
    check_same_records(c, d, by_default, "B imported into D with the stored choices")
    for table in ("Folders", "Groups", "GroupContents", "Rules"):
        check(not d[table], f"{table} stay out of an import that did not choose them")


def case_refusals(ph):
    fill(ph, "A")
    before = ph.dump("A")
    for spelling in ("A", "./A", ph.path("A")):
        _, err = ph.run("--store", "A", "export", spelling, rc="nonzero")
        check("Cannot export to current open file" in err, f"export to {spelling}: {err}")
        _, err = ph.run("--store", "A", "import", spelling, "--accounts", rc="nonzero")
        check("Cannot import from current open file" in err, f"import from {spelling}: {err}")
    check(ph.dump("A") == before, "a refused export or import changes nothing")


def case_usage(ph):
    ph.run("--store", "A", "store", "create")
    before = ph.dump("A")
    wrong = [
        [],
        ["accounts"],
        ["accounts", "frobnicate"],
        ["--store", "A", "accounts", "add", "--address", "x@example.com"],
        # A password on the command line is not an option at all.
        ["--store", "A", "accounts", "add", "--address", "x@example.com", "--user", "x",
         "--password", "not-taken"],
        ["--store", "A", "accounts", "add", "--address", "x@example.com", "--user", "x", "--pop3-port", "70000"],
        ["--store", "A", "folders", "add", "X", "--parent", "1", "--account", "1"],
        ["--store", "A", "groups", "member", "add", "OnlyOne"],
        ["--store", "A", "prefs", "set"],
        ["--store", "A", "import"],
    ]
    for args in wrong:
        out, err = ph.run(*args, rc="nonzero")
        check("Usage:" in err, f"phctl {' '.join(args)} shows usage on stderr: {err!r}")
        check(out == "", f"phctl {' '.join(args)} prints nothing on stdout: {out!r}")
    check(ph.dump("A") == before, "wrong command lines change nothing")

    # Mistakes the parser cannot see are reported without usage, still non-zero. The first
    # opening gives the new store its preferences record; that is not a change to look for.
    ph.run("--store", "A", "accounts", "list")
    before = ph.dump("A")
    for args in (["--store", "A", "accounts", "remove", "nobody@example.com"],
                 ["--store", "A", "accounts", "add", "--address", "y@example.com", "--user", "y",
                  "--type", "carrier-pigeon"],
                 ["--store", "A", "accounts", "add", "--address", "y@example.com", "--user", "y",
                  "--password-env", "UNSET_VARIABLE_FOR_PHCTL_TEST"],
                 ["--store", "A", "folders", "remove", "/No/Such"]):
        _, err = ph.run(*args, rc="nonzero")
        check(err.startswith("phctl: "), f"phctl {' '.join(args)} says why: {err!r}")
    check(ph.dump("A") == before, "failed commands change nothing")


CASES = {"fill": case_fill, "round-trip": case_round_trip, "refusals": case_refusals, "usage": case_usage}


if __name__ == "__main__":
    sys.exit(run_cases(CASES, make=CliPhctl, after=CliPhctl.check_no_secret_shown))
