// SPDX-License-Identifier: GPL-3.0-or-later
// A private scratch folder for one fuzzing process, removed at exit.
#pragma once

#include <string>

namespace fuzzing {

// Made on first use (mode 0700, under $TMPDIR or /tmp); ends in '/'.
const std::string& ScratchFolder();

// Deletes every file in the scratch folder, keeping the folder.
void EmptyScratchFolder();

}  // namespace fuzzing
