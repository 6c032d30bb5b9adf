// SPDX-License-Identifier: GPL-3.0-or-later
// modCmOpen: the Save dialog the recorder asks for a file name with.
#pragma once

#include <string>

#include "platform/winapi.h"

namespace modCmOpen {

// Shows the Save dialog owned by the window Owner, with the file types of
// Filter (description and pattern texts, each followed by one NUL; the first
// pair is selected) and opening on the folder InitialDir.  Returns the chosen
// path, or "" when the player cancelled or the dialog failed.
std::string Show_SaveDialog(HWND Owner, const std::string& Filter, const std::string& InitialDir);

}  // namespace modCmOpen
