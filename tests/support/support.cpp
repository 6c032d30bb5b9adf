// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/support.h"

#include <QApplication>
#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>

#include "app/module1.h"
#include "ui/form1.h"

namespace testing_support {

QApplication& App() {
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return *app;
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char name[] = "plinkora-test";
  static char* argv[] = {name, nullptr};
  // Never destroyed: Qt's input devices outlive static destruction order.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

std::string DataDir() {
  const char* dir = std::getenv("PLINKORA_DATA_DIR");
  std::string d = dir ? dir : "";
  if (d.empty() || d.back() != '/') d.push_back('/');
  return d;
}

FreshProgram::FreshProgram() {
  App();
  unloadForm1();
  Module1::ResetState();
  backend.appPath = DataDir();
  backend.install();
  Module1::AppDir = backend.appPath;
}

FreshProgram::~FreshProgram() {
  unloadForm1();
  Module1::ResetState();
}

ScratchDir::ScratchDir() {
  QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/plinkora-test-XXXXXX"));
  dir.setAutoRemove(false);
  path = dir.path().toStdString() + "/";
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

}  // namespace testing_support
