#!/usr/bin/python3
"""Build the launcher's two embedded TrueType fonts from the Fontsource
WOFF subsets of M PLUS Rounded 1c.

usage: build_fonts.py PACKAGE_DIR OUT_DIR

Per weight, the latin, latin-ext and the numbered subset that carries the
star symbols are merged into one glyf font, cut down to the characters the
launcher can draw, renamed to the family names the UI asks GDI+ for, and
written as .ttf. U+25BE, which no subset carries, is added as a scaled-down
copy of the designer's own U+25BC from another subset of the same weight.
The build fails if a required character has no glyph.
"""
import os
import sys
import tempfile

from fontTools.merge import Merger
from fontTools.pens.boundsPen import BoundsPen
from fontTools.pens.transformPen import TransformPen
from fontTools.pens.ttGlyphPen import TTGlyphPen
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
# U+25BE BLACK DOWN-POINTING SMALL TRIANGLE is in no subset of the package.
# It is made from U+25BC BLACK DOWN-POINTING TRIANGLE (subset 101, same
# weight; already drawn with rounded corners), scaled so that its width is
# SMALL_TRIANGLE_PER_BULLET times the width of the bullet U+2022, centred on
# the bullet's vertical middle, with side bearings SMALL_TRIANGLE_SIDE times
# the bullet's left side bearing. Following the bullet keeps the ExtraBold
# triangle a little heavier than the Medium one, as the font does with •.
# Each point near a corner keeps SMALL_TRIANGLE_CORNER of its distance from
# that corner instead of shrinking with the rest, so the small triangle keeps
# rounded corners like the font's other glyphs rather than sharp ones.
SMALL_TRIANGLE = 0x25BE
SMALL_TRIANGLE_NAME = "uni25BE"
SMALL_TRIANGLE_SOURCE = ("101", 0x25BC)
SMALL_TRIANGLE_PER_BULLET = 1.45
SMALL_TRIANGLE_SIDE = 0.75
SMALL_TRIANGLE_CORNER = 0.8
BULLET = 0x2022
# Extra characters kept besides whatever latin/latin-ext map.
EXTRA_KEEP = {0x2605, 0x2606}


def load_subset(pkg, subset, weight):
    path = os.path.join(pkg, "files", f"m-plus-rounded-1c-{subset}-{weight}-normal.woff2")
    font = TTFont(path)
    font.flavor = None
    return font


def glyph_bounds(font, glyph_name):
    pen = BoundsPen(font.getGlyphSet())
    font.getGlyphSet()[glyph_name].draw(pen)
    return pen.bounds


class CornerKeepingScale:
    """Point mapping for TransformPen: scales a triangle's outline while the
    rounding at each corner shrinks only by corner_factor. corners are the
    source's corner positions, the point nearest to a point is its corner."""

    def __init__(self, scale, dx, dy, corners, corner_factor):
        self.scale, self.dx, self.dy = scale, dx, dy
        self.corners = corners
        self.corner_factor = corner_factor

    def transformPoint(self, pt):
        x, y = pt
        cx, cy = min(self.corners, key=lambda c: (c[0] - x) ** 2 + (c[1] - y) ** 2)
        k = self.corner_factor
        return (cx * self.scale + self.dx + (x - cx) * k,
                cy * self.scale + self.dy + (y - cy) * k)


def add_small_triangle(font, source):
    """Add U+25BE to font, drawn from source's U+25BC (see SMALL_TRIANGLE)."""
    src_name = source.getBestCmap()[SMALL_TRIANGLE_SOURCE[1]]
    sx0, sy0, sx1, sy1 = glyph_bounds(source, src_name)
    bullet = font.getBestCmap()[BULLET]
    bx0, by0, bx1, by1 = glyph_bounds(font, bullet)
    scale = SMALL_TRIANGLE_PER_BULLET * (bx1 - bx0) / (sx1 - sx0)
    width = (sx1 - sx0) * scale
    height = (sy1 - sy0) * scale
    side = round(SMALL_TRIANGLE_SIDE * font["hmtx"][bullet][1])
    advance = round(width) + 2 * side
    # Map the source box onto [side, side+width] x [mid-height/2, mid+height/2].
    mid = (by0 + by1) / 2
    dx = side - sx0 * scale
    dy = mid - height / 2 - sy0 * scale
    glyph_set = source.getGlyphSet()
    pen = TTGlyphPen(None)
    # The corners of the box a down-pointing triangle fills.
    corners = [(sx0, sy1), (sx1, sy1), ((sx0 + sx1) / 2, sy0)]
    mapping = CornerKeepingScale(scale, dx, dy, corners, SMALL_TRIANGLE_CORNER)
    glyph_set[src_name].draw(TransformPen(pen, mapping))
    glyph = pen.glyph()
    glyf = font["glyf"]
    order = font.getGlyphOrder() + [SMALL_TRIANGLE_NAME]
    font.setGlyphOrder(order)
    glyf.glyphOrder = order
    glyf[SMALL_TRIANGLE_NAME] = glyph
    glyph.recalcBounds(glyf)
    font["hmtx"][SMALL_TRIANGLE_NAME] = (advance, glyph.xMin)
    for table in font["cmap"].tables:
        if table.isUnicode():
            table.cmap[SMALL_TRIANGLE] = SMALL_TRIANGLE_NAME


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
    triangles = load_subset(pkg, SMALL_TRIANGLE_SOURCE[0], weight)
    opts = Options()
    opts.layout_features = ["*"]
    opts.name_IDs = ["*"]
    opts.name_languages = ["*"]
    opts.notdef_outline = True
    opts.glyph_names = False
    sub = Subsetter(opts)
    sub.populate(unicodes=keep)
    sub.subset(merged)
    add_small_triangle(merged, triangles)
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
            missing.append(f"U+{cp:04X}")
            continue
        if cp != 0x20 and glyf[g].numberOfContours == 0:
            problems.append(f"U+{cp:04X} maps to an empty glyph")
    if missing:
        problems.append("no glyph for " + " ".join(missing))
    tri = cmap.get(SMALL_TRIANGLE)
    if tri is not None:
        g = glyf[tri]
        advance, lsb = font["hmtx"][tri]
        # inside its advance, above the baseline, below the x-height's top
        # plus a little, and where it sits in hmtx
        if not (0 < g.xMin == lsb and g.xMax < advance and 0 < g.yMin and g.yMax < 600):
            problems.append(f"U+{SMALL_TRIANGLE:04X} box {(g.xMin, g.yMin, g.xMax, g.yMax)} "
                            f"advance {advance} lsb {lsb}")
    for table in font["cmap"].tables:
        if table.isUnicode() and SMALL_TRIANGLE not in table.cmap:
            problems.append(f"cmap ({table.platformID},{table.platEncID}) lacks U+{SMALL_TRIANGLE:04X}")
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
