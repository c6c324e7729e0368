#!/usr/bin/python3
"""phctl rules and phctl search end to end, with HOME and the XDG directories private to each case.

  manage    simple and advanced rules added, listed, shown and removed by name, index and #id
  refusals  bad command lines fail with "phctl: ..." and leave rules and folders as they were
  apply     rules applied to imported messages file them into their folders
  search    search, search save with remembered and given criteria, and with --rule

Rules and searches act only on messages that are on their server; which imported messages are
is read from the store, so the expected folder contents follow from it.
"""
import hashlib
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from phctl_support import Phctl, check, run_cases  # noqa: E402


def eml(sender, subject, hour):
    return ("\r\n".join([f"From: {sender}", "To: ann@example.com", f"Subject: {subject}",
                         f"Date: Fri, 04 Mar 2005 {hour:02d}:00:00 +0000", "", "Hello.", ""])).encode("latin-1")


MESSAGES = {"eve.eml": eml("eve@example.org", "x marks the spot", 9),
            "bob.eml": eml("bob@example.org", "Lunch", 10),
            "cleo.eml": eml("cleo@example.net", "Tea or lunch", 11)}


class RulesPhctl(Phctl):
    def __init__(self, program, work):
        super().__init__(program, work, store=os.path.join(work, "test.stg"))

    def rules(self):
        return self.json("rules", "list", "--json")["rules"]

    def folders(self):
        """Folder path -> (id, message count), over the document's own tree."""
        found = {}

        def walk(nodes):
            for f in nodes:
                found[f["path"]] = (f["id"], f["messages"])
                walk(f["children"])
        walk(self.json("folders", "list", "--json")["folders"])
        return found


def setup(ph, with_messages=False):
    ph.run("store", "create")
    ph.run("accounts", "add", "--address", "ann@example.com", "--user", "ann", "--pop3", "mail.example.com",
           "--smtp", "smtp.example.com")
    for name in ("Archive", "Lunches", "Talks"):
        ph.run("folders", "add", name)
    if not with_messages:
        return {}
    files = []
    for name, data in MESSAGES.items():
        files.append(os.path.join(ph.work, name))
        with open(files[-1], "wb") as f:
            f.write(data)
    ph.run("message", "import", "--account", "ann@example.com", *files)
    # The messages a rule or search can reach, by file name, as the store says.
    tables = ph.json("store", "dump", "--json")["tables"]
    on_server = {r["fields"]["MsgUniqueID"] for t in tables if t["name"] == "Emails" for r in t["records"]
                 if r["fields"]["IsOnServer"] == "T"}
    return {name for name, data in MESSAGES.items() if "file-" + hashlib.md5(data).hexdigest() in on_server}


def subject(name):
    return next(line for line in MESSAGES[name].decode("latin-1").split("\r\n") if line.startswith("Subject: "))[9:]


def expected(reachable, words):
    return {name for name in reachable if any(w in subject(name) for w in words)}


ADVANCED = '@subject CONTAINS "x y" AND (@from CONTAINS "a" OR @size GREATERTHAN "100")'
ADVANCED_TOKENS = ["@subject", "CONTAINS", '"x y"', "AND", "(", "@from", "CONTAINS", '"a"', "OR", "@size",
                   "GREATERTHAN", '"100"', ")"]


