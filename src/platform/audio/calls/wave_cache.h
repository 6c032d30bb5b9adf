// SPDX-License-Identifier: GPL-3.0-or-later
// The last few sound files played, kept decoded so that a loop restarted or
// a take played again starts without reading the file anew.  A file that
// changed on disk since (size or modification time) is read again.  One
// file may be decoded ahead on a thread of its own (preload()), for a sound
// that is known to come first: its load() then takes the result, waiting
// for it if need be.
#pragma once

#include "platform/audio/audio_thread/wave_data.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>

namespace platform {

// Threads: the UI thread only (a sound system being prepared on a helper
// thread hands it over with itself).
class WaveCache {
public:
  explicit WaveCache(uint32_t sampleRate) : rate_(sampleRate) {}
  ~WaveCache();
  WaveCache(const WaveCache&) = delete;
  WaveCache& operator=(const WaveCache&) = delete;
  // Starts decoding `path` on a thread of its own; once only.
  void preload(const std::string& path, bool loop);
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
  struct Ahead {
    std::string path;
    bool loop = false;
    int64_t size = -1, mtimeNs = 0;   // the file as it was when the decoding began
    std::shared_ptr<const WaveData> data;
    std::thread thread;
  };
  void takeAhead();

  const uint32_t rate_;
  std::unique_ptr<Ahead> ahead_;
  uint64_t useCounter_ = 0;
  std::map<std::pair<std::string, bool>, Entry> cache_;
};

}  // namespace platform
