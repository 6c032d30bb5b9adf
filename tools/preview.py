#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Compose the main window as it opens (preset 0, no fret, OPL.3 lit, lamp
idle) from the pictures in assets/, at 1x and 3x, plus a contact sheet of
every frame and the splash; and the same window from the @2x pictures beside
it pixel-doubled from 1x, to compare. Writes to /tmp/plinkora_preview*.png only.

Usage: preview.py [ASSETS_DIR] [OUT_PREFIX]
"""
import os
import sys

from PIL import Image, ImageDraw

HERE = os.path.dirname(os.path.abspath(__file__))
A = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(HERE, "..", "assets")
PREFIX = sys.argv[2] if len(sys.argv) > 2 else "/tmp/plinkora_preview"

NOTE_BOXES = [(136, 216), (176, 216), (216, 216), (136, 176), (176, 176), (216, 176),
              (136, 136), (176, 136), (216, 136), (256, 136), (256, 216)]
CELLS = [(0, 0), (0, 1), (0, 2), (1, 0), (1, 1), (1, 2), (2, 0), (2, 1), (2, 2), (2, 3), (1, 3)]
PRESETS = {
    0: [[69, 60, 64, 0], [67, 60, 64, 69], [69, 62, 66, 72]],
    1: [[67, 61, 64, 0], [67, 62, 67, 69], [69, 62, 66, 71]],
}
LABELS = {0: [(2, 2), (0, 0), (8, 1)], 1: [(10, 3), (7, 0), (4, 3)]}


def img(name, scale=1):
    if scale != 1:
        stem, ext = os.path.splitext(name)
        name = "%s@%dx%s" % (stem, scale, ext)
    return Image.open(os.path.join(A, name)).convert("RGB")


def window(preset=0, fret=0, tone_frame=5, lamp=1, recording=False, pressed=(), scale=1):
    z = scale

    def img_(name):
        return img(name, scale)

    def at(x, y):
        return (x * z, y * z)

    bg = img_("background.jpg").crop((0, 0, 345 * z, 288 * z))
    table = PRESETS[preset]
    for k, (x, y) in enumerate(NOTE_BOXES):
        r, s = CELLS[k]
        n = table[r][s] + fret
        bg.paste(img_("note_%02d.gif" % ((n - 60) % 12)), at(x, y))
    for p in (0, 1):
        bg.paste(img_("preset_%s_%d.jpg" % ("on" if p == preset else "off", p)), at(56 + 120 * p, 112))
    for row, (root, q) in enumerate(LABELS[preset]):
        bg.paste(img_("root_%02d.jpg" % root), at(56, 136 + 40 * row))
        bg.paste(img_("quality_%d.jpg" % q), at(88, 136 + 40 * row))
    bg.paste(img_("tone_%d.jpg" % tone_frame), at(296, 232))
    bg.paste(img_("lamp_%d.gif" % lamp), at(0, 264))
    for k in range(4):
        name = "recind_1.jpg" if (k == 0 and recording) else "recbot_%d.jpg" % k
        bg.paste(img_(name), at(16 + 80 * k, 264))
    d = ImageDraw.Draw(bg)
    for k in pressed:
        x, y = NOTE_BOXES[k]
        d.rectangle([x * z, y * z, (x + 33) * z - 1, (y + 33) * z - 1], outline=(0, 0, 0), width=z)
    return bg


def main():
    w1 = window()
    w1.save(PREFIX + "_1x.png")
    w1.resize((345 * 3, 288 * 3), Image.NEAREST).save(PREFIX + "_3x.png")
    w2 = window(preset=1, fret=5, tone_frame=2, lamp=2, recording=True, pressed=(4,))
    sheet = Image.new("RGB", (345 * 2 + 10, 288 + 160), (128, 128, 128))
    sheet.paste(w1, (0, 0))
    sheet.paste(w2, (355, 0))
    sheet.paste(img("splash.jpg"), (0, 296))
    x, y = 355, 296
    for k in range(12):
        sheet.paste(img("note_%02d.gif" % k), (x + 35 * (k % 6), y + 35 * (k // 6)))
    for k in range(12):
        sheet.paste(img("root_%02d.jpg" % k), (x + 35 * (k % 6), y + 72 + 35 * (k // 6)))
    for k in range(4):
        sheet.paste(img("quality_%d.jpg" % k), (x + 215 + 42 * (k % 2), y + 35 * (k // 2)))
    for k in range(6):
        sheet.paste(img("tone_%d.jpg" % k), (x + 215 + 43 * (k % 2), y + 72 + 19 * (k // 2)))
    ic32 = Image.open(os.path.join(A, "icon32.png")).convert("RGBA")
    ic16 = Image.open(os.path.join(A, "icon16.png")).convert("RGBA")
    sheet.paste(ic32, (x + 215, y + 130), ic32)
    sheet.paste(ic16, (x + 255, y + 138), ic16)
    sheet.paste(img("lamp_1.gif"), (x + 280, y + 130))
    sheet.paste(img("lamp_2.gif"), (x + 292, y + 130))
    sheet.save(PREFIX + "_sheet.png")
    sheet.resize((sheet.width * 2, sheet.height * 2), Image.NEAREST).save(PREFIX + "_sheet2x.png")
    if os.path.exists(os.path.join(A, "background@2x.jpg")):
        # left: from the @2x pictures; right: the 1x window doubled pixel by pixel
        w2x = window(scale=2)
        cmp_ = Image.new("RGB", (690 * 2 + 10, 576), (128, 128, 128))
        cmp_.paste(w2x, (0, 0))
        cmp_.paste(w1.resize((690, 576), Image.NEAREST), (700, 0))
        cmp_.save(PREFIX + "_2x_compare.png")
        w2x.save(PREFIX + "_2x.png")
        img("splash.jpg", 2).save(PREFIX + "_splash2x.png")
    print("wrote", PREFIX + "_1x.png", PREFIX + "_3x.png", PREFIX + "_sheet.png")


if __name__ == "__main__":
    main()
