// SPDX-License-Identifier: GPL-3.0-or-later
// The real backend's MCI calls: one wave-audio device that records the audio
// engine's output mix.
#include "platform/waveaudio/mci_device.h"
#include "platform/real_backend.h"
#include "platform/audio/calls/sound_system.h"

#include <exception>

namespace platform {

// Made at the first MCI command.  Only the UI thread calls the backend, so
// the lazy creation needs no lock.
WaveAudioDevice& RealBackend::waveAudio() {
  if (!waveAudio_) {
    SoundSystem& s = sound();
    // A take records what goes to the output, so the output has to run.
    s.ensureOutput();
    // Takes are streamed to a scratch file in the private working folder,
    // which lives on disk (the temp folder may be memory).
    char folder[1024] = {};
    GetWindowsDirectoryA(folder, sizeof folder);
    waveAudio_ = std::make_unique<WaveAudioDevice>(s.tapHost(), std::string(folder));
  }
  return *waveAudio_;
}

MCIERROR RealBackend::mciSendStringA(const char* lpstrCommand, char* lpstrReturnString,
                                     uint32_t uReturnLength, HWND /*hwndCallback*/) {
  // No command carries notify, so the callback window is never used.
  WaveAudioDevice* device = nullptr;
  try {
    device = &waveAudio();
  } catch (const std::exception&) {
    if (lpstrReturnString && uReturnLength > 0) lpstrReturnString[0] = '\0';
    return MCIERR_CANNOT_LOAD_DRIVER;
  }
  return device->sendString(lpstrCommand, lpstrReturnString, uReturnLength);
}

BOOL RealBackend::mciGetErrorStringA(MCIERROR mcierr, char* pszText, uint32_t cchText) {
  return WaveAudioDevice::errorString(mcierr, pszText, cchText);
}

}  // namespace platform
