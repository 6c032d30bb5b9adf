// The real backend's sound calls: all of them go to the one SoundSystem.
#include "platform/real_backend.h"
#include "platform/sound_system.h"

namespace platform {

SoundSystem& RealBackend::sound() {
  if (!sound_) sound_ = std::make_unique<SoundSystem>();
  return *sound_;
}

MMRESULT RealBackend::midiOutOpen(HMIDIOUT* phmo, int32_t uDeviceID, intptr_t /*dwCallback*/,
                                  intptr_t /*dwInstance*/, uint32_t /*fdwOpen*/) {
  // The device never calls back, so callback and instance data are not kept.
  return sound().midiOutOpen(phmo, uDeviceID);
}

MMRESULT RealBackend::midiOutShortMsg(HMIDIOUT hmo, uint32_t dwMsg) {
  return sound().midiOutShortMsg(hmo, dwMsg);
}

MMRESULT RealBackend::midiOutClose(HMIDIOUT hmo) { return sound().midiOutClose(hmo); }

BOOL RealBackend::sndPlaySoundA(const char* lpszSound, uint32_t fuSound) {
  return sound().sndPlaySound(lpszSound, fuSound);
}

}  // namespace platform
