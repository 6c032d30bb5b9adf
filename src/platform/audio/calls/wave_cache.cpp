// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/calls/wave_cache.h"

#include "platform/audio/system/wave_file.h"

#include <sys/stat.h>

#include <algorithm>

namespace platform {

namespace {
constexpr size_t kCacheEntries = 4;
constexpr uint64_t kCacheMaxSamples = 16u * 1024u * 1024u;   // 64 MB of floats per file


bool fileStamp(const std::string& path, int64_t* size, int64_t* mtimeNs) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  *size = int64_t(st.st_size);
  *mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

}  // namespace

WaveCache::~WaveCache() {
  if (ahead_ && ahead_->thread.joinable()) ahead_->thread.join();
}

void WaveCache::preload(const std::string& path, bool loop) {
  if (ahead_) return;
  ahead_ = std::make_unique<Ahead>();
  Ahead* a = ahead_.get();
  a->path = path;
  a->loop = loop;
  if (!fileStamp(path, &a->size, &a->mtimeNs)) return;
  a->thread = std::thread([a, rate = rate_] { a->data = loadWave(a->path, rate, a->loop); });
}

// The sound decoded ahead joins the cache, as if it had been loaded now.
void WaveCache::takeAhead() {
  if (!ahead_ || !ahead_->thread.joinable()) return;
  ahead_->thread.join();
  if (ahead_->data && ahead_->data->samples.size() <= kCacheMaxSamples)
    cache_[std::make_pair(ahead_->path, ahead_->loop)] =
        Entry{ahead_->size, ahead_->mtimeNs, ++useCounter_, std::move(ahead_->data)};
  ahead_->data.reset();
}

std::shared_ptr<const WaveData> WaveCache::load(const std::string& path, bool loop) {
  takeAhead();
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
