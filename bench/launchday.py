#!/usr/bin/env python3
"""A launch day: many launchers (separate lvpatch processes) start at once
from empty game folders against one origin nginx whose outgoing link is
rate-limited, inside a private network namespace (unshare -n; tc htb + tbf on
the origin's port, bench/relay.py for the round trip). In the same run:

  origin      every launcher straight at the origin;
  cache       every launcher through one caching nginx (scripts/nginx-serve
              --cache-for), whose link to the players is not limited and whose
              link to the origin is the limited one;
  two-caches  two such caches, half of the launchers on each;
  two-mirrors every launcher at the origin with lvpatch --mirrors, and two
              mirrors (nginx serving the same tree, each on a limited link of
              its own, as rate-limited as the origin's) in its mirror list;
  mirror-down the same with the second mirror refusing connections;
  slow-mirror the same with the second mirror's link at a twentieth of the
              rate.

For each: the body bytes the origin and each cache served (their access
logs), the time until the last launcher is done, the median and largest time
per launcher, and failures: every lvpatch must exit 0, report success, and
leave a game folder holding every file of the build with its SHA-256.

The build is real data: two of openarena-data's pk3 archives and small files
taken out of a third, published with lvpublish --no-game-exe (about 44 MB).
Needs root, nginx, tc, /usr/bin/time, a built lvpatch and lvpublish.

Usage: bench/launchday.py [--players N] [--rounds N] [--scale F] [--mbit M]
                          [--rtt MS] [--parallel N] [--only NAME ...]
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import net  # noqa: E402
import run  # noqa: E402

SOURCE = "/usr/share/games/openarena/baseoa"
ARCHIVES = ("pak0.pk3", "pak5-TA.pk3")
SMALL_FROM = "pak6-patch085.pk3"
SMALL_COUNT = 200
SMALL_MAX = 32 << 10
NGINX_SERVE = os.path.join(run.ROOT, "scripts", "nginx-serve")
# What lvpatch keeps in a game folder beside the game's own files.
LAUNCHER_FILES = {"patch_server_address.txt", "file_versions.txt", "current2.txt",
                  "build_folder.txt"}
SCENARIOS = ("origin", "cache", "two-caches", "two-mirrors", "mirror-down", "slow-mirror")
MIRRORS = {"two-mirrors": 2, "mirror-down": 2, "slow-mirror": 2}


def make_build(build, scale):
    """The pk3 archives (their first `scale` part) and small files out of a
    third archive, under baseoa/ as a game installs them."""
    os.makedirs(os.path.join(build, "baseoa"))
    for name in ARCHIVES:
        size = int(os.path.getsize(os.path.join(SOURCE, name)) * scale)
        with open(os.path.join(SOURCE, name), "rb") as src, \
                open(os.path.join(build, "baseoa", name), "wb") as dst:
            left = size
            while left > 0:
                chunk = src.read(min(left, 1 << 20))
                dst.write(chunk)
                left -= len(chunk)
    with zipfile.ZipFile(os.path.join(SOURCE, SMALL_FROM)) as z:
        small = [i for i in z.infolist()
                 if not i.is_dir() and 0 < i.file_size <= SMALL_MAX
                 and re.fullmatch(r"[A-Za-z0-9._/-]+", i.filename)]
        for info in small[:max(1, int(SMALL_COUNT * scale))]:
            path = os.path.join(build, "baseoa", info.filename)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(z.read(info))


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return h.hexdigest()
            h.update(block)


def tree_hashes(folder, skip=()):
    out = {}
    for top, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(top, name)
            rel = os.path.relpath(path, folder)
            if rel not in skip:
                out[rel] = sha256(path)
    return out


def verify(game, reference):
    """What differs between a game folder and the build: missing files,
    other bytes, files the build does not have. Empty when it is exact."""
    have = tree_hashes(game, LAUNCHER_FILES)
    problems = ["missing " + n for n in sorted(set(reference) - set(have))]
    problems += ["other bytes " + n for n in sorted(set(reference) & set(have))
                 if reference[n] != have[n]]
    problems += ["extra " + n for n in sorted(set(have) - set(reference))]
    return problems


class Server:
    """An nginx started by scripts/nginx-serve --background in a prefix of
    its own (its access log kept)."""

    serve = NGINX_SERVE

    def __init__(self, prefix, argv):
        out = subprocess.run([self.serve, "--background", "--prefix", prefix] + argv,
                             check=True, capture_output=True, text=True).stdout.split()
        self.port, self.prefix = int(out[0]), out[1]
        self.running = True

    def stop(self):
        if self.running:
            subprocess.run([self.serve, "--stop", self.prefix], check=False)
            self.running = False

    def log(self):
        """(requests, body bytes, requests per URL, cache statuses) from
        access.log: the last field of an origin's line is $body_bytes_sent,
        a cache's lines end in $body_bytes_sent $upstream_cache_status."""
        requests, body, per_url, statuses = 0, 0, {}, {}
        path = os.path.join(self.prefix, "access.log")
        if not os.path.exists(path):
            return requests, body, per_url, statuses
        for line in open(path, errors="replace"):
            m = re.match(r'\S+ \S+ "(\S+) (\S+) [^"]*" (\d+) (\d+)(?: (\S+))?$', line.strip())
            if not m:
                continue
            requests += 1
            body += int(m.group(4))
            per_url[m.group(2)] = per_url.get(m.group(2), 0) + 1
            if m.group(5):
                statuses[m.group(5)] = statuses.get(m.group(5), 0) + 1
        return requests, body, per_url, statuses


