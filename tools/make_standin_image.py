#!/usr/bin/python3
"""Writes the stand-in firmware image into resources/.

The station maker's image is not in the repository yet.  Until it is, the tool
carries this stand-in: an Intel HEX file with the same shape as the real one
(line count, record sizes, covered addresses, first and last lines, vectors),
so that every figure the upgrade code and its tests rely on holds.  Its
content is filler, NOT a working program: it must never be written into a
real station.

The output is deterministic (fixed-seed generator of our own, so it does not
depend on the Python version).  Every property is checked before anything is
written; a failed check writes nothing.

Usage: /usr/bin/python3 tools/make_standin_image.py [resources-dir]
"""

import hashlib
import os
import sys

IMAGE_NAME = "firmware.hex"
# The build compares the embedded image against this hash to warn that the
# stand-in, not the real firmware, is being embedded.
HASH_NAME = "firmware-standin.sha256"

IMAGE_SIZE = 0x10000
EOF_LINE = ":00000001FF"

# Bytes whose values are fixed: the vector area, the first line's record, the
# last data record's byte and the top of the program.
FIXED = {}


def _fix(address, hex_bytes):
    for i, b in enumerate(bytes.fromhex(hex_bytes)):
        FIXED[address + i] = b


_fix(0x0000, "026921026FFEEF5403FF220276C0C2AF")  # LJMPs at 0000, 0003, 000B
_fix(0x0010, "22")
_fix(0x0013, "026A4D")  # LJMP at vector 0013
_fix(0x0023, "027310")  # LJMP at vector 0023
_fix(0x519A, "3030303000000000000055CC33AA0000")
_fix(0x555C, "00")
_fix(0x7880, "7322E4FF0FBF08FC22D2AF22A2B522")

# Covered address ranges [start, end) between the records whose place is fixed.
FREE_RANGES = [
    # (start, end, number of short records, bytes in short records)
    (0x0000, 0x0011, 3, 17),
    (0x0013, 0x519A, 153, 823),
    (0x51AA, 0x555C, 10, 66),
    (0x555D, 0x788C, 70, 399),
]
FIRST_RECORD = (0x519A, 16)
LAST_DATA_RECORD = (0x555C, 1)
TOP_RECORD = (0x788C, 3)


class SplitMix64:
    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFFFFFFFFFF

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & 0xFFFFFFFFFFFFFFFF
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & 0xFFFFFFFFFFFFFFFF
        return z ^ (z >> 31)

    def below(self, n):
        limit = (1 << 64) - ((1 << 64) % n)
        while True:
            v = self.next()
            if v < limit:
                return v % n

    def shuffle(self, items):
        for i in range(len(items) - 1, 0, -1):
            j = self.below(i + 1)
            items[i], items[j] = items[j], items[i]


def short_sizes(rng, count, total):
    """count sizes of 1..15 bytes adding up to total."""
    sizes = [1] * count
    left = total - count
    while left:
        i = rng.below(count)
        if sizes[i] < 15:
            sizes[i] += 1
            left -= 1
    return sizes


def record_line(address, data):
    body = bytes([len(data), address >> 8, address & 0xFF, 0]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper()


def build():
    rng = SplitMix64(0x4B535F45494455)  # "KS_EIDU"

    records = []  # (address, size)
    for start, end, shorts, short_bytes in FREE_RANGES:
        length = end - start
        assert (length - short_bytes) % 16 == 0
        sizes = [16] * ((length - short_bytes) // 16) + short_sizes(rng, shorts, short_bytes)
        rng.shuffle(sizes)
        address = start
        for size in sizes:
            records.append((address, size))
            address += size
        assert address == end
    records.append(TOP_RECORD)

    # Content: filler bytes, never a block of nothing but 0xFF.
    content = {}
    for address, size in records + [FIRST_RECORD, LAST_DATA_RECORD]:
        for a in range(address, address + size):
            content[a] = FIXED.get(a, rng.below(0xFF))  # 0x00..0xFE

    rng.shuffle(records)
    order = [FIRST_RECORD] + records + [LAST_DATA_RECORD]
    lines = [record_line(a, [content[a + i] for i in range(n)]) for a, n in order]
    lines.append(EOF_LINE)
    return lines


def parse(line):
    raw = bytes.fromhex(line[1:])
    return raw[0], (raw[1] << 8) | raw[2], raw[3], raw[4:-1], raw


def check(lines):
    """Every property the tool and its tests rely on; raises on the first miss."""
    def need(condition, what):
        if not condition:
            raise SystemExit("stand-in image check failed: " + what)

    need(len(lines) == 2086, "2,086 lines")
    need(lines[-1] == EOF_LINE, "end-of-file record last")
    image = bytearray([0xFF]) * IMAGE_SIZE
    covered = [0] * IMAGE_SIZE
    sizes = []
    starts = []
    for line in lines:
        need(line[0] == ":" and all(c in "0123456789ABCDEF" for c in line[1:]),
             "upper-case hex only: " + line)
        n, a, rtype, data, raw = parse(line)
        need(len(line) == 11 + 2 * n, "length 11 + 2N: " + line)
        need(sum(raw) & 0xFF == 0, "record checksum: " + line)
        need(a + n <= IMAGE_SIZE, "record inside 64 KiB: " + line)
        if line is lines[-1]:
            continue
        need(rtype == 0, "type 00: " + line)
        sizes.append(n)
        starts.append(a)
        for i, b in enumerate(data):
            covered[a + i] += 1
            image[a + i] = b
    need(sizes.count(16) == 1847, "1,847 records of 16 bytes")
    need(sum(1 for n in sizes if 1 <= n <= 15) == 238, "238 records of 1 to 15 bytes")
    need(max(sizes) <= 16 and min(sizes) >= 1, "record sizes 1 to 16")
    need(starts != sorted(starts), "records not sorted by address")
    need(max(covered) == 1, "no address covered twice")
    wanted = set(range(0x0000, 0x0011)) | set(range(0x0013, 0x788F))
    need({a for a in range(IMAGE_SIZE) if covered[a]} == wanted, "covered addresses")
    need(len(wanted) == 30861, "30,861 bytes")
    need(max(starts) == 0x788C, "largest start address 0x788C")
    need(lines[0] == ":10519A003030303000000000000055CC33AA000047", "first line")
    need(lines[-2] == ":01555C00004E", "last data record")
    need(":03788C00A2B52280" in lines, "top record")
    blocks = [b for b in range(0, IMAGE_SIZE, 16) if any(x != 0xFF for x in image[b:b + 16])]
    need(blocks == list(range(0x0000, 0x7890, 16)) and len(blocks) == 1929,
         "1,929 non-blank blocks 0x0000 to 0x7880")
    need(record_line(0x0000, image[0x0000:0x0010]) ==
         ":10000000026921026FFEEF5403FF220276C0C2AFE5", "first programming line")
    need(record_line(0x7880, image[0x7880:0x7890]) ==
         ":107880007322E4FF0FBF08FC22D2AF22A2B522FF71", "last programming line")
    for vector in (0x0000, 0x0003, 0x000B, 0x0013, 0x0023):
        need(image[vector] == 0x02, "long jump at 0x%04X" % vector)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources")
    lines = build()
    check(lines)
    with open(os.path.join(out_dir, IMAGE_NAME), "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    # Hash of the lines joined by LF, so a checkout with CRLF line ends is
    # still recognised.
    digest = hashlib.sha256("\n".join(lines).encode("ascii")).hexdigest()
    with open(os.path.join(out_dir, HASH_NAME), "w", newline="\n") as f:
        f.write(digest + "\n")


if __name__ == "__main__":
    main()
