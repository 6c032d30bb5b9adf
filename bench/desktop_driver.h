// What the desktop benchmarks share to drive the real program from outside:
// starting bin/plinkora (as this user or as an ordinary one), finding its
// windows and sending it keys through XTest, and recording the default
// sink's monitor with the moment each sample was played.
#pragma once

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <grp.h>
#include <pulse/pulseaudio.h>
#include <pwd.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace bench {

namespace fs = std::filesystem;

inline double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, size_t(std::ceil(p * double(v.size())) - 1));
  return v[i];
}

inline double maxOf(const std::vector<double>& v) {
  return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
}

// ---- the program under test ----

// bin/plinkora started with a cache folder (and, for another user, a home and
// runtime folder) of its own.  The sound server and display come from this
// process's PULSE_SERVER and DISPLAY.
struct Program {
  pid_t pid = -1;
  std::string scratch;
  ~Program() { stop(); }

  // `user` empty: run as this process's user.
  bool start(const std::string& path, const std::string& user = "") {
    char tmpl[] = "/tmp/plinkora-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    scratch = tmpl;
    const passwd* pw = user.empty() ? nullptr : getpwnam(user.c_str());
    if (!user.empty() && !pw) {
      std::fprintf(stderr, "bench: no user %s\n", user.c_str());
      return false;
    }
    const std::string home = scratch + "/home", cache = home + "/.cache", runtime = scratch + "/runtime";
    for (const std::string& d : {home, cache, runtime}) {
      mkdir(d.c_str(), 0700);
      if (pw && chown(d.c_str(), pw->pw_uid, pw->pw_gid) != 0) return false;
    }
    if (pw) {
      chmod(scratch.c_str(), 0711);
      chown(scratch.c_str(), 0, 0);
    }
    pid = fork();
    if (pid == 0) {
      if (pw && (initgroups(pw->pw_name, pw->pw_gid) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0))
        _exit(126);
      setenv("HOME", home.c_str(), 1);
      setenv("XDG_CACHE_HOME", cache.c_str(), 1);
      setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
      setenv("QT_QPA_PLATFORM", "xcb", 1);
      // No desktop session here: nothing may autolaunch a session bus.
      setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + scratch + "/no-bus").c_str(), 1);
      if (pw) {
        setenv("USER", pw->pw_name, 1);
        setenv("LOGNAME", pw->pw_name, 1);
      }
      execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid > 0;
  }
  bool alive() { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }
  std::string pidText() const { return std::to_string(pid); }
  void stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      for (int i = 0; i < 300 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) usleep(10000);
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      pid = -1;
    }
    if (!scratch.empty()) {
      std::error_code ec;
      fs::remove_all(scratch, ec);
      scratch.clear();
    }
  }
};

// ---- X ----

// The first viewable top-level window titled `title` (any title when empty),
// or 0.
inline Window findWindow(Display* dpy, const char* title, int* w = nullptr, int* h = nullptr) {
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

// The display, with XTest, errors of windows that come and go ignored.
inline Display* openDisplay(const char* who) {
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    std::fprintf(stderr, "%s: no X display (DISPLAY=%s)\n", who, getenv("DISPLAY") ? getenv("DISPLAY") : "");
    return nullptr;
  }
  int evBase, errBase, major, minor;
  if (!XTestQueryExtension(dpy, &evBase, &errBase, &major, &minor)) {
    std::fprintf(stderr, "%s: the X server has no XTest\n", who);
    XCloseDisplay(dpy);
    return nullptr;
  }
  return dpy;
}

// Focuses `win` with NumLock on (without it the keypad sends arrow keys).
inline void focusForKeypad(Display* dpy, Window win) {
  const unsigned numLock = XkbKeysymToModifiers(dpy, XK_Num_Lock);
  XkbLockModifiers(dpy, XkbUseCoreKbd, numLock, numLock);
  XSetInputFocus(dpy, win, RevertToParent, CurrentTime);
  XSync(dpy, False);
  usleep(200000);
}

inline void keyEvent(Display* dpy, KeySym sym, bool down) {
  XTestFakeKeyEvent(dpy, XKeysymToKeycode(dpy, sym), down ? True : False, CurrentTime);
  XFlush(dpy);
}

inline void tapKey(Display* dpy, KeySym sym, int holdMs = 30) {
  keyEvent(dpy, sym, true);
  usleep(useconds_t(holdMs) * 1000);
  keyEvent(dpy, sym, false);
}

// ---- the monitor recording ----

