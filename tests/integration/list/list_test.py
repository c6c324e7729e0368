#!/usr/bin/python3
"""phctl list end to end, with HOME and the XDG directories private to each case.

  switches  which tree item is listed, the five view switches from the profile and from the
            command line (which never writes them back), the rows and the status line
  periods   every date period counted back from --now, and custom ranges; mail dated after
            2020-01-01 is outside every period but "All Dates" and a custom one around it
  refusals  bad command lines fail with "phctl: ..."

Imported messages are not on their server, not new in a fresh run, unread and not hidden; the
expected listings follow from the marks phctl list itself reports for each row.
"""
import datetime
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from phctl_support import Phctl, check, run_cases  # noqa: E402

STATUS = "Showing {} messages with {} new including {} read on server"
DATE_FORMAT = "%B %d, %Y %H:%M:%S"


def eml(subject, date):
    return ("\r\n".join(["From: eve@example.org", "To: ann@example.com", f"Subject: {subject}",
                         f"Date: {date}", "", "Hello.", ""])).encode("latin-1")


# Subject -> Date header; the dates lie around the period starts of the --now moments below.
ANN = {"first-of-february": "Sun, 01 Feb 2004 09:00:00",
       "leap-day": "Sun, 29 Feb 2004 12:00:00",
       "first-of-march": "Mon, 01 Mar 2004 08:00:00",
       "sunday": "Sun, 07 Mar 2004 10:00:00",
       "last-of-2019": "Tue, 31 Dec 2019 23:00:00",
       "after-2020": "Tue, 01 Jun 2021 12:00:00"}
BOB = {"bobs": "Sat, 06 Mar 2004 10:00:00"}


class ListPhctl(Phctl):
    def __init__(self, program, work):
        super().__init__(program, work, store=os.path.join(work, "test.stg"))
        self.profile = os.path.join(self.env["XDG_CONFIG_HOME"], "postharbour", "postharbour.ini")

    def listing(self, *args):
        return self.json("list", "--json", *args)

    def subjects(self, *args):
        return [r["subject"] for r in self.listing(*args)["rows"]]


def fill(ph):
    """The store of every case: two accounts with imported mail and an empty folder. Returns
    the store ids phctl gave the messages, by subject."""
    ph.run("store", "create")
    ids = {}
    for address, messages in (("ann@example.com", ANN), ("bob@example.org", BOB)):
        ph.run("accounts", "add", "--address", address, "--user", address.split("@")[0], "--pop3",
               "mail.example.com", "--smtp", "smtp.example.com")
        files = [ph.write(f"{subject}.eml", eml(subject, date)) for subject, date in messages.items()]
        out, _ = ph.run("message", "import", "--account", address, *files)
        for line in out.splitlines():
            m = re.match(r"stored .*/([^/]+)\.eml as message (\d+) ", line)
            if m:
                ids[m.group(1)] = m.group(2)
    check(set(ids) == set(ANN) | set(BOB), f"not every message was stored: {ids}")
    ph.run("folders", "add", "Kept")
    return ids


def status(rows):
    new = [r for r in rows if "N" in r["marks"]]
    return STATUS.format(len(rows), len(new), len([r for r in new if "R" in r["marks"]]))


def case_switches(ph):
    ids = fill(ph)
    everything = ph.listing()
    rows = everything["rows"]
    check([r["subject"] for r in rows] == list(ANN) + list(BOB), f"all active mail, in store order: {rows}")
    check([r["storeId"] for r in rows] == [ids[r["subject"]] for r in rows], f"store ids: {rows}")
    check(all(r["kind"] == "message" and r["from"] == "eve@example.org" and r["size"] > 0 for r in rows),
          f"row fields: {rows}")
    # Imported mail carries no mark: not on server, not new, unread, not hidden, not filed away.
    check(all(r["marks"] == "-----" for r in rows), f"marks: {rows}")
    check(everything["counts"] == {"listed": len(rows), "new": 0, "newRead": 0}, f"counts: {everything}")
    check(everything["status"] == status(rows), f"status: {everything['status']}")

    # The text form: one line per row, then the status line.
    out, _ = ph.run("list", "--account", "bob@example.org")
    lines = out.splitlines()
    check(len(lines) == 2 and lines[0].split("  ")[0] == ids["bobs"] and "  bobs  " in lines[0]
          and lines[1] == STATUS.format(1, 0, 0), f"text listing:\n{out}")

    bob = next(a["id"] for a in ph.json("accounts", "list", "--json")["accounts"] if a["address"] == "bob@example.org")
    items = [(["--account", "ann@example.com"], list(ANN)), (["--account", str(bob)], list(BOB)),
             (["--all"], list(ANN) + list(BOB)), (["--folder", "/Kept"], []), (["--hidden"], []),
             (["--hidden", "--account", "ann@example.com"], [])]
    for args, expected in items:
        got = ph.subjects(*args)
        check(got == expected, f"list {' '.join(args)}: {got}")

    # Each switch cleared for this run: what the marks of the rows say must go.
    rules = {"--show-not-on-server": lambda r: "S" in r["marks"], "--show-old": lambda r: "N" in r["marks"],
             "--show-read": lambda r: "R" not in r["marks"], "--show-unread": lambda r: "R" in r["marks"],
             "--show-hidden": lambda r: True}
    for option, kept in rules.items():
        got = ph.listing(option, "0")
        expected = [r["subject"] for r in rows if kept(r)]
        check([r["subject"] for r in got["rows"]] == expected, f"{option} 0: {got['rows']}")
        check(got["status"] == status(got["rows"]), f"{option} 0: {got['status']}")
    check(ph.subjects("--show-read", "0", "--show-unread", "0") == [], "both read switches cleared")

    # The profile's switches apply without options; options override them for one run only.
    os.makedirs(os.path.dirname(ph.profile), exist_ok=True)
    with open(ph.profile, "w") as f:
        f.write("[Settings]\nShowUnread=0\norder=2\n")
    with open(ph.profile, "rb") as f:
        before = f.read()
    check(ph.subjects() == [], "ShowUnread=0 in the profile")
    check(ph.subjects("--show-unread", "1") == list(ANN) + list(BOB), "--show-unread 1 over the profile")
    check(ph.subjects("--show-unread", "on", "--show-not-on-server", "off") == [], "on/off spellings")
    with open(ph.profile, "rb") as f:
        check(f.read() == before, "phctl list wrote the profile")

    # Search results come from the last search kept; a search finds only mail on its server.
    check(ph.listing("--search", "--show-unread", "1")["status"] == STATUS.format(0, 0, 0), "no search yet")
    ph.run("search", "--subject", "sunday")
    check(ph.subjects("--search", "--show-unread", "1") == [], "search results of mail not on its server")


