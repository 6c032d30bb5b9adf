#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Draw Plinkora's application icon for the desktop (the hicolor theme).

One drawing, written as an SVG (the scalable icon), and rendered from that
SVG by rsvg-convert at 16, 32, 48, 64, 128 and 256 pixels.  Deterministic:
the SVG is plain text built from fixed numbers, and rsvg-convert writes no
timestamps, so a second run gives the same bytes (with the same Debian
version of librsvg).

Needs: librsvg2-bin (rsvg-convert).

Usage: gen_icons.py [OUTDIR]   (default: ../data/icons next to this script)
       OUTDIR gets hicolor/<N>x<N>/apps/<id>.png and hicolor/scalable/apps/<id>.svg
"""
import math
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(HERE, "..", "data", "icons")

APP_ID = "io.github.plinkora.Plinkora"
SIZES = (16, 32, 48, 64, 128, 256)

# The panel's palette: dark plate, gold rim and lettering, spruce top,
# binding and fingerboard browns, the green of the displays.
PLATE_TOP, PLATE_BOTTOM = "#2a2420", "#0c0a09"
GOLD_HI, GOLD_LO = "#fcde8c", "#b07c30"
SPRUCE_LIGHT, SPRUCE_DARK = "#ecbe74", "#b0743a"
BINDING = "#603418"
FINGERBOARD = "#2e1a12"
HEAD = "#3a2014"
SOUND_HOLE = "#0a0604"
ROSETTE = "#60ec70"
FRET = "#d6d8dc"
STRING = "#faf6ec"

# The instrument lies along x in its own units: lower bout centred at -52,
# head at the right.  It is turned so the neck points to the upper right.
ANGLE = -45.0
LOWER_BOUT = (-52.0, 0.0, 44.0)   # cx, cy, r
UPPER_BOUT = (-4.0, 0.0, 33.0)
HOLE = (-4.0, 0.0, 14.0)
BRIDGE_X = -72.0
NUT_X = 98.0
NECK_HALF = 10.0
HEAD_END = 136.0
STRING_Y = (-6.6, -2.2, 2.2, 6.6)
PEGS = ((112.0, -1), (126.0, -1), (112.0, 1), (126.0, 1))


def f(v):
    """A number as the SVG gets it: three decimals at most, no '-0'."""
    s = ("%.3f" % v).rstrip("0").rstrip(".")
    return "0" if s in ("-0", "") else s


def instrument_extent():
    """Half-width of the turned instrument's bounding box, and its centre."""
    pts = []
    for cx, cy, r in (LOWER_BOUT, UPPER_BOUT):
        pts += [(cx + (r + 3) * math.cos(t * math.pi / 32), cy + (r + 3) * math.sin(t * math.pi / 32))
                for t in range(64)]
    pts += [(x, s * 22.0) for x, s in PEGS]
    pts += [(HEAD_END, -14.0), (HEAD_END, 14.0)]
    a = math.radians(ANGLE)
    xs = [x * math.cos(a) - y * math.sin(a) for x, y in pts]
    ys = [x * math.sin(a) + y * math.cos(a) for x, y in pts]
    return (max(max(xs) - min(xs), max(ys) - min(ys)) / 2,
            ((max(xs) + min(xs)) / 2, (max(ys) + min(ys)) / 2))


