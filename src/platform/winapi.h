// SPDX-License-Identifier: GPL-3.0-or-later
// The multimedia, dialog and shell calls the program makes, under the names and
// with the results the program's code expects of them.  Every call dispatches to
// the current platform::Backend (real sound and dialogs, or the recording test
// backend).  Strings are UTF-8.
#pragma once

#include <cstdint>
#include <string>

using MMRESULT = uint32_t;
using MCIERROR = uint32_t;
using HMIDIOUT = int32_t;   // the program keeps the handle in a Long
using HWND = intptr_t;
using BOOL = int32_t;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr int32_t MIDI_MAPPER = -1;

// sndPlaySoundA flags
constexpr uint32_t SND_SYNC = 0x0;
constexpr uint32_t SND_ASYNC = 0x1;
constexpr uint32_t SND_NODEFAULT = 0x2;
constexpr uint32_t SND_LOOP = 0x8;

// MsgBox buttons, icons and answers
constexpr int vbOKOnly = 0;
constexpr int vbYesNo = 4;
constexpr int vbCritical = 16;
constexpr int vbDefaultButton2 = 256;
constexpr int vbOK = 1;
constexpr int vbYes = 6;
constexpr int vbNo = 7;

// Save dialog request.  Only the fields the program fills are kept.
constexpr uint32_t OFN_HIDEREADONLY = 0x4;
constexpr uint32_t OFN_PATHMUSTEXIST = 0x800;
constexpr uint32_t OFN_FILEMUSTEXIST = 0x1000;
constexpr uint32_t OFN_EXPLORER = 0x80000;
constexpr uint32_t OFN_OVERWRITEPROMPT = 0x2;

struct OPENFILENAME {
  uint32_t lStructSize = 0;
  HWND hwndOwner = 0;
  intptr_t hInstance = 0;
  std::string lpstrFilter;      // description/pattern pairs, each text followed by one NUL
  uint32_t nFilterIndex = 0;    // 1-based pair index
  std::string lpstrFile;        // in: buffer of nMaxFile NULs; out: chosen path, NUL-terminated
  uint32_t nMaxFile = 0;
  std::string lpstrFileTitle;
  uint32_t nMaxFileTitle = 0;
  std::string lpstrInitialDir;
  uint32_t Flags = 0;
};

// MIDI output.  Device MIDI_MAPPER (-1) is the built-in synthesizer.
MMRESULT midiOutOpen(HMIDIOUT* phmo, int32_t uDeviceID, intptr_t dwCallback,
                     intptr_t dwInstance, uint32_t fdwOpen);
MMRESULT midiOutShortMsg(HMIDIOUT hmo, uint32_t dwMsg);
MMRESULT midiOutClose(HMIDIOUT hmo);

// The one wave-sound channel.  A null name stops whatever plays.
BOOL sndPlaySoundA(const char* lpszSound, uint32_t fuSound);

// MCI command strings for the wave-audio device.
MCIERROR mciSendStringA(const char* lpstrCommand, char* lpstrReturnString,
                        uint32_t uReturnLength, HWND hwndCallback);
BOOL mciGetErrorStringA(MCIERROR mcierr, char* pszText, uint32_t cchText);

// Save dialog: non-zero when a name was chosen.
BOOL GetSaveFileNameA(OPENFILENAME* ofn);

// Windows folder: the private per-user working folder, with trailing '/'.
uint32_t GetWindowsDirectoryA(char* lpBuffer, uint32_t uSize);

// Shell and runtime services.
void Beep();
int MsgBox(const std::string& prompt, int buttons, const std::string& title);
std::string App_Path();          // folder of the program's data files, with trailing '/'
std::string App_Title();         // "Plinkora"
bool App_PrevInstance();         // another copy runs for this user
void DoEvents();                 // one pass over the pending window events
std::string CurDir();            // the process's current folder
bool FileExists(const std::string& path);
bool Kill(const std::string& path);   // delete a file; false when it could not be deleted
