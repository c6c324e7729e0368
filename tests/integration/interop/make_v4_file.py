"""Writes a version 4 compound file (4096-byte sectors) from the published layout alone,
with nothing but the standard library, so our engine's reading and writing of that version
is checked against a file it did not make.

The file has nested storages, empty and mini and regular streams (around the 4096-byte
cutoff too), two directory sectors, two mini FAT sectors, a few free sectors, and every
chain scattered over the file rather than laid out in order. One storage keeps its
children as an unbalanced all-black tree, which the format allows a writer to do.

   make_v4_file.py FILE SEED     writes FILE and prints its canonical listing
"""

import hashlib
import random
import struct
import sys

SECTOR = 4096
PER_SECTOR = SECTOR // 4
FREESECT, ENDOFCHAIN, FATSECT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD
NOSTREAM = 0xFFFFFFFF
MINI = 64
CUTOFF = 4096


def sibling_key(name):
    """Sibling order: shorter names first, then unit by unit after upper-casing."""
    units = struct.unpack("<%dH" % len(name), name.encode("utf-16-le"))
    return (len(units), tuple(ord(chr(u).upper()) if len(chr(u).upper()) == 1 else u
                              for u in units))


class Node:
    def __init__(self, name, data=None, flat=False):
        self.name, self.data, self.flat = name, data, flat  # data None: a storage
        self.kids = []
        self.id = None
        self.left = self.right = self.child = NOSTREAM
        self.color = 1
        self.start, self.size = 0, 0

    def add(self, node):
        self.kids.append(node)
        return node


def build_content(rng):
    def blob(n):
        return rng.randbytes(n)

    root = Node("Root Entry")
    root.add(Node("Small", blob(100)))
    root.add(Node("Empty", b""))
    root.add(Node("Edge4095", blob(4095)))
    root.add(Node("Edge4096", blob(4096)))
    root.add(Node("Big", blob(70000)))
    root.add(Node("Caf\u00e9 au lait", blob(777)))
    sub = root.add(Node("Sub"))
    sub.add(Node("Inner", blob(3000)))
    sub.add(Node("Huge", blob(300000)))
    deeper = sub.add(Node("Deeper"))
    deeper.add(Node("Leaf", blob(64)))
    deeper.add(Node("Empty storage"))
    flat = root.add(Node("Flat", flat=True))
    for i in range(40):
        flat.add(Node("f%02d" % i + "x" * rng.randrange(0, 8), blob(rng.randrange(1500, 4000))))
    return root


def walk(node, prefix=""):
    for kid in node.kids:
        path = prefix + kid.name
        yield path, kid
        if kid.data is None:
            yield from walk(kid, path + "/")


def link_balanced(nodes, lo, hi, depth, red_depth):
    """Middle split: leaves on the last two levels; the last level red when it is not full
    keeps every path's black count equal."""
    if lo >= hi:
        return NOSTREAM
    mid = (lo + hi) // 2
    n = nodes[mid]
    n.color = 0 if depth == red_depth else 1
    n.left = link_balanced(nodes, lo, mid, depth + 1, red_depth)
    n.right = link_balanced(nodes, mid + 1, hi, depth + 1, red_depth)
    return n.id


def link_children(storage):
    kids = sorted(storage.kids, key=lambda k: sibling_key(k.name))
    if storage.flat:
        for a, b in zip(kids, kids[1:] + [None]):
            a.color, a.left, a.right = 1, NOSTREAM, b.id if b else NOSTREAM
        storage.child = kids[0].id if kids else NOSTREAM
        return
    levels = 0
    while (1 << levels) - 1 < len(kids):
        levels += 1
    full = len(kids) == (1 << levels) - 1
    storage.child = link_balanced(kids, 0, len(kids), 0, -1 if full else levels - 1)


