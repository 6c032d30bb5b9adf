// SPDX-License-Identifier: GPL-3.0-or-later
// The single-instance check.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/real_backend.h"
#include "platform/startup_stamps.h"

namespace platform {

// One copy per user: the running copy holds a lock on plinkora.lock in the
// working folder.  The system drops the lock when the process ends, however
// it ends, so neither a file left behind nor its content ever keeps a later
// copy from starting.  A link planted at the name is removed, not followed.
// A clean end removes the file; a lock taken on a file that was removed
// meanwhile does not count, and the file is opened again.
bool RealBackend::App_PrevInstance() {
  if (instanceLock_ >= 0) return false;
  char buf[1024];
  if (GetWindowsDirectoryA(buf, sizeof buf) == 0 || buf[0] == '\0') return false;
  const std::string path = std::string(buf) + "plinkora.lock";
  constexpr int kFlags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = ::open(path.c_str(), kFlags, 0600);
    if (fd < 0 && errno == ELOOP && ::unlink(path.c_str()) == 0)
      fd = ::open(path.c_str(), kFlags | O_EXCL, 0600);
    if (fd < 0) return false;   // no lock to be had: this copy runs without one
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const bool held = errno == EWOULDBLOCK;
      ::close(fd);
      return held;
    }
    struct stat now {};
    if (::lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
      instanceLock_ = fd;
      instanceLockPath_ = path;
      startup::mark("instance lock");
      return false;
    }
    ::close(fd);   // the file was removed by the copy that just ended
  }
  return false;
}

}  // namespace platform
