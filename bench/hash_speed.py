#!/usr/bin/env python3
"""Content hashing against the machine's SHA-256 speed: `lvpatch --repair`
re-hashing an installed build of 1 GiB, beside `sha256sum` and `openssl dgst
-sha256` of the same files in the same round. Both read from the page cache (each round warms it first).

Usage: bench/hash_speed.py [--rounds N] [--mib M] [--build DIR]
Needs: nginx (scripts/setup) and a built lvpatch and lvpublish.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def timed(argv, cwd=None):
    start = time.perf_counter()
    subprocess.run(argv, cwd=cwd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--mib", type=int, default=1024, help="build size in MiB (4 files)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = parser.parse_args()
    lvpatch = os.path.join(args.build, "tools/lvpatch/lvpatch")
    lvpublish = os.path.join(args.build, "tools/lvpublish/lvpublish")

    with tempfile.TemporaryDirectory(prefix="lvhash-") as work:
        build = os.path.join(work, "build")
        os.makedirs(build)
        names = []
        for i in range(4):
            name = "data%d.pak" % i
            with open(os.path.join(build, name), "wb") as f:
                for _ in range(args.mib // 4):
                    f.write(os.urandom(1 << 20))
            names.append(name)
        server = os.path.join(work, "server")
        subprocess.run([lvpublish, build, server, "--no-game-exe"], check=True,
                       stdout=subprocess.DEVNULL)
        out = subprocess.run([os.path.join(ROOT, "scripts/nginx-serve"), "--background", server],
                             check=True, capture_output=True, text=True).stdout.split()
        port, prefix = out[0], out[1]
        try:
            game = os.path.join(work, "game")
            os.makedirs(game)
            with open(os.path.join(game, "patch_server_address.txt"), "w") as f:
                f.write("http://127.0.0.1:%s/lanternvale_patch/\n" % port)
            subprocess.run([lvpatch, "--dir", game], check=True, stdout=subprocess.DEVNULL)

            repair, plain, baseline, dgst = [], [], [], []
            for _ in range(args.rounds):
                timed(["cat"] + names, cwd=game)  # page cache
                repair.append(timed([lvpatch, "--dir", game, "--repair"]))
                plain.append(timed([lvpatch, "--dir", game]))
                baseline.append(timed(["sha256sum"] + names, cwd=game))
                dgst.append(timed(["openssl", "dgst", "-sha256"] + names, cwd=game))
        finally:
            subprocess.run([os.path.join(ROOT, "scripts/nginx-serve"), "--stop", prefix])

    r, p, b, d = (statistics.median(x) for x in (repair, plain, baseline, dgst))
    print("build of %d MiB in 4 files, %d rounds, medians" % (args.mib, args.rounds))
    print("lvpatch --repair  %.3f s" % r)
    print("lvpatch (no repair, same folder)  %.3f s" % p)
    print("sha256sum of the same files  %.3f s" % b)
    print("openssl dgst -sha256 of the same files  %.3f s" % d)
    print("ratio repair / sha256sum  %.2f (target: at most 1.10)" % (r / b))
    print("ratio repair / openssl dgst  %.2f" % (r / d))
    print("ratio (repair - plain run) / sha256sum  %.2f" % ((r - p) / b))


if __name__ == "__main__":
    sys.exit(main())
