#!/usr/bin/python3
"""The tool against the serial line's own limit.

Runs the programs of a release build against ks-station on pseudo-terminals,
all in one run so that the ratios are fair on a noisy machine, and prints
minimum, median and maximum of every figure; a full run also writes them to
docs/benchmarks.md. tools/bench builds the programs and starts this script;
`tools/bench --help` lists the options.

What is timed, and from where:
  exchange      the erase line written to the last acknowledgement, taken from
                ks-station's summary for every client alike: the time the
                erase record was complete to the time the last record was,
                plus the wire time of the erase line itself and of the last
                ". CR LF" (none unpaced)
  per exchange  from one record's completion to the next, averaged over the
                1,932 steps of a run
  CPU           user + system of the client process (wait4), or of its
                threads (/proc/PID/task/*/schedstat) over a window of a run
"""

import argparse
import datetime
import fcntl
import json
import os
import platform
import re
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TITLE = "KS_E -> IDU"
BAUD = 19200
CHAR_BITS = 10  # start bit, 8 data bits, stop bit
EXCHANGES = 1933  # erase, 1,929 programming lines, three closing commands
SENT_CHARS = 83003
RECEIVED_CHARS = 5799
WIRE_SECONDS = (SENT_CHARS + RECEIVED_CHARS) * CHAR_BITS / BAUD
SCAN_FOUR_SILENT_SECONDS = 7.0  # 4 attempts on the first port, 1 on each later one
ERASE_REPLY_TIME = 10.0
TICK = os.sysconf("SC_CLK_TCK")

# Modem-line bits of the pty line files that the ptymodem preload library reads,
# and the bit that makes it answer TIOCMIWAIT too.
TIOCM_CTS, TIOCM_CAR, TIOCM_DSR = 0x020, 0x040, 0x100
PTYMODEM_MIWAIT = 0x40000000
# A line file's 32-bit words: the bits, TIOCMGET calls, output queue, line settings.
WORD_GETS, WORD_SETS = 1, 3
MODEM_LIMIT_PER_UPGRADE = 10

MARK_BEGIN = "<!-- tools/bench writes from here -->"
MARK_END = "<!-- tools/bench writes up to here -->"


class BenchError(Exception):
    """The bench cannot go on (a program missing, a station that does not start)."""


class RunFailed(Exception):
    """One run did not end as it should; its figures are left out."""


def now():
    return time.monotonic()


# ---- Processes --------------------------------------------------------------------

LIVE = {}  # pid -> Child, for the clean-up after an interruption


class Child:
    """A program started with posix_spawn and reaped with wait4, for its rusage."""

    def __init__(self, argv, env=None, out=None, err=None, pipe_out=False, keep_fds=()):
        argv = [str(a) for a in argv]
        if "/" not in argv[0]:
            argv[0] = shutil.which(argv[0]) or argv[0]
        actions = [(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0)]
        self.out_fd = None
        write_end = None
        if pipe_out:
            self.out_fd, write_end = os.pipe()
            actions.append((os.POSIX_SPAWN_DUP2, write_end, 1))
        else:
            actions.append((os.POSIX_SPAWN_OPEN, 1, str(out or "/dev/null"),
                            os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644))
        actions.append((os.POSIX_SPAWN_OPEN, 2, str(err or "/dev/null"),
                        os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644))
        for fd in keep_fds:
            os.set_inheritable(fd, True)
        self.argv = argv
        self.start = now()
        try:
            self.pid = os.posix_spawn(argv[0], argv, env if env is not None else os.environ,
                                      file_actions=actions)
        except OSError as e:
            raise BenchError(f"cannot start {argv[0]}: {e}") from e
        finally:
            if write_end is not None:
                os.close(write_end)
        LIVE[self.pid] = self
        self.status = None
        self.rusage = None
        self.end = None
        self.killed = False
        self._buffer = b""

    def readline(self, timeout):
        """The next line of the program's standard output, or '' at the time limit or EOF."""
        deadline = now() + timeout
        while b"\n" not in self._buffer:
            left = deadline - now()
            if left <= 0:
                return ""
            ready, _, _ = select.select([self.out_fd], [], [], left)
            if not ready:
                return ""
            chunk = os.read(self.out_fd, 4096)
            if not chunk:
                return ""
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode(errors="replace")

    def _kill(self):
        self.killed = True
        self.signal(signal.SIGKILL)

    def signal(self, sig):
        if self.status is None:
            try:
                os.kill(self.pid, sig)
            except ProcessLookupError:
                pass

    def wait(self, limit):
        """Reaps the program; a program still running after limit seconds is killed."""
        if self.status is not None:
            return self.status
        timer = threading.Timer(limit, self._kill)
        timer.start()
        try:
            _, status, self.rusage = os.wait4(self.pid, 0)
        finally:
            timer.cancel()
        self.end = now()
        self.status = os.waitstatus_to_exitcode(status)
        LIVE.pop(self.pid, None)
        if self.out_fd is not None:
            os.close(self.out_fd)
            self.out_fd = None
        return self.status

    def cpu(self):
        return self.rusage.ru_utime + self.rusage.ru_stime

    def wall(self):
        return self.end - self.start


def stop_all():
    for child in list(LIVE.values()):
        child.signal(signal.SIGKILL)
        try:
            child.wait(5)
        except ChildProcessError:
            pass


def finish_all(stations):
    """Each station's summary, or the RunFailed that stands for it."""
    summaries = []
    for station in stations:
        try:
            summaries.append(station.finish())
        except RunFailed as e:
            summaries.append(e)
    return summaries


