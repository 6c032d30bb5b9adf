// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/backend.h"

#include <cassert>

namespace platform {
namespace {
Backend* current = nullptr;
}

Backend& backend() {
  assert(current && "no platform backend installed");
  return *current;
}

void setBackend(Backend* b) { current = b; }

}  // namespace platform

using platform::backend;

MMRESULT midiOutOpen(HMIDIOUT* phmo, int32_t uDeviceID, intptr_t dwCallback,
                     intptr_t dwInstance, uint32_t fdwOpen) {
  return backend().midiOutOpen(phmo, uDeviceID, dwCallback, dwInstance, fdwOpen);
}
MMRESULT midiOutShortMsg(HMIDIOUT hmo, uint32_t dwMsg) { return backend().midiOutShortMsg(hmo, dwMsg); }
MMRESULT midiOutClose(HMIDIOUT hmo) { return backend().midiOutClose(hmo); }
BOOL sndPlaySoundA(const char* lpszSound, uint32_t fuSound) {
  return backend().sndPlaySoundA(lpszSound, fuSound);
}
MCIERROR mciSendStringA(const char* lpstrCommand, char* lpstrReturnString, uint32_t uReturnLength,
                        HWND hwndCallback) {
  return backend().mciSendStringA(lpstrCommand, lpstrReturnString, uReturnLength, hwndCallback);
}
BOOL mciGetErrorStringA(MCIERROR mcierr, char* pszText, uint32_t cchText) {
  return backend().mciGetErrorStringA(mcierr, pszText, cchText);
}
BOOL GetSaveFileNameA(OPENFILENAME* ofn) { return backend().GetSaveFileNameA(ofn); }
uint32_t GetWindowsDirectoryA(char* lpBuffer, uint32_t uSize) {
  return backend().GetWindowsDirectoryA(lpBuffer, uSize);
}
void Beep() { backend().Beep(); }
int MsgBox(const std::string& prompt, int buttons, const std::string& title) {
  return backend().MsgBox(prompt, buttons, title);
}
std::string App_Path() { return backend().App_Path(); }
std::string App_Title() { return "Plinkora"; }
bool App_PrevInstance() { return backend().App_PrevInstance(); }
void DoEvents() { backend().DoEvents(); }
std::string CurDir() { return backend().CurDir(); }
bool FileExists(const std::string& path) { return backend().FileExists(path); }
bool Kill(const std::string& path) { return backend().Kill(path); }
