#!/usr/bin/python3
"""phctl pop3 probe against the suite's dovecot: what it lists, and how each failure is named."""
import argparse
import os
import subprocess
import sys


def env(name):
    value = os.environ.get(name)
    if not value:
        sys.exit(f"{name} is not set: run the suite with tools/run-tests")
    return value


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--phctl", required=True)
    parser.add_argument("--fill", required=True)
    parser.add_argument("--build", required=True)
    args = parser.parse_args()

    listed = subprocess.run([args.fill, args.build, "bob", "3", "--clear", "--list"],
                            check=True, capture_output=True, text=True).stdout.split()
    plain, tls, ca = env("POP3_PORT"), env("POP3S_PORT"), env("TEST_CA")
    # (name, arguments, password, exit code wanted, texts that must appear in stdout or stderr)
    cases = [
        ("plain listing", ["--server", "127.0.0.1", "--port", plain, "--headers", "2"], "bob-secret", 0,
         ["STAT 3 messages"] + listed + ["--- message 2", "Subject: "]),
        ("tls listing", ["--server", "localhost", "--port", tls, "--ssl", "--ca-file", ca], "bob-secret", 0,
         listed),
        ("untrusted server", ["--server", "localhost", "--port", tls, "--ssl"], "bob-secret", 1,
         ["TLS verification of localhost", "unable to get local issuer certificate"]),
        ("wrong password", ["--server", "127.0.0.1", "--port", plain], "wrong", 1,
         ["the server refused PASS"]),
        ("nobody listening", ["--server", "127.0.0.1", "--port", "1"], "x", 1,
         ["cannot connect to 127.0.0.1:1"]),
    ]
    failures = 0
    for name, extra, password, code, texts in cases:
        run = subprocess.run([args.phctl, "pop3", "probe", "--user", "bob"] + extra,
                             env=dict(os.environ, PHCTL_PASSWORD=password, SSL_CERT_FILE="/nonexistent"),
                             capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
        output = run.stdout + run.stderr
        missing = [t for t in texts if t not in output]
        if run.returncode != code or missing or password in run.stdout + run.stderr and len(password) > 2:
            failures += 1
            print(f"FAIL {name}: exit {run.returncode} (wanted {code}), missing {missing}\n{output}")
        else:
            print(f"ok   {name}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
