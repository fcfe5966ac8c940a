#!/usr/bin/python3
"""Reads the manifest resource (RT_MANIFEST, id 1) back out of each built
Windows program and checks what it must say: run as the invoker, the Windows
versions from 7 to 11, long paths, UTF-8 as the ANSI code page; for the
window also the common controls 6 and per-monitor DPI awareness. Exits 1
naming each program whose manifest is missing or falls short.

    check_manifests.py --window ks-idu.exe --console ks-idu-cli.exe ks-station.exe
"""
import argparse
import struct
import sys
import xml.etree.ElementTree as ET

RT_MANIFEST = 24
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}


def manifest_of(path):
    """The bytes of resource RT_MANIFEST/1 (any language), or None."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ":
        raise ValueError("not a Windows program")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a Windows program")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    rsrc_rva, rsrc_size = struct.unpack_from("<II", data, directories + 2 * 8)
    if rsrc_size == 0:
        return None
    table = optional + optional_size
    spans = []
    for i in range(sections):
        size, rva, raw_size, raw = struct.unpack_from("<IIII", data, table + i * 40 + 8)
        spans.append((rva, max(size, raw_size), raw))

    def offset(rva):
        for start, size, raw in spans:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("resource outside every section")

    base = offset(rsrc_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", data, base + directory + 12)
        at = base + directory + 16
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", data, at + i * 8)
            yield name, target

    def subdirectory(directory, wanted):
        for name, target in entries(directory):
            if name == wanted and target & 0x80000000:
                return target & 0x7FFFFFFF
        return None

    types = subdirectory(0, RT_MANIFEST)
    ids = subdirectory(types, 1) if types is not None else None
    if ids is None:
        return None
    for _, target in entries(ids):
        if not target & 0x80000000:
            rva, size = struct.unpack_from("<II", data, base + target)
            return data[offset(rva):offset(rva) + size]
    return None


def local(tag):
    return tag.rsplit("}", 1)[-1]


def problems_of(path, window):
    try:
        text = manifest_of(path)
    except (OSError, ValueError, struct.error) as e:
        return [str(e)]
    if text is None:
        return ["no manifest resource (RT_MANIFEST, id 1)"]
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        return ["the manifest is not XML: %s" % e]
    found = {}
    for element in root.iter():
        found.setdefault(local(element.tag), []).append(element)
    problems = []

    def value(name):
        return [(e.text or "").strip() for e in found.get(name, [])]

    levels = [e.get("level") for e in found.get("requestedExecutionLevel", [])]
    if levels != ["asInvoker"]:
        problems.append("requestedExecutionLevel is %s, not asInvoker" % (levels or "missing"))
    ids = {e.get("Id", "").lower() for e in found.get("supportedOS", [])}
    for guid, name in SUPPORTED_OS.items():
        if guid not in ids:
            problems.append("no supportedOS for " + name)
    if value("longPathAware") != ["true"]:
        problems.append("not longPathAware")
    if value("activeCodePage") != ["UTF-8"]:
        problems.append("no UTF-8 activeCodePage")
    controls = [e for e in found.get("assemblyIdentity", [])
                if e.get("name") == "Microsoft.Windows.Common-Controls"]
    if window:
        if not controls or controls[0].get("version") != "6.0.0.0":
            problems.append("no dependency on the common controls 6.0.0.0")
        if value("dpiAware") != ["true/pm"]:
            problems.append("dpiAware is not true/pm")
        awareness = value("dpiAwareness")
        if not awareness or not awareness[0].replace(" ", "").startswith("PerMonitorV2"):
            problems.append("dpiAwareness is not PerMonitorV2 first")
    elif controls:
        problems.append("a console program that asks for the common controls")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--window", action="append", default=[])
    parser.add_argument("--console", nargs="*", default=[])
    args = parser.parse_args()
    failed = False
    for path, window in [(p, True) for p in args.window] + [(p, False) for p in args.console]:
        problems = problems_of(path, window)
        for problem in problems:
            print("%s: %s" % (path, problem))
        if not problems:
            print("%s: manifest as it must be" % path)
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