def write_v4_file(path, seed):
    rng = random.Random(seed)
    root = build_content(rng)
    elements = list(walk(root))

    # Directory ids: the root is 0, the rest shuffled over two sectors' worth of slots.
    per_dir_sector = SECTOR // 128
    dir_sectors = 2
    assert len(elements) + 1 <= per_dir_sector * dir_sectors
    ids = list(range(1, per_dir_sector * dir_sectors))
    rng.shuffle(ids)
    root.id = 0
    for (_, node), i in zip(elements, ids):
        node.id = i
    for _, node in [("", root)] + elements:
        if node.data is None:
            link_children(node)

    # Mini stream: each small stream's mini sectors drawn in shuffled order.
    small = [n for _, n in elements if n.data is not None and 0 < len(n.data) < CUTOFF]
    mini_total = sum(-(-len(n.data) // MINI) for n in small)
    minifat_sectors = -(-mini_total // PER_SECTOR)
    assert minifat_sectors == 2, "the content should need two mini FAT sectors"
    free_minis = list(range(mini_total))
    rng.shuffle(free_minis)
    minifat = [FREESECT] * (minifat_sectors * PER_SECTOR)
    mini_stream = bytearray(mini_total * MINI)
    for n in small:
        count = -(-len(n.data) // MINI)
        chain, free_minis = free_minis[:count], free_minis[count:]
        for a, b in zip(chain, chain[1:] + [ENDOFCHAIN]):
            minifat[a] = b
        for k, m in enumerate(chain):
            piece = n.data[k * MINI:(k + 1) * MINI]
            mini_stream[m * MINI:m * MINI + len(piece)] = piece
        n.start, n.size = chain[0], len(n.data)

    # Regular sectors: every chain takes sectors from one shuffled pool, with a few left
    # free among them.
    big = [n for _, n in elements if n.data is not None and len(n.data) >= CUTOFF]
    needs = {"fat": 1, "dir": dir_sectors, "minifat": minifat_sectors,
             "ministream": -(-len(mini_stream) // SECTOR)}
    for n in big:
        needs[n.id] = -(-len(n.data) // SECTOR)
    free_count = 3
    total = sum(needs.values()) + free_count
    assert total <= PER_SECTOR, "one FAT sector must cover the file"
    pool = list(range(total))
    rng.shuffle(pool)
    chains = {}
    for key, count in needs.items():
        chains[key], pool = pool[:count], pool[count:]
    fat = [FREESECT] * PER_SECTOR
    for key, chain in chains.items():
        if key == "fat":
            fat[chain[0]] = FATSECT
            continue
        for a, b in zip(chain, chain[1:] + [ENDOFCHAIN]):
            fat[a] = b
    sectors = [bytes(SECTOR)] * total

    def put(key, payload):
        payload = bytes(payload).ljust(len(chains[key]) * SECTOR, b"\0")
        for k, s in enumerate(chains[key]):
            sectors[s] = payload[k * SECTOR:(k + 1) * SECTOR]

    put("fat", struct.pack("<%dI" % PER_SECTOR, *fat))
    put("minifat", struct.pack("<%dI" % len(minifat), *minifat))
    put("ministream", mini_stream)
    for n in big:
        put(n.id, n.data)
        n.start, n.size = chains[n.id][0], len(n.data)
    for _, n in elements:
        if n.data == b"":
            n.start, n.size = ENDOFCHAIN, 0
    root.start = chains["ministream"][0] if mini_stream else ENDOFCHAIN
    root.size = len(mini_stream)

    slots = [None] * (per_dir_sector * dir_sectors)
    for _, n in [("", root)] + elements:
        slots[n.id] = n
    directory = b"".join(dir_entry(n) for n in slots)
    put("dir", directory)

    header = struct.pack(
        "<8s16sHHHHH6sIIIIIIIII",
        bytes.fromhex("D0CF11E0A1B11AE1"), bytes(16), 0x3E, 4, 0xFFFE, 12, 6, bytes(6),
        dir_sectors, 1, chains["dir"][0], 0, CUTOFF, chains["minifat"][0], minifat_sectors,
        ENDOFCHAIN, 0)
    header += struct.pack("<109I", chains["fat"][0], *([FREESECT] * 108))
    assert len(header) == 512
    with open(path, "wb") as f:
        f.write(header.ljust(SECTOR, b"\0"))
        f.write(b"".join(sectors))

    listing = []
    for p, n in elements:
        if n.data is None:
            listing.append((p, "storage", 0, ""))
        else:
            listing.append((p, "stream", len(n.data), hashlib.md5(n.data).hexdigest()))
    return listing


def dir_entry(n):
    if n is None:
        return bytes(0x44) + b"\xff" * 12 + bytes(128 - 0x50)
    name = n.name.encode("utf-16-le") + b"\0\0"
    kind = 5 if n.id == 0 else (1 if n.data is None else 2)
    return struct.pack("<64sHBBIII16sIQQIQ", name, len(name), kind, n.color, n.left, n.right,
                       n.child, bytes(16), 0, 0, 0, n.start, n.size)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: make_v4_file.py FILE SEED")
    rows = write_v4_file(sys.argv[1], int(sys.argv[2]))
    rows.sort(key=lambda r: r[0].encode("utf-8"))
    sys.stdout.write("".join("%s\t%s\t%d\t%s\n" % r for r in rows))
