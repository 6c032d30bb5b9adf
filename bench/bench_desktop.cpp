// Figures for the real program on a desktop, measured from outside it:
// start-up to the main window, resident memory, CPU use while idle, and
// key-to-sound at the sound server.
//
// It starts bin/plinkora (beside this program) with a private cache folder,
// watches the X server for its windows, reads /proc for memory and CPU, and
// for the latency strikes keypad keys through XTest while recording the
// default sink's monitor: each strike's time is taken just before the key
// event is sent, each sound's time from the monitor stream's own latency
// report.  Needs DISPLAY and a PulseAudio server (scripts/bench.sh starts
// both on a machine without them).
//
//   bench_desktop [--strikes N] [--spacing MS] [--idle SECS] [--program PATH]
//                 [--fragment FRAMES]   monitor read size (the result should not depend on it)
//                 [--table]             print only the table rows
#include "proc_stats.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double nowMs() { return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count(); }

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
  return v[i];
}

// ---- the program under test ----

struct Program {
  pid_t pid = -1;
  std::string cache;
  ~Program() { stop(); }
  bool start(const std::string& path) {
    char tmpl[] = "/tmp/plinkora-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    cache = tmpl;
    pid = fork();
    if (pid == 0) {
      setenv("XDG_CACHE_HOME", cache.c_str(), 1);
      setenv("QT_QPA_PLATFORM", "xcb", 1);
      execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid > 0;
  }
  bool alive() { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }
  void stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      for (int i = 0; i < 300 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) usleep(10000);
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      pid = -1;
    }
    if (!cache.empty()) {
      std::error_code ec;
      fs::remove_all(cache, ec);
      cache.clear();
    }
  }
};

// ---- X ----

// The first viewable top-level window titled `title` (any title when empty),
// or 0.
Window findWindow(Display* dpy, const char* title, int* w = nullptr, int* h = nullptr) {
  Window root = DefaultRootWindow(dpy), parent = 0, *children = nullptr;
  unsigned n = 0;
  Window found = 0;
  if (!XQueryTree(dpy, root, &root, &parent, &children, &n)) return 0;
  for (unsigned i = 0; i < n && !found; ++i) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(dpy, children[i], &a) || a.map_state != IsViewable) continue;
    if (a.override_redirect && title && *title) continue;
    char* name = nullptr;
    const bool named = XFetchName(dpy, children[i], &name) && name;
    const bool match = !title || !*title || (named && std::strcmp(name, title) == 0);
    if (name) XFree(name);
    if (match && a.width > 1 && a.height > 1) {
      found = children[i];
      if (w) *w = a.width;
      if (h) *h = a.height;
    }
  }
  if (children) XFree(children);
  return found;
}

// ---- the monitor recording ----

// Records the default sink's monitor.  Each sample's wall-clock time is the
// moment the sink played it: the time it was read, less the stream's
// reported latency and the samples read after it.
struct Monitor {
  pa_threaded_mainloop* loop = nullptr;
  pa_context* ctx = nullptr;
  pa_stream* stream = nullptr;
  uint32_t rate = 44100;
  uint32_t fragmentFrames = 64;
  std::mutex m;
  std::vector<float> samples;     // mono (left channel)
  std::vector<double> times;      // wall ms of each sample
  bool ready = false;

