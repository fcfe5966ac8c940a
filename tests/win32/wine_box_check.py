#!/usr/bin/python3
"""Checks what ksidu_win32_driver --box read back from a box of ks-idu.exe.

The box must carry the given caption and text, OK and "Show details" as its
only buttons while shut, and, opened, details that match the given patterns
(fnmatch, in order, one a line) and are exactly what the program's trace
noted beside the box.
"""

import argparse
import fnmatch
import re
import sys

STAMP = re.compile(r"^ *\d+\.\d{3}s ")


def beside_the_box(trace_text):
    """The lines of the trace's last note of what went beside a box."""
    found = None
    current = None
    for line in trace_text.split("\n"):
        if STAMP.match(line):
            current = None
            entry = STAMP.sub("", line, count=1)
            if entry.startswith("beside the box: "):
                current = [entry[len("beside the box: "):]]
                found = current
        elif current is not None:
            current.append(line)
    if found is not None:
        while found and found[-1] == "":
            found.pop()
    return found or []


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--driver", required=True)
    parser.add_argument("--trace", required=True)
    parser.add_argument("--caption", required=True)
    parser.add_argument("--text", required=True)
    parser.add_argument("--details", action="append", default=[])
    args = parser.parse_args()

    with open(args.driver, encoding="utf-8", errors="replace") as f:
        lines = [line.rstrip("\r") for line in f.read().split("\n")]
    with open(args.trace, encoding="utf-8", errors="replace") as f:
        noted = beside_the_box(f.read())

    def values(prefix):
        return [line[len(prefix):] for line in lines if line.startswith(prefix)]

    problems = []
    if values("box caption: ") != [args.caption]:
        problems.append(f"caption {values('box caption: ')}, expected {args.caption!r}")
    if args.text not in values("box text: "):
        problems.append(f"texts {values('box text: ')}, expected {args.text!r} among them")
    if sorted(values("box button: ")) != ["OK", "Show details"]:
        problems.append(f"buttons {values('box button: ')}, expected OK and Show details")
    shown = values("box details: ")
    if len(shown) != len(args.details) or not all(
            fnmatch.fnmatchcase(line, pattern) for line, pattern in zip(shown, args.details)):
        problems.append(f"details {shown}, expected {args.details}")
    if shown != noted:
        problems.append(f"details {shown} are not the trace's {noted}")
    if problems:
        for problem in problems:
            print(f"wine-tests: the box: {problem}", file=sys.stderr)
        return 1
    print(f"wine-tests: the box \"{args.caption}\" / \"{args.text}\" with OK, its details "
          f"behind \"Show details\": " + "; ".join(shown))
    return 0


if __name__ == "__main__":
    sys.exit(main())
