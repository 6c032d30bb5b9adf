// SPDX-License-Identifier: GPL-3.0-or-later
// The seam between the program and the machine: winapi.h's calls forward to
// the current backend.  The real backend drives the synthesizer, the audio
// engine, the wave-audio device and Qt's dialogs; the test backend records
// every call and answers from a script.
#pragma once

#include "platform/winapi.h"

namespace platform {

// Threads: the UI thread only.
class Backend {
public:
  virtual ~Backend() = default;

  virtual MMRESULT midiOutOpen(HMIDIOUT* phmo, int32_t uDeviceID, intptr_t dwCallback,
                               intptr_t dwInstance, uint32_t fdwOpen) = 0;
  virtual MMRESULT midiOutShortMsg(HMIDIOUT hmo, uint32_t dwMsg) = 0;
  virtual MMRESULT midiOutClose(HMIDIOUT hmo) = 0;
  virtual BOOL sndPlaySoundA(const char* lpszSound, uint32_t fuSound) = 0;
  virtual MCIERROR mciSendStringA(const char* lpstrCommand, char* lpstrReturnString,
                                  uint32_t uReturnLength, HWND hwndCallback) = 0;
  virtual BOOL mciGetErrorStringA(MCIERROR mcierr, char* pszText, uint32_t cchText) = 0;
  virtual BOOL GetSaveFileNameA(OPENFILENAME* ofn) = 0;
  virtual uint32_t GetWindowsDirectoryA(char* lpBuffer, uint32_t uSize) = 0;
  virtual void Beep() = 0;
  virtual int MsgBox(const std::string& prompt, int buttons, const std::string& title) = 0;
  virtual std::string App_Path() = 0;
  virtual bool App_PrevInstance() = 0;
  virtual void DoEvents() = 0;
  virtual std::string CurDir() = 0;
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool Kill(const std::string& path) = 0;
};

// The backend every call goes to.  Not owned; must outlive its use.
Backend& backend();
void setBackend(Backend* b);

}  // namespace platform
