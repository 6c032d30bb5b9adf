// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/desktop/private_folder.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool MakePrivateFolder(std::string path) {
  // "dir/" would follow a link named dir.
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty()) return false;

  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;

  // Checked and tightened through one descriptor, so that what is checked is
  // what is tightened.
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
  if (ok && (st.st_mode & 07777) != 0700) ok = ::fchmod(fd, 0700) == 0;
  ::close(fd);
  return ok;
}

std::string PrivateWorkingFolder(const std::string& cacheBase, const std::string& tempBase) {
  auto withSlash = [](std::string s) {
    if (s.back() != '/') s.push_back('/');
    return s;
  };
  if (!cacheBase.empty()) {
    const std::string candidate = withSlash(cacheBase) + "plinkora";
    if (MakePrivateFolder(candidate)) return candidate + "/";
  }
  if (!tempBase.empty()) {
    const std::string candidate = withSlash(tempBase) + "plinkora-" + std::to_string(::geteuid());
    if (MakePrivateFolder(candidate)) return candidate + "/";
  }
  return kNoWorkingFolder;
}

}  // namespace platform
