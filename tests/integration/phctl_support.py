"""What the phctl integration tests share: phctl run in a private home, and the case runner."""
import argparse
import json
import os
import shutil
import subprocess
import sys


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Phctl:
    """Runs phctl with HOME and the XDG folders private to one case, keeping what it printed."""

    def __init__(self, program, work, store=None):
        self.program = program
        self.work = work
        self.store = store
        home = os.path.join(work, "home")
        os.makedirs(home)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith(("XDG_", "POSTHARBOUR_"))}
        self.env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                        XDG_DATA_HOME=os.path.join(home, "data"), LC_ALL="C.UTF-8")
        self.outputs = []

    def path(self, *names):
        return os.path.join(self.work, *names)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def run(self, *args, stdin=None, env=None, rc=0):
        """rc is the exit status wanted, or "nonzero" for a refusal, which must say why."""
        command = [self.program] + (["--store", self.store] if self.store else []) + list(args)
        done = subprocess.run(command, input=(stdin or "").encode(), env=dict(self.env, **(env or {})),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120, cwd=self.work)
        out, err = done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")
        self.outputs.append((args, out, err))
        shown = "phctl " + " ".join(args)
        if rc == "nonzero":
            check(done.returncode != 0, f"{shown} should have failed\nstdout:\n{out}\nstderr:\n{err}")
            check(any(line.startswith("phctl: ") for line in err.splitlines()),
                  f"{shown}: no clear error on stderr:\n{err}")
        else:
            check(done.returncode == rc,
                  f"{shown} exited {done.returncode}, expected {rc}\nstdout:\n{out}\nstderr:\n{err}")
        return out, err

    def json(self, *args):
        return json.loads(self.run(*args)[0])


def run_cases(cases, make=Phctl, after=None):
    """The command line of every case script: --phctl, --work and the case to run."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--phctl", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("case", choices=sorted(cases))
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    ph = make(os.path.abspath(args.phctl), os.path.abspath(args.work))
    try:
        cases[args.case](ph)
        if after:
            after(ph)
    except Failure as e:
        print(f"FAIL: {e}", file=sys.stderr)
        return 1
    print(f"{args.case}: ok")
    return 0
