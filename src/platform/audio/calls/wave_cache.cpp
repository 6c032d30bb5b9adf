// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/calls/wave_cache.h"

#include "platform/audio/system/wave_file.h"

#include <sys/stat.h>

#include <algorithm>

namespace platform {

namespace {
constexpr size_t kCacheEntries = 4;
constexpr uint64_t kCacheMaxSamples = 16u * 1024u * 1024u;   // 64 MB of floats per file
}  // namespace

std::shared_ptr<const WaveData> WaveCache::load(const std::string& path, bool loop) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return nullptr;
  const int64_t mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  const auto key = std::make_pair(path, loop);
  auto it = cache_.find(key);
  if (it != cache_.end() && it->second.size == st.st_size && it->second.mtimeNs == mtimeNs) {
    it->second.lastUse = ++useCounter_;
    return it->second.data;
  }
  if (it != cache_.end()) cache_.erase(it);   // the file changed since

  auto data = loadWave(path, rate_, loop);
  if (!data) return nullptr;
  if (data->samples.size() <= kCacheMaxSamples) {
    if (cache_.size() >= kCacheEntries) {
      auto oldest = std::min_element(cache_.begin(), cache_.end(), [](auto& a, auto& b) {
        return a.second.lastUse < b.second.lastUse;
      });
      cache_.erase(oldest);
    }
    cache_[key] = Entry{int64_t(st.st_size), mtimeNs, ++useCounter_, data};
  }
  return data;
}

}  // namespace platform
