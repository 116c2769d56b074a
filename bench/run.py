#!/usr/bin/env python3
"""Whole-run benchmarks of lvpatch against nginx on loopback, each figure
beside a baseline measured in the same script: curl fetching the same URLs.

Usage: bench/run.py [--rounds N] [--only NAME ...] [--build DIR]
Scenarios: big (one 1 GiB file), many (2000 files of 8 KiB), sizes (size
stage, 20 x 50 MiB against 20 x 1 KiB), uptodate (20 000 files already
current), uptodate-keyed (the same folder published signed and checked by a
launcher with a key, with and without its record of hashed files), memory
(peak RSS per process, 1 GiB against 1 MiB), window (the launcher window
against lvpatch on the same 1 GiB install), first (start to the first
request).
Needs: nginx, curl (scripts/setup installs both) and a built lvpatch;
uptodate-keyed also lvpublish, tests/conformance/lvpatch_testkey and strace.
"""

import argparse
import collections
import os
import re
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


BLOCKS = {}


def write_file(path, size, seed=0):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    seed %= 251
    if seed not in BLOCKS:
        BLOCKS[seed] = bytes((seed + i * 31) % 251 for i in range(1 << 16))
    block = BLOCKS[seed]
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n


def write_files(folder, files):
    """files: list of (name, size). The same list gives the same bytes."""
    for i, (name, size) in enumerate(files):
        write_file(os.path.join(folder, name), size, seed=i)


def publish(server_root, files, with_size=True):
    """files: list of (name, size). Writes build_1 with its manifest."""
    base = os.path.join(server_root, "lanternvale_patch")
    build = os.path.join(base, "build_1")
    write_files(build, files)
    lines = []
    for name, size in files:
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


class Run:
    """What one measured process cost: wall seconds, CPU seconds (user +
    system, its own threads and the children it waited for) and its own peak
    resident memory in MiB."""

    def __init__(self, wall, cpu, peak_mib, switches=0):
        self.wall, self.cpu, self.peak_mib = wall, cpu, peak_mib
        self.switches = switches  # voluntary context switches, where known


def timed(argv, cwd=None):
    """Runs a command to its end. The peak memory comes from /usr/bin/time,
    whose own small process is all that stands between the fork and the
    exec: wait4's figure in this script would be the largest resident size
    any child of this Python process has had, this script's own included."""
    stats = tempfile.NamedTemporaryFile(prefix="lvbench-time-", delete=False)
    stats.close()
    start = time.perf_counter()
    proc = subprocess.Popen(["/usr/bin/time", "-o", stats.name, "-f", "%M %U %S"] + argv,
                            cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, err = proc.communicate()
    elapsed = time.perf_counter() - start
    fields = open(stats.name).read().split()
    os.unlink(stats.name)
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (argv[0], proc.returncode,
                                                   err.decode(errors="replace")[-500:]))
    peak_kib, user, system = int(fields[-3]), float(fields[-2]), float(fields[-1])
    return Run(elapsed, user + system, peak_kib / 1024.0)


