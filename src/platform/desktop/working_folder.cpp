// SPDX-License-Identifier: GPL-3.0-or-later
// The recorder's working folder, private to the user.
#include <QDir>
#include <QStandardPaths>
#include <cstdio>
#include <cstring>

#include "platform/desktop/private_folder.h"
#include "platform/real_backend.h"

namespace platform {

// The working folder: $XDG_CACHE_HOME/plinkora (normally ~/.cache/plinkora),
// or, when that cannot be made private, a per-user folder under the temp dir.
// Found once for the backend's life.
uint32_t RealBackend::GetWindowsDirectoryA(char* lpBuffer, uint32_t uSize) {
  if (workingFolder_.empty()) {
    const std::string cache =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation).toStdString();
    const std::string temp = QDir::tempPath().toStdString();
    workingFolder_ = PrivateWorkingFolder(cache, temp);
    if (workingFolder_ == kNoWorkingFolder)
      std::fprintf(stderr,
                   "plinkora: no private working folder could be made in %s or %s; "
                   "recording is not possible\n",
                   cache.c_str(), temp.c_str());
  }
  const std::string& folder = workingFolder_;
  const auto needed = static_cast<uint32_t>(folder.size() + 1);
  if (!lpBuffer || uSize < needed) {
    if (lpBuffer && uSize) lpBuffer[0] = '\0';
    return needed;
  }
  std::memcpy(lpBuffer, folder.c_str(), needed);
  return needed - 1;
}

}  // namespace platform
