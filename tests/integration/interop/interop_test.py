"""Interoperability of our compound-file engine with independent readers and writers.

    interop_test.py --tool CFB_INTEROP_TOOL --work DIR ours SEED BULK_KB [--expect-difat]
    interop_test.py --tool CFB_INTEROP_TOOL --work DIR gsf-writer SEED
    interop_test.py --tool CFB_INTEROP_TOOL --work DIR version4 SEED

ours:       a file our engine writes reads the same through olefile, gsf and our engine
            as what was written, and passes the structural check, sibling trees included.
gsf-writer: a file `gsf createole` makes from a directory tree reads through our engine as
            that tree; then our engine changes it and the outside readers agree again.
version4:   a version 4 file from make_v4_file.py reads through our engine as generated;
            then our engine changes it, keeps it at version 4, and olefile and gsf agree.

In every case our engine lists a file without changing it. Run with /usr/bin/python3
(Debian's python3-olefile lives there). Exits non-zero with the differences on the first
step that fails.
"""

import argparse
import difflib
import hashlib
import os
import random
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # keeps the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.setrecursionlimit(10000)

import cfb_readers  # noqa: E402  (after the path is set)
import make_v4_file  # noqa: E402

EMPTY_MD5 = hashlib.md5(b"").hexdigest()


class Failure(Exception):
    pass


def step(message):
    print("ok   " + message, flush=True)


