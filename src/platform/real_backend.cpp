// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/real_backend.h"

#include <unistd.h>

#include "platform/waveaudio/mci_device.h"
#include "platform/audio/calls/sound_system.h"

#include <QObject>

namespace platform {

RealBackend::RealBackend() = default;

// The wave-audio device goes first: it may still listen to the engine.
RealBackend::~RealBackend() {
  if (preparing_.joinable()) preparing_.join();
  watchers_.reset();
  waveAudio_.reset();
  sound_.reset();
  if (instanceLock_ >= 0) {
    // Removed while still locked, so no other copy can hold a lock on it.
    ::unlink(instanceLockPath_.c_str());
    ::close(instanceLock_);
  }
}

}  // namespace platform
