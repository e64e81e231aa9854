#!/usr/bin/python3
"""Build the launcher's two embedded TrueType fonts from the Fontsource
WOFF subsets of M PLUS Rounded 1c.

usage: build_fonts.py PACKAGE_DIR OUT_DIR

Per weight, the latin, latin-ext and the numbered subset that carries the
star symbols are merged into one glyf font, cut down to the characters the
launcher can draw, renamed to the family names the UI asks GDI+ for, and
written as .ttf. The build fails if a required character has no glyph,
except for the ones listed in KNOWN_MISSING, which the package does not
ship in any subset (the UI draws those itself).
"""
import os
import sys
import tempfile

from fontTools.merge import Merger
from fontTools.subset import Options, Subsetter
from fontTools.ttLib import TTFont

WEIGHTS = {
    500: ("Medium", "RoundedMplus1c-Medium"),
    800: ("ExtraBold", "RoundedMplus1c-ExtraBold"),
}
# latin + latin-ext cover ASCII, Latin-1, Latin Extended-A and the general
# punctuation the UI uses; subset 108 is the only one that holds U+2605.
SUBSETS = ["latin", "latin-ext", "108"]

PORTUGUESE = "áàâãéêíóôõúüçÁÀÂÃÉÊÍÓÔÕÚÜÇ"
SYMBOLS = "\u2022\u203a\u2605\u25be\u00b7\u00d7\u2013\u2026\u00a9\u2019\u201c\u201d"
REQUIRED = [chr(c) for c in range(0x20, 0x7F)] + list(PORTUGUESE) + list(SYMBOLS)
# Not present in any subset of the package (checked against every cmap).
KNOWN_MISSING = {0x25BE}
# Extra characters kept besides whatever latin/latin-ext map.
EXTRA_KEEP = {0x2605, 0x2606}


def load_subset(pkg, subset, weight):
    path = os.path.join(pkg, "files", f"m-plus-rounded-1c-{subset}-{weight}-normal.woff2")
    font = TTFont(path)
    font.flavor = None
    return font


def merge(fonts, tmpdir):
    # Merger wants file paths; it also insists on identical upem.
    paths = []
    for i, f in enumerate(fonts):
        p = os.path.join(tmpdir, f"part{i}.ttf")
        # vertical metrics tables differ between subsets and are of no use
        # to a horizontal Windows UI; drop them so the merge stays simple.
        for tag in ("vhea", "vmtx"):
            if tag in f:
                del f[tag]
        f.save(p)
        paths.append(p)
    return Merger().merge(paths)


def set_names(font, style_name, ps_name):
    family = f"Rounded Mplus 1c {style_name}"
    name = font["name"]
    keep = {0, 13, 14}
    copyright_ = name.getDebugName(0) or "Copyright 2016 The Rounded M+ Project Authors."
    version = font["head"].fontRevision
    name.names = [n for n in name.names if n.nameID in keep]
    values = {
        0: copyright_,
        1: family,
        2: "Regular",
        3: f"{version:.3f};{ps_name}",
        4: family,
        5: f"Version {version:.3f}",
        6: ps_name,
        16: family,
        17: "Regular",
    }
    for nid, val in values.items():
        name.setName(val, nid, 3, 1, 0x409)  # Windows, Unicode BMP, en-US
        name.setName(val, nid, 1, 0, 0)      # Macintosh Roman
    os2 = font["OS/2"]
    # Regular within its own family: not bold, not italic.
    os2.fsSelection = (os2.fsSelection & ~0b1100001) | 0b1000000
    font["head"].macStyle = 0


def build(pkg, out_dir, weight, style_name, ps_name):
    with tempfile.TemporaryDirectory() as tmp:
        parts = [load_subset(pkg, s, weight) for s in SUBSETS]
        stamps = (parts[0]["head"].created, parts[0]["head"].modified)
        keep = set(parts[0].getBestCmap()) | set(parts[1].getBestCmap()) | EXTRA_KEEP
        merged = merge(parts, tmp)
    opts = Options()
    opts.layout_features = ["*"]
    opts.name_IDs = ["*"]
    opts.name_languages = ["*"]
    opts.notdef_outline = True
    opts.glyph_names = False
    sub = Subsetter(opts)
    sub.populate(unicodes=keep)
    sub.subset(merged)
    merged["OS/2"].usWeightClass = weight
    set_names(merged, style_name, ps_name)
    # Keep the source's timestamps so a rebuild is byte-identical.
    merged["head"].created, merged["head"].modified = stamps
    merged.recalcTimestamp = False
    out = os.path.join(out_dir, f"{ps_name}.ttf")
    merged.save(out)
    return out


def check(path, weight, style_name, ps_name):
    font = TTFont(path)
    problems = []
    if "glyf" not in font:
        problems.append("no glyf table")
    name = font["name"]
    want = {1: f"Rounded Mplus 1c {style_name}", 2: "Regular", 4: f"Rounded Mplus 1c {style_name}",
            6: ps_name, 16: f"Rounded Mplus 1c {style_name}", 17: "Regular"}
    for nid, val in want.items():
        got = name.getName(nid, 3, 1, 0x409)
        if got is None or got.toUnicode() != val:
            problems.append(f"name {nid}: {got and got.toUnicode()!r} != {val!r}")
    if font["OS/2"].usWeightClass != weight:
        problems.append(f"usWeightClass {font['OS/2'].usWeightClass}")
    cmap = font.getBestCmap()
    glyf = font["glyf"]
    missing = []
    for ch in REQUIRED:
        cp = ord(ch)
        g = cmap.get(cp)
        if g is None:
            if cp not in KNOWN_MISSING:
                missing.append(f"U+{cp:04X}")
            continue
        if cp != 0x20 and glyf[g].numberOfContours == 0:
            problems.append(f"U+{cp:04X} maps to an empty glyph")
    if missing:
        problems.append("no glyph for " + " ".join(missing))
    for cp in KNOWN_MISSING:
        if cp in cmap:
            print(f"note: U+{cp:04X} is now present; drop it from KNOWN_MISSING", file=sys.stderr)
    return problems


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    pkg, out_dir = sys.argv[1], sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    failed = False
    for weight, (style_name, ps_name) in WEIGHTS.items():
        out = build(pkg, out_dir, weight, style_name, ps_name)
        problems = check(out, weight, style_name, ps_name)
        f = TTFont(out)
        print(f"{out}: family={f['name'].getDebugName(1)!r} weight={f['OS/2'].usWeightClass} "
              f"glyphs={f['maxp'].numGlyphs} size={os.path.getsize(out)}")
        for p in problems:
            print(f"  ERROR {p}", file=sys.stderr)
            failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
