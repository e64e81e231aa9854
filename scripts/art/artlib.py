"""Small drawing toolkit for the launcher's generated art (PIL only).

Everything works on RGBA images. Shapes are drawn as masks, optionally
blurred, and composited with a colour or a gradient, which gives soft edges
and glows without any external assets. All randomness comes from a
random.Random passed in by the caller, so output is reproducible.
"""
import math
import random

from PIL import Image, ImageChops, ImageDraw, ImageFilter

PALETTE = {
    "text": "#FCF4FF",
    "lilac": "#C8B2D4",
    "gold_light": "#FFE9AD",
    "gold": "#F2C66D",
    "gold_dark": "#B9852F",
    "purple": "#4A2C6E",
    "night": "#1D1230",
    "rose": "#C2417F",
    "turquoise": "#5FF2E6",
}


def rgb(c):
    if isinstance(c, str):
        c = PALETTE.get(c, c).lstrip("#")
        return tuple(int(c[i:i + 2], 16) for i in (0, 2, 4))
    return tuple(c[:3])


def mix(a, b, t):
    a, b = rgb(a), rgb(b)
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def blank(w, h):
    return Image.new("RGBA", (w, h), (0, 0, 0, 0))


def mask(w, h):
    return Image.new("L", (w, h), 0)


def _ramp(n, stops):
    """n colours interpolated along stops [(pos 0..1, colour[, alpha])]."""
    out = []
    stops = [(p, rgb(c), (s[2] if len(s) > 2 else 255)) for s in stops for p, c in [s[:2]]]
    for i in range(n):
        t = i / max(1, n - 1)
        for j in range(len(stops) - 1):
            if stops[j][0] <= t <= stops[j + 1][0]:
                a, b = stops[j], stops[j + 1]
                u = (t - a[0]) / max(1e-9, b[0] - a[0])
                u = u * u * (3 - 2 * u)  # smoothstep keeps bands soft
                col = mix(a[1], b[1], u)
                out.append(col + (int(a[2] + (b[2] - a[2]) * u),))
                break
        else:
            s = stops[0] if t < stops[0][0] else stops[-1]
            out.append(s[1] + (s[2],))
    return out


def vgradient(w, h, stops):
    strip = Image.new("RGBA", (1, h))
    strip.putdata(_ramp(h, stops))
    return strip.resize((w, h), Image.NEAREST)


def hgradient(w, h, stops):
    strip = Image.new("RGBA", (w, 1))
    strip.putdata(_ramp(w, stops))
    return strip.resize((w, h), Image.NEAREST)


def radial_mask(w, h, cx, cy, rx, ry=None, power=1.6, peak=255):
    """Soft round falloff: peak at (cx, cy), 0 at radius (rx, ry)."""
    ry = ry or rx
    g = Image.radial_gradient("L")  # 256x256, 0 at centre, 255 at r=128
    lut = [int(peak * max(0.0, 1 - v / 128.0) ** power) if v < 128 else 0 for v in range(256)]
    g = g.point(lut)
    size = (max(1, int(2 * rx)), max(1, int(2 * ry)))
    g = g.resize(size, Image.BILINEAR)
    m = mask(w, h)
    m.paste(g, (int(cx - rx), int(cy - ry)))
    return m


