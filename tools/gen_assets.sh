#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Regenerate every picture and sound of Plinkora into assets/ (or into the
# folder given as the first argument), and the desktop icons into data/icons/
# (or the second argument). Deterministic: a second run gives the same bytes.
#
# Debian packages needed: python3 python3-pil fonts-dejavu-core
# fonts-dejavu-extra fluidsynth fluid-soundfont-gm librsvg2-bin
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-"$here/../assets"}
mkdir -p "$out"
out=$(cd "$out" && pwd)
icons=${2:-"$here/../data/icons"}

# Pillow comes from Debian's python3-pil, so prefer Debian's interpreter over
# any other python3 earlier on PATH.
py=python3
if [ -x /usr/bin/python3 ]; then py=/usr/bin/python3; fi

if ! "$py" -c 'import PIL' 2>/dev/null; then
  echo "gen_assets: $py cannot import PIL (apt-get install python3-pil)" >&2; exit 1
fi
for f in /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf \
         /usr/share/fonts/truetype/dejavu/DejaVuSansCondensed-Bold.ttf \
         /usr/share/fonts/truetype/dejavu/DejaVuSerif-BoldItalic.ttf; do
  [ -f "$f" ] || { echo "gen_assets: missing $f (apt-get install fonts-dejavu-core fonts-dejavu-extra)" >&2; exit 1; }
done
command -v fluidsynth >/dev/null || { echo "gen_assets: fluidsynth not found (apt-get install fluidsynth)" >&2; exit 1; }
command -v rsvg-convert >/dev/null || { echo "gen_assets: rsvg-convert not found (apt-get install librsvg2-bin)" >&2; exit 1; }
[ -f "${PLINKORA_SF2:-/usr/share/sounds/sf2/FluidR3_GM.sf2}" ] || {
  echo "gen_assets: FluidR3_GM.sf2 not found (apt-get install fluid-soundfont-gm)" >&2; exit 1; }

"$py" "$here/gen_pictures.py" "$out"
"$py" "$here/gen_sounds.py" "$out"
"$py" "$here/gen_icons.py" "$icons"
echo "gen_assets: wrote $(ls "$out" | wc -l) files to $out"
