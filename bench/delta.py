#!/usr/bin/env python3
"""Delta updates over an emulated network: a series of game builds made
from openarena-data's pk3 archives, published by lvpublish with deltas and
with compressed copies only, and a player's folder on build 1 brought to
build 2 and to build 3 by lvpatch (plain files, compressed copies, deltas)
on a shaped link, beside zstd --patch-from per changed file, rsync -z
through a daemon and casync's new chunks, all in the same run.

Usage: sudo bench/delta.py [--rounds N] [--files N] [--level L] [--delta-from N]
                           [--mbit R] [--rtt MS] [--cache DIR] [--work DIR] [--keep]
       bench/delta.py --cache DIR --builds-only [--files N]
--files N takes the N smallest archives only (a quick run). --cache DIR keeps
the generated builds there (and the zstd figures for them) for the next run;
--builds-only makes them there and stops. Needs root (a private network
namespace, unshare -n, whose loopback tc shapes), nginx, /usr/bin/time and a
built lvpatch and lvpublish; zstd, rsync and casync for the anchors (each
skipped with a message when missing).
"""

import argparse
import hashlib
import json
import os
import random
import re
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import net  # noqa: E402
import run  # noqa: E402

SOURCE = "/usr/share/games/openarena/baseoa"
GAME_SUBDIR = "baseoa"
# Bumped whenever the builds come out different, so a --cache is remade.
GENERATOR = "delta-builds-2"
FIXED_TIME = (2026, 1, 1, 0, 0, 0)
ZIP_LEVEL = 6
TEXTURES = (".tga", ".jpg", ".png")
TEXT = (".shader", ".cfg", ".skin", ".txt", ".c", ".h", ".menu", ".arena", ".bot", ".script")
# Files of the game folder that are the launcher's, not the build's.
LAUNCHER_FILES = ("patch_server_address.txt", "file_versions.txt", "current2.txt",
                  "build_folder.txt")


def log(text):
    print(text, flush=True)


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return h.hexdigest()
            h.update(block)


def build_files(folder):
    """Relative names of every file in a build folder, sorted."""
    names = []
    for dirpath, _, files in os.walk(folder):
        for name in files:
            names.append(os.path.relpath(os.path.join(dirpath, name), folder))
    return sorted(names)


def folder_bytes(folder):
    return sum(os.path.getsize(os.path.join(folder, n)) for n in build_files(folder))


# ---------------------------------------------------------------------------
# The builds


def repack(src, dst, edits=None, added=None):
    """Writes `src`'s members to a new archive `dst` in the same order, as a
    build pipeline packs them: fixed timestamps and attributes, files
    deflated at ZIP_LEVEL, folders stored. `edits` maps a member name to its
    new bytes; `added` is a list of (name, bytes), each placed after the last
    member of its folder."""
    edits = edits or {}
    after = {}
    with zipfile.ZipFile(src) as zin:
        infos = zin.infolist()
        names = [i.filename for i in infos]
        for name, data in added or []:
            folder = name.rsplit("/", 1)[0] + "/" if "/" in name else ""
            spot = max([k for k, n in enumerate(names) if n.startswith(folder)] or [len(names) - 1])
            after.setdefault(names[spot], []).append((name, data))
        tmp = dst + ".tmp"
        with zipfile.ZipFile(tmp, "w") as zout:
            for info in infos:
                data = edits.get(info.filename)
                if data is None:
                    data = zin.read(info)
                write_member(zout, info.filename, data)
                for name, extra in after.get(info.filename, []):
                    write_member(zout, name, extra)
    os.replace(tmp, dst)


def write_member(zout, name, data):
    info = zipfile.ZipInfo(name, date_time=FIXED_TIME)
    info.create_system = 3
    if name.endswith("/"):
        info.external_attr = (0o40755 << 16) | 0x10
        info.compress_type = zipfile.ZIP_STORED
        zout.writestr(info, b"")
    else:
        info.external_attr = 0o100644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        zout.writestr(info, data, compress_type=zipfile.ZIP_DEFLATED, compresslevel=ZIP_LEVEL)


