#include "platform/audio/wave_sound.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

namespace platform {

namespace {

constexpr size_t kCacheEntries = 4;
constexpr uint64_t kCacheMaxSamples = 16u * 1024u * 1024u;   // 64 MB of floats per file
constexpr uint64_t kReserveFrames = 1u << 18;                 // about six seconds at 44.1 kHz

// ---- resampling ----

double besselI0(double x) {
  double sum = 1.0, term = 1.0;
  const double q = x * x / 4.0;
  for (int k = 1; k < 64; ++k) {
    term *= q / (double(k) * k);
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

// sinc(t) * Kaiser window, tabulated for t in zero crossings from 0 to
// kZeroCrossings and read with linear interpolation.
class SincTable {
public:
  static constexpr int kZeroCrossings = 16;
  static constexpr int kResolution = 1024;   // table points per zero crossing
  static constexpr double kBeta = 9.0;

  SincTable() : values_(kZeroCrossings * kResolution + 2, 0.0f) {
    const double norm = besselI0(kBeta);
    for (int i = 0; i <= kZeroCrossings * kResolution; ++i) {
      const double t = double(i) / kResolution;
      const double sinc = i == 0 ? 1.0 : std::sin(M_PI * t) / (M_PI * t);
      const double r = t / kZeroCrossings;
      const double window = besselI0(kBeta * std::sqrt(std::max(0.0, 1.0 - r * r))) / norm;
      values_[i] = float(sinc * window);
    }
  }
  double at(double t) const {
    const double x = t * kResolution;
    const size_t i = size_t(x);
    if (i >= size_t(kZeroCrossings * kResolution)) return 0.0;
    const double f = x - double(i);
    return values_[i] + (values_[i + 1] - values_[i]) * f;
  }

private:
  std::vector<float> values_;
};

const SincTable& sincTable() {
  static const SincTable table;
  return table;
}

}  // namespace

std::vector<float> resampleStereo(const std::vector<float>& in, uint32_t inRate, uint32_t outRate,
                                  bool circular) {
  const uint64_t inFrames = in.size() / 2;
  if (inFrames == 0 || inRate == 0 || outRate == 0) return {};
  if (inRate == outRate) return in;

  uint64_t outFrames;
  double step;   // input frames per output frame
  if (circular) {
    outFrames = std::max<uint64_t>(1, (inFrames * outRate + inRate / 2) / inRate);
    step = double(inFrames) / double(outFrames);
  } else {
    outFrames = (inFrames * outRate + inRate - 1) / inRate;
    step = double(inRate) / double(outRate);
  }

  const SincTable& table = sincTable();
  // Pass band just under the lower of the two Nyquist frequencies.
  const double cutoff = 0.95 * std::min(1.0, 1.0 / step);
  const int64_t half = int64_t(std::ceil(SincTable::kZeroCrossings / cutoff)) + 1;
  const int64_t n = int64_t(inFrames);

  std::vector<float> out(outFrames * 2);
  for (uint64_t j = 0; j < outFrames; ++j) {
    const double p = double(j) * step;
    const int64_t i0 = int64_t(std::floor(p));
    double l = 0.0, r = 0.0, wsum = 0.0;
    for (int64_t k = i0 - half + 1; k <= i0 + half; ++k) {
      const double w = table.at(std::fabs(double(k) - p) * cutoff);
      if (w == 0.0) continue;
      wsum += w;
      int64_t idx = k;
      if (circular) {
        idx %= n;
        if (idx < 0) idx += n;
      } else if (idx < 0 || idx >= n) {
        continue;   // silence beyond the ends
      }
      l += w * in[size_t(idx) * 2];
      r += w * in[size_t(idx) * 2 + 1];
    }
    if (wsum != 0.0) {
      l /= wsum;
      r /= wsum;
    }
    out[j * 2] = float(l);
    out[j * 2 + 1] = float(r);
  }
  return out;
}

namespace {

std::shared_ptr<const WaveData> decodeWave(const std::string& path, uint32_t targetRate,
                                           bool forLoop, std::string* error) {
  auto fail = [&](const std::string& why) -> std::shared_ptr<const WaveData> {
    if (error) *error = why;
    return nullptr;
  };
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return fail("no such file: " + path);
  // A FIFO or device would block or never end.
  if (!S_ISREG(st.st_mode)) return fail("not a regular file: " + path);

  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return fail(std::string("not a readable sound: ") + sf_strerror(nullptr));
  struct Closer {
    SNDFILE* f;
    ~Closer() { sf_close(f); }
  } closer{file};
  // A rate far below any real recording comes from a damaged header; taken
  // at its word it would be stretched to minutes of sound at great cost.
  if (info.channels < 1 || info.samplerate < int(kMinWaveRate) || info.frames < 0)
    return fail("not a playable sound: " + path);

  auto data = std::make_shared<WaveData>();
  data->sourceRate = uint32_t(info.samplerate);
  data->sourceChannels = info.channels;

  const uint64_t maxFrames = uint64_t(kMaxWaveSeconds * info.samplerate);
  const uint64_t wanted = std::min<uint64_t>(uint64_t(info.frames), maxFrames);
  data->truncated = uint64_t(info.frames) > maxFrames;

  // The header's frame count is only a claim: room for more than a few
  // seconds is made as the frames really arrive.
  std::vector<float> stereo;
  stereo.reserve(std::min<uint64_t>(wanted, kReserveFrames) * 2);
  constexpr sf_count_t kChunk = 4096;
  std::vector<float> chunk(size_t(kChunk) * size_t(info.channels));
  const int ch = info.channels;
  while (stereo.size() / 2 < wanted) {
    const sf_count_t want =
        std::min<sf_count_t>(kChunk, sf_count_t(wanted - stereo.size() / 2));
    const sf_count_t got = sf_readf_float(file, chunk.data(), want);
    if (got <= 0) break;   // a short file plays what it has
    for (sf_count_t i = 0; i < got; ++i) {
      float l = chunk[size_t(i * ch)];
      float r = ch > 1 ? chunk[size_t(i * ch + 1)] : l;
      stereo.push_back(std::isfinite(l) ? l : 0.0f);
      stereo.push_back(std::isfinite(r) ? r : 0.0f);
    }
  }
  if (info.frames > 0 && stereo.empty()) return fail("no readable audio in: " + path);

  data->samples = resampleStereo(stereo, data->sourceRate, targetRate, forLoop);
  data->frames = data->samples.size() / 2;
  return data;
}

}  // namespace

std::shared_ptr<const WaveData> loadWave(const std::string& path, uint32_t targetRate, bool forLoop,
                                         std::string* error) {
  try {
    return decodeWave(path, targetRate, forLoop, error);
  } catch (const std::bad_alloc&) {
    if (error) *error = "not enough memory for the sound: " + path;
    return nullptr;
  } catch (const std::length_error&) {
    if (error) *error = "sound too long: " + path;
    return nullptr;
  }
}

// ---- the channel ----

WaveChannel::WaveChannel(uint32_t sampleRate, WakeSignal* wake) : rate_(sampleRate), wake_(wake) {}

bool WaveChannel::push(const Command& c) {
  if (!commands_.push(c)) return false;
  if (wake_) wake_->notify();
  return true;
}

WaveChannel::~WaveChannel() = default;

void WaveChannel::reclaim() {
  const uint64_t ended = lastEnded_.load(std::memory_order_acquire);
  while (!inFlight_.empty() && inFlight_.front().first <= ended) inFlight_.pop_front();
}

size_t WaveChannel::buffersHeld() {
  reclaim();
  return inFlight_.size();
}

std::shared_ptr<const WaveData> WaveChannel::cachedLoad(const std::string& path, bool loop) {
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
    cache_[key] = CacheEntry{int64_t(st.st_size), mtimeNs, ++useCounter_, data};
  }
  return data;
}

bool WaveChannel::play(const std::string& path, bool loop, Started* started) {
  if (started) *started = Started{};
  reclaim();
  auto data = cachedLoad(path, loop);
  if (!data) {
    stop();   // the channel is taken over even when the new sound cannot play
    return false;
  }
  return play(std::move(data), loop, started);
}

bool WaveChannel::play(std::shared_ptr<const WaveData> data, bool loop, Started* started) {
  if (started) *started = Started{};
  reclaim();
  if (!data) return false;
  Command c;
  c.kind = Command::Play;
  c.loop = loop;
  c.id = nextId_ + 1;
  c.data = data->samples.data();
  c.frames = data->frames;
  if (!push(c)) return false;
  nextId_ = c.id;
  inFlight_.emplace_back(c.id, std::move(data));
  if (started) {
    started->id = c.id;
    started->seconds = inFlight_.back().second->seconds(rate_);
  }
  return true;
}

bool WaveChannel::stop() {
  reclaim();
  Command c;
  c.kind = Command::Stop;
  return push(c);
}

bool WaveChannel::stopIf(uint64_t id) {
  reclaim();
  Command c;
  c.kind = Command::StopIf;
  c.id = id;
  return push(c);
}

bool WaveChannel::hasEnded(uint64_t id) const {
  return lastEnded_.load(std::memory_order_acquire) >= id;
}

void WaveChannel::finishCurrent() noexcept {
  if (id_ == 0) return;
  data_ = nullptr;
  frames_ = pos_ = 0;
  playing_.store(0, std::memory_order_release);
  lastEnded_.store(id_, std::memory_order_release);
  id_ = 0;
}

bool WaveChannel::takeCommands() noexcept {
  bool changed = false;
  Command c;
  while (commands_.pop(c)) {
    switch (c.kind) {
      case Command::Play:
        finishCurrent();
        id_ = c.id;
        data_ = c.data;
        frames_ = c.frames;
        pos_ = 0;
        loop_ = c.loop;
        playing_.store(id_, std::memory_order_release);
        if (frames_ == 0) finishCurrent();
        changed = true;
        break;
      case Command::Stop:
        // Even a sound that has been rendered to its end may still be
        // queued to be heard: the stop silences that too.
        finishCurrent();
        changed = true;
        break;
      case Command::StopIf:
        if (id_ == c.id) finishCurrent();
        changed |= c.id == lastEnded_.load(std::memory_order_relaxed);
        break;
    }
  }
  return changed;
}

void WaveChannel::renderNext(float* out, uint32_t frames) noexcept {
  uint32_t done = 0;
  while (data_ && done < frames) {
    const uint64_t n = std::min<uint64_t>(frames - done, frames_ - pos_);
    std::memcpy(out + size_t(done) * 2, data_ + pos_ * 2, size_t(n) * 2 * sizeof(float));
    done += uint32_t(n);
    pos_ += n;
    if (pos_ == frames_) {
      if (loop_) pos_ = 0;
      else finishCurrent();
    }
  }
  if (done < frames) std::memset(out + size_t(done) * 2, 0, size_t(frames - done) * 2 * sizeof(float));
}

void WaveChannel::mixInto(float* out, uint32_t frames) noexcept {
  takeCommands();
  uint32_t done = 0;
  while (data_ && done < frames) {
    const uint64_t n = std::min<uint64_t>(frames - done, frames_ - pos_);
    const float* src = data_ + pos_ * 2;
    float* dst = out + size_t(done) * 2;
    for (uint64_t i = 0; i < n * 2; ++i) dst[i] += src[i];
    done += uint32_t(n);
    pos_ += n;
    if (pos_ == frames_) {
      if (loop_) pos_ = 0;
      else finishCurrent();
    }
  }
}

}  // namespace platform