class Player:
    def __init__(self, lvpatch, game, port, extra, work, index):
        self.game = game
        os.makedirs(game)
        with open(os.path.join(game, "patch_server_address.txt"), "w") as f:
            f.write("http://127.0.0.1:%d/lanternvale_patch/\n" % port)
        self.stats = os.path.join(work, "time-%d.txt" % index)
        self.out_path = os.path.join(work, "out-%d.json" % index)
        self.err_path = os.path.join(work, "err-%d.txt" % index)
        self.argv = (["/usr/bin/time", "-o", self.stats, "-f", "%e %M %U %S", lvpatch,
                      "--dir", game, "--json"] + extra)
        self.start = self.end = None
        self.returncode = None

    def launch(self):
        self.out = open(self.out_path, "wb")
        self.err = open(self.err_path, "wb")
        self.start = time.perf_counter()
        self.proc = subprocess.Popen(self.argv, stdout=self.out, stderr=self.err)
        self.thread = threading.Thread(target=self._wait, daemon=True)
        self.thread.start()

    def _wait(self):
        self.returncode = self.proc.wait()
        self.end = time.perf_counter()

    def result(self):
        """The `result` event of its --json output, or None."""
        self.out.close()
        self.err.close()
        found = None
        self.broken = []  # requests that did not end as finished, with libcurl's reason
        for line in open(self.out_path, errors="replace"):
            try:
                event = json.loads(line)
            except ValueError:
                continue
            if event.get("event") == "result":
                found = event
            elif event.get("event") == "request" and event.get("end") != "finished":
                self.broken.append("%s %s" % (event.get("end"), event.get("error", "")))
            elif event.get("event") == "server_skipped":
                self.broken.append("skipped a server: %s" % re.sub(
                    r"\d+ bytes into \S+", "N bytes into FILE", event.get("reason", "")))
        return found

    def cpu_and_peak(self):
        try:
            fields = open(self.stats).read().split()
            return float(fields[-2]) + float(fields[-1]), int(fields[-3]) / 1024.0
        except (OSError, ValueError, IndexError):
            return None, None


def cpu_times():
    """(busy, total) jiffies of the whole machine, from /proc/stat."""
    fields = [int(x) for x in open("/proc/stat").readline().split()[1:]]
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    return sum(fields) - idle, sum(fields)


