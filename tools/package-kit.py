#!/usr/bin/python3
"""Helpers of tools/package (run with Debian's python, /usr/bin/python3).

  package-kit.py zip IN.zip OUT.zip EPOCH
      OUT.zip: IN.zip's members, sorted by name, each dated EPOCH (UTC),
      mode 0644 (0755 for a program or a folder), deflated at level 9, with
      no extra fields: the same zip from the same files, whoever packs it
      where and when.
  package-kit.py compare DIR_A DIR_B
      Where two builds' dist/ folders differ: files only in one, and for each
      file that differs, the members of a .deb or .zip that differ (names,
      modes, owners, times, contents), with cmp's first differing bytes.
  package-kit.py manpage PROGRAM PAGE.txt
      PAGE.txt is PROGRAM's manual page rendered by man (LC_ALL=C, wide):
      its SYNOPSIS holds each usage line of PROGRAM --help, one a line, and
      its DESCRIPTION begins with no part of them.
"""

import io
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile


def repack_zip(source, target, epoch):
    stamp = time.gmtime(max(int(epoch), 315532800))[:6]  # a zip's dates begin in 1980
    with zipfile.ZipFile(source) as zin:
        members = sorted(zin.infolist(), key=lambda m: m.filename)
        with zipfile.ZipFile(target, "w") as zout:
            for m in members:
                info = zipfile.ZipInfo(m.filename, date_time=stamp)
                info.create_system = 3  # Unix: the mode below is read
                if m.is_dir():
                    info.external_attr = (0o40755 << 16) | 0x10
                    zout.writestr(info, b"")
                else:
                    mode = 0o755 if m.filename.lower().endswith(".exe") else 0o644
                    info.external_attr = (0o100000 | mode) << 16
                    info.compress_type = zipfile.ZIP_DEFLATED
                    zout.writestr(info, zin.read(m.filename), compresslevel=9)


# ---- compare ----------------------------------------------------------------------


def first_differences(a, b, limit=5):
    """cmp -l's first lines for two byte strings, and their lengths."""
    with tempfile.NamedTemporaryFile() as fa, tempfile.NamedTemporaryFile() as fb:
        fa.write(a)
        fb.write(b)
        fa.flush()
        fb.flush()
        out = subprocess.run(["cmp", "-l", fa.name, fb.name], capture_output=True, text=True)
    lines = (out.stdout + out.stderr).splitlines()
    text = "\n".join("        " + l for l in lines[:limit])
    if len(lines) > limit:
        text += "\n        ... %d differing bytes in all" % len(lines)
    return "      cmp -l (offset, octal byte A, B), %d and %d bytes:\n%s" % (len(a), len(b), text)


def deb_members(data):
    """A .deb's ar members, and the entries of its tar members."""
    members = {}
    if data[:8] != b"!<arch>\n":
        return None
    pos = 8
    while pos + 60 <= len(data):
        header = data[pos : pos + 60]
        name = header[:16].decode().strip().rstrip("/")
        size = int(header[48:58].decode().strip())
        members["ar member %s (header)" % name] = "mtime %s, owner %s, group %s, mode %s" % tuple(
            header[a:b].decode().strip() for a, b in ((16, 28), (28, 34), (34, 40), (40, 48)))
        body = data[pos + 60 : pos + 60 + size]
        members["ar member " + name] = body
        if ".tar" in name:
            try:
                with tarfile.open(fileobj=io.BytesIO(body)) as tar:
                    for e in tar.getmembers():
                        members["%s %s (header)" % (name, e.name)] = (
                            "mode %o, owner %s:%s (%d:%d), mtime %d, type %s" % (
                                e.mode, e.uname, e.gname, e.uid, e.gid, e.mtime, e.type.decode()))
                        if e.isfile():
                            members["%s %s" % (name, e.name)] = tar.extractfile(e).read()
            except tarfile.TarError as err:
                members[name + " (unreadable)"] = str(err).encode()
        pos += 60 + size + (size & 1)
    return members


