#!/usr/bin/env python3
"""Writes the deterministic sample game folder that scripts/make-sample-set publishes.

Usage: generate_game.py OUT_DIR [SEED] [--world-regions N] [--change-region K] [--region-mib M]

--world-regions N (N above 9) writes N world regions named with two digits instead of the nine of
the default set, so that nyra-001.pck spans three or more CDN objects; --change-region K gives region
K other bytes in the MiB at its middle (a next version of that pack in which only the chunk around it
differs). --region-mib M makes each region about M MiB instead of 8 (the large measuring set).
With more regions, nyra-002.pck (backend only) also gets a 9 MiB clip.

Every byte comes from SHAKE-256 of the seed and the file's path, so the same seed always gives the
same folder. The layout feeds the sample settings' pack groups:
  top level + data/db + data/ui  -> nyra-000.pck  (small, under 4 MiB, in the CDN identity)
  data/world                     -> nyra-001.pck  (incompressible, above 64 MiB: two CDN objects)
  everything else (data/extra)   -> nyra-002.pck  (not in the CDN identity: backend only)

"game.bin" and "NyraGuard.dll" written here are placeholders of the right kind ("MZ" and filler);
scripts/make-sample-set puts the stand-in game of tools/game in their place once it is built.
"""
import hashlib
import os
import sys

WORDS = ("nyra saga brasil guild quest sword shield potion dragon castle village merchant "
         "mana stamina level skill armor helm ring amulet forest desert cave boss raid party "
         "trade gold silver bronze market npc map portal spawn respawn drop rate event").split()


def stream(seed, path, size):
    return hashlib.shake_256(f"{seed}|{path}".encode()).digest(size)


def text(seed, path, size):
    raw = stream(seed, path + "#text", size // 4 + 16)
    out, i = [], 0
    length = 0
    while length < size:
        b = raw[i % len(raw)]
        i += 1
        if b % 11 == 0:
            word = f"\n{WORDS[b % len(WORDS)].capitalize()}{b % 97}="
        else:
            word = WORDS[b % len(WORDS)] + " "
        out.append(word)
        length += len(word)
    return "".join(out)[:size].encode()


def structured(seed, path, size):
    """Binary with repeats (records and zero runs): compressible, but not text."""
    raw = stream(seed, path + "#bin", size // 8 + 64)
    record = raw[:64]
    out = bytearray()
    i = 64
    while len(out) < size:
        kind = raw[i % len(raw)] % 4
        i += 1
        if kind == 0:
            out += record
        elif kind == 1:
            out += bytes(48)
        else:
            out += raw[i % len(raw):i % len(raw) + 32]
            i += 32
    return bytes(out[:size])


def main():
    args = sys.argv[1:]
    options = {}
    for name in ("--world-regions", "--change-region", "--region-mib"):
        if name in args:
            at = args.index(name)
            options[name] = int(args[at + 1])
            del args[at:at + 2]
    out = args[0]
    seed = args[1] if len(args) > 1 else "nyra-sample"
    regions = options.get("--world-regions", 9)
    changed = options.get("--change-region")
    region_bytes = options.get("--region-mib", 8) * 1024 * 1024
    files = {}
    files["client.ini"] = (b"[Option]\r\nScreenWidth=1280\r\nScreenHeight=720\r\n"
                           b"FullScreenMode=0\r\nScreenFrequency=60\r\n")
    files["game.bin"] = b"MZ" + structured(seed, "game.bin", 393214)
    files["NyraGuard.dll"] = b"MZ" + structured(seed, "NyraGuard.dll", 131070)
    files["graphics/reshade/fx/e.fx"] = text(seed, "e.fx", 6000)
    files["data/empty.flag"] = b""
    for n in range(150):
        path = f"data/db/table_{n:03d}.ini"
        size = 1000 + stream(seed, path, 2)[0] * 60
        files[path] = text(seed, path, size)
    for n in range(40):
        path = f"data/ui/widget_{n:02d}.dat"
        size = 2000 + stream(seed, path, 2)[1] * 40
        files[path] = structured(seed, path, size)
    # Written one at a time: the large set's regions do not all fit in memory at once.
    for n in range(regions):
        path = f"data/world/region_{n}.pak" if regions <= 9 else f"data/world/region_{n:02d}.pak"
        target = os.path.join(out, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        data = stream(seed, path, region_bytes - 4096 * n)
        if n == changed:
            # One MiB in the middle: the change stays inside one CDN object of the pack.
            middle = len(data) // 2
            data = data[:middle] + stream(seed, path + "#changed", 1048576) + data[middle + 1048576:]
        with open(target, "wb") as f:
            f.write(data)
    if regions > 9:
        # nyra-002.pck (backend only) beyond two 4 MiB ranges, so that a kept download can resume.
        files["data/extra/media/long_clip.ogg"] = stream(seed, "long_clip.ogg", 9 * 1024 * 1024)
    for n in range(60):
        path = f"data/extra/notes/note_{n:02d}.txt"
        files[path] = text(seed, path, 500 + stream(seed, path, 1)[0] * 50)
    for n in range(40):
        path = f"data/extra/media/clip_{n:02d}.ogg"
        files[path] = stream(seed, path, 20000 + stream(seed, path + "#n", 2)[0] * 200)
    for n in range(30):
        path = f"data/extra/mixed/blob_{n:02d}.bin"
        files[path] = structured(seed, path, 5000 + n * 311)
    for path, data in files.items():
        target = os.path.join(out, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
    print(f"{len(files) + regions} files in {out}")


if __name__ == "__main__":
    main()
