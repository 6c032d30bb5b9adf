// SPDX-License-Identifier: GPL-3.0-or-later
// The real backend's sound calls: all of them go to the one SoundSystem.
#include "platform/real_backend.h"
#include "platform/audio/calls/sound_system.h"

#include <QGuiApplication>
#include <QObject>

#include <cstdio>

namespace platform {

std::unique_ptr<SoundSystem> RealBackend::makeSoundSystem() {
  SoundSystemOptions options = SoundSystemOptions::forThisMachine();
  options.synthHeard = synthHeard_;
  return std::make_unique<SoundSystem>(std::move(options));
}

SoundSystem& RealBackend::sound() {
  if (!sound_) {
    sound_ = makeSoundSystem();
    watchPlayerPresence();
  }
  return *sound_;
}

// The player is at the instrument while the application is the active one:
// the output then never pauses, so a strike after a rest is as quick as
// one in mid-phrase.  Without a GUI application nothing is told (present).
void RealBackend::watchPlayerPresence() {
  auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  if (!app || presence_) return;
  presence_ = std::make_unique<QObject>();
  SoundSystem* sound = sound_.get();
  const auto tell = [sound](Qt::ApplicationState state) { sound->setPlayerPresent(state == Qt::ApplicationActive); };
  QObject::connect(app, &QGuiApplication::applicationStateChanged, presence_.get(), tell);
  tell(QGuiApplication::applicationState());
}

MMRESULT RealBackend::midiOutOpen(HMIDIOUT* phmo, int32_t uDeviceID, intptr_t /*dwCallback*/,
                                  intptr_t /*dwInstance*/, uint32_t /*fdwOpen*/) {
  // The device never calls back, so callback and instance data are not kept.
  const MMRESULT result = sound().midiOutOpen(phmo, uDeviceID);
  // The player's message names no cause; the terminal gets it.
  if ((result == MMSYSERR_NODRIVER || result == MMSYSERR_ERROR) && !sound().lastError().empty())
    std::fprintf(stderr, "plinkora: MIDI output: %s\n", sound().lastError().c_str());
  return result;
}

MMRESULT RealBackend::midiOutShortMsg(HMIDIOUT hmo, uint32_t dwMsg) {
  return sound().midiOutShortMsg(hmo, dwMsg);
}

MMRESULT RealBackend::midiOutClose(HMIDIOUT hmo) { return sound().midiOutClose(hmo); }

BOOL RealBackend::sndPlaySoundA(const char* lpszSound, uint32_t fuSound) {
  return sound().sndPlaySound(lpszSound, fuSound);
}

}  // namespace platform
