// SPDX-License-Identifier: GPL-3.0-or-later
// Sound files as the wave channel loads them: libsndfile decoding, the
// conversion to stereo at the engine's rate, and the first blocks of play.
#include "fuzz_entries.h"
#include "scratch.h"

#include "platform/audio/audio_thread/wave_channel.h"
#include "platform/audio/calls/wave_cache.h"
#include "platform/audio/system/wave_file.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fuzzing {
namespace {

constexpr uint32_t kRate = 44100;

void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "wave fuzz: %s\n", what);
  std::abort();
}

}  // namespace

int WaveFile(const uint8_t* data, std::size_t size) {
  const std::string path = ScratchFolder() + "sound.wav";
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    Require(f != nullptr, "cannot write the input file");
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }

  // What a load gives is always stereo at the engine's rate, finite and in
  // whole frames.
  std::string error;
  const auto wave = platform::loadWave(path, kRate, false, &error);
  if (wave) {
    Require(wave->samples.size() == wave->frames * 2, "samples are not whole stereo frames");
    for (float s : wave->samples) Require(std::isfinite(s), "a sample is not finite");
  } else {
    Require(!error.empty(), "a failed load gives no reason");
  }

  // The sound-call layer's load, as a loop, and the first blocks of play.
  platform::WaveCache cache(kRate);
  platform::WaveChannel channel(kRate);
  platform::WaveChannel::Started started;
  if (auto loop = cache.load(path, true)) channel.play(std::move(loop), true, &started);
  std::vector<float> mix(2 * 256);
  for (int block = 0; block < 4; ++block) {
    channel.takeCommands();
    channel.renderNext(mix.data(), 256);
  }
  channel.stop();
  channel.takeCommands();
  Require(channel.playingId() == 0, "the channel plays on after stop");
  return 0;
}

}  // namespace fuzzing
