// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/display_reach.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace display_platform {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// "" when the X display answers, else what went wrong.
std::string TryX(const std::string& displayArg) {
  std::string name = displayArg, from = "-display";
  if (name.empty()) {
    name = Env("DISPLAY");
    from = "DISPLAY";
  }
  if (name.empty()) return "DISPLAY is not set";
  xcb_connection_t* c = xcb_connect(name.c_str(), nullptr);
  const bool ok = c && !xcb_connection_has_error(c);
  if (c) xcb_disconnect(c);
  if (ok) return {};
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
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  bool ok = false;
  if (path.size() < sizeof addr.sun_path) {
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
      ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
      close(fd);
    }
  }
  if (ok) return {};
  return "the Wayland display " + name + " (" + from + ", " + path + ") cannot be reached";
}

}  // namespace

std::string Unreachable(const std::string& platformArg, const std::string& displayArg) {
  const std::string chosen = !platformArg.empty() ? platformArg : Env("QT_QPA_PLATFORM");
  const std::string needs = "; Plinkora needs an X11 or Wayland session";
  if (chosen.empty()) {
    // Nothing names a window system: Qt would try X11's default display.
    if (Env("DISPLAY").empty() && Env("WAYLAND_DISPLAY").empty() && displayArg.empty())
      return "no display: neither DISPLAY nor WAYLAND_DISPLAY is set" + needs;
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
    if (plugin == "xcb") why = TryX(displayArg);
    else if (plugin.rfind("wayland", 0) == 0) why = TryWayland();
    else return {};  // not a plugin this check knows
    if (why.empty()) return {};
    failures.push_back(why);
  }
  if (failures.empty()) return {};
  std::string line = "no display: " + failures[0];
  for (size_t i = 1; i < failures.size(); ++i) line += ", and " + failures[i];
  return line + needs;
}

}  // namespace display_platform
