// SPDX-License-Identifier: GPL-3.0-or-later
// Which of Qt's window-system plugins the program runs on.
//
// The main window belongs at the screen's top-left corner.  Under X11 (and
// XWayland) the program places it there; a native Wayland client cannot place
// its windows at all, the compositor does.  So where an X display is reachable
// the program uses it, even inside a Wayland session; Qt's Wayland plugin is
// used only when Wayland is all there is.  A plugin the user names in
// QT_QPA_PLATFORM is always kept.
#pragma once

#include <string>

namespace display_platform {

// The plugin to ask Qt for, given the environment's QT_QPA_PLATFORM, DISPLAY
// and WAYLAND_DISPLAY (null when unset); empty to leave Qt's own choice.
std::string choose(const char* qpaPlatform, const char* display, const char* waylandDisplay);

// Sets QT_QPA_PLATFORM from choose() on the process environment.  Call before
// the QApplication is created.
void apply();

}  // namespace display_platform
