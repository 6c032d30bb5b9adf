// SPDX-License-Identifier: GPL-3.0-or-later
// Which window-system plugin the program asks Qt for: the user's own choice
// always; otherwise X11 wherever an X display is reachable (so the window can
// be placed at the top-left corner), Wayland only when it is all there is.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "app/display_platform.h"

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
