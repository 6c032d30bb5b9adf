#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package plinkora_<version>_<arch>.deb with CPack from the
# project's install rules (program in /usr/bin, pictures and sounds in
# /usr/share/plinkora, desktop entry, icons, metainfo, manual page, copyright
# and changelog in /usr/share/doc/plinkora).  Depends come from
# dpkg-shlibdeps plus the soundfont and Qt's platform plugin.
#
#   scripts/package.sh                       install what is missing, build ./build, package into ./build
#   scripts/package.sh --build-dir DIR [--out DIR]   package a tree already configured (cpack builds it first)
set -euo pipefail
cd "$(dirname "$0")/.."
build=""
out=""
while [[ $# -gt 0 ]]; do
  case $1 in
    --build-dir) build=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "package.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [[ -z "$build" ]]; then
  scripts/install-deps.sh
  scripts/build.sh >/dev/null
  build=build
fi
build=$(cd "$build" && pwd)
out=${out:-$build}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# cpack reads CPackConfig.cmake before it builds the tree, so a change of
# the package's settings would only reach the next package: configure first.
cmake "$build" >/dev/null

work=$(mktemp -d "$out/.cpack-XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
debs=("$work"/plinkora_*.deb)
[[ ${#debs[@]} -eq 1 && -f "${debs[0]}" ]] || { echo "package.sh: cpack made no package" >&2; cat "$work/cpack.log" >&2; exit 1; }
deb="$out/$(basename "${debs[0]}")"
mv -f "${debs[0]}" "$deb"
echo "$deb"
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends
