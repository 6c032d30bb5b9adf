// SPDX-License-Identifier: GPL-3.0-or-later
// The last few sound files played, kept decoded so that a loop restarted or
// a take played again starts without reading the file anew.  A file that
// changed on disk since (size or modification time) is read again.
// UI thread.
#pragma once

#include "platform/audio/audio_thread/wave_data.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace platform {

// Threads: the UI thread only.
class WaveCache {
public:
  explicit WaveCache(uint32_t sampleRate) : rate_(sampleRate) {}
  // The file decoded at the engine's rate (wrapping round at its ends when
  // `loop`); null when it cannot be played.
  std::shared_ptr<const WaveData> load(const std::string& path, bool loop);
  size_t files() const { return cache_.size(); }

private:
  struct Entry {
    int64_t size = 0;
    int64_t mtimeNs = 0;
    uint64_t lastUse = 0;
    std::shared_ptr<const WaveData> data;
  };
  const uint32_t rate_;
  uint64_t useCounter_ = 0;
  std::map<std::pair<std::string, bool>, Entry> cache_;
};

}  // namespace platform
