// SPDX-License-Identifier: GPL-3.0-or-later
// Whether the display the program is about to open can be reached at all.
//
// Without one, Qt ends the program with an abort and advice to reinstall it,
// which sends a user the wrong way when the only trouble is that no display
// is reachable (a shell over ssh, a service, a session that has ended).  The
// program looks first and says in one line what it tried.
//
// An X server that answers can still cut a connection off: one started
// without -noreset (xvfb-run's, a bare Xorg's) resets each time its last
// client leaves, and drops whoever is connecting meanwhile.  On such a server
// with other clients coming and going, a single refused connection says
// nothing; so a refused connection is tried again while a server listens on
// the display's socket, and the connection that gets through is kept open
// until Qt has its own, so that the server cannot reset in between.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct xcb_connection_t;

namespace display_platform {

// An open X connection, closed by release() or when it goes.
// Threads: the main thread, before and just after the QApplication is made.
class HeldDisplay {
public:
  HeldDisplay() = default;
  explicit HeldDisplay(xcb_connection_t* c) : c_(c) {}
  HeldDisplay(HeldDisplay&& o) noexcept : c_(o.c_) { o.c_ = nullptr; }
  HeldDisplay& operator=(HeldDisplay&& o) noexcept;
  HeldDisplay(const HeldDisplay&) = delete;
  HeldDisplay& operator=(const HeldDisplay&) = delete;
  ~HeldDisplay() { release(); }
  void release();
  bool held() const { return c_ != nullptr; }

private:
  xcb_connection_t* c_ = nullptr;
};

struct Reach {
  // Empty when the window system Qt will be asked for can be reached, or is
  // one this check does not know (offscreen, vnc, eglfs, ...: left to Qt).
  // Otherwise the line to show, without the program's name: which display
  // was tried (DISPLAY, -display, WAYLAND_DISPLAY) and what the program needs.
  std::string unreachable;
  // The X connection that got through, to be released once Qt is connected.
  HeldDisplay held;
};

// platformArg and displayArg are the -platform and -display options (empty
// when not given); the environment is read as it is after apply().
// Threads: the main thread, before the QApplication is made.
Reach TryReach(const std::string& platformArg, const std::string& displayArg);

// How long a refused connection is tried again: for as long as `listened`
// while a server answers on the display's socket (it may be resetting, or
// busy), else only for `quick` after the first try (a display that is not
// there is said so at once).  Pauses start at firstPause and double up to
// maxPause.
struct RetryPlan {
  int64_t quickMs = 100;
  int64_t listenedMs = 2000;
  int64_t firstPauseMs = 5;
  int64_t maxPauseMs = 100;
};

// What one connection needs from its surroundings; a stand-in in the tests.
struct ConnectCalls {
  // Tries once; true when connected.  quiet: a retry, whose complaints (the
  // server's refusal, printed by the library) have been shown already.
  std::function<bool(bool quiet)> attempt;
  // Whether a server listens on the display's socket now (unknown: false).
  std::function<bool()> listening;
  std::function<int64_t()> nowMs;  // a monotonic clock
  std::function<void(int64_t ms)> pause;
};

// Tries until connected (true) or the plan gives up (false).
// Threads: any; it only calls `calls`.
bool ConnectRetrying(const ConnectCalls& calls, const RetryPlan& plan = {});

}  // namespace display_platform
