// SPDX-License-Identifier: GPL-3.0-or-later
// Where the program's files are, and the file calls the program makes.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <filesystem>

#include "platform/real_backend.h"

namespace platform {
namespace {

std::string WithSlash(std::string s) {
  if (s.empty() || s.back() != '/') s.push_back('/');
  return s;
}

}  // namespace

// Where the pictures and sounds are: <prefix>/share/plinkora/ beside the
// program's bin/ folder (installed, and the build tree), else the program's
// own folder.
std::string RealBackend::App_Path() {
  const QString exeDir = QCoreApplication::applicationDirPath();
  const QString shared = QDir(exeDir).absoluteFilePath(QStringLiteral("../share/plinkora"));
  if (QFileInfo(shared).isDir()) return WithSlash(QDir::cleanPath(shared).toStdString());
  return WithSlash(exeDir.toStdString());
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
