#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The Debian package installs with apt into a fresh Debian 12 root and runs.

  1. scripts/package.sh builds plinkora_<version>_<arch>.deb: everything
     under /usr, Depends with the shared libraries and fluid-soundfont-gm,
     Recommends opl3-soundfont, the manual page, the copyright file and the
     changelog; Debian 12's lintian finds no error and no warning in it, and
     every info-level tag it still reports is named in the README;
  2. a fresh bookworm root (debootstrap --variant=minbase from the mirror apt
     is configured with; the debootstrapped root is kept as a tarball in the
     work folder, and so are the packages apt fetched, to save time on the
     next run; the root itself is a memory file system) gets
     `apt-get install ./plinkora_*.deb`, which must resolve
     every dependency from the archive;
  3. the installed program, started in that root (chroot) from its desktop
     entry's Exec line, on a virtual X server and a sound server outside,
     opens its main window "Plinkora" drawn from /usr/share/plinkora, and
     ends on SIGTERM with status 0; without a display it prints its version,
     and says in one line that no display is reachable (status 1).
  Mounts inside the root are undone and the root is deleted at the end,
  also after a failure (and, should a run be killed, at the next start).

  deb_root_test.py --source SOURCE_DIR --build BUILD_DIR --version X.Y --work DIR
Exit status: 0 passed, 1 failed, 77 skipped (not root, or the mirror cannot
be reached).
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import time
import urllib.request
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from session import (APP_ID, ICON_SIZES, SKIP, Children, Failure, Screen, Servers,  # noqa: E402
                     check, desktop_entry, exec_argv, log, wait_for_main_window_drawn, watch_start)

SUITE = "bookworm"
BASE_MAX_AGE_DAYS = 7
ROOT_MB = 4096   # the installed root takes about 1.3 GB


