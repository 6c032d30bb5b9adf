#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Draw every picture of Plinkora into the assets folder.

Deterministic: all textures come from random.Random with fixed seeds, no
timestamps are written, so every run gives the same bytes (with the same
Debian versions of Pillow, libjpeg and the fonts).

Every picture is drawn twice from the same drawing: at scale 1 into its own
name, and at scale 2 into name@2x beside it, for screens with two device
pixels to the pixel.  The drawing is written in the pixels of the 1x picture;
at scale 2 a one-pixel line becomes two device pixels wide, text is set at
twice the point size and shapes are drawn at the finer grid, so nothing is
doubled pixel by pixel.

Needs: python3-pil, fonts-dejavu-core, fonts-dejavu-extra.

Usage: gen_pictures.py [OUTDIR]   (default: ../assets next to this script)
"""
import math
import os
import random
import struct
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(HERE, "..", "assets")

FONT_DIR = "/usr/share/fonts/truetype/dejavu"
SANS_B = os.path.join(FONT_DIR, "DejaVuSans-Bold.ttf")
SANS = os.path.join(FONT_DIR, "DejaVuSans.ttf")
COND_B = os.path.join(FONT_DIR, "DejaVuSansCondensed-Bold.ttf")
SERIF_BI = os.path.join(FONT_DIR, "DejaVuSerif-BoldItalic.ttf")

JPEG_ARGS = dict(quality=92, subsampling=0, optimize=False, progressive=False)

SS = 4  # supersampling factor for shapes

# The scale being drawn: device pixels per pixel of the 1x picture.  Set by
# main() before each pass.
Z = 1

# --------------------------------------------------------------------------
# palette of the panel
GREEN_LED = (96, 236, 112)
GREEN_LED_DIM = (30, 90, 40)
ROOT_GREEN = (178, 246, 166)
DISPLAY_BG = (12, 18, 14)
GOLD_HI = (252, 222, 140)
GOLD_LO = (176, 124, 48)
ENGRAVE = (214, 210, 198)


def font(path, size):
    """The font at the scale being drawn: measurements are in device pixels."""
    return ImageFont.truetype(path, size * Z)


def font_1x(path, size):
    """The font as the 1x picture has it, for choices that both scales share."""
    return ImageFont.truetype(path, size)


def lerp(a, b, t):
    return a + (b - a) * t


def lerp_col(c1, c2, t):
    return tuple(int(round(lerp(c1[i], c2[i], t))) for i in range(3))


def clamp8(v):
    return 0 if v < 0 else 255 if v > 255 else int(v)


def vgrad(w, h, top, bottom):
    """Vertical gradient image, w x h pixels at the scale being drawn."""
    w, h = w * Z, h * Z
    im = Image.new("RGB", (w, h))
    px = im.load()
    for y in range(h):
        c = lerp_col(top, bottom, y / max(1, h - 1))
        for x in range(w):
            px[x, y] = c
    return im


def value_noise(w, h, cell_x, cell_y, rng):
    """Smooth value noise in [0,1], bilinear over a coarse random lattice."""
    gx = int(math.ceil(w / cell_x)) + 2
    gy = int(math.ceil(h / cell_y)) + 2
    lat = [[rng.random() for _ in range(gx)] for _ in range(gy)]
    out = [[0.0] * w for _ in range(h)]
    for y in range(h):
        fy = y / cell_y
        iy = int(fy)
        ty = fy - iy
        ty = ty * ty * (3 - 2 * ty)
        r0 = lat[iy]
        r1 = lat[iy + 1]
        row = out[y]
        for x in range(w):
            fx = x / cell_x
            ix = int(fx)
            tx = fx - ix
            tx = tx * tx * (3 - 2 * tx)
            a = r0[ix] + (r0[ix + 1] - r0[ix]) * tx
            b = r1[ix] + (r1[ix + 1] - r1[ix]) * tx
            row[x] = a + (b - a) * ty
    return out


def wood_texture(w, h, seed, dark, mid, light, grain_scale=1.0):
    """Walnut-like wood with the grain running horizontally.  The noise
    lattices are the same at every scale (same seed, cells Z times larger),
    so the 2x wood is the same wood seen finer."""
    rng = random.Random(seed)
    w, h = w * Z, h * Z
    n1 = value_noise(w, h, 90 * Z, 30 * Z, rng)
    n2 = value_noise(w, h, 23 * Z, 7 * Z, rng)
    n3 = value_noise(w, h, 6 * Z, 2 * Z, rng)
    im = Image.new("RGB", (w, h))
    px = im.load()
    for y in range(h):
        yy = y if Z == 1 else y / Z
        for x in range(w):
            d = yy * 0.23 * grain_scale + n1[y][x] * 9.0 + n2[y][x] * 1.6
            ring = 0.5 + 0.5 * math.sin(d * 2.1)
            ring = ring ** 3
            fine = n3[y][x]
            t = 0.55 * ring + 0.30 * fine + 0.15 * n2[y][x]
            if t < 0.5:
                c = lerp_col(dark, mid, t * 2)
            else:
                c = lerp_col(mid, light, (t - 0.5) * 2)
            px[x, y] = c
    return im


def brushed_metal(w, h, seed, base, amp=10):
    """Dark brushed metal: horizontal streaks plus a faint sheen, brushed
    at the device pixels of the scale being drawn."""
    rng = random.Random(seed)
    w, h = w * Z, h * Z
    im = Image.new("RGB", (w, h))
    px = im.load()
    # streaks: per row a random walk along x, smoothed
    for y in range(h):
        row_off = rng.uniform(-amp * 0.4, amp * 0.4)
        v = 0.0
        for x in range(w):
            v = v * 0.92 + rng.uniform(-1, 1) * 0.5
            s = row_off + v * amp * 0.45
            sheen = 6.0 * math.exp(-((x / w - 0.35) ** 2) / 0.08)
            px[x, y] = tuple(clamp8(base[i] + s + sheen) for i in range(3))
    return im


def ss_layer(w, h):
    """A transparent supersampled RGBA layer and its drawing context, for a
    picture of w x h pixels (1x)."""
    im = Image.new("RGBA", (w * SS * Z, h * SS * Z), (0, 0, 0, 0))
    return im, ImageDraw.Draw(im)


def ss_down(im, w, h):
    return im.resize((w * Z, h * Z), Image.LANCZOS)


def S(*vals):
    """Scale 1x coordinates into the supersampled layer."""
    return [v * SS * Z for v in vals]


def at(x, y):
    """A 1x pixel position at the scale being drawn."""
    return (x * Z, y * Z)


def block(box):
    """An inclusive 1x pixel box as the inclusive box of its device pixels."""
    x0, y0, x1, y1 = box
    return [x0 * Z, y0 * Z, x1 * Z + Z - 1, y1 * Z + Z - 1]


def line1(draw, pts, fill):
    """A one-pixel line along the axes through 1x pixel positions: at scale 2
    every pixel of it is a 2 x 2 block, so it stays one pixel wide."""
    if Z == 1:
        draw.line(pts, fill=fill)
        return
    for (xa, ya), (xb, yb) in zip(pts, pts[1:]):
        draw.rectangle(block((min(xa, xb), min(ya, yb), max(xa, xb), max(ya, yb))), fill=fill)


def rect1(draw, box, fill=None, outline=None):
    """An inclusive 1x box, filled and/or with a one-pixel outline."""
    if Z == 1:
        draw.rectangle(box, fill=fill, outline=outline)
        return
    draw.rectangle(block(box), fill=fill, outline=outline, width=Z)


def poly1(pts):
    """Polygon corners at 1x pixel positions, at the centres of their device
    pixel blocks (a polygon covers the pixels on its edges)."""
    if Z == 1:
        return pts
    return [(x * Z + (Z - 1) / 2, y * Z + (Z - 1) / 2) for x, y in pts]


def text_size(draw, text, fnt):
    x0, y0, x1, y1 = draw.textbbox((0, 0), text, font=fnt)
    return x1 - x0, y1 - y0, x0, y0


def draw_text_centered(draw, box, text, fnt, fill, dy=0):
    """Centre the ink of text inside box (x0,y0,x1,y1), 1x pixels; the font
    and the ink are at the scale being drawn."""
    w, h, ox, oy = text_size(draw, text, fnt)
    x = box[0] * Z + ((box[2] - box[0]) * Z - w) / 2 - ox
    y = box[1] * Z + ((box[3] - box[1]) * Z - h) / 2 - oy + dy * Z
    draw.text((round(x), round(y)), text, font=fnt, fill=fill)
    return round(x) + ox, round(y) + oy, w, h


def engraved_text(img, xy, text, fnt, fill=ENGRAVE, anchor="la"):
    """Small engraved legend: dark shadow above-left, light text."""
    d = ImageDraw.Draw(img)
    x, y = at(*xy)
    d.text((x + Z, y + Z), text, font=fnt, fill=(0, 0, 0), anchor=anchor)
    d.text((x, y), text, font=fnt, fill=fill, anchor=anchor)


def bevel_rect(draw, box, hi, lo, width=1):
    """Raised bevel: light top/left, dark bottom/right (box inclusive, 1x
    pixels; width in 1x pixels)."""
    x0, y0, x1, y1 = block(box)
    for i in range(width * Z):
        draw.line([(x0 + i, y1 - i), (x0 + i, y0 + i), (x1 - i, y0 + i)], fill=hi)
        draw.line([(x0 + i + 1, y1 - i), (x1 - i, y1 - i), (x1 - i, y0 + i + 1)], fill=lo)


def recess(draw, x, y, w, h, depth=2):
    """A slot for a display at (x,y,w,h): a sunken ring just outside it."""
    # outer ring: shadow top/left, highlight bottom/right
    x, y, w, h = x * Z, y * Z, w * Z, h * Z
    for ring in range(1, depth + 1):
        t = (ring - 1) / max(1, depth - 1) if depth > 1 else 0
        dark = lerp_col((4, 4, 5), (18, 18, 20), t)
        light = lerp_col((120, 122, 128), (86, 88, 94), t)
        for i in range((ring - 1) * Z + 1, ring * Z + 1):
            draw.line([(x - i, y + h - 1 + i), (x - i, y - i), (x + w - 1 + i, y - i)], fill=dark)
            draw.line([(x - i + 1, y + h - 1 + i), (x + w - 1 + i, y + h - 1 + i),
                       (x + w - 1 + i, y - i + 1)], fill=light)
    draw.rectangle([x, y, x + w - 1, y + h - 1], fill=DISPLAY_BG)


def screw(img, cx, cy, r=3.5, angle=30):
    """A Phillips screw head centred at (cx, cy), drawn supersampled."""
    pad = int(r) + 3
    w = h = pad * 2 + 1
    layer, d = ss_layer(w, h)
    c = pad + 0.5
    # countersink shadow
    d.ellipse(S(c - r - 1, c - r - 1, c + r + 1, c + r + 1), fill=(0, 0, 0, 150))
    # head with a diagonal metallic gradient made of concentric discs
    steps = 12
    for i in range(steps):
        t = i / (steps - 1)
        rr = r * (1 - 0.55 * t)
        off = -0.6 * r * t * 0.5
        col = lerp_col((120, 122, 126), (232, 234, 238), t)
        d.ellipse(S(c - rr + off, c - rr + off, c + rr + off, c + rr + off), fill=col + (255,))
    d.ellipse(S(c - r, c - r, c + r, c + r), outline=(40, 40, 44, 255), width=SS * Z)
    # cross slot
    a = math.radians(angle)
    for k in (0, 1):
        aa = a + k * math.pi / 2
        dx, dy = math.cos(aa) * r * 0.75, math.sin(aa) * r * 0.75
        d.line(S(c - dx, c - dy, c + dx, c + dy), fill=(30, 30, 34, 255), width=int(SS * Z * 1.1))
    small = ss_down(layer, w, h)
    img.paste(small, at(int(cx - pad), int(cy - pad)), small)


def glow(img, mask_img, color, radius, strength=1.0):
    """Add a coloured glow under a mask (L image same size as img)."""
    blurred = mask_img.filter(ImageFilter.GaussianBlur(radius * Z))
    if strength != 1.0:
        blurred = blurred.point(lambda v: clamp8(v * strength))
    col = Image.new("RGB", img.size, color)
    return Image.composite(col, img, blurred)


# --------------------------------------------------------------------------
# glyph helpers for the note and chord displays

def letter_with_sharp(name, big, small, w, h, dx=0, dy=0, gap=0, align="center"):
    """Mask (L) of a note name: the capital letter, with a small raised
    sharp sign beside it when the name has '#'.  Sizes and offsets in 1x
    pixels, the fonts at the scale being drawn."""
    w, h = w * Z, h * Z
    m = Image.new("L", (w, h), 0)
    d = ImageDraw.Draw(m)
    letter = name[0]
    sharp = "#" in name
    lw, lh, lox, loy = text_size(d, letter, big)
    sw, sh, sox, soy = text_size(d, "#", small) if sharp else (0, 0, 0, 0)
    gap = gap * Z
    total = lw + (gap + sw if sharp else 0)
    if align == "center":
        x = (w - total) / 2
    elif align == "right":
        x = w - total - 2 * Z
    else:
        x = 2 * Z
    x = round(x + dx * Z)
    y = round((h - lh) / 2 + dy * Z)
    d.text((x - lox, y - loy), letter, font=big, fill=255)
    if sharp:
        # raised: top of the sharp level with the top of the capital
        d.text((x + lw + gap - sox, y - Z - soy), "#", font=small, fill=255)
    return m


def note_frame(name):
    """33x33 note-name picture: green LED lettering in a dark bevelled window."""
    W = H = 33
    im = Image.new("RGB", at(W, H), (0, 0, 0))
    d = ImageDraw.Draw(im)
    # bevelled bezel: two rings
    bevel_rect(d, (0, 0, W - 1, H - 1), (96, 102, 98), (6, 8, 7))
    bevel_rect(d, (1, 1, W - 2, H - 2), (58, 64, 60), (14, 16, 15))
    # inner sunken edge
    bevel_rect(d, (2, 2, W - 3, H - 3), (4, 6, 5), (40, 48, 42))
    face = vgrad(W - 6, H - 6, (10, 20, 13), (20, 32, 23))
    im.paste(face, at(3, 3))
    # faint LED-matrix scanlines on the face
    for y in range(4, H - 4, 2):
        line1(d, [(3, y), (W - 4, y)], fill=(8, 16, 10))
    m = letter_with_sharp(name, font(SANS_B, 21), font(SANS_B, 11), W, H, dx=0, dy=0, gap=0)
    im = glow(im, m, (40, 150, 60), 2.2, 0.9)
    # letter body with a slight vertical gradient
    grad = vgrad(W, H, (170, 255, 170), (60, 210, 85))
    im = Image.composite(grad, im, m)
    # gloss: a faint diagonal highlight across the upper part of the window
    hl = Image.new("L", at(W, H), 0)
    ImageDraw.Draw(hl).polygon(poly1([(3, 3), (W - 4, 3), (W - 4, 9), (3, 15)]), fill=22)
    im = Image.composite(Image.new("RGB", at(W, H), (255, 255, 255)), im, hl)
    return im


def root_frame(name):
    """33x33 chord root: light green capital on a dark square (left half of
    the chord-label display; the quality frame continues it to the right)."""
    W = H = 33
    im = vgrad(W, H, (16, 24, 19), (10, 16, 12))
    d = ImageDraw.Draw(im)
    # frame only on top, left, bottom: the right side runs on into the quality
    line1(d, [(0, 0), (W - 1, 0)], fill=(70, 78, 72))
    line1(d, [(0, 0), (0, H - 1)], fill=(70, 78, 72))
    line1(d, [(1, H - 1), (W - 1, H - 1)], fill=(4, 6, 5))
    line1(d, [(1, 1), (W - 1, 1)], fill=(4, 6, 5))
    line1(d, [(1, 1), (1, H - 2)], fill=(4, 6, 5))
    m = letter_with_sharp(name, font(SANS_B, 22), font(SANS_B, 11), W, H,
                          dx=2 if "#" not in name else 1, dy=0, gap=0, align="right")
    im = glow(im, m, (60, 130, 70), 1.8, 0.7)
    im = Image.composite(Image.new("RGB", at(W, H), ROOT_GREEN), im, m)
    return im


def quality_frame(text):
    """40x33 chord quality beside the root, same ground."""
    W, H = 40, 33
    im = vgrad(W, H, (16, 24, 19), (10, 16, 12))
    d = ImageDraw.Draw(im)
    line1(d, [(0, 0), (W - 1, 0)], fill=(70, 78, 72))
    line1(d, [(0, 1), (W - 2, 1)], fill=(4, 6, 5))
    line1(d, [(0, H - 1), (W - 1, H - 1)], fill=(4, 6, 5))
    line1(d, [(W - 1, 1), (W - 1, H - 1)], fill=(4, 6, 5))
    line1(d, [(W - 2, 2), (W - 2, H - 2)], fill=(40, 46, 42))
    m = Image.new("L", at(W, H), 0)
    md = ImageDraw.Draw(m)
    fnt = font(SANS_B, 14 if len(text) > 2 else 16)
    w, h, ox, oy = text_size(md, text, fnt)
    # baseline of the quality sits on the baseline of the root letter
    big = font(SANS_B, 22)
    bw, bh, box_, boy = text_size(md, "C", big)
    base_bottom = round((H * Z - bh) / 2) + bh
    x = 3 * Z
    y = base_bottom - h
    md.text((x - ox, y - oy), text, font=fnt, fill=255)
    im = glow(im, m, (60, 130, 70), 1.8, 0.7)
    im = Image.composite(Image.new("RGB", at(W, H), ROOT_GREEN), im, m)
    return im


def preset_frame(text, lit):
    W, H = 113, 17
    if lit:
        im = vgrad(W, H, (168, 240, 150), (92, 196, 84))
        tcol = (12, 44, 14)
        hi, lo = (220, 255, 210), (40, 100, 40)
    else:
        im = vgrad(W, H, (44, 74, 48), (24, 44, 28))
        tcol = (150, 186, 152)
        hi, lo = (80, 112, 84), (8, 16, 10)
    d = ImageDraw.Draw(im)
    rect1(d, [0, 0, W - 1, H - 1], outline=(6, 10, 7))
    bevel_rect(d, (1, 1, W - 2, H - 2), hi, lo)
    # LED dot at the left end
    layer, ld = ss_layer(W, H)
    cx, cy, r = 9.5, 8.5, 3.2
    if lit:
        ld.ellipse(S(cx - r - 1.5, cy - r - 1.5, cx + r + 1.5, cy + r + 1.5), fill=(255, 255, 200, 90))
        ld.ellipse(S(cx - r, cy - r, cx + r, cy + r), fill=(250, 255, 170, 255),
                   outline=(60, 110, 40, 255), width=SS * Z)
        ld.ellipse(S(cx - 1.3, cy - 1.6, cx + 0.7, cy + 0.2), fill=(255, 255, 255, 255))
    else:
        ld.ellipse(S(cx - r, cy - r, cx + r, cy + r), fill=(22, 40, 24, 255),
                   outline=(4, 8, 5, 255), width=SS * Z)
        ld.ellipse(S(cx - 1.4, cy - 1.8, cx + 0.2, cy - 0.2), fill=(90, 120, 92, 255))
    small = ss_down(layer, W, H)
    im.paste(small, (0, 0), small)
    d = ImageDraw.Draw(im)
    draw_text_centered(d, (16, 0, W - 4, H), text, font(SANS_B, 11), tcol)
    return im


def tone_frame(text, lit):
    W, H = 41, 17
    if lit:
        im = vgrad(W, H, (176, 244, 160), (118, 214, 108))
        tcol = (10, 40, 12)
        hi, lo = (226, 255, 216), (56, 120, 52)
    else:
        im = vgrad(W, H, (30, 32, 34), (16, 17, 18))
        tcol = (206, 208, 210)
        hi, lo = (70, 72, 76), (4, 4, 5)
    d = ImageDraw.Draw(im)
    rect1(d, [0, 0, W - 1, H - 1], outline=(4, 6, 5))
    bevel_rect(d, (1, 1, W - 2, H - 2), hi, lo)
    # the smaller size when the name is too wide at 1x, at both scales
    fnt = font(COND_B, 11)
    w, h, ox, oy = text_size(d, text, font_1x(COND_B, 11))
    if w > W - 5:
        fnt = font(COND_B, 10)
    draw_text_centered(d, (1, 0, W - 1, H), text, fnt, tcol)
    return im


def rec_face(kind):
    """Recorder button faces 73x17: silver key with symbol and word."""
    W, H = 73, 17
    recording = kind == "recording"
    if recording:
        im = vgrad(W, H, (246, 92, 76), (168, 22, 16))
        hi, lo = (255, 180, 170), (90, 8, 6)
    else:
        im = vgrad(W, H, (226, 228, 231), (150, 153, 158))
        hi, lo = (252, 252, 252), (84, 86, 90)
    d = ImageDraw.Draw(im)
    rect1(d, [0, 0, W - 1, H - 1], outline=(20, 20, 22))
    bevel_rect(d, (1, 1, W - 2, H - 2), hi, lo)
    word = {"rec": "Rec", "stop": "Stop", "play": "Play", "save": "Save",
            "recording": "REC"}[kind]
    fnt = font(SANS_B, 11)
    tw, th, tox, toy = text_size(d, word, fnt)
    sym_w = 9 * Z
    gap = 5 * Z
    total = sym_w + gap + tw
    x0 = round((W * Z - total) / 2)   # device pixels
    cy = 8.5
    layer, ld = ss_layer(W, H)
    sx = x0 if Z == 1 else x0 / Z     # 1x pixels, for the symbol
    if kind == "rec":
        r = 4.0
        cx = sx + 4.5
        ld.ellipse(S(cx - r, cy - r, cx + r, cy + r), fill=(206, 24, 20, 255),
                   outline=(110, 10, 8, 255), width=SS * Z)
        ld.ellipse(S(cx - 2.2, cy - 2.6, cx - 0.2, cy - 0.8), fill=(255, 150, 140, 255))
    elif kind == "recording":
        r = 4.2
        cx = sx + 4.5
        ld.ellipse(S(cx - r - 1.5, cy - r - 1.5, cx + r + 1.5, cy + r + 1.5), fill=(255, 220, 200, 110))
        ld.ellipse(S(cx - r, cy - r, cx + r, cy + r), fill=(255, 236, 226, 255),
                   outline=(255, 255, 255, 255), width=SS * Z)
        ld.ellipse(S(cx - 2.0, cy - 2.0, cx + 2.0, cy + 2.0), fill=(255, 255, 255, 255))
    elif kind == "stop":
        ld.rectangle(S(sx + 0.8, cy - 3.7, sx + 8.2, cy + 3.7), fill=(38, 40, 44, 255))
    elif kind == "play":
        ld.polygon(S(sx + 1, cy - 4.6, sx + 9, cy, sx + 1, cy + 4.6), fill=(24, 132, 44, 255),
                   outline=(10, 70, 20, 255))
    elif kind == "save":
        # a floppy disk: body, metal shutter at the top, label at the bottom
        x, y = sx, cy - 4.5
        ld.polygon(S(x, y, x + 7.5, y, x + 9, y + 1.5, x + 9, y + 9, x, y + 9),
                   fill=(36, 62, 130, 255), outline=(16, 26, 60, 255))
        ld.rectangle(S(x + 2, y + 0.2, x + 6.6, y + 3.2), fill=(206, 210, 216, 255))
        ld.rectangle(S(x + 4.6, y + 0.8, x + 5.8, y + 2.6), fill=(36, 62, 130, 255))
        ld.rectangle(S(x + 1.6, y + 5, x + 7.4, y + 9), fill=(244, 244, 240, 255))
    small = ss_down(layer, W, H)
    im.paste(small, (0, 0), small)
    d = ImageDraw.Draw(im)
    tx = x0 + sym_w + gap
    ty = round((H * Z - th) / 2)
    if recording:
        d.text((tx - tox + Z, ty - toy + Z), word, font=fnt, fill=(110, 10, 8))
        d.text((tx - tox, ty - toy), word, font=fnt, fill=(255, 250, 240))
    else:
        d.text((tx - tox, ty - toy + Z), word, font=fnt, fill=(250, 250, 250))
        d.text((tx - tox, ty - toy), word, font=fnt, fill=(28, 28, 30))
    return im


def lamp(on):
    """Key lamp 9x17: a rectangular LED in a black bezel."""
    W, H = 9, 17
    layer, d = ss_layer(W, H)
    d.rectangle(S(0, 0, W, H), fill=(34, 36, 40, 255))
    d.rounded_rectangle(S(0.5, 0.5, W - 0.5, H - 0.5), radius=2 * SS * Z, fill=(8, 8, 9, 255),
                        outline=(92, 94, 100, 255), width=SS * Z)
    if on:
        d.rounded_rectangle(S(1.6, 1.6, W - 1.6, H - 1.6), radius=1.5 * SS * Z, fill=(150, 255, 120, 255))
        d.rounded_rectangle(S(2.4, 2.6, W - 2.4, H - 2.6), radius=1.2 * SS * Z, fill=(214, 255, 190, 255))
        d.rounded_rectangle(S(3.3, 3.4, W - 3.6, 8.0), radius=1 * SS * Z, fill=(255, 255, 255, 255))
    else:
        d.rounded_rectangle(S(1.6, 1.6, W - 1.6, H - 1.6), radius=1.5 * SS * Z, fill=(22, 52, 24, 255))
        d.rounded_rectangle(S(2.4, 2.6, W - 2.4, H - 2.6), radius=1.2 * SS * Z, fill=(28, 66, 30, 255))
        d.rounded_rectangle(S(3.2, 3.2, W - 4.0, 6.5), radius=1 * SS * Z, fill=(72, 110, 74, 255))
    im = ss_down(layer, W, H).convert("RGB")
    return im


# --------------------------------------------------------------------------
# the instrument drawing (used on the panel, the splash and the icon)

def draw_instrument(layer, d, ox, oy, scale, peg_len=2.0):
    """Draw a four-string plucked instrument lying horizontally, body at the
    left, head at the right. Coordinates in 'instrument units' (about 1 px at
    scale 1), origin at the centre of the lower bout, y down. Drawn into the
    supersampled layer (coordinates are multiplied by SS here)."""
    k = scale * SS * Z

    def P(x, y):
        return (ox * SS * Z + x * k, oy * SS * Z + y * k)

    def ell(cx, cy, rx, ry, **kw):
        x0, y0 = P(cx - rx, cy - ry)
        x1, y1 = P(cx + rx, cy + ry)
        d.ellipse([x0, y0, x1, y1], **kw)

    def poly(pts, **kw):
        d.polygon([P(x, y) for x, y in pts], **kw)

    def line(pts, width, **kw):
        d.line([P(x, y) for x, y in pts], width=max(1, int(round(width * k))), **kw)

    # drop shadow of the body on the plate
    for i, a in enumerate((40, 40, 50)):
        grow = 3 - i
        ell(2, 4, 34 + grow, 36 + grow, fill=(0, 0, 0, a))
        ell(52, 4, 26 + grow, 28 + grow, fill=(0, 0, 0, a))
    # body binding (dark edge) and top
    edge = (96, 52, 24, 255)
    ell(0, 0, 34, 36, fill=edge)
    ell(50, 0, 26, 28, fill=edge)
    poly([(10, -30), (50, -24), (50, 24), (10, 30)], fill=edge)
    # spruce top, shaded by concentric fills (light centre, darker rim)
    steps = 10
    for i in range(steps):
        t = i / (steps - 1)
        shrink = 2.2 + t * 9
        col = lerp_col((176, 116, 58), (236, 190, 116), t) + (255,)
        ell(-1 - t * 3, -1 - t * 4, 34 - shrink, 36 - shrink, fill=col)
        ell(50 - t * 2, -1 - t * 3, 26 - shrink, 28 - shrink, fill=col)
        if 28 - shrink > 0:
            poly([(10, -30 + shrink), (50, -24 + shrink * 0.7), (50, 24 - shrink * 0.7),
                  (10, 30 - shrink)], fill=col)
    # cream purfling line
    ell(0, 0, 32.3, 34.3, outline=(250, 232, 190, 160), width=max(1, int(0.7 * k)))
    # sound hole with rosette
    hx, hy = 44, 0
    ell(hx, hy, 12.5, 12.5, fill=(70, 36, 16, 255))
    ell(hx, hy, 11.2, 11.2, fill=(246, 226, 180, 255))
    ell(hx, hy, 10.2, 10.2, fill=(40, 90, 60, 255))
    ell(hx, hy, 9.4, 9.4, fill=(246, 226, 180, 255))
    ell(hx, hy, 8.4, 8.4, fill=(10, 6, 4, 255))
    # bridge
    poly([(-14, -14), (-8, -14), (-7, -10), (-7, 10), (-8, 14), (-14, 14), (-15, 10), (-15, -10)],
         fill=(52, 28, 16, 255))
    line([(-10, -9), (-10, 9)], 1.2, fill=(240, 232, 210, 255))
    # neck + fingerboard
    nb0, nb1 = 60, 178  # fingerboard start (over the body) and the nut
    poly([(nb0, -7), (nb1, -6), (nb1, 6), (nb0, 7)], fill=(46, 26, 18, 255))
    poly([(nb0, -7), (nb1, -6), (nb1, -4.8), (nb0, -5.6)], fill=(82, 50, 34, 255))
    # frets: 12-TET positions measured from the nut
    scale_len = (nb1 - (-10)) * 1.0
    for n in range(1, 15):
        xf = nb1 - scale_len * (1 - 2 ** (-n / 12))
        if xf <= nb0 + 1:
            break
        line([(xf, -6.6), (xf, 6.6)], 1.0, fill=(214, 216, 220, 255))
        if n in (5, 7, 10, 12):
            xm = nb1 - scale_len * (1 - 2 ** (-(n - 0.5) / 12))
            ell(xm, 0, 1.3, 1.3, fill=(236, 236, 226, 255))
    # nut
    poly([(nb1, -6.5), (nb1 + 2.4, -6.5), (nb1 + 2.4, 6.5), (nb1, 6.5)], fill=(244, 238, 220, 255))
    # headstock
    hx0 = nb1 + 2.4
    poly([(hx0, -6.5), (hx0 + 8, -10), (hx0 + 40, -11.5), (hx0 + 44, -8), (hx0 + 44, 8),
          (hx0 + 40, 11.5), (hx0 + 8, 10), (hx0, 6.5)], fill=(58, 32, 20, 255))
    poly([(hx0 + 1, -6.2), (hx0 + 8, -9.4), (hx0 + 40, -10.9), (hx0 + 43, -8), (hx0 + 43, -6),
          (hx0 + 8, -7.5)], fill=(96, 58, 36, 255))
    # tuners: two each side
    pegs = [(hx0 + 14, -1), (hx0 + 30, -1), (hx0 + 14, 1), (hx0 + 30, 1)]
    for px_, side in pegs:
        yy = -11.0 if side < 0 else 11.0
        yb = yy - peg_len if side < 0 else yy + peg_len
        line([(px_, yy), (px_, yb)], 1.6, fill=(170, 140, 70, 255))
        ell(px_, yb + (-1.6 if side < 0 else 1.6), 3.0, 2.0, fill=(236, 214, 150, 255),
            outline=(130, 96, 40, 255), width=max(1, int(0.6 * k)))
        ell(px_, 0, 2.2, 2.2, fill=(196, 168, 96, 255))
        ell(px_ - 0.5, -0.5, 1.0, 1.0, fill=(250, 236, 190, 255))
    # strings: from the bridge saddle over the nut to the tuners
    ys = [-4.2, -1.4, 1.4, 4.2]
    ends = [(hx0 + 14, -1.6), (hx0 + 30, -1.6), (hx0 + 14, 1.6), (hx0 + 30, 1.6)]
    for i, yv in enumerate(ys):
        ex, ey = ends[i]
        line([(-12, yv * 1.15), (nb1 + 1.2, yv)], 0.55, fill=(250, 246, 236, 255))
        line([(nb1 + 1.2, yv), (ex, ey)], 0.55, fill=(250, 246, 236, 255))


def title_text(img, xy, text, size, shadow=True, anchor="la"):
    """Gold title lettering with a dark engraved shadow."""
    fnt = font(SERIF_BI, size)
    W, H = img.size
    m = Image.new("L", (W, H), 0)
    md = ImageDraw.Draw(m)
    md.text(at(*xy), text, font=fnt, fill=255, anchor=anchor)
    bbox = m.getbbox()
    if shadow:
        sh = m.filter(ImageFilter.GaussianBlur(1.6 * Z))
        sh = ImageChops.offset(sh, Z, 2 * Z)
        img = Image.composite(Image.new("RGB", (W, H), (0, 0, 0)), img, sh)
    y0, y1 = bbox[1], bbox[3]
    grad = Image.new("RGB", (W, H))
    gp = grad.load()
    for y in range(H):
        t = 0 if y <= y0 else 1 if y >= y1 else (y - y0) / (y1 - y0)
        # bright band a little above the middle like polished metal
        band = math.exp(-((t - 0.38) ** 2) / 0.02)
        c = lerp_col(GOLD_HI, GOLD_LO, t)
        c = lerp_col(c, (255, 246, 210), band * 0.55)
        for x in range(W):
            gp[x, y] = c
    img = Image.composite(grad, img, m)
    return img, bbox


# --------------------------------------------------------------------------
# the main background

SLOTS = {
    "preset": [(56, 112, 113, 17), (176, 112, 113, 17)],
    "root": [(56, 136, 33, 33), (56, 176, 33, 33), (56, 216, 33, 33)],
    "quality": [(88, 136, 40, 33), (88, 176, 40, 33), (88, 216, 40, 33)],
    "note": [(136, 216, 33, 33), (176, 216, 33, 33), (216, 216, 33, 33),
             (136, 176, 33, 33), (176, 176, 33, 33), (216, 176, 33, 33),
             (136, 136, 33, 33), (176, 136, 33, 33), (216, 136, 33, 33),
             (256, 136, 33, 33), (256, 216, 33, 33)],
    "tone": [(296, 232, 41, 17)],
    "lamp": [(0, 264, 9, 17)],
    "rec": [(16, 264, 73, 17), (96, 264, 73, 17), (176, 264, 73, 17), (256, 264, 73, 17)],
}


def background():
    W, H = 345, 290
    # walnut body everywhere
    img = wood_texture(W, H, 1234, (54, 30, 16), (92, 56, 30), (128, 84, 48))
    d = ImageDraw.Draw(img)
    # outer edge of the case: rounded bevel
    bevel_rect(d, (0, 0, W - 1, H - 1), (156, 112, 72), (30, 16, 8))
    bevel_rect(d, (1, 1, W - 2, H - 2), (128, 90, 56), (40, 22, 12))

    # ---- name plate: black lacquer with a gold line, four screws
    px0, py0, px1, py1 = 6, 5, 338, 100
    plate = vgrad(px1 - px0 + 1, py1 - py0 + 1, (30, 27, 26), (12, 11, 11))
    img.paste(plate, at(px0, py0))
    d = ImageDraw.Draw(img)
    bevel_rect(d, (px0 - 1, py0 - 1, px1 + 1, py1 + 1), (26, 14, 8), (170, 126, 84))
    bevel_rect(d, (px0, py0, px1, py1), (70, 66, 64), (4, 4, 4))
    rect1(d, [px0 + 4, py0 + 4, px1 - 4, py1 - 4], outline=(150, 112, 52))
    rect1(d, [px0 + 5, py0 + 5, px1 - 5, py1 - 5], outline=(40, 32, 20))

    # the instrument
    layer, ld = ss_layer(W, H)
    draw_instrument(layer, ld, ox=53, oy=60, scale=0.93)
    small = ss_down(layer, W, H)
    img.paste(small, (0, 0), small)

    # title and subtitle
    img, bb = title_text(img, (136, 4), "Plinkora", 38)
    sub = font(SANS_B, 8)
    d = ImageDraw.Draw(img)
    sx = 146
    d.text(at(sx, 84), "4-STRING  CHORD  INSTRUMENT", font=sub, fill=(196, 160, 90))

    for (sxp, syp) in ((14, 13), (330, 13), (14, 92), (330, 92)):
        screw(img, sxp, syp, r=3.2, angle=20 + sxp % 50)

    # ---- control plate: dark brushed metal
    cx0, cy0, cx1, cy1 = 4, 105, 340, 256
    metal = brushed_metal(cx1 - cx0 + 1, cy1 - cy0 + 1, 99, (46, 48, 52), amp=9)
    img.paste(metal, at(cx0, cy0))
    d = ImageDraw.Draw(img)
    bevel_rect(d, (cx0 - 1, cy0 - 1, cx1 + 1, cy1 + 1), (28, 15, 8), (160, 118, 78))
    bevel_rect(d, (cx0, cy0, cx1, cy1), (112, 114, 120), (14, 14, 16))

    # fingerboard under the note grid: ebony strip with strings, nut and frets
    fb0, fb1 = 131, 294
    fy0, fy1 = 131, 254
    eb = wood_texture(fb1 - fb0 + 1, fy1 - fy0 + 1, 777, (10, 8, 8), (22, 17, 15), (36, 28, 24), 2.2)
    img.paste(eb, at(fb0, fy0))
    d = ImageDraw.Draw(img)
    line1(d, [(fb0 - 1, fy0), (fb0 - 1, fy1)], fill=(4, 4, 4))
    line1(d, [(fb1 + 1, fy0), (fb1 + 1, fy1)], fill=(90, 92, 98))
    # nut at the top in bone
    rect1(d, [fb0, fy0, fb1, fy0 + 2], fill=(232, 224, 200))
    line1(d, [(fb0, fy0 + 3), (fb1, fy0 + 3)], fill=(60, 52, 40))
    # fret wires in the gaps between rows
    for fy in (172, 212, 252):
        line1(d, [(fb0, fy), (fb1, fy)], fill=(190, 192, 198))
        line1(d, [(fb0, fy + 1), (fb1, fy + 1)], fill=(90, 92, 96))
    # strings running down the four columns
    for i, sxs in enumerate((152, 192, 232, 272)):
        wdt = 2 if i < 2 else 1
        line1(d, [(sxs + 1, fy0 + 4), (sxs + 1, fy1)], fill=(6, 6, 6))
        line1(d, [(sxs, fy0 + 3), (sxs, fy1)], fill=(226, 226, 220))
        if wdt == 2:
            line1(d, [(sxs - 1, fy0 + 3), (sxs - 1, fy1)], fill=(150, 146, 136))
    # pearl dot inlay in the empty place of the fourth column
    layer, ld = ss_layer(W, H)
    for cy in (187.5, 197.5):
        ld.ellipse(S(279 - 3.2, cy - 3.2, 279 + 3.2, cy + 3.2), fill=(236, 232, 220, 255),
                   outline=(160, 170, 176, 255), width=SS * Z // 2)
    small = ss_down(layer, W, H)
    img.paste(small, (0, 0), small)
    d = ImageDraw.Draw(img)

    # slots of the displays on the plate
    for key in ("preset", "note", "tone"):
        for (x, y, w, h) in SLOTS[key]:
            recess(d, x, y, w, h, depth=2)
    # the chord label (root + quality) reads as one display: one slot
    for (x, y, w, h), (qx, qy, qw, qh) in zip(SLOTS["root"], SLOTS["quality"]):
        recess(d, x, y, qx + qw - x, h, depth=2)

    # legends
    lab = font(SANS_B, 8)
    engraved_text(img, (10, 116), "PRESET", lab)
    engraved_text(img, (10, 137), "CHORD", lab)
    engraved_text(img, (298, 221), "TONE", lab)
    small_lab = font(COND_B, 8)
    d = ImageDraw.Draw(img)
    # keypad legend beside each chord row
    for (y, keys) in ((153, "7 8 9 +"), (193, "4 5 6"), (233, "1 2 3 Ent")):
        engraved_text(img, (10, y), keys, small_lab, fill=(196, 198, 192))

    # speaker grille in the free corner at the right of the grid
    layer, ld = ss_layer(W, H)
    gx0, gy0, gx1, gy1 = 299, 114, 336, 208
    for j, gy in enumerate(range(gy0 + 3, gy1 - 2, 6)):
        off = 3 if j % 2 else 0
        for gx in range(gx0 + 3 + off, gx1 - 2, 6):
            ld.ellipse(S(gx - 1.9, gy - 1.9, gx + 1.9, gy + 1.9), fill=(0, 0, 0, 255))
            ld.ellipse(S(gx - 1.9, gy - 0.6, gx + 1.9, gy + 1.9), fill=(92, 94, 100, 120))
            ld.ellipse(S(gx - 1.7, gy - 1.7, gx + 1.5, gy + 1.3), fill=(6, 6, 7, 255))
    small = ss_down(layer, W, H)
    img.paste(small, (0, 0), small)

    # ---- transport rail at the bottom: brushed aluminium
    ry0 = 258
    rail = brushed_metal(W, H - ry0, 7, (84, 86, 92), amp=10)
    img.paste(rail, at(0, ry0))
    d = ImageDraw.Draw(img)
    line1(d, [(0, ry0 - 1), (W - 1, ry0 - 1)], fill=(20, 12, 8))
    line1(d, [(0, ry0), (W - 1, ry0)], fill=(170, 172, 178))
    line1(d, [(0, ry0 + 1), (W - 1, ry0 + 1)], fill=(124, 126, 132))
    line1(d, [(0, 287), (W - 1, 287)], fill=(30, 30, 34))
    for (x, y, w, h) in SLOTS["rec"] + SLOTS["lamp"]:
        recess(d, x, y, w, h, depth=1)
    return img


# --------------------------------------------------------------------------
# splash and icon

def splash():
    W, H = 344, 147
    img = wood_texture(W, H, 4321, (54, 30, 16), (92, 56, 30), (128, 84, 48))
    d = ImageDraw.Draw(img)
    x0, y0, x1, y1 = 5, 5, W - 6, H - 6
    plate = vgrad(x1 - x0 + 1, y1 - y0 + 1, (32, 29, 28), (10, 9, 9))
    img.paste(plate, at(x0, y0))
    d = ImageDraw.Draw(img)
    bevel_rect(d, (0, 0, W - 1, H - 1), (156, 112, 72), (30, 16, 8))
    bevel_rect(d, (x0 - 1, y0 - 1, x1 + 1, y1 + 1), (26, 14, 8), (170, 126, 84))
    rect1(d, [x0 + 4, y0 + 4, x1 - 4, y1 - 4], outline=(150, 112, 52))
    rect1(d, [x0 + 5, y0 + 5, x1 - 5, y1 - 5], outline=(40, 32, 20))
    layer, ld = ss_layer(W, H)
    draw_instrument(layer, ld, ox=58, oy=99, scale=1.05)
    small = ss_down(layer, W, H)
    img.paste(small, (0, 0), small)
    img, bb = title_text(img, (226, 8), "Plinkora", 42, anchor="mt")
    d = ImageDraw.Draw(img)
    d.text(at(226, 60), "A CHORD INSTRUMENT FOR THE PC KEYBOARD", font=font(SANS_B, 7),
           fill=(196, 160, 90), anchor="mt")
    for (sxp, syp) in ((14, 14), (329, 14), (14, 132), (329, 132)):
        screw(img, sxp, syp, r=3.2, angle=30 + syp % 40)
    d = ImageDraw.Draw(img)
    d.text(at(222, 124), "keypad: strike    F1-F12: frets", font=font(SANS, 8),
           fill=(150, 146, 136), anchor="mt")
    return img


ICON_PALETTE = [
    (0, 0, 0),        # 0 black
    (40, 22, 12),     # 1 dark brown (edge)
    (96, 52, 24),     # 2 binding
    (150, 96, 48),    # 3 mid wood
    (200, 146, 78),   # 4 spruce dark
    (236, 190, 116),  # 5 spruce light
    (250, 232, 190),  # 6 cream
    (255, 255, 255),  # 7 white
    (58, 32, 20),     # 8 headstock
    (214, 216, 220),  # 9 silver
    (120, 122, 126),  # 10 grey
    (224, 200, 120),  # 11 gold
    (40, 90, 60),     # 12 rosette green
    (96, 236, 112),   # 13 led green
    (20, 60, 30),     # 14 dark green
    (255, 0, 255),    # 15 (unused key colour)
]


def _icon_shape(x, y, size):
    """Palette index of the instrument at instrument coordinates (x, y), or
    None outside it. Units as in draw_instrument: lower bout centred at 0."""
    small = size <= 16

    def in_ell(cx, cy, rx, ry):
        return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0

    # tuners (gold buttons either side of the head)
    for px_ in (108, 120):
        for side in (-1, 1):
            if in_ell(px_, side * 14.5, 4.2, 4.2):
                return 11
    # head
    if 99 <= x <= 128 and abs(y) <= 9.5 + (x - 99) * 0.12:
        if not small and abs(y) <= 1.8 and x < 125:
            return 6
        return 8
    # neck with fingerboard
    if 44 <= x < 99 and abs(y) <= (7.5 if not small else 9.5):
        if small:
            return 8
        if abs(y) <= 1.8:
            return 6  # the strings as one light line
        if abs(y) >= 6.0:
            return 2
        return 1
    body_out = in_ell(0, 0, 36, 38) or in_ell(38, 0, 26, 28) or (
        8 <= x <= 38 and abs(y) <= 30 - (x - 8) * 0.2)
    if not body_out:
        return None
    body_in = in_ell(0, 0, 31, 33) or in_ell(38, 0, 21, 23) or (
        8 <= x <= 38 and abs(y) <= 25 - (x - 8) * 0.2)
    if not body_in:
        return 2
    # sound hole with rosette
    r = math.hypot(x - 36, y)
    if r <= 9.0:
        return 0
    if r <= (12.5 if not small else 11.5):
        return 12 if not small else 2
    # bridge with saddle
    if -17 <= x <= -8 and abs(y) <= 13:
        if not small and -13.5 <= x <= -11.5 and abs(y) <= 10:
            return 6
        return 8
    # strings over the top from bridge to neck
    if not small and -8 < x < 44 and abs(y) <= 1.8 and r > 12.5:
        return 6
    # shading of the spruce top: light toward the upper left
    shade = (x * 0.45 + y * 0.9) / 40.0
    if shade > 0.55:
        return 4
    if shade < -0.6:
        return 6
    return 5


def icon_image(size):
    """RGBA pixel art of the instrument set diagonally (neck to the upper
    right), rendered per pixel so each pixel is exactly one palette colour;
    a dark outline is added around the silhouette."""
    ang = math.radians(-45)
    ca, sa = math.cos(ang), math.sin(ang)
    # extents of the instrument after rotation, to fit it in the square
    pts = [(-36, 0), (128, 0)] + [(36 * math.cos(t / 8), 38 * math.sin(t / 8)) for t in range(51)]
    pts += [(px_, side * 19) for px_ in (108, 120) for side in (-1, 1)]
    xs = [x * ca - y * sa for x, y in pts]
    ys = [x * sa + y * ca for x, y in pts]
    margin = 1.0
    sc = (size - 2 * margin) / max(max(xs) - min(xs), max(ys) - min(ys))
    cx = margin + (size - 2 * margin - (max(xs) - min(xs)) * sc) / 2 - min(xs) * sc
    cy = margin + (size - 2 * margin - (max(ys) - min(ys)) * sc) / 2 - min(ys) * sc
    grid = [[None] * size for _ in range(size)]
    sub = 4
    for py in range(size):
        for px in range(size):
            votes = {}
            for j in range(sub):
                for i in range(sub):
                    X = px + (i + 0.5) / sub
                    Y = py + (j + 0.5) / sub
                    dx, dy = (X - cx) / sc, (Y - cy) / sc
                    x = dx * ca + dy * sa
                    y = -dx * sa + dy * ca
                    c = _icon_shape(x, y, size)
                    votes[c] = votes.get(c, 0) + 1
            best = max(votes.items(), key=lambda kv: (kv[1], -1 if kv[0] is None else kv[0]))[0]
            if votes.get(None, 0) > sub * sub * 0.5:
                best = None
            grid[py][px] = best
    # outline: empty pixels touching the shape become dark edge
    out = [row[:] for row in grid]
    for py in range(size):
        for px in range(size):
            if grid[py][px] is None:
                for ddx, ddy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                    qx, qy = px + ddx, py + ddy
                    if 0 <= qx < size and 0 <= qy < size and grid[qy][qx] is not None:
                        if grid[qy][qx] not in (11,):
                            out[py][px] = 1 if size > 16 else None
                        break
    im = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    pxs = im.load()
    for py in range(size):
        for px in range(size):
            c = out[py][px]
            if c is not None:
                pxs[px, py] = ICON_PALETTE[c] + (255,)
    return im


def quantize_icon(rgba):
    """Map an RGBA drawing onto ICON_PALETTE (exact or nearest colour);
    transparent pixels get index 0 and a set bit in the AND mask."""
    w, h = rgba.size
    px = rgba.load()
    idx = []
    mask = []
    for y in range(h):
        for x in range(w):
            r, g, b, a = px[x, y]
            if a < 128:
                idx.append(0)
                mask.append(1)
                continue
            best, bd = 0, 1e9
            for i, c in enumerate(ICON_PALETTE[:15]):
                dd = (r - c[0]) ** 2 + (g - c[1]) ** 2 + (b - c[2]) ** 2
                if dd < bd:
                    best, bd = i, dd
            idx.append(best)
            mask.append(0)
    return idx, mask


def ico_dib(size, idx, mask):
    """BITMAPINFOHEADER + 16-colour palette + 4bpp XOR bitmap + 1bpp AND mask,
    both bottom-up, rows padded to 32 bits."""
    hdr = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    pal = b"".join(struct.pack("BBBB", c[2], c[1], c[0], 0) for c in ICON_PALETTE)
    xor_rows = []
    row_bytes = ((size * 4 + 31) // 32) * 4
    for y in range(size - 1, -1, -1):
        row = bytearray()
        for x in range(0, size, 2):
            a = idx[y * size + x]
            b = idx[y * size + x + 1]
            row.append((a << 4) | b)
        row += b"\0" * (row_bytes - len(row))
        xor_rows.append(bytes(row))
    and_rows = []
    mrow_bytes = ((size + 31) // 32) * 4
    for y in range(size - 1, -1, -1):
        row = bytearray(mrow_bytes)
        for x in range(size):
            if mask[y * size + x]:
                row[x // 8] |= 0x80 >> (x % 8)
        and_rows.append(bytes(row))
    return hdr + pal + b"".join(xor_rows) + b"".join(and_rows)


def write_icon(out_dir):
    images = []
    for size in (32, 16):
        rgba = icon_image(size)
        idx, mask = quantize_icon(rgba)
        images.append((size, idx, mask))
        # palette PNG twin, colour 15 is the transparent index
        p = Image.new("P", (size, size))
        flat = []
        for c in ICON_PALETTE:
            flat += list(c)
        p.putpalette(flat)
        p.putdata([15 if m else i for i, m in zip(idx, mask)])
        p.save(os.path.join(out_dir, "icon%d.png" % size), optimize=False, transparency=15, bits=4)
    dibs = [ico_dib(s, i, m) for s, i, m in images]
    head = struct.pack("<HHH", 0, 1, len(dibs))
    offset = 6 + 16 * len(dibs)
    entries = b""
    for (s, _, _), dib in zip(images, dibs):
        entries += struct.pack("<BBBBHHII", s, s, 16, 0, 1, 4, len(dib), offset)
        offset += len(dib)
    with open(os.path.join(out_dir, "plinkora.ico"), "wb") as f:
        f.write(head + entries + b"".join(dibs))


# --------------------------------------------------------------------------

NOTE_NAMES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]
QUALITIES = ["Maj.", "m", "7th", "m7"]


def scaled_name(name):
    """The file of a picture at the scale being drawn: name@2x.ext beside name.ext."""
    if Z == 1:
        return name
    stem, ext = os.path.splitext(name)
    return "%s@%dx%s" % (stem, Z, ext)


def save_jpeg(im, name):
    im.convert("RGB").save(os.path.join(OUT, scaled_name(name)), "JPEG", **JPEG_ARGS)


def save_gif(im, name, colors=64):
    p = im.convert("RGB").quantize(colors=colors, method=Image.MEDIANCUT, dither=Image.NONE)
    p.save(os.path.join(OUT, scaled_name(name)), "GIF", optimize=False)


def draw_pictures():
    """Every picture of the two windows at the scale being drawn."""
    save_jpeg(background(), "background.jpg")
    save_jpeg(splash(), "splash.jpg")
    for k, n in enumerate(NOTE_NAMES):
        save_gif(note_frame(n), "note_%02d.gif" % k)
        save_jpeg(root_frame(n), "root_%02d.jpg" % k)
    for k, q in enumerate(QUALITIES):
        save_jpeg(quality_frame(q), "quality_%d.jpg" % k)
    for k, name in enumerate(("Standard", "POP")):
        save_jpeg(preset_frame(name, False), "preset_off_%d.jpg" % k)
        save_jpeg(preset_frame(name, True), "preset_on_%d.jpg" % k)
    for k, (name, lit) in enumerate((("NylonB", False), ("NylonB", True), ("Nylon", False),
                                     ("Nylon", True), ("OPL.3", False), ("OPL.3", True))):
        save_jpeg(tone_frame(name, lit), "tone_%d.jpg" % k)
    save_gif(lamp(False), "lamp_1.gif", colors=32)
    save_gif(lamp(True), "lamp_2.gif", colors=32)
    for k, kind in enumerate(("rec", "stop", "play", "save")):
        save_jpeg(rec_face(kind), "recbot_%d.jpg" % k)
    # the Rec button's idle look is byte-for-byte its face
    with open(os.path.join(OUT, scaled_name("recbot_0.jpg")), "rb") as f:
        data = f.read()
    with open(os.path.join(OUT, scaled_name("recind_0.jpg")), "wb") as f:
        f.write(data)
    save_jpeg(rec_face("recording"), "recind_1.jpg")


def main():
    global Z
    os.makedirs(OUT, exist_ok=True)
    Z = 1
    write_icon(OUT)
    draw_pictures()
    Z = 2
    draw_pictures()
    Z = 1


if __name__ == "__main__":
    main()
