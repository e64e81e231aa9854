#!/usr/bin/env python3
"""Writes the deterministic sample game folder that scripts/make-sample-set publishes.

Usage: generate_game.py OUT_DIR [SEED]

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
    out = sys.argv[1]
    seed = sys.argv[2] if len(sys.argv) > 2 else "nyra-sample"
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
    for n in range(9):
        path = f"data/world/region_{n}.pak"
        files[path] = stream(seed, path, 8 * 1024 * 1024 - 4096 * n)
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
    print(f"{len(files)} files in {out}")


if __name__ == "__main__":
    main()
