// Figures for the real program on a desktop, measured from outside it:
// start-up to the main window, resident memory, CPU use while idle and while
// playing fast, and key-to-sound at the sound server on each tone.
//
// It starts bin/plinkora (beside this program), watches the X server for its
// windows, reads /proc for memory and CPU, sends keys through XTest and
// records the default sink's monitor.  Needs DISPLAY and a PulseAudio (or
// PipeWire) server with a null sink as default (scripts/bench.sh starts
// both).
//
// Key to sound: a strike's time is taken on this process's steady clock just
// before its key event goes to the X server; the sound's time is when the
// sink played the note's first sound, i.e. the first sample above -60 dBFS
// whose following millisecond is above -60 dBFS as a whole, each sample
// timed by the monitor stream's own latency report (desktop_driver.h).  A
// low threshold counts only the delay, not how long a tone's attack takes
// to grow loud.  Every strike goes into silence: the monitor must have been
// below -60 dBFS for a while before the key is sent, so no earlier note's
// tail is taken for the new one.  Each tone in turn: OPL.3 (the tone at
// start), then Down to Nylon, then Down to NylonB.
//
//   bench_desktop [--strikes N]        strikes on each tone (default 20)
//                 [--idle SECS]        idle CPU measured over this long (10)
//                 [--playing SECS]     CPU while playing: loop on, 10 strikes a second (20)
//                 [--user NAME]        run the program as this (ordinary) user
//                 [--program PATH] [--fragment FRAMES (monitor read size)] [--table]
#include "desktop_driver.h"
#include "proc_stats.h"

using namespace bench;

namespace {

struct Series {
  const char* tone;
  std::vector<double> latencies;
  int missed = 0;       // no sound within the window
  int notSilent = 0;    // the monitor never fell silent before the strike: not struck
  int mistimed = 0;     // the sound seemed to begin before the key: not counted
};

// One strike into silence: the key, the first sound within `windowMs`.
void strikeIntoSilence(Display* dpy, Monitor& mon, KeySym key, double quietMs, double windowMs, Series& run) {
  if (!waitForSilence(mon, quietMs, 20000)) {
    ++run.notSilent;
    return;
  }
  const double pressed = nowMs();
  keyEvent(dpy, key, true);
  usleep(60000);
  keyEvent(dpy, key, false);
  mon.waitUntilCovered(pressed + windowMs, windowMs + 3000);
  bool early = false;
  const double onset = firstSoundAfter(mon, pressed, pressed + windowMs, &early);
  if (early) ++run.mistimed;
  else if (std::isnan(onset)) ++run.missed;
  else run.latencies.push_back(onset - pressed);
}

}  // namespace

