// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/system/wave_file.h"

#include "platform/audio/system/resampler.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>
#include <vector>

namespace platform {

namespace {
constexpr uint64_t kReserveFrames = 1u << 18;   // about six seconds at 44.1 kHz
}  // namespace

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

}  // namespace platform
