#!/usr/bin/env python3
"""Whole-run benchmarks of lvpatch against nginx on loopback, each figure
beside a baseline measured in the same script: curl fetching the same URLs.

Usage: bench/run.py [--rounds N] [--only NAME ...] [--build DIR]
Scenarios: big (one 1 GiB file), many (2000 files of 8 KiB), sizes (size
stage, 20 x 50 MiB against 20 x 1 KiB), uptodate (20 000 files already
current), memory (peak RSS, 1 GiB against 1 MiB), window (the launcher
window against lvpatch on the same 1 GiB install).
Needs: nginx, curl (scripts/setup installs both) and a built lvpatch.
"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    def __init__(self, root, work):
        self.prefix = os.path.join(work, "nginx")
        os.makedirs(os.path.join(self.prefix, "tmp"), exist_ok=True)
        self.port = free_port()
        conf = open(os.path.join(ROOT, "server/nginx.conf.template")).read()
        for key, value in {
            "@USER@": "user root;" if os.geteuid() == 0 else "",
            "@PREFIX@": self.prefix,
            "@PORT@": str(self.port),
            "@ROOT@": root,
            "@LISTEN_HOST@": "127.0.0.1",
        }.items():
            conf = conf.replace(key, value)
        # The benchmark must not measure log writes.
        conf = conf.replace("access_log %s/access.log patch;" % self.prefix, "access_log off;")
        path = os.path.join(self.prefix, "nginx.conf")
        open(path, "w").write(conf)
        self.proc = subprocess.Popen(
            ["nginx", "-p", self.prefix, "-c", path, "-e", os.path.join(self.prefix, "error.log")])
        for _ in range(500):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.1).close()
                return
            except OSError:
                time.sleep(0.01)
        raise RuntimeError("nginx did not start")

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait()


def write_file(path, size, seed=0):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    block = bytes((seed + i * 31) % 251 for i in range(1 << 16))
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n


def publish(server_root, files, with_size=True):
    """files: list of (name, size). Writes build_1 with its manifest."""
    base = os.path.join(server_root, "lanternvale_patch")
    build = os.path.join(base, "build_1")
    lines = []
    for i, (name, size) in enumerate(files):
        write_file(os.path.join(build, name), size, seed=i)
        lines.append("%s 1%s\n" % (name, " SIZE:%d" % size if with_size else ""))
    open(os.path.join(build, "current2.txt"), "w").write("".join(lines))
    open(os.path.join(base, "build_folder.txt"), "w").write("build_1/\n")
    return lines


def game_folder(work, port, name="game"):
    path = os.path.join(work, name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    open(os.path.join(path, "patch_server_address.txt"), "w").write(
        "http://127.0.0.1:%d/lanternvale_patch/\n" % port)
    return path


def timed(argv, cwd=None):
    """Runs a command, returns (seconds, peak RSS in KiB)."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        raise RuntimeError("%s failed (%d): %s" % (argv[0], code, err[-500:]))
    return elapsed, usage.ru_maxrss


def curl_config(work, port, names, out_dir):
    """One curl process, all URLs, one output file each, one connection."""
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(work, "curl.cfg")
    with open(path, "w") as f:
        for i, name in enumerate(names):
            f.write('url = "http://127.0.0.1:%d/lanternvale_patch/%s"\n' % (port, name))
            f.write('output = "%s"\n' % os.path.join(out_dir, "f%d" % i))
    return ["curl", "-s", "-f", "-K", path]


def median(values):
    return statistics.median(values)


def report(title, rows):
    print("\n### %s\n" % title)
    print("| run | median | rounds |")
    print("|---|---|---|")
    for label, values, unit in rows:
        print("| %s | %s | %s |" % (label, fmt(median(values), unit),
                                   ", ".join(fmt(v, unit) for v in values)))
    sys.stdout.flush()


def fmt(value, unit):
    if unit == "s":
        return "%.3f s" % value
    if unit == "MiB":
        return "%.1f MiB" % value
    return "%s %s" % (value, unit)


def throughput(args, work, lvpatch, name, files):
    server = os.path.join(work, "server-" + name)
    publish(server, files)
    nginx = Nginx(server, work)
    try:
        names = ["build_folder.txt", "build_1/current2.txt"] + ["build_1/" + n for n, _ in files]
        ours, theirs = [], []
        for _ in range(args.rounds):
            game = game_folder(work, nginx.port)
            ours.append(timed([lvpatch, "--dir", game])[0])
            shutil.rmtree(game)
            out = os.path.join(work, "curl-out")
            shutil.rmtree(out, ignore_errors=True)
            theirs.append(timed(curl_config(work, nginx.port, names, out))[0])
            shutil.rmtree(out)
        ratio = median(ours) / median(theirs)
        report("%s: fresh folder, lvpatch against curl (ratio of medians %.3f)" % (name, ratio),
               [("lvpatch", ours, "s"), ("curl, one process, one connection", theirs, "s")])
    finally:
        nginx.stop()
        shutil.rmtree(server)


