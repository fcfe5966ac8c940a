#!/usr/bin/python3
"""A configured firmware image that is broken never becomes a program.

  bad_image.py --cmake PATH --source DIR --image FILE --work DIR

The address boundary first: through the build's own image check, a record
that ends exactly at 0xFFFF passes, one that ends one byte past it is
refused with its line number and the reason. Then the whole way: a build
configured with such an image (-DKSIDU_FIRMWARE_IMAGE) stops with the line
and the reason, and leaves no image library behind.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys


def record(address, data):
    fields = bytes([len(data), address >> 8, address & 0xFF, 0]) + bytes(data)
    checksum = (256 - sum(fields) % 256) % 256
    return ":" + (fields + bytes([checksum])).hex().upper()


def image_with(lines, extra):
    """The carried image with one more data record just before its end."""
    return lines[:-1] + [extra] + lines[-1:]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    work = os.path.join(args.work, "bad-image")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    with open(args.image) as f:
        lines = f.read().splitlines()
    check_script = os.path.join(args.source, "resources", "CheckImage.cmake")
    failures = []

    def check(name, extra):
        path = os.path.join(work, name + ".hex")
        with open(path, "w") as f:
            f.write("\n".join(image_with(lines, extra)) + "\n")
        output = os.path.join(work, name + ".cpp")
        result = subprocess.run(
            [args.cmake, "-DIMAGE=" + path, "-DOUTPUT=" + output, "-P", check_script],
            capture_output=True, text=True, timeout=300)
        message = " ".join(result.stderr.split())  # undo CMake's line wrapping
        return result.returncode, message, os.path.exists(output)

    line_no = len(lines)  # the inserted record takes the place of the end record
    refused = "line %d: the record runs past address 0xFFFF" % line_no
    cases = [
        # (name, record, refused?)
        ("ends-at-top-16", record(0xFFF0, range(16)), False),
        ("ends-at-top-1", record(0xFFFF, [0x5A]), False),
        ("one-past-16", record(0xFFF1, range(16)), True),
        ("one-past-2", record(0xFFFF, [0x5A, 0xA5]), True),
        ("far-past-255", record(0xFF80, [0x11] * 255), True),
    ]
    for name, extra, should_refuse in cases:
        rc, message, wrote = check(name, extra)
        if should_refuse:
            if rc == 0:
                failures.append("%s (%s): accepted" % (name, extra))
            elif refused not in message:
                failures.append("%s: expected '%s', got: %s" % (name, refused, message))
            elif wrote:
                failures.append("%s: a source file was left behind" % name)
        elif rc != 0 or not wrote:
            failures.append("%s (%s): refused: %s" % (name, extra, message))
        print("%-14s %-45s %s" % (name, extra[:45], "refused" if rc else "accepted"))

    # The whole way: configure a build with the broken image and build the
    # image library. The build must stop with the line and the reason.
    broken = os.path.join(work, "one-past-16.hex")
    project = os.path.join(work, "project")
    os.makedirs(project)
    with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
        f.write(
            "cmake_minimum_required(VERSION 3.25)\n"
            "project(ImageOnly CXX)\n"
            "set(CMAKE_CXX_STANDARD 20)\n"
            "add_subdirectory(\"%s\" resources)\n" % os.path.join(args.source, "resources"))
    build = os.path.join(project, "build")
    configure = subprocess.run(
        [args.cmake, "-S", project, "-B", build, "-DKSIDU_FIRMWARE_IMAGE=" + broken],
        capture_output=True, text=True, timeout=300)
    if configure.returncode != 0:
        failures.append("configuring with the broken image failed early: " + configure.stderr)
    else:
        built = subprocess.run([args.cmake, "--build", build, "--target", "ksidu_image"],
                               capture_output=True, text=True, timeout=600)
        text = " ".join((built.stdout + built.stderr).split())
        library = [n for n in os.listdir(os.path.join(build, "resources"))
                   if re.match(r"libksidu_image\.", n)]
        if built.returncode == 0:
            failures.append("the build accepted an image with a record past 0xFFFF")
        elif refused not in text:
            failures.append("the build stopped without naming the line and reason: " + text[-2000:])
        if library:
            failures.append("the build left an image library: %s" % library)
        print("build with %s: %s" % (os.path.basename(broken),
                                     "stopped" if built.returncode else "finished"))

    for f in failures:
        print("FAILED: " + f)
    print("bad image: %s" % ("FAILED" if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
