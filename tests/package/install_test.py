#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""`cmake --install` into a temporary prefix gives a complete, working program.

  1. every file is in place: the program, its pictures and sounds (the same
     bytes as assets/), the desktop entry, the seven icons, the metainfo;
  2. desktop-file-validate and appstreamcli (offline) pass without a
     warning, and the entry and the metainfo agree with each other and with
     the project version; the metainfo names the licence, dates its
     releases and captions its screenshot; the manual page is installed
     and man renders it without a warning; the copyright file is in
     Debian's machine-readable form;
  3. the installed program, started on a private X and sound server, shows
     the splash for as long as its start sound plays, then the main window
     "Plinkora" drawn from the pictures under the prefix, with the WM_CLASS
     the desktop entry names; it ends on SIGTERM with status 0;
  4. the same program with share/plinkora moved away draws no panel (so the
     check in 3 sees where the pictures came from).

  install_test.py --build BUILD_DIR --source SOURCE_DIR --version X.Y --work DIR
Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb or PulseAudio here).
"""
import argparse
import filecmp
import gzip
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import wave
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from session import (APP_ID, ICON_SIZES, SKIP, Children, Failure, Screen, Servers,  # noqa: E402
                     check, desktop_entry, exec_argv, log, wait_for_main_window_drawn, watch_start)


def png_size(path):
    with open(path, "rb") as fh:
        head = fh.read(26)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    w, h = struct.unpack(">II", head[16:24])
    return (w, h, head[25])   # colour type 6: RGBA


def check_files(prefix, source):
    share = os.path.join(prefix, "share")
    exe = os.path.join(prefix, "bin", "plinkora")
    check(os.access(exe, os.X_OK), "bin/plinkora is installed and executable")
    assets = os.path.join(source, "assets")
    data = os.path.join(share, "plinkora")
    names = sorted(os.listdir(assets))
    _, mismatch, errors = filecmp.cmpfiles(assets, data, names, shallow=False)
    check(not mismatch and not errors,
          "share/plinkora holds all %d pictures and sounds, byte for byte (%s)" % (len(names), mismatch + errors))
    for n in ICON_SIZES:
        path = os.path.join(share, "icons", "hicolor", "%dx%d" % (n, n), "apps", APP_ID + ".png")
        check(os.path.isfile(path) and png_size(path) == (n, n, 6), "a %dx%d RGBA icon" % (n, n))
    svg = os.path.join(share, "icons", "hicolor", "scalable", "apps", APP_ID + ".svg")
    root = ET.parse(svg).getroot()
    check(root.tag == "{http://www.w3.org/2000/svg}svg", "the scalable icon is an SVG document")
    desktop = os.path.join(share, "applications", APP_ID + ".desktop")
    metainfo = os.path.join(share, "metainfo", APP_ID + ".metainfo.xml")
    check(os.path.isfile(desktop), "the desktop entry share/applications/%s.desktop" % APP_ID)
    check(os.path.isfile(metainfo), "the metainfo share/metainfo/%s.metainfo.xml" % APP_ID)
    return exe, desktop, metainfo


def check_icons_drawn(source, work, share):
    """The icons installed are what tools/gen_icons.py draws, and look like
    an icon: a shape on a transparent ground."""
    from PIL import Image
    fresh = os.path.join(work, "icons")
    r = subprocess.run([sys.executable, os.path.join(source, "tools", "gen_icons.py"), fresh],
                       capture_output=True, text=True)
    check(r.returncode == 0, "tools/gen_icons.py runs", r.stdout + r.stderr)
    installed = os.path.join(share, "icons")
    drawn = sorted(os.path.relpath(os.path.join(d, n), fresh) for d, _, names in os.walk(fresh) for n in names)
    check(len(drawn) == len(ICON_SIZES) + 1, "the generator draws %d icons" % len(drawn))
    differ = [n for n in drawn if not os.path.isfile(os.path.join(installed, n))
              or not filecmp.cmp(os.path.join(fresh, n), os.path.join(installed, n), shallow=False)]
    check(not differ, "the installed icons are the generator's drawing, byte for byte", str(differ))
    for n in ICON_SIZES:
        im = Image.open(os.path.join(installed, "hicolor", "%dx%d" % (n, n), "apps", APP_ID + ".png"))
        alpha = im.getchannel("A")
        opaque = sum(alpha.histogram()[250:]) / float(n * n)
        check(alpha.getpixel((0, 0)) == 0 and alpha.getpixel((n // 2, n // 2)) == 255 and 0.6 < opaque < 0.99,
              "the %d px icon: transparent corners, an opaque plate (%.0f %% opaque)" % (n, 100 * opaque))


def check_validators(prefix, desktop, metainfo):
    r = subprocess.run(["desktop-file-validate", desktop], capture_output=True, text=True)
    check(r.returncode == 0 and not r.stdout.strip(), "desktop-file-validate is clean", r.stdout + r.stderr)
    # --no-net: the screenshot's address is not fetched (no network in CI).
    for argv in (["appstreamcli", "validate", "--no-net", metainfo],
                 ["appstreamcli", "validate-tree", "--no-net", prefix]):
        r = subprocess.run(argv, capture_output=True, text=True)
        issues = [line for line in r.stdout.splitlines() if line[:2] in ("E:", "W:")]
        check(r.returncode == 0 and not issues, " ".join(argv[:3]) + " passes without a warning",
              r.stdout + r.stderr)


def check_manual_and_licence(prefix, source, version):
    page = os.path.join(prefix, "share", "man", "man1", "plinkora.1.gz")
    check(os.path.isfile(page), "the manual page share/man/man1/plinkora.1.gz")
    with gzip.open(page, "rt", encoding="utf-8") as fh:
        text = fh.read()
    check(text == open(os.path.join(source, "docs", "plinkora.1"), encoding="utf-8").read(),
          "it is docs/plinkora.1")
    th = re.search(r'^\.TH PLINKORA 1 \S+ "Plinkora ([^"]+)"', text, re.M)
    check(th and th.group(1) == version, "its title line names version %s (%s)" % (version, th and th.group(1)))
    env = dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH="80")
    r = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True, env=env)
    rendered = r.stdout
    check(r.returncode == 0 and not r.stderr.strip() and "EXIT STATUS" in rendered and "PLINKORA_AUDIO_OUTPUT" in rendered,
          "man --warnings -l renders it without a warning", r.stderr)
    copyright_file = os.path.join(prefix, "share", "doc", "plinkora", "copyright")
    text = open(copyright_file, encoding="utf-8").read()
    check(text.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
          and re.search(r"^Files: \*\n(.+\n)*License: GPL-3\+$", text, re.M)
          and re.search(r"^License: GPL-3\+\n .*\n(( .*|)\n)*.*/usr/share/common-licenses/GPL-3", text, re.M),
          "share/doc/plinkora/copyright: DEP-5, every file GPL-3+ unless named otherwise")
    with gzip.open(os.path.join(prefix, "share", "doc", "plinkora", "changelog.gz"), "rt") as fh:
        first = fh.readline()
    check(re.match(r"^plinkora \(([^)]+)\) ", first), "the changelog is Debian's format: %s" % first.strip())
    return re.match(r"^plinkora \(([^)]+)\) ", first).group(1)


def check_contents(desktop, metainfo, version):
    entry = desktop_entry(desktop)
    check(entry.get("Type") == "Application" and entry.get("Name") == "Plinkora", "the entry is the application Plinkora")
    check(set(entry.get("Categories", "").strip(";").split(";")) >= {"AudioVideo", "Audio", "Music"},
          "the entry's categories: AudioVideo, Audio, Music")
    check(entry.get("Icon") == APP_ID, "the entry's icon is named after the application id")
    check(exec_argv(entry.get("Exec", "")) == ["plinkora"], "the entry starts plinkora from PATH")
    c = ET.parse(metainfo).getroot()
    check(c.get("type") == "desktop-application" and c.findtext("id") == APP_ID, "the metainfo's id")
    launch = c.find("launchable")
    check(launch is not None and launch.get("type") == "desktop-id" and launch.text == APP_ID + ".desktop",
          "the metainfo launches the desktop entry")
    releases = [r.get("version") for r in c.iter("release")]
    check(releases and releases[0] == version, "the newest release is the project's version %s (%s)" % (version, releases))
    check(all(re.match(r"^\d{4}-\d\d-\d\d$", r.get("date") or "") for r in c.iter("release")),
          "every release has a date")
    check(c.findtext("project_license") == "GPL-3.0-or-later", "the project's licence: GPL-3.0-or-later")
    check((c.findtext("screenshots/screenshot/caption") or "").strip(), "the screenshot has a caption")
    check(c.find("content_rating") is not None, "a content rating")
    check(len("".join(c.find("description").itertext()).split()) >= 20, "a description")
    image = c.find("screenshots/screenshot/image")
    check(image is not None and image.text.startswith("https://") and image.text.endswith("/docs/screenshot.png"),
          "the screenshot is the project's docs/screenshot.png")
    return entry


def run_installed(exe, entry, servers, workdir, background):
    """Starts the installed program; returns (splash seconds, share of the
    window drawn from the panel's picture, WM_CLASS, exit status)."""
    children = Children()
    env = {"PATH": os.path.dirname(exe) + ":/usr/bin:/bin", "HOME": workdir, "LANG": "C.UTF-8",
           "QT_QPA_PLATFORM": "xcb"}
    env.update(servers.client_env())
    try:
        argv = exec_argv(entry["Exec"])
        proc = children.start(argv, env=env, log_path=os.path.join(workdir, "program.log"))
        screen = Screen(servers.display)
        main = watch_start(screen, proc)
        splash = (main["at"] - main["splash_at"]) if main["splash_at"] else 0.0
        drawn = wait_for_main_window_drawn(screen, main, background, share=0.5, timeout=5)
        status = children.stop(proc, timeout=15)
        return splash, drawn, main["wm_class"], status
    finally:
        children.stop_all()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--work", required=True)
    a = ap.parse_args()
    a.work, a.build, a.source = (os.path.abspath(p) for p in (a.work, a.build, a.source))
    for tool in ("Xvfb", "pulseaudio"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed" % tool)
            return SKIP
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    prefix = os.path.join(a.work, "prefix")
    children = Children()
    try:
        r = subprocess.run(["cmake", "--install", a.build, "--prefix", prefix], capture_output=True, text=True)
        check(r.returncode == 0, "cmake --install %s --prefix %s" % (a.build, prefix), r.stdout + r.stderr)
        exe, desktop, metainfo = check_files(prefix, a.source)
        check_icons_drawn(a.source, a.work, os.path.join(prefix, "share"))
        check_validators(prefix, desktop, metainfo)
        entry = check_contents(desktop, metainfo, a.version)
        changelog_version = check_manual_and_licence(prefix, a.source, a.version)
        check(changelog_version == a.version, "the changelog's newest entry is %s (%s)" % (a.version, changelog_version))

        servers = Servers(children, a.work).start()
        data = os.path.join(prefix, "share", "plinkora")
        start_sound = os.path.join(a.source, "assets", "start.wav")
        background = os.path.join(a.source, "assets", "background.jpg")
        with wave.open(start_sound) as w:
            sound_s = w.getnframes() / w.getframerate()
        splash, drawn, wm_class, status = run_installed(exe, entry, servers, a.work, background)
        check(splash >= 0.75 * sound_s,
              "the splash stays while the installed start sound plays (%.2f s of %.2f s)" % (splash, sound_s))
        # An empty dark window already matches the dark panel in about half of
        # its pixels; the drawn panel matches in over four fifths.
        check(drawn >= 0.75, "the main window shows the installed panel picture (%.0f %% of it)" % (100 * drawn))
        check(wm_class and wm_class[1] == entry.get("StartupWMClass"),
              "the window's WM_CLASS %s is the entry's StartupWMClass" % (wm_class,))
        check(status == 0, "SIGTERM ends the program with status 0 (%s)" % status)

        # Without its data the same program draws no panel and has no start
        # sound: the checks above could tell.
        os.rename(data, data + ".away")
        splash, drawn, _, _ = run_installed(exe, entry, servers, a.work, background)
        os.rename(data + ".away", data)
        check(drawn < 0.75 and splash < 0.75 * sound_s,
              "with share/plinkora moved away: no panel (%.0f %%), no start sound (%.2f s)" % (100 * drawn, splash))
        log("PASS")
        return 0
    except Failure as e:
        log("FAIL:", e)
        return 1
    finally:
        children.stop_all()


if __name__ == "__main__":
    sys.exit(main())
