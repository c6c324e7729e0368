"""Reads compound files without our engine: through olefile, through the gsf command, and
through a structural check of our own written from the published layout.

Listings are lists of (path, type, size, md5) in the canonical form cfb_interop_tool prints:
path components joined by '/', type 'storage' or 'stream', storages with size 0 and no hash.

Run with the system interpreter (/usr/bin/python3), which is where Debian's python3-olefile
lives:  cfb_readers.py olefile|gsf|check FILE
"""

import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys

try:
    import olefile
except ImportError:  # pragma: no cover - depends on the machine
    sys.exit("olefile is missing: install python3-olefile (tools/install-deps test) and run "
             "this with /usr/bin/python3, not " + sys.executable)


def format_listing(entries):
    rows = sorted(entries, key=lambda e: e[0].encode("utf-8"))
    return "".join("%s\t%s\t%d\t%s\n" % row for row in rows)


def _stream_row(path, data):
    return (path, "stream", len(data), hashlib.md5(data).hexdigest())


# The engine numbers its commits in the transaction signature, which the format allows for
# writers that commit atomically; olefile notes every non-zero value as a possible defect.
_TOLERATED_OLEFILE_NOTES = ("transaction_signature_number>0",)


def olefile_listing(path):
    """Lists `path` through olefile with every format error raised, and fails as well on the
    lesser problems olefile only records."""
    ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
    try:
        entries = []
        for parts in ole.listdir(streams=True, storages=True):
            name = "/".join(parts)
            kind = ole.get_type(name)
            if kind == olefile.STGTY_STORAGE:
                entries.append((name, "storage", 0, ""))
            elif kind == olefile.STGTY_STREAM:
                data = ole.openstream(name).read()
                if len(data) != ole.get_size(name):
                    raise ValueError("olefile read %d bytes of %s, whose size is %d"
                                     % (len(data), name, ole.get_size(name)))
                entries.append(_stream_row(name, data))
            else:
                raise ValueError("olefile sees %s as element type %r" % (name, kind))
        notes = [message for _, message in ole.parsing_issues
                 if not any(t in message for t in _TOLERATED_OLEFILE_NOTES)]
        if notes:
            raise ValueError("olefile found problems: " + "; ".join(notes))
        return entries
    finally:
        ole.close()


def olefile_header(path):
    """The header facts the tests assert on: (major version, sector size, DIFAT sectors)."""
    ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
    try:
        return ole.dll_version, ole.sector_size, ole.num_difat_sectors
    finally:
        ole.close()


def gsf_command():
    gsf = shutil.which("gsf")
    if not gsf:
        sys.exit("the gsf command is missing: install libgsf-bin (tools/install-deps test)")
    return gsf


# gsf prints names in the locale's encoding; UTF-8 keeps non-ASCII names comparable.
_GSF_ENV = dict(os.environ, LC_ALL="C.UTF-8")
_GSF_LINE = re.compile(rb"^([df])\s+(?:\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\s+)?(\d+) (.*)$")


