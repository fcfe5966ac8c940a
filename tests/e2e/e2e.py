#!/usr/bin/python3
"""Whole runs of the real programs: ks-idu-cli against ks-station over
pseudo-terminals, each run checked from outside.

  e2e.py --cli PATH --station PATH --preload LIBS --image FILE --work DIR SUITE [ROW...]

SUITE is one of:
  upgrade   a full upgrade with the carried image, checked byte for byte
  matrix    the fault matrix: every row in parallel, each with its own
            station and pty; prints a table of endings and times
  row       only the named rows of the matrix (as `matrix` does)
  fleet     ks-idu-cli --all over four stations at once, and --watch with a
            port that appears after the start
  list      the names of the matrix rows

Each run is bounded by a watchdog: a program that outlives its bound is
killed and the row fails. Times are printed, never asserted.

Run with Debian's python (/usr/bin/python3): it reads the image with
python3-intelhex, an Intel HEX reader independent of the tool's own.
"""

import argparse
import concurrent.futures
import fcntl
import grp
import hashlib
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

TIOCM_CAR = termios.TIOCM_CAR
TIOCM_CTS = termios.TIOCM_CTS
TIOCM_DSR = termios.TIOCM_DSR
TIOCGEXCL = 0x80045440  # Linux: is the tty in exclusive mode

ERASE_LINE = ":0100000307F5"
CLOSING_LINES = [":03000003060000F4", ":020000030501F5", ":00000008F8"]
NOT_FOUND = "Hardware error.: Station KESTRO not found."
STANDIN_WARNING = ("ks-idu-cli: warning: this build carries the stand-in firmware image, "
                   "not the station's firmware\n")
REFUSED = "Initialize error.: Station upgrade not supported."
TIMEOUT = "Upgrade error.: Command timeout."
COMM_ERROR = "Upgrade error.: Communication error."
S_INIT = "Initialize bootloader..."
S_ERASE = "Erase processor..."
S_PROG = "Programming..."
S_RESET = "Reset station..."
S_DONE = "Done."
DONE_STATUSES = [S_INIT, S_ERASE, S_PROG, S_RESET, S_DONE]

# Line numbers as ks-station counts them: 1 the erase line, then the 1,929
# programming lines, then the three closing commands.
PROGRAMMING_LINES = 1929
FIRST_CLOSING = 2 + PROGRAMMING_LINES  # 1931
LAST_LINE = FIRST_CLOSING + 2  # 1933

# Bounds after which a program counts as hung. Generous: the suite runs beside
# other tests on two cores, maybe under a sanitizer.
SLACK_SECONDS = 45
STATION_STOP_SECONDS = 15


class Config:
    cli = ""
    station = ""
    preload = ""
    image = ""
    work = ""


# ---- the image, read independently -------------------------------------------------


class Image:
    """The carried image as python3-intelhex reads it: 64 KiB, unlisted
    addresses 0xFF, and the programming lines the tool must send for it."""

    _cache = None
    _lock = threading.Lock()

    @classmethod
    def get(cls):
        with cls._lock:
            if cls._cache is None:
                cls._cache = Image(Config.image)
            return cls._cache

    def __init__(self, path):
        from intelhex import IntelHex  # Debian's python3-intelhex

        with open(path, "rb") as f:
            self.sha256 = hashlib.sha256(f.read()).hexdigest()
        hexfile = IntelHex()
        hexfile.padding = 0xFF
        hexfile.loadhex(path)
        self.memory = bytes(hexfile.tobinarray(start=0, size=65536))
        self.lines = []
        for address in range(0, 65536, 16):
            block = self.memory[address : address + 16]
            if block == b"\xff" * 16:
                continue
            fields = bytes([16, address >> 8, address & 0xFF, 0]) + block
            checksum = (256 - sum(fields) % 256) % 256
            self.lines.append(":" + (fields + bytes([checksum])).hex().upper())


# ---- one station -------------------------------------------------------------------


def write_lines(path, bits):
    """Sets the station's modem lines in the ptymodem line file, under the
    library's lock, keeping the word after them (its call counter)."""
    with open(path, "r+b") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        try:
            f.seek(0)
            f.write(struct.pack("=i", bits))
            f.flush()
        finally:
            fcntl.flock(f, fcntl.LOCK_UN)


