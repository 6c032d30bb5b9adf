// SPDX-License-Identifier: GPL-3.0-or-later
// A backend with no hardware and no modal dialogs: it records every call in
// order and answers from a script.  Used by the tests and the benchmarks.
#pragma once

#include "platform/backend.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace platform {

struct Call {
  std::string fn;      // the call's name, e.g. "midiOutShortMsg"
  std::string text;    // file name, command, prompt or path ("" when none)
  int64_t value = 0;   // device id, message, handle, error code or buttons
  int64_t flags = 0;   // sndPlaySoundA flags, or the handle a message went to
  bool isNull = false; // sndPlaySoundA with a null name
  std::string title;   // MsgBox caption
};

class TestBackend : public Backend {
public:
  TestBackend();
  ~TestBackend() override;

  MMRESULT midiOutOpen(HMIDIOUT* phmo, int32_t uDeviceID, intptr_t dwCallback,
                       intptr_t dwInstance, uint32_t fdwOpen) override;
  MMRESULT midiOutShortMsg(HMIDIOUT hmo, uint32_t dwMsg) override;
  MMRESULT midiOutClose(HMIDIOUT hmo) override;
  BOOL sndPlaySoundA(const char* lpszSound, uint32_t fuSound) override;
  MCIERROR mciSendStringA(const char* lpstrCommand, char* lpstrReturnString,
                          uint32_t uReturnLength, HWND hwndCallback) override;
  BOOL mciGetErrorStringA(MCIERROR mcierr, char* pszText, uint32_t cchText) override;
  BOOL GetSaveFileNameA(OPENFILENAME* ofn) override;
  uint32_t GetWindowsDirectoryA(char* lpBuffer, uint32_t uSize) override;
  void Beep() override;
  int MsgBox(const std::string& prompt, int buttons, const std::string& title) override;
  std::string App_Path() override;
  bool App_PrevInstance() override;
  void DoEvents() override;
  std::string CurDir() override;
  bool FileExists(const std::string& path) override;
  bool Kill(const std::string& path) override;

  // Installs this backend as the current one for its lifetime.
  void install();

  // ---- what happened ----
  std::vector<Call> calls;
  std::vector<std::string> names() const;                  // fn of every call
  std::vector<Call> callsTo(const std::string& fn) const;
  std::vector<uint32_t> midiMessages() const;              // midiOutShortMsg values
  std::vector<std::string> mciCommands() const;
  std::vector<std::string> messages() const;               // MsgBox prompts
  int count(const std::string& fn) const;
  void clear() { calls.clear(); }

  // ---- the script ----
  std::deque<MMRESULT> midiOutOpenResults;   // next results of midiOutOpen; 0 when empty
  std::function<MCIERROR(const std::string& command)> mciScript;  // default: 0
  std::deque<int> msgBoxAnswers;             // default: vbOK, or vbNo for Yes/No boxes
  std::deque<std::string> saveDialogAnswers; // "" or empty queue: cancelled
  OPENFILENAME lastSaveRequest;
  std::string windowsDirectory = "/winfolder";  // what GetWindowsDirectoryA returns
  std::string appPath = "/appfolder/";
  bool prevInstance = false;
  std::string currentDir = "/current/dir";
  std::set<std::string> files;               // files that exist
  std::function<void(const Call&)> onCall;   // runs after each call is recorded

private:
  void record(Call c);
  HMIDIOUT nextHandle_ = 0x100;
  Backend* previous_ = nullptr;
  bool installed_ = false;
};

}  // namespace platform
