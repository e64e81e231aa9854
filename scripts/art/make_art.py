#!/usr/bin/python3
"""Render every launcher image into resources/art and resources/icons.

usage: make_art.py REPO_ROOT [name ...]
"""
import os
import sys

sys.dont_write_bytecode = True  # keep scripts/art free of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from PIL import Image  # noqa: E402

import artlib  # noqa: E402
import scenes  # noqa: E402

JPEG_QUALITY = 88


def save_jpeg(img, path):
    artlib.flatten(img).save(path, "JPEG", quality=JPEG_QUALITY, optimize=True, progressive=False,
                             subsampling="4:2:0")


def save_png(img, path):
    img.save(path, "PNG", optimize=True)


def job_card(root):
    img = scenes.card_background(2240, 1440)
    save_jpeg(img, os.path.join(root, "resources/art/card-background.jpg"))


JOBS = {"card": job_card}




def job_hero(root):
    save_png(scenes.hero(1033, 1240), os.path.join(root, "resources/art/hero.png"))


def job_top(root):
    save_png(scenes.decoration_top(642, 720), os.path.join(root, "resources/art/decoration-top.png"))


def job_side(root):
    save_png(scenes.decoration_side(780, 1080), os.path.join(root, "resources/art/decoration-side.png"))


JOBS.update(hero=job_hero, top=job_top, side=job_side)




def job_logo(root):
    fonts = os.path.join(root, "resources/fonts")
    img = scenes.logo(500, 497, os.path.join(fonts, "RoundedMplus1c-ExtraBold.ttf"),
                      os.path.join(fonts, "RoundedMplus1c-Medium.ttf"))
    save_png(img, os.path.join(root, "resources/art/logo.png"))


ICON_SIZES = [16, 24, 32, 48, 64, 128, 256]


def job_icons(root):
    import ico
    out = os.path.join(root, "resources/icons")
    os.makedirs(out, exist_ok=True)
    blobs = []
    for s in ICON_SIZES:
        img = scenes.icon(s)
        path = os.path.join(out, f"icon-{s}.png")
        save_png(img, path)
        blobs.append((s, open(path, "rb").read()))
    ico.write_ico(os.path.join(out, "launcher.ico"), blobs)
    got = ico.read_ico(os.path.join(out, "launcher.ico"))
    want = [(s, s, True, s, s) for s in ICON_SIZES]
    if got != want:
        raise SystemExit(f"launcher.ico directory mismatch: {got}")


JOBS.update(logo=job_logo, icons=job_icons)




def job_covers(root):
    for name, fn in scenes.COVERS:
        img = fn(1440, 536)  # drawn at twice the size, then reduced for clean edges
        save_jpeg(artlib.downscale(img, (720, 268)), os.path.join(root, f"resources/art/news-{name}.jpg"))


JOBS.update(covers=job_covers)


def main():
    root = sys.argv[1]
    names = sys.argv[2:] or list(JOBS)
    for n in names:
        JOBS[n](root)
        print("done", n)


if __name__ == "__main__":
    main()