def thread_cpu_seconds(pid):
    """CPU time of the process's live threads, in seconds (ns resolution where the kernel keeps it)."""
    total = 0.0
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return None
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0]) / 1e9
        except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
            try:
                with open(f"/proc/{pid}/task/{task}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                total += (int(fields[11]) + int(fields[12])) / TICK
            except (FileNotFoundError, ProcessLookupError):
                pass
    return total


def thread_switches(pid):
    """Context switches of the process's live threads: every wake-up is one."""
    total = 0
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return None
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def peak_rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return None


class Window:
    """A stretch of the bench: the CPU the whole machine spent meanwhile, and how
    much of it was not the bench's own (other people's builds and tests)."""

    def __init__(self):
        self.start = now()
        self.machine = self._busy()
        self.ours = self._ours()
        self.load = os.getloadavg()[0]

    @staticmethod
    def _busy():
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
        idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
        return (sum(fields[:8]) - idle) / TICK

    @staticmethod
    def _ours():
        t = os.times()
        return t.user + t.system + t.children_user + t.children_system

    def close(self):
        wall = max(now() - self.start, 1e-9)
        machine = (self._busy() - self.machine) / wall
        ours = (self._ours() - self.ours) / wall
        return {"wall": wall, "machine": machine, "others": max(0.0, machine - ours),
                "load": max(self.load, os.getloadavg()[0])}


# ---- The programs --------------------------------------------------------------------


class Kit:
    def __init__(self, build, win_exe):
        self.build = Path(build).resolve()
        b = self.build
        self.station = b / "tools/station/ks-station"
        self.cli = b / "app/console/ks-idu-cli"
        self.qt = b / "app/qt/ks-idu"
        self.refclient = b / "tools/bench-kit/ks-refclient"
        self.mapwait = b / "tools/bench-kit/ks-bench-mapwait"
        self.preload = b / "tests/comm/libksidu_ptymodem.so"
        self.win_exe = Path(win_exe).resolve() if win_exe else None
        for p in (self.station, self.cli, self.refclient, self.preload):
            if not p.exists():
                raise BenchError(f"{p} not built (tools/bench builds it)")

    def tool_env(self, modem_dir):
        env = dict(os.environ)
        env["LD_PRELOAD"] = str(self.preload)
        env["KSIDU_PTYMODEM_DIR"] = str(modem_dir)
        return env


class Station:
    """One ks-station on a fresh pty, with carrier detect, CTS and DSR up."""

    count = 0

    def __init__(self, kit, work, args=(), baud=0, modem=None):
        Station.count += 1
        self.dir = Path(work) / f"station-{Station.count}"
        self.dir.mkdir(parents=True)
        # Line files are named after the pty: stations may share a directory.
        self.modem = Path(modem) if modem else self.dir / "modem"
        self.modem.mkdir(parents=True, exist_ok=True)
        self.summary_path = self.dir / "summary.json"
        argv = [kit.station, "--modem-dir", self.modem, "--summary", self.summary_path,
                "--idle-exit", "90"]
        if baud:
            argv += ["--baud", str(baud)]
        argv += list(args)
        self.child = Child(argv, pipe_out=True, err=self.dir / "station.err")
        self.port = self.child.readline(10).strip()
        if not self.port.startswith("/dev/"):
            self.child.signal(signal.SIGKILL)
            self.child.wait(5)
            raise BenchError("ks-station did not start: " +
                             (self.dir / "station.err").read_text(errors="replace"))

    def line_file(self):
        rdev = os.stat(self.port).st_rdev
        return self.modem / str((os.major(rdev) - 136) * 256 + os.minor(rdev))

    def modem_word(self, word):
        """A counter of the preload library's line file for this pty (0 if none yet)."""
        try:
            data = self.line_file().read_bytes()
        except OSError:
            return None
        start = 4 * word
        return struct.unpack("=I", data[start:start + 4])[0] if len(data) >= start + 4 else 0

    def modem_reads(self):
        """TIOCMGET calls the preload library answered for this pty so far."""
        return self.modem_word(WORD_GETS)

    def modem_sets(self):
        """DTR and RTS changes (TIOCMSET, TIOCMBIS, TIOCMBIC) answered so far."""
        return self.modem_word(WORD_SETS)

    def answer_line_waits(self):
        """The library answers TIOCMIWAIT for this pty too, as a UART's or a USB
        adapter's driver does."""
        with open(self.line_file(), "r+b") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            bits = struct.unpack("=i", f.read(4))[0]
            f.seek(0)
            f.write(struct.pack("=i", bits | PTYMODEM_MIWAIT))
            f.flush()
            fcntl.flock(f, fcntl.LOCK_UN)

    def finish(self):
        """Stops the station; its summary."""
        self.child.signal(signal.SIGTERM)
        self.child.wait(20)
        try:
            return json.loads(self.summary_path.read_text())
        except (OSError, ValueError) as e:
            raise RunFailed(f"no summary from ks-station ({e})") from e


def start_client(kit, kind, station, trace=None, cost_us=None):
    """With cost_us, the client runs with the modem-line library (the reference
    client too), each modem-line call costing that many microseconds."""
    out = station.dir / f"{kind}.out"
    err = station.dir / f"{kind}.err"
    env = None
    if cost_us is not None:
        env = kit.tool_env(station.modem)
        env["KSIDU_PTYMODEM_COST_US"] = str(int(cost_us))
    if kind == "ref":
        return Child([kit.refclient, station.port], env=env, out=out, err=err)
    argv = [kit.cli, "--port", station.port]
    if trace:
        argv += ["--trace", trace]
    if kind == "bare":
        # No modem-line emulation: the serial layer takes a pty's missing lines as up.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "KSIDU_PTYMODEM_DIR")}
        return Child(argv, env=env, out=out, err=err)
    return Child(argv, env=env or kit.tool_env(station.modem), out=out, err=err)


def exchange_of(summary, baud):
    """The exchange phase as the station saw it; RunFailed unless it was one clean upgrade."""
    records = summary.get("records", [])
    problems = []
    if len(records) != EXCHANGES:
        problems.append(f"{len(records)} records instead of {EXCHANGES}")
    if any(not (r["acknowledged"] and r["checksum_ok"] and r["attempt"] == 1) for r in records):
        problems.append("a record was resent, refused or malformed")
    if not summary.get("last_command_seen") or summary.get("erase_count") != 1:
        problems.append("the upgrade did not run from one erase to the last command")
    if summary.get("fillers") or summary.get("junk_bytes"):
        problems.append("fillers or stray bytes on the line")
    if problems:
        raise RunFailed("; ".join(problems))
    char = CHAR_BITS / baud if baud else 0.0
    steps = records[-1]["time"] - records[0]["time"]
    return {
        "seconds": steps + (len(records[0]["text"]) + 3) * char,
        "per_exchange": steps / (len(records) - 1),
        "sent": sum(len(r["text"]) for r in records),
        "received": 3 * len(records),
        "sha": summary.get("memory_sha256"),
    }


def upgrades(kit, work, kinds, baud, costs_us=None):
    """Upgrades at once, one for each client kind given, each through its own station.
    With costs_us (one per client) every client runs with the modem-line library,
    whose line files answer TIOCMIWAIT too: a USB adapter, each modem-line call
    costing that many microseconds."""
    stations = [Station(kit, work, baud=baud) for _ in kinds]
    clients = []
    results = []
    modem_reads = [None] * len(kinds)
    modem_sets = [None] * len(kinds)
    costs = costs_us or [None] * len(kinds)
    try:
        if costs_us is not None:
            for s in stations:
                s.answer_line_waits()
        clients = [start_client(kit, kind, s, cost_us=cost)
                   for kind, s, cost in zip(kinds, stations, costs)]
        for c in clients:
            c.wait(60 + (2 * WIRE_SECONDS if baud else 0))
        modem_reads = [s.modem_reads() for s in stations]
        modem_sets = [s.modem_sets() for s in stations]
    finally:
        summaries = finish_all(stations)
    for kind, s, c, summary, reads, sets, cost in zip(kinds, stations, clients, summaries,
                                                      modem_reads, modem_sets, costs):
        try:
            if isinstance(summary, Exception):
                raise summary
            if c.status != 0:
                why = (s.dir / f"{kind}.err").read_text(errors="replace").strip()
                raise RunFailed(f"{kind} ended with status {c.status}"
                                f"{' (killed at its time limit)' if c.killed else ''}: {why}")
            r = exchange_of(summary, baud)
            r.update(cpu=c.cpu(), wall=c.wall(), maxrss=c.rusage.ru_maxrss,
                     switches=c.rusage.ru_nvcsw + c.rusage.ru_nivcsw,
                     station_cpu=s.child.cpu() if s.child.rusage else None,
                     modem_reads=reads if kind == "tool" or cost is not None else None,
                     modem_sets=sets if kind == "tool" or cost is not None else None)
            results.append(r)
        except RunFailed as e:
            results.append(e)
    return results


# ---- Figures ----------------------------------------------------------------------------


def stats(values):
    return min(values), statistics.median(values), max(values)


class Report:
    def __init__(self):
        self.sections = []
        self.failures = []
        self.goals = []

    def section(self, title, note=None):
        self.sections.append({"title": title, "rows": [], "notes": [note] if note else []})
        print(f"\n== {title}", flush=True)

    def note(self, text):
        self.sections[-1]["notes"].append(text)
        print(f"   {text}", flush=True)

    def row(self, label, values, unit="", digits=3, goal=None, holds=None):
        values = [v for v in values if v is not None]
        if not values:
            cells = ["-", "-", "-"]
        else:
            cells = [f"{v:,.{digits}f}" for v in stats(values)]
        verdict = "" if holds is None else ("holds" if holds else "MISSED")
        r = {"label": label, "cells": cells, "n": len(values), "unit": unit,
             "goal": goal or "", "verdict": verdict}
        self.sections[-1]["rows"].append(r)
        if holds is not None:
            self.goals.append((label, goal, holds))
        print(f"   {label:<58} {cells[0]:>11} {cells[1]:>11} {cells[2]:>11} {unit:<6} "
              f"n={len(values):<3} {goal or ''} {verdict}", flush=True)

    def failed(self, what, error):
        text = f"{what}: {error}"
        self.failures.append(text)
        print(f"   run failed: {text}", flush=True)

    def load(self, window):
        w = window.close()
        self.note(f"machine meanwhile: {w['machine']:.2f} of {os.cpu_count()} cores busy, "
                  f"{w['others']:.2f} of them not this bench's; load average up to {w['load']:.1f}")
        return w

    def markdown(self, header):
        out = [header, ""]

        def number(section):
            m = re.match(r"(\d+)", section["title"])
            return int(m.group(1)) if m else 99

        for s in sorted(self.sections, key=number):
            out.append(f"### {s['title']}")
            out.append("")
            if s["rows"]:
                out.append("| Figure | min | median | max | unit | runs | goal | |")
                out.append("|---|--:|--:|--:|---|--:|---|---|")
                for r in s["rows"]:
                    out.append(f"| {r['label']} | {r['cells'][0]} | {r['cells'][1]} | "
                               f"{r['cells'][2]} | {r['unit']} | {r['n']} | {r['goal']} | "
                               f"{r['verdict']} |")
                out.append("")
            for n in s["notes"]:
                out.append(f"- {n}")
            if s["notes"]:
                out.append("")
        if self.goals:
            out.append("### Goals")
            out.append("")
            for label, goal, holds in self.goals:
                out.append(f"- {'holds' if holds else 'MISSED'}: {label} ({goal})")
            out.append("")
        if self.failures:
            out.append("### Runs left out")
            out.append("")
            for f in self.failures:
                out.append(f"- {f}")
            out.append("")
        return "\n".join(out)


def ms(values):
    return [v * 1e3 for v in values]


def us(values):
    return [v * 1e6 for v in values]


def paired_ratios(a, b):
    return [x / y for x, y in zip(a, b) if x is not None and y is not None and y > 0]


# ---- 1 and 3: paced exchange against the reference client ----------------------------


def paced_exchange(kit, work, report, rounds):
    report.section(f"1. Paced exchange at {BAUD:,} baud: ks-idu-cli against the reference "
                   "client and the wire")
    report.note("each round runs the three clients at the same time, each on its own pty with "
                "its own ks-station, so that all three meet the same machine (section 6 measures "
                "what upgrades side by side do to each other)")
    window = Window()
    kinds = ("tool", "ref", "bare")
    times = {k: [] for k in kinds}
    runs = {k: [] for k in kinds}
    for r in range(rounds):
        print(f"   round {r + 1}/{rounds} (about {WIRE_SECONDS:.0f} s)", flush=True)
        for kind, result in zip(kinds, upgrades(kit, work, kinds, BAUD)):
            if isinstance(result, RunFailed):
                report.failed(f"paced {kind}, round {r + 1}", result)
                times[kind].append(None)
            else:
                times[kind].append(result["seconds"])
                runs[kind].append(result)
    seen = runs["tool"] + runs["ref"]
    if seen:
        report.note(f"wire time of the exchange: {seen[0]['sent']:,} characters sent and "
                    f"{seen[0]['received']:,} received at {CHAR_BITS} bits each = "
                    f"{(seen[0]['sent'] + seen[0]['received']) * CHAR_BITS / BAUD:.3f} s")
    tool, ref, bare = times["tool"], times["ref"], times["bare"]
    report.row("wire time (computed)", [WIRE_SECONDS], "s")
    report.row("ks-idu-cli exchange", tool, "s")
    report.row("reference client exchange", ref, "s")
    report.row("ks-idu-cli on a bare pty exchange", bare, "s")
    ratios = paired_ratios(tool, ref)
    report.row("ks-idu-cli / reference client (same round)", ratios, "", 4, "≤ 1.005",
               statistics.median(ratios) <= 1.005 if ratios else None)
    ratios = paired_ratios(bare, ref)
    report.row("ks-idu-cli on a bare pty / reference client (same round)", ratios, "", 4,
               "≤ 1.005", statistics.median(ratios) <= 1.005 if ratios else None)
    report.row("ks-idu-cli / wire", [t / WIRE_SECONDS for t in tool if t], "", 4)
    report.row("reference client / wire", [t / WIRE_SECONDS for t in ref if t], "", 4)
    report.row("ks-idu-cli time above the wire, per exchange",
               [(t - WIRE_SECONDS) / EXCHANGES * 1e6 for t in tool if t], "µs", 1)
    report.row("reference client time above the wire, per exchange",
               [(t - WIRE_SECONDS) / EXCHANGES * 1e6 for t in ref if t], "µs", 1)
    report.load(window)
    return runs


def paced_cpu(report, runs):
    shares = [r["cpu"] / r["wall"] * 100 for r in runs["tool"]]
    report.row("ks-idu-cli CPU over the whole paced run (start to exit)", shares, "% core", 3,
               "< 1 %", max(shares) < 1 if shares else None)
    shares = [r["cpu"] / r["wall"] * 100 for r in runs["bare"]]
    report.row("ks-idu-cli on a bare pty, CPU over the whole paced run", shares, "% core", 3,
               "< 1 %", max(shares) < 1 if shares else None)
    report.row("reference client CPU over its paced run",
               [r["cpu"] / r["wall"] * 100 for r in runs["ref"]], "% core", 3)
    report.row("ks-idu-cli context switches per exchange, paced",
               [r["switches"] / EXCHANGES for r in runs["tool"]], "", 2)
    report.row("ks-idu-cli modem-line reads (TIOCMGET) over the run, per exchange, paced",
               [r["modem_reads"] / EXCHANGES for r in runs["tool"]
                if r["modem_reads"] is not None], "", 2)
    report.row("ks-idu-cli on a bare pty, context switches per exchange, paced",
               [r["switches"] / EXCHANGES for r in runs["bare"]], "", 2)
    report.row("reference client context switches per exchange, paced",
               [r["switches"] / EXCHANGES for r in runs["ref"]], "", 2)
    report.row("ks-idu-cli run, start to exit", [r["wall"] for r in runs["tool"]], "s")


# ---- 2: unpaced --------------------------------------------------------------------------


def unpaced_exchange(kit, work, report, runs):
    report.section("2. Unpaced exchange: time per exchange (one line out, its reply back)")
    window = Window()
    res = {"tool": [], "ref": [], "bare": []}
    for r in range(runs):
        for kind in (("tool", "ref", "bare") if r % 2 == 0 else ("bare", "ref", "tool")):
            result = upgrades(kit, work, [kind], 0)[0]
            if isinstance(result, RunFailed):
                report.failed(f"unpaced {kind}, run {r + 1}", result)
                res[kind].append(None)
            else:
                res[kind].append(result)
    tool = [r["per_exchange"] if r else None for r in res["tool"]]
    ref = [r["per_exchange"] if r else None for r in res["ref"]]
    report.row("ks-idu-cli per exchange", us([t for t in tool if t]), "µs", 1)
    report.row("reference client per exchange", us([t for t in ref if t]), "µs", 1)
    ratios = paired_ratios(tool, ref)
    report.row("ks-idu-cli / reference client (same run triple)", ratios, "", 2, "≤ 1.5",
               statistics.median(ratios) <= 1.5 if ratios else None)
    fastest = [t for t in tool if t], [t for t in ref if t]
    if all(fastest):
        report.row("ks-idu-cli / reference client, fastest run against fastest run",
                   [min(fastest[0]) / min(fastest[1])], "", 2)
    ok_tool = [r for r in res["tool"] if r]
    ok_ref = [r for r in res["ref"] if r]
    report.row("ks-idu-cli CPU per exchange (whole run / exchanges)",
               [r["cpu"] / EXCHANGES * 1e6 for r in ok_tool], "µs", 1)
    report.row("reference client CPU per exchange", [r["cpu"] / EXCHANGES * 1e6 for r in ok_ref],
               "µs", 1)
    report.row("ks-idu-cli context switches per exchange",
               [r["switches"] / EXCHANGES for r in ok_tool], "", 2)
    report.row("ks-idu-cli modem-line reads (TIOCMGET) over the run, per exchange",
               [r["modem_reads"] / EXCHANGES for r in ok_tool if r["modem_reads"] is not None], "",
               2)
    report.row("reference client context switches per exchange",
               [r["switches"] / EXCHANGES for r in ok_ref], "", 2)
    ok_bare = [r for r in res["bare"] if r]
    bare = [r["per_exchange"] if r else None for r in res["bare"]]
    report.row("ks-idu-cli on a bare pty (no modem-line emulation) per exchange",
               us([b for b in bare if b]), "µs", 1)
    ratios = paired_ratios(bare, ref)
    report.row("ks-idu-cli on a bare pty / reference client (same run triple)", ratios, "", 2,
               "≤ 1.5", statistics.median(ratios) <= 1.5 if ratios else None)
    fastest = [b for b in bare if b], [t for t in ref if t]
    if all(fastest):
        report.row("ks-idu-cli on a bare pty / reference client, fastest run against fastest run",
                   [min(fastest[0]) / min(fastest[1])], "", 2)
    report.row("ks-idu-cli on a bare pty, CPU per exchange",
               [r["cpu"] / EXCHANGES * 1e6 for r in ok_bare], "µs", 1)
    report.row("ks-idu-cli on a bare pty, context switches per exchange",
               [r["switches"] / EXCHANGES for r in ok_bare], "", 2)
    report.load(window)
    return ok_tool


# ---- 3: CPU while waiting ------------------------------------------------------------------


def erase_wait(kit, work, report, runs, kind="tool"):
    shares, wakeups = [], []
    for r in range(runs):
        station = Station(kit, work, ["--fault", "1=silent"])
        trace = station.dir / "tool.trace"
        tool = start_client(kit, kind, station, trace)
        try:
            t0 = None
            limit = now() + 15
            while now() < limit and tool.status is None:
                try:
                    if ":0100000307F5" in trace.read_text(errors="replace"):
                        t0 = now()
                        break
                except FileNotFoundError:
                    pass
                time.sleep(0.005)
            if t0 is None:
                raise RunFailed("the erase line never went out")
            c0, s0, w0 = thread_cpu_seconds(tool.pid), thread_switches(tool.pid), now()
            # Up to just before the tool's own 10 s reply time runs out.
            time.sleep(max(0.0, t0 + ERASE_REPLY_TIME - 0.2 - now()))
            c1, s1, w1 = thread_cpu_seconds(tool.pid), thread_switches(tool.pid), now()
            status = tool.wait(30)
            if status != 5:
                raise RunFailed(f"ks-idu-cli ended with {status}, not 5 (Command timeout.)")
            shares.append((c1 - c0) / (w1 - w0) * 100)
            wakeups.append((s1 - s0) / (w1 - w0))
        except RunFailed as e:
            report.failed(f"erase wait ({kind}), run {r + 1}", e)
        finally:
            tool.wait(30)
            try:
                station.finish()
            except RunFailed:
                pass
    who = "ks-idu-cli" if kind == "tool" else "ks-idu-cli on a bare pty"
    report.row(f"{who}: CPU during a 10 s erase wait", shares, "% core", 3, "< 1 %",
               max(shares) < 1 if shares else None)
    report.row(f"{who}: wake-ups during the erase wait", wakeups, "/s", 1)


# ---- 4: the port scan ------------------------------------------------------------------------


def open_pty_without_carrier(kit, work):
    """A pty whose line file gives CTS and DSR but no carrier detect."""
    master, slave = os.openpty()
    name = os.ttyname(slave)
    os.close(slave)
    modem = Path(work) / "nocd-modem"
    modem.mkdir(exist_ok=True)
    rdev = os.stat(name).st_rdev
    index = (os.major(rdev) - 136) * 256 + os.minor(rdev)
    (modem / str(index)).write_bytes(struct.pack("=iI", TIOCM_CTS | TIOCM_DSR, 0))
    return master, name, modem


def trace_entries(path):
    out = []
    for line in Path(path).read_text(errors="replace").splitlines():
        m = re.match(r"\s*(\d+\.\d+)s (\S+)", line)
        if m:
            out.append((float(m.group(1)), m.group(2), line))
    return out


def scan_figures(kit, work, report, runs, ports):
    report.section("4. Port scan")
    window = Window()
    master, name, modem = open_pty_without_carrier(kit, work)
    firsts, periods, held = [], [], []
    try:
        for r in range(runs):
            trace = Path(work) / f"nocd-{r}.trace"
            child = Child([kit.cli, "--trace", trace] + ["--port", name] * ports,
                          env=kit.tool_env(modem), out=Path(work) / "nocd.out",
                          err=Path(work) / "nocd.err")
            status = child.wait(60)
            entries = trace_entries(trace)
            opens = [t for t, kind, _ in entries if kind == "open"]
            closes = [t for t, kind, _ in entries if kind == "close"]
            no_carrier = sum(1 for _, kind, line in entries if kind == "lines" and "DCD off" in line)
            if status != 3 or len(opens) != ports or no_carrier != ports:
                report.failed(f"scan without carrier detect, run {r + 1}",
                              f"status {status}, {len(opens)} opens, {no_carrier} without carrier")
                continue
            # One port's whole turn: from its open to the next port's open. The
            # first port of a run also pays for what the program does once.
            turns = [b - a for a, b in zip(opens, opens[1:])]
            firsts.append(turns[0])
            periods += turns[1:]
            held += [c - o for o, c in zip(opens[1:], closes[1:])]
    finally:
        os.close(master)
    report.row(f"a port without carrier detect: one turn of the scan ({ports} ports a run, "
               "all but the first)", ms(periods), "ms", 3)
    report.row("of it, open to close as the trace sees it", ms(held), "ms", 3)
    report.row("the first port of a run", ms(firsts), "ms", 3)

    scans, walls = [], []
    for r in range(runs):
        shared = Path(work) / f"silent-modem-{r}"
        stations = [Station(kit, work, ["--identify", "silent"], modem=shared) for _ in range(4)]
        trace = Path(work) / f"silent-{r}.trace"
        argv = [kit.cli, "--trace", trace]
        for s in stations:
            argv += ["--port", s.port]
        child = Child(argv, env=kit.tool_env(shared), out=Path(work) / "silent.out",
                      err=Path(work) / "silent.err")
        status = child.wait(60)
        for s in stations:
            try:
                s.finish()
            except RunFailed:
                pass
        entries = trace_entries(trace)
        opens = [t for t, kind, _ in entries if kind == "open"]
        closes = [t for t, kind, _ in entries if kind == "close"]
        if status != 3 or len(opens) != 4 or len(closes) != 4:
            report.failed(f"scan of four silent ports, run {r + 1}",
                          f"status {status}, {len(opens)} opens, {len(closes)} closes")
            continue
        scans.append(closes[-1] - opens[0])
        walls.append(child.wall())
    report.row("scan of four silent ports with carrier detect (first open to last close)",
               scans, "s", 3)
    report.row("the same against its expected 7 s", [s / SCAN_FOUR_SILENT_SECONDS for s in scans],
               "", 4)
    report.row("ks-idu-cli start to exit for that scan", walls, "s", 3)
    report.load(window)


# ---- 5: start-up and memory -------------------------------------------------------------------


class Xvfb:
    def __init__(self, work):
        self.work = work
        r, w = os.pipe()
        self.child = Child(["/usr/bin/Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24",
                            "-nolisten", "tcp"], err=Path(work) / "xvfb.err", keep_fds=(w,))
        os.close(w)
        number = b""
        deadline = now() + 20
        while not number.endswith(b"\n") and now() < deadline:
            ready, _, _ = select.select([r], [], [], max(0.0, deadline - now()))
            if not ready:
                break
            chunk = os.read(r, 64)
            if not chunk:
                break
            number += chunk
        os.close(r)
        if not number.strip().isdigit():
            self.stop()
            raise BenchError("Xvfb did not start: " +
                             (Path(work) / "xvfb.err").read_text(errors="replace"))
        self.display = ":" + number.decode().strip()

    def env(self, **extra):
        env = dict(os.environ)
        env.pop("WAYLAND_DISPLAY", None)
        env["DISPLAY"] = self.display
        env.update(extra)
        return env

    def stop(self):
        self.child.signal(signal.SIGTERM)
        self.child.wait(10)


def start_window(kit, x, argv, env, limit=30):
    """Starts a program and waits for its window to be mapped: (child, seconds)."""
    err = Path(x.work) / "mapwait.err"
    watcher = Child([kit.mapwait, TITLE, str(limit)], env=x.env(), pipe_out=True, err=err)
    if watcher.readline(10) != "ready":
        watcher.signal(signal.SIGKILL)
        watcher.wait(5)
        raise RunFailed(f"ks-bench-mapwait could not watch the display {x.display}: " +
                        err.read_text(errors="replace").strip())
    start = now()
    child = Child(argv, env=env)
    line = watcher.readline(limit + 5)
    watcher.wait(10)
    try:
        return child, float(line) - start
    except ValueError:
        child.signal(signal.SIGKILL)
        child.wait(10)
        raise RunFailed("the window did not appear") from None


def qt_figures(kit, x, report, runs, idle_seconds):
    starts, rss, shares, wakeups = [], [], [], []
    env = x.env(QT_QPA_PLATFORM="xcb")
    for r in range(runs):
        try:
            child, shown = start_window(kit, x, [kit.qt], env)
        except RunFailed as e:
            report.failed(f"Qt start, run {r + 1}", e)
            continue
        starts.append(shown)
        if not shares and idle_seconds:
            time.sleep(1.0)  # past the first paint
            c0, s0, w0 = thread_cpu_seconds(child.pid), thread_switches(child.pid), now()
            time.sleep(idle_seconds)
            c1, s1, w1 = thread_cpu_seconds(child.pid), thread_switches(child.pid), now()
            shares.append((c1 - c0) / (w1 - w0) * 100)
            wakeups.append((s1 - s0) / (w1 - w0))
        else:
            time.sleep(0.5)
        child.signal(signal.SIGTERM)
        child.wait(15)
        rss.append(child.rusage.ru_maxrss / 1024)
    return starts, rss, shares, wakeups


def wine_figures(kit, x, work, report, runs):
    """ks-idu.exe under Wine: its window's start and its peak resident memory."""
    prefix = Path(work) / "wine"
    env = x.env(WINEPREFIX=str(prefix), WINEARCH="win64", WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=")
    starts, rss = [], []
    try:
        boot = Child(["wineboot", "-i"], env=env)
        if boot.wait(300) != 0:
            raise RunFailed(f"wineboot ended with {boot.status}")
        Child(["wineserver", "-w"], env=env).wait(120)
        for r in range(runs):
            child, shown = start_window(kit, x, ["wine", kit.win_exe], env, limit=60)
            starts.append(shown)
            time.sleep(1.0)
            peaks = []
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    cmd = Path(f"/proc/{pid}/cmdline").read_bytes()
                except OSError:
                    continue
                if b"ks-idu.exe" in cmd and not cmd.startswith(b"wine\0"):
                    peaks.append(peak_rss_kib(int(pid)) or 0)
            child.signal(signal.SIGTERM)
            Child(["wineserver", "-k"], env=env).wait(30)
            child.wait(30)
            if peaks:
                rss.append(max(peaks) / 1024)
    except (RunFailed, BenchError) as e:
        report.failed("ks-idu.exe under Wine", e)
    finally:
        Child(["wineserver", "-k"], env=env).wait(30)
    return starts, rss


def startup_figures(kit, work, report, runs, repeats, idle_seconds, cli_runs):
    report.section("3 and 5. Idle CPU, start-up and peak memory of the programs")
    window = Window()
    if idle_seconds:
        erase_wait(kit, work, report, max(1, repeats - 1))
        erase_wait(kit, work, report, 1, "bare")
    if not kit.mapwait.exists() or not Path("/usr/bin/Xvfb").exists():
        report.note("Qt window and ks-idu.exe: not measured (no Xvfb or ks-bench-mapwait)")
        report.load(window)
        return
    x = Xvfb(work)
    try:
        if kit.qt.exists():
            starts, rss, shares, wakeups = qt_figures(kit, x, report, min(runs, 7),
                                                      idle_seconds)
            if idle_seconds:
                report.row(f"ks-idu (Qt) CPU with the window open and idle "
                           f"({idle_seconds:.0f} s)", shares, "% core", 3, "< 1 %",
                           max(shares) < 1 if shares else None)
                report.row("ks-idu (Qt) wake-ups while idle", wakeups, "/s", 1)
            report.row("ks-idu (Qt) process start to window mapped (Xvfb)", ms(starts), "ms", 1)
            report.row("ks-idu (Qt) peak resident memory (window open)", rss, "MiB", 1)
        else:
            report.note("ks-idu (Qt): not built")
        if cli_runs:
            report.row("ks-idu-cli peak resident memory (whole unpaced upgrade)",
                       [r["maxrss"] / 1024 for r in cli_runs], "MiB", 1)
        if kit.win_exe and kit.win_exe.exists():
            starts, rss = wine_figures(kit, x, work, report, repeats)
            report.row("ks-idu.exe (Wine) process start to window mapped", ms(starts), "ms", 1)
            report.row("ks-idu.exe (Wine) peak resident memory of its process", rss, "MiB", 1)
        else:
            report.note("ks-idu.exe under Wine: not built (the Windows program's cross build "
                        "was not available), not measured")
    finally:
        x.stop()
    report.load(window)


# ---- 6: several upgrades at once ---------------------------------------------------------------


def scale_figures(kit, work, report, counts):
    report.section("6. Several paced upgrades at once, one ks-idu-cli and one ks-station each")
    report.note("beside every crowd runs one reference client on a station of its own, as a "
                "witness of what the machine did to any client meanwhile")
    counts = sorted({k for k in counts if k > 1})
    # One alone before and after the crowds: the machine may change meanwhile.
    plan = [("tool", 1)] + [("tool", k) for k in counts] + [("ref", 1)]
    if counts:
        # The same crowd with the reference client: what the machine and the
        # simulators do to any client, apart from the tool.
        plan.append(("ref", max(counts)))
    plan.append(("tool", 1))
    times = {}
    witness = {}
    notes = {}
    station_cpu = []
    for kind, k in plan:
        who = "ks-idu-cli" if kind == "tool" else "reference client"
        window = Window()
        print(f"   {k} {who} at once, and the witness (about {WIRE_SECONDS:.0f} s)", flush=True)
        results = upgrades(kit, work, [kind] * k + ["ref"], BAUD)
        for i, r in enumerate(results):
            is_witness = i == k
            if isinstance(r, RunFailed):
                report.failed(f"{k} {who} at once, {'the witness' if is_witness else i + 1}", r)
                continue
            if is_witness:
                witness.setdefault((kind, k), []).append(r["seconds"])
            else:
                times.setdefault((kind, k), []).append(r["seconds"])
            if r["station_cpu"] is not None:
                station_cpu.append(r["station_cpu"] / r["seconds"] * 100)
        w = window.close()
        notes[(kind, k)] = (f"{w['machine']:.2f} cores busy, {w['others']:.2f} of them not "
                            f"this bench's")
    for kind in ("tool", "ref"):
        singles = times.get((kind, 1), [])
        base = statistics.median(singles) if singles else None
        label = "ks-idu-cli" if kind == "tool" else "reference client (control)"
        report.row(f"{label}: one alone", singles, "s")
        for (kd, k), ts in sorted(times.items()):
            if kd != kind or k == 1:
                continue
            report.row(f"{label}: {k} at once, each one's exchange", ts, "s")
            if base:
                ratios = [t / base for t in ts]
                goal = "each ≤ 1.01" if kind == "tool" and k == max(counts) else None
                holds = (len(ts) == k and max(ratios) <= 1.01) if goal else None
                report.row(f"{label}: {k} at once, each against one alone", ratios, "", 4, goal,
                           holds)
    def who(kind, k):
        return ("ks-idu-cli" if kind == "tool" else "reference client") + (
            "" if k == 1 or kind == "tool" else "s")

    for (kind, k), ws in sorted(witness.items(), key=lambda i: (i[0][0] != "tool", i[0][1])):
        report.row(f"the witness beside {k} {who(kind, k)}", ws, "s")
    for (kind, k), text in notes.items():
        report.note(f"{k} {who(kind, k)} at once: {text}")
    report.row("ks-station CPU while pacing one upgrade (the rig's own cost)", station_cpu,
               "% core", 2)


# ---- 7: ks-idu-cli --all and --watch ------------------------------------------------------------


def tree_memory_kib(pid):
    """Resident and proportional memory of the process and its children, in KiB."""
    rss = pss = 0
    pids = [pid]
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                        pids.append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    for p in pids:
        try:
            with open(f"/proc/{p}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Rss:"):
                        rss += int(line.split()[1])
                    elif line.startswith("Pss:"):
                        pss += int(line.split()[1])
        except OSError:
            pass
    return rss, pss, len(pids) - 1


def fleet_upgrades(kit, work, k, baud):
    """k stations at once through one `ks-idu-cli --all`: each station's exchange, the
    command's CPU (its own and its runs', reaped) and its peak memory with its runs."""
    modem = Path(work) / f"fleet-modem-{Station.count + 1}"
    modem.mkdir(parents=True, exist_ok=True)
    stations = [Station(kit, work, baud=baud, modem=modem) for _ in range(k)]
    # A reference client beside the crowd, as in section 6: what the machine
    # did to any client meanwhile.
    witness_station = Station(kit, work, baud=baud)
    argv = [kit.cli, "--all"]
    for s in stations:
        argv += ["--port", s.port]
    out = stations[0].dir / "fleet.out"
    peak_rss = peak_pss = runs_seen = 0
    try:
        child = Child(argv, env=kit.tool_env(modem), out=out, err=stations[0].dir / "fleet.err")
        witness = start_client(kit, "ref", witness_station)
        deadline = now() + 60 + (2 * WIRE_SECONDS if baud else 0)
        while True:
            pid, status, usage = os.wait4(child.pid, os.WNOHANG)
            if pid == child.pid:
                break
            if now() > deadline:
                child.signal(signal.SIGKILL)
                _, status, usage = os.wait4(child.pid, 0)
                child.killed = True
                break
            rss, pss, runs = tree_memory_kib(child.pid)
            if runs == k:  # every run started: the peak is met with all of them there
                peak_rss, peak_pss = max(peak_rss, rss), max(peak_pss, pss)
            runs_seen = max(runs_seen, runs)
            time.sleep(0.25)
        child.end = now()
        child.status = os.waitstatus_to_exitcode(status)
        child.rusage = usage
        LIVE.pop(child.pid, None)
        witness.wait(60 + (2 * WIRE_SECONDS if baud else 0))
    finally:
        summaries = finish_all(stations)
        try:
            witness_time = exchange_of(witness_station.finish(), baud)["seconds"]
        except RunFailed:
            witness_time = None
    if child.status != 0:
        raise RunFailed(f"ks-idu-cli --all ended with status {child.status}"
                        f"{' (killed at its time limit)' if child.killed else ''}: "
                        + out.read_text(errors="replace")[-300:])
    times = []
    for summary in summaries:
        if isinstance(summary, Exception):
            raise summary
        times.append(exchange_of(summary, baud)["seconds"])
    return {"times": times, "witness": witness_time, "cpu": child.cpu(), "wall": child.wall(),
            "rss": peak_rss / 1024, "pss": peak_pss / 1024, "runs": runs_seen}


def watch_idle(kit, work, seconds):
    """CPU and wake-ups of `ks-idu-cli --watch` with nothing to do: a named port that
    does not exist, and a station already upgraded whose port stays."""
    station = Station(kit, work)
    argv = [kit.cli, "--watch", "--port", station.port, "--port", Path(work) / "never-there"]
    child = Child(argv, env=kit.tool_env(station.modem), out=station.dir / "watch.out")
    try:
        deadline = now() + 30
        while "Done." not in (station.dir / "watch.out").read_text(errors="replace"):
            if now() > deadline or child.status is not None:
                raise RunFailed("the station was not upgraded under --watch")
            time.sleep(0.1)
        time.sleep(2.0)  # past the run's end
        c0, s0, w0 = thread_cpu_seconds(child.pid), thread_switches(child.pid), now()
        time.sleep(seconds)
        c1, s1, w1 = thread_cpu_seconds(child.pid), thread_switches(child.pid), now()
        return (c1 - c0) / (w1 - w0) * 100, (s1 - s0) / (w1 - w0)
    finally:
        child.signal(signal.SIGINT)
        child.wait(20)
        station.finish()


def fleet_figures(kit, work, report, counts, rounds, idle_seconds):
    report.section("7. ks-idu-cli --all: paced upgrades at once through one command")
    report.note("one `ks-idu-cli --all` with a `--port` for each station: one run of ks-idu-cli "
                "per port, started by the command; each station's exchange against one station "
                "alone through the same command (before and after the crowds); beside each "
                "command a reference client on a station of its own, as a witness of what the "
                "machine did to any client meanwhile")
    counts = sorted(set(counts) | {1})
    plan = [1] + [k for k in counts if k > 1] * rounds + [1]
    window = Window()
    results = {}
    for k in plan:
        print(f"   {k} station{'s' if k > 1 else ''} through one --all "
              f"(about {WIRE_SECONDS:.0f} s)", flush=True)
        try:
            results.setdefault(k, []).append(fleet_upgrades(kit, work, k, BAUD))
        except (RunFailed, BenchError) as e:
            report.failed(f"--all with {k} stations", e)
    singles = [t for r in results.get(1, []) for t in r["times"]]
    base = statistics.median(singles) if singles else None
    report.row("one station alone through --all, exchange", singles, "s")
    for k in counts:
        rs = results.get(k, [])
        times = [t for r in rs for t in r["times"]]
        if k > 1:
            report.row(f"{k} at once, each station's exchange", times, "s")
            if base:
                ratios = [t / base for t in times]
                report.row(f"{k} at once, each against one alone", ratios, "", 4, "each ≤ 1.01",
                           bool(ratios) and max(ratios) <= 1.01)
        report.row(f"the witness (a reference client) beside {k} through --all",
                   [r["witness"] for r in rs if r["witness"]], "s")
        report.row(f"{k} at once, CPU of the whole command (its runs included)",
                   [r["cpu"] / r["wall"] * 100 for r in rs], "% core", 3)
        report.row(f"{k} at once, CPU per station", [r["cpu"] / r["wall"] * 100 / k for r in rs],
                   "% core", 3)
        report.row(f"{k} at once, peak resident memory of the command and its runs",
                   [r["rss"] for r in rs if r["rss"]], "MiB", 1)
        report.row(f"{k} at once, the same as proportional set size (shared pages split)",
                   [r["pss"] for r in rs if r["pss"]], "MiB", 1)
    report.load(window)
    if idle_seconds:
        window = Window()
        try:
            share, wakeups = watch_idle(kit, work, idle_seconds)
            report.row(f"ks-idu-cli --watch idle ({idle_seconds:.0f} s: a station done, a named "
                       "port that never appears)", [share], "% core", 3, "< 1 %", share < 1)
            report.row("ks-idu-cli --watch wake-ups while idle", [wakeups], "/s", 1)
        except (RunFailed, BenchError) as e:
            report.failed("--watch idle", e)
        # The machine's own list, as --watch reads it every 5 s: a whole
        # --list-ports (process start included) is an upper bound of one look.
        cpus = []
        for _ in range(10):
            c = Child([kit.cli, "--list-ports"])
            c.wait(30)
            cpus.append(c.cpu() * 1e3)
        report.row("ks-idu-cli --list-ports, whole process (upper bound of one listing of the "
                   "machine's ports, which --watch without --port does every 5 s)", cpus, "ms", 2)
        report.load(window)

# ---- 8: a USB adapter: modem-line requests at a cost --------------------------------------------


def usb_figures(kit, work, report, rounds, runs, cost_us):
    cost_ms = cost_us / 1000
    report.section(f"8. USB adapter: each modem-line request costs {cost_ms:g} ms "
                   "(the driver asks the device), paced and unpaced")
    report.note("the modem-line library answers TIOCMIWAIT on these ptys, as the usual adapters' "
                "drivers (ftdi_sio, cp210x) do, and makes every modem-line call (TIOCMGET, and "
                "TIOCMSET/BIS/BIC for DTR and RTS) take the given time, as their synchronous USB "
                "control transfer does; the reference client runs with the library too")
    report.note("each paced round runs four upgrades side by side, each on its own pty and "
                "station: ks-idu-cli and the reference client with free requests, and both again "
                f"at {cost_ms:g} ms a request")
    window = Window()
    plan = [("tool", 0), ("ref", 0), ("tool", cost_us), ("ref", cost_us)]
    paced = {i: [] for i in range(len(plan))}
    for r in range(rounds):
        print(f"   USB round {r + 1}/{rounds} (about {WIRE_SECONDS:.0f} s)", flush=True)
        results = upgrades(kit, work, [k for k, _ in plan], BAUD, [c for _, c in plan])
        for i, result in enumerate(results):
            if isinstance(result, RunFailed):
                report.failed(f"USB paced {plan[i][0]} at {plan[i][1]} µs, round {r + 1}", result)
                paced[i].append(None)
            else:
                paced[i].append(result)

    def seconds(i):
        return [r["seconds"] if r else None for r in paced[i]]

    def ok(i):
        return [r for r in paced[i] if r]

    for (tool, ref), label in (((0, 1), "free requests"), ((2, 3), f"{cost_ms:g} ms a request")):
        report.row(f"ks-idu-cli exchange, paced, {label}", [t for t in seconds(tool) if t], "s")
        report.row(f"reference client exchange, paced, {label}", [t for t in seconds(ref) if t],
                   "s")
        ratios = paired_ratios(seconds(tool), seconds(ref))
        report.row(f"ks-idu-cli / reference client, paced, {label} (same round)", ratios, "", 4,
                   "≤ 1.005", statistics.median(ratios) <= 1.005 if ratios else None)
    reads = [r["modem_reads"] for i in (0, 2) for r in ok(i) if r["modem_reads"] is not None]
    report.row("ks-idu-cli modem-line reads (TIOCMGET) in a whole upgrade", reads, "", 0,
               f"≤ {MODEM_LIMIT_PER_UPGRADE}",
               max(reads) <= MODEM_LIMIT_PER_UPGRADE if reads else None)
    report.row("ks-idu-cli DTR and RTS changes (TIOCMBIS/BIC) in a whole upgrade",
               [r["modem_sets"] for i in (0, 2) for r in ok(i) if r["modem_sets"] is not None],
               "", 0)
    report.row("reference client modem-line reads in a whole upgrade",
               [r["modem_reads"] for i in (1, 3) for r in ok(i) if r["modem_reads"] is not None],
               "", 0)
    report.row(f"ks-idu-cli run, start to exit, paced, {cost_ms:g} ms a request",
               [r["wall"] for r in ok(2)], "s")
    report.row("ks-idu-cli CPU over the whole paced run, free requests",
               [r["cpu"] / r["wall"] * 100 for r in ok(0)], "% core", 3)
    report.row(f"ks-idu-cli CPU over the whole paced run, {cost_ms:g} ms a request",
               [r["cpu"] / r["wall"] * 100 for r in ok(2)], "% core", 3)
    report.row("ks-idu-cli context switches per exchange, paced, free requests",
               [r["switches"] / EXCHANGES for r in ok(0)], "", 2)

    # Unpaced, one after the other (they would compete for the two cores).
    unpaced = {"tool": [], "ref": []}
    for r in range(runs):
        for kind in (("tool", "ref") if r % 2 == 0 else ("ref", "tool")):
            result = upgrades(kit, work, [kind], 0, [cost_us])[0]
            if isinstance(result, RunFailed):
                report.failed(f"USB unpaced {kind}, run {r + 1}", result)
                unpaced[kind].append(None)
            else:
                unpaced[kind].append(result)
    tool = [r["per_exchange"] if r else None for r in unpaced["tool"]]
    ref = [r["per_exchange"] if r else None for r in unpaced["ref"]]
    report.row(f"ks-idu-cli per exchange, unpaced, {cost_ms:g} ms a request",
               us([t for t in tool if t]), "µs", 1)
    report.row(f"reference client per exchange, unpaced, {cost_ms:g} ms a request",
               us([t for t in ref if t]), "µs", 1)
    report.row(f"ks-idu-cli / reference client, unpaced, {cost_ms:g} ms a request (same pair)",
               paired_ratios(tool, ref), "", 2)
    report.row("ks-idu-cli modem-line reads in a whole unpaced upgrade",
               [r["modem_reads"] for r in unpaced["tool"] if r and r["modem_reads"] is not None],
               "", 0)
    report.load(window)


def latency_figures(kit, work, report, timers=(16, 1)):
    report.section("9. An adapter's latency timer: each reply held to the timer's next tick")
    report.note("ks-station --latency-timer MS passes what the station sends on only at the next "
                "multiple of MS ms, as an FTDI chip holds a reply shorter than its 62-byte packet "
                "until its timer runs out; paced at 19,200 baud, ks-idu-cli (with --report) and "
                "the reference client side by side, each on its own pty and station")
    window = Window()
    plan = [("tool", t) for t in timers] + [("ref", timers[0])]
    stations = [Station(kit, work, args=["--latency-timer", str(t)], baud=BAUD) for _, t in plan]
    clients = []
    try:
        for (kind, _), st in zip(plan, stations):
            out, err = st.dir / f"{kind}.out", st.dir / f"{kind}.err"
            argv = ([kit.refclient, st.port] if kind == "ref" else
                    [kit.cli, "--port", st.port, "--report", st.dir / "report.jsonl"])
            clients.append(Child(argv, env=kit.tool_env(st.modem), out=out, err=err))
        for c in clients:
            c.wait(60 + 3 * WIRE_SECONDS)
    finally:
        summaries = finish_all(stations)
    for (kind, timer), st, c, summary in zip(plan, stations, clients, summaries):
        label = f"{'ks-idu-cli' if kind == 'tool' else 'reference client'}, timer {timer} ms"
        try:
            if isinstance(summary, Exception):
                raise summary
            if c.status != 0:
                raise RunFailed(f"{kind} ended with status {c.status}")
            r = exchange_of(summary, BAUD)
        except RunFailed as e:
            report.failed(label, e)
            continue
        report.row(f"{label}: exchange", [r["seconds"]], "s", 2)
        if kind == "tool":
            record = json.loads((st.dir / "report.jsonl").read_text().splitlines()[0])
            report.row(f"{label}: its answers after the line left, median (the record)",
                       [record["reply_ms_median"]], "ms", 1)
            report.row(f"{label}: 99th percentile (the record)", [record["reply_ms_p99"]], "ms", 0)
            report.note(f"{label}, its advice: {record['latency_advice'] or 'none'}")
    report.load(window)


# ---- The run ----------------------------------------------------------------------------------


def machine_header(args, started, finished, load_before, load_after):
    def first(path, key):
        try:
            for line in Path(path).read_text().splitlines():
                if line.startswith(key):
                    return line.split(":", 1)[1].strip() if ":" in line else line.split("=", 1)[1]
        except OSError:
            pass
        return "?"

    cpu = first("/proc/cpuinfo", "model name")
    mem = first("/proc/meminfo", "MemTotal")
    distro = first("/etc/os-release", "PRETTY_NAME").strip('"')
    try:
        commit = subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty"],
                                capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        commit = "?"
    virt = ""
    try:
        r = subprocess.run(["systemd-detect-virt"], capture_output=True, text=True, timeout=5)
        virt = r.stdout.strip()
    except (OSError, subprocess.SubprocessError):
        pass
    lines = [
        f"Run of `tools/bench{' --quick' if args.quick else ''}` on "
        f"{started:%Y-%m-%d %H:%M} to {finished:%H:%M} (local time), commit `{commit}`, "
        f"build `{Path(args.build).name}` (Release).",
        "",
        f"- Machine: {cpu}, {os.cpu_count()} cores"
        f"{' (' + virt + ')' if virt and virt != 'none' else ''}, "
        f"{mem} memory; {distro}, Linux {platform.release()}.",
        f"- Load average (1 min) {load_before:.2f} before the run and {load_after:.2f} after; "
        "each section below says how busy the machine was meanwhile and how much of that was "
        "other people's work.",
    ]
    return "\n".join(lines)


def write_docs(path, text):
    path = Path(path)
    block = f"{MARK_BEGIN}\n\n{text}\n\n{MARK_END}"
    if path.exists():
        old = path.read_text()
        if MARK_BEGIN in old and MARK_END in old:
            head, rest = old.split(MARK_BEGIN, 1)
            tail = rest.split(MARK_END, 1)[1]
            path.write_text(head + block + tail)
            return
        path.write_text(old.rstrip("\n") + "\n\n" + block + "\n")
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("# Benchmarks\n\n" + block + "\n")


def main():
    parser = argparse.ArgumentParser(
        prog="tools/bench",
        description="Measures the tool against the serial line's own limit (see "
                    "docs/benchmarks.md). A full run takes about twenty minutes: its paced "
                    "upgrades each take the line's 46 s.")
    parser.add_argument("--quick", action="store_true",
                        help="the unpaced sections only (a minute and a half); prints, writes nothing "
                             "unless --output is given")
    parser.add_argument("--build", default=str(ROOT / "build/bench"), help="the release build")
    parser.add_argument("--win-exe", default="", help="ks-idu.exe of the Windows cross build")
    parser.add_argument("--rounds", type=int, default=4,
                        help="paced rounds of ks-idu-cli and the reference client side by side "
                             "(default 4)")
    parser.add_argument("--runs", type=int, default=0,
                        help="repetitions of each unpaced figure (default 11, quick 5)")
    parser.add_argument("--scale", default="2,4,8",
                        help="counts of simultaneous paced upgrades besides one alone "
                             "(default 2,4,8)")
    parser.add_argument("--fleet", default="2,4,8",
                        help="counts of stations at once through one ks-idu-cli --all "
                             "(default 2,4,8)")
    parser.add_argument("--fleet-rounds", type=int, default=1,
                        help="rounds of each --all count (default 1)")
    parser.add_argument("--sections", default="1,2,3,4,5,6,7,8,9",
                        help="which of the numbered sections to run (default all)")
    parser.add_argument("--modem-cost-ms", type=float, default=1.0,
                        help="what a modem-line request costs in the USB adapter section "
                             "(default 1 ms, a USB control transfer)")
    parser.add_argument("--output", default=None,
                        help="the Markdown file to write (default docs/benchmarks.md for a "
                             "full run)")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    args = parser.parse_args()

    parts = {int(p) for p in args.sections.split(",") if p.strip()}
    if args.quick:
        parts -= {1, 6, 7, 8, 9}
    runs = args.runs or (5 if args.quick else 11)
    repeats = 2 if args.quick else 3  # for the figures that take seconds a run
    output = args.output if args.output is not None else (
        None if args.quick or parts != {1, 2, 3, 4, 5, 6, 7, 8, 9} else str(ROOT / "docs/benchmarks.md"))

    kit = Kit(args.build, args.win_exe)
    work = tempfile.mkdtemp(prefix="ksidu-bench.")
    report = Report()
    started = datetime.datetime.now()
    load_before = os.getloadavg()[0]
    print(f"tools/bench: work directory {work}; {os.cpu_count()} cores, "
          f"load average {load_before:.2f}", flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    try:
        cli_runs = []
        if 2 in parts:
            cli_runs = unpaced_exchange(kit, work, report, runs)
        if 4 in parts:
            scan_figures(kit, work, report, repeats, 50)
        if 3 in parts or 5 in parts:
            startup_figures(kit, work, report, runs, repeats, 10.0 if 3 in parts else 0,
                            cli_runs)
        if 1 in parts:
            runs_by_kind = paced_exchange(kit, work, report, args.rounds)
            if 3 in parts:
                paced_cpu(report, runs_by_kind)
        if 6 in parts:
            counts = [int(c) for c in args.scale.split(",") if c.strip()]
            scale_figures(kit, work, report, counts)
        if 7 in parts:
            counts = [int(c) for c in args.fleet.split(",") if c.strip()]
            fleet_figures(kit, work, report, counts, args.fleet_rounds, 20.0)
        if 8 in parts:
            usb_figures(kit, work, report, args.rounds, max(3, runs // 2),
                        args.modem_cost_ms * 1000)
        if 9 in parts:
            latency_figures(kit, work, report)
    except KeyboardInterrupt:
        print("\ntools/bench: interrupted", file=sys.stderr)
        stop_all()
        return 130
    except BenchError as e:
        print(f"tools/bench: {e}", file=sys.stderr)
        stop_all()
        return 1
    finally:
        stop_all()
        if not args.keep:
            subprocess.run(["rm", "-rf", work])

    finished = datetime.datetime.now()
    header = machine_header(args, started, finished, load_before, os.getloadavg()[0])
    text = report.markdown(header)
    print("\n" + text)
    if output:
        write_docs(output, text)
        print(f"tools/bench: written to {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
