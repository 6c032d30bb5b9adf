// SPDX-License-Identifier: GPL-3.0-or-later
// The backend the program runs on: the embedded synthesizer and audio engine,
// the wave-audio device, Qt's dialogs and the user's folders.
#pragma once

#include "platform/backend.h"

#include <memory>
#include <string>
#include <thread>

class QObject;

namespace platform {

class SoundSystem;       // synthesizer, audio engine, output, wave channel (sound_system.h)
class WaveAudioDevice;   // the MCI wave-audio device (mci_device.h)

// Threads: the UI thread only.
class RealBackend : public Backend {
public:
  RealBackend();
  ~RealBackend() override;

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
  // What App_Path() gives for a program in `programFolder`: the
  // share/plinkora/ folder beside it when there is one, else the folder
  // itself; ends in '/'.  Needs no Qt.
  static std::string DataFolderOf(const std::string& programFolder);
  bool App_PrevInstance() override;
  void DoEvents() override;
  std::string CurDir() override;
  bool FileExists(const std::string& path) override;
  bool Kill(const std::string& path) override;

  // Whether the embedded synthesizer is heard (--external-synth: not);
  // before the first sound call.
  void setSynthHeard(bool heard) { synthHeard_ = heard; }

  // Starts making the sound system on a helper thread, as the first sound
  // call would make it: the sound server asked once and its output started,
  // the soundfonts read and pinned, the tones' onsets found and the first
  // synth instances made, while the window system opens.  The first sound
  // call takes it over, waiting for it if need be, and reports whatever
  // failed then, as it would have.  Call it once this copy holds the
  // instance lock (App_PrevInstance() said false), so that a second copy
  // never reaches a sound server.  A derived backend that makes its own
  // sound system takes it over (sound()) before it goes.
  void prepareSound();

  // Created on first use (or taken over from prepareSound()) and kept for
  // the whole run.
  SoundSystem& sound();
  WaveAudioDevice& waveAudio();

protected:
  // Makes the sound system at its first use: the default soundfonts and the
  // sound server.
  virtual std::unique_ptr<SoundSystem> makeSoundSystem();

private:
  // Tells the sound system whether the application is the active one, and
  // has it look for a lost sound server again once a second.
  void watchDesktop();

  std::unique_ptr<SoundSystem> sound_;
  bool synthHeard_ = true;
  std::thread preparing_;                 // prepareSound()'s helper, until sound() takes its work
  std::unique_ptr<SoundSystem> prepared_; // its work, handed over when it is joined
  std::unique_ptr<WaveAudioDevice> waveAudio_;
  std::unique_ptr<QObject> watchers_;   // its connections end before the sound system
  int instanceLock_ = -1;        // plinkora.lock, locked while this copy runs
  std::string instanceLockPath_;
  std::string workingFolder_;   // found at the first GetWindowsDirectoryA
};

}  // namespace platform
