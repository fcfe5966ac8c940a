"""Loads the firmware image file with independent Intel HEX readers and checks
that they give the same memory as the tool's own reader (image_dump output).

Usage: python3 compare_with_readers.py <image_dump executable> <image.hex>
"""
import shutil
import subprocess
import sys

from intelhex import IntelHex

SIZE = 0x10000


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return "address 0x%04X: ours %02X, theirs %02X" % (i, x, y)
    return "lengths %d and %d" % (len(a), len(b))


def main():
    dump, image = sys.argv[1], sys.argv[2]
    ours = subprocess.run([dump], stdout=subprocess.PIPE, check=True).stdout
    if len(ours) != 2 * SIZE:
        sys.exit("image_dump wrote %d bytes, expected %d" % (len(ours), 2 * SIZE))
    ours_ff, ours_00 = ours[:SIZE], ours[SIZE:]

    failures = []
    hexfile = IntelHex()
    hexfile.loadhex(image)  # checks record checksums and overlaps itself
    if hexfile.maxaddr() >= SIZE:
        failures.append("intelhex: data above 0xFFFF")
    for fill, mine in ((0xFF, ours_ff), (0x00, ours_00)):
        hexfile.padding = fill
        theirs = bytes(hexfile.tobinarray(start=0, size=SIZE))
        if theirs != mine:
            failures.append("intelhex, fill %02X: %s" % (fill, first_difference(mine, theirs)))
    covered = sum(1 for a, b in zip(ours_ff, ours_00) if a == b)
    if covered != len(hexfile):
        failures.append("covered bytes: ours %d, intelhex %d" % (covered, len(hexfile)))

    # A second opinion where SRecord is installed.
    if shutil.which("srec_cat"):
        for fill, mine in ((0xFF, ours_ff), (0x00, ours_00)):
            theirs = subprocess.run(
                ["srec_cat", "-disable-sequence-warnings", image, "-Intel", "-fill", "0x%02X" % fill, "0", "0x10000",
                 "-o", "-", "-Binary"], stdout=subprocess.PIPE, check=True).stdout
            if theirs != mine:
                failures.append("srec_cat, fill %02X: %s" % (fill, first_difference(mine, theirs)))

    if failures:
        sys.exit("\n".join(failures))
    print("%d bytes covered; readers agree" % covered)


if __name__ == "__main__":
    main()
