// SPDX-License-Identifier: GPL-3.0-or-later
#include "recorder/save_dialog.h"

namespace modCmOpen {

std::string Show_SaveDialog(HWND Owner, const std::string& Filter, const std::string& InitialDir) {
  constexpr uint32_t kBufferSize = 256;

  OPENFILENAME ofn;
  ofn.lStructSize = 76;
  ofn.hwndOwner = Owner;
  ofn.lpstrFilter = Filter;
  ofn.nFilterIndex = 1;
  ofn.lpstrFile.assign(kBufferSize, '\0');
  ofn.nMaxFile = kBufferSize;
  ofn.lpstrFileTitle.assign(kBufferSize, '\0');
  ofn.nMaxFileTitle = kBufferSize;
  ofn.lpstrInitialDir = InitialDir;
  ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;

  if (GetSaveFileNameA(&ofn) == 0) return std::string();
  return ofn.lpstrFile.substr(0, ofn.lpstrFile.find('\0'));
}

}  // namespace modCmOpen
