// SPDX-License-Identifier: GPL-3.0-or-later
// Which window-system plugin the program asks Qt for: the user's own choice
// always; otherwise X11 wherever an X display is reachable (so the window can
// be placed at the top-left corner), Wayland only when it is all there is.
// And how long a refused X connection is tried again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/display_platform.h"
#include "app/display_reach.h"

using display_platform::choose;

namespace {

// Sets or unsets environment variables for one test and puts them back.
class Env {
public:
  void set(const char* name, const char* value) {
    remember(name);
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~Env() {
    for (auto& [name, value] : saved_)
      if (value) setenv(name.c_str(), value->c_str(), 1);
      else unsetenv(name.c_str());
  }

private:
  void remember(const char* name) {
    for (auto& s : saved_)
      if (s.first == name) return;
    const char* v = std::getenv(name);
    saved_.push_back({name, v ? std::optional<std::string>(v) : std::nullopt});
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

std::string Qpa() {
  const char* v = std::getenv("QT_QPA_PLATFORM");
  return v ? v : "(unset)";
}

}  // namespace

TEST(DisplayPlatform, TheChoice) {
  // The user's plugin is kept, whatever else is there.
  EXPECT_EQ(choose("offscreen", ":0", "wayland-0"), "offscreen");
  EXPECT_EQ(choose("wayland", ":0", "wayland-0"), "wayland");
  EXPECT_EQ(choose("xcb", nullptr, "wayland-0"), "xcb");
  // A Wayland session with XWayland: X11.
  EXPECT_EQ(choose(nullptr, ":1", "wayland-0"), "xcb");
  EXPECT_EQ(choose(nullptr, ":0", nullptr), "xcb");
  // Wayland alone.
  EXPECT_EQ(choose(nullptr, nullptr, "wayland-1"), "wayland");
  // Set but empty counts as unset.
  EXPECT_EQ(choose("", "", "wayland-0"), "wayland");
  EXPECT_EQ(choose("", ":0", ""), "xcb");
  // Nothing known: Qt's own choice.
  EXPECT_EQ(choose(nullptr, nullptr, nullptr), "");
  EXPECT_EQ(choose("", "", ""), "");
}

TEST(DisplayPlatform, ApplySetsTheEnvironmentOnlyWhenTheUserHasNot) {
  {
    Env env;
    env.set("QT_QPA_PLATFORM", "offscreen");
    env.set("DISPLAY", ":5");
    env.set("WAYLAND_DISPLAY", "wayland-5");
    display_platform::apply();
    EXPECT_EQ(Qpa(), "offscreen");
  }
  {
    Env env;
    env.set("QT_QPA_PLATFORM", nullptr);
    env.set("DISPLAY", ":5");
    env.set("WAYLAND_DISPLAY", "wayland-5");
    display_platform::apply();
    EXPECT_EQ(Qpa(), "xcb");
  }
  {
    Env env;
    env.set("QT_QPA_PLATFORM", "");
    env.set("DISPLAY", nullptr);
    env.set("WAYLAND_DISPLAY", "wayland-5");
    display_platform::apply();
    EXPECT_EQ(Qpa(), "wayland");
  }
  {
    Env env;
    env.set("QT_QPA_PLATFORM", nullptr);
    env.set("DISPLAY", nullptr);
    env.set("WAYLAND_DISPLAY", nullptr);
    display_platform::apply();
    EXPECT_EQ(Qpa(), "(unset)");
  }
}

namespace {

// A server as the connection sees it, on a clock that moves only when the
// connection pauses (and by `cost` for each try).
struct FakeServer {
  int refusals = 0;           // tries refused before one gets through (-1: all)
  bool listening = true;      // whether a server answers on the socket
  int64_t stopsListeningAt = -1;  // the server goes away then (ms), or never
  int64_t cost = 1;           // ms each try takes
  int64_t now = 0;
  std::vector<bool> quiet;    // one per try
  std::vector<int64_t> pauses;

  display_platform::ConnectCalls calls() {
    display_platform::ConnectCalls c;
    c.attempt = [this](bool q) {
      quiet.push_back(q);
      now += cost;
      return refusals >= 0 && static_cast<int>(quiet.size()) > refusals;
    };
    c.listening = [this] { return listening && (stopsListeningAt < 0 || now < stopsListeningAt); };
    c.nowMs = [this] { return now; };
    c.pause = [this](int64_t ms) {
      pauses.push_back(ms);
      now += ms;
    };
    return c;
  }
};

}  // namespace

TEST(DisplayReach, AnsweringServerIsTakenAtOnce) {
  FakeServer s;
  EXPECT_TRUE(display_platform::ConnectRetrying(s.calls()));
  EXPECT_EQ(s.quiet, std::vector<bool>({false}));
  EXPECT_TRUE(s.pauses.empty());
}

TEST(DisplayReach, ConnectionsCutOffByAResettingServerAreTriedAgain) {
  // A server cuts off whoever connects while it resets; it listens all along.
  FakeServer s;
  s.refusals = 3;
  s.cost = 40;  // a reset on a loaded machine
  EXPECT_TRUE(display_platform::ConnectRetrying(s.calls()));
  // The first try speaks (a server's own refusal is shown), the retries not.
  EXPECT_EQ(s.quiet, std::vector<bool>({false, true, true, true}));
  EXPECT_EQ(s.pauses, std::vector<int64_t>({5, 10, 20}));
}

TEST(DisplayReach, ListeningServerThatKeepsRefusingIsGivenUpWithinItsTime) {
  FakeServer s;
  s.refusals = -1;
  EXPECT_FALSE(display_platform::ConnectRetrying(s.calls()));
  const display_platform::RetryPlan plan;
  EXPECT_LE(s.now, plan.listenedMs + 1);
  EXPECT_GT(s.now, plan.listenedMs - plan.maxPauseMs - 2);
  // Pauses double up to their ceiling, no further.
  ASSERT_GE(s.pauses.size(), 6u);
  EXPECT_EQ(std::vector<int64_t>(s.pauses.begin(), s.pauses.begin() + 6),
            std::vector<int64_t>({5, 10, 20, 40, 80, 100}));
  EXPECT_EQ(*std::max_element(s.pauses.begin(), s.pauses.end()), plan.maxPauseMs);
}

TEST(DisplayReach, DisplayNobodyServesIsGivenUpQuickly) {
  // No socket, or one left by a server that is gone: nothing listens.
  FakeServer s;
  s.refusals = -1;
  s.listening = false;
  EXPECT_FALSE(display_platform::ConnectRetrying(s.calls()));
  EXPECT_LE(s.now, display_platform::RetryPlan{}.quickMs);
  EXPECT_GE(s.quiet.size(), 2u);  // a gap while a server renews its socket is covered

  // A server that goes away during the retries is given up as soon as that
  // is seen, not after the whole time a listening one gets.
  FakeServer gone;
  gone.refusals = -1;
  gone.stopsListeningAt = 300;
  EXPECT_FALSE(display_platform::ConnectRetrying(gone.calls()));
  EXPECT_LT(gone.now, 300 + display_platform::RetryPlan{}.maxPauseMs + 2);
}
