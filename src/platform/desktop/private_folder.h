// SPDX-License-Identifier: GPL-3.0-or-later
// The private working folder: where the program keeps its lock file, the
// scratch files of takes and the temporary recording.  Only this user may
// enter it, and it is never reached through a symbolic link.
#pragma once

#include <string>

namespace platform {

// Returned when no private folder can be had.  Nothing can be created below
// it (its last part is a device, not a folder), for any user, so the
// recorder fails with its own message and no file lands anywhere else.
inline constexpr const char* kNoWorkingFolder = "/dev/null/";

// Makes path a folder only this user can enter: created with mode 0700, or
// an existing real folder of this user, tightened to 0700.  False when path
// is a symbolic link, not a folder, belongs to another user or cannot be
// created or tightened.  Folders above it are created as usual.
bool MakePrivateFolder(std::string path);

// cacheBase/plinkora, else tempBase/plinkora-<uid>, the first that can be
// made private, ending in '/'; kNoWorkingFolder when neither can.
std::string PrivateWorkingFolder(const std::string& cacheBase, const std::string& tempBase);

}  // namespace platform
