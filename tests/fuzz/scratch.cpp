// SPDX-License-Identifier: GPL-3.0-or-later
#include "scratch.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace fuzzing {
namespace {

std::string MakeFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/plinkora-fuzz-XXXXXX";
  if (!::mkdtemp(tmpl.data())) std::abort();
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(ScratchFolder(), ec);
  });
  return tmpl + "/";
}

}  // namespace

const std::string& ScratchFolder() {
  // Never destroyed: the exit handler that removes the folder needs it.
  static const std::string* folder = new std::string(MakeFolder());
  return *folder;
}

void EmptyScratchFolder() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(ScratchFolder(), ec))
    std::filesystem::remove_all(entry.path(), ec);
}

}  // namespace fuzzing