def process_tree(root):
    """The pid and every live descendant of it (the window starts helper
    processes for its news view)."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = open("/proc/%s/stat" % entry).read()
            except OSError:
                continue
            ppid = int(stat[stat.rindex(")") + 2:].split()[1])
            children.setdefault(ppid, []).append(int(entry))
    tree, todo = [], [root]
    while todo:
        pid = todo.pop()
        tree.append(pid)
        todo.extend(children.get(pid, []))
    return tree


def kill_tree(proc):
    for pid in reversed(process_tree(proc.pid)):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    proc.wait()


def cpu_seconds(pid):
    try:
        fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    # utime, stime, cutime, cstime: fields 14 to 17 of the line.
    return sum(int(v) for v in fields[11:15]) / os.sysconf("SC_CLK_TCK")


def voluntary_switches(pid):
    """Summed over the live threads of the process."""
    total = 0
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return 0
    for task in tasks:
        try:
            for line in open("/proc/%d/task/%s/status" % (pid, task)):
                if line.startswith("voluntary_ctxt_switches:"):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total


def peak_mib(pid):
    try:
        for line in open("/proc/%d/status" % pid):
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return 0.0


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
    return ("%s %s" % (value, unit)).strip()


def throughput(args, work, lvpatch, name, files):
    server = os.path.join(work, "server-" + name)
    publish(server, files)
    nginx = Nginx(server, work)
    try:
        names = ["build_folder.txt", "build_1/current2.txt"] + ["build_1/" + n for n, _ in files]
        ours, theirs = [], []
        for _ in range(args.rounds):
            game = game_folder(work, nginx.port)
            ours.append(timed([lvpatch, "--dir", game]).wall)
            shutil.rmtree(game)
            out = os.path.join(work, "curl-out")
            shutil.rmtree(out, ignore_errors=True)
            theirs.append(timed(curl_config(work, nginx.port, names, out)).wall)
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
            times = [timed([lvpatch, "--dir", game]).wall for _ in range(args.rounds)]
            rows.append(("size queries, %s" % label, times, "s"))
        finally:
            nginx.stop()
            shutil.rmtree(server)
    report("sizes: an up-to-date run whose manifest gives no sizes", rows)


def uptodate_files():
    return [("d%02d/f%05d.dat" % (i % 50, i), 16) for i in range(20000)]


def uptodate(args, work, lvpatch):
    """An installed folder of 20 000 current files. The floor is what the
    check cannot do without: the two text fetches (curl, one connection) and
    one stat() per manifest name (bench/stat_floor, timed inside a process
    that does only that). With --compare, another lvpatch beside it."""
    server = os.path.join(work, "server-uptodate")
    files = uptodate_files()
    publish(server, files)
    nginx = Nginx(server, work)
    try:
        game = game_folder(work, nginx.port)
        timed([lvpatch, "--dir", game])  # install once
        manifest = os.path.join(server, "lanternvale_patch", "build_1", "current2.txt")
        out = os.path.join(work, "curl-out")
        names = ["build_folder.txt", "build_1/current2.txt"]
        stat_floor = os.path.join(args.build, "bench", "stat_floor")
        ours, other, fetches, stats = [], [], [], []
        for _ in range(args.rounds):
            ours.append(timed([lvpatch, "--dir", game]).wall)
            if args.compare:
                other.append(timed([args.compare, "--dir", game]).wall)
            fetches.append(timed(curl_config(work, nginx.port, names, out)).wall)
            stats.append(float(subprocess.check_output([stat_floor, manifest],
                                                       cwd=game).split()[0]))
        floor = [f + s for f, s in zip(fetches, stats)]
        compared = [("%s, the same folder" % args.compare, other, "s")] if other else []
        report("uptodate: 20 000 current files, lvpatch / floor %.2f%s"
               % (median(ours) / median(floor),
                  ", compared / floor %.2f" % (median(other) / median(floor)) if other else ""),
               [("lvpatch, nothing to fetch", ours, "s")] + compared + [
                ("floor: fetches + stats", floor, "s"),
                ("curl fetching the two text files only", fetches, "s"),
                ("one stat() per manifest name", stats, "s")])
    finally:
        nginx.stop()
        shutil.rmtree(server)


def measured(argv, cwd=None):
    """Runs a command to its end: wall seconds, CPU seconds (user + system,
    from wait4) and rchar, the bytes its read calls returned (sockets'
    recv not among them), from /proc/PID/io before the child is reaped. No
    peak memory (see timed()). The last line it printed is kept as
    `summary`."""
    with tempfile.TemporaryFile() as out:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, cwd=cwd, stdout=out, stderr=subprocess.STDOUT)
        os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
        elapsed = time.perf_counter() - start
        with open("/proc/%d/io" % proc.pid) as f:
            io = dict(line.split(": ") for line in f.read().splitlines())
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        text = out.read().decode(errors="replace")
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (argv[0], proc.returncode, text[-500:]))
    result = Run(elapsed, usage.ru_utime + usage.ru_stime, 0.0)
    result.rchar = int(io["rchar"])
    lines = [line for line in text.splitlines() if line.strip()]
    result.summary = lines[-1] if lines else ""
    return result


READS = ("read", "pread64", "readv", "preadv", "preadv2")


def traced(argv, work, game, names):
    """Runs argv once under strace -f and counts, from the trace, its system
    calls by name, the game files (manifest names in `game`) it opened or
    mapped, and the bytes its read calls returned from them, from the
    folder's other files and from anything else."""
    trace = os.path.join(work, "strace.out")
    subprocess.run(["strace", "-f", "-y", "-qq", "-s", "0", "-o", trace] + argv, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    prefix = os.path.realpath(game) + os.sep
    counts = {"calls": collections.Counter(), "game_opened": 0, "game_mapped": 0,
              "game_bytes": 0, "folder_bytes": collections.Counter(), "other_bytes": 0}
    pending = {}

    def in_game(path):
        return path[len(prefix):] if path and path.startswith(prefix) else None

    with open(trace, errors="replace") as f:
        for line in f:
            pid, _, call = line.rstrip("\n").partition(" ")
            call = call.lstrip()
            if call.endswith("<unfinished ...>"):
                pending[pid] = call[:-len("<unfinished ...>")]
                counts["calls"][call.partition("(")[0]] += 1
                continue
            if call.startswith("<... "):
                call = pending.pop(pid, "") + call.partition("resumed>")[2]
            else:
                counts["calls"][call.partition("(")[0]] += 1
            name = call.partition("(")[0]
            end = re.search(r"\)\s+=\s+(-?\d+)(?:<([^>]*)>)?", call)
            if not end or int(end.group(1)) < 0:
                continue
            fd = re.match(r"\w+\(-?\d+<([^>]*)>", call)
            fd_path = in_game(fd.group(1)) if fd else None
            if name in ("open", "openat", "openat2"):
                if in_game(end.group(2)) in names:
                    counts["game_opened"] += 1
            elif name == "mmap":
                fd = re.search(r", -?\d+<([^>]*)>, \w+\)", call)
                if fd and in_game(fd.group(1)) in names:
                    counts["game_mapped"] += 1
            elif name in READS:
                if fd_path in names:
                    counts["game_bytes"] += int(end.group(1))
                elif fd_path is not None:
                    counts["folder_bytes"][fd_path] += int(end.group(1))
                else:
                    counts["other_bytes"] += int(end.group(1))
    os.unlink(trace)
    return counts


def report_spread(title, rows):
    print("\n### %s\n" % title)
    print("| run | median (min-max) | rounds |")
    print("|---|---|---|")
    for label, values, unit in rows:
        print("| %s | %s (%s-%s) | %s |" % (label, fmt(median(values), unit),
                                           fmt(min(values), unit), fmt(max(values), unit),
                                           ", ".join(fmt(v, unit) for v in values)))
    sys.stdout.flush()


def uptodate_keyed(args, work, lvpatch):
    """The game of `uptodate` (20 000 files of 16 bytes) published signed by
    lvpublish (a SHA256 tag on every line) and checked, already up to date,
    by a launcher built with a key: (b) with its record of the files it has
    hashed (verified_files.txt) kept, (c) with the record deleted before
    each round, so that every file is hashed. Beside them in the same
    rounds, their order turning each round: (a) lvpatch without a key on
    the unsigned build of `uptodate`, and lvpatch without a key on the
    signed build (what the longer manifest costs by itself). Then each of
    a, b and c once under strace, counting what it opens and reads."""
    keyed = os.path.join(args.build, "tests/conformance/lvpatch_testkey")
    lvpublish = os.path.join(args.build, "tools/lvpublish/lvpublish")
    for path in (keyed, lvpublish):
        if not os.access(path, os.X_OK):
            print("\n### uptodate-keyed: skipped, no %s" % path)
            return
    files = uptodate_files()
    names = {name for name, _ in files}
    setup = time.perf_counter()
    # lvpublish flushes each of the 20 000 files it writes, which takes
    # minutes on this disk; the servers' roots are in memory where there is
    # a tmpfs (nginx serves from the page cache either way). The game
    # folders stay in `work`, as in `uptodate`.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    servers = tempfile.mkdtemp(prefix="lvbench-servers-", dir=shm or work)
    plain_root = os.path.join(servers, "server-uptodate")
    publish(plain_root, files)
    build = os.path.join(servers, "build-keyed")
    write_files(build, files)
    # lvpublish takes a key only its owner can read, from outside the
    # build and the server root; the serial record goes beside it.
    secret = tempfile.mkdtemp(prefix="key-", dir=servers)
    key = os.path.join(secret, "test_signing.key")
    with open(os.path.join(ROOT, "tests/conformance/test_signing.key"), "rb") as f:
        key_bytes = f.read()
    fd = os.open(key, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    os.write(fd, key_bytes)
    os.close(fd)
    signed_root = os.path.join(servers, "server-keyed")
    subprocess.run([lvpublish, build, signed_root, "--no-game-exe", "--sign-key", key,
                    "--state-dir", secret], check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(build)
    published = time.perf_counter()
    plain, signed = Nginx(plain_root, work), Nginx(signed_root, work)
    try:
        game_a = game_folder(work, plain.port, "game")
        game_k = game_folder(work, signed.port, "game-keyed")
        game_s = game_folder(work, signed.port, "game-signed")
        for argv in ([lvpatch, "--dir", game_a], [keyed, "--dir", game_k],
                     [lvpatch, "--dir", game_s]):
            measured(argv)  # install once
        installed = time.perf_counter()
        record = os.path.join(game_k, "verified_files.txt")
        with open(record) as f:
            print("\nuptodate-keyed: the keyed install left %s with %d lines"
                  % (os.path.basename(record), sum(1 for _ in f)))

        def drop_record():
            if os.path.exists(record):
                os.unlink(record)

        cases = [
            ("a", "(a) lvpatch, no key, unsigned build", [lvpatch, "--dir", game_a], game_a, None),
            ("b", "(b) keyed, signed build, record kept", [keyed, "--dir", game_k], game_k, None),
            ("c", "(c) keyed, signed build, record deleted before each run",
             [keyed, "--dir", game_k], game_k, drop_record),
            ("s", "lvpatch, no key, the signed build", [lvpatch, "--dir", game_s], game_s, None),
        ]
        runs = {case[0]: [] for case in cases}
        for r in range(args.rounds):
            for i in range(len(cases)):
                tag, _, argv, _, before = cases[(r + i) % len(cases)]
                if before:
                    before()
                run = measured(argv)
                if " 0 fetched" not in run.summary:
                    raise RuntimeError("%s was not up to date: %s" % (tag, run.summary))
                runs[tag].append(run)

        def med(tag, what):
            return median([getattr(x, what) for x in runs[tag]])

        rows = []
        for what, unit, label in (("wall", "s", "wall"), ("cpu", "s", "CPU user+sys")):
            rows += [("%s, %s" % (case[1], label), [getattr(x, what) for x in runs[case[0]]],
                      unit) for case in cases]
        rows += [("%s, rchar" % case[1], [x.rchar for x in runs[case[0]]], "bytes")
                 for case in cases]
        report_spread(
            "uptodate-keyed: 20 000 current files; wall b/a %.2f, c/a %.2f; CPU b/a %.2f, "
            "c/a %.2f; the signed build without a key / a: wall %.2f"
            % (med("b", "wall") / med("a", "wall"), med("c", "wall") / med("a", "wall"),
               med("b", "cpu") / med("a", "cpu"), med("c", "cpu") / med("a", "cpu"),
               med("s", "wall") / med("a", "wall")), rows)

        if not shutil.which("strace"):
            print("\n(no strace: apt-get install strace for the counts)")
            return
        traces = time.perf_counter()
        print("\n### uptodate-keyed: one run each under strace -f\n")
        print("| run | system calls | newfstatat | openat | read | game files opened | "
              "game files mapped | bytes read from game files | bytes read from the "
              "folder's own files | other bytes read |")
        print("|---|---|---|---|---|---|---|---|---|---|")
        total = sum(size for _, size in files)
        for tag, label, argv, game, before in cases[:3]:
            if before:
                before()
            c = traced(argv, work, game, names)
            own = ", ".join("%s %d" % (n, b) for n, b in sorted(c["folder_bytes"].items()))
            print("| %s | %d | %d | %d | %d | %d of %d | %d | %d of %d | %s | %d |"
                  % (label, sum(c["calls"].values()), c["calls"]["newfstatat"],
                     c["calls"]["openat"], c["calls"]["read"], c["game_opened"], len(files),
                     c["game_mapped"], c["game_bytes"], total, own or "0", c["other_bytes"]))
        print("\n(publishing %.1f s, installing %.1f s, rounds %.1f s, traces %.1f s)"
              % (published - setup, installed - published, traces - installed,
                 time.perf_counter() - traces))
        sys.stdout.flush()
    finally:
        plain.stop()
        signed.stop()
        shutil.rmtree(servers)


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
                values.append(timed([lvpatch, "--dir", game]).peak_mib)
                shutil.rmtree(game)
            rows.append(("lvpatch peak RSS, %s" % label, values, "MiB"))
        finally:
            nginx.stop()
            shutil.rmtree(server)
    rows.append(("/bin/true the same way (what the measurement itself adds)",
                 [timed(["/bin/true"]).peak_mib for _ in range(args.rounds)], "MiB"))
    report("memory: peak resident memory of a fresh install, per process", rows)


def until_ledger(argv, game, env=None):
    """Starts a front end in `game` and returns its Run until its patch run
    has written the ledger (the run's last file write), then ends it. CPU is
    that of the whole process tree, memory that of the front end itself,
    both read while it still runs (an lvpatch that has already ended reads
    0 there: use timed() for its figures)."""
    ledger = os.path.join(game, "file_versions.txt")
    start = time.perf_counter()
    proc = subprocess.Popen(argv, cwd=game, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    while not os.path.exists(ledger):
        if proc.poll() is not None and not os.path.exists(ledger):
            raise RuntimeError("%s ended without a run" % argv[0])
        time.sleep(0.002)
    elapsed = time.perf_counter() - start
    cpu = sum(cpu_seconds(pid) for pid in process_tree(proc.pid))
    own = cpu_seconds(proc.pid)
    peak = peak_mib(proc.pid)
    switches = voluntary_switches(proc.pid)
    kill_tree(proc)
    result = Run(elapsed, cpu, peak, switches)
    result.own_cpu = own  # the front end's own process, without its helpers
    return result


def until_first_request(argv, work, env=None):
    """Seconds from the start of a front end to the first connection its
    patch run opens to the server (a listener that answers nothing)."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        listener.settimeout(30)
        game = game_folder(work, listener.getsockname()[1], "game-first")
        start = time.perf_counter()
        proc = subprocess.Popen(argv, cwd=game, env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            conn, _ = listener.accept()
            elapsed = time.perf_counter() - start
            conn.close()
        finally:
            kill_tree(proc)
        shutil.rmtree(game)
        return elapsed


def launcher_path(lvpatch):
    launcher = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(lvpatch))),
                            "bin", "NoxPatch2011.exe")
    if not os.access(launcher, os.X_OK):
        print("\n### window: skipped, no %s" % launcher)
        return None
    return launcher


WINDOW_ENV = dict(os.environ, QT_QPA_PLATFORM="offscreen")


def window(args, work, lvpatch, size=1 << 30):
    """The launcher window (offscreen) against the console front end, same
    patch, same server; both timed from start until the ledger is written.
    The window's own start-up is measured on a one-file build of 1 KiB in
    the same rounds and taken off."""
    launcher = launcher_path(lvpatch)
    if not launcher:
        return
    servers = []
    for label, n in (("big", size), ("small", 1 << 10)):
        root = os.path.join(work, "server-window-" + label)
        publish(root, [("big.dat", n)])
        servers.append((root, Nginx(root, work)))
    big, small = servers[0][1], servers[1][1]
    try:
        win, win_start, con, con_cpu = [], [], [], []
        for _ in range(args.rounds):
            for nginx, into in ((small, win_start), (big, win)):
                game = game_folder(work, nginx.port)
                into.append(until_ledger([launcher], game, WINDOW_ENV))
                shutil.rmtree(game)
            game = game_folder(work, big.port)
            con.append(until_ledger([lvpatch], game).wall)
            shutil.rmtree(game)
            game = game_folder(work, big.port)
            con_cpu.append(timed([lvpatch, "--dir", game]))
            shutil.rmtree(game)
        less = [w.wall - s.wall for w, s in zip(win, win_start)]
        report("window: fresh install of %d MiB, launcher window against lvpatch; window less "
               "its start-up / lvpatch: %.3f; CPU window / lvpatch: %.2f"
               % (size >> 20, median(less) / median(con),
                  median([w.cpu for w in win]) / median([c.cpu for c in con_cpu])),
               [("window, offscreen, start to ledger written", [w.wall for w in win], "s"),
                ("window start-up (1 KiB build), start to ledger written",
                 [w.wall for w in win_start], "s"),
                ("window less its start-up (per round)", less, "s"),
                ("lvpatch, start to ledger written", con, "s"),
                ("window CPU (all its processes), start to ledger", [w.cpu for w in win], "s"),
                ("window CPU (its own process), start to ledger", [w.own_cpu for w in win], "s"),
                ("lvpatch CPU, whole run", [c.cpu for c in con_cpu], "s"),
                ("window peak RSS (its own process)", [w.peak_mib for w in win], "MiB"),
                ("window voluntary context switches (its threads, start to ledger)",
                 [w.switches for w in win], ""),
                ("lvpatch peak RSS", [c.peak_mib for c in con_cpu], "MiB")])
    finally:
        for root, nginx in servers:
            nginx.stop()
            shutil.rmtree(root)


def first_request(args, work, lvpatch):
    """From the start of a front end until its first request reaches the
    server; lvpatch beside it."""
    launcher = launcher_path(lvpatch)
    if not launcher:
        return
    win, con = [], []
    for _ in range(args.rounds):
        win.append(until_first_request([launcher], work, WINDOW_ENV))
        con.append(until_first_request([lvpatch], work))
    report("first request: start of the front end until its first connection to the server",
           [("window, offscreen", win, "s"), ("lvpatch", con, "s")])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", nargs="*", default=None)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--compare", default=None,
                        help="another lvpatch to measure beside (uptodate)")
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
        "uptodate-keyed": lambda: uptodate_keyed(args, work, lvpatch),
        "memory": lambda: memory(args, work, lvpatch),
        "window": lambda: window(args, work, lvpatch),
        "first": lambda: first_request(args, work, lvpatch),
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