  static void onContext(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<Monitor*>(self)->loop, 0);
  }
  static void onStream(pa_stream*, void* self) {
    pa_threaded_mainloop_signal(static_cast<Monitor*>(self)->loop, 0);
  }
  static void onRead(pa_stream* s, size_t, void* self) {
    auto* me = static_cast<Monitor*>(self);
    const double readAt = nowMs();
    pa_usec_t lat = 0;
    int neg = 0;
    if (pa_stream_get_latency(s, &lat, &neg) < 0) lat = 0;
    const double latMs = neg ? -double(lat) / 1000.0 : double(lat) / 1000.0;
    for (;;) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
      const size_t frames = bytes / (2 * sizeof(float));
      std::lock_guard<std::mutex> lock(me->m);
      for (size_t i = 0; i < frames; ++i) {
        const float v = data ? static_cast<const float*>(data)[i * 2] : 0.0f;
        me->samples.push_back(v);
        // Provisional: corrected below once the whole read is known.
        me->times.push_back(0.0);
      }
      pa_stream_drop(s);
    }
    std::lock_guard<std::mutex> lock(me->m);
    // Everything read in this call: the newest sample was played latMs ago.
    size_t k = me->times.size();
    for (size_t back = 0; k > 0 && me->times[k - 1] == 0.0; ++back, --k)
      me->times[k - 1] = readAt - latMs - double(back) * 1000.0 / me->rate;
  }

  bool start(std::string* why) {
    loop = pa_threaded_mainloop_new();
    ctx = pa_context_new(pa_threaded_mainloop_get_api(loop), "plinkora-bench");
    pa_context_set_state_callback(ctx, &Monitor::onContext, this);
    if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0) {
      *why = "no sound server";
      return false;
    }
    pa_threaded_mainloop_start(loop);
    pa_threaded_mainloop_lock(loop);
    while (pa_context_get_state(ctx) != PA_CONTEXT_READY) {
      if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx))) {
        pa_threaded_mainloop_unlock(loop);
        *why = "no sound server";
        return false;
      }
      pa_threaded_mainloop_wait(loop);
    }
    pa_sample_spec ss{PA_SAMPLE_FLOAT32NE, rate, 2};
    stream = pa_stream_new(ctx, "bench monitor", &ss, nullptr);
    pa_stream_set_state_callback(stream, &Monitor::onStream, this);
    pa_stream_set_read_callback(stream, &Monitor::onRead, this);
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.fragsize = fragmentFrames * 2 * sizeof(float);
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                         PA_STREAM_INTERPOLATE_TIMING);
    pa_stream_connect_record(stream, "@DEFAULT_MONITOR@", &attr, flags);
    while (pa_stream_get_state(stream) != PA_STREAM_READY) {
      if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        pa_threaded_mainloop_unlock(loop);
        *why = "no monitor stream";
        return false;
      }
      pa_threaded_mainloop_wait(loop);
    }
    pa_threaded_mainloop_unlock(loop);
    return true;
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(m);
    return samples.size();
  }
  ~Monitor() {
    if (loop) pa_threaded_mainloop_stop(loop);
    if (stream) {
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
    }
    if (ctx) {
      pa_context_disconnect(ctx);
      pa_context_unref(ctx);
    }
    if (loop) pa_threaded_mainloop_free(loop);
  }
};

// The first sample at or after `fromMs` that starts a new sound: louder than
// 0.02 and than eight times the loudest sample of the 50 ms before the
// strike.  Its wall time, or NaN.
double onsetAfter(Monitor& mon, double fromMs, double untilMs) {
  std::lock_guard<std::mutex> lock(mon.m);
  const size_t n = mon.samples.size();
  size_t start = std::lower_bound(mon.times.begin(), mon.times.end(), fromMs) - mon.times.begin();
  float before = 0.0f;
  const size_t window = size_t(0.05 * mon.rate);
  for (size_t i = start > window ? start - window : 0; i < start && i < n; ++i)
    before = std::max(before, std::fabs(mon.samples[i]));
  const float threshold = std::max(0.02f, 8.0f * before);
  for (size_t i = start; i < n && mon.times[i] <= untilMs; ++i)
    if (std::fabs(mon.samples[i]) > threshold) return mon.times[i];
  return NAN;
}

double wavSeconds(const std::string& path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return 0.0;
  sf_close(f);
  return info.samplerate > 0 ? double(info.frames) / info.samplerate : 0.0;
}

}  // namespace

