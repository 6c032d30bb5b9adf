// SPDX-License-Identifier: GPL-3.0-or-later
// Whether the display the program is about to open can be reached at all.
//
// Without one, Qt ends the program with an abort and advice to reinstall it,
// which sends a user the wrong way when the only trouble is that no display
// is reachable (a shell over ssh, a service, a session that has ended).  The
// program looks first and says in one line what it tried.
#pragma once

#include <string>

namespace display_platform {

// Empty when the window system Qt will be asked for can be reached, or is
// one this check does not know (offscreen, vnc, eglfs, ...: left to Qt).
// Otherwise the line to show, without the program's name: which display was
// tried (DISPLAY, -display, WAYLAND_DISPLAY) and what the program needs.
// platformArg and displayArg are the -platform and -display options (empty
// when not given); the environment is read as it is after apply().
std::string Unreachable(const std::string& platformArg, const std::string& displayArg);

}  // namespace display_platform