def start_of(mode, now):
    """Where each period starts, computed here from the calendar."""
    today = now.replace(hour=0, minute=0, second=0)
    weekday = (today.weekday() + 1) % 7 + 1  # Sunday 1 .. Saturday 7
    first = today.replace(day=1)
    return {1: today - datetime.timedelta(days=31), 2: today - datetime.timedelta(days=7),
            3: now - datetime.timedelta(hours=24), 4: today - datetime.timedelta(days=weekday - 1),
            5: today - datetime.timedelta(days=weekday + 6), 6: first,
            7: (first - datetime.timedelta(days=1)).replace(day=1), 8: today - datetime.timedelta(days=60)}[mode]


def case_periods(ph):
    fill(ph)
    rows = ph.listing("--account", "ann@example.com")["rows"]
    dates = {r["subject"]: datetime.datetime.strptime(r["date"], DATE_FORMAT) for r in rows}
    check(len(dates) == len(ANN), f"dates: {rows}")
    end = datetime.datetime(2020, 1, 1)

    # A Sunday, the first of March in a leap year, a Saturday at the turn of the year.
    for now in (datetime.datetime(2004, 3, 7, 18, 0), datetime.datetime(2004, 3, 1, 12, 30),
                datetime.datetime(2005, 1, 1, 9, 0)):
        for mode in range(1, 9):
            start = start_of(mode, now)
            got = ph.listing("--account", "ann@example.com", "--period", str(mode), "--now", now.strftime(DATE_FORMAT))
            expected = [s for s in ANN if start <= dates[s] <= end]
            check([r["subject"] for r in got["rows"]] == expected,
                  f"period {mode} at {now}: {[r['subject'] for r in got['rows']]}, expected {expected}")
            check(got["period"]["start"] == start.strftime(DATE_FORMAT) and got["status"] == status(got["rows"]),
                  f"period {mode} at {now}: {got['period']} {got['status']}")
            check("after-2020" not in expected, "the test dates do not reach past 2020")

    check(ph.subjects("--account", "ann@example.com", "--period", "0", "--now", "2004-03-07") == list(ANN),
          "All Dates lists every date")
    customs = [(["--from", "2020-01-01", "--to", "2022-01-01"], ["after-2020"]),
               # A date alone is its midnight: mail later on the last day is outside.
               (["--from", "2004-02-29", "--to", "2004-03-01"], ["leap-day"]),
               (["--period", "9", "--from", "February 29, 2004 12:00:00", "--to", "2004-03-01"], ["leap-day"])]
    for args, expected in customs:
        got = ph.listing("--account", "ann@example.com", *args)
        check([r["subject"] for r in got["rows"]] == expected and got["period"]["mode"] == 9,
              f"list {' '.join(args)}: {got['rows']}")


REFUSALS = [
    (["--period", "10"], "--period"),
    (["--period", "9"], "--from"),
    (["--from", "2004-01-01"], "--to"),
    (["--period", "3", "--from", "2004-01-01", "--to", "2004-02-01"], "--period"),
    (["--from", "someday", "--to", "2004-02-01"], "someday"),
    (["--from", "2004-03-01", "--to", "2004-02-01"], "later"),
    (["--now", "2004-03-01"], "--period"),
    (["--period", "2", "--now", "never"], "never"),
    (["--show-read", "2"], "--show-read"),
    (["--account", "nobody@example.com"], "nobody@example.com"),
    (["--folder", "Nowhere"], "Nowhere"),
    (["--account", "ann@example.com", "--folder", "/Kept"], "--folder"),
    (["--all", "--hidden"], "--hidden"),
    (["--search", "--all"], "--all"),
]


def case_refusals(ph):
    fill(ph)
    for args, hint in REFUSALS:
        _, err = ph.run("list", *args, rc="nonzero")
        check(hint in err, f"phctl list {' '.join(args)}: the error does not mention {hint!r}:\n{err}")
    check(not os.path.exists(ph.profile), "a refused list wrote the profile")


CASES = {"switches": case_switches, "periods": case_periods, "refusals": case_refusals}

if __name__ == "__main__":
    sys.exit(run_cases(CASES, make=ListPhctl))
