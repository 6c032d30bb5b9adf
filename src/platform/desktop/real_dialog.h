// SPDX-License-Identifier: GPL-3.0-or-later
// The Save dialog behind the real backend's GetSaveFileNameA.
#pragma once

#include "platform/winapi.h"

namespace platform {

// Shows Qt's file dialog in save mode for the request and, when the player
// chooses a name, writes it NUL-terminated into lpstrFile (and its file name
// into lpstrFileTitle) and returns 1.  Returns 0 when the dialog is cancelled
// or the path does not fit nMaxFile - 1 bytes; the request is then unchanged.
// With OFN_PATHMUSTEXIST a name in a folder that does not exist is refused in
// the dialog, which says so in a warning over itself and stays open.
BOOL RunSaveFileDialog(OPENFILENAME* ofn);

}  // namespace platform
