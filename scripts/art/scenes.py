"""Scene painters for the launcher art. Each takes (w, h) and returns RGBA."""
import math
import random

from PIL import Image, ImageDraw, ImageFilter, ImageChops

from artlib import (blank, fill_below, glow, hgradient, mask, mist, moon, paint, pine, ridge, rgb,
                    round_tree, shape, sparkle, spline, stars, star_points, tower, vgradient,
                    vignette, windows, mix, rim, radial_mask)

NIGHT_SKY = [(0, "#0B0619"), (0.35, "#1D1230"), (0.62, "#3B2264"), (0.8, "#6A3E88"), (1, "#8E557F")]


def castle(d, cx, base, s, fill=255):
    """Castle silhouette centred at cx standing on base, scale s (~ width of keep)."""
    d.rectangle((cx - 2.2 * s, base - 1.1 * s, cx + 2.2 * s, base), fill=fill)       # curtain wall
    for i in range(12):                                                                 # crenels
        x = cx - 2.2 * s + i * 0.4 * s
        d.rectangle((x, base - 1.25 * s, x + 0.22 * s, base - 1.1 * s), fill=fill)
    tower(d, cx, base, 1.0 * s, 2.6 * s, fill=fill)                                     # keep
    tower(d, cx - 0.75 * s, base, 0.45 * s, 3.3 * s, roof=1.2, fill=fill)
    tower(d, cx + 0.8 * s, base, 0.5 * s, 2.2 * s, fill=fill)
    tower(d, cx - 2.2 * s, base, 0.7 * s, 1.9 * s, fill=fill)
    tower(d, cx + 2.2 * s, base, 0.7 * s, 1.7 * s, fill=fill, spire=False, battlement=True)
    tower(d, cx + 1.5 * s, base, 0.35 * s, 2.7 * s, roof=1.3, fill=fill)
    tower(d, cx - 1.45 * s, base, 0.35 * s, 2.3 * s, roof=1.1, fill=fill)


def castle_windows(cx, base, s, rng):
    pts = []
    for (tx, top, bot, n) in [(0, 2.4, 1.2, 3), (-0.75, 3.0, 2.0, 2), (0.8, 2.0, 1.3, 2),
                              (-2.2, 1.7, 1.0, 2), (1.5, 2.5, 1.8, 2), (-1.45, 2.1, 1.6, 1)]:
        for k in range(n):
            y = base - (top - (top - bot) * k / max(1, n - 1)) * s
            pts.append((cx + tx * s, y, s / 30))
    for i in range(7):
        if rng.random() < 0.6:
            pts.append((cx + rng.uniform(-2, 2) * s, base - rng.uniform(0.3, 0.8) * s, s / 34))
    return pts


# The full moon of the card (centre x, centre y, radius as fractions of the picture). The launcher
# draws the picture over its card, so this is where the moon appears on the screens; it must keep
# clear of the decoration's crescent, the logo, the titles and the hero on both the splash and the
# home screen.
CARD_MOON = (0.241, 0.308, 0.05)


def card_background(w, h):
    rng = random.Random(1120)
    c = vgradient(w, h, NIGHT_SKY)
    # faint nebula bands
    glow(c, w * 0.3, h * 0.3, w * 0.35, "purple", 120, ry=h * 0.18)
    glow(c, w * 0.6, h * 0.15, w * 0.3, "rose", 40, ry=h * 0.12)
    glow(c, w * 0.15, h * 0.55, w * 0.25, "#2E7A9A", 35, ry=h * 0.12)
    stars(c, rng, 1400, (0, 0, w, h * 0.72), size=(0.7, 2.4),
          density=lambda x, y: (1 - y / (h * 0.75)) * (0.35 if x > w * 0.66 else 1.0), twinkle=0.012)
    moon(c, w * CARD_MOON[0], h * CARD_MOON[1], h * CARD_MOON[2], color="#FFF1CC", rng=rng)
    glow(c, w * 0.45, h * 0.62, w * 0.45, "rose", 70, ry=h * 0.12)   # warm horizon
    # far mountains: pale, hazy, lit on the moon side
    far = ridge(rng, w, h * 0.56, h * 0.3, 0.6, 9)
    fm = shape(c, vgradient(w, h, [(0.35, "#7B5AA4"), (0.75, "#3E2A62")]), lambda d: d.polygon(fill_below(far, h), fill=255), blur=1)
    paint(c, rim(fm, 0, -4, 4), (220, 200, 240, 60))
    mist(c, h * 0.66, h * 0.08, "#B79AD0", 70, rng, 14)
    # mid range with a flat-topped castle hill
    cx, s = w * 0.4, h * 0.04
    mid = ridge(rng, w, h * 0.72, h * 0.14, 0.5, 9)
    top = h * 0.6
    def hill(x, y):
        t = max(0.0, 1 - max(0.0, abs(x - cx) - 2.4 * s) / (w * 0.16))
        t = t * t * (3 - 2 * t)
        return (x, y + (top - y) * t)
    mid = [hill(x, y) for x, y in mid]
    mm = shape(c, vgradient(w, h, [(0.5, "#3A2358"), (0.9, "#24163C")]), lambda d: d.polygon(fill_below(mid, h), fill=255), blur=0.8)
    paint(c, rim(mm, 0, -4, 4), (200, 178, 212, 45))
    base = top + s * 0.3
    cm = shape(c, "#2A1A46", lambda d: castle(d, cx, base, s), blur=0.7)
    paint(c, rim(cm, 2, 0, 1.5), (255, 233, 173, 70))
    windows(c, rng, castle_windows(cx, base, s, rng), size=(3, 6))
    glow(c, cx, base - s, s * 4, "gold", 35)
    mist(c, h * 0.7, h * 0.06, "#9C7DC0", 70, rng, 14)
    # near hills
    near = ridge(rng, w, h * 0.83, h * 0.1, 0.5, 9)
    shape(c, vgradient(w, h, [(0.75, "#1E1233"), (1, "#120A20")]), lambda d: d.polygon(fill_below(near, h), fill=255), blur=0.8)
    # foreground trees at the sides
    def trees(d):
        for i in range(22):
            x = rng.uniform(-0.02, 0.3) * w if i < 14 else rng.uniform(0.55, 0.7) * w
            hh = h * rng.uniform(0.12, 0.3)
            pine(d, x, h * 1.01, hh, hh * 0.38)
    shape(c, "#0D0718", trees, blur=0.8)
    mist(c, h * 0.97, h * 0.08, "#5A3F80", 70, rng, 10)
    # calmer, darker right column for the account panel
    shade = hgradient(w, h, [(0, "#000000", 0), (0.6, "#0E0820", 0), (0.72, "#0E0820", 150), (1, "#0B0619", 190)])
    c.alpha_composite(shade)
    vignette(c, 150)
    return c


def _gold(w, h, y0=0.0, y1=1.0):
    return vgradient(w, h, [(y0, "gold_light"), ((y0 + y1) / 2, "gold"), (y1, "gold_dark")])


def _ribbon(centre, w0, w1):
    """Closed outline of a band along the polyline centre, w0 wide at its
    start narrowing to w1 at its end."""
    left, right = [], []
    n = len(centre)
    for i, (x, y) in enumerate(centre):
        ax, ay = centre[max(i - 1, 0)]
        bx, by = centre[min(i + 1, n - 1)]
        dx, dy = bx - ax, by - ay
        ln = math.hypot(dx, dy) or 1.0
        half = (w0 + (w1 - w0) * i / max(n - 1, 1)) / 2
        left.append((x - dy / ln * half, y + dx / ln * half))
        right.append((x + dy / ln * half, y - dx / ln * half))
    return left + right[::-1]


