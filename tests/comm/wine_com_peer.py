#!/usr/bin/python3
"""The far end of a Wine COM port in the test rig.

Holds the master side of a pseudo-terminal, maps a DOS device of the Wine
prefix to its slave, appends every byte it receives to a log and echoes it
back. With --modem-dir it gives the slave modem lines (CTS, DSR, carrier)
through the state file that the ptymodem preload library reads.
"""
import argparse
import os
import pty
import select
import signal
import struct
import sys
import tty

TIOCM_CAR = 0x040
TIOCM_CTS = 0x020
TIOCM_DSR = 0x100


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--link", required=True, help="symlink to point at the slave (the COM port's device)")
    parser.add_argument("--log", required=True, help="file that receives every byte read")
    parser.add_argument("--ready", required=True, help="written with the slave path once up")
    parser.add_argument("--modem-dir", help="ptymodem state directory; no modem lines without it")
    args = parser.parse_args()

    master, slave = pty.openpty()
    # Raw, so that the bytes pass unchanged until Wine sets its own line state.
    tty.setraw(slave)
    slave_name = os.ttyname(slave)
    if args.modem_dir:
        state = os.path.join(args.modem_dir, os.path.basename(slave_name))
        with open(state, "wb") as f:
            f.write(struct.pack("=i", TIOCM_CTS | TIOCM_DSR | TIOCM_CAR))
    if os.path.lexists(args.link):
        os.remove(args.link)
    os.symlink(slave_name, args.link)

    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    log = open(args.log, "ab", buffering=0)
    with open(args.ready + ".tmp", "w") as f:
        f.write(slave_name + "\n")
    os.rename(args.ready + ".tmp", args.ready)

    # The slave stays open here too, so that the master never sees a hang-up
    # between two opens of the port.
    while not stop:
        try:
            readable, _, _ = select.select([master], [], [], 0.2)
        except InterruptedError:
            continue
        if not readable:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            continue
        log.write(data)
        os.write(master, data)
    try:
        os.remove(args.link)
    except FileNotFoundError:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
