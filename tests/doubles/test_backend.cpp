// SPDX-License-Identifier: GPL-3.0-or-later
#include "doubles/test_backend.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstring>

namespace platform {

TestBackend::TestBackend() = default;

TestBackend::~TestBackend() {
  if (installed_) setBackend(previous_);
}

void TestBackend::install() {
  if (installed_) return;
  installed_ = true;
  setBackend(this);
}

void TestBackend::record(Call c) {
  calls.push_back(std::move(c));
  if (onCall) onCall(calls.back());
}

std::vector<std::string> TestBackend::names() const {
  std::vector<std::string> out;
  for (const auto& c : calls) out.push_back(c.fn);
  return out;
}

std::vector<Call> TestBackend::callsTo(const std::string& fn) const {
  std::vector<Call> out;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
               [&](const Call& c) { return c.fn == fn; });
  return out;
}

std::vector<uint32_t> TestBackend::midiMessages() const {
  std::vector<uint32_t> out;
  for (const auto& c : calls)
    if (c.fn == "midiOutShortMsg") out.push_back(static_cast<uint32_t>(c.value));
  return out;
}

std::vector<std::string> TestBackend::mciCommands() const {
  std::vector<std::string> out;
  for (const auto& c : calls)
    if (c.fn == "mciSendStringA") out.push_back(c.text);
  return out;
}

std::vector<std::string> TestBackend::messages() const {
  std::vector<std::string> out;
  for (const auto& c : calls)
    if (c.fn == "MsgBox") out.push_back(c.text);
  return out;
}

int TestBackend::count(const std::string& fn) const {
  return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                        [&](const Call& c) { return c.fn == fn; }));
}

MMRESULT TestBackend::midiOutOpen(HMIDIOUT* phmo, int32_t uDeviceID, intptr_t, intptr_t, uint32_t) {
  MMRESULT r = 0;
  if (!midiOutOpenResults.empty()) {
    r = midiOutOpenResults.front();
    midiOutOpenResults.pop_front();
  }
  if (r == 0 && phmo) *phmo = ++nextHandle_;
  record({"midiOutOpen", "", uDeviceID, r});
  return r;
}

MMRESULT TestBackend::midiOutShortMsg(HMIDIOUT hmo, uint32_t dwMsg) {
  record({"midiOutShortMsg", "", dwMsg, hmo});
  return 0;
}

MMRESULT TestBackend::midiOutClose(HMIDIOUT hmo) {
  record({"midiOutClose", "", hmo, 0});
  return 0;
}

BOOL TestBackend::sndPlaySoundA(const char* lpszSound, uint32_t fuSound) {
  Call c{"sndPlaySoundA", lpszSound ? lpszSound : "", 0, fuSound};
  c.isNull = lpszSound == nullptr;
  record(c);
  return 1;
}

MCIERROR TestBackend::mciSendStringA(const char* cmd, char* ret, uint32_t retLen, HWND) {
  std::string command = cmd ? cmd : "";
  MCIERROR r = mciScript ? mciScript(command) : 0;
  if (ret && retLen) ret[0] = '\0';
  // A successful "save ALIAS PATH" leaves a file at PATH.
  if (r == 0 && command.rfind("save ", 0) == 0) {
    auto p = command.find(' ', 5);
    if (p != std::string::npos) {
      std::string path = command.substr(p + 1);
      if (path.size() >= 2 && path.front() == '"' && path.back() == '"')
        path = path.substr(1, path.size() - 2);
      files.insert(path);
    }
  }
  record({"mciSendStringA", command, r, 0});
  return r;
}

BOOL TestBackend::mciGetErrorStringA(MCIERROR mcierr, char* pszText, uint32_t cchText) {
  std::string text = "MCI error " + std::to_string(mcierr);
  if (pszText && cchText) {
    std::strncpy(pszText, text.c_str(), cchText - 1);
    pszText[cchText - 1] = '\0';
  }
  record({"mciGetErrorStringA", "", mcierr, 0});
  return 1;
}

BOOL TestBackend::GetSaveFileNameA(OPENFILENAME* ofn) {
  lastSaveRequest = *ofn;
  std::string answer;
  if (!saveDialogAnswers.empty()) {
    answer = saveDialogAnswers.front();
    saveDialogAnswers.pop_front();
  }
  record({"GetSaveFileNameA", ofn->lpstrInitialDir, ofn->Flags, ofn->nFilterIndex});
  if (answer.empty()) return 0;
  ofn->lpstrFile = answer;
  ofn->lpstrFile.push_back('\0');
  return 1;
}

uint32_t TestBackend::GetWindowsDirectoryA(char* lpBuffer, uint32_t uSize) {
  record({"GetWindowsDirectoryA", windowsDirectory, uSize, 0});
  if (!lpBuffer || uSize == 0) return static_cast<uint32_t>(windowsDirectory.size() + 1);
  if (windowsDirectory.size() + 1 > uSize) {
    lpBuffer[0] = '\0';
    return static_cast<uint32_t>(windowsDirectory.size() + 1);
  }
  std::memcpy(lpBuffer, windowsDirectory.c_str(), windowsDirectory.size() + 1);
  return static_cast<uint32_t>(windowsDirectory.size());
}

void TestBackend::Beep() { record({"Beep"}); }

int TestBackend::MsgBox(const std::string& prompt, int buttons, const std::string& title) {
  int answer = (buttons & 0xF) == vbYesNo ? vbNo : vbOK;
  if (!msgBoxAnswers.empty()) {
    answer = msgBoxAnswers.front();
    msgBoxAnswers.pop_front();
  }
  Call c{"MsgBox", prompt, buttons, answer};
  c.title = title;
  record(c);
  return answer;
}

std::string TestBackend::App_Path() { return appPath; }
bool TestBackend::App_PrevInstance() { return prevInstance; }

void TestBackend::DoEvents() {
  record({"DoEvents"});
  if (QCoreApplication::instance()) QCoreApplication::processEvents();
}

std::string TestBackend::CurDir() { return currentDir; }

bool TestBackend::FileExists(const std::string& path) {
  bool exists = files.count(path) > 0;
  record({"FileExists", path, exists, 0});
  return exists;
}

bool TestBackend::Kill(const std::string& path) {
  bool existed = files.erase(path) > 0;
  record({"Kill", path, existed, 0});
  return existed;
}

}  // namespace platform
