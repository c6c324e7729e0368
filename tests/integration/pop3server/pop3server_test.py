#!/usr/bin/python3
"""The private POP3 server that tools/run-tests starts is there and serves what the suite needs.

Reads POP3_HOST, POP3_PORT, POP3S_PORT, TEST_CA and POP3_MAILDIR_ROOT from the environment (from
BUILD_DIR/servers/dovecot/ports.env), fills alice's maildir with three messages through
tools/fill-maildir, and checks over plain POP3, over STLS and over POP3S (verified against the
test CA): login, CAPA, STAT, LIST, UIDL, TOP, RETR, a wrong password, and DELE with RSET and QUIT.
"""
import argparse
import os
import poplib
import ssl
import subprocess
import sys

NEEDED = ("POP3_HOST", "POP3_PORT", "POP3S_PORT", "TEST_CA", "POP3_MAILDIR_ROOT")
USER, PASSWORD = "alice", "alice-secret"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def environment(build):
    missing = [name for name in NEEDED if not os.environ.get(name)]
    if missing:
        raise Failure(
            f"{', '.join(missing)} not set: the test POP3 server is not running for this suite. "
            f"Run the suite with tools/run-tests {build}, or start tools/dovecot-start {build} "
            f"and export the variables of {build}/servers/dovecot/ports.env")
    env = {name: os.environ[name] for name in NEEDED}
    ours = os.path.realpath(os.path.join(build, "servers", "dovecot", "mail"))
    check(os.path.realpath(env["POP3_MAILDIR_ROOT"]) == ours,
          f"the server in the environment serves {env['POP3_MAILDIR_ROOT']}, not this build "
          f"tree's {ours}")
    return env


def fill(fill_tool, build, count):
    result = subprocess.run([fill_tool, build, USER, str(count), "--clear", "--list"],
                            capture_output=True, text=True, timeout=120)
    check(result.returncode == 0, f"fill-maildir failed: {result.stderr}")
    names = result.stdout.split()
    check(len(names) == count, f"fill-maildir listed {len(names)} messages, not {count}")
    return names


def files_by_name(env):
    """Each message file's content, in CR LF lines, by its base name (its unique id)."""
    new = os.path.join(env["POP3_MAILDIR_ROOT"], USER, "new")
    cur = os.path.join(env["POP3_MAILDIR_ROOT"], USER, "cur")
    found = {}
    for folder in (new, cur):
        for name in os.listdir(folder):
            found[name.split(":")[0]] = open(os.path.join(folder, name), "rb").read()
    return found


def session_checks(client, names, contents, label):
    capabilities = client.capa()
    for needed in ("UIDL", "TOP", "USER", "PIPELINING"):
        check(needed in capabilities, f"{label}: CAPA lacks {needed}: {capabilities}")
    client.user(USER)
    client.pass_(PASSWORD)

    sizes = [len(contents[n]) + contents[n].count(b"\n") for n in names]
    count, total = client.stat()
    check((count, total) == (len(names), sum(sizes)),
          f"{label}: STAT gave {count} {total}, expected {len(names)} {sum(sizes)}")

    listed = [tuple(map(int, line.split())) for line in client.list()[1]]
    check(listed == list(enumerate(sizes, 1)), f"{label}: LIST gave {listed}")

    uidl = [line.decode().split() for line in client.uidl()[1]]
    check(uidl == [[str(i), n] for i, n in enumerate(names, 1)],
          f"{label}: UIDL gave {uidl}, expected the maildir base names {names}")
    single = client.uidl(2).decode().split()
    check(single[1:] == ["2", names[1]], f"{label}: UIDL 2 gave {single}")

    for number, name in enumerate(names, 1):
        expected = contents[name].split(b"\n")
        if expected[-1] == b"":
            expected.pop()
        header = expected[:expected.index(b"") + 1]

        response, lines, _ = client.top(number, 0)
        check(response.startswith(b"+OK"), f"{label}: TOP {number} 0 gave {response!r}")
        check(lines == header, f"{label}: TOP {number} 0 is not the header of {name}")

        response, lines, octets = client.retr(number)
        check(response.startswith(b"+OK"), f"{label}: RETR {number} gave {response!r}")
        check(lines == expected, f"{label}: RETR {number} differs from the file {name}")


