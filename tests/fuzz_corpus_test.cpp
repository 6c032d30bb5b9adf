// SPDX-License-Identifier: GPL-3.0-or-later
// The fuzzing corpus replayed through the fuzzers' own entry points in the
// normal build, and what fuzzing found in the loading of sound files.
#include "fuzz_entries.h"

#include "platform/audio/system/wave_file.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> CorpusOf(const std::string& target) {
  std::vector<fs::path> files;
  for (const auto& f : fs::directory_iterator(fs::path(PLINKORA_FUZZ_CORPUS) / target))
    if (f.is_regular_file()) files.push_back(f.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Replay(const std::string& target, int (*entry)(const uint8_t*, std::size_t)) {
  const auto files = CorpusOf(target);
  ASSERT_FALSE(files.empty()) << "no corpus for " << target;
  for (const auto& f : files) {
    SCOPED_TRACE(f.string());
    const std::string bytes = ReadBytes(f);
    EXPECT_EQ(entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
  }
}

// A PCM WAV header and data: 16-bit mono at `rate`, `frames` frames, and a
// data chunk that claims `claimed` bytes.
std::string Wav16(uint32_t rate, uint32_t frames, uint32_t claimed) {
  auto le = [](uint32_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
  };
  std::string data;
  for (uint32_t i = 0; i < frames; ++i) data += le(static_cast<uint16_t>(i * 300), 2);
  return "RIFF" + le(36 + data.size(), 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) +
         le(rate, 4) + le(rate * 2, 4) + le(2, 2) + le(16, 2) + "data" + le(claimed, 4) + data;
}

}  // namespace

TEST(FuzzCorpus, MciCommandsReplay) { Replay("mci", &fuzzing::MciCommands); }

TEST(FuzzCorpus, WaveFilesReplay) { Replay("wave", &fuzzing::WaveFile); }

// A header with a sample rate of a few hertz made a small file load as
// minutes of sound, at a cost that held start-up for tens of seconds.
TEST(WaveLoading, ARateNoRecordingHasIsADamagedFile) {
  testing_support::ScratchDir scratch;
  const std::string path = scratch.path + "odd.wav";
  for (uint32_t rate : {1u, 999u}) {
    std::ofstream(path, std::ios::binary) << Wav16(rate, 600, 1200);
    std::string error;
    EXPECT_EQ(platform::loadWave(path, 44100, false, &error), nullptr) << rate;
    EXPECT_NE(error.find("not a playable sound"), std::string::npos) << error;
  }
  std::ofstream(path, std::ios::binary) << Wav16(platform::kMinWaveRate, 600, 1200);
  const auto wave = platform::loadWave(path, 44100, false);
  ASSERT_NE(wave, nullptr);
  EXPECT_EQ(wave->frames, 600u * 44100 / platform::kMinWaveRate);
}

// A data chunk that claims far more than the file holds plays what is there.
TEST(WaveLoading, AClaimBeyondTheFileLoadsWhatIsThere) {
  testing_support::ScratchDir scratch;
  const std::string path = scratch.path + "claim.wav";
  std::ofstream(path, std::ios::binary) << Wav16(44100, 441, 0xFFFFFFF0u);
  const auto wave = platform::loadWave(path, 44100, false);
  ASSERT_NE(wave, nullptr);
  EXPECT_EQ(wave->frames, 441u);
  EXPECT_FALSE(wave->truncated);
}