def run_tool(tool, *args):
    done = subprocess.run([tool] + [str(a) for a in args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise Failure("%s %s failed (%d):\n%s" % (os.path.basename(tool), " ".join(map(str, args)),
                                                  done.returncode, done.stderr.decode("utf-8", "replace")))
    return done.stdout.decode("utf-8")


def expect_same(what, expected, actual):
    """Compares two canonical listings (text); on a difference shows the first lines of it."""
    if isinstance(expected, list):
        expected = cfb_readers.format_listing(expected)
    if isinstance(actual, list):
        actual = cfb_readers.format_listing(actual)
    if not expected.strip():
        raise Failure(what + ": the expected listing is empty")
    if expected != actual:
        diff = list(difflib.unified_diff(expected.splitlines(), actual.splitlines(),
                                         "expected", "actual", lineterm="", n=1))
        raise Failure("%s differs (%d lines expected, %d seen):\n%s" % (
            what, expected.count("\n"), actual.count("\n"), "\n".join(diff[:60])))
    step("%s (%d elements)" % (what, expected.count("\n")))


def as_gsf_lists(listing_text):
    """`gsf list` can only show a storage as a directory when it has children: an empty
    storage comes out like an empty stream. Everything else must match exactly."""
    rows = [line.split("\t") for line in listing_text.splitlines()]
    parents = {r[0].rsplit("/", 1)[0] for r in rows if "/" in r[0]}
    out = []
    for path, kind, size, digest in rows:
        if kind == "storage" and path not in parents:
            kind, digest = "stream", EMPTY_MD5
        out.append((path, kind, int(size), digest))
    return cfb_readers.format_listing(out)


def expect_sound(what, path, strict):
    problems = cfb_readers.structural_problems(path, strict)
    if problems:
        raise Failure("%s has structural problems:\n  %s" % (what, "\n  ".join(problems[:20])))
    step("%s passes the structural check" % what)


def our_listing(tool, path):
    """Lists `path` through our engine, which must not change a file it only reads."""
    with open(path, "rb") as f:
        before = hashlib.md5(f.read()).hexdigest()
    listing = run_tool(tool, "list", path)
    with open(path, "rb") as f:
        if hashlib.md5(f.read()).hexdigest() != before:
            raise Failure("listing %s through our engine changed the file" % path)
    return listing


def expect_all_readers(what, path, expected):
    expect_same(what + " through olefile", expected, cfb_readers.olefile_listing(path))
    expect_same(what + " through gsf", as_gsf_lists(expected), cfb_readers.gsf_listing(path))


def test_ours(tool, work, seed, bulk_kb, expect_difat):
    path = os.path.join(work, "ours-%d.cfb" % seed)
    expected = run_tool(tool, "write-sample", path, seed, bulk_kb)
    # The outside views come first: opening the file with our engine must not be what
    # makes it right.
    expect_sound("our file", path, strict=True)
    expect_all_readers("our file", path, expected)
    expect_same("our reading of our file", expected, our_listing(tool, path))
    major, sector_size, difat = cfb_readers.olefile_header(path)
    if (major, sector_size) != (3, 512):
        raise Failure("our file is version %d with %d-byte sectors, not 3 with 512"
                      % (major, sector_size))
    if expect_difat and not difat:
        raise Failure("the file is meant to need DIFAT sectors but has none")
    step("our file is version 3%s" % (" with %d DIFAT sectors" % difat if difat else ""))


def make_tree(root, rng):
    """A directory tree for `gsf createole`: edge sizes, empty files and directories, names
    with blanks and a Latin-1 letter, a crowd of siblings, and one file large enough that
    the FAT needs DIFAT sectors."""
    sizes = {"empty": 0, "one": 1, "e63": 63, "e64": 64, "e4095": 4095, "e4096": 4096,
             "e4097": 4097, "with blank": 5000, "caf\u00e9.txt": 321}
    files = {name: rng.randbytes(size) for name, size in sizes.items()}
    for i in range(60):
        files["docs/d%02d" % i + "z" * rng.randrange(0, 6)] = rng.randbytes(rng.randrange(0, 9000))
    files["docs/nested/deeper/leaf"] = rng.randbytes(70000)
    files["docs/nested/zero"] = b""
    files["big.bin"] = rng.randbytes(7_600_000)
    for rel, data in files.items():
        full = os.path.join(root, rel)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(root, "emptydir"))
    os.makedirs(os.path.join(root, "docs", "nested", "empty too"))


def listing_of_tree(root):
    """The canonical listing a compound file made from `root` must have: `gsf createole`
    stores the directory itself as the top storage."""
    top = os.path.basename(root)
    rows = [(top, "storage", 0, "")]
    for here, dirs, names in os.walk(root):
        rel = os.path.relpath(here, os.path.dirname(root))
        rows += [(rel + "/" + d, "storage", 0, "") for d in dirs]
        for name in names:
            with open(os.path.join(here, name), "rb") as f:
                data = f.read()
            rows.append((rel + "/" + name, "stream", len(data), hashlib.md5(data).hexdigest()))
    return cfb_readers.format_listing(rows)


def test_gsf_writer(tool, work, seed):
    rng = random.Random(seed)
    tree = os.path.join(work, "tree")
    make_tree(tree, rng)
    path = os.path.join(work, "gsf.cfb")
    done = subprocess.run([cfb_readers.gsf_command(), "createole", path, tree],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise Failure("gsf createole failed: " + done.stderr.decode("utf-8", "replace"))
    expected = listing_of_tree(tree)
    # olefile agreeing first shows the expectation is right, and gsf's file passing the
    # structural check shows the check holds for an independent writer.
    expect_same("gsf's file through olefile", expected, cfb_readers.olefile_listing(path))
    expect_sound("gsf's file", path, strict=False)
    if not cfb_readers.olefile_header(path)[2]:
        raise Failure("gsf's file was meant to need DIFAT sectors but has none")
    expect_same("our reading of gsf's file", expected, our_listing(tool, path))

    patched = run_tool(tool, "write-patch", path, seed)
    expect_sound("gsf's file after our changes", path, strict=False)
    expect_all_readers("gsf's file after our changes", path, patched)
    expect_same("our reading of gsf's file after our changes", patched,
                our_listing(tool, path))


def test_version4(tool, work, seed):
    path = os.path.join(work, "v4.cfb")
    expected = cfb_readers.format_listing(make_v4_file.write_v4_file(path, seed))
    expect_same("the generated version 4 file through olefile", expected,
                cfb_readers.olefile_listing(path))
    expect_sound("the generated version 4 file", path, strict=False)
    expect_same("our reading of the version 4 file", expected, our_listing(tool, path))

    patched = run_tool(tool, "write-patch", path, seed)
    expect_sound("the version 4 file after our changes", path, strict=False)
    expect_all_readers("the version 4 file after our changes", path, patched)
    expect_same("our reading of the version 4 file after our changes", patched,
                our_listing(tool, path))
    major, sector_size, _ = cfb_readers.olefile_header(path)
    if (major, sector_size) != (4, 4096):
        raise Failure("after our changes the file is version %d with %d-byte sectors"
                      % (major, sector_size))
    step("the file is still version 4")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("scenario", choices=["ours", "gsf-writer", "version4"])
    parser.add_argument("seed", type=int)
    parser.add_argument("bulk_kb", type=int, nargs="?", default=3000)
    parser.add_argument("--expect-difat", action="store_true")
    args = parser.parse_args()

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    try:
        if args.scenario == "ours":
            test_ours(args.tool, args.work, args.seed, args.bulk_kb, args.expect_difat)
        elif args.scenario == "gsf-writer":
            test_gsf_writer(args.tool, args.work, args.seed)
        else:
            test_version4(args.tool, args.work, args.seed)
    except (Failure, OSError, ValueError) as error:
        print("FAIL " + str(error), flush=True)
        return 1
    shutil.rmtree(args.work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
