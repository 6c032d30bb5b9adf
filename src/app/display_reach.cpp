// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/display_reach.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace display_platform {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// Whether something accepts connections on a Unix socket: a path, or an
// abstract name when abstract.
bool Listens(const std::string& path, bool abstract) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t offset = abstract ? 1 : 0;
  if (path.size() + offset + 1 > sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path + offset, path.c_str(), path.size() + 1);
  const socklen_t len = static_cast<socklen_t>(
      abstract ? offsetof(sockaddr_un, sun_path) + 1 + path.size() : sizeof addr);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
  close(fd);
  return ok;
}

// Whether an X server listens on a local display's socket (abstract, as
// Linux servers also offer it, or in /tmp/.X11-unix).  False for a display
// over the network, where this cannot be told without connecting.
bool XServerListens(const std::string& name) {
  const size_t slash = name.rfind('/');
  if (slash != std::string::npos && name.compare(0, slash, "unix") != 0) return false;
  char* host = nullptr;
  int number = 0;
  if (!xcb_parse_display(name.c_str(), &host, &number, nullptr)) return false;
  const bool local = host[0] == '\0' || std::strcmp(host, "unix") == 0;
  std::free(host);
  if (!local) return false;
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
  return Listens(path, true) || Listens(path, false);
}

// Sends this process's stderr to /dev/null while it lives (when asked to).
// Threads: the main thread, while it is the only one.
class QuietStderr {
public:
  explicit QuietStderr(bool quiet) {
    if (!quiet) return;
    std::fflush(stderr);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (saved_ >= 0) dup2(null, STDERR_FILENO);
    close(null);
  }
  ~QuietStderr() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

private:
  int saved_ = -1;
};

// "" when the X display answers, with its connection in *held; else what
// went wrong.
std::string TryX(const std::string& displayArg, HeldDisplay* held) {
  std::string name = displayArg, from = "-display";
  if (name.empty()) {
    name = Env("DISPLAY");
    from = "DISPLAY";
  }
  if (name.empty()) return "DISPLAY is not set";
  xcb_connection_t* c = nullptr;
  ConnectCalls calls;
  calls.attempt = [&](bool quiet) {
    // A server that refuses a client says why, and libxcb prints it; the
    // retries keep quiet, so that it is said once.
    QuietStderr q(quiet);
    c = xcb_connect(name.c_str(), nullptr);
    if (c && !xcb_connection_has_error(c)) return true;
    if (c) xcb_disconnect(c);
    c = nullptr;
    return false;
  };
  calls.listening = [&] { return XServerListens(name); };
  calls.nowMs = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  calls.pause = [](int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  if (ConnectRetrying(calls)) {
    *held = HeldDisplay(c);
    return {};
  }
  return "the X display " + name + " (" + from + ") cannot be reached";
}

// "" when something listens on the Wayland socket, else what went wrong.
// The socket is found as libwayland-client finds it.
std::string TryWayland() {
  if (!Env("WAYLAND_SOCKET").empty()) return {};  // a connection handed over
  std::string name = Env("WAYLAND_DISPLAY"), from = "WAYLAND_DISPLAY";
  if (name.empty()) {
    name = "wayland-0";
    from = "WAYLAND_DISPLAY not set, the default";
  }
  std::string path = name;
  if (name[0] != '/') {
    const std::string runtime = Env("XDG_RUNTIME_DIR");
    if (runtime.empty())
      return "the Wayland display " + name + " (" + from + ") cannot be found: XDG_RUNTIME_DIR is not set";
    path = runtime + "/" + name;
  }
  if (Listens(path, false)) return {};
  return "the Wayland display " + name + " (" + from + ", " + path + ") cannot be reached";
}

}  // namespace

HeldDisplay& HeldDisplay::operator=(HeldDisplay&& o) noexcept {
  if (this != &o) {
    release();
    c_ = o.c_;
    o.c_ = nullptr;
  }
  return *this;
}

void HeldDisplay::release() {
  if (c_) xcb_disconnect(c_);
  c_ = nullptr;
}

bool ConnectRetrying(const ConnectCalls& calls, const RetryPlan& plan) {
  const int64_t start = calls.nowMs();
  int64_t pause = plan.firstPauseMs;
  for (bool retry = false;; retry = true) {
    if (calls.attempt(retry)) return true;
    const int64_t budget = calls.listening() ? plan.listenedMs : plan.quickMs;
    if (calls.nowMs() - start + pause > budget) return false;
    calls.pause(pause);
    pause = std::min(pause * 2, plan.maxPauseMs);
  }
}

Reach TryReach(const std::string& platformArg, const std::string& displayArg) {
  Reach r;
  const std::string chosen = !platformArg.empty() ? platformArg : Env("QT_QPA_PLATFORM");
  const std::string needs = "; Plinkora needs an X11 or Wayland session";
  if (chosen.empty()) {
    // Nothing names a window system: Qt would try X11's default display.
    if (Env("DISPLAY").empty() && Env("WAYLAND_DISPLAY").empty() && displayArg.empty()) {
      r.unreachable = "no display: neither DISPLAY nor WAYLAND_DISPLAY is set" + needs;
      return r;
    }
  }
  // QT_QPA_PLATFORM may list plugins to try in turn ("wayland;xcb"), each
  // possibly with arguments after a colon.
  std::vector<std::string> failures;
  std::string list = chosen.empty() ? "xcb" : chosen;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(';', start), list.size());
    std::string plugin = list.substr(start, end - start);
    plugin = plugin.substr(0, plugin.find(':'));
    start = end + 1;
    if (plugin.empty()) continue;
    std::string why;
    if (plugin == "xcb") why = TryX(displayArg, &r.held);
    else if (plugin.rfind("wayland", 0) == 0) why = TryWayland();
    else return r;  // not a plugin this check knows
    if (why.empty()) return r;
    failures.push_back(why);
  }
  if (failures.empty()) return r;
  std::string line = "no display: " + failures[0];
  for (size_t i = 1; i < failures.size(); ++i) line += ", and " + failures[i];
  r.unreachable = line + needs;
  return r;
}

}  // namespace display_platform