int main(int argc, char** argv) {
  int strikes = 20;
  double idleSeconds = 10, playingSeconds = 20;
  double quietMs = 300, windowMs = 500;
  bool tableOnly = false;
  uint32_t fragment = 0;   // frames per read of the monitor; 0: as desktop_driver.h chooses
  std::string user;
  std::string program = (fs::canonical("/proc/self/exe").parent_path() / "plinkora").string();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--strikes" && i + 1 < argc) strikes = std::max(1, std::atoi(argv[++i]));
    else if (a == "--idle" && i + 1 < argc) idleSeconds = std::atof(argv[++i]);
    else if (a == "--playing" && i + 1 < argc) playingSeconds = std::atof(argv[++i]);
    else if (a == "--program" && i + 1 < argc) program = argv[++i];
    else if (a == "--user" && i + 1 < argc) user = argv[++i];
    else if (a == "--table") tableOnly = true;
    else if (a == "--fragment" && i + 1 < argc) fragment = uint32_t(std::atoi(argv[++i]));
    else {
      std::fprintf(stderr,
                   "usage: %s [--strikes N] [--idle SECS] [--playing SECS] [--user NAME] [--program PATH] "
                   "[--fragment FRAMES] [--table]\n",
                   argv[0]);
      return 2;
    }
  }
  Display* dpy = openDisplay("bench_desktop");
  if (!dpy) return 1;
  Monitor mon;
  mon.fragmentFrames = fragment ? std::max<uint32_t>(16, fragment) : 0;
  std::string why;
  if (!mon.start(&why)) {
    std::fprintf(stderr, "bench_desktop: %s\n", why.c_str());
    return 1;
  }

  const std::string startWav = (fs::path(program).parent_path() / "../share/plinkora/start.wav").string();
  const double startSound = wavSeconds(startWav) * 1000.0;

  Program p;
  const double t0 = nowMs();
  if (!p.start(program, user)) {
    std::fprintf(stderr, "bench_desktop: cannot start %s\n", program.c_str());
    return 1;
  }
  double tSplash = NAN, tMain = NAN;
  Window main = 0;
  int mw = 0, mh = 0;
  while (nowMs() - t0 < 30000 && p.alive()) {
    if (std::isnan(tSplash) && findWindow(dpy, nullptr)) tSplash = nowMs() - t0;
    if ((main = findWindow(dpy, "Plinkora", &mw, &mh))) {
      tMain = nowMs() - t0;
      break;
    }
    usleep(1000);
  }
  if (!main) {
    std::fprintf(stderr, "bench_desktop: the main window did not appear\n");
    return 1;
  }
  usleep(2000000);
  const long rss = proc::statusKb("VmRSS:", p.pidText());
  const double cpu0 = proc::cpuSeconds(p.pidText());
  usleep(useconds_t(idleSeconds * 1e6));
  const double idleCpu = (proc::cpuSeconds(p.pidText()) - cpu0) / idleSeconds * 100.0;

  focusForKeypad(dpy, main);
  Series series[3] = {{"OPL.3"}, {"Nylon"}, {"NylonB"}};
  const KeySym keys[2] = {XK_KP_4, XK_KP_6};
  for (Series& run : series) {
    if (&run != &series[0]) {
      tapKey(dpy, XK_Down);
      usleep(300000);
    }
    for (int s = 0; s < strikes && p.alive(); ++s) strikeIntoSilence(dpy, mon, keys[s % 2], quietMs, windowMs, run);
  }

  // Playing fast: the loop on, ten strikes a second over the keypad.
  double playingCpu = NAN;
  if (playingSeconds > 0 && p.alive()) {
    tapKey(dpy, XK_Left);
    usleep(500000);
    const KeySym pad[8] = {XK_KP_1, XK_KP_2, XK_KP_3, XK_KP_4, XK_KP_5, XK_KP_6, XK_KP_7, XK_KP_8};
    const double c0 = proc::cpuSeconds(p.pidText()), w0 = nowMs();
    for (int i = 0; nowMs() - w0 < playingSeconds * 1000.0; ++i) {
      tapKey(dpy, pad[i % 8], 40);
      const double next = w0 + double(i + 1) * 100.0;
      if (next > nowMs()) usleep(useconds_t((next - nowMs()) * 1000.0));
    }
    playingCpu = (proc::cpuSeconds(p.pidText()) - c0) / ((nowMs() - w0) / 1000.0) * 100.0;
    tapKey(dpy, XK_Left);
  }
  const bool survived = p.alive();
  p.stop();
  XCloseDisplay(dpy);

  if (!tableOnly) {
    std::printf("main window %dx%d; splash after %.0f ms; start sound %.0f ms; program run as %s; "
                "monitor of %s read in %u-frame pieces\n",
                mw, mh, tSplash, startSound, user.empty() ? "this user" : user.c_str(), mon.serverName.c_str(),
                mon.fragmentFrames);
    for (const Series& run : series) {
      std::printf("%s, ms in strike order:", run.tone);
      for (double v : run.latencies) std::printf(" %.1f", v);
      std::printf("\n");
    }
  }
  std::printf("| Start-up to main window, start sound excluded | %.0f ms | (%.0f ms in all); target < 200 ms |\n",
              tMain - startSound, tMain);
  std::printf("| Resident memory, idle main window | %.0f MB | target < 64 MB |\n", double(rss) / 1024.0);
  std::printf("| CPU while idle (%.0f s) | %.2f %% of a core | target < 1 %% |\n", idleSeconds, idleCpu);
  if (playingSeconds > 0)
    std::printf("| CPU while playing (loop on, 10 strikes/s, %.0f s) | %.1f %% of a core | target < 15 %% |\n",
                playingSeconds, playingCpu);
  bool heard = true;
  for (Series& run : series) {
    const auto& v = run.latencies;
    std::printf("| Key to sound at the sound server, %s (%zu strikes into silence) | median %.1f ms | p95 %.1f, max %.1f ms; "
                "%d not heard%s; first sound above -60 dBFS; target median <= 5, p95 <= 8 |\n",
                run.tone, v.size(), percentile(v, 0.5), percentile(v, 0.95), maxOf(v), run.missed,
                (std::string(run.notSilent ? ", " + std::to_string(run.notSilent) + " not struck (never silent)" : "") +
                 (run.mistimed ? ", " + std::to_string(run.mistimed) + " mistimed (sound before the key), left out" : ""))
                    .c_str());
    heard = heard && !v.empty() && run.mistimed == 0;
  }
  if (mon.overflows) std::printf("(the monitor recording overflowed %llu times)\n", (unsigned long long)mon.overflows);
  if (!survived) std::fprintf(stderr, "bench_desktop: the program ended while being played\n");
  return heard && survived ? 0 : 1;
}