def svg():
    half, (mx, my) = instrument_extent()
    scale = 98.0 / half           # the instrument fills 196 of the 256 units
    tx, ty = 128 - mx * scale, 128 - my * scale
    out = []
    w = out.append
    w('<?xml version="1.0" encoding="UTF-8"?>')
    w('<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">')
    w('<title>Plinkora</title>')
    w('<defs>')
    w('<linearGradient id="plate" x1="0" y1="0" x2="0" y2="1">'
      '<stop offset="0" stop-color="%s"/><stop offset="1" stop-color="%s"/></linearGradient>'
      % (PLATE_TOP, PLATE_BOTTOM))
    w('<linearGradient id="rim" x1="0" y1="0" x2="0" y2="1">'
      '<stop offset="0" stop-color="%s"/><stop offset="1" stop-color="%s"/></linearGradient>'
      % (GOLD_HI, GOLD_LO))
    w('<radialGradient id="top" cx="0.42" cy="0.38" r="0.7">'
      '<stop offset="0" stop-color="%s"/><stop offset="1" stop-color="%s"/></radialGradient>'
      % (SPRUCE_LIGHT, SPRUCE_DARK))
    w('</defs>')
    # the plate: a rounded square with a gold rim
    w('<rect x="8" y="8" width="240" height="240" rx="44" fill="url(#plate)" '
      'stroke="url(#rim)" stroke-width="8"/>')
    w('<g transform="translate(%s %s) rotate(%s) scale(%s)">' % (f(tx), f(ty), f(ANGLE), f(scale)))
    bouts = [LOWER_BOUT, UPPER_BOUT]
    # binding: both bouts outlined first, the top laid over them
    for cx, cy, r in bouts:
        w('<circle cx="%s" cy="%s" r="%s" fill="%s" stroke="%s" stroke-width="7"/>'
          % (f(cx), f(cy), f(r), BINDING, BINDING))
    w('<g fill="url(#top)">')
    for cx, cy, r in bouts:
        w('<circle cx="%s" cy="%s" r="%s"/>' % (f(cx), f(cy), f(r - 1)))
    w('</g>')
    # neck and fingerboard with a few frets
    w('<rect x="%s" y="%s" width="%s" height="%s" fill="%s"/>'
      % (f(HOLE[0] + HOLE[2] + 6), f(-NECK_HALF), f(NUT_X - HOLE[0] - HOLE[2] - 6),
         f(2 * NECK_HALF), FINGERBOARD))
    scale_len = NUT_X - BRIDGE_X
    for n in range(1, 13):
        x = NUT_X - scale_len * (1 - 2 ** (-n / 12))
        if x < HOLE[0] + HOLE[2] + 8:
            break
        w('<line x1="%s" y1="%s" x2="%s" y2="%s" stroke="%s" stroke-width="1.6"/>'
          % (f(x), f(-NECK_HALF), f(x), f(NECK_HALF), FRET))
    # head and its four pegs, two each side
    w('<path d="M%s %sL%s %sL%s %sL%s %sZ" fill="%s" stroke="%s" stroke-width="2"/>'
      % (f(NUT_X), f(-NECK_HALF), f(HEAD_END), f(-15), f(HEAD_END), f(15), f(NUT_X), f(NECK_HALF),
         HEAD, BINDING))
    for x, side in PEGS:
        w('<circle cx="%s" cy="%s" r="5.5" fill="%s" stroke="%s" stroke-width="1.5"/>'
          % (f(x), f(side * 19.5), GOLD_HI, GOLD_LO))
    # sound hole with its green rosette, and the bridge
    hx, hy, hr = HOLE
    w('<circle cx="%s" cy="%s" r="%s" fill="%s" stroke="%s" stroke-width="3.5"/>'
      % (f(hx), f(hy), f(hr), SOUND_HOLE, ROSETTE))
    w('<rect x="%s" y="-19" width="9" height="38" rx="2.5" fill="%s"/>' % (f(BRIDGE_X - 4.5), HEAD))
    # the four strings: bridge, over the nut, out to the pegs
    for y, (px, side) in zip(STRING_Y, PEGS):
        w('<polyline points="%s,%s %s,%s %s,%s" fill="none" stroke="%s" stroke-width="2.2" '
          'stroke-linecap="round" stroke-linejoin="round"/>'
          % (f(BRIDGE_X), f(y * 1.35), f(NUT_X), f(y), f(px), f(side * 15.5), STRING))
    w('</g>')
    w('</svg>')
    return "\n".join(out) + "\n"


def main():
    rsvg = shutil.which("rsvg-convert")
    if not rsvg:
        sys.exit("gen_icons: rsvg-convert not found (apt-get install librsvg2-bin)")
    scalable = os.path.join(OUT, "hicolor", "scalable", "apps")
    os.makedirs(scalable, exist_ok=True)
    svg_path = os.path.join(scalable, APP_ID + ".svg")
    with open(svg_path, "w", encoding="utf-8", newline="\n") as fh:
        fh.write(svg())
    for n in SIZES:
        folder = os.path.join(OUT, "hicolor", "%dx%d" % (n, n), "apps")
        os.makedirs(folder, exist_ok=True)
        subprocess.run([rsvg, "-w", str(n), "-h", str(n), "-f", "png",
                        "-o", os.path.join(folder, APP_ID + ".png"), svg_path], check=True)


if __name__ == "__main__":
    main()
