#!/usr/bin/env python3
"""Whole runs over an emulated network: a private network namespace
(unshare -n), its loopback shaped with tc (htb + tbf) to a rate, and
bench/relay.py adding a round trip to every exchange. lvpatch one request at
a time and with --parallel N, the launcher window, and the baselines curl on
one connection, curl in parallel and aria2c (where installed), each scenario
in one run. Needs root (for the namespace and tc), nginx and curl.

Usage: bench/net.py [--rounds N] [--only NAME ...] [--parallel N] [--scale F]
Scenarios: rate (a big file at 200 Mbit/s, CPU of lvpatch and the window),
many (2000 x 8 KiB with SIZE tags, 20 ms), many-nosize (the same without),
mb (200 x 1 MiB at 100 Mbit/s, 50 ms). --scale shrinks file counts and the
big file (0.25: a quarter), for short rounds.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def enter_namespace(script):
    """Runs this script again inside a private network namespace (unshare -n),
    once, and brings its loopback up there."""
    if os.environ.get("LV_BENCH_NETNS") != "1":
        if os.geteuid() != 0:
            sys.exit("%s needs root for its network namespace and tc" % script)
        env = dict(os.environ, LV_BENCH_NETNS="1")
        os.execvpe("unshare", ["unshare", "-n", sys.executable] + sys.argv, env)
    sh("ip", "link", "set", "lo", "up")


def built_tools(build):
    """lvpatch and lvpublish of the build tree `build`, or the reason to stop."""
    tools = [os.path.join(build, "tools/lvpatch/lvpatch"),
             os.path.join(build, "tools/lvpublish/lvpublish")]
    for path in tools:
        if not os.access(path, os.X_OK):
            sys.exit("no %s: build first" % path)
    return tools


def sh(*argv):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def shape(port, mbit, more_ports=()):
    """Traffic leaving `port` (the server side the client talks to) at
    `mbit` Mbit/s, and each of `more_ports` on a link of its own at the same
    rate, or at its own where it is a (port, mbit) pair; everything else on
    the loopback unshaped."""
    subprocess.run(["tc", "qdisc", "del", "dev", "lo", "root"], stderr=subprocess.DEVNULL)
    if not mbit:
        return
    sh("tc", "qdisc", "add", "dev", "lo", "root", "handle", "1:", "htb", "r2q", "1000")
    for i, p in enumerate([port] + list(more_ports)):
        p, rate = p if isinstance(p, tuple) else (p, mbit)
        rate = "%gmbit" % rate
        cls = "1:%d" % (10 + i)
        sh("tc", "class", "add", "dev", "lo", "parent", "1:", "classid", cls, "htb", "rate",
           rate, "ceil", rate)
        sh("tc", "qdisc", "add", "dev", "lo", "parent", cls, "handle", "%d:" % (10 + i), "tbf",
           "rate", rate, "burst", "256kb", "latency", "100ms")
        sh("tc", "filter", "add", "dev", "lo", "parent", "1:", "protocol", "ip", "prio", "1",
           "u32", "match", "ip", "sport", str(p), "0xffff", "flowid", cls)


class Relay:
    def __init__(self, target_port, rtt_ms):
        self.port = run.free_port()
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "relay.py"), str(self.port), str(target_port),
             str(rtt_ms)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if self.proc.stdout.readline().strip() != b"ready":
            raise RuntimeError("relay did not start")

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def curl_parallel(cmd, n):
    return cmd[:1] + ["--parallel", "--parallel-max", str(n)] + cmd[1:]


def aria2c(work, port, names, out_dir, n):
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(work, "aria2.txt")
    with open(path, "w") as f:
        for i, name in enumerate(names):
            f.write("http://127.0.0.1:%d/lanternvale_patch/%s\n  out=f%d\n" % (port, name, i))
    return ["aria2c", "-q", "-i", path, "-d", out_dir, "-j", str(n), "-x", "1",
            "--allow-overwrite=true", "--auto-file-renaming=false", "--file-allocation=none"]


def scenario(args, work, lvpatch, name, files, with_size, mbit, rtt_ms, floor, window=False):
    server = os.path.join(work, "server-" + name)
    run.publish(server, files, with_size=with_size)
    nginx = run.Nginx(server, work)
    relay = Relay(nginx.port, rtt_ms) if rtt_ms else None
    port = relay.port if relay else nginx.port
    shape(port, mbit)
    names = ["build_folder.txt", "build_1/current2.txt"] + ["build_1/" + n for n, _ in files]
    out = os.path.join(work, "curl-out")
    n = args.parallel
    runs = [("lvpatch, one request at a time", lambda g: [lvpatch, "--dir", g]),
            ("lvpatch --parallel %d" % n, lambda g: [lvpatch, "--dir", g, "--parallel", str(n)]),
            ("curl, one connection", lambda g: run.curl_config(work, port, names, out)),
            ("curl --parallel-max %d" % n,
             lambda g: curl_parallel(run.curl_config(work, port, names, out), n))]
    if shutil.which("aria2c"):
        runs.append(("aria2c -j %d" % n, lambda g: aria2c(work, port, names, out, n)))
    launcher = run.launcher_path(lvpatch) if window else None
    results = {label: [] for label, _ in runs}
    if launcher:
        results["window"] = []
    try:
        for _ in range(args.rounds):
            for label, argv in runs:
                game = run.game_folder(work, port)
                shutil.rmtree(out, ignore_errors=True)
                results[label].append(run.timed(argv(game)))
                shutil.rmtree(game)
            if launcher:
                game = run.game_folder(work, port)
                results["window"].append(run.until_ledger([launcher], game, run.WINDOW_ENV))
                shutil.rmtree(game)
        base = run.median([r.wall for r in results["curl --parallel-max %d" % n]])
        one = run.median([r.wall for r in results["curl, one connection"]])
        rows = []
        print("\n### %s: %d files, %s, %s; floor %.2f s\n"
              % (name, len(files), "%d Mbit/s" % mbit if mbit else "loopback rate",
                 "%d ms round trip" % rtt_ms if rtt_ms else "no added delay", floor))
        print("| run | wall median | wall rounds | CPU median | / floor | / curl 1 | / curl par |")
        print("|---|---|---|---|---|---|---|")
        for label, values in results.items():
            wall = run.median([r.wall for r in values])
            cpu = run.median([r.cpu for r in values])
            rows.append(label)
            print("| %s | %.3f s | %s | %.3f s | %.2f | %.2f | %.2f |"
                  % (label, wall, ", ".join("%.2f" % r.wall for r in values), cpu, wall / floor,
                     wall / one, wall / base))
        if launcher:
            ratio = (run.median([r.cpu for r in results["window"]]) /
                     run.median([r.cpu for r in results["lvpatch, one request at a time"]]))
            own = (run.median([r.own_cpu for r in results["window"]]) /
                   run.median([r.cpu for r in results["lvpatch, one request at a time"]]))
            print("\nwindow CPU / lvpatch CPU: %.2f for all its processes (the news view's helper "
                  "processes included), %.2f for its own process" % (ratio, own))
        sys.stdout.flush()
    finally:
        shape(port, 0)
        if relay:
            relay.stop()
        nginx.stop()
        shutil.rmtree(server)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", nargs="*", default=None)
    parser.add_argument("--parallel", type=int, default=8)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--build", default=os.path.join(run.ROOT, "build"))
    args = parser.parse_args()
    enter_namespace("bench/net.py")
    lvpatch = os.path.join(args.build, "tools/lvpatch/lvpatch")
    work = tempfile.mkdtemp(prefix="lvnet-")
    s = args.scale
    many = [("d%02d/f%04d.dat" % (i % 20, i), 8192) for i in range(int(2000 * s))]
    mb = [("f%03d.dat" % i, 1 << 20) for i in range(int(200 * s))]
    big = int((1 << 30) * s)
    scenarios = {
        "rate": lambda: scenario(args, work, lvpatch, "rate", [("big.dat", big)], True, 200, 0,
                                 big * 8 / 200e6, window=True),
        "many": lambda: scenario(args, work, lvpatch, "many", many, True, 0, 20,
                                 len(many) * 0.020),
        "many-nosize": lambda: scenario(args, work, lvpatch, "many-nosize", many, False, 0, 20,
                                        2 * len(many) * 0.020),
        "mb": lambda: scenario(args, work, lvpatch, "mb", mb, True, 100, 50,
                               len(mb) * (1 << 20) * 8 / 100e6),
    }
    try:
        print("emulated-network benchmarks, %d rounds, scale %.2f, %s"
              % (args.rounds, s, time.strftime("%Y-%m-%d")))
        for name, go in scenarios.items():
            if args.only is None or name in args.only:
                go()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