def _run_gsf(args):
    done = subprocess.run([gsf_command()] + args, env=_GSF_ENV, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise ValueError("gsf %s failed (%d): %s%s" % (
            args[0], done.returncode, done.stdout[-500:].decode("utf-8", "replace"),
            done.stderr[-500:].decode("utf-8", "replace")))
    return done.stdout


def gsf_listing(path):
    """Lists `path` through `gsf list` and `gsf cat`."""
    out = _run_gsf(["list", path]).splitlines()
    if not out or not out[0].endswith(b":"):
        raise ValueError("unexpected gsf list output: %r" % out[:3])
    storages, streams = [], []
    for line in out[1:]:
        match = _GSF_LINE.match(line)
        if not match:
            raise ValueError("unexpected gsf list line: %r" % line)
        kind, size, name = match.group(1), int(match.group(2)), match.group(3)
        if kind == b"d":
            if name != b"*root*":
                storages.append((name.decode("utf-8"), "storage", 0, ""))
        else:
            streams.append((name, size))
    entries = list(storages)
    # `gsf cat` writes the named streams one after another; the sizes from the listing cut
    # the output apart, and a total that does not add up is a failure by itself.
    for first in range(0, len(streams), 400):
        batch = streams[first:first + 400]
        data = _run_gsf([b"cat", path.encode()] + [name for name, _ in batch])
        expected = sum(size for _, size in batch)
        if len(data) != expected:
            raise ValueError("gsf cat gave %d bytes where the listing promises %d"
                             % (len(data), expected))
        at = 0
        for name, size in batch:
            entries.append(_stream_row(name.decode("utf-8"), data[at:at + size]))
            at += size
    return entries


# ---------------------------------------------------------------------------------------
# Structural check

FREESECT, ENDOFCHAIN, FATSECT, DIFSECT, MAXREGSECT = (
    0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC, 0xFFFFFFFA)
NOSTREAM = 0xFFFFFFFF
SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")


def _upper(unit):
    """Simple upper-casing of one UTF-16 unit, as sibling order compares names."""
    up = chr(unit).upper()
    return ord(up) if len(up) == 1 and ord(up) < 0x10000 else unit


def sibling_key(name):
    """Sibling order: shorter names first, then unit by unit after upper-casing."""
    units = name.encode("utf-16-le")
    units = struct.unpack("<%dH" % (len(units) // 2), units)
    return (len(units), tuple(_upper(u) for u in units))


class Problems(Exception):
    pass


def structural_problems(path, strict):
    """Checks the file against the published layout and returns what is wrong (empty when
    nothing is): header fields, DIFAT and FAT bookkeeping, every chain exactly as long as
    its size needs, no sector or mini sector owned twice or in use but owned by nobody, the
    directory entries and the order of every sibling tree.

    `strict` adds what readers let pass and other writers do not all keep to, but our
    engine does: every sibling tree keeps the red-black invariants (a writer may leave all
    nodes black instead), storages have start sector and size zero, and unused directory
    entries are zeros with no-stream links."""
    problems = []
    with open(path, "rb") as f:
        data = f.read()

    def fail(message):
        problems.append(message)

    if len(data) < 512 or data[:8] != SIGNATURE:
        return ["not a compound file"]
    (minor, major, byte_order, shift, mini_shift) = struct.unpack_from("<5H", data, 0x18)
    reserved = data[0x22:0x28]
    (n_dir, n_fat, first_dir, _txn, cutoff, first_minifat, n_minifat, first_difat,
     n_difat) = struct.unpack_from("<9I", data, 0x28)
    header_difat = struct.unpack_from("<109I", data, 0x4C)
    if data[8:24] != bytes(16):
        fail("header CLSID is not zero")
    if byte_order != 0xFFFE or mini_shift != 6 or cutoff != 4096 or reserved != bytes(6):
        fail("bad fixed header fields")
    if (major, shift) not in ((3, 9), (4, 12)):
        return problems + ["bad version %d with sector shift %d" % (major, shift)]
    if minor != 0x3E:
        fail("minor version %#x, expected 0x3e" % minor)
    ss = 1 << shift
    if major == 3 and n_dir != 0:
        fail("version 3 header counts directory sectors")
    if major == 4 and any(data[512:4096]):
        fail("version 4 header sector is not zero after the header")
    if (len(data) - ss) % ss != 0 or len(data) < ss:
        fail("file length %d is not a whole number of sectors" % len(data))
    n_sectors = max(0, (len(data) - ss + ss - 1) // ss)
    per = ss // 4

    def sector(i):
        return data[(i + 1) * ss:(i + 2) * ss].ljust(ss, b"\0")

    # DIFAT: the header's 109 slots, then a chain of DIFAT sectors.
    fat_locations = list(header_difat[:min(n_fat, 109)])
    if any(x != FREESECT for x in header_difat[min(n_fat, 109):]):
        fail("unused header DIFAT slots are not free")
    difat_locations = []
    d = first_difat
    while len(fat_locations) < n_fat:
        if d >= n_sectors or d in difat_locations:
            return problems + ["DIFAT chain leaves the file or loops at %#x" % d]
        difat_locations.append(d)
        values = struct.unpack("<%dI" % per, sector(d))
        take = min(per - 1, n_fat - len(fat_locations))
        fat_locations += values[:take]
        if any(x != FREESECT for x in values[take:per - 1]):
            fail("unused DIFAT slots are not free")
        d = values[per - 1]
    if len(difat_locations) != n_difat:
        fail("header counts %d DIFAT sectors, the chain has %d" % (n_difat, len(difat_locations)))
    if difat_locations and d != ENDOFCHAIN:
        fail("the DIFAT chain does not end with end-of-chain")
    if not difat_locations and first_difat != ENDOFCHAIN:
        fail("no DIFAT sectors but the header names a first one")

    fat = []
    for loc in fat_locations:
        if loc >= n_sectors:
            return problems + ["FAT sector %#x outside the file" % loc]
        fat += struct.unpack("<%dI" % per, sector(loc))
    if len(fat) < n_sectors:
        return problems + ["the FAT covers %d of %d sectors" % (len(fat), n_sectors)]
    if any(x != FREESECT for x in fat[n_sectors:]):
        fail("FAT entries beyond the end of the file are in use")
    owner = {}

    def claim(s, who):
        if s in owner:
            fail("sector %d belongs to %s and %s" % (s, owner[s], who))
        owner[s] = who

    for loc in fat_locations:
        claim(loc, "the FAT")
        if fat[loc] != FATSECT:
            fail("FAT sector %d is not marked as one" % loc)
    for loc in difat_locations:
        claim(loc, "the DIFAT")
        if fat[loc] != DIFSECT:
            fail("DIFAT sector %d is not marked as one" % loc)

    def chain(start, who, expected_length=None):
        out = []
        s = start
        while s != ENDOFCHAIN:
            if s >= n_sectors or s in owner:
                fail("%s: chain leaves the file or meets an owned sector at %#x" % (who, s)
                     + (" (%s)" % owner[s] if s in owner else ""))
                break
            claim(s, who)
            out.append(s)
            s = fat[s]
        if expected_length is not None and len(out) != expected_length:
            fail("%s: chain of %d sectors, its size needs %d" % (who, len(out), expected_length))
        return out

    dir_chain = chain(first_dir, "the directory")
    if major == 4 and n_dir != len(dir_chain):
        fail("header counts %d directory sectors, the chain has %d" % (n_dir, len(dir_chain)))
    minifat_chain = chain(first_minifat, "the mini FAT", n_minifat)
    minifat = []
    for s in minifat_chain:
        minifat += struct.unpack("<%dI" % per, sector(s))

    raw = b"".join(sector(s) for s in dir_chain)
    entries = []
    for i in range(len(raw) // 128):
        e = raw[i * 128:(i + 1) * 128]
        name_len, kind, color = struct.unpack_from("<HBB", e, 0x40)
        left, right, child = struct.unpack_from("<3I", e, 0x44)
        start, size = struct.unpack_from("<IQ", e, 0x74)
        if major == 3:
            size &= 0xFFFFFFFF
        if kind == 0:
            if strict and e != bytes(0x44) + b"\xff" * 12 + bytes(128 - 0x50):
                fail("unused directory entry %d is not cleared" % i)
            entries.append(None)
            continue
        if kind not in (1, 2, 5) or color not in (0, 1) or name_len % 2 or not 2 <= name_len <= 64:
            fail("directory entry %d has bad type, colour or name length" % i)
            entries.append(None)
            continue
        name_units = e[:name_len]
        if name_units[-2:] != b"\0\0" or any(e[name_len:64]):
            fail("directory entry %d: name not terminated or padded with zeros" % i)
        name = name_units[:-2].decode("utf-16-le", "replace")
        if any(c in name for c in "/\\:!"):
            fail("directory entry %d has a forbidden character in its name" % i)
        entries.append(dict(id=i, name=name, kind=kind, color=color, left=left, right=right,
                            child=child, start=start, size=size))
    if not entries or not entries[0] or entries[0]["kind"] != 5:
        return problems + ["entry 0 is not the root storage"]
    root = entries[0]
    if root["name"] != "Root Entry":
        fail("the root entry is named %r" % root["name"])

    # Every live entry is reached exactly once from the root.
    reached = set()

    def walk_tree(storage):
        ids = []

        def visit(n, depth):
            if n == NOSTREAM:
                return
            if n >= len(entries) or entries[n] is None or entries[n]["kind"] == 5 \
                    or n in reached or depth > 1000:
                raise Problems("tree of %r reaches entry %d badly" % (storage["name"], n))
            reached.add(n)
            visit(entries[n]["left"], depth + 1)
            ids.append(n)
            visit(entries[n]["right"], depth + 1)
        visit(storage["child"], 0)
        return ids

    storages = [root]
    try:
        while storages:
            storage = storages.pop()
            kids = walk_tree(storage)
            keys = [sibling_key(entries[k]["name"]) for k in kids]
            if any(a >= b for a, b in zip(keys, keys[1:])):
                fail("children of %r are not in sibling order" % storage["name"])
            if strict:
                problem = _red_black_problem(entries, storage["child"])
                if problem:
                    fail("children of %r: %s" % (storage["name"], problem))
            storages += [entries[k] for k in kids if entries[k]["kind"] == 1]
    except Problems as error:
        return problems + [str(error)]
    for e in entries[1:]:
        if e and e["id"] not in reached:
            fail("entry %d (%r) is not reachable" % (e["id"], e["name"]))
        if e and e["kind"] != 1 and e["child"] != NOSTREAM:
            fail("stream %r has a child" % e["name"])
        if strict and e and e["kind"] == 1 and (e["start"] != 0 or e["size"] != 0):
            fail("storage %r has a start sector or size" % e["name"])

    # Data: the mini stream lives in the root's chain; streams below the cutoff in it.
    chain(root["start"] if root["size"] else ENDOFCHAIN, "the mini stream",
          -(-root["size"] // ss))
    if root["size"] % 64:
        fail("the mini stream is not a whole number of mini sectors")
    mini_count = root["size"] // 64
    if mini_count > len(minifat):
        fail("the mini stream is longer than the mini FAT covers")
    mini_owner = {}
    for e in entries[1:]:
        if not e or e["kind"] != 2:
            continue
        who = "stream %r" % e["name"]
        if e["size"] == 0:
            if e["start"] != ENDOFCHAIN:
                fail("%s is empty but names a start sector" % who)
        elif e["size"] >= 4096:
            chain(e["start"], who, -(-e["size"] // ss))
        else:
            m, count = e["start"], 0
            while m != ENDOFCHAIN:
                if m >= mini_count or m >= len(minifat) or m in mini_owner:
                    fail("%s: mini chain leaves the mini stream or meets an owned mini "
                         "sector at %#x" % (who, m))
                    break
                mini_owner[m] = who
                count += 1
                m = minifat[m]
            if count != -(-e["size"] // 64):
                fail("%s: mini chain of %d, its size needs %d"
                     % (who, count, -(-e["size"] // 64)))
    for m, value in enumerate(minifat):
        if m not in mini_owner and value != FREESECT:
            fail("mini sector %d is in use but no stream owns it" % m)
            break
    for s in range(n_sectors):
        if s not in owner and fat[s] != FREESECT:
            fail("sector %d is in use but nothing owns it" % s)
            break
    return problems


def _red_black_problem(entries, top):
    if top != NOSTREAM and entries[top]["color"] != 1:
        return "the tree's root is red"

    def black_height(n):
        if n == NOSTREAM:
            return 1
        e = entries[n]
        for kid in (e["left"], e["right"]):
            if e["color"] == 0 and kid != NOSTREAM and entries[kid]["color"] == 0:
                raise Problems("red entry %r has a red child" % e["name"])
        left, right = black_height(e["left"]), black_height(e["right"])
        if left != right:
            raise Problems("black heights differ below %r" % e["name"])
        return left + (e["color"] == 1)
    try:
        black_height(top)
    except Problems as error:
        return str(error)
    return None


def main(argv):
    if len(argv) != 3 or argv[1] not in ("olefile", "gsf", "check"):
        sys.exit("usage: cfb_readers.py olefile|gsf|check FILE")
    if argv[1] == "check":
        problems = structural_problems(argv[2], strict=False)
        print("\n".join(problems) if problems else "no problems")
        return 1 if problems else 0
    lister = olefile_listing if argv[1] == "olefile" else gsf_listing
    sys.stdout.write(format_listing(lister(argv[2])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
