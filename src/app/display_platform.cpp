// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/display_platform.h"

#include <cstdlib>

namespace display_platform {

namespace {
bool set(const char* v) { return v != nullptr && *v != '\0'; }
}  // namespace

std::string choose(const char* qpaPlatform, const char* display, const char* waylandDisplay) {
  if (set(qpaPlatform)) return qpaPlatform;
  if (set(display)) return "xcb";
  if (set(waylandDisplay)) return "wayland";
  return {};
}

void apply() {
  const char* qpa = std::getenv("QT_QPA_PLATFORM");
  if (set(qpa)) return;
  const std::string chosen = choose(qpa, std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"));
  if (!chosen.empty()) setenv("QT_QPA_PLATFORM", chosen.c_str(), 1);
}

}  // namespace display_platform