// Records the default sink's monitor (stereo float).  Each sample's time is
// the moment the sink played it, on this process's steady clock: the time
// of the read, less the record stream's latency as the server reports it at
// that read (sink to us, interpolated between timing updates), less the
// samples read after it.  A sample's time therefore does not depend on how
// much is read at once (the figures are the same with 64- or 2048-frame
// reads), and is comparable with nowMs() taken when a key is sent.
//
// How much it asks to read at once does matter in another way: the null
// sink renders as often as the most impatient reader or player asks, so a
// monitor read in 64-frame pieces makes it pull the program's audio every
// 1.5 ms, which no sound card would, and shortens key-to-sound by about
// 5 ms.  The monitor therefore asks for 2048-frame pieces (46 ms), more
// than any player does, and the program's own stream sets the sink's pace.
// (With a 64-frame reader running beside it, 2048-frame reads give the
// 64-frame figures: the timing itself does not depend on the read size.)
//
// PipeWire's PulseAudio service reports a record stream's latency without
// what waits in a large read, so there a 2048-frame read would time every
// sample some 20 ms early; reads there are 64 frames, which do not lower
// PipeWire's period below what the program asks for.  fragmentFrames 0
// chooses so; a strike whose sound seems to begin before its key is
// counted apart as mistimed (firstSoundAfter).
//
// The last `keepSeconds` are kept for looking back at; `onFrames`, when
// set, sees every frame as it arrives (on the recording thread).
struct Monitor {
  using FramesFn = std::function<void(const float* lr, size_t frames, double firstMs, double frameMs)>;

  pa_threaded_mainloop* loop = nullptr;
  pa_context* ctx = nullptr;
  pa_stream* stream = nullptr;
  uint32_t rate = 44100;
  uint32_t fragmentFrames = 0;   // 0: 2048, or 64 under PipeWire
  std::string serverName;
  double keepSeconds = 30;
  FramesFn onFrames;
  std::mutex m;
  std::vector<float> samples;   // left channel
  std::vector<double> times;    // ms of each sample
  uint64_t overflows = 0;       // the recording lost data on our side
  std::vector<float> scratch;

  static void onContext(pa_context*, void* self) { pa_threaded_mainloop_signal(static_cast<Monitor*>(self)->loop, 0); }
  static void onStream(pa_stream*, void* self) { pa_threaded_mainloop_signal(static_cast<Monitor*>(self)->loop, 0); }
  static void onOverflow(pa_stream*, void* self) {
    auto* me = static_cast<Monitor*>(self);
    std::lock_guard<std::mutex> lock(me->m);
    ++me->overflows;
  }
  static void onRead(pa_stream* s, size_t, void* self) {
    auto* me = static_cast<Monitor*>(self);
    const double readAt = nowMs();
    pa_usec_t lat = 0;
    int neg = 0;
    if (pa_stream_get_latency(s, &lat, &neg) < 0) lat = 0;
    const double latMs = neg ? -double(lat) / 1000.0 : double(lat) / 1000.0;
    me->scratch.clear();
    for (;;) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
      const size_t frames = bytes / (2 * sizeof(float));
      const float* f = static_cast<const float*>(data);
      if (data) me->scratch.insert(me->scratch.end(), f, f + frames * 2);
      else me->scratch.insert(me->scratch.end(), frames * 2, 0.0f);   // a hole: silence
      pa_stream_drop(s);
    }
    const size_t n = me->scratch.size() / 2;
    if (n == 0) return;
    // The newest sample of this read was played latMs ago.
    const double frameMs = 1000.0 / me->rate;
    const double firstMs = readAt - latMs - double(n - 1) * frameMs;
    if (me->onFrames) me->onFrames(me->scratch.data(), n, firstMs, frameMs);
    std::lock_guard<std::mutex> lock(me->m);
    for (size_t i = 0; i < n; ++i) {
      me->samples.push_back(me->scratch[2 * i]);
      me->times.push_back(firstMs + double(i) * frameMs);
    }
    const size_t keep = size_t(me->keepSeconds * me->rate);
    if (me->samples.size() > 2 * keep) {
      const size_t cut = me->samples.size() - keep;
      me->samples.erase(me->samples.begin(), me->samples.begin() + long(cut));
      me->times.erase(me->times.begin(), me->times.begin() + long(cut));
    }
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
    pa_operation* op = pa_context_get_server_info(
        ctx,
        [](pa_context*, const pa_server_info* info, void* self) {
          auto* me = static_cast<Monitor*>(self);
          if (info && info->server_name) me->serverName = info->server_name;
          pa_threaded_mainloop_signal(me->loop, 0);
        },
        this);
    while (op && pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
    if (op) pa_operation_unref(op);
    if (fragmentFrames == 0) fragmentFrames = serverName.find("PipeWire") != std::string::npos ? 64 : 2048;
    pa_sample_spec ss{PA_SAMPLE_FLOAT32NE, rate, 2};
    stream = pa_stream_new(ctx, "bench monitor", &ss, nullptr);
    pa_stream_set_state_callback(stream, &Monitor::onStream, this);
    pa_stream_set_read_callback(stream, &Monitor::onRead, this);
    pa_stream_set_overflow_callback(stream, &Monitor::onOverflow, this);
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
    // The monitor of an idle null sink delivers nothing for a while: wait for data.
    for (int i = 0; i < 500 && lastMs() < 0; ++i) usleep(10000);
    return true;
  }

