#!/usr/bin/python3
"""ks-station.exe on a COM port of Wine's, mapped to a pseudo-terminal.

This script plays the tool at the pty master: it answers nothing itself, it
sends an identify frame and a short run of bootloader lines, and checks the
replies and the JSON summary. It needs a Wine prefix (WINEPREFIX) in which
the COM port is mapped to the symlink given with --link, for instance by the
registry value HKLM\\Software\\Wine\\Ports "COM9"="/tmp/com9".

Usage: wine_station_check.py --exe build/mingw/tools/station/ks-station.exe
                             --com COM9 --link /tmp/com9
"""
import argparse
import json
import os
import select
import subprocess
import sys
import tempfile
import time
import tty

IDENTIFY = bytes([0x5A, 0x0A, 0x00, 0xF1, 0x30, 0x30, 0x30, 0x30, 0xFD, 0xEB])
ERASE = b":0100000307F5"
LINE = b":10123000000102030405060708090A0B0C0D0E0F36"
CLOSING = [b":03000003060000F4", b":020000030501F5", b":00000008F8"]


def read(fd, want, seconds=5.0):
    out = b""
    end = time.monotonic() + seconds
    while len(out) < want:
        left = end - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            break
        try:
            chunk = os.read(fd, want - len(out))
        except OSError:
            break
        if not chunk:
            break
        out += chunk
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--com", required=True)
    parser.add_argument("--link", required=True)
    args = parser.parse_args()

    master, slave = os.openpty()
    tty.setraw(slave)
    if os.path.lexists(args.link):
        os.unlink(args.link)
    os.symlink(os.ttyname(slave), args.link)
    failures = []

    def check(what, got, want):
        if got != want:
            failures.append(f"{what}: got {got!r}, want {want!r}")
            print("wine_station_check:", failures[-1], file=sys.stderr, flush=True)

    with tempfile.TemporaryDirectory() as work:
        summary = os.path.join(work, "summary.json")
        # Wine's own chatter (and its server's) stays out of the result.
        log = open(os.path.join(work, "station.log"), "wb")
        station = subprocess.Popen(
            ["wine", args.exe, "--device", args.com, "--summary", "Z:" + summary.replace("/", "\\"),
             "--fault", "2:1=negative", "--hang-up-after", "4"],
            stdout=subprocess.PIPE, stderr=log)
        try:
            check("first line", station.stdout.readline().strip().decode(), args.com)
            os.write(master, IDENTIFY)
            reply = read(master, 10)
            check("identify reply length", len(reply), 10)
            os.write(master, ERASE)
            check("erase reply", read(master, 3), b".\r\n")
            os.write(master, LINE)
            check("refused line", read(master, 3), b"E\r\n")
            os.write(master, LINE)
            check("resent line", read(master, 3), b".\r\n")
            for line in CLOSING[:2]:
                os.write(master, line)
                check(line.decode(), read(master, 3), b".\r\n")
            # Line 4 ends the run: the station hangs up and exits by itself.
            try:
                check("exit status", station.wait(timeout=30), 0)
            except subprocess.TimeoutExpired:
                check("exit", "still running after 30 s", "ended")
        finally:
            if station.poll() is None:
                station.kill()
                station.wait()
        log.close()
        if failures:
            with open(os.path.join(work, "station.log"), "rb") as f:
                sys.stderr.write(f.read()[-2000:].decode(errors="replace"))
        if not os.path.exists(summary):
            check("summary", "missing", "written")
            return 1
        with open(summary) as f:
            result = json.load(f)
        check("identify frames", result["identify_frames"], 1)
        check("records", [r["text"] for r in result["records"]],
              [t.decode() for t in [ERASE, LINE, LINE] + CLOSING[:2]])
        check("attempts", [r["attempt"] for r in result["records"]], [1, 1, 2, 1, 1])
        check("hung up", result["hung_up"], True)
        check("erase count", result["erase_count"], 1)

    os.unlink(args.link)
    print("wine_station_check:", "FAILED" if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
