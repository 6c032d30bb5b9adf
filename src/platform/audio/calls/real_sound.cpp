// SPDX-License-Identifier: GPL-3.0-or-later
// The real backend's sound calls: all of them go to the one SoundSystem.
#include "platform/real_backend.h"
#include "platform/audio/calls/sound_system.h"
#include "platform/startup_stamps.h"

#include <QGuiApplication>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <filesystem>

namespace platform {

std::unique_ptr<SoundSystem> RealBackend::makeSoundSystem() {
  auto options = SoundSystemOptions::forThisMachine();
  options.synthHeard = synthHeard_;
  startup::mark("output chosen");
  return std::make_unique<SoundSystem>(std::move(options));
}

void RealBackend::prepareSound() {
  if (sound_ || preparing_.joinable()) return;
  // The program's folder as Qt will give it, read before Qt is there.
  std::error_code ec;
  const std::string program = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
  const std::string startSound = ec ? std::string() : DataFolderOf(program) + "start.wav";
  preparing_ = std::thread([this, startSound] {
    auto sound = makeSoundSystem();
    sound->prepare();
    // Decoded (and converted to the engine's rate) while the splash opens;
    // not sooner, where it would take a core from Qt's start.
    if (!startSound.empty()) sound->preloadWave(startSound);
    startup::mark("sound prepared");
    prepared_ = std::move(sound);
  });
}

SoundSystem& RealBackend::sound() {
  if (preparing_.joinable()) {
    preparing_.join();
    sound_ = std::move(prepared_);
    startup::mark("sound taken over");
  }
  if (!sound_) sound_ = makeSoundSystem();
  watchDesktop();
  return *sound_;
}

// What the sound system learns from the desktop.  The player is at the
// instrument while the application is the active one: the output then never
// pauses, so a strike after a rest is as quick as one in mid-phrase.
// Without a GUI application nothing is told (present) and nothing watched.
void RealBackend::watchDesktop() {
  auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  if (!app || watchers_) return;
  watchers_ = std::make_unique<QObject>();
  SoundSystem* sound = sound_.get();
  const auto tell = [sound](Qt::ApplicationState state) { sound->setPlayerPresent(state == Qt::ApplicationActive); };
  QObject::connect(app, &QGuiApplication::applicationStateChanged, watchers_.get(), tell);
  tell(QGuiApplication::applicationState());
  // A server that went away is looked for again once a second, notes or
  // not, so the MIDI port comes back with it.
  auto* timer = new QTimer(watchers_.get());
  QObject::connect(timer, &QTimer::timeout, watchers_.get(), [sound] { sound->keepOutput(); });
  timer->start(1000);
}

MMRESULT RealBackend::midiOutOpen(HMIDIOUT* phmo, int32_t uDeviceID, intptr_t /*dwCallback*/,
                                  intptr_t /*dwInstance*/, uint32_t /*fdwOpen*/) {
  // The device never calls back, so callback and instance data are not kept.
  startup::mark("midi open asked");
  const MMRESULT result = sound().midiOutOpen(phmo, uDeviceID);
  // The player's message names no cause; the terminal gets it.
  if ((result == MMSYSERR_NODRIVER || result == MMSYSERR_ERROR) && !sound().lastError().empty())
    std::fprintf(stderr, "plinkora: MIDI output: %s\n", sound().lastError().c_str());
  return result;
}

MMRESULT RealBackend::midiOutShortMsg(HMIDIOUT hmo, uint32_t dwMsg) {
  const MMRESULT result = sound().midiOutShortMsg(hmo, dwMsg);
  static bool first = true;
  if (first) startup::mark("first message");
  first = false;
  return result;
}

MMRESULT RealBackend::midiOutClose(HMIDIOUT hmo) { return sound().midiOutClose(hmo); }

BOOL RealBackend::sndPlaySoundA(const char* lpszSound, uint32_t fuSound) {
  return sound().sndPlaySound(lpszSound, fuSound);
}

}  // namespace platform
