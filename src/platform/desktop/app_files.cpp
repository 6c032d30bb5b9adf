// SPDX-License-Identifier: GPL-3.0-or-later
// Where the program's files are, and the file calls the program makes.
#include <QCoreApplication>
#include <QDir>
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
  return DataFolderOf(QCoreApplication::applicationDirPath().toStdString());
}

std::string RealBackend::DataFolderOf(const std::string& programFolder) {
  const std::filesystem::path shared =
      (std::filesystem::path(programFolder) / "../share/plinkora").lexically_normal();
  std::error_code ec;
  if (std::filesystem::is_directory(shared, ec)) return WithSlash(shared.string());
  return WithSlash(programFolder);
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