def scenario(args, work, lvpatch, name, origin_root, reference, build_bytes):
    """One launch day against a fresh origin (and fresh caches)."""
    base = tempfile.mkdtemp(prefix=name + "-", dir=work)
    servers, relay, mirror_relays = [], None, []
    list_path = os.path.join(origin_root, "lanternvale_patch", "mirrors.txt")
    try:
        origin = Server(os.path.join(base, "origin"),
                        ["--short-max-age", str(args.short_max_age), origin_root])
        servers.append(origin)
        relay = net.Relay(origin.port, args.rtt)
        mirrors = []
        for i in range(MIRRORS.get(name, 0)):
            if name == "mirror-down" and i == 1:
                mirror_relays.append(run.free_port())  # nothing listens there
                continue
            mirrors.append(Server(os.path.join(base, "mirror%d" % i),
                                  ["--short-max-age", str(args.short_max_age), origin_root]))
            servers.append(mirrors[-1])
            mirror_relays.append(net.Relay(mirrors[-1].port, args.rtt))
        if mirrors:
            with open(list_path, "w") as f:
                f.write("lantern-vale-mirrors 1\n" + "".join(
                    "mirror http://127.0.0.1:%d/lanternvale_patch/\n"
                    % (r if isinstance(r, int) else r.port) for r in mirror_relays))
        net.shape(origin.port, args.mbit,
                  [(m.port, args.mbit / 20 if name == "slow-mirror" and i == 1 else args.mbit)
                   for i, m in enumerate(mirrors)])
        caches = []
        for i in range({"cache": 1, "two-caches": 2}.get(name, 0)):
            caches.append(Server(os.path.join(base, "cache%d" % i),
                                 ["--cache-for", "127.0.0.1:%d" % relay.port]))
            servers.append(caches[-1])
        ports = [c.port for c in caches] or [relay.port]
        extra = ["--parallel", str(args.parallel)] if args.parallel else []
        if mirrors:
            extra.append("--mirrors")
        players = [Player(lvpatch, os.path.join(base, "game%03d" % i), ports[i % len(ports)],
                          extra, base, i) for i in range(args.players)]
        t0 = time.perf_counter()
        busy0, total0 = cpu_times()
        for p in players:
            p.launch()
        deadline = t0 + args.timeout
        for p in players:
            p.thread.join(max(0.0, deadline - time.perf_counter()))
            if p.thread.is_alive():
                p.proc.kill()
                p.thread.join()
        last = max(p.end for p in players) - t0
        busy1, total1 = cpu_times()
        machine_busy = (busy1 - busy0) / max(1, total1 - total0)
        times = [p.end - p.start for p in players]
        failures, player_bytes, cpus, peaks, broken = [], 0, [], [], []
        for i, p in enumerate(players):
            event = p.result()
            broken.append(p.broken)
            cpu, peak = p.cpu_and_peak()
            if cpu is not None:
                cpus.append(cpu)
                peaks.append(peak)
            why = []
            if p.returncode != 0:
                why.append("exit %s" % p.returncode)
            if not event or event.get("success") is not True:
                why.append("result %s" % (event.get("cause") if event else "missing"))
            else:
                player_bytes += int(event.get("bytes", 0))
            why += verify(p.game, reference)
            if why:
                failures.append("player %d (%s): %s; stderr: %s"
                                % (i, p.game, "; ".join(why[:5]),
                                   open(p.err_path, errors="replace").read()[-300:].strip()))
            if not why and not args.keep:
                shutil.rmtree(p.game)
        for s in servers:
            s.stop()
        o_requests, o_body, o_urls, _ = origin.log()
        cache_logs = [c.log() for c in caches + mirrors]
        slowest = max(range(len(players)), key=lambda i: times[i])
        return {
            "name": name, "last": last, "median": run.median(times), "max": max(times),
            "min": min(times), "slowest": slowest, "failures": failures,
            "origin_bytes": o_body, "origin_requests": o_requests,
            "origin_max_per_url": max(o_urls.values()) if o_urls else 0,
            "origin_urls": o_urls,
            "cache_bytes": [c[1] for c in cache_logs],
            "cache_requests": [c[0] for c in cache_logs],
            "cache_statuses": [c[3] for c in cache_logs],
            "player_bytes": player_bytes, "build_bytes": build_bytes,
            "cpu": run.median(cpus) if cpus else 0.0, "peak": max(peaks) if peaks else 0.0,
            "times": times, "machine_busy": machine_busy,
            "broken": sum(len(b) for b in broken),
            "broken_players": sum(1 for b in broken if b),
            "broken_why": sorted(set(w for b in broken for w in b)),
        }
    finally:
        net.shape(0, 0)
        if relay:
            relay.stop()
        for r in mirror_relays:
            if not isinstance(r, int):
                r.stop()
        if os.path.exists(list_path):
            os.unlink(list_path)
        for s in servers:
            s.stop()
        if not args.keep:
            shutil.rmtree(base, ignore_errors=True)