def debian_sources():
    """(mirror, [(uri, suite, components)]) of the Debian 12 archives apt is
    configured with here: one-line and deb822 sources alike."""
    entries = []
    files = ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")) \
        + sorted(glob.glob("/etc/apt/sources.list.d/*.sources"))
    for path in files:
        try:
            text = open(path, encoding="utf-8").read()
        except OSError:
            continue
        if path.endswith(".sources"):
            for para in re.split(r"\n\s*\n", text):
                fields = {}
                for line in para.splitlines():
                    if line.startswith("#") or ":" not in line or line[0].isspace():
                        continue
                    k, v = line.split(":", 1)
                    fields[k.strip().lower()] = v.split()
                if "deb" not in fields.get("types", []):
                    continue
                for uri in fields.get("uris", []):
                    for suite in fields.get("suites", []):
                        entries.append((uri, suite, fields.get("components", [])))
        else:
            for line in text.splitlines():
                line = re.sub(r"\[[^]]*\]", " ", line.split("#", 1)[0]).split()
                if len(line) >= 4 and line[0] == "deb":
                    entries.append((line[1], line[2], line[3:]))
    debian = [(u, s, c) for u, s, c in entries if s.split("-")[0] == SUITE and "main" in c]
    mirror = next((u for u, s, _ in debian if s == SUITE), None)
    return mirror, debian


def mirror_reachable(mirror):
    try:
        with urllib.request.urlopen(mirror.rstrip("/") + "/dists/%s/Release" % SUITE, timeout=20) as r:
            return r.status == 200 and b"Suite:" in r.read(4096)
    except Exception as e:  # noqa: BLE001 - any failure to fetch means unreachable
        log("mirror %s: %s" % (mirror, e))
        return False


def run(argv, what, timeout=900, **kw):
    r = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kw)
    check(r.returncode == 0, what, "$ %s\n%s%s" % (" ".join(argv), r.stdout[-4000:], r.stderr[-4000:]))
    return r.stdout


def mounts_under(path):
    """Mount points at or below path, deepest first."""
    path = os.path.realpath(path)
    found = []
    with open("/proc/self/mountinfo") as fh:
        for line in fh:
            point = line.split()[4].replace("\\040", " ")
            if point == path or point.startswith(path + "/"):
                found.append(point)
    return sorted(found, key=len, reverse=True)


def unmount_all(root):
    for point in mounts_under(root):
        if subprocess.run(["umount", point]).returncode != 0:
            subprocess.run(["umount", "-l", point])
    left = mounts_under(root)
    if left:
        raise Failure("still mounted, root left in place: %s" % left)


def remove_root(root):
    if not os.path.exists(root):
        return
    unmount_all(root)
    # --one-file-system: never follows into anything mounted after all.
    subprocess.run(["rm", "-rf", "--one-file-system", root], check=True)


class Root:
    """A fresh bookworm root under the work folder, made from the kept
    debootstrap tarball (or by debootstrap, which also refreshes the
    tarball), with the machine's Debian sources."""

    def __init__(self, work, mirror, sources):
        self.work = work
        self.path = os.path.join(work, "root")
        self.base = os.path.join(work, "cache", "bookworm-minbase.tar")
        self.archives = os.path.join(work, "cache", "archives")
        self.mirror = mirror
        self.sources = sources

    def make(self):
        remove_root(self.path)
        os.makedirs(os.path.dirname(self.base), exist_ok=True)
        os.makedirs(self.archives, exist_ok=True)
        # The root lives in memory: unpacking is quicker, and it is gone
        # with its unmounting.
        os.makedirs(self.path)
        run(["mount", "-t", "tmpfs", "-o", "size=%dm,mode=755" % ROOT_MB, "plinkora-root", self.path],
            "a memory file system for the root")
        fresh = os.path.exists(self.base) and \
            time.time() - os.path.getmtime(self.base) < BASE_MAX_AGE_DAYS * 86400
        if fresh:
            run(["tar", "-xf", self.base, "-C", self.path, "--numeric-owner"], "a bookworm root from the kept tarball")
        else:
            run(["debootstrap", "--variant=minbase", SUITE, self.path, self.mirror],
                "debootstrap --variant=minbase %s from %s" % (SUITE, self.mirror))
            self.chroot(["apt-get", "clean"], "apt-get clean in the new root")
            tmp = self.base + ".part"
            run(["tar", "-cf", tmp, "-C", self.path, "--numeric-owner", "--one-file-system", "."],
                "the debootstrapped root kept as a tarball")
            os.replace(tmp, self.base)
        with open(os.path.join(self.path, "etc/apt/sources.list"), "w") as fh:
            for uri, suite, comps in self.sources:
                fh.write("deb %s %s %s\n" % (uri, suite, " ".join(comps)))
        shutil.copyfile("/etc/resolv.conf", os.path.join(self.path, "etc/resolv.conf"))
        # No daemon is started by a package's maintainer scripts in here.
        policy = os.path.join(self.path, "usr/sbin/policy-rc.d")
        with open(policy, "w") as fh:
            fh.write("#!/bin/sh\nexit 101\n")
        os.chmod(policy, 0o755)
        return self

    def chroot(self, argv, what, env=None, timeout=900):
        env = env or {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "DEBIAN_FRONTEND": "noninteractive",
                      "LANG": "C.UTF-8"}
        return run(["chroot", self.path] + argv, what, timeout=timeout, env=env)

    def keep_archives(self, into_root):
        """Copies fetched packages between the cache and the root's apt cache."""
        inside = os.path.join(self.path, "var/cache/apt/archives")
        src, dst = (self.archives, inside) if into_root else (inside, self.archives)
        for deb in glob.glob(os.path.join(src, "*.deb")):
            target = os.path.join(dst, os.path.basename(deb))
            if not os.path.exists(target):
                shutil.copy2(deb, target)

    def mount(self, source, target, fstype=None):
        """Mounts a file system, or binds a folder of this machine read-only:
        nothing in the root (nor an rm -rf of it, should a killed run leave
        a mount behind) can delete what is outside."""
        point = os.path.join(self.path, target.lstrip("/"))
        os.makedirs(point, exist_ok=True)
        if fstype:
            run(["mount", "-t", fstype, fstype, point], "mounted %s in the root" % target)
        else:
            run(["mount", "--bind", source, point], "bound %s into the root" % target)
            run(["mount", "-o", "remount,bind,ro", point], "made %s read-only in the root" % target)


def check_package(deb, version, arch):
    check(os.path.basename(deb) == "plinkora_%s_%s.deb" % (version, arch), "the package is named " + os.path.basename(deb))
    fields = {}
    for name in ("Package", "Version", "Depends", "Recommends"):
        fields[name] = subprocess.run(["dpkg-deb", "--field", deb, name], capture_output=True, text=True).stdout.strip()
    check(fields["Package"] == "plinkora" and fields["Version"] == version, "package plinkora, version %s" % version)
    depends = [d.strip().split()[0] for d in fields["Depends"].split(",")]
    check("fluid-soundfont-gm" in depends, "it depends on fluid-soundfont-gm")
    # dpkg-shlibdeps' part: the packages of the libraries the program links.
    check({"libqt6widgets6", "libfluidsynth3", "libsndfile1", "libpulse0", "libc6"} <= set(depends),
          "it depends on the packages of its shared libraries: " + fields["Depends"])
    check("opl3-soundfont" in fields["Recommends"], "it recommends opl3-soundfont")
    listing = subprocess.run(["dpkg-deb", "--contents", deb], capture_output=True, text=True).stdout
    paths = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    check(paths and all(p.startswith("./usr/") or p == "./" for p in paths), "everything installs under /usr")
    wanted = ["./usr/bin/plinkora", "./usr/share/plinkora/start.wav", "./usr/share/plinkora/background.jpg",
              "./usr/share/applications/%s.desktop" % APP_ID, "./usr/share/metainfo/%s.metainfo.xml" % APP_ID,
              "./usr/share/icons/hicolor/scalable/apps/%s.svg" % APP_ID] + \
        ["./usr/share/icons/hicolor/%dx%d/apps/%s.png" % (n, n, APP_ID) for n in ICON_SIZES]
    wanted += ["./usr/share/man/man1/plinkora.1.gz", "./usr/share/doc/plinkora/copyright",
               "./usr/share/doc/plinkora/changelog.gz"]
    missing = [p for p in wanted if p not in paths]
    check(not missing, "the package holds the program, its data, the entry, the metainfo, the icons, "
          "the manual page, the copyright and the changelog", str(missing))


def check_lintian(deb, readme):
    """lintian (Debian 12's, with the info-level tags shown): no error and no
    warning; each info tag it still reports is named in the README's
    install section, which says why it stays."""
    r = subprocess.run(["lintian", "--display-info", "--fail-on", "error,warning", deb],
                       capture_output=True, text=True, timeout=600)
    tags = [line for line in r.stdout.splitlines() if re.match(r"^[EWIPX]: ", line)]
    log("lintian %s:%s" % (os.path.basename(deb), "".join("\n    " + t for t in tags) or " no tags"))
    bad = [t for t in tags if t[0] in "EW"]
    check(r.returncode == 0 and not bad, "lintian reports no error and no warning",
          "status %d\n%s%s" % (r.returncode, r.stdout, r.stderr))
    text = open(readme, encoding="utf-8").read()
    infos = sorted({t.split()[2] for t in tags if t[0] == "I" and len(t.split()) > 2})
    unexplained = [t for t in infos if t not in text]
    check(not unexplained, "every info tag lintian still reports is named in the README (%s)" %
          (", ".join(infos) or "none"), "not in README.md: %s" % unexplained)


def start_from_entry(root, servers, children, workdir):
    """Starts the program in the root as its desktop entry says."""
    entry = desktop_entry(os.path.join(root.path, "usr/share/applications/%s.desktop" % APP_ID))
    argv = exec_argv(entry.get("Exec", ""))
    check(argv, "the installed entry has an Exec line: %r" % entry.get("Exec"))
    env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": "/root", "LANG": "C.UTF-8", "QT_QPA_PLATFORM": "xcb"}
    env.update(servers.client_env("/tmp/plinkora-pulse/native"))
    log("starting in the root: %s" % " ".join(argv))
    proc = children.start([shutil.which("chroot"), root.path] + argv, env=env, log_path=os.path.join(workdir, "program.log"))
    return proc, entry


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--work", required=True)
    a = ap.parse_args()
    a.work, a.build, a.source = (os.path.abspath(p) for p in (a.work, a.build, a.source))
    if os.geteuid() != 0:
        print("SKIP: a chroot and its mounts need root")
        return SKIP
    mirror, sources = debian_sources()
    if not mirror:
        print("SKIP: apt has no Debian %s archive configured to debootstrap from" % SUITE)
        return SKIP
    if not mirror_reachable(mirror):
        print("SKIP: the Debian mirror %s cannot be reached" % mirror)
        return SKIP
    for tool in ("debootstrap", "Xvfb", "pulseaudio", "dpkg-deb", "lintian"):
        if not shutil.which(tool):
            log("FAIL: %s is not installed (scripts/install-deps.sh installs it)" % tool)
            return 1
    os.makedirs(a.work, exist_ok=True)
    logs = os.path.join(a.work, "logs")
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    root = Root(a.work, mirror, sources)
    children = Children()
    status = 1
    try:
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
        out = os.path.join(a.work, "deb")
        shutil.rmtree(out, ignore_errors=True)
        run(["bash", os.path.join(a.source, "scripts/package.sh"), "--build-dir", a.build, "--out", out],
            "scripts/package.sh built the package")
        debs = glob.glob(os.path.join(out, "*.deb"))
        check(len(debs) == 1, "one package: %s" % debs)
        check_package(debs[0], a.version, arch)
        check_lintian(debs[0], os.path.join(a.source, "README.md"))

        root.make()
        log("root ready: %s" % root.path)
        shutil.copy(debs[0], os.path.join(root.path, "tmp"))
        root.chroot(["apt-get", "update", "-q", "-o", "Acquire::Retries=3"], "apt-get update in the root")
        root.keep_archives(into_root=True)
        out = root.chroot(["sh", "-c", "cd /tmp && apt-get install -y -q -o Acquire::Retries=3 -o Dpkg::Options::=--force-unsafe-io ./%s" % os.path.basename(debs[0])],
                          "apt-get install ./%s resolved its dependencies and installed" % os.path.basename(debs[0]))
        with open(os.path.join(logs, "apt.log"), "w") as fh:
            fh.write(out)
        root.keep_archives(into_root=False)
        m = re.search(r"(\d+) newly installed", out)
        log("apt installed %s packages" % (m.group(1) if m else "?"))
        state = root.chroot(["dpkg-query", "-W", "-f=${Status} ${Version}", "plinkora"], "dpkg knows plinkora")
        check(state == "install ok installed %s" % a.version, "plinkora %s is installed (%s)" % (a.version, state))
        check(os.path.isfile(os.path.join(root.path, "usr/share/sounds/sf2/FluidR3_GM.sf2")),
              "the General MIDI soundfont came with it")
        bare = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root"}
        version = root.chroot(["plinkora", "--version"], "plinkora --version runs in the root", env=bare)
        check(version.splitlines()[:1] == ["plinkora " + a.version], "it is plinkora %s" % a.version, version)
        r = subprocess.run([shutil.which("chroot"), root.path, "plinkora"], env=bare, capture_output=True, text=True, timeout=60)
        check(r.returncode == 1 and len(r.stderr.splitlines()) == 1 and "X11 or Wayland" in r.stderr,
              "without a display it says so in one line and ends with status 1",
              "status %s, stderr %r" % (r.returncode, r.stderr))

        # The display and the sound server live outside; the root sees the
        # X socket through a bind mount and the sound server's socket as a
        # file in its own /tmp.
        servers = Servers(children, logs, pulse_dir=os.path.join(root.path, "tmp/plinkora-pulse")).start()
        root.mount(None, "/proc", fstype="proc")
        root.mount("/dev", "/dev")
        root.mount("/tmp/.X11-unix", "/tmp/.X11-unix")
        proc, entry = start_from_entry(root, servers, children, logs)
        screen = Screen(servers.display)
        main_window = watch_start(screen, proc)
        check(True, 'the main window "Plinkora" (%dx%d) appeared' % main_window["size"])
        with wave.open(os.path.join(root.path, "usr/share/plinkora/start.wav")) as w:
            sound_s = w.getnframes() / w.getframerate()
        splash = main_window["at"] - (main_window["splash_at"] or main_window["at"])
        check(splash >= 0.75 * sound_s,
              "the splash stayed while /usr/share/plinkora/start.wav played (%.2f s of %.2f s)" % (splash, sound_s))
        drawn = wait_for_main_window_drawn(screen, main_window,
                                           os.path.join(root.path, "usr/share/plinkora/background.jpg"))
        check(drawn >= 0.5, "it shows the panel picture from /usr/share/plinkora (%.0f %% of it)" % (100 * drawn))
        check(main_window["wm_class"] and main_window["wm_class"][1] == entry.get("StartupWMClass"),
              "its WM_CLASS %s matches the entry's StartupWMClass" % (main_window["wm_class"],))
        code = children.stop(proc, timeout=15)
        check(code == 0, "SIGTERM ends it with status 0 (%s)" % code)
        log("PASS")
        status = 0
    except Failure as e:
        log("FAIL:", e)
        log("logs in %s" % logs)
    except subprocess.TimeoutExpired as e:
        log("FAIL: timed out: %s" % e)
    finally:
        children.stop_all()
        try:
            remove_root(root.path)
        except Failure as e:
            log("FAIL:", e)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
