// SPDX-License-Identifier: GPL-3.0-or-later
// MCI command strings against the real wave-audio device.  A take records
// from a stand-in for the audio engine that hands the tap a short block of
// tone after every command, so recording, stopping and saving move real
// frames through the ring, the writer thread and the scratch file.
#include "fuzz_entries.h"
#include "scratch.h"

#include "platform/audio/audio_thread/audio_tap.h"
#include "platform/waveaudio/mci_device.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <unistd.h>

namespace fuzzing {
namespace {

class BlockHost : public platform::TapHost {
public:
  uint32_t sampleRate() const override { return 8000; }
  void attachTap(platform::AudioTap* tap) override { tap_ = tap; }
  void detachTap(platform::AudioTap* tap) override {
    if (tap_ == tap) tap_ = nullptr;
  }
  // One block of the output mix, as the audio thread would deliver it.
  void mix(uint32_t frames) {
    if (!tap_) return;
    std::array<float, 2 * 512> block{};
    frames = std::min<uint32_t>(frames, 512);
    for (uint32_t i = 0; i < frames; ++i) {
      block[2 * i] = std::sin(0.05f * float(phase_ + i));
      block[2 * i + 1] = -block[2 * i];
    }
    phase_ += frames;
    tap_->onMix(block.data(), frames);
  }

private:
  platform::AudioTap* tap_ = nullptr;
  uint32_t phase_ = 0;
};

// Commands per input; a longer input adds little but run time.
constexpr std::size_t kMaxCommands = 64;

}  // namespace

int MciCommands(const uint8_t* data, std::size_t size) {
  static const bool inFolder = ::chdir(ScratchFolder().c_str()) == 0;
  if (!inFolder) return 0;

  std::string input(reinterpret_cast<const char*>(data), size);
  std::replace(input.begin(), input.end(), '/', '_');

  BlockHost host;
  {
    // A small ring, so that a take can overrun it and leave a gap.
    platform::WaveAudioDevice device(host, ScratchFolder(), 1024);
    std::size_t start = 0, commands = 0;
    while (start <= input.size() && commands < kMaxCommands) {
      std::size_t end = input.find('\n', start);
      if (end == std::string::npos) end = input.size();
      const std::string line = input.substr(start, end - start);
      char answer[64];
      device.sendString(line.c_str(), commands % 2 ? answer : nullptr, commands % 2 ? 64 : 0);
      host.mix(static_cast<uint32_t>(97 * (commands + 1)));
      if (commands % 3 == 2) device.flush();
      ++commands;
      start = end + 1;
    }
    char text[32];
    platform::WaveAudioDevice::errorString(static_cast<MCIERROR>(size), text, sizeof text);
  }
  EmptyScratchFolder();
  return 0;
}

}  // namespace fuzzing