def zip_members(data):
    members = {}
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        for i, m in enumerate(z.infolist()):
            members[m.filename + " (header)"] = (
                "position %d, date %s, mode %o, system %d, extra %s, method %d" % (
                    i, m.date_time, m.external_attr >> 16, m.create_system, m.extra.hex(),
                    m.compress_type))
            members[m.filename] = z.read(m.filename)
    return members


def show_members(a, b):
    for key in sorted(set(a) | set(b)):
        if key not in a or key not in b:
            print("    %s: only in %s" % (key, "A" if key in a else "B"))
        elif a[key] != b[key]:
            if isinstance(a[key], str):
                print("    %s:\n      A: %s\n      B: %s" % (key, a[key], b[key]))
            else:
                print("    %s differs" % key)
                print(first_differences(a[key], b[key]))


def compare(dir_a, dir_b):
    names_a, names_b = set(os.listdir(dir_a)), set(os.listdir(dir_b))
    for name in sorted(names_a ^ names_b):
        print("  %s: only in %s" % (name, dir_a if name in names_a else dir_b))
    for name in sorted(names_a & names_b):
        with open(os.path.join(dir_a, name), "rb") as f:
            a = f.read()
        with open(os.path.join(dir_b, name), "rb") as f:
            b = f.read()
        if a == b:
            continue
        print("  %s differs" % name)
        if name.endswith(".deb"):
            ma, mb = deb_members(a), deb_members(b)
        elif name.endswith(".zip"):
            ma, mb = zip_members(a), zip_members(b)
        else:
            ma = mb = None
        if ma is None or mb is None:
            print(first_differences(a, b))
        else:
            show_members(ma, mb)


# ---- manpage ----------------------------------------------------------------------


def usage_lines(program):
    help_text = subprocess.run([program, "--help"], capture_output=True, text=True,
                               check=True).stdout
    lines = []
    for line in help_text.splitlines():
        if not line.strip():
            break
        m = re.match(r"^(?:Usage:|\s+or:)\s+(.*)$", line)
        if m:
            lines.append(" ".join(m.group(1).split()))
        elif lines and line.startswith(" "):
            lines[-1] += " " + " ".join(line.split())  # a usage line continued
        else:
            sys.exit("%s --help begins with '%s', not a usage line" % (program, line))
    return lines


def sections(page):
    found, current = {}, None
    for line in page.splitlines():
        if re.match(r"^[A-Z][A-Z ]+$", line):
            current = line.strip()
            found[current] = []
        elif current:
            found[current].append(line.strip())
    return found


def manpage(program, rendered):
    with open(rendered) as f:
        page = f.read()
    usage = usage_lines(program)
    parts = sections(page)
    problems = []
    synopsis = [l for l in parts.get("SYNOPSIS", []) if l]
    if synopsis != [" ".join(u.split()) for u in usage]:
        problems.append("SYNOPSIS holds %s, not the usage lines %s" % (synopsis, usage))
    description = [l for l in parts.get("DESCRIPTION", []) if l]
    if not description:
        problems.append("no DESCRIPTION")
    else:
        # What a usage line left out of SYNOPSIS looks like there: options in
        # brackets, or "or: PROGRAM ...".
        first = description[0]
        name = os.path.basename(program)
        if re.match(r"^(or:|\[|-)", first) or ("or: " + name) in first:
            problems.append("DESCRIPTION begins with a usage line: '%s'" % first)
    if problems:
        sys.exit("%s: %s" % (os.path.basename(program), "; ".join(problems)))
    print("%s: SYNOPSIS the %d usage line%s of --help, DESCRIPTION \"%s\"" % (
        os.path.basename(program), len(usage), "" if len(usage) == 1 else "s",
        description[0][:40] + ("..." if len(description[0]) > 40 else "")))


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "zip":
        repack_zip(sys.argv[2], sys.argv[3], sys.argv[4])
    elif len(sys.argv) == 4 and sys.argv[1] == "compare":
        compare(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "manpage":
        manpage(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
