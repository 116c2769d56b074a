#!/usr/bin/env python3
"""Benchmarks of the player's bandwidth cap and of resumed downloads, each
beside its baseline from the same run (see bench/README.md).

  bench/network.py cap      lvpatch --limit-rate against the same download uncapped
  bench/network.py resume   a 1 GiB download broken once at half way and
                            resumed, against the same download unbroken

The server is a small HTTP/1.1 server in this script (the same for both sides
of each figure): it serves the patch-server folder with sendfile, answers
Range requests with 206, and for the broken case resets the connection once,
half way through the first answer for the big file. Needs a built lvpatch.
"""
import argparse
import http.server
import os
import shutil
import socket
import socketserver
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LVPATCH = os.path.join(HERE, "..", "build", "tools", "lvpatch", "lvpatch")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = ""
    break_once = None  # path whose first answer is reset half way
    broken = set()

    def log_message(self, *args):
        pass

    def do_GET(self):
        path = os.path.join(self.root, self.path.lstrip("/"))
        if not os.path.isfile(path):
            self.send_error(404)
            return
        size = os.path.getsize(path)
        start = 0
        rng = self.headers.get("Range")
        if rng and rng.startswith("bytes=") and rng.endswith("-"):
            start = int(rng[6:-1])
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
        else:
            self.send_response(200)
        self.send_header("Content-Length", str(size - start))
        self.end_headers()
        stop = size
        reset = self.path == Handler.break_once and self.path not in Handler.broken and not rng
        if reset:
            Handler.broken.add(self.path)
            stop = size // 2
        with open(path, "rb") as f:
            self.wfile.flush()
            sent = self.connection.sendfile(f, offset=start, count=stop - start)
        if reset:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.close_connection = True
        return sent


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def serve(root):
    Handler.root = root
    server = Server(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def publish(root, size):
    build = os.path.join(root, "lanternvale_patch", "build_1")
    os.makedirs(build, exist_ok=True)
    with open(os.path.join(root, "lanternvale_patch", "build_folder.txt"), "w") as f:
        f.write("build_1/\n")
    block = os.urandom(1 << 20)
    with open(os.path.join(build, "big.bin"), "wb") as f:
        for _ in range(size >> 20):
            f.write(block)
    with open(os.path.join(build, "current2.txt"), "w") as f:
        f.write("big.bin 1 SIZE:%d\n" % size)


def fresh_game(work, port):
    game = os.path.join(work, "game")
    shutil.rmtree(game, ignore_errors=True)
    os.makedirs(game)
    with open(os.path.join(game, "patch_server_address.txt"), "w") as f:
        f.write("http://127.0.0.1:%d/lanternvale_patch/\n" % port)
    return game


def run(game, extra=(), sample=False):
    """Runs lvpatch; with sample, the size of big.bin every 50 ms."""
    samples = []
    target = os.path.join(game, "big.bin")
    start = time.monotonic()
    process = subprocess.Popen([LVPATCH, "--dir", game] + list(extra),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    while process.poll() is None:
        if sample:
            try:
                samples.append((time.monotonic() - start, os.path.getsize(target)))
            except OSError:
                pass
        time.sleep(0.05)
    elapsed = time.monotonic() - start
    if process.returncode != 0:
        sys.exit("lvpatch failed: " + process.stderr.read().decode())
    return elapsed, samples


def most_in_window(samples, window):
    best = 0
    j = 0
    for i in range(len(samples)):
        while j + 1 < len(samples) and samples[j + 1][0] - samples[i][0] <= window:
            j += 1
        if samples[j][0] - samples[i][0] >= window * 0.99:
            best = max(best, samples[j][1] - samples[i][1])
    return best


def cap(args, work):
    size = args.cap_mib * 2 ** 20 * 25  # 25 s of download at the cap
    root = os.path.join(work, "root")
    publish(root, size)
    server = serve(root)
    port = server.server_address[1]
    uncapped = [run(fresh_game(work, port))[0] for _ in range(args.rounds)]
    game = fresh_game(work, port)
    elapsed, samples = run(game, ["--limit-rate", "%dMiB/s" % args.cap_mib], sample=True)
    rate = args.cap_mib * 2 ** 20
    most = most_in_window(samples, 10.0)
    print("cap %d MiB/s, one file of %d MiB" % (args.cap_mib, size >> 20))
    print("  uncapped (baseline): %s s" % ", ".join("%.3f" % t for t in uncapped))
    print("  capped: %.3f s, average %.3f MiB/s (%.1f %% of the cap)"
          % (elapsed, size / elapsed / 2 ** 20, 100.0 * size / elapsed / rate))
    print("  most in any 10 s window: %.2f MiB, %.1f %% of 10 s at the cap"
          % (most / 2 ** 20, 100.0 * most / (10 * rate)))
    server.shutdown()


def resume(args, work):
    size = args.resume_mib * 2 ** 20
    root = os.path.join(work, "root")
    publish(root, size)
    server = serve(root)
    port = server.server_address[1]
    unbroken, resumed = [], []
    for _ in range(args.rounds):
        Handler.break_once = None
        unbroken.append(run(fresh_game(work, port))[0])
        Handler.break_once = "/lanternvale_patch/build_1/big.bin"
        Handler.broken.clear()
        resumed.append(run(fresh_game(work, port))[0])
    med = lambda v: sorted(v)[len(v) // 2]
    print("one file of %d MiB, broken once at half way" % (size >> 20))
    print("  unbroken (baseline): %s s" % ", ".join("%.3f" % t for t in unbroken))
    print("  resumed:             %s s" % ", ".join("%.3f" % t for t in resumed))
    print("  ratio of medians %.3f (target: at most 1.10)" % (med(resumed) / med(unbroken)))
    server.shutdown()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("what", choices=["cap", "resume", "all"], nargs="?", default="all")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cap-mib", type=int, default=4)
    parser.add_argument("--resume-mib", type=int, default=1024)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="lvbench-net-")
    try:
        if args.what in ("cap", "all"):
            cap(args, work)
        if args.what in ("resume", "all"):
            resume(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