def paint(canvas, m, fill):
    """Composite a colour (or an RGBA image) through mask m onto canvas."""
    if isinstance(fill, Image.Image):
        layer = fill.copy()
        a = ImageChops.multiply(layer.getchannel("A"), m)
        layer.putalpha(a)
    else:
        col = rgb(fill)
        alpha = fill[3] if (isinstance(fill, tuple) and len(fill) > 3) else 255
        layer = Image.new("RGBA", canvas.size, col + (alpha,))
        layer.putalpha(m if alpha == 255 else m.point(lambda v: v * alpha // 255))
    canvas.alpha_composite(layer)


def glow(canvas, cx, cy, r, color, strength=200, ry=None, power=1.8):
    w, h = canvas.size
    paint(canvas, radial_mask(w, h, cx, cy, r, ry, power, strength), color)


def shape(canvas, fill, draw_fn, blur=0, opacity=255):
    """Draw into a fresh mask with draw_fn(ImageDraw), then paint it."""
    m = mask(*canvas.size)
    draw_fn(ImageDraw.Draw(m))
    if blur:
        m = m.filter(ImageFilter.GaussianBlur(blur))
    if opacity != 255:
        m = m.point(lambda v: v * opacity // 255)
    paint(canvas, m, fill)
    return m


def spline(points, steps=12, closed=False):
    """Catmull-Rom curve through points -> dense polyline."""
    pts = list(points)
    if closed:
        pts = [pts[-1]] + pts + pts[:2]
    else:
        pts = [pts[0]] + pts + [pts[-1]]
    out = []
    for i in range(1, len(pts) - 2):
        p0, p1, p2, p3 = pts[i - 1], pts[i], pts[i + 1], pts[i + 2]
        for s in range(steps):
            t = s / steps
            t2, t3 = t * t, t * t * t
            out.append(tuple(
                0.5 * (2 * p1[k] + (-p0[k] + p2[k]) * t + (2 * p0[k] - 5 * p1[k] + 4 * p2[k] - p3[k]) * t2
                       + (-p0[k] + 3 * p1[k] - 3 * p2[k] + p3[k]) * t3)
                for k in range(2)))
    if not closed:
        out.append(tuple(points[-1]))
    return out


def ridge(rng, w, base, amp, rough=0.55, depth=8, x0=0, x1=None):
    """Midpoint-displacement skyline from x0 to x1 around height base."""
    x1 = w if x1 is None else x1
    ys = [base + rng.uniform(-amp, amp) * 0.5, base + rng.uniform(-amp, amp) * 0.5]
    spread = amp
    for _ in range(depth):
        nxt = []
        for a, b in zip(ys, ys[1:]):
            nxt += [a, (a + b) / 2 + rng.uniform(-spread, spread)]
        nxt.append(ys[-1])
        ys = nxt
        spread *= rough
    n = len(ys) - 1
    return [(x0 + (x1 - x0) * i / n, y) for i, y in enumerate(ys)]


def fill_below(points, h):
    return [(points[0][0], h)] + list(points) + [(points[-1][0], h)]


def stars(canvas, rng, n, box, size=(0.6, 2.2), colors=("text", "lilac", "gold_light"),
          density=None, twinkle=0.04):
    """Scatter stars in box (x0, y0, x1, y1). density(x, y) -> 0..1 thins them."""
    w, h = canvas.size
    x0, y0, x1, y1 = box
    halo = mask(w, h)
    hd = ImageDraw.Draw(halo)
    layers = {}
    for _ in range(n):
        x, y = rng.uniform(x0, x1), rng.uniform(y0, y1)
        if density and rng.random() > density(x, y):
            continue
        r = rng.uniform(*size) * (rng.random() ** 2.5 * 1.5 + 0.5)
        c = colors[rng.randrange(len(colors))]
        m = layers.setdefault(c, mask(w, h))
        ImageDraw.Draw(m).ellipse((x - r, y - r, x + r, y + r), fill=rng.randint(150, 255))
        if r > size[1] * 0.8:
            hd.ellipse((x - r * 3, y - r * 3, x + r * 3, y + r * 3), fill=45)
        if rng.random() < twinkle:
            sparkle(canvas, x, y, r * 7, c)
    paint(canvas, halo.filter(ImageFilter.GaussianBlur(max(1, size[1] * 2))), "lilac")
    for c, m in layers.items():
        paint(canvas, m, c)


def sparkle(canvas, x, y, r, color="gold_light", opacity=230):
    """Four-point glint."""
    w, h = canvas.size
    m = mask(w, h)
    d = ImageDraw.Draw(m)
    t = max(0.6, r * 0.09)
    d.polygon([(x - r, y), (x, y - t), (x + r, y), (x, y + t)], fill=opacity)
    d.polygon([(x, y - r), (x - t, y), (x, y + r), (x + t, y)], fill=opacity)
    paint(canvas, m.filter(ImageFilter.GaussianBlur(max(0.5, t * 0.5))), color)
    glow(canvas, x, y, r * 0.6, color, opacity // 2)


def star_points(cx, cy, r_out, r_in, n=4, rot=-math.pi / 2):
    pts = []
    for i in range(2 * n):
        r = r_out if i % 2 == 0 else r_in
        a = rot + i * math.pi / n
        pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return pts


def moon(canvas, cx, cy, r, phase=None, color="gold_light", glow_color="gold", glow_r=3.2, rng=None):
    """Full moon, or crescent when phase (offset of the shadow disc, in radii) is given."""
    if phase is None:  # a crescent's caller places its glow on the lit side
        glow(canvas, cx, cy, r * glow_r, glow_color, 90, power=2.2)
        glow(canvas, cx, cy, r * 1.6, color, 120, power=1.5)
    w, h = canvas.size
    m = mask(w, h)
    d = ImageDraw.Draw(m)
    d.ellipse((cx - r, cy - r, cx + r, cy + r), fill=255)
    if phase is not None:
        ox, oy = phase
        d.ellipse((cx - r + ox * r, cy - r + oy * r, cx + r + ox * r, cy + r + oy * r), fill=0)
    m = m.filter(ImageFilter.GaussianBlur(max(0.6, r * 0.015)))
    body = vgradient(w, h, [(max(0, (cy - r) / h), "#FFFBF0"), (min(1, (cy + r) / h), rgb(color))])
    paint(canvas, m, body)
    if rng is not None and phase is None:  # soft maria on a full moon
        spots = mask(w, h)
        sd = ImageDraw.Draw(spots)
        for _ in range(7):
            a, d_ = rng.uniform(0, 6.28), rng.uniform(0, r * 0.6)
            rr = rng.uniform(r * 0.12, r * 0.3)
            x, y = cx + d_ * math.cos(a), cy + d_ * math.sin(a)
            sd.ellipse((x - rr, y - rr, x + rr, y + rr), fill=28)
        spots = ImageChops.multiply(spots.filter(ImageFilter.GaussianBlur(r * 0.08)), m)
        paint(canvas, spots, "gold_dark")


def pine(d, x, base, hgt, wid, fill=255):
    """Layered fir silhouette."""
    tiers = 4
    for i in range(tiers):
        top = base - hgt + i * hgt * 0.2
        bot = base - hgt * 0.15 - (tiers - 1 - i) * hgt * 0.14
        ww = wid * (0.45 + 0.55 * (i + 1) / tiers)
        d.polygon([(x, top), (x - ww / 2, bot), (x + ww / 2, bot)], fill=fill)
    d.rectangle((x - wid * 0.06, base - hgt * 0.2, x + wid * 0.06, base), fill=fill)


def round_tree(d, rng, x, base, hgt, wid, fill=255):
    d.rectangle((x - wid * 0.05, base - hgt * 0.45, x + wid * 0.05, base), fill=fill)
    for _ in range(9):
        cx = x + rng.uniform(-0.3, 0.3) * wid
        cy = base - hgt * rng.uniform(0.5, 0.85)
        r = wid * rng.uniform(0.22, 0.34)
        d.ellipse((cx - r, cy - r, cx + r, cy + r), fill=fill)


def tower(d, x, base, wid, hgt, roof=1.0, fill=255, spire=True, battlement=False):
    """Castle tower: body, optional conical roof or crenels."""
    d.rectangle((x - wid / 2, base - hgt, x + wid / 2, base), fill=fill)
    top = base - hgt
    if spire:
        d.polygon([(x - wid * 0.62, top), (x, top - wid * 1.6 * roof), (x + wid * 0.62, top)], fill=fill)
    if battlement:
        n = 4
        cw = wid / (2 * n - 1)
        for i in range(n):
            d.rectangle((x - wid / 2 + 2 * i * cw, top - cw * 1.1, x - wid / 2 + (2 * i + 1) * cw, top), fill=fill)


def windows(canvas, rng, boxes, color="gold", glow_strength=120, size=(3, 6)):
    """Lit windows (list of (x, y, scale)) with a warm halo."""
    w, h = canvas.size
    m = mask(w, h)
    d = ImageDraw.Draw(m)
    for x, y, s in boxes:
        ww, hh = size[0] * s, size[1] * s
        d.rounded_rectangle((x - ww / 2, y - hh / 2, x + ww / 2, y + hh / 2), radius=ww * 0.45,
                            fill=rng.randint(190, 255))
    paint(canvas, m.filter(ImageFilter.GaussianBlur(size[0] * 2.5 * boxes[0][2] if boxes else 1))
          .point(lambda v: min(255, v * glow_strength // 60)), (255, 170, 80, 150))
    paint(canvas, m, color)


def mist(canvas, y, thickness, color="lilac", opacity=90, rng=None, blobs=10):
    w, h = canvas.size
    m = mask(w, h)
    d = ImageDraw.Draw(m)
    rng = rng or random.Random(1)
    for _ in range(blobs):
        cx = rng.uniform(-0.1, 1.1) * w
        rx = rng.uniform(0.15, 0.4) * w
        ry = thickness * rng.uniform(0.3, 0.6)
        cy = y + rng.uniform(-0.3, 0.3) * thickness
        d.ellipse((cx - rx, cy - ry, cx + rx, cy + ry), fill=rng.randint(90, 200))
    m = m.filter(ImageFilter.GaussianBlur(thickness * 0.5))
    paint(canvas, m.point(lambda v: v * opacity // 255), color)


def rim(m, dx, dy, blur=1.5):
    """Edge of mask m facing direction (dx, dy): m minus m shifted inward."""
    shifted = ImageChops.offset(m, -int(dx), -int(dy))
    edge = ImageChops.subtract(m, shifted)
    return edge.filter(ImageFilter.GaussianBlur(blur)) if blur else edge


def downscale(img, size):
    return img.resize(size, Image.LANCZOS)


def flatten(img, bg="night"):
    base = Image.new("RGBA", img.size, rgb(bg) + (255,))
    base.alpha_composite(img)
    return base.convert("RGB")


def vignette(canvas, strength=150, color="#0A0614"):
    w, h = canvas.size
    m = radial_mask(w, h, w / 2, h / 2, w * 0.75, h * 0.8, power=1.2, peak=255)
    m = ImageChops.invert(m).point(lambda v: v * strength // 255)
    paint(canvas, m, color)
