// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/system/soundfont.h"

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::vector<std::string> defaultSoundfontSearch() {
  return {kSoundfontSearchOrder.begin(), kSoundfontSearchOrder.end()};
}

std::vector<std::string> defaultOpl3Search() {
  return {kOpl3SoundfontSearchOrder.begin(), kOpl3SoundfontSearchOrder.end()};
}

std::vector<std::string> existingSoundfonts(const std::vector<std::string>& searchList) {
  std::vector<std::string> found;
  for (const std::string& path : searchList) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_size == 0) continue;
    if (::access(path.c_str(), R_OK) != 0) continue;
    found.push_back(path);
  }
  return found;
}

}  // namespace platform
