// Dropouts of the real program, counted from outside: a long session played
// through the window as a player would (the backing loop on, a 4-note strum
// every 100 ms, a tone change every 5 s) while the null sink's monitor is
// recorded.  The loop sound never falls silent (the loop file is checked:
// its quietest stretch is far shorter than a gap counted), so while it plays
// every run of exact digital silence at the sink at least that long is audio
// the program did not deliver in time: a dropout.
//
// Needs DISPLAY and a PulseAudio (or PipeWire) server with a null sink as
// default (scripts/bench.sh starts both).
//
//   bench_session [--seconds N]     length of the session (default 600)
//                 [--user NAME]     run the program as this (ordinary) user
//                 [--min-gap MS]    shortest run of silence counted (default 2)
//                 [--program PATH] [--table]
#include "desktop_driver.h"
#include "proc_stats.h"

#include <atomic>

using namespace bench;

namespace {

struct Gap {
  double atS;   // into the session
  double ms;
};

// Counts runs of exact silence (every channel 0.0) of at least `minFrames`
// among the frames played between `fromMs` and `untilMs`.
struct GapCounter {
  std::mutex m;
  double fromMs = INFINITY, untilMs = INFINITY;
  size_t minFrames = 0;
  size_t run = 0;
  double runStartMs = 0;
  uint64_t frames = 0;   // frames looked at
  std::vector<Gap> gaps;

