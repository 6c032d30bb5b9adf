// The desktop side of the real backend: folders, the single-instance check,
// the beep, message boxes and file calls.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/private_folder.h"
#include "platform/real_backend.h"

namespace platform {
namespace {

std::string WithSlash(std::string s) {
  if (s.empty() || s.back() != '/') s.push_back('/');
  return s;
}

}  // namespace

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

// Where the pictures and sounds are: <prefix>/share/plinkora/ beside the
// program's bin/ folder (installed, and the build tree), else the program's
// own folder.
std::string RealBackend::App_Path() {
  const QString exeDir = QCoreApplication::applicationDirPath();
  const QString shared = QDir(exeDir).absoluteFilePath(QStringLiteral("../share/plinkora"));
  if (QFileInfo(shared).isDir()) return WithSlash(QDir::cleanPath(shared).toStdString());
  return WithSlash(exeDir.toStdString());
}

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
      return false;
    }
    ::close(fd);   // the file was removed by the copy that just ended
  }
  return false;
}

void RealBackend::Beep() { QApplication::beep(); }

int RealBackend::MsgBox(const std::string& prompt, int buttons, const std::string& title) {
  QMessageBox box;
  box.setWindowTitle(QString::fromStdString(title));
  box.setText(QString::fromStdString(prompt));
  box.setIcon((buttons & vbCritical) ? QMessageBox::Critical : QMessageBox::NoIcon);
  if ((buttons & 0xF) == vbYesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton((buttons & vbDefaultButton2) ? QMessageBox::No : QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes ? vbYes : vbNo;
  }
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
  return vbOK;
}

void RealBackend::DoEvents() { QCoreApplication::processEvents(); }

std::string RealBackend::CurDir() { return QDir::currentPath().toStdString(); }

bool RealBackend::FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

bool RealBackend::Kill(const std::string& path) {
  std::error_code ec;
  return std::filesystem::remove(path, ec);
}

}  // namespace platform
