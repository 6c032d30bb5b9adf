// The desktop side of the real backend: folders, the single-instance check,
// the beep, message boxes and file calls.
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <cstring>
#include <filesystem>

#include "platform/real_backend.h"

namespace platform {
namespace {

std::string WithSlash(std::string s) {
  if (s.empty() || s.back() != '/') s.push_back('/');
  return s;
}

// A folder only this user can enter: created with mode 0700, or an existing
// real folder (not a link) that belongs to this user, tightened to 0700.
bool MakePrivateFolder(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return false;
  if ((st.st_mode & 0777) != 0700 && chmod(path.c_str(), 0700) != 0) return false;
  return true;
}

}  // namespace

// The working folder: $XDG_CACHE_HOME/plinkora (normally ~/.cache/plinkora),
// or, when that cannot be made private, a per-user folder under the temp dir.
uint32_t RealBackend::GetWindowsDirectoryA(char* lpBuffer, uint32_t uSize) {
  static const std::string folder = [] {
    std::string base = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation).toStdString();
    std::string candidate = base.empty() ? std::string() : base + "/plinkora";
    if (!candidate.empty() && MakePrivateFolder(candidate)) return WithSlash(candidate);
    candidate = QDir::tempPath().toStdString() + "/plinkora-" + std::to_string(geteuid());
    if (MakePrivateFolder(candidate)) return WithSlash(candidate);
    return std::string();
  }();
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

bool RealBackend::App_PrevInstance() {
  char buf[1024];
  if (GetWindowsDirectoryA(buf, sizeof buf) == 0 || buf[0] == '\0') return false;
  instanceLock_ = std::make_unique<QLockFile>(QString::fromStdString(std::string(buf) + "plinkora.lock"));
  instanceLock_->setStaleLockTime(0);   // a lock left by a dead process is stale at once
  if (instanceLock_->tryLock(0)) return false;
  return instanceLock_->error() == QLockFile::LockFailedError;
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