  // Time of the newest sample, or -1.
  double lastMs() {
    std::lock_guard<std::mutex> lock(m);
    return times.empty() ? -1.0 : times.back();
  }
  // Time of the oldest sample kept, or -1.
  double firstMs() {
    std::lock_guard<std::mutex> lock(m);
    return times.empty() ? -1.0 : times.front();
  }
  // Waits until samples up to `ms` have arrived (or `timeoutMs` passes).
  bool waitUntilCovered(double ms, double timeoutMs) {
    const double t0 = nowMs();
    while (lastMs() < ms) {
      if (nowMs() - t0 > timeoutMs) return false;
      usleep(2000);
    }
    return true;
  }
  // Loudest |sample| played in [fromMs, untilMs).
  float peak(double fromMs, double untilMs) {
    std::lock_guard<std::mutex> lock(m);
    float p = 0.0f;
    for (size_t i = size_t(std::lower_bound(times.begin(), times.end(), fromMs) - times.begin());
         i < times.size() && times[i] < untilMs; ++i)
      p = std::max(p, std::fabs(samples[i]));
    return p;
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

// -60 dBFS.
constexpr float kSilenceLevel = 0.001f;

// Waits until the monitor has played `quietMs` in a row below -60 dBFS;
// false when that has not happened within `timeoutMs`.
inline bool waitForSilence(Monitor& mon, double quietMs, double timeoutMs) {
  const double t0 = nowMs();
  for (;;) {
    const double last = mon.lastMs();
    if (last > 0 && mon.firstMs() <= last - quietMs && mon.peak(last - quietMs, last + 1) < kSilenceLevel) return true;
    if (nowMs() - t0 > timeoutMs) return false;
    usleep(10000);
  }
}

// The note's first sound after `fromMs`: the first sample above -60 dBFS
// from which the next millisecond as a whole (its RMS) is above -60 dBFS
// too, so that a tone whose attack takes a while to grow loud is timed from
// when it begins to be heard, not from when it is loud.  Its time, or NaN
// when nothing is heard before `untilMs`.
// *mistimed is set when the sound is already there at `fromMs` (the
// millisecond before it is above -60 dBFS): the clock of the recording
// cannot be trusted for that strike.
inline double firstSoundAfter(Monitor& mon, double fromMs, double untilMs, bool* mistimed = nullptr) {
  std::lock_guard<std::mutex> lock(mon.m);
  const size_t n = mon.samples.size();
  const size_t ms = std::max<size_t>(1, mon.rate / 1000);
  const size_t first = size_t(std::lower_bound(mon.times.begin(), mon.times.end(), fromMs) - mon.times.begin());
  if (mistimed) {
    float before = 0.0f;
    for (size_t k = first > ms ? first - ms : 0; k < first && k < n; ++k) before = std::max(before, std::fabs(mon.samples[k]));
    *mistimed = before > kSilenceLevel;
  }
  for (size_t i = first; i + ms <= n && mon.times[i] <= untilMs; ++i) {
    if (std::fabs(mon.samples[i]) <= kSilenceLevel) continue;
    double sum = 0.0;
    for (size_t k = i; k < i + ms; ++k) sum += double(mon.samples[k]) * mon.samples[k];
    if (std::sqrt(sum / double(ms)) > kSilenceLevel) return mon.times[i];
  }
  return NAN;
}

inline double wavSeconds(const std::string& path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return 0.0;
  sf_close(f);
  return info.samplerate > 0 ? double(info.frames) / info.samplerate : 0.0;
}

// The longest stretch of a sound file, played in a loop, in which every
// channel is below one step of 16 bits (so exactly zero once mixed and
// converted), in ms; -1 when the file cannot be read.
inline double longestNearSilenceMs(const std::string& path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f || info.frames <= 0 || info.channels <= 0) {
    if (f) sf_close(f);
    return -1.0;
  }
  std::vector<float> all(size_t(info.frames) * size_t(info.channels));
  const sf_count_t got = sf_readf_float(f, all.data(), info.frames);
  sf_close(f);
  std::vector<bool> quiet(static_cast<size_t>(got));
  for (sf_count_t i = 0; i < got; ++i) {
    bool q = true;
    for (int c = 0; c < info.channels; ++c) q = q && std::fabs(all[size_t(i) * info.channels + c]) < 1.0f / 32768.0f;
    quiet[size_t(i)] = q;
  }
  // Twice round, for a stretch that runs from the end into the start.
  size_t best = 0, run = 0;
  for (size_t k = 0; k < 2 * quiet.size(); ++k) {
    run = quiet[k % quiet.size()] ? run + 1 : 0;
    best = std::max(best, std::min(run, quiet.size()));
  }
  return double(best) * 1000.0 / info.samplerate;
}

}  // namespace bench