class Station:
    """ks-station on a pty of its own, with its own line-file directory."""

    def __init__(self, directory, args, modem_dir=None):
        self.dir = directory
        os.makedirs(directory, exist_ok=True)
        # Stations of one run share the directory: the tool reads one.
        self.modem_dir = modem_dir or os.path.join(directory, "modem")
        os.makedirs(self.modem_dir, exist_ok=True)
        self.summary_path = os.path.join(directory, "summary.json")
        self.dump_path = os.path.join(directory, "memory.bin")
        self.out_path = os.path.join(directory, "station.out")
        self.err_path = os.path.join(directory, "station.err")
        command = [
            Config.station,
            "--modem-dir", self.modem_dir,
            "--summary", self.summary_path,
            "--dump", self.dump_path,
        ] + list(args)
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(command, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        self.pty = self._read_name()
        self.index = int(self.pty.rsplit("/", 1)[1])
        self.line_file = os.path.join(self.modem_dir, str(self.index))
        self.summary = None
        self.memory = None
        self.exit_status = None

    def _read_name(self):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            with open(self.out_path) as f:
                line = f.readline()
            if line.endswith("\n"):
                return line.strip()
            if self.process.poll() is not None:
                break
            time.sleep(0.01)
        self.process.kill()
        self.process.wait()
        with open(self.err_path) as f:
            raise RuntimeError("ks-station gave no pty: " + f.read())

    def set_lines(self, bits):
        write_lines(self.line_file, bits)

    def stop(self):
        """Ends the station (unless it ended by itself) and reads its summary
        and memory."""
        if self.process.poll() is None:
            # Whatever the tool wrote last is read before the station goes.
            time.sleep(0.2)
            self.process.send_signal(signal.SIGTERM)
        try:
            self.exit_status = self.process.wait(timeout=STATION_STOP_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.exit_status = self.process.wait()
            raise RuntimeError("ks-station did not stop on SIGTERM")
        with open(self.summary_path) as f:
            self.summary = json.load(f)
        with open(self.dump_path, "rb") as f:
            self.memory = f.read()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    # What the station received.
    def records(self, line=None):
        return [r for r in self.summary["records"] if line is None or r["line"] == line]

    def attempts(self, line):
        return [r["attempt"] for r in self.records(line)]


# ---- the port as another program finds it ------------------------------------------


def port_state(path):
    """termios and the exclusive flag of a pty slave, through an fd of our own."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        attrs = termios.tcgetattr(fd)
        exclusive = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, b"\0" * 4))[0]
        return attrs, exclusive
    finally:
        os.close(fd)


def lock_file_of(path):
    return "/var/lock/LCK.." + os.path.basename(os.path.realpath(path))


def lock_owner(path):
    try:
        with open(lock_file_of(path)) as f:
            return int(f.read().strip() or 0)
    except (OSError, ValueError):
        return 0


def released(path, pid):
    """Problems that keep a second program from the port after the tool's run."""
    problems = []
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as e:
        return ["a second opener cannot open %s: %s" % (path, e)]
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        fcntl.flock(fd, fcntl.LOCK_UN)
    except OSError as e:
        problems.append("%s is still flock()ed: %s" % (path, e))
    finally:
        os.close(fd)
    if lock_owner(path) == pid:
        problems.append("the lock file %s still names the tool" % lock_file_of(path))
    return problems


# A program that holds an flock on a port until its standard input closes,
# under a name of its own.
FLOCK_HOLDER = """
import fcntl, os, sys
with open("/proc/self/comm", "w") as f:
    f.write("ksidu-flocker")
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
print("locked", flush=True)
sys.stdin.read()
"""


class HeldPort:
    """Another program holding a port: an flock on it, or the lock file that
    Linux serial programs honour, naming this (live) process. With
    "flock-elsewhere" this process only has the port open, without a lock,
    and a later one (a higher pid, so met later in /proc) holds the flock:
    the holder is the one to name. `pid` and `name` are the holder's."""

    def __init__(self, path, how):
        self.path = path
        self.how = how
        self.fd = None
        self.lock = None
        self.holder = None
        self.pid = os.getpid()
        if how == "flock":
            self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        elif how == "flock-elsewhere":
            self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            self.holder = subprocess.Popen([sys.executable, "-c", FLOCK_HOLDER, path],
                                           stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            if self.holder.stdout.readline() != b"locked\n":
                raise RuntimeError("the flock holder did not take the lock")
            self.pid = self.holder.pid
        else:
            self.lock = lock_file_of(path)
            fd = os.open(self.lock, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            os.write(fd, b"%10d\n" % os.getpid())
            os.close(fd)
        self.name = process_name(self.pid)

    def release(self):
        if self.holder is not None:
            self.holder.stdin.close()
            self.holder.wait(timeout=STATION_STOP_SECONDS)
            self.holder.stdout.close()
            self.holder = None
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        if self.lock is not None:
            try:
                os.unlink(self.lock)
            except FileNotFoundError:
                pass
            self.lock = None


# ---- one run of the tool ------------------------------------------------------------


class Run:
    """ks-idu-cli with the given ports, watched from outside until it ends."""

    def __init__(self, directory, ports, modem_dir, bound, on_sample=None, prefix=(), cli=None,
                 preload=None):
        self.trace_path = os.path.join(directory, "trace.txt")
        self.out_path = os.path.join(directory, "cli.out")
        self.err_path = os.path.join(directory, "cli.err")
        self.report_path = os.path.join(directory, "report.jsonl")
        if os.path.exists(self.report_path):
            os.unlink(self.report_path)
        command = list(prefix) + [cli or Config.cli, "--trace", self.trace_path, "--report",
                                  self.report_path]
        for p in ports:
            command += ["--port", p]
        env = dict(os.environ)
        env["LD_PRELOAD"] = Config.preload if preload is None else preload
        env["KSIDU_PTYMODEM_DIR"] = modem_dir
        self.ports = list(ports)
        self.samples = []  # (seconds, threads, fd count, ports held, fds other than anon inodes)
        self.hung = False
        start = time.monotonic()
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            process = subprocess.Popen(command, stdout=out, stderr=err, stdin=subprocess.DEVNULL, env=env)
        self.pid = process.pid
        while True:
            pid, status, usage = os.wait4(self.pid, os.WNOHANG)
            if pid == self.pid:
                break
            now = time.monotonic() - start
            self._sample(now)
            if on_sample:
                on_sample(self, now)
            if now > bound:
                self.hung = True
                os.kill(self.pid, signal.SIGKILL)
                _, status, usage = os.wait4(self.pid, 0)
                break
            time.sleep(0.01)
        process.returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
        self.seconds = time.monotonic() - start
        self.cpu = usage.ru_utime + usage.ru_stime
        self.status = process.returncode
        # To a file, every line of standard output begins with the seconds
        # since start: kept apart, so that the lines read as printed.
        self.unstamped = []
        self.out = []
        with open(self.out_path, errors="replace") as f:
            for line in f.read().splitlines():
                m = re.match(r"\[ *\d+\.\d{3}\] (.*)$", line)
                if not m:
                    self.unstamped.append(line)
                self.out.append(m.group(1) if m else line)
        with open(self.err_path, errors="replace") as f:
            self.err = f.read().splitlines()
        with open(self.trace_path, errors="replace") as f:
            self.trace = f.read().splitlines()
        try:
            with open(self.report_path) as f:
                self.report = [json.loads(line) for line in f.read().splitlines()]
        except (OSError, ValueError) as e:
            self.report = [{"unreadable": str(e)}]

    def _sample(self, now):
        try:
            threads = len(os.listdir("/proc/%d/task" % self.pid))
            fds = os.listdir("/proc/%d/fd" % self.pid)
            held = []
            # The serial layer's event and timer descriptors come and go with
            # its waits (the stress test counts those over 10,000 opens):
            # files, devices and pipes are what a port could leave behind.
            lasting = 0
            for fd in fds:
                try:
                    target = os.readlink("/proc/%d/fd/%s" % (self.pid, fd))
                except OSError:
                    continue
                if not target.startswith("anon_inode:"):
                    lasting += 1
                if int(fd) <= 2:
                    continue  # standard streams (stdin is /dev/null, itself a port name here)
                if target in self.ports:
                    held.append(target)
            self.samples.append((now, threads, len(fds), tuple(sorted(held)), lasting))
        except OSError:
            pass  # the process is ending

    @staticmethod
    def _percent(line):
        m = re.match(r"(\d+)%(  \d+ resends?)?$", line)
        return int(m.group(1)) if m else None

    def statuses(self):
        """Status lines, without the progress, the station's port and the summary."""
        return [l for l in self.out if self._percent(l) is None
                and not l.startswith("The station answered on ") and not l.startswith("Summary: ")
                and not is_latency_advice(l)]

    def percents(self):
        return [p for p in (self._percent(l) for l in self.out) if p is not None]

    def summaries(self):
        return [l for l in self.out if l.startswith("Summary: ")]

    def boxes(self):
        """Standard error without the lines of the tool's own (why a port was
        passed over, what the station holds)."""
        return [l for l in self.err if not l.startswith("ks-idu-cli: ")]

    def reasons(self):
        return [l[len("ks-idu-cli: "):] for l in self.err
                if l.startswith("ks-idu-cli: ") and not l.startswith("ks-idu-cli: warning: ")]

    def max_threads(self):
        return max((s[1] for s in self.samples), default=0)

    def max_fds(self):
        return max((s[2] for s in self.samples), default=0)

    def trace_events(self, port):
        """The opens and closes of a port in the trace, in order."""
        events = []
        for line in self.trace:
            words = line.split()
            if len(words) >= 3 and words[1] in ("open", "close") and words[2] == port:
                events.append(words[1] + (" failed" if "failed" in words[3:4] else ""))
        return events


class Checks:
    def __init__(self):
        self.failures = []

    def expect(self, condition, text):
        if not condition:
            self.failures.append(text)
        return condition

    def equal(self, got, want, what):
        return self.expect(got == want, "%s: got %r, expected %r" % (what, got, want))

    def same_list(self, got, want, what):
        """Long lists: says where they part instead of printing them."""
        if got == want:
            return True
        at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        return self.expect(False, "%s: %d items, expected %d; first difference at %d: got %r, expected %r"
                           % (what, len(got), len(want), at, got[at : at + 1], want[at : at + 1]))


def check_run_common(c, run, expected_status, expected_err, expected_statuses):
    c.expect(not run.hung, "the tool was still running after its bound and was killed")
    c.equal(run.status, expected_status, "exit status")
    c.equal(run.boxes(), expected_err, "standard error")
    c.equal(run.statuses(), expected_statuses, "status lines")
    c.equal(run.unstamped, [], "lines without their time")
    outcomes = {0: "done", 3: "not found", 4: "refused", 5: "upgrade error", 130: "interrupted"}
    outcome = outcomes.get(expected_status, "?")
    summaries = run.summaries()
    c.expect(len(summaries) == 1 and run.out[-1:] == summaries
             and summaries[0].endswith(", " + outcome),
             "no summary line last with the outcome: %r" % summaries)
    # One record of the run, read back as JSON, telling the same.
    c.equal(len(run.report), 1, "records in the report")
    r = run.report[0] if run.report else {}
    c.equal((r.get("outcome"), r.get("exit_status")), (outcome, run.status), "the record's ending")
    c.equal(r.get("image_sha256"), Image.get().sha256, "the record's image hash")
    c.expect(re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$", str(r.get("start"))),
             "the record's start is no UTC time: %r" % r.get("start"))
    boxes = run.boxes()
    if boxes and ": " in boxes[-1] and outcome != "interrupted":
        c.equal(r.get("message"), boxes[-1].split(": ", 1)[1], "the record's message")
    c.equal(r.get("lines_sent"), len([l for l in tx_lines(run) if "| :" in l]),
            "the record's lines sent (against the trace)")
    p = run.percents()
    c.expect(p == sorted(p), "progress went backwards: %r" % p[:20])
    if expected_statuses and expected_statuses[-1] == S_DONE:
        c.expect(p[-1:] == [100], "progress did not end at 100%")
    c.expect(any(l.split()[1:4] == ["end,", "exit", "status"] for l in run.trace if len(l.split()) > 3),
             "the trace has no end line")
    # Never two descriptors of the ports at once: each attempt's port was closed.
    c.expect(all(len(s[3]) <= 1 for s in run.samples), "more than one port descriptor open at once")
    # Each pty takes the same descriptors while it is open: nothing of an
    # earlier port is left behind when the scan moves on to the next.
    # (Threads are not compared: the serial layer starts a helper thread only
    # while an event wait is pending.)
    # Only ports that opened: a port refused at its open (held by another
    # program) is seen for a moment with fewer descriptors, half way in.
    per_port = {}
    for _, threads, fds, held, lasting in run.samples:
        if (len(held) == 1 and held[0].startswith("/dev/pts/")
                and "open" in run.trace_events(held[0])):
            per_port.setdefault(held[0], []).append(lasting)
    if len(per_port) >= 2:
        # The count seen most often: a sample may catch an open or a close
        # half way, or the preload library's line file open for a moment.
        cost = {p: max(set(v), key=v.count) for p, v in per_port.items()}
        c.expect(len(set(cost.values())) == 1, "descriptors differ between the ports: %r" % cost)
    # Every port that was opened was closed again.
    for port in set(run.ports):
        ev = run.trace_events(port)
        opens = ev.count("open")
        c.expect(ev.count("close") == opens, "%s: %d opens, %d closes in the trace" % (port, opens, ev.count("close")))


def check_released(c, run, port, before=None):
    for problem in released(port, run.pid):
        c.failures.append(problem)
    if before is not None:
        after = port_state(port)
        c.equal(after[1], 0, "%s: exclusive mode after the run" % port)
        c.equal(after[0], before[0], "%s: line settings after the run (as found before)" % port)


def check_full_image(c, st, what="station"):
    """The station received the whole upgrade and holds the image."""
    image = Image.get()
    first = [r for r in st.summary["records"] if r["attempt"] == 1]
    texts = [r["text"] for r in first]
    c.equal(texts[:1], [ERASE_LINE], what + ": first line")
    c.equal(len(image.lines), PROGRAMMING_LINES, "programming lines in the image")
    c.same_list(texts[1 : 1 + len(image.lines)], image.lines, what + ": programming lines (first receipts)")
    c.equal(texts[1 + len(image.lines) :], CLOSING_LINES, what + ": closing lines")
    c.expect(all(r["checksum_ok"] for r in st.summary["records"]), what + ": a record with a bad checksum")
    acknowledged = {r["text"] for r in st.summary["records"] if r["acknowledged"]}
    missing = [t for t in image.lines if t not in acknowledged]
    c.expect(not missing, "%s: %d programming lines never acknowledged by the station, the first %s"
             % (what, len(missing), missing[:1]))
    c.equal(st.summary["erase_count"], 1, what + ": erase lines acknowledged")
    c.equal(st.summary["last_command_seen"], True, what + ": last command seen")
    c.expect(st.memory == image.memory, what + ": memory differs from the image")


# ---- the full upgrade ---------------------------------------------------------------


def suite_upgrade(work):
    """One whole upgrade with every observable checked."""
    c = Checks()
    st = Station(os.path.join(work, "station"), [])
    try:
        before = port_state(st.pty)
        run = Run(work, [st.pty], st.modem_dir, 60 + SLACK_SECONDS)
        check_run_common(c, run, 0, [], DONE_STATUSES)
        check_released(c, run, st.pty, before)
    finally:
        st.stop()
    image = Image.get()
    s = st.summary
    c.equal(s["identify_frames"], 1, "identify frames")
    c.equal(s["bad_frames"], 0, "bad identify frames")
    c.equal(s["junk_bytes"], 0, "bytes that were neither frame, record nor filler")
    c.equal(s["fillers"], 0, "fillers")
    records = s["records"]
    # Exactly one record per line: erase once, no resend, nothing else.
    c.equal(len(records), 1 + PROGRAMMING_LINES + 3, "records received")
    c.same_list([r["text"] for r in records], [ERASE_LINE] + image.lines + CLOSING_LINES, "records in order")
    addresses = [int(r["text"][3:7], 16) for r in records[1 : 1 + PROGRAMMING_LINES]]
    c.expect(addresses == sorted(set(addresses)), "programming addresses are not strictly ascending")
    c.expect(all(r["attempt"] == 1 and r["acknowledged"] and r["checksum_ok"] for r in records),
             "a record was resent, unacknowledged or malformed")
    check_full_image(c, st)
    # The trace shows the port opened once and closed after the last reply.
    c.equal(run.trace_events(st.pty), ["open", "close"], "opens and closes")
    port_lines = [l.split()[1] for l in run.trace if len(l.split()) > 2 and l.split()[1] in ("tx", "rx", "close")]
    c.equal(port_lines[-1:], ["close"], "the last port event")
    print("full upgrade: exit %d in %.2f s (CPU %.2f s), %d programming lines, "
          "max %d threads, %d fds" % (run.status, run.seconds, run.cpu, len(addresses),
                                      run.max_threads(), run.max_fds()))
    return c.failures


# ---- the fault matrix ---------------------------------------------------------------


class Skipped(Exception):
    """A row this machine cannot run (said, not counted as passed)."""


def process_name(pid):
    with open("/proc/%d/comm" % pid) as f:
        return f.read().strip()


class Row:
    def __init__(self, name, title, expect_status, expect_err, statuses, station=None, lines=None,
                 ports=None, check=None, seconds=10, known_fault=None, on_sample=None, other=None,
                 reasons=None, as_nobody=False, fake_sysfs=False):
        self.name = name
        self.title = title
        self.expect_status = expect_status
        self.expect_err = expect_err
        self.statuses = statuses
        self.station = station  # ks-station arguments, None: no station
        self.lines = lines  # modem lines to give the station's pty
        # The tool's ports: "STATION" and "OTHER" for the two stations' ptys,
        # "HELD:flock", "HELD:flock-elsewhere" or "HELD:lockfile" (":OTHER")
        # for one held by someone else (see HeldPort), "FILE" and "DIR" for a
        # regular file and a directory.
        self.ports = ports
        self.other = other  # arguments of a second station, None: none
        self.check = check
        self.seconds = seconds  # about how long the row takes
        self.known_fault = known_fault
        self.on_sample = on_sample
        # The lines standard error gives for the ports passed over, in order:
        # STATION, OTHER, FILE, DIR, PID and NAME stand for the station's pty,
        # the other's, the regular file, the directory, and the process
        # holding a port (this one, or the holder HELD names) with its name.
        # None: not checked.
        self.reasons = reasons
        # The tool runs as nobody, the station's pty given to group dialout,
        # mode 660: permission denied, as before a user joins the group.
        self.as_nobody = as_nobody
        # No --port: the tool lists the machine's ports, from a sysfs tree of
        # the row's own (mounted over /sys/class/tty in a mount namespace of
        # its own) that holds only the kernel console's serial port.
        self.fake_sysfs = fake_sysfs


def is_latency_advice(line):
    return (line.startswith("The station's answers on ") or " is an FTDI adapter " in line) \
        and "latency timer" in line


def c_latency_timer(c, row, run, st, other):
    check_full_image(c, st)
    r = run.report[0] if run.report else {}
    median, p99 = r.get("reply_ms_median"), r.get("reply_ms_p99")
    # The figures themselves are timings, measured by tools/bench: here only
    # that the record has them, and that the run said what they cost.
    c.expect(isinstance(median, (int, float)) and isinstance(p99, int) and median <= p99,
             "the record's answer times: median %r, 99th percentile %r" % (median, p99))
    advice = [l for l in run.out if is_latency_advice(l)]
    c.equal(len(advice), 1, "latency advice lines on standard output")
    c.equal(r.get("latency_advice"), advice[0] if advice else None, "the record's advice")
    c.expect(re.search(r"took \d+ s instead of about \d+ s", advice[0] if advice else ""),
             "the advice gives no cost: %r" % advice)
    c.expect(any("answered " in l and " ms after the line had left" in l for l in run.trace),
             "the trace has no answer times")


def c_answer_times(c, row, run, st, other):
    check_full_image(c, st)
    r = run.report[0] if run.report else {}
    c.expect(isinstance(r.get("reply_ms_median"), (int, float)), "no median answer time in the record")
    c.equal(r.get("latency_advice"), None, "the record's advice on an unhurried line")
    summary = run.summaries()[0] if run.summaries() else ""
    c.expect(re.search(r", replies after [0-9.]+ ms \(median\), done$", summary),
             "the summary has no median: %r" % summary)


def faults(*rules):
    args = []
    for r in rules:
        args += ["--fault", r]
    return args


def c_identify(frames):
    def check(c, row, run, st, other):
        c.equal(st.summary["identify_frames"], frames, "identify frames the station saw")
        c.equal(st.summary["bad_frames"], 0, "bad identify frames")
        c.equal(st.summary["records"], [], "records after no acceptance")

    return check


def tx_lines(run):
    return [l.split(None, 1)[1] for l in run.trace if l.split()[1:2] == ["tx"]]


def c_nothing_written(c, row, run, st, other):
    """The port was given up before a byte was written to it."""
    c.equal(st.summary["identify_frames"], 0, "identify frames")
    c.equal(st.summary["junk_bytes"], 0, "bytes the station received")
    c.equal(tx_lines(run), [], "writes in the trace")


def c_held_back(c, row, run, st, other):
    """Four attempts whose frame never left: each write ran into its time-out."""
    c.equal(st.summary["identify_frames"], 0, "identify frames")
    c.equal(st.summary["junk_bytes"], 0, "bytes the station received")
    tx = tx_lines(run)
    c.equal(len([t for t in tx if "[10]" in t]), 4, "identify frames written")
    c.equal(len([t for t in tx if "only 0 of 10 bytes sent" in t]), 4, "writes that ran out of time")


def c_done(c, row, run, st, other):
    check_full_image(c, st)


def c_erase_failed(c, row, run, st, other):
    c.equal(st.attempts(1), [1], "erase line receipts")
    c.equal(st.records(2), [], "programming lines after a failed erase")


def c_three_timeouts(c, row, run, st, other):
    c.equal(st.attempts(2), [1, 2, 3, 4], "receipts of the first programming line")
    c.expect(st.summary["fillers"] >= 3, "fewer than three fillers")
    check_full_image(c, st)


def c_two_and_two(c, row, run, st, other):
    c.equal(st.attempts(2), [1, 2, 3, 4], "receipts of the first programming line")
    c.equal(st.summary["fillers"], 2, "fillers")
    c.equal(st.records(3), [], "lines after the failed one")
    c.equal(st.summary["last_command_seen"], False, "last command seen")


def c_last_never_acked(c, row, run, st, other):
    c.equal(st.attempts(LAST_LINE), [1, 2, 3, 4], "receipts of the last closing command")
    c.expect(st.summary["fillers"] >= 3, "fewer than three fillers")
    c.expect(S_DONE not in run.out, "Done. shown")


def c_late_then_refused(c, row, run, st, other):
    check_full_image(c, st)
    c.equal(st.attempts(5), [1, 2], "receipts of the line answered late")
    c.equal(st.attempts(6), [1, 2], "receipts of the refused line")


def c_each_line_once(c, row, run, st, other):
    check_full_image(c, st)
    c.equal(len(st.records()), LAST_LINE, "lines received (none twice)")


def c_hang_up(c, row, run, st, other):
    c.equal(st.summary["hung_up"], True, "the station hung up")
    c.equal(len(st.records()), 500, "records before the hang-up")
    # As a pulled USB adapter: the box as ever, the reason beside it.
    c.equal([r for r in run.reasons()
             if r.startswith(st.pty + ": the device is gone (unplugged?): ")], run.reasons()[:1],
            "the line before the station's saying the device is gone")


def c_held_then_station(c, row, run, st, other):
    check_full_image(c, st)
    c.equal(run.trace_events(other.pty), ["open failed"], "the held port")
    c.equal(other.summary["identify_frames"] + other.summary["junk_bytes"], 0,
            "bytes that reached the held port")


def c_two_silent(c, row, run, st, other):
    c.equal(st.summary["identify_frames"], 4, "frames on the first port")
    c.equal(other.summary["identify_frames"], 1, "frames on the second port")


def c_silent_then_station(c, row, run, st, other):
    c.equal(st.summary["identify_frames"], 4, "frames on the silent first port")
    c.equal(other.summary["identify_frames"], 1, "frames on the station's port")
    check_full_image(c, other, "second station")


def c_signal(c, row, run, st, other):
    c.expect(S_PROG in run.out, "the signal came before programming")
    c.equal(st.summary["last_command_seen"], False, "last command seen")


def send_term_while_programming(run, now):
    if getattr(run, "signalled", False):
        return
    try:
        with open(run.out_path) as f:
            text = f.read()
    except OSError:
        return
    if "] 5%\n" in text:
        os.kill(run.pid, signal.SIGTERM)
        run.signalled = True


FAIL_INIT = [S_INIT]
FAIL_ERASE = [S_INIT, S_ERASE]
FAIL_PROG = [S_INIT, S_ERASE, S_PROG]
FAIL_RESET = [S_INIT, S_ERASE, S_PROG, S_RESET]

ROWS = [
    Row("silent", "silent station", 3, [NOT_FOUND], FAIL_INIT, station=["--identify", "silent"],
        check=c_identify(4), seconds=4.5),
    Row("refusal", "refusal", 4, [REFUSED], FAIL_INIT, station=["--identify", "refuse"],
        check=c_identify(1), seconds=1.5),
    Row("bad-checksum", "bad checksum", 3, [NOT_FOUND], FAIL_INIT, station=["--identify", "badsum"],
        check=c_identify(4), seconds=0.5),
    Row("fifth-frame", "answers from the 5th frame", 3, [NOT_FOUND], FAIL_INIT,
        station=["--answer-from", "5"], check=c_identify(4), seconds=4.5),
    Row("fourth-frame", "answers from the 4th frame", 0, [], DONE_STATUSES,
        station=["--answer-from", "4"], check=c_done, seconds=4.5),
    Row("no-carrier", "no carrier detect", 3, [NOT_FOUND], FAIL_INIT, station=[],
        lines=TIOCM_CTS | TIOCM_DSR, check=c_nothing_written, seconds=0.5),
    Row("cts-held", "CTS held inactive", 3, [NOT_FOUND], FAIL_INIT, station=[],
        lines=TIOCM_CAR | TIOCM_DSR, check=c_held_back, seconds=8.5),
    Row("dsr-held", "DSR held inactive", 3, [NOT_FOUND], FAIL_INIT, station=[],
        lines=TIOCM_CAR | TIOCM_CTS, check=c_held_back, seconds=8.5),
    Row("erase-timeout", "erase never answered", 5, [TIMEOUT], FAIL_ERASE,
        station=faults("1=silent"), check=c_erase_failed, seconds=11.5),
    Row("erase-negative", "negative reply to the erase", 5, [COMM_ERROR], FAIL_ERASE,
        station=faults("1=negative"), check=c_erase_failed, seconds=1.5),
    Row("three-timeouts", "3 time-outs, then an ack", 0, [], DONE_STATUSES,
        station=faults("2:1=silent", "2:2=silent", "2:3=silent"), check=c_three_timeouts, seconds=9),
    Row("two-and-two", "2 time-outs, 2 negatives", 5, [COMM_ERROR], FAIL_PROG,
        station=faults("2:1=silent", "2:2=silent", "2:3=negative", "2:4=negative"),
        check=c_two_and_two, seconds=10.5),
    Row("last-never-acked", "last command never answered", 5, [TIMEOUT], FAIL_RESET,
        station=faults("%d=silent" % LAST_LINE), check=c_last_never_acked, seconds=5.5),
    Row("split", "replies split byte by byte", 0, [], DONE_STATUSES,
        station=faults(*["%d=split" % n for n in (1, 2, 3, 500, 1930, 1931, 1932, 1933)]),
        check=c_done, seconds=2),
    Row("garbage-echo", "garbage and echoes first", 0, [], DONE_STATUSES,
        station=faults(*["%d=%s" % (n, "garbage" if n % 2 else "echo") for n in range(1, 41)]
                       + ["%d=garbage" % n for n in (1930, 1931, 1933)] + ["1932=echo"]),
        check=c_done, seconds=2),
    Row("two-replies", "two replies at once", 0, [], DONE_STATUSES,
        station=faults("1=two", "3=two", "1000=two", "1932=two"), check=c_answer_times,
        seconds=1.5),
    Row("two-then-negative", "two replies, the next line refused", 0, [], DONE_STATUSES,
        station=faults("5=two", "6:1=negative"), check=c_done, seconds=1.5),
    Row("late-then-refused", "a reply 1.4 s late, the next line refused", 0, [], DONE_STATUSES,
        station=faults("5:1=late:1400", "6:1=negative"), check=c_late_then_refused, seconds=5),
    Row("echo-last", "echo and CR LF before the last ack", 0, [], DONE_STATUSES,
        station=faults("%d=echocrlf" % LAST_LINE), check=c_each_line_once, seconds=1.5),
    Row("echo-every-line", "echo and CR LF before every ack", 0, [], DONE_STATUSES,
        station=faults("*=echocrlf"), check=c_each_line_once, seconds=2),
    Row("latency-timer", "paced, each reply held to a 16 ms grid (an FTDI adapter's timer)", 0, [],
        DONE_STATUSES, station=["--baud", "19200", "--latency-timer", "16"],
        check=c_latency_timer, seconds=63.5),
    Row("echo-erase", "the erase echoed on arrival, acknowledged after 2 s", 0, [], DONE_STATUSES,
        station=["--erase-ms", "2000"] + faults("1=echoarrive"), check=c_each_line_once,
        seconds=3.5),
    Row("echo-slow-lines", "lines echoed on arrival, acknowledged after 300 ms", 0, [],
        DONE_STATUSES, station=faults(*["%d=echoarrive:300" % n for n in (2, 1000, 1930, LAST_LINE)]),
        check=c_each_line_once, seconds=2.5),
    Row("hang-up", "station hangs up mid-programming", 5, [TIMEOUT], FAIL_PROG,
        station=["--hang-up-after", "500"], check=c_hang_up, seconds=5.5),
    Row("held-flock", "port held by another program (flock)", 3, [NOT_FOUND], FAIL_INIT,
        station=[], ports=["HELD:flock"], check=c_nothing_written, seconds=0.5,
        reasons=["STATION: in use by another program (process PID, NAME)"]),
    Row("held-flock-elsewhere", "port open in one program, flock()ed by another", 3, [NOT_FOUND],
        FAIL_INIT, station=[], ports=["HELD:flock-elsewhere"], check=c_nothing_written,
        seconds=0.5, reasons=["STATION: in use by another program (process PID, NAME)"]),
    Row("held-lockfile", "port held by another program (lock file)", 3, [NOT_FOUND], FAIL_INIT,
        station=[], ports=["HELD:lockfile"], check=c_nothing_written, seconds=0.5,
        reasons=["STATION: in use by another program (process PID, NAME)"]),
    Row("missing-device", "a port that does not exist", 3, [NOT_FOUND], FAIL_INIT,
        ports=["/dev/ttyKS-missing"], seconds=0.5,
        reasons=["/dev/ttyKS-missing: does not exist"]),
    Row("permission-denied", "a port the user may not open (not in dialout)", 3, [NOT_FOUND],
        FAIL_INIT, station=[], check=c_nothing_written, seconds=0.5, as_nobody=True,
        reasons=["STATION: permission denied (the device belongs to group dialout; join it with: "
                 "sudo usermod -aG dialout $USER, then log in again)"]),
    Row("no-ports", "no serial port listed (only the kernel console)", 3, [NOT_FOUND], FAIL_INIT,
        seconds=0.5, fake_sysfs=True,
        reasons=["no serial ports found (/dev/ttyS0 is left out: the kernel writes its console "
                 "there)"]),
    Row("held-then-station", "a held port, then the station", 0, [], DONE_STATUSES,
        station=[], other=[], ports=["HELD:flock:OTHER", "STATION"], check=c_held_then_station,
        seconds=2),
    Row("two-silent", "two silent ports: 4 frames, then 1", 3, [NOT_FOUND], FAIL_INIT,
        station=["--identify", "silent"], other=["--identify", "silent"],
        ports=["STATION", "OTHER"], check=c_two_silent, seconds=5.5),
    Row("silent-then-station", "a silent port, then the station", 0, [], DONE_STATUSES,
        station=["--identify", "silent"], other=[], ports=["STATION", "OTHER"],
        check=c_silent_then_station, seconds=5.5),
    Row("accept8", "8-byte acceptance", 0, [], DONE_STATUSES, station=["--identify", "accept8"],
        check=c_done, seconds=2.5),
    Row("not-serial", "/dev/null, a file, a directory", 3, [NOT_FOUND], FAIL_INIT,
        ports=["/dev/null", "FILE", "DIR"], seconds=0.5,
        reasons=["/dev/null: not a serial port", "FILE: not a serial port",
                 "DIR: not a serial port"]),
    Row("not-serial-then-station", "/dev/null, file, directory, then the station", 0, [],
        DONE_STATUSES, station=[], ports=["/dev/null", "FILE", "DIR", "STATION"], check=c_done,
        seconds=1.5),
    Row("sigterm", "SIGTERM while programming", 130, [], FAIL_PROG,
        station=["--line-ms", "5"], check=c_signal, seconds=2, on_sample=send_term_while_programming),
]


def run_row(row, work):
    """Runs one row; returns (row, run, failures)."""
    c = Checks()
    directory = os.path.join(work, row.name)
    reachable = cli = preload = None
    if row.as_nobody and os.geteuid() == 0:
        # The checkout may live in a folder only root can enter (/root, a
        # 0700 home): the other user gets the program, the preload library
        # and the row's folder in a folder of its own that it can reach.
        reachable = tempfile.mkdtemp(prefix="ksidu-e2e-")
        os.chmod(reachable, 0o755)
        directory = os.path.join(reachable, row.name)
        cli = os.path.join(reachable, os.path.basename(Config.cli))
        shutil.copy2(Config.cli, cli)
        libs = []
        for i, lib in enumerate(p for p in Config.preload.split(":") if p):
            libs.append(os.path.join(reachable, "%d-%s" % (i, os.path.basename(lib))))
            shutil.copy2(lib, libs[-1])
        preload = ":".join(libs)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    modem_dir = os.path.join(directory, "modem")
    st = other = held = run = None
    regular = os.path.join(directory, "regular-file")
    regular_text = b"not a serial port\n" * 4
    try:
        if row.station is not None:
            st = Station(os.path.join(directory, "station"), row.station, modem_dir)
            if row.lines is not None:
                st.set_lines(row.lines)
        if row.other is not None:
            other = Station(os.path.join(directory, "other"), row.other, modem_dir)
        os.makedirs(modem_dir, exist_ok=True)
        ports = []
        for p in [] if row.fake_sysfs else row.ports or ["STATION"]:
            if p in ("STATION", "OTHER"):
                ports.append((st if p == "STATION" else other).pty)
            elif p.startswith("HELD:"):
                target = (other if p.endswith(":OTHER") else st).pty
                held = HeldPort(target, p.split(":")[1])
                ports.append(target)
            elif p == "FILE":
                with open(regular, "wb") as f:
                    f.write(regular_text)
                ports.append(regular)
            elif p == "DIR":
                d = os.path.join(directory, "a-directory")
                os.makedirs(d, exist_ok=True)
                ports.append(d)
            else:
                ports.append(p)
        ptys = [p for p in ports if p.startswith("/dev/pts/") and not (held and held.path == p)]
        before = {p: port_state(p) for p in ptys}
        prefix = []
        if row.as_nobody:
            if os.geteuid() != 0:
                raise Skipped("needs root to run the tool as another user")
            for p in ptys:
                os.chown(p, 0, grp.getgrnam("dialout").gr_gid)
                os.chmod(p, 0o660)
            os.chmod(directory, 0o777)  # the trace and the report
            prefix = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        if row.fake_sysfs:
            if os.geteuid() != 0 or subprocess.call(["unshare", "-m", "true"]) != 0:
                raise Skipped("needs a mount namespace of its own")
            tty = os.path.join(directory, "sys-class-tty")
            os.makedirs(os.path.join(tty, "ttyS0", "device"))
            os.makedirs(os.path.join(tty, "console"))
            with open(os.path.join(tty, "ttyS0", "type"), "w") as f:
                f.write("4\n")
            with open(os.path.join(tty, "console", "active"), "w") as f:
                f.write("ttyS0\n")
            # The tool must never see the real tree: it would open the real ports.
            prefix = ["unshare", "-m", "sh", "-c",
                      'mount --bind "$0" /sys/class/tty && exec "$@"', tty]
            ports = []
        run = Run(directory, ports, modem_dir, row.seconds * 3 + SLACK_SECONDS, row.on_sample,
                  prefix, cli, preload)
        if held:
            held.release()
        check_run_common(c, run, row.expect_status, row.expect_err, row.statuses)
        if row.reasons is not None:
            names = {"STATION": st.pty if st else "", "OTHER": other.pty if other else "",
                     "FILE": regular, "DIR": os.path.join(directory, "a-directory"),
                     "PID": str(held.pid if held else os.getpid()),
                     "NAME": held.name if held else process_name(os.getpid())}
            want = [re.sub(r"\b(STATION|OTHER|FILE|DIR|PID|NAME)\b", lambda m: names[m.group(1)], r)
                    for r in row.reasons]
            c.equal(run.reasons(), want, "why each port was passed over")
        if st and row.station and "--hang-up-after" in row.station:
            # The pty is gone with the station (its number may already serve
            # another program): only the tool's lock must be gone.
            c.expect(lock_owner(st.pty) != run.pid, "the lock file still names the tool")
        else:
            for p, state in before.items():
                check_released(c, run, p, state)
        if "FILE" in (row.ports or []):
            with open(regular, "rb") as f:
                c.expect(f.read() == regular_text, "the regular file was changed")
        for s in (st, other):
            if s:
                s.stop()
        if row.check:
            row.check(c, row, run, st, other)
    except Skipped as e:
        print("%s: skipped: %s" % (row.name, e))
    except Exception as e:  # a broken row must not stop the others
        c.failures.append("%s: %s" % (type(e).__name__, e))
    finally:
        if held:
            held.release()
        for s in (st, other):
            if s:
                s.kill()
        if reachable:
            shutil.rmtree(reachable, ignore_errors=True)
    return row, run, c.failures


def print_table(results, out):
    header = "%-22s %-45s %-6s %-6s %7s %6s %7s %5s  %s" % (
        "row", "ending (exit status, message)", "expect", "result", "time s", "cpu s", "threads", "fds", "notes")
    out.write(header + "\n" + "-" * len(header) + "\n")
    for row, run, failures in results:
        if run is None:
            ending, seconds, cpu, threads, fds = "(no run)", 0, 0, 0, 0
        else:
            ending = "%d %s" % (run.status, run.err[-1] if run.err else (run.statuses()[-1:] or [""])[0])
            seconds, cpu, threads, fds = run.seconds, run.cpu, run.max_threads(), run.max_fds()
        if row.known_fault:
            verdict = "KNOWN" if failures else "MENDED"
        else:
            verdict = "FAIL" if failures else "ok"
        out.write("%-22s %-45s %-6d %-6s %7.2f %6.2f %7d %5d  %s\n" % (
            row.name, ending[:45], row.expect_status, verdict, seconds, cpu, threads, fds,
            row.title))
        for f in failures:
            out.write("    - %s\n" % f)


def suite_matrix(work, names, include_known):
    rows = [r for r in ROWS if (names and r.name in names) or (not names and (include_known or not r.known_fault))]
    unknown = set(names) - {r.name for r in ROWS}
    if unknown:
        return ["no such row: " + ", ".join(sorted(unknown))]
    # The rows mostly wait (time-outs); they run side by side, the longest first.
    rows.sort(key=lambda r: -r.seconds)
    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=min(8, len(rows))) as pool:
        results = list(pool.map(lambda r: run_row(r, work), rows))
    results.sort(key=lambda x: ROWS.index(x[0]))
    wall = time.monotonic() - start
    with open(os.path.join(work, "fault-matrix.txt"), "w") as f:
        print_table(results, f)
        f.write("wall time %.1f s for %d rows\n" % (wall, len(rows)))
    print_table(results, sys.stdout)
    print("wall time %.1f s for %d rows (the rows run side by side)" % (wall, len(rows)))
    failures = []
    for row, run, fails in results:
        failures += ["%s: %s" % (row.name, f) for f in fails]
    return failures


# ---- --all and --watch: several stations through one command ------------------------


FLEET_LINE = re.compile(r"^\[ *(\d+\.\d{3})\] (\S+): (.*)$")


def fleet_lines(text):
    """The phase lines of a --all or --watch on a pipe: (port, seconds, text)."""
    lines = []
    for line in text.splitlines():
        m = FLEET_LINE.match(line)
        if m:
            lines.append((m.group(2), float(m.group(1)), m.group(3)))
    return lines


def summary_rows(text):
    """The summary table's rows, as lists of cells (two spaces or more apart)."""
    if "\nSummary\n" not in text:
        return []
    rows = [re.split(r"  +", l.strip()) for l in text.split("\nSummary\n", 1)[1].splitlines()[1:]]
    return [r for r in rows if len(r) >= 3]


def runs_of(pid):
    """The per-port runs a coordinator has started and not yet reaped."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        if ppid == pid:
            found.append(int(entry))
    return found


def ports_held(pids, ports):
    held = set()
    for pid in pids:
        try:
            for fd in os.listdir("/proc/%d/fd" % pid):
                try:
                    target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
                except OSError:
                    continue
                if target in ports and int(fd) > 2:
                    held.add(target)
        except OSError:
            pass
    return held


class Fleet:
    """ks-idu-cli --all or --watch, output to files, watched from outside."""

    def __init__(self, directory, args, modem_dir, ports):
        self.out_path = os.path.join(directory, "cli.out")
        self.err_path = os.path.join(directory, "cli.err")
        self.trace = os.path.join(directory, "run.trace")
        env = dict(os.environ)
        env["LD_PRELOAD"] = Config.preload
        env["KSIDU_PTYMODEM_DIR"] = modem_dir
        self.ports = ports
        self.most_held = 0
        self.run_pids = set()
        self.start = time.monotonic()
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen([Config.cli, "--trace", self.trace] + args, stdout=out,
                                            stderr=err, stdin=subprocess.DEVNULL, env=env)

    def sample(self):
        pids = runs_of(self.process.pid)
        self.run_pids.update(pids)
        self.most_held = max(self.most_held, len(ports_held(pids, self.ports)))

    def out(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def wait_for(self, what, bound):
        """Samples until what(output) holds or the program ends; False after bound seconds."""
        deadline = time.monotonic() + bound
        while time.monotonic() < deadline:
            self.sample()
            if what(self.out()):
                return True
            if self.process.poll() is not None:
                return what(self.out())
            time.sleep(0.01)
        return False

    def finish(self, bound):
        if not self.wait_for(lambda _: self.process.poll() is not None, bound):
            self.process.kill()
            self.process.wait()
            return False
        self.seconds = time.monotonic() - self.start
        with open(self.err_path, errors="replace") as f:
            self.err = f.read()
        return True


def check_fleet_ports(c, run, stations, before):
    """Every port released as found, its lock file gone, no run left behind."""
    for st in stations:
        for problem in released(st.pty, run.process.pid):
            c.failures.append(problem)
        c.expect(not os.path.exists(lock_file_of(st.pty)), "%s: a lock file is left" % st.pty)
        after = port_state(st.pty)
        c.equal(after[1], 0, "%s: exclusive mode after the run" % st.pty)
        c.equal(after[0], before[st.pty][0], "%s: line settings after the run" % st.pty)
    left = [p for p in run.run_pids if os.path.exists("/proc/%d" % p)
            and open("/proc/%d/stat" % p).read().rsplit(")", 1)[1].split()[0] != "Z"]
    c.equal(left, [], "per-port runs still alive after the command")


def fleet_all(work):
    """Four stations at once through one ks-idu-cli --all: two clean, one that
    refuses a programming line four times, one paced at 57,600 baud."""
    c = Checks()
    directory = os.path.join(work, "all")
    shutil.rmtree(directory, ignore_errors=True)
    modem = os.path.join(directory, "modem")
    kinds = [("clean-1", []), ("clean-2", []),
             ("refuses", faults("2:1=negative", "2:2=negative", "2:3=negative", "2:4=negative")),
             ("paced", ["--baud", "57600"])]
    stations = []
    run = None
    try:
        for name, args in kinds:
            stations.append(Station(os.path.join(directory, name), args, modem))
        before = {st.pty: port_state(st.pty) for st in stations}
        report = os.path.join(directory, "runs.jsonl")
        args = ["--all", "--report", report]
        for st in stations:
            args += ["--port", st.pty]
        run = Fleet(directory, args, modem, [st.pty for st in stations])
        c.expect(run.finish(60 + SLACK_SECONDS), "--all still running after its bound")
        check_fleet_ports(c, run, stations, before)
        for st in stations:
            st.stop()
        clean1, clean2, refuses, paced = stations
        text = run.out()
        c.equal(run.process.returncode, 5, "exit status (the most severe: an upgrade error)")
        c.equal(run.err.replace(STANDIN_WARNING, ""), "", "standard error (beside a stand-in's warning)")
        lines = fleet_lines(text)
        for st in (clean1, clean2, paced):
            c.equal([t for p, _, t in lines if p == st.pty], DONE_STATUSES, st.pty + ": its lines")
            check_full_image(c, st, st.pty)
        c.equal([t for p, _, t in lines if p == refuses.pty], FAIL_PROG + [COMM_ERROR],
                "the refusing station's lines")
        c.equal(refuses.attempts(2), [1, 2, 3, 4], "receipts of the refused line")
        c.equal(refuses.records(3), [], "lines after the refused one")
        c.expect([s for _, s, _ in lines] == sorted(s for _, s, _ in lines),
                 "the elapsed times of the lines go backwards")
        rows = {r[0]: r for r in summary_rows(text)}
        c.equal(sorted(rows), sorted(st.pty for st in stations), "summary rows")
        for st in (clean1, clean2, paced):
            c.equal(rows.get(st.pty, [None, None])[1], "Done.", st.pty + ": summary outcome")
        c.equal(rows.get(refuses.pty, [])[1:3] + rows.get(refuses.pty, [])[-1:],
                ["Upgrade error.", "Communication error.", "3"], "the refusing station's summary row")
        c.expect("4 stations found on 4 ports: 3 done, 1 not." in text, "the summary's last line")
        # The upgrades ran side by side, not one after the other.
        c.expect(run.most_held >= 2, "never two ports held at once (most: %d)" % run.most_held)
        # Each station's run appended a record of its own to the one report.
        with open(report) as f:
            records = [json.loads(line) for line in f]
        c.equal(sorted((r["port"], r["exit_status"]) for r in records),
                sorted((st.pty, 5 if st is refuses else 0) for st in stations), "report records")
        for st in stations:
            trace = "%s.%s" % (run.trace, st.pty[len("/dev/"):].replace("/", "_"))
            c.expect(os.path.exists(trace), "no trace of its own for " + st.pty)
        print("--all, 4 stations: exit %d in %.1f s, at most %d ports held at once"
              % (run.process.returncode, run.seconds, run.most_held))
    except Exception as e:
        c.failures.append("%s: %s" % (type(e).__name__, e))
    finally:
        if run and run.process.poll() is None:
            run.process.kill()
            run.process.wait()
        for st in stations:
            st.kill()
    return ["all: " + f for f in c.failures]


def fleet_watch(work):
    """--watch: a port named before it exists (a link made later) is upgraded
    when it appears, not again while it stays, and again when it comes back;
    a record its run cannot write is kept and written after the next run;
    Ctrl+C stops the paced upgrade still going and prints the summary."""
    c = Checks()
    directory = os.path.join(work, "watch")
    shutil.rmtree(directory, ignore_errors=True)
    modem = os.path.join(directory, "modem")
    stations = []
    run = None
    try:
        # Its erase takes a while: time to make its record file unwritable.
        late = Station(os.path.join(directory, "late"), ["--erase-ms", "2000"], modem)
        paced = Station(os.path.join(directory, "paced"), ["--baud", "19200"], modem)
        stations = [late, paced]
        before = {st.pty: port_state(st.pty) for st in stations}
        link = os.path.join(directory, "station-link")
        report = os.path.join(directory, "runs.jsonl")
        rotated = os.path.join(directory, "runs-1.jsonl")
        run = Fleet(directory, ["--watch", "--report", report, "--port", link, "--port", paced.pty],
                    modem, [st.pty for st in stations])

        def records(path):
            with open(path) as f:
                return [json.loads(line) for line in f.read().splitlines()]

        def lines_of(port, text):
            return [t for p, _, t in fleet_lines(text) if p == port]

        bound = 30 + SLACK_SECONDS
        c.expect(run.wait_for(lambda t: S_PROG in lines_of(paced.pty, t), bound),
                 "the paced station's programming never began")
        os.symlink(late.pty, link)
        c.expect(run.wait_for(lambda t: lines_of(link, t).count(S_DONE) == 1, bound),
                 "the station behind the new link was not upgraded")
        # It stays, and answers: not upgraded again.
        time.sleep(2.5)
        os.unlink(link)
        c.expect(run.wait_for(lambda t: "port gone" in lines_of(link, t), bound),
                 "the link's removal was not noticed")
        # The record file rotated between two runs: the next record makes a
        # new file of the old name.
        c.equal([r["outcome"] for r in records(report)], ["done"], "records before the rotation")
        os.rename(report, rotated)
        os.symlink(late.pty, link)
        # A folder where the file was, after the run has checked it: the run
        # cannot write its record; the coordinator keeps it and writes it when
        # the next run (the paced one, stopped below) has ended.
        c.expect(run.wait_for(lambda t: lines_of(link, t).count(S_ERASE) == 2, bound),
                 "the station was not upgraded again when its port came back")
        os.remove(report)
        os.mkdir(report)
        c.expect(run.wait_for(lambda t: lines_of(link, t).count(S_DONE) == 2, bound),
                 "the second upgrade behind the link did not end with \"Done.\"")
        c.expect(run.wait_for(lambda t: any(l.startswith("record not written") for l in lines_of(link, t)),
                              bound), "no word of the record that was not written")
        os.rmdir(report)
        # "Done." is shown a moment before its run has ended: Ctrl+C only after that.
        c.expect(run.wait_for(lambda _: len(runs_of(run.process.pid)) == 1, bound),
                 "the second run did not end")
        c.expect(run.process.poll() is None, "--watch ended by itself")
        run.process.send_signal(signal.SIGINT)
        c.expect(run.finish(bound), "--watch still running after Ctrl+C")
        check_fleet_ports(c, run, stations, before)
        for st in stations:
            st.stop()
        text = run.out()
        c.equal(run.process.returncode, 130, "exit status (a run was stopped)")
        c.equal(run.err.replace(STANDIN_WARNING, ""), "", "standard error (beside a stand-in's warning)")
        kept = ("record not written: cannot append to the report file '%s': Is a directory; kept, "
                "to be written after the next run" % report)
        c.equal(lines_of(link, text), ["port appeared"] + DONE_STATUSES + ["port gone", "port appeared"]
                + DONE_STATUSES + [kept, "record written"], "the link's lines")
        c.equal(lines_of(paced.pty, text), FAIL_PROG + ["stopped"], "the paced station's lines")
        c.equal([(r["port"], r["outcome"]) for r in records(rotated)], [(link, "done")],
                "the rotated record file")
        c.equal(sorted((r["port"], r["outcome"]) for r in records(report)),
                sorted([(link, "done"), (paced.pty, "interrupted")]), "the new record file")
        c.equal(late.summary["erase_count"], 2, "upgrades of the station behind the link")
        c.equal(late.summary["identify_frames"], 2, "identify frames it saw (one per connection)")
        # Two whole upgrades: the image twice over, once per connection.
        image = Image.get()
        texts = [r["text"] for r in late.summary["records"] if r["attempt"] == 1]
        c.expect(texts == 2 * ([ERASE_LINE] + image.lines + CLOSING_LINES),
                 "the station behind the link did not receive two whole upgrades")
        c.expect(late.memory == image.memory, "the station behind the link: memory differs")
        c.equal(paced.summary["last_command_seen"], False, "the paced station's last command")
        rows = summary_rows(text)
        c.equal([r[:2] for r in rows], [[paced.pty, "stopped"], [link, "Done."], [link, "Done."]],
                "summary rows")
        c.expect("3 stations found on 2 ports: 2 done, 1 not. 1 run stopped." in text,
                 "the summary's last line")
        print("--watch: exit %d in %.1f s" % (run.process.returncode, run.seconds))
    except Exception as e:
        c.failures.append("%s: %s" % (type(e).__name__, e))
    finally:
        if run and run.process.poll() is None:
            run.process.kill()
            run.process.wait()
        for st in stations:
            st.kill()
    return ["watch: " + f for f in c.failures]


def suite_fleet(work):
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(lambda f: f(work), [fleet_all, fleet_watch]))
    return results[0] + results[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cli")
    parser.add_argument("--station")
    parser.add_argument("--preload", default="")
    parser.add_argument("--image")
    parser.add_argument("--work")
    parser.add_argument("suite", choices=["upgrade", "matrix", "row", "fleet", "list"])
    parser.add_argument("rows", nargs="*")
    args = parser.parse_args()
    if args.suite == "list":
        for r in ROWS:
            print("%-22s %s%s" % (r.name, r.title, "  (known fault)" if r.known_fault else ""))
        return 0
    Config.cli, Config.station, Config.preload = args.cli, args.station, args.preload
    Config.image, Config.work = args.image, args.work
    work = os.path.join(args.work, {"row": "rows"}.get(args.suite, args.suite))
    os.makedirs(work, exist_ok=True)
    if args.suite == "upgrade":
        failures = suite_upgrade(work)
    elif args.suite == "fleet":
        failures = suite_fleet(work)
    else:
        failures = suite_matrix(work, args.rows, include_known=False)
    for f in failures:
        print("FAILED: " + f)
    print("%s: %s" % (args.suite, "FAILED" if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
