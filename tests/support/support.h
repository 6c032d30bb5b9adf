// SPDX-License-Identifier: GPL-3.0-or-later
// Shared set-up for the tests: an offscreen application, the test backend,
// fresh program state and a fresh main window.
#pragma once

#include <string>

#include "doubles/test_backend.h"

class QApplication;

namespace testing_support {

// The one QApplication of a test program (offscreen platform).
QApplication& App();

// The build tree's data folder with the program's pictures and sounds,
// ending in '/'.
std::string DataDir();

// A fresh program: state as before Main, no main window, the test backend
// installed (its application folder is the real data folder).
struct FreshProgram {
  platform::TestBackend backend;
  FreshProgram();
  ~FreshProgram();
};

// A scratch folder removed at the end of the test.
struct ScratchDir {
  std::string path;   // ends in '/'
  ScratchDir();
  ~ScratchDir();
};

}  // namespace testing_support