def mb(n):
    return n / 1e6


def spread(values, f="%.1f"):
    if len(values) == 1 or f % min(values) == f % max(values):
        return f % values[0]
    return (f + " (" + f + "-" + f + ")") % (run.median(values), min(values), max(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--players", type=int, default=50)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--scale", type=float, default=1.0,
                        help="the part of each archive and of the small files kept (0.25: a "
                        "quarter)")
    parser.add_argument("--mbit", type=int, default=200, help="the origin's outgoing rate")
    parser.add_argument("--rtt", type=float, default=20, help="round trip to the origin, ms")
    parser.add_argument("--parallel", type=int, default=0,
                        help="lvpatch --parallel N (default: lvpatch's own setting)")
    parser.add_argument("--short-max-age", type=int, default=60,
                        help="the origin's max-age for build_folder.txt and the like")
    parser.add_argument("--only", nargs="*", choices=SCENARIOS, default=None)
    parser.add_argument("--timeout", type=float, default=1800,
                        help="seconds after which players still running are killed")
    parser.add_argument("--work", default=None,
                        help="where servers, caches and game folders go (default: a new "
                        "folder in /dev/shm)")
    parser.add_argument("--keep", action="store_true", help="keep the folders")
    parser.add_argument("--build", default=os.path.join(run.ROOT, "build"))
    parser.add_argument("--nginx-serve", default=NGINX_SERVE,
                        help="another scripts/nginx-serve (with the server/ templates beside "
                        "it), to measure a changed configuration")
    args = parser.parse_args()
    Server.serve = os.path.abspath(args.nginx_serve)
    net.enter_namespace("bench/launchday.py")
    lvpatch, lvpublish = net.built_tools(args.build)
    if not os.path.isdir(SOURCE):
        sys.exit("no %s: apt-get install openarena-data" % SOURCE)
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    work = args.work or tempfile.mkdtemp(prefix="lvlaunch-", dir=shm)
    os.makedirs(work, exist_ok=True)
    names = [n for n in SCENARIOS if args.only is None or n in args.only]
    try:
        version = subprocess.run([lvpatch, "--version"], capture_output=True,
                                 text=True).stdout.strip()
        print("launch day, %s; load average at the start %.1f %.1f %.1f"
              % (time.strftime("%Y-%m-%d %H:%M"), *os.getloadavg()))
        for path in (lvpatch, lvpublish):
            print("%s: modified %s%s" % (path, time.strftime(
                "%Y-%m-%d %H:%M:%S", time.localtime(os.path.getmtime(path))),
                ", " + version if path == lvpatch else ""))
        print("servers: %s" % Server.serve)
        build = os.path.join(work, "build")
        make_build(build, args.scale)
        origin_root = os.path.join(work, "server")
        subprocess.run([lvpublish, build, origin_root, "--no-game-exe"], check=True,
                       stdout=subprocess.DEVNULL)
        reference = tree_hashes(build)
        patch = os.path.join(origin_root, "lanternvale_patch")
        build_bytes = (sum(os.path.getsize(os.path.join(build, n)) for n in reference)
                       + os.path.getsize(os.path.join(patch, "build_folder.txt"))
                       + os.path.getsize(os.path.join(patch, "build_1", "current2.txt")))
        sizes = sorted((os.path.getsize(os.path.join(build, n)) for n in reference), reverse=True)
        print("build: %d files, %.1f MB (%s and %d small files of %s), one copy with "
              "build_folder.txt and current2.txt %d bytes"
              % (len(reference), mb(sum(sizes)),
                 ", ".join("%s %.1f MB" % (a, mb(s)) for a, s in zip(ARCHIVES, sizes)),
                 len(reference) - len(ARCHIVES), SMALL_FROM, build_bytes))
        print("%d players, origin link %d Mbit/s, %g ms round trip to the origin, caches' "
              "link to the players not limited; lvpatch %s; %d round(s); work in %s"
              % (args.players, args.mbit, args.rtt,
                 "--parallel %d" % args.parallel if args.parallel else "with its own setting",
                 args.rounds, work))
        print("floor at the origin's rate, one copy: %.2f s; one copy per player: %.1f s"
              % (build_bytes * 8 / (args.mbit * 1e6),
                 args.players * build_bytes * 8 / (args.mbit * 1e6)))
        sys.stdout.flush()
        results = {n: [] for n in names}
        for r in range(args.rounds):
            for i in range(len(names)):
                name = names[(r + i) % len(names)]
                t = time.perf_counter()
                res = scenario(args, work, lvpatch, name, origin_root, reference, build_bytes)
                results[name].append(res)
                print("round %d, %s: %.1f s (last player %.1f s), %d failures"
                      % (r + 1, name, time.perf_counter() - t, res["last"],
                         len(res["failures"])))
                for f in res["failures"]:
                    print("  FAILED " + f)
                sys.stdout.flush()
        print("\n| scenario | origin served | copies of the build | origin requests (most "
              "for one URL) | each cache or mirror served | last player done | player median | "
              "player max | failures |")
        print("|---|---|---|---|---|---|---|---|---|")
        for name in names:
            rs = results[name]
            caches = ""
            if rs[0]["cache_bytes"]:
                caches = " + ".join(spread([mb(x["cache_bytes"][i]) for x in rs], "%.0f")
                                    for i in range(len(rs[0]["cache_bytes"]))) + " MB"
            print("| %s | %s MB | %s | %s (%s) | %s | %s s | %s s | %s s | %s |"
                  % (name, spread([mb(x["origin_bytes"]) for x in rs]),
                     spread([x["origin_bytes"] / x["build_bytes"] for x in rs], "%.2f"),
                     spread([x["origin_requests"] for x in rs], "%d"),
                     spread([x["origin_max_per_url"] for x in rs], "%d"),
                     caches or "-", spread([x["last"] for x in rs]),
                     spread([x["median"] for x in rs]), spread([x["max"] for x in rs]),
                     spread([len(x["failures"]) for x in rs], "%d")))
        print("\n| scenario | players received (sum of result bytes) | cache statuses | "
              "fastest player | slowest player | requests broken (players) | lvpatch CPU "
              "median | peak RSS | machine busy |")
        print("|---|---|---|---|---|---|---|---|---|")
        for name in names:
            for x in results[name]:
                statuses = "; ".join(", ".join("%s %d" % kv for kv in sorted(s.items()))
                                     for s in x["cache_statuses"]) or "-"
                print("| %s | %.1f MB | %s | %.1f s | player %d, %.1f s | %d (%d)%s | %.2f s | "
                      "%.1f MiB | %.0f %% |"
                      % (name, mb(x["player_bytes"]), statuses, x["min"], x["slowest"],
                         x["max"], x["broken"], x["broken_players"],
                         ": " + ", ".join(x["broken_why"]) if x["broken_why"] else "",
                         x["cpu"], x["peak"], 100 * x["machine_busy"]))
        for name in names:
            for x in results[name]:
                more = sorted((n, u) for u, n in x["origin_urls"].items()
                              if n > max(1, len(x["cache_bytes"])))
                if name in ("cache", "two-caches") and more:
                    print("\n%s: the origin was asked more than once per cache for %d URLs: %s"
                          % (name, len(more), ", ".join("%s %d" % (u, n)
                                                        for n, u in more[-5:])))
    finally:
        if not args.keep and not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