  void window(double from, double until) {
    std::lock_guard<std::mutex> lock(m);
    fromMs = from;
    untilMs = until;
  }
  void feed(const float* lr, size_t n, double firstMs, double frameMs) {
    std::lock_guard<std::mutex> lock(m);
    for (size_t i = 0; i < n; ++i) {
      const double t = firstMs + double(i) * frameMs;
      if (t < fromMs || t >= untilMs) {
        run = 0;
        continue;
      }
      ++frames;
      if (lr[2 * i] == 0.0f && lr[2 * i + 1] == 0.0f) {
        if (run++ == 0) runStartMs = t;
      } else {
        close(frameMs);
      }
    }
  }
  // At the end of the window a run still open counts too.
  void finish(double frameMs) {
    std::lock_guard<std::mutex> lock(m);
    close(frameMs);
  }
  void close(double frameMs) {
    if (run >= minFrames && run > 0) gaps.push_back({(runStartMs - fromMs) / 1000.0, double(run) * frameMs});
    run = 0;
  }
};

// Gaps less than a second apart make one burst.
int bursts(const std::vector<Gap>& gaps) {
  int n = 0;
  double last = -10;
  for (const Gap& g : gaps) {
    if (g.atS - last > 1.0) ++n;
    last = g.atS;
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 600, minGapMs = 2;
  bool tableOnly = false;
  std::string user;
  std::string program = (fs::canonical("/proc/self/exe").parent_path() / "plinkora").string();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (a == "--user" && i + 1 < argc) user = argv[++i];
    else if (a == "--min-gap" && i + 1 < argc) minGapMs = std::atof(argv[++i]);
    else if (a == "--program" && i + 1 < argc) program = argv[++i];
    else if (a == "--table") tableOnly = true;
    else {
      std::fprintf(stderr, "usage: %s [--seconds N] [--user NAME] [--min-gap MS] [--program PATH] [--table]\n", argv[0]);
      return 2;
    }
  }
  // A gap counted must be longer than anything quiet the loop holds.
  const std::string loopWav = (fs::path(program).parent_path() / "../share/plinkora/3crap2.wav").string();
  const double loopQuietMs = longestNearSilenceMs(loopWav);
  if (loopQuietMs < 0) {
    std::fprintf(stderr, "bench_session: cannot read the loop sound %s\n", loopWav.c_str());
    return 1;
  }
  const double gapMs = std::max(minGapMs, 2.0 * loopQuietMs);

  Display* dpy = openDisplay("bench_session");
  if (!dpy) return 1;
  Monitor mon;
  mon.keepSeconds = 5;
  GapCounter counter;
  counter.minFrames = std::max<size_t>(1, size_t(std::ceil(gapMs * mon.rate / 1000.0)));
  mon.onFrames = [&](const float* lr, size_t n, double firstMs, double frameMs) { counter.feed(lr, n, firstMs, frameMs); };
  std::string why;
  if (!mon.start(&why)) {
    std::fprintf(stderr, "bench_session: %s\n", why.c_str());
    return 1;
  }
  Program p;
  if (!p.start(program, user)) {
    std::fprintf(stderr, "bench_session: cannot start %s\n", program.c_str());
    return 1;
  }
  Window main = 0;
  for (const double t0 = nowMs(); !main && nowMs() - t0 < 30000 && p.alive(); usleep(5000))
    main = findWindow(dpy, "Plinkora");
  if (!main) {
    std::fprintf(stderr, "bench_session: the main window did not appear\n");
    return 1;
  }
  usleep(1000000);
  focusForKeypad(dpy, main);

  // The loop on; count from when it has been heard for half a second.
  tapKey(dpy, XK_Left);
  bool looping = false;
  for (const double t0 = nowMs(); !looping && nowMs() - t0 < 5000; usleep(10000)) {
    const double last = mon.lastMs();
    looping = last > 0 && mon.peak(last - 50, last + 1) > kSilenceLevel;
  }
  if (!looping) {
    std::fprintf(stderr, "bench_session: the loop sound was never heard\n");
    return 1;
  }
  usleep(500000);
  const double start = nowMs();
  counter.window(start, INFINITY);
  const double cpu0 = proc::cpuSeconds(p.pidText());
  const KeySym strum[4] = {XK_KP_7, XK_KP_8, XK_KP_9, XK_KP_Add};
  int toneChanges = 0, strums = 0;
  std::vector<double> toneTimes;   // s into the session
  double nextStrum = start, nextTone = start + 5000;
  while (nowMs() - start < seconds * 1000.0 && p.alive()) {
    if (nowMs() >= nextTone) {
      toneTimes.push_back((nowMs() - start) / 1000.0);
      tapKey(dpy, (toneChanges / 2) % 2 ? XK_Up : XK_Down, 20);
      ++toneChanges;
      nextTone += 5000;
    }
    for (KeySym k : strum) {
      keyEvent(dpy, k, true);
      usleep(3000);
    }
    usleep(30000);
    for (KeySym k : strum) keyEvent(dpy, k, false);
    ++strums;
    nextStrum += 100;
    const double wait = std::min(nextStrum, nextTone) - nowMs();
    if (wait > 0) usleep(useconds_t(wait * 1000.0));
  }
  const double end = nowMs();
  const bool survived = p.alive();
  const double cpu = (proc::cpuSeconds(p.pidText()) - cpu0) / ((end - start) / 1000.0) * 100.0;
  counter.window(start, end);
  mon.waitUntilCovered(end, 3000);
  counter.finish(1000.0 / mon.rate);
  tapKey(dpy, XK_Left);
  p.stop();
  XCloseDisplay(dpy);

  std::vector<Gap> gaps;
  uint64_t frames = 0;
  {
    std::lock_guard<std::mutex> lock(counter.m);
    gaps = counter.gaps;
    frames = counter.frames;
  }
  double longest = 0;
  for (const Gap& g : gaps) longest = std::max(longest, g.ms);
  const double heardS = double(frames) / mon.rate;
  if (!tableOnly) {
    std::printf("session %.0f s as %s: %d strums, %d tone changes; %.1f s of the sink's output looked at; "
                "loop sound's quietest stretch %.3f ms, gaps counted from %.2f ms\n",
                (end - start) / 1000.0, user.empty() ? "this user" : user.c_str(), strums, toneChanges, heardS,
                loopQuietMs, gapMs);
    for (const Gap& g : gaps) {
      // How long after the last tone change (they close and reopen the device).
      double since = -1;
      for (double t : toneTimes)
        if (t <= g.atS) since = g.atS - t;
      std::printf("  gap at %.3f s: %.1f ms", g.atS, g.ms);
      if (since >= 0) std::printf(" (%.0f ms after a tone change)", since * 1000.0);
      std::printf("\n");
    }
  }
  std::printf("| Dropouts heard at the sink over a %.0f s session | %zu | runs of >= %.0f ms exact silence while the loop "
              "played, in %d bursts, longest %.1f ms; loop on, 4-note strums every 100 ms, a tone change every 5 s; "
              "target 0 |\n",
              (end - start) / 1000.0, gaps.size(), gapMs, bursts(gaps), longest);
  std::printf("| CPU during that session | %.1f %% of a core | 40 notes/s and the loop |\n", cpu);
  if (mon.overflows)
    std::printf("(the monitor recording overflowed %llu times: part of the output was not looked at)\n",
                (unsigned long long)mon.overflows);
  // Most of the output must have been looked at for the count to mean anything.
  const bool covered = heardS > 0.95 * (end - start) / 1000.0;
  if (!covered) std::fprintf(stderr, "bench_session: only %.1f s of the output reached the monitor\n", heardS);
  if (!survived) std::fprintf(stderr, "bench_session: the program ended while being played\n");
  return survived && covered ? 0 : 1;
}