def reworked(name, data, rng):
    """New bytes for an asset that an artist or designer changed: the same
    kind of content and size, different bytes. Binary assets keep their
    header and have every later byte mapped through a random permutation
    (a recoloured texture, a re-recorded sound: the same size and the same
    compressibility, nothing in common with the old bytes); text assets get a
    few lines edited and one added."""
    ext = os.path.splitext(name)[1].lower()
    if ext in TEXT:
        lines = data.split(b"\n")
        for k in sorted(rng.sample(range(len(lines)), min(4, len(lines)))):
            lines[k] = lines[k] + b" // tuned %d" % rng.randrange(1000)
        lines.insert(rng.randrange(len(lines) + 1), b"// balance pass %d" % rng.randrange(10 ** 6))
        return b"\n".join(lines)
    head = min(len(data) // 16, 18 if ext == ".tga" else 512)
    perm = list(range(256))
    rng.shuffle(perm)
    return data[:head] + data[head:].translate(bytes(perm))


def pick_members(path, count, rng, avoid=()):
    """`count` members of an archive to change: textures of 16 KiB or more
    where it has enough, else any member that large."""
    with zipfile.ZipFile(path) as z:
        infos = [i for i in z.infolist() if not i.filename.endswith("/") and
                 i.file_size >= 16384 and i.filename not in avoid]
    textures = [i.filename for i in infos if i.filename.lower().endswith(TEXTURES)]
    pool = textures if len(textures) >= count else [i.filename for i in infos]
    return sorted(rng.sample(pool, min(count, len(pool))))


def plan(archives):
    """What builds 2 and 3 change, by position in the sorted archive list so
    that a subset (--files) changes its own archives. Build 2: four members
    and one text asset (a shader, a script) of the first archive, three
    members and one new member of the middle one, four members of the last;
    one small new file. Build 3, from build 2: three other members of the
    last archive, four of the second, and the small file edited."""
    n = len(archives)
    a, b, c, d = archives[0], archives[n // 2], archives[-1], archives[min(1, n - 1)]
    return {
        2: [(a, 4, True, False), (b, 3, False, True), (c, 4, False, False)],
        3: [(c, 3, False, False), (d, 4, False, False)],
    }


def make_builds(dest, archives):
    """Builds 1, 2 and 3 under dest/b1, b2, b3 (each with baseoa/). Returns
    {build: [(archive, [changed members], [added members])]} for the report.
    Unchanged archives are hard links to the previous build's: the packer is
    deterministic, repacking gives the same bytes (checked on the smallest
    archive)."""
    rng = random.Random(20261210)
    changes = {}
    b1 = os.path.join(dest, "b1", GAME_SUBDIR)
    os.makedirs(b1, exist_ok=True)
    for name in archives:
        repack(os.path.join(SOURCE, name), os.path.join(b1, name))
    smallest = min(archives, key=lambda n: os.path.getsize(os.path.join(SOURCE, n)))
    check = os.path.join(dest, "repack-check.pk3")
    repack(os.path.join(SOURCE, smallest), check)
    if sha256_file(check) != sha256_file(os.path.join(b1, smallest)):
        raise RuntimeError("repacking %s twice gave different bytes" % smallest)
    os.unlink(check)
    steps = plan(archives)
    for build in (2, 3):
        prev = os.path.join(dest, "b%d" % (build - 1), GAME_SUBDIR)
        out = os.path.join(dest, "b%d" % build, GAME_SUBDIR)
        os.makedirs(out, exist_ok=True)
        touched = {}
        for archive, count, with_text, with_new in steps[build]:
            touched.setdefault(archive, []).append((count, with_text, with_new))
        changes[build] = []
        for name in build_files(prev):
            src, dst = os.path.join(prev, name), os.path.join(out, name)
            if name not in touched:
                os.link(src, dst)
                continue
            edits, added = {}, []
            with zipfile.ZipFile(src) as z:
                for count, with_text, with_new in touched[name]:
                    members = pick_members(src, count, rng, avoid=edits)
                    if with_text:
                        texts = [i.filename for i in z.infolist()
                                 if i.filename.lower().endswith(TEXT) and i.filename not in edits]
                        if texts:
                            members.append(rng.choice(sorted(texts)))
                    for member in members:
                        edits[member] = reworked(member, z.read(member), rng)
                    if with_new and members:
                        base = members[0]
                        stem, ext = os.path.splitext(base)
                        added.append(("%s_alt%s" % (stem, ext), reworked(base, z.read(base), rng)))
            repack(src, dst, edits, added)
            changes[build].append((name, sorted(edits), [n for n, _ in added]))
        notes = os.path.join(out, "hotfix.cfg")
        if build == 2:
            text = "".join("seta hotfix_%03d \"%d\"\n" % (k, rng.randrange(10 ** 6))
                           for k in range(100))
            open(notes, "w").write(text)
            changes[build].append(("hotfix.cfg", ["(new file)"], []))
        else:
            os.unlink(notes)
            old = open(os.path.join(prev, "hotfix.cfg")).read().splitlines(True)
            old[10] = "seta hotfix_010 \"%d\"\n" % rng.randrange(10 ** 6)
            open(notes, "w").write("".join(old) + "seta hotfix_extra \"1\"\n")
            changes[build].append(("hotfix.cfg", ["(edited)"], []))
    return changes


def cached_builds(args, archives):
    """The builds in --cache (made there when missing or made differently),
    or in the work folder."""
    stamp_text = json.dumps({"generator": GENERATOR, "archives": archives,
                             "sizes": [os.path.getsize(os.path.join(SOURCE, a)) for a in archives]})
    dest = args.cache or os.path.join(args.work, "builds")
    stamp = os.path.join(dest, "stamp.json")
    changes_path = os.path.join(dest, "changes.json")
    if os.path.exists(stamp) and open(stamp).read() == stamp_text:
        log("builds: reusing %s" % dest)
        return dest, {int(k): v for k, v in json.load(open(changes_path)).items()}
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(dest)
    start = time.perf_counter()
    changes = make_builds(dest, archives)
    json.dump(changes, open(changes_path, "w"))
    open(stamp, "w").write(stamp_text)
    log("builds: made in %.1f s" % (time.perf_counter() - start))
    return dest, changes


# ---------------------------------------------------------------------------
# Measured processes


class Measured:
    def __init__(self, wall, cpu, peak_mib, returncode, stdout, stderr):
        self.wall, self.cpu, self.peak_mib = wall, cpu, peak_mib
        self.returncode, self.stdout, self.stderr = returncode, stdout, stderr


def measure(argv, cwd=None):
    """Runs argv to its end under /usr/bin/time (peak RSS %M: see run.timed
    for why not wait4 here), keeping what it printed."""
    stats = tempfile.NamedTemporaryFile(prefix="lvdelta-time-", delete=False)
    stats.close()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        proc = subprocess.Popen(["/usr/bin/time", "-o", stats.name, "-f", "%M %U %S"] + argv,
                                cwd=cwd, stdout=out, stderr=err)
        proc.wait()
        wall = time.perf_counter() - start
        out.seek(0)
        err.seek(0)
        stdout = out.read().decode(errors="replace")
        stderr = err.read().decode(errors="replace")
    fields = open(stats.name).read().split()
    os.unlink(stats.name)
    peak_kib, user, system = int(fields[-3]), float(fields[-2]), float(fields[-1])
    return Measured(wall, user + system, peak_kib / 1024.0, proc.returncode, stdout, stderr)


def must(m, what):
    if m.returncode != 0:
        raise RuntimeError("%s failed (%d): %s%s" % (what, m.returncode, m.stdout[-800:],
                                                     m.stderr[-800:]))
    return m


def tc_sent_bytes():
    """Bytes the shaped class has sent since it was made (IP packets, so
    headers included)."""
    out = subprocess.run(["tc", "-s", "class", "show", "dev", "lo"], capture_output=True,
                         text=True).stdout
    m = re.search(r"class htb 1:10 .*?\n\s*Sent (\d+) bytes", out, re.S)
    return int(m.group(1)) if m else None


def wait_port(port):
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.1).close()
            return
        except OSError:
            time.sleep(0.01)
    raise RuntimeError("nothing listens on port %d" % port)


# ---------------------------------------------------------------------------
# Publishing


def disk_use(root):
    """Bytes under root/lanternvale_patch, each inode once: (outside
    objects/, inside objects/, object files)."""
    base = os.path.join(root, "lanternvale_patch")
    seen = set()
    plain = objects = count = 0
    for dirpath, _, files in os.walk(base):
        inside = os.path.relpath(dirpath, base).split(os.sep)[0] == "objects"
        for name in files:
            st = os.lstat(os.path.join(dirpath, name))
            if (st.st_dev, st.st_ino) in seen:
                continue
            seen.add((st.st_dev, st.st_ino))
            if inside:
                objects += st.st_size
                count += 1
            else:
                plain += st.st_size
    return plain, objects, count


def changed_bytes(build, previous):
    """Bytes of the files of `build` that `previous` lacks or holds other
    bytes for (all of them without a previous build)."""
    total = 0
    for name in build_files(build):
        old = os.path.join(previous, name) if previous else None
        new = os.path.join(build, name)
        if not old or not os.path.exists(old) or sha256_file(old) != sha256_file(new):
            total += os.path.getsize(new)
    return total


def publish(args, lvpublish, build, previous, root, extra, records, label):
    m = must(measure([lvpublish, build, root, "--no-game-exe"] + extra), "lvpublish " + label)
    plain, objects, count = disk_use(root)
    named = {"zst": [0, 0], "delta": [0, 0]}
    for kind, _, size, _ in [o for v in manifest_objects(root)[0].values() for o in v]:
        named[kind][0] += 1
        named[kind][1] += size
    records.append({"label": label, "wall": m.wall, "cpu": m.cpu, "peak": m.peak_mib,
                    "build_bytes": folder_bytes(build), "changed": changed_bytes(build, previous),
                    "plain": plain, "objects": objects, "object_files": count, "named": named})
    last = [line for line in m.stdout.splitlines() if line.strip()][-1:]
    log("publish %s: %.1f s wall, %.1f s CPU, %.0f MiB peak; server plain %.1f MiB, "
        "objects %.1f MiB in %d files; the manifest names %d compressed copies (%.1f MiB) and "
        "%d deltas (%.1f MiB)%s" % (
            label, m.wall, m.cpu, m.peak_mib, plain / 2 ** 20, objects / 2 ** 20, count,
            named["zst"][0], named["zst"][1] / 2 ** 20, named["delta"][0],
            named["delta"][1] / 2 ** 20, ("; lvpublish: " + last[0]) if last else ""))


def current_manifest(root):
    base = os.path.join(root, "lanternvale_patch")
    folder = open(os.path.join(base, "build_folder.txt")).read().strip()
    return os.path.join(base, folder, "current2.txt")


def manifest_objects(root):
    """{file name: [(kind, source prefix, size, sha256)]} from the current
    manifest's ZST: and DELTA: tags, and {file: (size, sha256)}."""
    objects, files = {}, {}
    for line in open(current_manifest(root)):
        tokens = line.split()
        if len(tokens) < 2:
            continue
        name, size, sha = tokens[0], None, None
        for token in tokens[2:]:
            key, _, value = token.partition(":")
            key = key.upper()
            if key == "SIZE":
                size = int(value)
            elif key == "SHA256":
                sha = value.lower()
            elif key == "ZST":
                osize, osha = value.split(":")
                objects.setdefault(name, []).append(("zst", "", int(osize), osha.lower()))
            elif key == "DELTA":
                src, osize, osha = value.split(":")
                objects.setdefault(name, []).append(("delta", src.lower(), int(osize),
                                                     osha.lower()))
        files[name] = (size, sha)
    return objects, files


def object_segments(root, sha):
    """The segment table of a published object (patch/DeltaObject.h):
    [(source offset, source length, target length, frame length)]."""
    folder = os.path.join(root, "lanternvale_patch", "objects")
    for name in os.listdir(folder):
        if name.startswith(sha):
            with open(os.path.join(folder, name), "rb") as f:
                magic, _, _, count = struct.unpack("<4sIQI", f.read(20))
                if magic != b"LVZD":
                    return None
                return [struct.unpack("<4Q", f.read(32)) for _ in range(count)]
    return None


def oversized_deltas(root, player, objects, want, anchor):
    """A line for each delta the player is to fetch that is well above
    zstd's own patch for the same pair of files, with its segments, which
    show the part of the file that found nothing to match in the old one."""
    lines = []
    for name, alone, _ in (anchor or {}).get("per", []):
        kind, size = want.get(name, ("", 0))
        path = os.path.join(player, name)
        if kind != "delta" or size < max(2 * alone, 1 << 20) or not os.path.exists(path):
            continue
        local = sha256_file(path)
        for okind, src, osize, osha in objects[name]:
            if okind == "delta" and local.startswith(src):
                segs = object_segments(root, osha) or []
                lines.append("- %s: delta %d bytes against zstd --patch-from %d (%.1fx); its "
                             "segments (old-file window, new bytes, frame): %s" % (
                                 name, osize, alone, osize / alone,
                                 "; ".join("%d+%d, %d, %d" % seg for seg in segs)))
    return lines


def expected_choice(objects, files, local_folder, use_objects, use_deltas):
    """What the launcher should fetch for each file, by the manifest and the
    player's files: {name: (kind, bytes)} for the files it needs."""
    want = {}
    for name, (size, sha) in files.items():
        path = os.path.join(local_folder, name)
        local = sha256_file(path) if os.path.exists(path) else None
        if local is not None and local == sha:
            continue
        best = ("plain", size)
        if use_objects:
            for kind, src, osize, _ in objects.get(name, []):
                if kind == "zst" and best[0] == "plain":
                    best = ("zst", osize)
            if use_deltas and local:
                for kind, src, osize, _ in objects.get(name, []):
                    if kind == "delta" and local.startswith(src):
                        best = ("delta", osize)
        want[name] = best
    return want


# ---------------------------------------------------------------------------
# Patch runs


def lvpatch_json(text):
    events = []
    for line in text.splitlines():
        try:
            events.append(json.loads(line))
        except ValueError:
            pass
    result = next((e for e in reversed(events) if e.get("event") == "result"), {})
    requests = [e for e in events if e.get("event") == "request"]
    return result, requests, events


def installs(events):
    """{way: [files, bytes fetched]} from the install events, and the seconds
    from the end of each object's or file's request to its install event
    (what rebuilding the file takes after its bytes are in), summed."""
    ways, after, last = {}, 0.0, None
    for e in events:
        if e.get("event") == "request":
            last = e.get("t")
        elif e.get("event") == "install":
            w = ways.setdefault(e.get("way", "?"), [0, 0])
            w[0] += 1
            w[1] += int(e.get("bytes", 0))
            if last is not None:
                after += e.get("t", last) - last
                last = None
    return ways, after


def compare_folder(build, game):
    """Names of build files that the game folder lacks or holds other bytes
    for, and files of the game folder the build does not have (the
    launcher's own left out)."""
    wrong = []
    for name in build_files(build):
        path = os.path.join(game, name)
        if not os.path.isfile(path) or os.path.getsize(path) != os.path.getsize(
                os.path.join(build, name)) or sha256_file(path) != sha256_file(
                os.path.join(build, name)):
            wrong.append(name)
    have = set(build_files(build))
    extra = [n for n in build_files(game) if n not in have and n not in LAUNCHER_FILES]
    return wrong, extra


def object_kinds(root):
    """{object sha256: kind} over every manifest of the root."""
    kinds = {}
    base = os.path.join(root, "lanternvale_patch")
    for entry in os.listdir(base):
        manifest = os.path.join(base, entry, "current2.txt")
        if os.path.isfile(manifest):
            for line in open(manifest):
                for token in line.split()[2:]:
                    key, _, value = token.partition(":")
                    if key.upper() in ("ZST", "DELTA"):
                        kinds[value.rsplit(":", 1)[1].lower()] = key.lower()
    return kinds


def classify(requests, kinds):
    """Counts and bytes of the run's requests by what they fetched."""
    out = {}
    for r in requests:
        url = r.get("url", "")
        kind = "text"
        for sha, k in kinds.items():
            if sha in url:
                kind = k
                break
        else:
            if "/objects/" in url:
                kind = "object?"
            elif not url.endswith(".txt"):
                kind = "plain"
        n, b = out.get(kind, (0, 0))
        out[kind] = (n + 1, b + int(r.get("bytes", 0)))
    return out


class Server:
    """nginx on a server root behind a relay that adds the round trip."""

    def __init__(self, root, work, name, rtt):
        os.makedirs(root, exist_ok=True)
        self.root = root
        self.nginx = run.Nginx(root, os.path.join(work, "nginx-" + name))
        self.relay = net.Relay(self.nginx.port, rtt)

    def stop(self):
        self.relay.stop()
        self.nginx.stop()


def set_address(game, port):
    open(os.path.join(game, "patch_server_address.txt"), "w").write(
        "http://127.0.0.1:%d/lanternvale_patch/\n" % port)


def install_template(lvpatch, server, dest, build, plain_flag):
    """A player's folder on the current build of the server, installed by
    lvpatch on the unshaped loopback."""
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(dest)
    set_address(dest, server.nginx.port)
    net.shape(0, 0)
    m = must(measure([lvpatch, "--dir", dest] + plain_flag), "lvpatch install")
    wrong, extra = compare_folder(build, dest)
    if wrong:
        raise RuntimeError("the installed folder differs from the build: %s" % wrong)
    log("player folder on build 1 installed in %.1f s%s" %
        (m.wall, (", extra files %s" % extra) if extra else ""))


def patch_round(args, lvpatch, server, template, work, target, method, kinds, features):
    game = os.path.join(work, "game")
    shutil.rmtree(game, ignore_errors=True)
    subprocess.run(["cp", "-a", template, game], check=True)
    set_address(game, server.relay.port)
    subprocess.run(["sync"], check=True)
    net.shape(server.relay.port, args.mbit)
    plain = ["--plain-files"] if method == "plain" and features else []
    argv = [lvpatch, "--dir", game, "--json"] + plain
    m = measure(argv)
    wire = tc_sent_bytes()
    net.shape(0, 0)
    result, requests, events = lvpatch_json(m.stdout)
    ways, after = installs(events)
    wrong, extra = compare_folder(target, game)
    again = None
    if method == "delta" and m.returncode == 0:
        # The part of a run that does not depend on what it fetches: the same
        # folder, now current, patched again on the same link.
        net.shape(server.relay.port, args.mbit)
        again = measure([lvpatch, "--dir", game, "--json"])
        net.shape(0, 0)
        again_result, _, _ = lvpatch_json(again.stdout)
        again = {"wall": again.wall, "peak": again.peak_mib, "bytes": again_result.get("bytes"),
                 "ok": again.returncode == 0 and again_result.get("files_fetched") == 0,
                 "cpu": again.cpu, "written": again_result.get("bytes_written"),
                 "requests": None, "idle": True}
    r = {"wall": m.wall, "cpu": m.cpu, "peak": m.peak_mib, "ok": m.returncode == 0 and
         bool(result.get("success")), "bytes": result.get("bytes"),
         "written": result.get("bytes_written"), "wire": wire, "requests": len(requests),
         "kinds": classify(requests, kinds), "wrong": wrong, "extra": extra,
         "cause": result.get("cause", m.stderr.strip()[-300:] if m.returncode else ""),
         "fetches": [(e.get("url"), e.get("bytes")) for e in requests], "again": again,
         "ways": ways, "after": after}
    shutil.rmtree(game)
    return r


# ---------------------------------------------------------------------------
# Anchors


def zstd_anchor(args, old, new, work):
    """Per changed file, zstd --patch-from=OLD NEW at the run's level with a
    window covering both; a new file compressed alone. Bytes and seconds.
    Kept beside the builds in --cache, since the builds there are the same
    bytes next time."""
    if not shutil.which("zstd"):
        log("anchor zstd: skipped, no zstd (apt-get install zstd)")
        return None
    version = subprocess.run(["zstd", "--version"], capture_output=True, text=True).stdout.strip()
    key = "%s %s %d %s" % (os.path.basename(old), os.path.basename(new), args.level, version)
    saved = os.path.join(os.path.dirname(old), "zstd-anchors.json") if args.cache else None
    known = json.load(open(saved)) if saved and os.path.exists(saved) else {}
    if key in known:
        log("  zstd --patch-from figures from %s (made %s)" % (saved, known[key]["made"]))
        return known[key]
    total = 0
    seconds = 0.0
    per = []
    out = os.path.join(work, "patch.zst")
    for name in build_files(new):
        src, dst = os.path.join(old, name), os.path.join(new, name)
        if os.path.exists(src) and sha256_file(src) == sha256_file(dst):
            continue
        level = ["--ultra"] if args.level > 19 else []
        level.append("-%d" % args.level)
        size = os.path.getsize(dst)
        if os.path.exists(src):
            size = max(size, os.path.getsize(src))
            wlog = max(27, (size - 1).bit_length())
            argv = ["zstd", "-q", "-f", "--patch-from=" + src, "--long=%d" % wlog] + level
        else:
            argv = ["zstd", "-q", "-f"] + level
        m = must(measure(argv + [dst, "-o", out]), "zstd " + name)
        n = os.path.getsize(out)
        total += n
        seconds += m.wall
        per.append((name, n, m.wall))
    if os.path.exists(out):
        os.unlink(out)
    figures = {"bytes": total, "seconds": seconds, "per": per,
               "made": time.strftime("%Y-%m-%d %H:%M")}
    if saved:
        known[key] = figures
        json.dump(known, open(saved, "w"))
    return figures


class RsyncDaemon:
    def __init__(self, work, modules, rtt):
        self.dir = os.path.join(work, "rsyncd")
        os.makedirs(self.dir, exist_ok=True)
        conf = os.path.join(self.dir, "rsyncd.conf")
        with open(conf, "w") as f:
            f.write("use chroot = no\npid file = %s/pid\nlock file = %s/lock\n"
                    % (self.dir, self.dir))
            for name, path in modules.items():
                f.write("[%s]\npath = %s\nread only = yes\nuid = root\ngid = root\n"
                        % (name, path))
        self.port = run.free_port()
        self.proc = subprocess.Popen(["rsync", "--daemon", "--no-detach", "--config=" + conf,
                                      "--port=%d" % self.port, "--address=127.0.0.1"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(self.port)
        self.relay = net.Relay(self.port, rtt)

    def stop(self):
        self.relay.stop()
        self.proc.terminate()
        self.proc.wait()


def rsync_round(args, daemon, module, old, new, work):
    dest = os.path.join(work, "rsync-dest")
    shutil.rmtree(dest, ignore_errors=True)
    subprocess.run(["cp", "-a", old, dest], check=True)
    subprocess.run(["sync"], check=True)
    net.shape(daemon.relay.port, args.mbit)
    m = measure(["rsync", "-rcz", "--stats", "--no-human-readable",
                 "rsync://127.0.0.1:%d/%s/" % (daemon.relay.port, module), dest + "/"])
    wire = tc_sent_bytes()
    net.shape(0, 0)
    must(m, "rsync")
    got = re.search(r"Total bytes received: ([\d,]+)", m.stdout)
    sent = re.search(r"Total bytes sent: ([\d,]+)", m.stdout)
    wrong, extra = compare_folder(new, dest)
    shutil.rmtree(dest)
    return {"wall": m.wall, "cpu": m.cpu, "peak": m.peak_mib,
            "bytes": int(got.group(1).replace(",", "")), "sent": int(sent.group(1).replace(",", "")),
            "wire": wire, "ok": not wrong and not extra, "wrong": wrong, "written": None,
            "requests": None}


def casync_store(work, build, label):
    store = os.path.join(work, "casync", "store-" + label)
    index = os.path.join(work, "casync", label + ".caidx")
    shutil.rmtree(store, ignore_errors=True)
    os.makedirs(store)
    m = must(measure(["casync", "make", "--store=" + store, "--compression=zstd", index, build]),
             "casync make " + label)
    chunks = {}
    for dirpath, _, files in os.walk(store):
        for name in files:
            if name.endswith(".cacnk"):
                chunks[name] = os.path.getsize(os.path.join(dirpath, name))
    return {"chunks": chunks, "index": os.path.getsize(index), "wall": m.wall}


def casync_anchor(old, new):
    fresh = {k: v for k, v in new["chunks"].items() if k not in old["chunks"]}
    return {"bytes": sum(fresh.values()) + new["index"], "chunks": len(fresh),
            "of": len(new["chunks"]), "index": new["index"]}


# ---------------------------------------------------------------------------
# The report


def mib(n):
    return "%.2f MiB" % (n / 2 ** 20)


def spread(values, form, unit="", scale=1.0):
    """The median with its unit, then min-max when the values differ."""
    values = [v / scale for v in values if v is not None]
    if not values:
        return "n/a"
    text = (form % statistics.median(values)) + unit
    if form % min(values) != form % max(values):
        text += " (%s-%s)" % (form % min(values), form % max(values))
    return text


def spread_mib(values):
    return spread(values, "%.2f", " MiB", 2 ** 20)


def link_seconds(args, n):
    return n * 8 / (args.mbit * 1e6)


def report(args, title, rows, anchor, goals):
    log("\n### %s\n" % title)
    base = anchor["bytes"] if anchor else None
    log("| method | bytes | / patch-from | wall | wall / bytes at %d Mbit/s | CPU | peak RSS | "
        "written to game files | on the wire (tc) | requests | folder identical |" % args.mbit)
    log("|---|---|---|---|---|---|---|---|---|---|---|")
    for label, runs in rows:
        if isinstance(runs, str):
            log("| %s | %s | | | | | | | | | |" % (label, runs))
            continue
        b = [r["bytes"] for r in runs]
        med_b = statistics.median([x for x in b if x is not None]) if any(
            x is not None for x in b) else None
        idle = all(r.get("idle") for r in runs)
        ratio = "%.2f" % (med_b / base) if base and med_b is not None and not idle else ""
        per_link = [r["wall"] / link_seconds(args, r["bytes"])
                    if r.get("bytes") and r["wall"] and not idle else None for r in runs]
        ok = sum(1 for r in runs if r["ok"])
        log("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %d/%d |" % (
            label, spread_mib(b), ratio, spread([r["wall"] for r in runs], "%.2f", " s"),
            spread(per_link, "%.2f") if not idle else "", spread(
                [r.get("cpu") for r in runs], "%.2f", " s"),
            spread([r["peak"] for r in runs], "%.0f", " MiB"),
            spread_mib([r.get("written") for r in runs]), spread_mib([r.get("wire") for r in runs]),
            spread([r.get("requests") for r in runs], "%d"), ok, len(runs)))
    if anchor:
        log("| zstd --patch-from per changed file, -%d | %s | 1.00 | (%.1f s to make) | "
            "at link rate %.2f s | | | | | | |" % (args.level, mib(anchor["bytes"]),
                                                  anchor["seconds"],
                                                  link_seconds(args, anchor["bytes"])))
    for line in goals:
        log(line)


def goal_lines(args, runs, anchor):
    lines = []
    delta, zst = runs.get("delta"), runs.get("compressed")
    if not delta:
        return ["(no delta runs: goals not evaluated)"]
    b = statistics.median([r["bytes"] for r in delta if r["bytes"] is not None] or [0])
    if anchor:
        ratio = b / anchor["bytes"]
        lines.append("- delta bytes / patch-from total: %.3f (goal at most 1.15): %s"
                     % (ratio, "met" if ratio <= 1.15 else "**not met**"))
    wall = statistics.median([r["wall"] for r in delta])
    if b:
        ratio = wall / link_seconds(args, b)
        lines.append("- delta wall / its bytes at the link rate: %.2f (%.2f s against %.2f s; "
                     "goal at most 1.1): %s" % (ratio, wall, link_seconds(args, b),
                                                "met" if ratio <= 1.1 else "**not met**"))
    again = [r["again"]["wall"] for r in delta if r["again"]]
    if b and again:
        fixed = statistics.median(again)
        lines.append("- the same less the up-to-date run on that link (%.2f s, what a run costs "
                     "with nothing to fetch): %.2f s against %.2f s, %.2f"
                     % (fixed, wall - fixed, link_seconds(args, b),
                        (wall - fixed) / link_seconds(args, b)))
    peaks = [r["peak"] for v in runs.values() for r in v]
    lines.append("- peak RSS of lvpatch, most of any run: %.0f MiB (goal under 256): %s"
                 % (max(peaks), "met" if max(peaks) < 256 else "**not met**"))
    if zst:
        most = max(r["bytes"] or 0 for r in delta)
        least = min(r["bytes"] or 0 for r in zst)
        lines.append("- delta bytes never above compressed: most delta %s, least compressed %s: %s"
                     % (mib(most), mib(least), "met" if most <= least else "**not met**"))
    return lines


# ---------------------------------------------------------------------------


def scenario(args, title, lvpatch, servers, template, target, old_build, work, features,
             casync_stores, old_label, new_label, rsync_daemon):
    methods = [("plain", "lvpatch --plain-files" if features else "lvpatch (plain files only)",
                servers["delta"])]
    if features:
        methods += [("compressed", "lvpatch, compressed copies only", servers["zst"]),
                    ("delta", "lvpatch, deltas", servers["delta"])]
    runs = {m: [] for m, _, _ in methods}
    rsync_runs = []
    kinds = {m: object_kinds(s.root) for m, _, s in methods}
    start = time.perf_counter()
    for rnd in range(args.rounds):
        order = methods[rnd % len(methods):] + methods[:rnd % len(methods)]
        for method, label, server in order:
            r = patch_round(args, lvpatch, server, template, work, target, method,
                            kinds[method], features)
            runs[method].append(r)
            log("  round %d %s: %s bytes, %.2f s, %.0f MiB%s%s" % (
                rnd + 1, label, r["bytes"], r["wall"], r["peak"],
                "" if r["ok"] else ", FAILED: %s" % r["cause"],
                ", differs: %s" % r["wrong"] if r["wrong"] else ""))
        if rsync_daemon:
            r = rsync_round(args, rsync_daemon, new_label, old_build, target, work)
            rsync_runs.append(r)
            log("  round %d rsync: %d bytes received, %d sent, %.2f s" %
                (rnd + 1, r["bytes"], r["sent"], r["wall"]))
    log("  (rounds %.1f s)" % (time.perf_counter() - start))
    anchor = zstd_anchor(args, old_build, target, work)
    if anchor:
        log("  zstd --patch-from: %s in %.1f s: %s" % (
            mib(anchor["bytes"]), anchor["seconds"],
            ", ".join("%s %d" % (n, b) for n, b, _ in anchor["per"])))
    rows = [(label, runs[m]) for m, label, _ in methods]
    again = [r["again"] for r in runs.get("delta", []) if r["again"]]
    if again:
        rows.append(("lvpatch again on the updated folder (nothing to fetch)", again))
    if not features:
        rows += [("lvpatch, compressed copies only", "skipped: lvpublish/lvpatch without deltas"),
                 ("lvpatch, deltas", "skipped: lvpublish/lvpatch without deltas")]
    if rsync_runs:
        rows.append(("rsync -rcz via daemon (bytes received)", rsync_runs))
    else:
        rows.append(("rsync -rcz via daemon", "skipped: no rsync"))
    if casync_stores:
        c = casync_anchor(casync_stores[old_label], casync_stores[new_label])
        rows.append(("casync: new chunks (%d of %d, zstd) + index %s" % (
            c["chunks"], c["of"], mib(c["index"])),
            [{"bytes": c["bytes"], "wall": None, "peak": None, "cpu": None,
              "ok": True, "requests": None}]))
    else:
        rows.append(("casync", "skipped: no casync"))
    report(args, title, rows, anchor, goal_lines(args, runs, anchor))
    if rsync_runs:
        log("- rsync sent %s (median) to the daemon besides; its wall column above is its own, "
            "its bytes received include the file list" % spread_mib([r["sent"] for r in rsync_runs]))
    if casync_stores:
        log("- casync: bytes only (no transfer made), %.2f s at the link rate"
            % link_seconds(args, rows[-1][1][0]["bytes"]))
    # What each method fetched, from the first round, against what the
    # manifest and the player's files say it should.
    for method, label, server in methods:
        first = runs[method][0]
        log("- %s fetched: %s; installed: %s; rebuilding files after their requests ended: %s"
            % (label, ", ".join("%s %d requests %s" % (k, n, mib(b))
                                for k, (n, b) in sorted(first["kinds"].items())),
               ", ".join("%s %d files %s" % (k, n, mib(b))
                         for k, (n, b) in sorted(first["ways"].items())),
               spread([r["after"] for r in runs[method]], "%.2f", " s")))
    if features:
        objects, files = manifest_objects(servers["delta"].root)
        want = expected_choice(objects, files, template, True, True)
        log("- by the manifest, deltas should fetch: %s; %s in all" % (
            ", ".join("%s %s %s" % (n, k, mib(b)) for n, (k, b) in sorted(want.items())),
            mib(sum(b for _, b in want.values()))))
        for line in oversized_deltas(servers["delta"].root, template, objects, want, anchor):
            log(line)
        zo, zf = manifest_objects(servers["zst"].root)
        zwant = expected_choice(zo, zf, template, True, False)
        log("- by the manifest, compressed should fetch %s" %
            mib(sum(b for _, b in zwant.values())))
    return runs, rsync_runs, anchor


def select_archives(args):
    archives = sorted(n for n in os.listdir(SOURCE) if n.endswith(".pk3"))
    if args.files:
        archives = sorted(sorted(archives, key=lambda n: os.path.getsize(
            os.path.join(SOURCE, n)))[:args.files])
    return archives


def features_built(lvpublish, lvpatch):
    a = subprocess.run([lvpublish, "--help"], capture_output=True, text=True)
    b = subprocess.run([lvpatch, "--help"], capture_output=True, text=True)
    return "--delta" in a.stdout + a.stderr and "--plain-files" in b.stdout + b.stderr


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--files", type=int, default=0,
                        help="only the N smallest archives (0: all)")
    parser.add_argument("--level", type=int, default=19, help="lvpublish --delta-level")
    parser.add_argument("--delta-from", type=int, default=None,
                        help="lvpublish --delta-from for the delta root (default: its own)")
    parser.add_argument("--mbit", type=int, default=100)
    parser.add_argument("--rtt", type=int, default=20)
    parser.add_argument("--cache", default=None, help="keep the generated builds here")
    parser.add_argument("--work", default=None)
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--build", default=os.path.join(run.ROOT, "build"))
    parser.add_argument("--builds-only", action="store_true",
                        help="make the builds in --cache (b1, b2, b3) and stop; no root needed")
    args = parser.parse_args()
    if args.builds_only:
        if not args.cache:
            sys.exit("--builds-only needs --cache DIR")
        args.work = args.cache
        cached_builds(args, select_archives(args))
        return
    net.enter_namespace("bench/delta.py")
    lvpatch, lvpublish = net.built_tools(args.build)
    if not os.path.isdir(SOURCE):
        sys.exit("no %s: apt-get install openarena-data" % SOURCE)
    features = features_built(lvpublish, lvpatch)
    for path in (lvpatch, lvpublish):
        log("%s: modified %s" % (path, time.strftime("%Y-%m-%d %H:%M:%S",
                                                     time.localtime(os.path.getmtime(path)))))
    archives = select_archives(args)
    args.work = args.work or tempfile.mkdtemp(prefix="lvdelta-")
    os.makedirs(args.work, exist_ok=True)
    work = args.work
    log("load average at the start: %.1f %.1f %.1f" % os.getloadavg())
    log("delta benchmark, %s, %d rounds, %d archives (%s), level %d, %d Mbit/s, %d ms round "
        "trip, lvpatch %s" % (time.strftime("%Y-%m-%d %H:%M"), args.rounds, len(archives),
                              ", ".join(archives), args.level, args.mbit, args.rtt,
                              "with deltas" if features else "WITHOUT delta support"))
    servers = {}
    rsync_daemon = None
    try:
        builds, changes = cached_builds(args, archives)
        b = {k: os.path.join(builds, "b%d" % k) for k in (1, 2, 3)}
        for k in (2, 3):
            log("build %d changes: %s" % (k, "; ".join(
                "%s: %s%s" % (a, ", ".join(m), (" + added " + ", ".join(n)) if n else "")
                for a, m, n in changes[k])))
        for k in (1, 2, 3):
            log("build %d: %d files, %s" % (k, len(build_files(b[k])), mib(folder_bytes(b[k]))))
        servers["delta"] = Server(os.path.join(work, "server-delta"), work, "delta", args.rtt)
        servers["zst"] = Server(os.path.join(work, "server-zst"), work, "zst", args.rtt)
        level = ["--delta-level", str(args.level)]
        delta_flags = (["--delta"] + level + (["--delta-from", str(args.delta_from)]
                                              if args.delta_from is not None else [])
                       if features else [])
        zst_flags = ["--delta", "--delta-from", "0"] + level if features else []
        records = {"delta": [], "zst": []}
        plain_flag = ["--plain-files"] if features else []

        def publish_both(k):
            previous = b.get(k - 1)
            publish(args, lvpublish, b[k], previous, servers["delta"].root, delta_flags,
                    records["delta"], "build %d, deltas" % k)
            if features:
                publish(args, lvpublish, b[k], previous, servers["zst"].root, zst_flags,
                        records["zst"], "build %d, compressed only" % k)

        rsync_daemon = None
        if shutil.which("rsync"):
            rsync_daemon = RsyncDaemon(work, {"b2": b[2], "b3": b[3]}, args.rtt)
        else:
            log("anchor rsync: skipped, no rsync (apt-get install rsync)")
        stores = None
        if shutil.which("casync"):
            stores = {}
            for k in (1, 2, 3):
                stores["b%d" % k] = casync_store(work, b[k], "b%d" % k)
                log("casync make b%d: %.1f s, %d chunks" % (k, stores["b%d" % k]["wall"],
                                                         len(stores["b%d" % k]["chunks"])))
        else:
            log("anchor casync: skipped, no casync (apt-get install casync)")

        publish_both(1)
        template = os.path.join(work, "player-b1")
        install_template(lvpatch, servers["delta"], template, b[1], plain_flag)
        publish_both(2)
        summary = {}
        summary["1to2"] = scenario(
            args, "build 1 to build 2 (server: builds 1 and 2)", lvpatch, servers, template,
            b[2], b[1], work, features, stores, "b1", "b2", rsync_daemon)
        publish_both(3)
        summary["1to3"] = scenario(
            args, "build 1 to build 3 through 2 (server: builds 1, 2 and 3)", lvpatch, servers,
            template, b[3], b[1], work, features, stores, "b1", "b3", rsync_daemon)

        log("\n### publishing (lvpublish %s)\n" % " ".join(delta_flags or ["without deltas"]))
        log("| publish | build | changed files | wall | CPU | peak RSS | wall per GiB changed | "
            "server after: plain files | server after: objects/ | current manifest names |")
        log("|---|---|---|---|---|---|---|---|---|---|")
        for key in ("delta", "zst"):
            for rec in records[key]:
                named = rec["named"]
                log("| %s | %s | %s | %.1f s | %.1f s | %.0f MiB | %.1f s | %s | %s (%d files) | "
                    "%d compressed copies %s, %d deltas %s |" % (
                        rec["label"], mib(rec["build_bytes"]), mib(rec["changed"]), rec["wall"],
                        rec["cpu"], rec["peak"], rec["wall"] / (rec["changed"] / 2 ** 30),
                        mib(rec["plain"]), mib(rec["objects"]), rec["object_files"],
                        named["zst"][0], mib(named["zst"][1]), named["delta"][0],
                        mib(named["delta"][1])))
        log("\nload average at the end: %.1f %.1f %.1f" % os.getloadavg())
    finally:
        net.shape(0, 0)
        for s in servers.values():
            s.stop()
        if rsync_daemon:
            rsync_daemon.stop()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            log("work folder kept: %s" % work)


if __name__ == "__main__":
    main()