def plain(env, names, contents):
    client = poplib.POP3(env["POP3_HOST"], int(env["POP3_PORT"]), timeout=30)
    try:
        check(client.getwelcome().startswith(b"+OK"), "plain: no +OK greeting")
        session_checks(client, names, contents, "plain")
        client.quit()
    finally:
        client.close()


def wrong_password(env):
    client = poplib.POP3(env["POP3_HOST"], int(env["POP3_PORT"]), timeout=30)
    try:
        client.user(USER)
        try:
            client.pass_("not-" + PASSWORD)
        except poplib.error_proto as e:
            check(str(e).startswith("b'-ERR"), f"wrong password: unexpected answer {e}")
        else:
            raise Failure("wrong password: the server let alice in")
    finally:
        client.close()


def tls_context(env):
    context = ssl.create_default_context(cafile=env["TEST_CA"])
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    return context


def implicit_tls(env, names, contents):
    client = poplib.POP3_SSL(env["POP3_HOST"], int(env["POP3S_PORT"]),
                             context=tls_context(env), timeout=30)
    try:
        peer = client.sock.getpeercert()
        check(peer, "POP3S: no verified peer certificate")
        session_checks(client, names, contents, "POP3S")
        client.quit()
    finally:
        client.close()
    # The certificate is the test CA's own: a client trusting only the system's CAs refuses it.
    try:
        poplib.POP3_SSL(env["POP3_HOST"], int(env["POP3S_PORT"]),
                        context=ssl.create_default_context(), timeout=30).close()
    except ssl.SSLCertVerificationError:
        pass
    else:
        raise Failure("POP3S: the certificate verified without the test CA")


def starttls(env, names, contents):
    client = poplib.POP3("localhost", int(env["POP3_PORT"]), timeout=30)
    try:
        client.stls(tls_context(env))
        session_checks(client, names, contents, "STLS")
        client.quit()
    finally:
        client.close()


def deletion(env, names):
    client = poplib.POP3(env["POP3_HOST"], int(env["POP3_PORT"]), timeout=30)
    client.user(USER)
    client.pass_(PASSWORD)
    client.dele(3)
    client.rset()
    client.quit()
    client = poplib.POP3(env["POP3_HOST"], int(env["POP3_PORT"]), timeout=30)
    client.user(USER)
    client.pass_(PASSWORD)
    check(client.stat()[0] == 3, "RSET did not undo DELE")
    client.dele(3)
    client.quit()
    client = poplib.POP3(env["POP3_HOST"], int(env["POP3_PORT"]), timeout=30)
    client.user(USER)
    client.pass_(PASSWORD)
    left = [line.decode().split()[1] for line in client.uidl()[1]]
    client.quit()
    check(left == names[:2], f"after DELE 3 and QUIT the ids are {left}, expected {names[:2]}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the build tree the server runs for")
    parser.add_argument("--fill", required=True, help="tools/fill-maildir")
    args = parser.parse_args()
    try:
        env = environment(args.build)
        names = fill(args.fill, args.build, 3)
        contents = files_by_name(env)
        check(sorted(contents) == sorted(names), "the maildir holds other messages than written")
        plain(env, names, contents)
        wrong_password(env)
        implicit_tls(env, names, contents)
        starttls(env, names, contents)
        deletion(env, names)
    except (Failure, OSError, poplib.error_proto, ssl.SSLError, subprocess.SubprocessError) as e:
        print(f"FAIL: {e}", file=sys.stderr)
        log = os.environ.get("DOVECOT_LOG")
        if log and os.path.exists(log):
            print("--- last lines of the server log:", file=sys.stderr)
            print("".join(open(log, errors="replace").readlines()[-20:]), file=sys.stderr)
        return 1
    print("pop3server: plain, STLS and POP3S sessions behave")
    return 0


if __name__ == "__main__":
    sys.exit(main())
