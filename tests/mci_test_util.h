// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the wave-audio device tests: a tap host the test drives itself,
// a test signal whose every sample is known, and a WAV reader.
#pragma once

#include "platform/audio/audio_thread/audio_tap.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace mci_test {

// Stands in for the audio engine: feed() plays the part of the audio thread.
class FakeHost : public platform::TapHost {
public:
  explicit FakeHost(uint32_t rate = 44100) : rate_(rate) {}
  uint32_t sampleRate() const override { return rate_; }
  void attachTap(platform::AudioTap* tap) override {
    std::lock_guard lock(m_);
    tap_ = tap;
    ++attaches;
  }
  void detachTap(platform::AudioTap* tap) override {
    std::lock_guard lock(m_);
    if (tap_ == tap) tap_ = nullptr;
    ++detaches;
  }
  // One block of the output mix.  The lock only keeps detachTap from
  // returning while a block is being handed over, as the engine does.
  void feed(const float* interleaved, uint32_t frames) {
    std::lock_guard lock(m_);
    if (tap_) tap_->onMix(interleaved, frames);
  }
  bool tapped() {
    std::lock_guard lock(m_);
    return tap_ != nullptr;
  }
  int attaches = 0;
  int detaches = 0;

private:
  uint32_t rate_;
  std::mutex m_;
  platform::AudioTap* tap_ = nullptr;
};

// Sample c (0 left, 1 right) of frame i of the test signal, as the int16 the
// recording must hold.  Every value of the signal is an exact multiple of
// 1/32767, so the float the tap sees converts back without doubt.
inline int16_t signalSample(uint64_t i, int c) {
  return static_cast<int16_t>(static_cast<int64_t>((i * 7919 + static_cast<uint64_t>(c) * 104729) % 65535) - 32767);
}

// Frames [first, first + frames) of the test signal as the engine gives them.
inline std::vector<float> signalBlock(uint64_t first, uint32_t frames) {
  std::vector<float> v(static_cast<std::size_t>(frames) * 2);
  for (uint32_t f = 0; f < frames; ++f)
    for (int c = 0; c < 2; ++c) v[2 * f + c] = signalSample(first + f, c) / 32767.0f;
  return v;
}

// Feeds frames [first, first + frames) of the test signal in blocks of 512,
// calling catchUp (if given) every `every` blocks to let the writer keep up.
inline void feedSignal(FakeHost& host, uint64_t first, uint64_t frames,
                       const std::function<void()>& catchUp = {}, uint64_t every = 64) {
  constexpr uint32_t kBlock = 512;
  for (uint64_t done = 0, blocks = 1; done < frames; ++blocks) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kBlock, frames - done));
    const auto block = signalBlock(first + done, n);
    host.feed(block.data(), n);
    done += n;
    if (catchUp && blocks % every == 0) catchUp();
  }
}

struct Wav {
  bool ok = false;
  std::string error;
  int rate = 0;
  int channels = 0;
  int format = 0;
  std::vector<int16_t> samples;   // interleaved
  uint64_t frames() const { return channels ? samples.size() / channels : 0; }
};

inline uint32_t le32(const std::vector<char>& b, std::size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
  return v;
}

inline std::vector<char> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads a WAV with libsndfile and checks the RIFF and data sizes against the
// file's real length.
inline Wav readWav(const std::string& path) {
  Wav w;
  const std::vector<char> bytes = readBytes(path);
  if (bytes.size() < 44 || std::memcmp(bytes.data(), "RIFF", 4) != 0) {
    w.error = "not a RIFF file";
    return w;
  }
  if (le32(bytes, 4) != bytes.size() - 8) {
    w.error = "RIFF size does not match the file";
    return w;
  }
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) {
    w.error = sf_strerror(nullptr);
    return w;
  }
  w.rate = info.samplerate;
  w.channels = info.channels;
  w.format = info.format;
  w.samples.resize(static_cast<std::size_t>(info.frames) * info.channels);
  const sf_count_t got = sf_readf_short(f, w.samples.data(), info.frames);
  sf_close(f);
  if (got != info.frames) {
    w.error = "short read";
    return w;
  }
  w.ok = true;
  return w;
}

// True when the recording holds exactly frames [first, first + frames) of the signal.
inline ::testing::AssertionResult holdsSignal(const Wav& w, uint64_t first, uint64_t frames) {
  if (!w.ok) return ::testing::AssertionFailure() << "unreadable WAV: " << w.error;
  if (w.frames() != frames)
    return ::testing::AssertionFailure() << w.frames() << " frames, expected " << frames;
  for (uint64_t f = 0; f < frames; ++f)
    for (int c = 0; c < 2; ++c)
      if (w.samples[2 * f + c] != signalSample(first + f, c))
        return ::testing::AssertionFailure()
               << "frame " << f << " channel " << c << ": " << w.samples[2 * f + c]
               << " expected " << signalSample(first + f, c);
  return ::testing::AssertionSuccess();
}

// Names of the entries of a folder.
inline std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  return names;
}

}  // namespace mci_test