def hero(w, h):
    """Cloaked mage holding a crystal staff, rim-lit, on transparency."""
    rng = random.Random(620)
    c = blank(w, h)
    P = lambda x, y: (x * w, y * h)  # noqa: E731
    sx = 0.24  # staff x
    # aura behind the figure
    glow(c, *P(0.55, 0.55), w * 0.5, "purple", 90, ry=h * 0.45)
    cloak = spline([P(0.50, 0.085), P(0.585, 0.12), P(0.62, 0.2), P(0.64, 0.26), P(0.74, 0.32),
                    P(0.8, 0.5), P(0.86, 0.75), P(0.95, 0.97), P(0.78, 0.95), P(0.64, 0.985),
                    P(0.5, 0.955), P(0.36, 0.99), P(0.22, 0.955), P(0.3, 0.72), P(0.33, 0.5),
                    P(0.36, 0.31), P(0.42, 0.25), P(0.41, 0.16), P(0.45, 0.1)], 16, closed=True)
    sleeve = spline([P(0.38, 0.3), P(0.3, 0.38), P(0.255, 0.445), P(0.275, 0.475), P(0.33, 0.43),
                     P(0.41, 0.37)], 12, closed=True)
    body_fill = vgradient(w, h, [(0.08, "#4A2F72"), (0.5, "#2C1A48"), (1, "#160C26")])
    # staff behind the hand
    staff = mask(w, h)
    sd = ImageDraw.Draw(staff)
    sd.line([P(sx + 0.03, 0.98), P(sx, 0.16)], fill=255, width=int(w * 0.016))
    sd.ellipse((P(sx - 0.03, 0.135)[0], P(0, 0.135)[1], P(sx + 0.03, 0.185)[0], P(0, 0.185)[1]), fill=255)
    staff = staff.filter(ImageFilter.GaussianBlur(1))
    paint(c, staff, hgradient(w, h, [(sx - 0.01, "gold_dark"), (sx, "gold_light"), (sx + 0.015, "gold_dark")]))
    # the scarf's other end falls behind the right shoulder (the cloak hides its root)
    back = spline([P(0.6, 0.225), P(0.69, 0.26), P(0.74, 0.32), P(0.775, 0.38), P(0.79, 0.42), P(0.82, 0.46)], 10)
    shape(c, vgradient(w, h, [(0.25, "#74225A"), (0.45, "#3E1030")]),
          lambda d: d.polygon(_ribbon(back, w * 0.04, w * 0.014), fill=255), blur=1.2)
    # cloak body and folds
    m = mask(w, h)
    ImageDraw.Draw(m).polygon(cloak, fill=255)
    m = m.filter(ImageFilter.GaussianBlur(1.2))
    paint(c, m, body_fill)
    folds = mask(w, h)
    fd = ImageDraw.Draw(folds)
    for x0, x1 in [(0.45, 0.36), (0.55, 0.52), (0.63, 0.68), (0.7, 0.82), (0.5, 0.45)]:
        fd.line(spline([P(x0, 0.34), P((x0 + x1) / 2 + 0.02, 0.62), P(x1, 0.96)], 20),
                fill=255, width=int(w * 0.012))
    folds = ImageChops.multiply(folds.filter(ImageFilter.GaussianBlur(w * 0.012)), m)
    paint(c, folds.point(lambda v: v * 150 // 255), "#0F0819")
    # rim light inside the silhouette: turquoise from the crystal, gold from the moon
    paint(c, ImageChops.multiply(rim(m, -10, -3, 6), m), (95, 242, 230, 200))
    paint(c, ImageChops.multiply(rim(m, 8, -8, 6), m), (255, 225, 160, 150))
    # hood opening with a shadowed face
    hood = spline([P(0.47, 0.14), P(0.55, 0.15), P(0.575, 0.21), P(0.54, 0.255), P(0.47, 0.24),
                   P(0.455, 0.18)], 10, closed=True)
    shape(c, "#0C0614", lambda d: d.polygon(hood, fill=255), blur=w * 0.008)
    # rose scarf round the neck: one end drapes down over the chest
    scarf_fill = vgradient(w, h, [(0.23, "rose"), (0.46, "#6E1A4A")])
    shape(c, scarf_fill, lambda d: d.polygon(spline([P(0.455, 0.228), P(0.51, 0.248), P(0.57, 0.236),
                                                     P(0.585, 0.262), P(0.52, 0.285), P(0.46, 0.268)], 10,
                                                    closed=True), fill=255), blur=1.2)
    tail = spline([P(0.555, 0.262), P(0.578, 0.31), P(0.568, 0.37), P(0.584, 0.435)], 12)
    shape(c, scarf_fill, lambda d: d.polygon(_ribbon(tail, w * 0.042, w * 0.026), fill=255), blur=1.2)
    shape(c, "#4A1235", lambda d: d.line(tail[6:-4], fill=255, width=int(w * 0.005)), blur=w * 0.004,
          opacity=150)
    # gold band woven across the end of the draped tail
    band = _ribbon(tail, w * 0.042, w * 0.026)
    n = len(tail)
    shape(c, _gold(w, h, 0.41, 0.43), lambda d: d.line([band[n - 4], band[n + 3]], fill=255,
                                                        width=int(w * 0.006)), blur=0.8)
    # thin gold trim round the hood opening
    shape(c, _gold(w, h, 0.14, 0.26), lambda d: d.line(hood + hood[:1], fill=255, width=int(w * 0.005),
                                                       joint="curve"), blur=1, opacity=180)
    # two faint turquoise glints for eyes in the shadow of the hood
    for ex in (0.493, 0.535):
        glow(c, *P(ex, 0.19), w * 0.018, "turquoise", 120)
        shape(c, "#BFFBF6", lambda d: d.ellipse((*P(ex - 0.007, 0.186), *P(ex + 0.007, 0.194)), fill=255), blur=1)
    # arm and hand on the staff
    sm = shape(c, vgradient(w, h, [(0.3, "#3E2766"), (0.48, "#241538")]),
               lambda d: d.polygon(sleeve, fill=255), blur=1.2)
    shape(c, "#D9B9A4", lambda d: d.ellipse((*P(sx - 0.025, 0.425), *P(sx + 0.03, 0.465)), fill=255), blur=1)
    # gold trim: hem, sleeve cuff and collar clasp
    hem = [(x, y - h * 0.012) for x, y in spline([P(0.23, 0.95), P(0.36, 0.98), P(0.5, 0.945),
                                                   P(0.64, 0.975), P(0.78, 0.94), P(0.93, 0.96)], 16)]
    shape(c, _gold(w, h, 0.9, 1.0), lambda d: d.line(hem, fill=255, width=int(w * 0.012), joint="curve"), blur=1)
    shape(c, _gold(w, h, 0.24, 0.3), lambda d: d.ellipse((*P(0.475, 0.25), *P(0.525, 0.29)), fill=255), blur=1)
    shape(c, "rose", lambda d: d.ellipse((*P(0.488, 0.26), *P(0.512, 0.28)), fill=255), blur=1)
    # rim light: turquoise from the crystal side, gold from the moon side
    paint(c, ImageChops.multiply(rim(sm, -8, -4, 5), sm), (95, 242, 230, 200))
    # crystal with its light
    cx, cy = P(sx, 0.1)
    glow(c, cx, cy, w * 0.33, "turquoise", 110, power=2.4)
    glow(c, cx, cy, w * 0.12, "#C8FFF9", 170)
    cr = w * 0.045
    crystal = [(cx, cy - cr * 1.9), (cx + cr, cy - cr * 0.2), (cx, cy + cr * 1.3), (cx - cr, cy - cr * 0.2)]
    shape(c, vgradient(w, h, [((cy - cr * 2) / h, "#E8FFFD"), ((cy + cr) / h, "#2FB8C4")]),
          lambda d: d.polygon(crystal, fill=255), blur=0.8)
    shape(c, (255, 255, 255, 150), lambda d: d.polygon([crystal[0], crystal[3], (cx, cy - cr * 0.2)], fill=255), blur=0.8)
    sparkle(c, cx + cr * 0.2, cy - cr * 0.3, w * 0.09, "#E8FFFD")
    for i in range(40):
        a = rng.uniform(0, 2 * math.pi)
        d_ = rng.uniform(0.06, 0.3) * w
        x, y = cx + d_ * math.cos(a), cy + d_ * math.sin(a) * 0.8 + rng.uniform(0, 0.25) * h
        r = rng.uniform(1.2, 3.5)
        col = "turquoise" if rng.random() < 0.6 else "gold_light"
        if rng.random() < 0.15:
            sparkle(c, x, y, r * 5, col)
        else:
            shape(c, col, lambda d: d.ellipse((x - r, y - r, x + r, y + r), fill=255), blur=0.6)
            glow(c, x, y, r * 4, col, 60)
    return c


def lantern(c, x, y, s, rng):
    """Small hanging lantern, top hook at (x, y), height ~ 3s."""
    glow(c, x, y + 1.7 * s, s * 4.5, "#FFB45A", 120)
    glow(c, x, y + 1.7 * s, s * 1.8, "gold_light", 170)
    body = [(x - 0.55 * s, y + 0.7 * s), (x + 0.55 * s, y + 0.7 * s), (x + 0.75 * s, y + 1.7 * s),
            (x + 0.55 * s, y + 2.7 * s), (x - 0.55 * s, y + 2.7 * s), (x - 0.75 * s, y + 1.7 * s)]
    shape(c, vgradient(c.width, c.height, [((y + 0.7 * s) / c.height, "#FFF3C4"), ((y + 2.7 * s) / c.height, "#FFB14E")]),
          lambda d: d.polygon(body, fill=255), blur=0.8)
    def frame(d):
        d.line(body + [body[0]], fill=255, width=max(2, int(s * 0.14)), joint="curve")
        d.line([(x, y + 0.7 * s), (x, y + 2.7 * s)], fill=255, width=max(1, int(s * 0.08)))
        d.polygon([(x - 0.75 * s, y + 0.75 * s), (x, y + 0.05 * s), (x + 0.75 * s, y + 0.75 * s)], fill=255)
        d.rectangle((x - 0.6 * s, y + 2.65 * s, x + 0.6 * s, y + 2.95 * s), fill=255)
        d.ellipse((x - 0.2 * s, y - 0.25 * s, x + 0.2 * s, y + 0.15 * s), outline=255, width=max(1, int(s * 0.08)))
    shape(c, _gold(c.width, c.height, y / c.height, (y + 3 * s) / c.height), frame, blur=0.8)


def hanging_star(c, x, y, r, color="gold"):
    glow(c, x, y, r * 3, color, 90)
    shape(c, _gold(c.width, c.height, (y - r) / c.height, (y + r) / c.height),
          lambda d: d.polygon(star_points(x, y, r, r * 0.45, 5), fill=255), blur=0.8)


def string(c, pts, width=2, color="gold_dark"):
    shape(c, color, lambda d: d.line(spline(pts, 12), fill=255, width=width, joint="curve"), blur=0.6)


def decoration_top(w, h):
    rng = random.Random(642)
    c = blank(w, h)
    P = lambda x, y: (x * w, y * h)  # noqa: E731
    mx, my, mr = w * 0.52, h * 0.43, w * 0.25
    # strings first so everything hangs in front of them
    string(c, [P(0.52, 0), P(0.53, 0.1), P(0.52, 0.19)], 4)
    for sx_, sy, kind in [(0.14, 0.6, "lantern"), (0.86, 0.52, "lantern"), (0.3, 0.78, "star"),
                          (0.7, 0.86, "star"), (0.06, 0.34, "star"), (0.95, 0.27, "star"), (0.42, 0.93, "star")]:
        if kind == "star" and sx_ in (0.3, 0.7, 0.42):
            string(c, [P(sx_, 0.58 if sx_ != 0.42 else 0.66), P(sx_ + 0.005, sy - 0.03)], 2)
        else:
            string(c, [P(sx_, 0), P(sx_ + 0.01, sy * 0.5), P(sx_, sy - (0.0 if kind == "lantern" else 0.03))], 3)
    # crescent moon
    glow(c, mx - mr * 0.45, my + mr * 0.2, mr * 1.6, "gold", 110)
    moon(c, mx, my, mr, phase=(0.42, -0.22), color="gold", glow_color="gold", glow_r=0.01)
    inner = mask(w, h)
    ImageDraw.Draw(inner).ellipse((mx - mr, my - mr, mx + mr, my + mr), fill=255)
    ImageDraw.Draw(inner).ellipse((mx - mr + 0.42 * mr, my - mr - 0.22 * mr, mx + mr + 0.42 * mr, my + mr - 0.22 * mr), fill=0)
    paint(c, rim(inner, -6, 4, 3), (255, 250, 230, 200))
    # stars dangling from the moon's horns
    lantern(c, *P(0.14, 0.6), w * 0.045, rng)
    lantern(c, *P(0.86, 0.52), w * 0.04, rng)
    for x, y, r in [(0.3, 0.78, 0.035), (0.7, 0.86, 0.03), (0.06, 0.34, 0.025), (0.95, 0.27, 0.022), (0.42, 0.93, 0.026)]:
        hanging_star(c, *P(x, y), w * r)
    # filigree along the top edge
    def filigree(d):
        for side in (-1, 1):
            for k in range(3):
                cx = w * 0.52 + side * w * (0.12 + 0.15 * k)
                r = w * (0.07 - 0.012 * k)
                d.arc((cx - r, -r, cx + r, r), 0, 180, fill=255, width=4)
                rr = r * 0.45
                ox = cx + side * r * 0.55
                d.arc((ox - rr, r * 0.15 - rr, ox + rr, r * 0.15 + rr), 90 if side > 0 else -90, 450 if side > 0 else 90,
                      fill=255, width=3)
                d.ellipse((cx - 5, r - 5, cx + 5, r + 5), fill=255)
        d.polygon(star_points(w * 0.52, h * 0.03, w * 0.045, w * 0.014, 4), fill=255)
    shape(c, _gold(w, h, 0, 0.12), filigree, blur=0.7)
    for i in range(14):
        x, y = rng.uniform(0.05, 0.95) * w, rng.uniform(0.1, 0.9) * h
        sparkle(c, x, y, rng.uniform(5, 14), rng.choice(["gold_light", "text", "turquoise"]), 200)
    return c


def crystal(c, x, base, hgt, wid, lean, hue_top, hue_bot):
    """Hexagonal prism crystal, two-tone facets."""
    tip = (x + lean * hgt, base - hgt)
    l, r = (x - wid / 2, base), (x + wid / 2, base)
    sl = (x - wid / 2 + lean * hgt * 0.8, base - hgt * 0.78)
    sr = (x + wid / 2 + lean * hgt * 0.8, base - hgt * 0.78)
    mid_b = (x + wid * 0.1, base)
    mid_t = (x + wid * 0.1 + lean * hgt * 0.8, base - hgt * 0.8)
    W, H = c.size
    grad = vgradient(W, H, [(max(0, tip[1] / H), hue_top), (min(1, base / H), hue_bot)])
    shape(c, grad, lambda d: d.polygon([l, sl, tip, sr, r], fill=255), blur=0.8)
    shape(c, (255, 255, 255, 90), lambda d: d.polygon([l, sl, tip, mid_t, mid_b], fill=255), blur=0.8)
    shape(c, (20, 8, 40, 70), lambda d: d.polygon([mid_b, mid_t, tip, sr, r], fill=255), blur=0.8)
    shape(c, (255, 255, 255, 160), lambda d: d.line([sl, tip], fill=255, width=2), blur=0.6)


def decoration_side(w, h):
    rng = random.Random(780)
    c = blank(w, h)
    P = lambda x, y: (x * w, y * h)  # noqa: E731
    glow(c, *P(0.35, 0.72), w * 0.5, "turquoise", 70, ry=h * 0.3)
    # tall foliage behind
    def fronds(d):
        for i in range(9):
            x0 = rng.uniform(0.0, 0.55) * w
            top = (x0 + rng.uniform(-0.15, 0.2) * w, rng.uniform(0.3, 0.55) * h)
            pts = spline([(x0, h), ((x0 + top[0]) / 2 + rng.uniform(-30, 30), (h + top[1]) / 2), top], 20)
            for k, (px, py) in enumerate(pts[2:-1:3]):
                s = 1 - k / len(pts[::3])
                for side in (-1, 1):
                    lw, lh = 42 * s + 10, 14 * s + 5
                    d.polygon(spline([(px, py), (px + side * lw * 0.6, py - lh), (px + side * lw, py - lh * 0.3),
                                      (px + side * lw * 0.5, py + lh * 0.2)], 6, closed=True), fill=255)
            d.line(pts, fill=255, width=4)
    shape(c, vgradient(w, h, [(0.3, "#2F5E73"), (1, "#13263A")]), fronds, blur=1)
    # crystals
    for x, hg, wd, ln, a, b in [(0.3, 0.5, 0.13, -0.05, "#C9FFFA", "#1E8C9A"), (0.42, 0.36, 0.1, 0.18, "#E9DBFF", "#6A45A8"),
                               (0.18, 0.3, 0.09, -0.3, "#B9FFF6", "#2A7E95"), (0.52, 0.22, 0.08, 0.35, "#F6D8FF", "#8A3F9A"),
                               (0.1, 0.18, 0.07, -0.45, "#E9DBFF", "#5B3D96"), (0.36, 0.2, 0.06, 0.05, "#FFFFFF", "#3FB8C4")]:
        crystal(c, x * w, h * 0.86, hg * h, wd * w, ln, a, b)
    glow(c, *P(0.3, 0.55), w * 0.25, "#BFFFF8", 80)
    # rocks
    def rocks(d):
        for x, y, rw, rh in [(0.05, 0.92, 0.3, 0.12), (0.35, 0.95, 0.35, 0.1), (0.68, 0.86, 0.22, 0.11),
                             (0.8, 0.95, 0.3, 0.09), (-0.05, 0.98, 0.4, 0.1)]:
            pts = []
            for k in range(9):
                a = math.pi + k * math.pi / 8
                pts.append((x * w + rw * w * 0.5 * math.cos(a) * rng.uniform(0.85, 1.05),
                            y * h + rh * h * math.sin(a) * rng.uniform(0.8, 1.1)))
            d.polygon(pts + [(x * w + rw * w * 0.5, h), (x * w - rw * w * 0.5, h)], fill=255)
    rm = shape(c, vgradient(w, h, [(0.78, "#3A2658"), (1, "#140B22")]), rocks, blur=1)
    paint(c, rim(rm, 3, -6, 3), (200, 178, 212, 160))
    paint(c, rim(rm, -3, -5, 3), (95, 242, 230, 110))
    # lantern resting on the right rock
    lantern(c, *P(0.66, 0.63), w * 0.075, rng)
    # glowing flowers at the front
    for i in range(10):
        x, y = rng.uniform(0.02, 0.6) * w, rng.uniform(0.86, 0.97) * h
        r = rng.uniform(5, 9)
        col = rng.choice(["rose", "gold_light", "turquoise"])
        glow(c, x, y, r * 4, col, 90)
        shape(c, col, lambda d: [d.ellipse((x + r * math.cos(a) - r * 0.6, y + r * math.sin(a) - r * 0.6,
                                            x + r * math.cos(a) + r * 0.6, y + r * math.sin(a) + r * 0.6), fill=255)
                                 for a in [k * math.pi * 0.4 for k in range(5)]], blur=0.7)
        shape(c, "gold_light", lambda d: d.ellipse((x - r * 0.35, y - r * 0.35, x + r * 0.35, y + r * 0.35), fill=255))
    for i in range(24):
        x, y = rng.uniform(0.05, 0.8) * w, rng.uniform(0.3, 0.85) * h
        if rng.random() < 0.3:
            sparkle(c, x, y, rng.uniform(6, 14), rng.choice(["turquoise", "gold_light"]))
        else:
            glow(c, x, y, rng.uniform(6, 12), rng.choice(["turquoise", "gold_light"]), 200)
    # fade the top-right so it blends into the card
    fade = ImageChops.multiply(hgradient(w, h, [(0.8, "#FFFFFF"), (1, "#000000")]).convert("L"),
                               vgradient(w, h, [(0, "#000000"), (0.2, "#FFFFFF")]).convert("L"))
    c.putalpha(ImageChops.multiply(c.getchannel("A"), fade))
    return c


def logo(w, h, font_bold, font_medium):
    from PIL import ImageFont
    c = blank(w, h)
    cx, cy, R = w * 0.5, h * 0.43, w * 0.36
    glow(c, cx, cy, R * 1.35, "gold", 90)
    # eight-point star behind the ring
    shape(c, _gold(w, h, (cy - R * 1.17) / h, (cy + R * 1.17) / h),
          lambda d: d.polygon(star_points(cx, cy, R * 1.17, R * 0.4, 4), fill=255), blur=0.7)
    shape(c, _gold(w, h, (cy - R) / h, (cy + R) / h),
          lambda d: d.polygon(star_points(cx, cy, R * 1.08, R * 0.5, 4, rot=-math.pi / 4), fill=255), blur=0.7)
    # ring and night disc
    shape(c, "#2A1640", lambda d: d.ellipse((cx - R * 1.02, cy - R * 1.02, cx + R * 1.02, cy + R * 1.02), fill=255), blur=0.7)
    shape(c, _gold(w, h, (cy - R) / h, (cy + R) / h), lambda d: d.ellipse((cx - R * 0.97, cy - R * 0.97, cx + R * 0.97, cy + R * 0.97), fill=255), blur=0.7)
    shape(c, vgradient(w, h, [((cy - R) / h, "purple"), ((cy + R) / h, "night")]),
          lambda d: d.ellipse((cx - R * 0.87, cy - R * 0.87, cx + R * 0.87, cy + R * 0.87), fill=255), blur=0.7)
    stars(c, random.Random(497), 70, (cx - R * 0.7, cy - R * 0.75, cx + R * 0.7, cy + R * 0.1), size=(0.6, 1.6),
          density=lambda x, y: 1 if (x - cx) ** 2 + (y - cy) ** 2 < (R * 0.8) ** 2 else 0, twinkle=0.05)
    moon(c, cx + R * 0.42, cy - R * 0.5, R * 0.14, phase=(0.45, -0.2), color="gold_light")
    # words
    fb = ImageFont.truetype(font_bold, int(w * 0.215))
    for text, ty in (("Nyra", cy - R * 0.34), ("Saga", cy + R * 0.36)):
        box = fb.getbbox(text, anchor="mm", stroke_width=int(w * 0.018))
        shade = mask(w, h)
        ImageDraw.Draw(shade).text((cx + 3, ty + 6), text, font=fb, anchor="mm", fill=200, stroke_width=int(w * 0.022), stroke_fill=200)
        paint(c, shade.filter(ImageFilter.GaussianBlur(5)), "#0B0519")
        outline = mask(w, h)
        ImageDraw.Draw(outline).text((cx, ty), text, font=fb, anchor="mm", fill=255, stroke_width=int(w * 0.018), stroke_fill=255)
        paint(c, outline, "#2A1640")
        body = mask(w, h)
        ImageDraw.Draw(body).text((cx, ty), text, font=fb, anchor="mm", fill=255)
        top, bot = (ty + box[1]) / h, (ty + box[3]) / h
        paint(c, body, vgradient(w, h, [(top, "#FFF6D8"), ((top + bot) / 2, "gold"), (bot, "gold_dark")]))
        hi = ImageChops.multiply(rim(body, 0, -3, 1), body)
        paint(c, hi, (255, 255, 255, 160))
    # ribbon
    ry, rh, rw = h * 0.85, h * 0.1, w * 0.56
    def ribbon_tails(d):
        for sgn in (-1, 1):
            x0 = cx + sgn * rw * 0.45
            x1 = cx + sgn * rw * 0.68
            d.polygon([(x0, ry - rh * 0.35), (x1, ry - rh * 0.35), (x1 - sgn * rh * 0.35, ry + rh * 0.15),
                       (x1, ry + rh * 0.65), (x0, ry + rh * 0.65)], fill=255)
    shape(c, "#7A1E52", ribbon_tails, blur=0.7)
    band = lambda d: d.polygon(spline([(cx - rw / 2, ry - rh / 2 + 6), (cx, ry - rh / 2 - 8), (cx + rw / 2, ry - rh / 2 + 6)], 12)
                               + spline([(cx + rw / 2, ry + rh / 2 + 6), (cx, ry + rh / 2 - 8), (cx - rw / 2, ry + rh / 2 + 6)], 12), fill=255)  # noqa: E731
    bm = shape(c, "#2A1640", lambda d: d.polygon(spline([(cx - rw / 2 - 5, ry - rh / 2 + 1), (cx, ry - rh / 2 - 13), (cx + rw / 2 + 5, ry - rh / 2 + 1)], 12)
                                                 + spline([(cx + rw / 2 + 5, ry + rh / 2 + 11), (cx, ry + rh / 2 - 3), (cx - rw / 2 - 5, ry + rh / 2 + 11)], 12), fill=255), blur=0.7)
    shape(c, vgradient(w, h, [((ry - rh / 2) / h, "#E0609C"), ((ry + rh / 2) / h, "rose")]), band, blur=0.7)
    fm = ImageFont.truetype(font_bold, int(h * 0.062))
    t = mask(w, h)
    ImageDraw.Draw(t).text((cx, ry - 1), "B R A S I L", font=fm, anchor="mm", fill=255)
    paint(c, t, "text")
    return c


def icon(size):
    """Launcher emblem: gold four-point star on a night disc in a gold ring."""
    S = 1024
    c = blank(S, S)
    cx = cy = S / 2
    small = size <= 24
    R = S * 0.49
    ring = 0.13 if small else 0.085
    shape(c, "#2A1640", lambda d: d.ellipse((cx - R, cy - R, cx + R, cy + R), fill=255))
    shape(c, _gold(S, S, 0.0, 1.0), lambda d: d.ellipse((cx - R * 0.96, cy - R * 0.96, cx + R * 0.96, cy + R * 0.96), fill=255))
    r2 = R * (0.96 - ring)
    shape(c, vgradient(S, S, [(0.1, "#5A3585"), (0.9, "night")]), lambda d: d.ellipse((cx - r2, cy - r2, cx + r2, cy + r2), fill=255))
    if not small:
        glow(c, cx, cy, r2 * 0.9, "gold", 110)
        stars(c, random.Random(16), 40, (cx - r2, cy - r2, cx + r2, cy + r2), size=(3, 8), twinkle=0,
              density=lambda x, y: 1 if (x - cx) ** 2 + (y - cy) ** 2 < (r2 * 0.85) ** 2 else 0)
    so = r2 * (0.86 if small else 0.78)
    si = so * (0.34 if small else 0.28)
    shape(c, "#2A1640", lambda d: d.polygon(star_points(cx, cy, so * 1.06, si * 1.2, 4), fill=255))
    shape(c, vgradient(S, S, [(0.2, "#FFF6D8"), (0.5, "gold"), (0.85, "gold_dark")]),
          lambda d: d.polygon(star_points(cx, cy, so, si, 4), fill=255))
    if not small:
        shape(c, (255, 255, 255, 120), lambda d: d.polygon([(cx, cy - so), (cx - si * 0.7, cy - si * 0.7), (cx, cy)], fill=255))
    return c.resize((size, size), Image.LANCZOS)


# ---- news covers -----------------------------------------------------------

def _sky(w, h, rng, stops=None, n=260, moon_at=None, moon_r=0.09, phase=None):
    c = vgradient(w, h, stops or NIGHT_SKY)
    stars(c, rng, n, (0, 0, w, h * 0.75), size=(0.8, 2.6), twinkle=0.02,
          density=lambda x, y: 1 - y / (h * 0.8))
    if moon_at:
        moon(c, moon_at[0] * w, moon_at[1] * h, moon_r * h * 2, phase=phase, color="#FFF1CC", rng=rng, glow_r=3.5)
        if phase is not None:
            glow(c, moon_at[0] * w, moon_at[1] * h, moon_r * h * 5, "gold", 70)
    return c


def _layer(c, pts, top_col, bot_col, y0=0.4, y1=1.0, blur=1.2, rim_col=None):
    w, h = c.size
    m = shape(c, vgradient(w, h, [(y0, top_col), (y1, bot_col)]), lambda d: d.polygon(fill_below(pts, h), fill=255), blur=blur)
    if rim_col:
        paint(c, ImageChops.multiply(rim(m, 0, -4, 3), m), rim_col)
    return m


def cover_capital(w, h):
    rng = random.Random(110)
    c = _sky(w, h, rng, moon_at=(0.78, 0.22))
    _layer(c, ridge(rng, w, h * 0.7, h * 0.15), "#5B3F86", "#3A2660", rim_col=(220, 200, 240, 60))
    mist(c, h * 0.72, h * 0.1, "#B79AD0", 80, rng)
    lights = []
    def city(d):
        x = -w * 0.02
        while x < w * 1.02:
            bw = rng.uniform(0.03, 0.07) * w
            bh = rng.uniform(0.12, 0.3) * h
            if abs(x - w * 0.42) < w * 0.08:
                bh *= 2.1
            d.rectangle((x, h * 0.95 - bh, x + bw, h), fill=255)
            if rng.random() < 0.55:
                tower(d, x + bw / 2, h * 0.95 - bh + 1, bw * 0.6, bh * 0.25, roof=rng.uniform(0.8, 1.5), fill=255)
            for k in range(int(bh / (h * 0.05))):
                if rng.random() < 0.45:
                    lights.append((x + bw * rng.uniform(0.25, 0.75), h * 0.95 - bh + (k + 0.7) * h * 0.05, w / 1400))
            x += bw * rng.uniform(0.85, 1.05)
        tower(d, w * 0.42, h * 0.95 - h * 0.55, w * 0.05, h * 0.1, roof=2.2, fill=255)
    glow(c, w * 0.42, h * 0.6, w * 0.3, "gold", 60, ry=h * 0.4)
    m = shape(c, vgradient(w, h, [(0.3, "#2C1B47"), (1, "#150C25")]), city, blur=1)
    paint(c, ImageChops.multiply(rim(m, 4, -3, 2), m), (255, 233, 173, 90))
    windows(c, rng, lights, size=(4, 7))
    mist(c, h * 1.0, h * 0.12, "#6A4A90", 90, rng)
    vignette(c, 120)
    return c


def cover_jardins(w, h):
    rng = random.Random(111)
    c = _sky(w, h, rng, moon_at=(0.2, 0.2), moon_r=0.07)
    _layer(c, ridge(rng, w, h * 0.55, h * 0.1), "#3C2E6A", "#2A1E4C")
    def trees(d):
        for i in range(16):
            x = rng.uniform(0, 1) * w
            if abs(x - w * 0.55) < w * 0.12:
                continue
            round_tree(d, rng, x, h * 0.72, h * rng.uniform(0.3, 0.5), w * rng.uniform(0.08, 0.13))
    shape(c, "#1F2A46", trees, blur=1.2)
    mist(c, h * 0.7, h * 0.08, "#9C7DC0", 60, rng)
    # lawn and hedge rows
    shape(c, vgradient(w, h, [(0.68, "#1E3550"), (1, "#0E1828")]), lambda d: d.rectangle((0, h * 0.7, w, h), fill=255), blur=1)
    def hedges(d):
        for x0, x1, y in [(0, 0.4, 0.78), (0.68, 1, 0.78), (0, 0.3, 0.9), (0.78, 1, 0.9)]:
            d.rounded_rectangle((x0 * w, y * h - h * 0.06, x1 * w, y * h + h * 0.06), radius=h * 0.05, fill=255)
    shape(c, "#142238", hedges, blur=1)
    # fountain
    fx, fy = w * 0.55, h * 0.84
    glow(c, fx, fy - h * 0.2, w * 0.14, "turquoise", 80)
    shape(c, "#3A3260", lambda d: (d.ellipse((fx - w * 0.12, fy - h * 0.05, fx + w * 0.12, fy + h * 0.06), fill=255),
                                   d.rectangle((fx - w * 0.015, fy - h * 0.25, fx + w * 0.015, fy), fill=255),
                                   d.ellipse((fx - w * 0.05, fy - h * 0.27, fx + w * 0.05, fy - h * 0.22), fill=255)), blur=1)
    shape(c, (160, 250, 245, 200), lambda d: d.ellipse((fx - w * 0.105, fy - h * 0.035, fx + w * 0.105, fy + h * 0.03), fill=255), blur=1.5)
    def jets(d):
        for sgn in (-1, 1):
            for k in range(3):
                d.line(spline([(fx, fy - h * 0.3), (fx + sgn * w * (0.03 + 0.015 * k), fy - h * (0.36 - 0.02 * k)),
                               (fx + sgn * w * (0.05 + 0.02 * k), fy - h * 0.02)], 16), fill=255, width=3)
        d.line([(fx, fy - h * 0.27), (fx, fy - h * 0.36)], fill=255, width=5)
    shape(c, (200, 255, 250, 210), jets, blur=1.2)
    # flowers and fireflies
    for i in range(170):
        x = rng.uniform(0, 1) * w
        y = rng.choice([0.72, 0.84, 0.96]) * h + rng.uniform(-0.035, 0.035) * h
        if abs(x - fx) < w * 0.13:
            continue
        r = rng.uniform(2.5, 5) * w / 1440
        col = rng.choice(["rose", "#E878B0", "gold_light", "lilac", "#FFFFFF"])
        shape(c, col, lambda d: d.ellipse((x - r, y - r, x + r, y + r), fill=255), blur=0.6)
    for i in range(30):
        glow(c, rng.uniform(0, w), rng.uniform(0.35, 0.85) * h, rng.uniform(5, 12), "#E8FF9A", 200)
    vignette(c, 110)
    return c


def cover_deserto(w, h):
    rng = random.Random(112)
    c = _sky(w, h, rng, stops=[(0, "#0B0619"), (0.45, "#2A1A4E"), (0.75, "#7A4A86"), (1, "#C27A7A")],
             moon_at=(0.68, 0.3), moon_r=0.13)
    for k, (y, amp, top, bot, lit) in enumerate([(0.62, 0.08, "#8A5E8A", "#5C3D6E", 90), (0.74, 0.1, "#6A4678", "#3E2A58", 110),
                                                 (0.88, 0.12, "#4A3064", "#24163C", 130)]):
        pts = []
        ph, ph2 = rng.uniform(0, 6.28), rng.uniform(0, 6.28)
        for i in range(121):
            x = i / 120
            yy = y + amp * 0.5 * math.sin(x * 6.3 * (1.2 + k * 0.5) + ph) + amp * 0.25 * math.sin(x * 17 + ph2)
            pts.append((x * w, yy * h))
        _layer(c, pts, top, bot, y - amp, 1.0, rim_col=(255, 220, 170, lit))
    def pyramid(d):
        d.polygon([(w * 0.18, h * 0.63), (w * 0.26, h * 0.42), (w * 0.35, h * 0.63)], fill=255)
    shape(c, "#3E2A58", pyramid, blur=1.2, opacity=170)
    mist(c, h * 0.66, h * 0.06, "#E0A0A0", 50, rng)
    vignette(c, 110)
    return c


def cover_vulcao(w, h):
    rng = random.Random(113)
    c = _sky(w, h, rng, stops=[(0, "#0B0619"), (0.4, "#2A1238"), (0.75, "#6A1F3E"), (1, "#B8452E")], n=160)
    vx, vy = w * 0.52, h * 0.32
    # smoke plume
    smoke = mask(w, h)
    sd = ImageDraw.Draw(smoke)
    for i in range(26):
        t = i / 25
        x = vx + t * w * 0.22 + rng.uniform(-20, 20)
        y = vy - t * h * 0.35
        r = (0.04 + t * 0.1) * w
        sd.ellipse((x - r, y - r * 0.6, x + r, y + r * 0.6), fill=150)
    paint(c, smoke.filter(ImageFilter.GaussianBlur(w * 0.02)), "#3A2440")
    glow(c, vx, vy, w * 0.25, "#FF6A2A", 150, ry=h * 0.35)
    _layer(c, ridge(rng, w, h * 0.8, h * 0.1), "#3A1A38", "#24102A")
    cone = spline([(w * 0.08, h), (w * 0.3, h * 0.62), (vx - w * 0.05, vy + 4), (vx + w * 0.05, vy + 4),
                   (w * 0.72, h * 0.6), (w * 0.95, h)], 16)
    m = shape(c, vgradient(w, h, [(0.3, "#2A1430"), (1, "#12081A")]), lambda d: d.polygon(cone, fill=255), blur=1.2)
    paint(c, ImageChops.multiply(rim(m, 0, -6, 4), m), (255, 120, 60, 170))
    # lava rivers
    def lava(d):
        for dx, bend in [(-0.02, -0.08), (0.015, 0.06), (0.03, 0.12)]:
            d.line(spline([(vx + dx * w, vy + 6), (vx + (dx + bend * 0.5) * w, h * 0.55), (vx + (dx + bend) * w, h * 0.8),
                           (vx + (dx + bend * 1.3) * w, h * 1.02)], 20), fill=255, width=int(w * 0.006), joint="curve")
    lm = mask(w, h)
    lava(ImageDraw.Draw(lm))
    paint(c, lm.filter(ImageFilter.GaussianBlur(w * 0.008)), (255, 90, 30, 230))
    paint(c, lm.filter(ImageFilter.GaussianBlur(1)), "#FFC65A")
    glow(c, vx, vy + 4, w * 0.07, "#FFD27A", 230, ry=h * 0.05)
    for i in range(60):
        x = vx + rng.uniform(-0.12, 0.25) * w
        y = vy - rng.uniform(0, 0.3) * h
        r = rng.uniform(1, 3) * w / 1440
        glow(c, x, y, r * 4, "#FF9A3A", 220)
    shape(c, "#0C0612", lambda d: d.polygon(fill_below(ridge(rng, w, h * 0.95, h * 0.06), h), fill=255), blur=1)
    vignette(c, 110)
    return c


def cover_cristais(w, h):
    rng = random.Random(114)
    c = vgradient(w, h, [(0, "#0A0616"), (0.5, "#1B1236"), (1, "#0E0A20")])
    glow(c, w * 0.5, h * 0.65, w * 0.45, "turquoise", 70, ry=h * 0.6)
    glow(c, w * 0.3, h * 0.5, w * 0.25, "#9A5AD0", 80, ry=h * 0.4)
    # back wall crystals
    for i in range(18):
        x = rng.uniform(0.05, 0.95) * w
        crystal(c, x, h * 0.82, h * rng.uniform(0.2, 0.45), w * rng.uniform(0.02, 0.04), rng.uniform(-0.25, 0.25),
                "#BFFFF8", "#2A5E80")
    c.alpha_composite(Image.new("RGBA", (w, h), (20, 10, 40, 90)))
    # cave mouth frame
    def frame(d):
        d.polygon(fill_below(ridge(rng, w, h * 0.88, h * 0.08), h), fill=255)
        top = [(x, h - y) for x, y in ridge(rng, w, h * 0.9, h * 0.15)]
        top = [(x, y - h * 0.25 * math.exp(-((x - w * 0.5) / (w * 0.25)) ** 2)) for x, y in top]
        d.polygon([(0, 0)] + top + [(w, 0)], fill=255)
        for i in range(14):  # stalactites
            x = rng.uniform(0, w)
            yb = h * 0.1 + h * 0.1 * (abs(x - w / 2) / (w / 2))
            d.polygon([(x - w * 0.015, yb - 5), (x + w * 0.015, yb - 5), (x + rng.uniform(-5, 5), yb + h * rng.uniform(0.05, 0.2))], fill=255)
    m = shape(c, vgradient(w, h, [(0, "#1A0F30"), (1, "#0B0618")]), frame, blur=1.2)
    paint(c, ImageChops.multiply(rim(m, 0, 5, 4), m), (95, 242, 230, 90))
    for x, hg, wd, ln, a, b in [(0.2, 0.55, 0.05, -0.1, "#C9FFFA", "#1E8C9A"), (0.25, 0.38, 0.035, 0.2, "#E9DBFF", "#6A45A8"),
                               (0.15, 0.3, 0.03, -0.35, "#B9FFF6", "#2A7E95"), (0.78, 0.5, 0.045, 0.12, "#F6D8FF", "#8A3F9A"),
                               (0.84, 0.34, 0.03, 0.35, "#C9FFFA", "#1E8C9A"), (0.72, 0.28, 0.028, -0.25, "#E9DBFF", "#5B3D96"),
                               (0.5, 0.22, 0.03, 0.05, "#FFFFFF", "#3FB8C4"), (0.56, 0.16, 0.02, 0.3, "#F6D8FF", "#8A3F9A")]:
        glow(c, x * w, h * (0.95 - hg / 2), w * wd * 3, a, 90)
        crystal(c, x * w, h * 0.97, hg * h, wd * w, ln, a, b)
    for i in range(30):
        sparkle(c, rng.uniform(0.1, 0.9) * w, rng.uniform(0.3, 0.9) * h, rng.uniform(4, 12) * w / 1440,
                rng.choice(["turquoise", "text", "lilac"]), 200)
    vignette(c, 100)
    return c


def cover_ruinas(w, h):
    rng = random.Random(115)
    c = _sky(w, h, rng, moon_at=(0.3, 0.26), moon_r=0.11)
    _layer(c, ridge(rng, w, h * 0.68, h * 0.12), "#5B3F86", "#3A2660", rim_col=(220, 200, 240, 60))
    mist(c, h * 0.72, h * 0.1, "#B79AD0", 90, rng)
    def ruins(d):
        d.rectangle((w * 0.38, h * 0.8, w * 0.92, h * 0.86), fill=255)       # stylobate
        d.rectangle((w * 0.36, h * 0.86, w * 0.94, h * 0.9), fill=255)
        xs = [0.42, 0.5, 0.58, 0.66, 0.74, 0.82, 0.9]
        tops = [0.32, 0.32, 0.32, 0.32, 0.5, 0.32, 0.62]
        for x, t in zip(xs, tops):
            d.rectangle((x * w - w * 0.016, t * h, x * w + w * 0.016, h * 0.8), fill=255)
            d.rectangle((x * w - w * 0.024, h * 0.77, x * w + w * 0.024, h * 0.8), fill=255)
            if t < 0.4:
                d.rectangle((x * w - w * 0.024, t * h - h * 0.02, x * w + w * 0.024, t * h + h * 0.01), fill=255)
            else:  # broken column with a jagged top
                d.polygon([(x * w - w * 0.016, t * h), (x * w - w * 0.005, t * h - h * 0.05), (x * w + w * 0.004, t * h - h * 0.01),
                           (x * w + w * 0.016, t * h - h * 0.04), (x * w + w * 0.016, t * h + 2)], fill=255)
        d.rectangle((w * 0.39, h * 0.26, w * 0.69, h * 0.31), fill=255)      # architrave
        d.polygon([(w * 0.39, h * 0.26), (w * 0.5, h * 0.16), (w * 0.6, h * 0.21), (w * 0.6, h * 0.26)], fill=255)
        d.polygon([(w * 0.69, h * 0.26), (w * 0.69, h * 0.31), (w * 0.72, h * 0.3), (w * 0.71, h * 0.27)], fill=255)
        d.arc((w * 0.04, h * 0.45, w * 0.24, h * 1.05), 180, 360, fill=255, width=int(w * 0.02))   # lone arch
        d.rectangle((w * 0.04, h * 0.75, w * 0.06, h), fill=255)
        d.rectangle((w * 0.22, h * 0.75, w * 0.24, h), fill=255)
        d.polygon([(w * 0.5, h * 0.9), (w * 0.53, h * 0.86), (w * 0.58, h * 0.87), (w * 0.6, h * 0.92)], fill=255)
    m = shape(c, vgradient(w, h, [(0.2, "#4A3568"), (1, "#22163A")]), ruins, blur=1)
    paint(c, ImageChops.multiply(rim(m, -4, -2, 2), m), (255, 233, 173, 120))
    shape(c, "#120A20", lambda d: d.polygon(fill_below(ridge(rng, w, h * 0.94, h * 0.05), h), fill=255), blur=1)
    def ivy(d):
        for i in range(200):
            x = rng.choice([0.42, 0.5, 0.66, 0.05, 0.23]) * w + rng.uniform(-0.02, 0.02) * w
            y = rng.uniform(0.5, 0.95) * h
            r = rng.uniform(2, 5) * w / 1440
            d.ellipse((x - r, y - r, x + r, y + r), fill=255)
    shape(c, "#2C4A5A", ivy, blur=0.6)
    mist(c, h * 0.98, h * 0.1, "#7A5AA0", 90, rng)
    vignette(c, 110)
    return c


def cover_vila(w, h):
    rng = random.Random(116)
    c = _sky(w, h, rng, moon_at=(0.82, 0.22), moon_r=0.08, phase=(0.4, -0.2))
    _layer(c, ridge(rng, w, h * 0.55, h * 0.15), "#4E3A7A", "#33245A", rim_col=(220, 200, 240, 50))
    _layer(c, ridge(rng, w, h * 0.72, h * 0.06), "#2F2250", "#21173C")
    lights = []
    chimneys = []
    def houses(d):
        x = w * 0.05
        while x < w * 0.95:
            bw = rng.uniform(0.06, 0.1) * w
            bh = rng.uniform(0.12, 0.2) * h
            base = h * rng.uniform(0.86, 0.92)
            d.rectangle((x, base - bh, x + bw, h), fill=255)
            peak = rng.uniform(0.5, 0.8) * bw
            d.polygon([(x - bw * 0.08, base - bh), (x + bw / 2, base - bh - peak), (x + bw * 1.08, base - bh)], fill=255)
            if rng.random() < 0.6:
                cx_ = x + bw * 0.75
                d.rectangle((cx_ - bw * 0.05, base - bh - peak * 0.75, cx_ + bw * 0.05, base - bh), fill=255)
                chimneys.append((cx_, base - bh - peak * 0.75))
            for k in range(rng.randint(1, 3)):
                lights.append((x + bw * (k + 0.7) / 3.4, base - bh * rng.uniform(0.35, 0.6), w / 1000))
            x += bw * rng.uniform(1.25, 1.8)
        for i in range(7):
            xx = rng.uniform(0, w)
            pine(d, xx, h * 1.02, h * rng.uniform(0.3, 0.5), h * 0.16)
    m = shape(c, vgradient(w, h, [(0.5, "#2A1B45"), (1, "#150C25")]), houses, blur=1)
    paint(c, ImageChops.multiply(rim(m, 3, -3, 2), m), (255, 233, 173, 70))
    smoke = mask(w, h)
    sd = ImageDraw.Draw(smoke)
    for x, y in chimneys:
        for k in range(8):
            r = (6 + k * 4) * w / 1440
            sd.ellipse((x + k * 6 - r, y - k * 12 - r, x + k * 6 + r, y - k * 12 + r), fill=max(0, 110 - k * 12))
    paint(c, smoke.filter(ImageFilter.GaussianBlur(6)), "#9C88B8")
    windows(c, rng, lights, size=(12, 14), glow_strength=160)
    for i in range(20):
        glow(c, rng.uniform(0, w), rng.uniform(0.6, 0.95) * h, rng.uniform(5, 10), "#FFD27A", 200)
    mist(c, h * 1.0, h * 0.08, "#6A4A90", 80, rng)
    vignette(c, 110)
    return c


def cover_farol(w, h):
    rng = random.Random(117)
    c = _sky(w, h, rng, moon_at=(0.22, 0.22), moon_r=0.08)
    horizon = h * 0.64
    shape(c, vgradient(w, h, [(0.64, "#2E2660"), (1, "#0C0A22")]), lambda d: d.rectangle((0, horizon, w, h), fill=255))
    # moon path on the water
    mp = mask(w, h)
    md = ImageDraw.Draw(mp)
    for i in range(60):
        y = horizon + (i / 60) ** 1.4 * (h - horizon)
        half = w * (0.01 + 0.05 * i / 60) * rng.uniform(0.4, 1.2)
        x = w * 0.22 + rng.uniform(-0.01, 0.01) * w
        md.line([(x - half, y), (x + half, y)], fill=rng.randint(120, 230), width=max(1, int(h * 0.004)))
    paint(c, mp.filter(ImageFilter.GaussianBlur(1)), "gold_light")
    waves = mask(w, h)
    wd = ImageDraw.Draw(waves)
    for i in range(120):
        y = rng.uniform(horizon + 4, h)
        x = rng.uniform(0, w)
        l = w * rng.uniform(0.01, 0.04) * (y - horizon) / (h - horizon)
        wd.line([(x, y), (x + l, y)], fill=90, width=max(1, int(h * 0.003)))
    paint(c, waves, "lilac")
    # cliff and lighthouse on the right
    cliff = spline([(w * 0.58, h), (w * 0.62, h * 0.78), (w * 0.7, h * 0.62), (w * 0.78, h * 0.5),
                    (w * 0.9, h * 0.47), (w * 1.02, h * 0.46)], 16) + [(w * 1.02, h)]
    lx, ly = w * 0.82, h * 0.49
    beam = mask(w, h)
    ImageDraw.Draw(beam).polygon([(lx, ly - h * 0.37), (-w * 0.05, h * 0.02), (-w * 0.05, h * 0.32)], fill=120)
    beam = ImageChops.multiply(beam.filter(ImageFilter.GaussianBlur(h * 0.03)),
                               hgradient(w, h, [(0, "#303030"), (0.8, "#FFFFFF")]).convert("L"))
    paint(c, beam, "gold_light")
    def house(d):
        d.polygon(cliff, fill=255)
        d.polygon([(lx - w * 0.028, ly), (lx - w * 0.018, ly - h * 0.32), (lx + w * 0.018, ly - h * 0.32), (lx + w * 0.028, ly)], fill=255)
        d.rectangle((lx - w * 0.026, ly - h * 0.34, lx + w * 0.026, ly - h * 0.32), fill=255)
        d.polygon([(lx - w * 0.02, ly - h * 0.42), (lx, ly - h * 0.48), (lx + w * 0.02, ly - h * 0.42)], fill=255)
        d.rectangle((lx + w * 0.035, ly - h * 0.06, lx + w * 0.08, ly), fill=255)
        d.polygon([(lx + w * 0.03, ly - h * 0.06), (lx + w * 0.0575, ly - h * 0.1), (lx + w * 0.085, ly - h * 0.06)], fill=255)
    m = shape(c, vgradient(w, h, [(0.3, "#2E1F4A"), (1, "#120A20")]), house, blur=1)
    paint(c, ImageChops.multiply(rim(m, -4, -2, 2), m), (255, 233, 173, 110))
    shape(c, (255, 255, 255, 40), lambda d: [d.rectangle((lx - w * 0.025, ly - h * (0.1 + 0.09 * k), lx + w * 0.025, ly - h * (0.07 + 0.09 * k)), fill=255) for k in range(3)])
    glow(c, lx, ly - h * 0.37, w * 0.05, "gold_light", 250)
    shape(c, "#FFF6D8", lambda d: d.rectangle((lx - w * 0.012, ly - h * 0.41, lx + w * 0.012, ly - h * 0.34), fill=255), blur=1)
    windows(c, rng, [(lx + w * 0.0575, ly - h * 0.03, w / 1440)], size=(8, 10))
    vignette(c, 110)
    return c


COVERS = [("capital", cover_capital), ("jardins", cover_jardins), ("deserto", cover_deserto),
          ("vulcao", cover_vulcao), ("cristais", cover_cristais), ("ruinas", cover_ruinas),
          ("vila", cover_vila), ("farol", cover_farol)]
