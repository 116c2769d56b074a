#!/usr/bin/env python3
"""What a publish that changes one file of a large build costs: lvpublish
publishes a build (2 GiB in 64 files by default) to a fresh server root, then
the same build with one file changed, then with another one changed. The
baseline is `cp -r` of the build, what a publish that copies everything
writes at least.

Per process: wall time, and the bytes it and its children wrote and read
(write_bytes and rchar of /proc/PID/io, read before the child is reaped). For
the second publish also the bytes of the new build folder that the previous
one does not hold (`du -sb` of both, which counts hard links once).

A publish reads the previous build's copy of an unchanged file again only
when the copy was written within two seconds of that publish's end, as the
first publish's last files are; the third publish shows the usual case.

Usage: bench/publish_links.py [--rounds N] [--mib M] [--files F] [--build DIR] [--work DIR]
Needs: a built lvpublish (cmake --build build --target lvpublish).
"""

import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20


def run(argv):
    """Runs argv to its end: (seconds, write_bytes, rchar)."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    # Waited for but not reaped, so its counters can still be read.
    os.waitid(os.P_PID, child.pid, os.WEXITED | os.WNOWAIT)
    seconds = time.perf_counter() - start
    with open("/proc/%d/io" % child.pid) as f:
        io = dict(line.split(": ") for line in f.read().splitlines())
    if child.wait() != 0:
        sys.exit("failed: %s" % " ".join(argv))
    return seconds, int(io["write_bytes"]), int(io["rchar"])


def new_bytes(previous, folder):
    """Bytes in folder that previous does not share with it by hard links."""
    out = subprocess.run(["du", "-sb", previous, folder], check=True, capture_output=True,
                         text=True).stdout.splitlines()
    return int(out[1].split()[0])


def fill(path, mib):
    block = os.urandom(MIB)
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(block)


def spread(values, scale=1.0, unit=""):
    m = statistics.median(values) / scale
    lo, hi = min(values) / scale, max(values) / scale
    return "%.2f%s (%.2f-%.2f)" % (m, unit, lo, hi)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--mib", type=int, default=2048, help="build size in MiB")
    parser.add_argument("--files", type=int, default=64)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--work", default=None, help="folder for the build and servers")
    args = parser.parse_args()
    lvpublish = os.path.join(args.build, "tools/lvpublish/lvpublish")
    per_file = args.mib // args.files

    results = {"first": [], "second": [], "third": [], "cp": []}
    second_new = []
    with tempfile.TemporaryDirectory(prefix="lvlinks-", dir=args.work) as work:
        build = os.path.join(work, "build")
        os.makedirs(build)
        names = ["data%02d.pak" % i for i in range(args.files)]
        for name in names:
            fill(os.path.join(build, name), per_file)
        for _ in range(args.rounds):
            server = os.path.join(work, "server")
            publish = [lvpublish, build, server, "--no-game-exe"]
            results["first"].append(run(publish))
            fill(os.path.join(build, names[0]), per_file)  # the one changed file
            results["second"].append(run(publish))
            patch = os.path.join(server, "lanternvale_patch")
            second_new.append(new_bytes(os.path.join(patch, "build_1"),
                                        os.path.join(patch, "build_2")))
            fill(os.path.join(build, names[1]), per_file)
            results["third"].append(run(publish))
            copy = os.path.join(work, "copy")
            results["cp"].append(run(["cp", "-r", build, copy]))
            shutil.rmtree(server)
            shutil.rmtree(copy)

    print("%s, %d cores, %s; build of %d MiB in %d files, %d rounds: median (min-max)" %
          (platform.release(), os.cpu_count(), platform.machine(), args.mib, args.files,
           args.rounds))
    print("%-34s %-22s %-26s %s" % ("", "wall", "written", "read"))
    for key, label in (("first", "lvpublish, first build"),
                       ("second", "lvpublish, one file changed"),
                       ("third", "lvpublish, another file changed"),
                       ("cp", "cp -r of the build (baseline)")):
        rows = results[key]
        print("%-34s %-22s %-26s %s" % (label, spread([r[0] for r in rows], unit=" s"),
                                         spread([r[1] for r in rows], MIB, " MiB"),
                                         spread([r[2] for r in rows], MIB, " MiB")))
    print("new build folder, hard links counted once: %s" % spread(second_new, MIB, " MiB"))


if __name__ == "__main__":
    sys.exit(main())