def sizes(args, work, lvpatch):
    """Size stage only: the folder is already current, the manifest has no
    SIZE tags, so every file costs one size query and nothing is fetched."""
    rows = []
    for label, size in (("20 x 50 MiB", 50 << 20), ("20 x 1 KiB", 1 << 10)):
        server = os.path.join(work, "server-sizes")
        files = [("f%02d.dat" % i, size) for i in range(20)]
        publish(server, files, with_size=False)
        nginx = Nginx(server, work)
        try:
            game = game_folder(work, nginx.port)
            ledger = []
            for name, n in files:
                with open(os.path.join(game, name), "wb") as f:
                    f.truncate(n)  # sparse: only the size is compared
                ledger.append("%s 1\n" % name)
            open(os.path.join(game, "file_versions.txt"), "w").write("".join(ledger))
            times = [timed([lvpatch, "--dir", game])[0] for _ in range(args.rounds)]
            rows.append(("size queries, %s" % label, times, "s"))
        finally:
            nginx.stop()
            shutil.rmtree(server)
    report("sizes: an up-to-date run whose manifest gives no sizes", rows)


def uptodate(args, work, lvpatch):
    server = os.path.join(work, "server-uptodate")
    files = [("d%02d/f%05d.dat" % (i % 50, i), 16) for i in range(20000)]
    publish(server, files)
    nginx = Nginx(server, work)
    try:
        game = game_folder(work, nginx.port)
        timed([lvpatch, "--dir", game])  # install once
        ours = [timed([lvpatch, "--dir", game])[0] for _ in range(args.rounds)]
        out = os.path.join(work, "curl-out")
        names = ["build_folder.txt", "build_1/current2.txt"]
        theirs = [timed(curl_config(work, nginx.port, names, out))[0] for _ in range(args.rounds)]
        report("uptodate: 20 000 current files (difference of medians %.3f s)"
               % (median(ours) - median(theirs)),
               [("lvpatch, nothing to fetch", ours, "s"),
                ("curl fetching the two text files only", theirs, "s")])
    finally:
        nginx.stop()
        shutil.rmtree(server)


def memory(args, work, lvpatch):
    rows = []
    for label, size in (("1 GiB file", 1 << 30), ("1 MiB file", 1 << 20)):
        server = os.path.join(work, "server-mem")
        publish(server, [("big.dat", size)])
        nginx = Nginx(server, work)
        try:
            values = []
            for _ in range(args.rounds):
                game = game_folder(work, nginx.port)
                values.append(timed([lvpatch, "--dir", game])[1] / 1024.0)
                shutil.rmtree(game)
            rows.append(("peak RSS, %s" % label, values, "MiB"))
        finally:
            nginx.stop()
            shutil.rmtree(server)
    report("memory: peak resident memory of a fresh install", rows)


def until_ledger(argv, game, env=None):
    """Starts a front end in `game` and returns the seconds until its patch
    run has written the ledger (the run's last file write), then ends it."""
    ledger = os.path.join(game, "file_versions.txt")
    start = time.perf_counter()
    proc = subprocess.Popen(argv, cwd=game, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    while not os.path.exists(ledger):
        if proc.poll() is not None and not os.path.exists(ledger):
            raise RuntimeError("%s ended without a run" % argv[0])
        time.sleep(0.002)
    elapsed = time.perf_counter() - start
    proc.kill()
    proc.wait()
    return elapsed


def window(args, work, lvpatch):
    """The launcher window (offscreen) against the console front end, same
    patch, same server; both timed from start until the ledger is written."""
    launcher = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(lvpatch))),
                            "bin", "NoxPatch2011.exe")
    if not os.access(launcher, os.X_OK):
        print("\n### window: skipped, no %s" % launcher)
        return
    server = os.path.join(work, "server-window")
    publish(server, [("big.dat", 1 << 30)])
    nginx = Nginx(server, work)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    try:
        ours, theirs = [], []
        for _ in range(args.rounds):
            game = game_folder(work, nginx.port)
            ours.append(until_ledger([launcher], game, env))
            shutil.rmtree(game)
            game = game_folder(work, nginx.port)
            theirs.append(until_ledger([lvpatch], game))
            shutil.rmtree(game)
        report("window: fresh install of 1 GiB, launcher window against lvpatch "
               "(ratio of medians %.3f)" % (median(ours) / median(theirs)),
               [("NoxPatch2011.exe, offscreen, start to ledger written", ours, "s"),
                ("lvpatch, start to ledger written", theirs, "s")])
    finally:
        nginx.stop()
        shutil.rmtree(server)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", nargs="*", default=None)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = parser.parse_args()
    lvpatch = os.path.join(args.build, "tools/lvpatch/lvpatch")
    if not os.access(lvpatch, os.X_OK):
        sys.exit("no lvpatch at %s: build first (cmake --preset default && "
                 "cmake --build --preset default)" % lvpatch)
    work = tempfile.mkdtemp(prefix="lvbench-")
    scenarios = {
        "big": lambda: throughput(args, work, lvpatch, "big", [("big.dat", 1 << 30)]),
        "many": lambda: throughput(args, work, lvpatch, "many",
                                   [("d%02d/f%04d.dat" % (i % 20, i), 8192) for i in range(2000)]),
        "sizes": lambda: sizes(args, work, lvpatch),
        "uptodate": lambda: uptodate(args, work, lvpatch),
        "memory": lambda: memory(args, work, lvpatch),
        "window": lambda: window(args, work, lvpatch),
    }
    try:
        print("lvpatch benchmarks, %d rounds each, %s" % (args.rounds, time.strftime("%Y-%m-%d")))
        for name, run in scenarios.items():
            if args.only is None or name in args.only:
                run()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
