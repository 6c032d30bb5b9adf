// SPDX-License-Identifier: GPL-3.0-or-later
// How the program hears held keys on an X server.
#pragma once

namespace platform {

// Asks the X server to repeat a held key as further presses only, without
// the release that X otherwise sends before every repeat (XKB's detectable
// autorepeat, set for the program's own connection).  Without it a repeat's
// release and press are told apart from a real release only when both are
// already queued when the release is read; a moment's delay on a busy machine
// or a screen capture that grabs the server splits them, and the program
// would see the key let go.  Returns true when the server took the setting;
// false on a server without XKB, or when the program does not run on X.
bool UseDetectableAutoRepeat();

}  // namespace platform