int main(int argc, char** argv) {
  int strikes = 30;
  double spacingMs = 900;
  double idleSeconds = 10;
  bool tableOnly = false;
  uint32_t fragment = 64;   // frames per read of the monitor
  std::string program = (fs::canonical("/proc/self/exe").parent_path() / "plinkora").string();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--strikes" && i + 1 < argc) strikes = std::atoi(argv[++i]);
    else if (a == "--spacing" && i + 1 < argc) spacingMs = std::atof(argv[++i]);
    else if (a == "--idle" && i + 1 < argc) idleSeconds = std::atof(argv[++i]);
    else if (a == "--program" && i + 1 < argc) program = argv[++i];
    else if (a == "--table") tableOnly = true;
    else if (a == "--fragment" && i + 1 < argc) fragment = uint32_t(std::atoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: %s [--strikes N] [--spacing MS] [--idle SECS] [--program PATH] [--fragment FRAMES] [--table]\n", argv[0]);
      return 2;
    }
  }
  // Windows come and go while we look (the splash): their errors are expected.
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    std::fprintf(stderr, "bench_desktop: no X display (DISPLAY=%s)\n", getenv("DISPLAY") ? getenv("DISPLAY") : "");
    return 1;
  }
  int evBase, errBase, major, minor;
  if (!XTestQueryExtension(dpy, &evBase, &errBase, &major, &minor)) {
    std::fprintf(stderr, "bench_desktop: the X server has no XTest\n");
    return 1;
  }
  Monitor mon;
  mon.fragmentFrames = std::max<uint32_t>(16, fragment);
  std::string why;
  if (!mon.start(&why)) {
    std::fprintf(stderr, "bench_desktop: %s\n", why.c_str());
    return 1;
  }
  // The monitor of an idle null sink delivers nothing for a while: wait for data.
  for (int i = 0; i < 500 && mon.size() < mon.rate / 10; ++i) usleep(10000);

  const std::string startWav = (fs::path(program).parent_path() / "../share/plinkora/start.wav").string();
  const double startSound = wavSeconds(startWav) * 1000.0;

  Program p;
  const double t0 = nowMs();
  if (!p.start(program)) {
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
  const long rss = proc::statusKb("VmRSS:", std::to_string(p.pid));
  const double cpu0 = proc::cpuSeconds(std::to_string(p.pid));
  usleep(useconds_t(idleSeconds * 1e6));
  const double idleCpu = (proc::cpuSeconds(std::to_string(p.pid)) - cpu0) / idleSeconds * 100.0;

  // Key-to-sound: keypad 4 and 6 in turn on the Nylon tone, the window focused and NumLock
  // on (without it the keypad sends arrow keys).
  const unsigned numLock = XkbKeysymToModifiers(dpy, XK_Num_Lock);
  XkbLockModifiers(dpy, XkbUseCoreKbd, numLock, numLock);
  XSetInputFocus(dpy, main, RevertToParent, CurrentTime);
  XSync(dpy, False);
  usleep(200000);
  // Each tone in turn: the first (OPL.3, a drum with an instant attack),
  // then, after Down, Nylon (a plucked string whose attack takes a few ms to
  // reach the onset threshold).
  const KeyCode keys[2] = {XKeysymToKeycode(dpy, XK_KP_4), XKeysymToKeycode(dpy, XK_KP_6)};
  struct Series {
    const char* tone;
    std::vector<double> latencies;
    int missed = 0;
  } series[2] = {{"OPL.3"}, {"Nylon"}};
  for (Series& run : series) {
    if (&run != &series[0]) {
      const KeyCode down = XKeysymToKeycode(dpy, XK_Down);
      XTestFakeKeyEvent(dpy, down, True, CurrentTime);
      XTestFakeKeyEvent(dpy, down, False, CurrentTime);
      XSync(dpy, False);
      usleep(useconds_t(spacingMs * 1000));
    }
    for (int s = 0; s < strikes / 2; ++s) {
      const KeyCode k = keys[s % 2];
      const double pressed = nowMs();
      XTestFakeKeyEvent(dpy, k, True, CurrentTime);
      XFlush(dpy);
      usleep(60000);
      XTestFakeKeyEvent(dpy, k, False, CurrentTime);
      XFlush(dpy);
      usleep(useconds_t((spacingMs - 60) * 1000));
      const double onset = onsetAfter(mon, pressed, pressed + spacingMs);
      if (std::isnan(onset)) ++run.missed;
      else run.latencies.push_back(onset - pressed);
    }
  }
  p.stop();
  XCloseDisplay(dpy);

  if (!tableOnly)
    std::printf("main window %dx%d; splash after %.0f ms; start sound %.0f ms\n", mw, mh, tSplash, startSound);
  std::printf("| Start-up to main window, start sound excluded | %.0f ms | (%.0f ms in all) |\n",
              tMain - startSound, tMain);
  std::printf("| Resident memory, idle main window | %.0f MB | |\n", double(rss) / 1024.0);
  std::printf("| CPU while idle (%.0f s) | %.2f %% of a core | target < 2 %% |\n", idleSeconds, idleCpu);
  bool heard = true;
  for (Series& run : series) {
    const auto& v = run.latencies;
    const double mx = v.empty() ? NAN : *std::max_element(v.begin(), v.end());
    std::printf("| Key to sound at the sound server, %s (%zu strikes) | median %.1f ms | p90 %.1f, max %.1f ms; %d not heard |\n",
                run.tone, v.size(), percentile(v, 0.5), percentile(v, 0.9), mx, run.missed);
    heard = heard && !v.empty();
  }
  return heard ? 0 : 1;
}