def case_manage(ph):
    setup(ph)
    ph.run("rules", "add", "--name", "Simple", "--from", "eve", "--from", "[Friends]", "--subject", "Lunch",
           "--mode", "and", "--not", "--account", "ann@example.com", "--size", "50", "--attachment",
           "--move-to", "/Archive", "--mark-read", "--forward", "bob@example.org", "--highlight", "red")
    ph.run("rules", "add", "--name", "Advanced", "--expr", ADVANCED, "--copy-to", "Lunches", "--stop")
    ph.run("rules", "add", "--name", "Everything", "--all", "--delete")

    simple, advanced, everything = rules = ph.rules()
    check([(r["index"], r["name"], r["kind"]) for r in rules] ==
          [(1, "Simple", "simple"), (2, "Advanced", "advanced"), (3, "Everything", "simple")], f"rules: {rules}")
    folders = ph.folders()
    c = simple["conditions"]
    check(c["from"] == {"words": ["eve", "[Friends]"], "mode": 0, "negate": 1}, f"from list: {c['from']}")
    check(c["subject"] == {"words": ["Lunch"], "mode": 0, "negate": 1}, f"subject list: {c['subject']}")
    check(c["body"]["words"] == [] and c["account"] == "ann@example.com" and c["size"] == "50"
          and c["attachment"] != "" and c["all"] == "", f"single conditions: {c}")
    a = simple["actions"]
    check((a["moveFolderId"], a["moveFolderName"]) == (folders["/Archive"][0], "Archive"), f"move: {a}")
    check(a["copyFolderName"] == "" and a["markRead"] != "" and a["delete"] == ""
          and a["forward"] == "bob@example.org" and a["highlight"] == "red", f"actions: {a}")
    # Quoted literals keep their quotes: the rule language knows a literal by them.
    check(advanced["tokens"] == ADVANCED_TOKENS, f"tokens: {advanced['tokens']}")
    check("conditions" not in advanced and advanced["actions"]["stop"] != "", f"advanced: {advanced}")
    check((advanced["actions"]["copyFolderId"], advanced["actions"]["copyFolderName"]) ==
          (folders["/Lunches"][0], "Lunches"), f"copy: {advanced['actions']}")
    check(everything["conditions"]["all"] != "" and everything["actions"]["delete"] != "", f"all: {everything}")
    check(advanced["description"] == " ".join(ADVANCED_TOKENS) + " -> Copy it to the Lunches folder, "
          "Stop processing more rules", f"description: {advanced['description']}")

    out, _ = ph.run("rules", "list")
    lines = out.splitlines()
    check(len(lines) == 3 and lines[1].split()[:4] == ["2", f"#{advanced['id']}", "advanced", "Advanced"],
          f"list:\n{out}")
    # One rule, three ways of naming it.
    for key in ("Advanced", "2", f"#{advanced['id']}"):
        out, _ = ph.run("rules", "show", key)
        check('WHERE @subject CONTAINS "x y"\n      AND ( @from CONTAINS "a"\n      OR @size GREATERTHAN "100" )\n'
              "Copy it to the Lunches folder\n    and Stop processing more rules\n" in out, f"show {key}:\n{out}")
    shown = ph.json("rules", "show", "1", "--json")
    check(shown["summary"][1:3] == ["Where the From line does not contain 'eve' and '[Friends]'",
                                    "     or Where the Subject line does not contain 'Lunch'"],
          f"summary: {shown['summary']}")

    ph.run("rules", "remove", "2")
    check([r["name"] for r in ph.rules()] == ["Simple", "Everything"], "remove by index")
    ph.run("rules", "remove", f"#{everything['id']}")
    ph.run("rules", "remove", "Simple")
    check(ph.rules() == [], "remove by #id and name")


REFUSALS = [
    (["rules", "add", "--name", "R", "--from", "a", "--copy-to", "Nowhere"], "Nowhere"),
    (["rules", "add", "--name", "R", "--from", "a", "--move-to", "999"], "999"),
    (["rules", "add", "--name", "R", "--expr", '(@subject CONTAINS "a"'], "("),
    (["rules", "add", "--name", "R", "--expr", '@subject CONTAINS "a")'], ")"),
    (["rules", "add", "--name", "R", "--expr", '@subject CONTAINS "a'], "quote"),
    (["rules", "add", "--name", "R", "--expr", "   "], "empty"),
    (["rules", "add", "--name", "R", "--expr", ""], "--expr"),
    (["rules", "add", "--name", "R", "--delete"], "condition"),
    (["rules", "add", "--name", "R", "--not", "--size", "5"], "--not"),
    (["rules", "add", "--name", "R", "--from", ""], "empty word"),
    (["rules", "add", "--name", "R", "--size", "big"], "--size"),
    (["rules", "add", "--name", "R", "--account", "nobody@example.com"], "nobody@example.com"),
    (["rules", "add", "--name", "R", "--from", "a", "--expr", '@subject CONTAINS "a"'], "--expr"),
    (["rules", "add", "--name", "R", "--from", "a", "--mode", "xor"], "--mode"),
    (["rules", "add", "--name", "Kept", "--from", "a"], "Kept"),
    (["rules", "add", "--name", "7", "--from", "a"], "7"),
    (["rules", "add", "--from", "a"], "--name"),
    (["rules", "show", "Missing"], "Missing"),
    (["rules", "show", "2"], "2"),
    (["rules", "remove", "#999"], "#999"),
    (["rules", "apply", "Missing"], "Missing"),
    (["rules", "apply"], "--all"),
    (["rules", "frobnicate"], "subcommand"),
    (["rules", "conversation", "--name", "C", "--between", 'a"b', "--and", "c", "--folder", "Talks"], "quote"),
    (["rules", "conversation", "--name", "C", "--between", "a", "--and", "c", "--folder", "Nowhere"], "Nowhere"),
    (["search"], "search for"),
    (["search", "--size", "-3"], "--size"),
    (["search", "save", "Found"], "no search"),
    (["search", "--subject", "x", "save", "Found"], "after `save`"),
]


def case_refusals(ph):
    setup(ph)
    ph.run("rules", "add", "--name", "Kept", "--subject", "keep", "--copy-to", "Archive")
    before = (ph.rules(), ph.folders())
    for args, hint in REFUSALS:
        _, err = ph.run(*args, rc="nonzero")
        check(hint in err, f"phctl {' '.join(args)}: the error does not mention {hint!r}:\n{err}")
    check((ph.rules(), ph.folders()) == before, "a refused command changed the rules or the folders")


def case_apply(ph):
    reachable = setup(ph, with_messages=True)
    ph.run("rules", "add", "--name", "Marks", "--subject", "x", "--copy-to", "Archive")
    ph.run("rules", "add", "--name", "Meals", "--expr", '(@subject CONTAINS "Lunch" OR @subject CONTAINS "Tea")',
           "--move-to", "Lunches")
    ph.run("rules", "conversation", "--name", "Eve", "--between", "eve@example.org", "--and", "ann@example.com",
           "--folder", "Talks")
    eve = ph.rules()[2]
    check(eve["tokens"][:3] == ["@from", "EQUALS", '"eve@example.org"'] and
          eve["actions"]["copyFolderId"] == ph.folders()["/Talks"][0], f"conversation rule: {eve}")

    # Only the chosen rule acts.
    out, err = ph.run("rules", "apply", "Meals")
    check(out.startswith("applied rule #") and "Rules Applied" in err, f"apply output:\n{out}{err}")
    folders = ph.folders()
    check(folders["/Archive"][1] == 0, "a rule that was not chosen was applied")
    check(folders["/Lunches"][1] == len(expected(reachable, ["Lunch", "Tea"])), f"after Meals: {folders}")

    ph.run("rules", "apply", "--all")
    folders = ph.folders()
    check(folders["/Archive"][1] == len(expected(reachable, ["x"])), f"after --all: {folders}")
    # Filing twice into the same folder is not a second filing.
    check(folders["/Lunches"][1] == len(expected(reachable, ["Lunch", "Tea"])), f"after --all: {folders}")


def found(ph, *criteria):
    got = ph.json("search", *criteria, "--json")
    check(got["count"] == len(got["results"]), f"count: {got}")
    return {r["uniqueId"] for r in got["results"]}


def unique_ids(names):
    return {"file-" + hashlib.md5(MESSAGES[n]).hexdigest() for n in names}


def case_search(ph):
    reachable = setup(ph, with_messages=True)
    check(found(ph, "--subject", "Lunch", "--subject", "Tea") == unique_ids(expected(reachable, ["Lunch", "Tea"])),
          "search by subject")
    out, _ = ph.run("search", "--subject", "x")
    marks = expected(reachable, ["x"])
    check(out.splitlines()[0] == f"Search Results ({len(marks)})", f"search output:\n{out}")

    # The last search is run again by the next phctl.
    out, _ = ph.run("search", "save", "Marked")
    folders = ph.folders()
    check(out == f"saved {len(marks)} message{'' if len(marks) == 1 else 's'} into folder "
          f"{folders['/Marked'][0]} /Marked\n", f"save output: {out!r}")
    check(folders["/Marked"][1] == len(marks), f"saved: {folders}")
    check(ph.rules() == [], "search save without --rule added a rule")

    # Criteria after `save` replace the remembered ones.
    ph.run("search", "save", "Meals", "--subject", "Lunch", "--subject", "Tea")
    check(ph.folders()["/Meals"][1] == len(expected(reachable, ["Lunch", "Tea"])), "save with criteria")

    ph.run("search", "--from", "bob", "--mode", "and")
    out, _ = ph.run("search", "save", "Bob", "--rule", "From Bob")
    rules = ph.rules()
    bob_folder = ph.folders()["/Bob"][0]
    check(len(rules) == 1 and rules[0]["name"] == "From Bob", f"rules: {rules}")
    check(f"added rule #{rules[0]['id']} From Bob: " in out, f"save --rule output:\n{out}")
    check(rules[0]["conditions"]["from"] == {"words": ["bob"], "mode": 0, "negate": 0},
          f"the rule has other conditions than the search: {rules[0]['conditions']}")
    check((rules[0]["actions"]["copyFolderId"], rules[0]["actions"]["copyFolderName"]) == (bob_folder, "Bob"),
          f"the rule copies elsewhere: {rules[0]['actions']}")
    # The search became the rule; there is nothing left to save again.
    ph.run("search", "save", "Again", rc="nonzero")
    ph.run("search", "save", "Again", "--rule", "From Bob", "--from", "x", rc="nonzero")
    check("/Again" not in ph.folders(), "a refused save left a folder")


CASES = {"manage": case_manage, "refusals": case_refusals, "apply": case_apply, "search": case_search}


if __name__ == "__main__":
    sys.exit(run_cases(CASES, make=RulesPhctl))
